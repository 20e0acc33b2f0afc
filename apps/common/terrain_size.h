#pragma once

#include "scene/height_field.h"

#include <bit>
#include <cstdint>
#include <string>

namespace qlmr {

// Empty when a square field of this edge can be built; otherwise the
// field's own message: "field width must be a power of two" (0 included)
// or "field too large" (more levels than a field may have). Checked before
// the terrain is generated, which for a huge edge would first allocate
// many gigabytes.
inline std::string terrainSizeError(std::uint32_t edge)
{
    if (!std::has_single_bit(edge))
        return "field width must be a power of two";
    // A square field of edge 2^k has k + 1 levels.
    if (std::uint32_t(std::bit_width(edge)) > kMaxFieldLevels)
        return "field too large";
    return {};
}

} // namespace qlmr
