#include "sdna/evaluator.h"

#include "sdna/program_interpreter.h"

namespace qlmr {

using sdna_detail::Vec;

SdnaSample evaluateProgram(const SdnaProgram& program, const std::array<float, 3>& point,
                           const BonePose* pose, std::uint64_t poseCount,
                           const ProgramBounds* bounds) {
    const auto r = sdna_detail::interpret<float>(program, Vec<float>{point[0], point[1], point[2]},
                                                 pose, poseCount, bounds);
    return {r.distance, r.material};
}

SdnaGradientSample evaluateGradient(const SdnaProgram& program,
                                    const std::array<SdnaDual, 3>& point, const BonePose* pose,
                                    std::uint64_t poseCount, const ProgramBounds* bounds) {
    const auto r = sdna_detail::interpret<SdnaDual>(
        program, Vec<SdnaDual>{point[0], point[1], point[2]}, pose, poseCount, bounds);
    SdnaGradientSample out;
    out.distance = r.distance.value;
    out.gradient = r.distance.d;
    out.material = r.material;
    return out;
}

SdnaSampleDouble evaluateProgramDouble(const SdnaProgram& program,
                                       const std::array<double, 3>& point, const BonePose* pose,
                                       std::uint64_t poseCount, const ProgramBounds* bounds) {
    const auto r = sdna_detail::interpret<double>(
        program, Vec<double>{point[0], point[1], point[2]}, pose, poseCount, bounds);
    return {r.distance, r.material};
}

std::array<float, 3> quatRotate(const std::array<float, 4>& q, const std::array<float, 3>& v) {
    const Vec<float> r = sdna_detail::quatRotateConjugate(q.data(), Vec<float>{v[0], v[1], v[2]});
    return {r.x, r.y, r.z};
}

std::array<float, 3> quatRotateForward(const std::array<float, 4>& q,
                                       const std::array<float, 3>& v) {
    const Vec<float> r = sdna_detail::rotateByAxis(Vec<float>{q[0], q[1], q[2]}, q[3],
                                                   Vec<float>{v[0], v[1], v[2]});
    return {r.x, r.y, r.z};
}

}  // namespace qlmr
