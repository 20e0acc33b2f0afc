#pragma once
// Point and gradient evaluation of shape programs. Both run the same
// interpreter (program_interpreter.h); neither validates the program.

#include <array>
#include <cstdint>

#include "sdna/dual.h"
#include "sdna/program.h"

namespace qlmr {

// Distance and material of the program at one program-space point. `pose` may
// be null (every bone then uses the identity pose); `bounds` is the optional
// culling table.
SdnaSample evaluateProgram(const SdnaProgram& program, const std::array<float, 3>& point,
                           const BonePose* pose = nullptr, std::uint64_t poseCount = 0,
                           const ProgramBounds* bounds = nullptr);

// Distance, gradient and material. The point comes as three dual numbers with
// their derivatives; seedPoint gives the identity seed.
SdnaGradientSample evaluateGradient(const SdnaProgram& program,
                                    const std::array<SdnaDual, 3>& point,
                                    const BonePose* pose = nullptr, std::uint64_t poseCount = 0,
                                    const ProgramBounds* bounds = nullptr);

// Distance and material in double precision (the distance bricks sample with it).
struct SdnaSampleDouble {
    double distance = 0.0;
    std::uint16_t material = 0;
};
SdnaSampleDouble evaluateProgramDouble(const SdnaProgram& program,
                                       const std::array<double, 3>& point,
                                       const BonePose* pose = nullptr,
                                       std::uint64_t poseCount = 0,
                                       const ProgramBounds* bounds = nullptr);

// Rotates v by the conjugate of the unit quaternion q (x, y, z, w): moves a
// point into a frame whose rotation is q.
std::array<float, 3> quatRotate(const std::array<float, 4>& q, const std::array<float, 3>& v);

// Rotates v by q itself: brings a frame-space vector back out.
std::array<float, 3> quatRotateForward(const std::array<float, 4>& q,
                                       const std::array<float, 3>& v);

}  // namespace qlmr
