#pragma once

#include <cstdint>
#include <vector>

namespace qlmr {

// The generators' raster: one float height, one RGBA8 colour (red in the low
// byte) and one material byte per cell, row-major (index y * width + x).
struct FieldImage {
    std::uint32_t width = 0;
    std::uint32_t height = 0;
    std::vector<float> heights;         // default 0
    std::vector<std::uint32_t> colors;  // default 0xFF808080, opaque mid grey
    std::vector<std::uint8_t> materials; // default 0

    FieldImage() = default;
    FieldImage(std::uint32_t width, std::uint32_t height);
};

// RGBA8 word with alpha 255; each channel clamped to [0, 1] and rounded to
// nearest with halves away from zero.
std::uint32_t packRgba8(float r, float g, float b);

} // namespace qlmr
