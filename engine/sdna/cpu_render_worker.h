#pragma once
// The processor render of a shape program: any number of threads run
// cpuRenderWorker on one shared job, claiming image rows from an atomic
// counter. Rows are disjoint, so the output planes need no lock.

#include <atomic>
#include <cstdint>

#include "scene/camera.h"
#include "sdna/program.h"

namespace qlmr {

struct Bricks;  // the distance-brick cache of a posed program

struct SdnaRenderJob {
    std::atomic<std::uint32_t> nextRow{0};  // rows are claimed by fetch-and-add
    std::uint32_t height = 0;
    std::uint32_t width = 0;
    ProgramCamera camera;
    // Optional brick cache for the primary rays and the mode handed to its tracer.
    const Bricks* bricks = nullptr;
    std::uint32_t brickMode = 0;
    const SdnaProgram* program = nullptr;
    // The pose is read through these at render time; either may be null (no pose).
    const BonePose* const* pose = nullptr;
    const std::uint64_t* poseCount = nullptr;
    // Output planes, indexed row * width + x; all must hold width * height pixels.
    std::uint8_t* colour = nullptr;  // RGBA8, display-encoded
    float* depth = nullptr;          // t, or 1e30 on a miss
    float* normal = nullptr;         // normal x, y, z and the material index, 4 floats
    float* steps = nullptr;          // evaluations of the primary ray
    // Totals over all threads, each added once per thread.
    std::atomic<std::uint64_t> totalSteps{0};
    std::atomic<std::uint64_t> uncertainPixels{0};
};

// The body of one render thread. A job without a program or without one of
// its four output planes renders and counts nothing.
void cpuRenderWorker(SdnaRenderJob& job);

}  // namespace qlmr
