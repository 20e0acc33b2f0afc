#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "scene/gbuffer.h"

namespace qlmr {

// RGBA8 picture of the G-buffer's normals: (n * 0.5 + 0.5) * 255 rounded,
// black where the ray missed, alpha 255.
std::vector<std::uint8_t> normalsImage(const GBuffer& frame);

// RGBA8 picture of relief heights, each node a 4 x 4 block of grey
// round(255 * min(height / heightScale, 1)), alpha 255: (4 * width) x
// (4 * height) pixels.
inline constexpr std::uint32_t kHeightsZoom = 4;
std::vector<std::uint8_t> heightsImage(std::span<const float> heights, std::uint32_t width, std::uint32_t height,
                                       float heightScale);

} // namespace qlmr
