#pragma once

#include "sdna/program.h"

#include <array>
#include <cstdint>
#include <vector>

namespace qlmr {

// The built-in creature: a body, head, tail and four legs on bones 0 to 3
// (57 instructions, 4 materials); with base, standing on a ground slab
// (59 instructions). A builder failure cannot happen for this fixed
// program; should it, "builder: <message>" is printed and the process ends
// with exit code 1.
SdnaProgram buildCritter(bool base);

// The hip point of each leg bone, the pivot of critterPose.
inline constexpr std::array<std::array<float, 3>, 4> kCritterHips{{
    {0.3f, 0.45f, 0.14f},
    {0.3f, 0.45f, -0.14f},
    {-0.35f, 0.42f, 0.14f},
    {-0.35f, 0.42f, -0.14f},
}};

// boneCount identity poses, with bones 0 to 3 (those that exist) turned
// about z through their hip points in a trot: angle for bones 0 and 3,
// -angle for bones 1 and 2.
std::vector<BonePose> critterPose(std::uint32_t boneCount, float angle);

} // namespace qlmr
