#pragma once

#include "scene/gbuffer.h"

#include <cstdint>
#include <vector>

namespace qlmr {

// The G-buffer's linear colour planes through the engine's tone curve:
// width * height RGBA8 pixels, rows from the top, alpha 255.
std::vector<std::uint8_t> colorImage(const GBuffer& frame);

} // namespace qlmr
