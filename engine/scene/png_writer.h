#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace qlmr {

// Writes an RGBA8 image (rows from the top) as a PNG file, replacing any file
// at path. The image data is stored in uncompressed deflate blocks, so no
// compression library is needed and any PNG reader opens the file.
// Returns false, without creating a file, when rgba does not hold exactly
// width * height * 4 bytes; false also when the file cannot be created or
// the bytes did not reach it. An image with no pixels (width or height 0)
// is written like any other: its raw data is the rows' filter bytes, or
// nothing at all, in one final stored block.
// The file is written with replaceFile (scene/file_replace.h): a failed
// write leaves no partial image, and an image already at path stays as it
// was.
bool writePng(const std::string& path, unsigned width, unsigned height, std::span<const std::uint8_t> rgba);

// The complete PNG file writePng would write, or an empty vector when rgba
// does not hold exactly width * height * 4 bytes.
std::vector<std::uint8_t> encodePng(unsigned width, unsigned height, std::span<const std::uint8_t> rgba);

// Appends value as four bytes, most significant first.
void appendBe32(std::vector<std::uint8_t>& out, std::uint32_t value);

// Standard reflected CRC-32 (polynomial 0xEDB88320) and Adler-32.
std::uint32_t crc32(std::span<const std::uint8_t> bytes, std::uint32_t crc = 0);
std::uint32_t adler32(std::span<const std::uint8_t> bytes);

} // namespace qlmr
