#pragma once
// Sphere tracing of shape programs: a program in its own space, and a placed
// instance in world space.

#include <array>
#include <cstdint>

#include "sdna/program.h"

namespace qlmr {

// Exact distance from x to the convex hull of the spheres (a, ra) and (b, rb).
float taperedCapsuleDistance(const std::array<float, 3>& x, const std::array<float, 3>& a,
                             float ra, const std::array<float, 3>& b, float rb);

// Clips the ray origin + direction * t, t in [tnear, tfar], to the program's
// box; false when the ray misses it. A direction component below 1e-20 in
// magnitude is parallel to its slabs, whose faces count as inside.
bool clipToProgramBox(const SdnaProgram& program, const std::array<float, 3>& origin,
                      const std::array<float, 3>& direction, float& tnear, float& tfar);

// Traces the ray origin + direction * t, t in [tmin, tmax], clipped to the
// program's box. The direction is expected to have unit length.
SdnaHit traceProgram(const SdnaProgram& program, const std::array<float, 3>& origin,
                     const std::array<float, 3>& direction, float tmin, float tmax,
                     const SdnaTraceOptions& options, const BonePose* pose = nullptr,
                     std::uint64_t poseCount = 0, const ProgramBounds* bounds = nullptr);

// Traces a world-space ray against a placed program; the result is in world
// space (t, position, normal). The options' thresholds act in program units.
SdnaHit traceInstance(const SdnaInstance& instance, const std::array<float, 3>& origin,
                      const std::array<float, 3>& direction, float tmin, float tmax,
                      const SdnaTraceOptions& options);

}  // namespace qlmr
