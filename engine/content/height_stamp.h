#pragma once

#include <cstdint>

#include "scene/height_field.h"

namespace qlmr {

// One height-brush request.
struct StampParams {
    float u = 0.5f;         // centre as a fraction of the field width
    float v = 0.5f;         // centre as a fraction of the field height
    float radius = 4.0f;    // in level-0 samples; below 0.001 counts as 0.001
    float strength = 0.1f;  // change at the centre, in normalised height
    std::uint8_t mode = 0;  // 0 lower, 1 raise, 2 flatten down towards target; others change nothing
    float target = 0.0f;    // the level mode 2 flattens towards
};

// Raises, lowers or flattens the level-0 heights inside a disc with a
// (1 - q)^2 falloff, then rebuilds mips and bounds over the touched
// rectangle. A clamping field clips the disc; a wrapping field continues it
// on the opposite side, and then the rectangle spans the whole axis. Returns
// the rebuilt region for re-upload; all zero when the disc misses the field.
// A disc of any size, however far beyond the field, is well defined; a NaN
// centre or radius misses, and a NaN strength or target leaves every
// sample as it was.
FieldUpdate stampHeight(DisplacementField& field, const StampParams& params);

} // namespace qlmr
