#pragma once

#include "gpu/one_shot_compute.h"
#include "gpu/vulkan_context.h"
#include "sdna/program.h"

#include <array>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace qlmr {

// The quadratic smooth minimum of the sculpt blend; the plain minimum for
// k <= 0.
float sculptSmoothMin(float a, float b, float k);

// The fixed arch: three capsules of radius 0.5 joined by two unions.
bool buildSculptArch(SdnaProgram& program, std::string& error);

// `count` probe points (x, y, z, h(x, z)) drawn from MT19937 seeded with
// 20261028, three draws per point (x, z, then y around the surface).
std::vector<std::array<float, 4>> sculptProbePoints(std::uint32_t count);

enum class SculptOperation : std::uint32_t { Add = 0, Carve = 1 };

// The CPU reference distance at one probe point.
float sculptReference(const SdnaProgram& arch, const std::array<float, 4>& point, SculptOperation operation, float k);

// Result of comparing kernel distances with the reference.
struct SculptTally {
    double worstAbs = 0.0;
    double worstRel = 0.0;
    bool passed = true;
};
SculptTally compareSculpt(const std::vector<float>& gpu, const std::vector<float>& reference);

// Runs the sculpt kernel over `points` on an opened device; `distances`
// receives one kernel distance per point when the run succeeds.
ComputeResult runSculptKernel(VulkanContext& context, const SdnaProgram& arch,
                              const std::vector<std::array<float, 4>>& points, SculptOperation operation, float k,
                              std::vector<float>& distances);

// The sculpt check on every chosen device, reported on `out`; returns the
// exit code.
int runSculptCheck(std::int32_t count, std::int32_t gpu, std::FILE* out = stdout);

} // namespace qlmr
