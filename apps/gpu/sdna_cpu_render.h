#pragma once

#include "scene/vec3.h"
#include "sdna/bricks.h"
#include "sdna/program.h"

#include <cstdint>
#include <span>
#include <vector>

namespace qlmr {

// One view of a shape program rendered on the processor: the reference the
// GPU images are compared with.
struct SdnaCpuResult {
    std::vector<std::uint8_t> colour;  // RGBA8 in display encoding, row-major
    std::vector<float> depth;          // t, 1e30 for a miss
    std::vector<float> normal;         // unit normal and the material index (0 for a miss)
    std::vector<float> steps;          // evaluations per pixel
    double ms = 0.0;
    std::uint64_t totalSteps = 0;
    std::uint64_t uncertain = 0;       // pixels whose trace status is uncertain
};

// Renders on max(1, hardware threads) threads of its own, the calling
// thread included, that claim rows from one shared counter. `bricks` may be
// null; brickMode is handed to the brick tracer (1: only the rest of the ray
// after the bricks is traced exactly).
void renderSdnaCpu(SdnaCpuResult& result, const SdnaProgram& program, Vec3 eye, Vec3 target, std::uint32_t width,
                   std::uint32_t height, std::span<const BonePose> pose, const Bricks* bricks,
                   std::uint32_t brickMode);

// The same with the pose as a pointer and a count (null and 0: no pose) and
// the bricks walked as the local brick run does when bricksLocal is set.
void renderSdnaCpu(SdnaCpuResult& result, const SdnaProgram& program, Vec3 eye, Vec3 target, std::uint32_t width,
                   std::uint32_t height, const BonePose* pose, std::uint64_t poseCount, const Bricks* bricks,
                   bool bricksLocal);

} // namespace qlmr
