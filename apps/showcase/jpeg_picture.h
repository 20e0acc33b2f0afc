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

// 1 when width fits, else the smallest f >= 2 with width / f <= maxWidth.
int shrinkFactor(int width, int maxWidth);

// Averages f x f blocks (sum / (f * f), truncated); the last columns and
// rows that do not fill a block are dropped.
RgbImage shrinkByFactor(const RgbImage& image, int factor);

// Decodes the PNG, shrinks it to at most maxWidth and writes a baseline
// JPEG of the given quality; true when the encoder produced any bytes and
// all of them were written to the file.
bool convertToJpeg(const std::filesystem::path& png, const std::filesystem::path& jpeg, int maxWidth, int quality);

} // namespace qlmr
