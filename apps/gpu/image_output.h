#pragma once

#include <cstdint>
#include <cstdio>
#include <span>
#include <string>

namespace qlmr {

// Writes an RGBA8 image as a PNG file. When that fails, prints
// "cannot write <path>" on `out` and returns false, so the run counts it.
bool writeImage(const std::string& path, unsigned width, unsigned height, std::span<const std::uint8_t> rgba,
                std::FILE* out);

} // namespace qlmr
