#pragma once

#include "scene/gbuffer.h"

#include <array>
#include <cstdint>
#include <vector>

namespace qlmr {

using Rgba8 = std::array<std::uint8_t, 4>;

// The normal image's pixel: black for a miss (a distance that is not
// finite), otherwise the unit normal mapped from [-1, 1] to [0, 255].
Rgba8 normalColor(float distance, float nx, float ny, float nz);

// The cost image's pixel: cost / scale, capped at 1, through a ramp of five
// colours (dark blue, cyan, green, yellow, red) at 0, 1/4, 1/2, 3/4 and 1.
Rgba8 costColor(float cost, float scale);

// The cost that the demo program maps to full red.
inline constexpr float kDemoCostScale = 160.0f;

// Whole images of a rendered frame: width * height RGBA8 pixels, rows from
// the top, read through the G-buffer's packet addressing.
std::vector<std::uint8_t> normalsImage(const GBuffer& frame);
std::vector<std::uint8_t> costImage(const GBuffer& frame, float scale);

} // namespace qlmr
