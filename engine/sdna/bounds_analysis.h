#pragma once
// Culling table of a shape program: for every right operand of a Union,
// SmoothUnion or Subtract, a sphere that contains the operand's solid and a
// factor that turns the distance to that sphere into a lower bound of the
// operand's value. The evaluators test the sphere before entering the
// operand and jump past it and its combinator when it cannot change the
// combined value.

#include <array>
#include <cstdint>

#include "sdna/program.h"

namespace qlmr {

// A sphere around one stack value. Outside the sphere,
// (distance to the sphere) * scale never exceeds the value.
struct BoundSphere {
    bool bounded = false;
    std::array<float, 3> centre{};
    float radius = 0.0f;
    float scale = 1.0f;  // at most 1
};

// The smallest sphere of the two-sphere construction that encloses both;
// unbounded when either is. The scale is the smaller of the two.
BoundSphere unionBounds(const BoundSphere& a, const BoundSphere& b);

// Walks a validated program once and records a sphere for every right
// operand of a Union, SmoothUnion or Subtract that is bounded and spans at
// least minSubtreeLength instructions (counted from its first instruction to
// its combinator). The table has one recordOf entry per instruction.
ProgramBounds analyzeProgramBounds(const SdnaProgram& program, std::uint32_t minSubtreeLength);

}  // namespace qlmr
