#pragma once

#include "scene/gbuffer.h"

#include <cstdint>
#include <vector>

namespace qlmr {

// The G-buffer's linear colour planes through the engine's tone curve:
// width * height RGBA8 pixels, rows from the top, alpha 255. A buffer
// whose size fields claim pixels its planes do not hold (set by hand, never
// sized) has no image: the result is empty, so writing it fails.
std::vector<std::uint8_t> colorImage(const GBuffer& frame);

} // namespace qlmr
