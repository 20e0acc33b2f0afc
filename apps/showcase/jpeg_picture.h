#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace qlmr {

// Turning the engine programs' PNG images into the report's JPEG pictures.

struct RgbImage {
    int width = 0;
    int height = 0;
    std::vector<std::uint8_t> rgb; // 3 bytes per pixel, rows from the top
};

// The whole file; empty when it cannot be opened.
std::string readFileBytes(const std::filesystem::path& path);

// 1 when width fits, else the smallest f >= 2 with width / f <= maxWidth
// (maxWidth at least 1).
int shrinkFactor(int width, int maxWidth);

// Averages f x f blocks (sum / (f * f), truncated); the last columns and
// rows that do not fill a block are dropped.
RgbImage shrinkByFactor(const RgbImage& image, int factor);

// What came of one picture: made; no image to make it from (a PNG that is
// missing, unreadable or not decodable, or one that even shrunk is wider or
// taller than the 65535 pixels a JPEG can hold); or made but not written whole (a
// full disk, a folder that cannot be written), in which case nothing of
// it is left behind.
enum class PictureOutcome { Made, NoImage, NotWritten };

// Decodes the PNG, shrinks it to at most maxWidth and writes a baseline
// JPEG of the given quality. A maxWidth below 1 leaves no picture.
PictureOutcome makeJpeg(const std::filesystem::path& png, const std::filesystem::path& jpeg, int maxWidth,
                        int quality);

// True when makeJpeg made the picture: the encoder produced bytes and all
// of them were written to the file.
bool convertToJpeg(const std::filesystem::path& png, const std::filesystem::path& jpeg, int maxWidth, int quality);

} // namespace qlmr
