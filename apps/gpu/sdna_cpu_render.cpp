#include "sdna_cpu_render.h"

#include "scene/camera.h"
#include "sdna/cpu_render_worker.h"

#include <algorithm>
#include <chrono>
#include <system_error>
#include <thread>

namespace qlmr {

void renderSdnaCpu(SdnaCpuResult& result, const SdnaProgram& program, Vec3 eye, Vec3 target, std::uint32_t width,
                   std::uint32_t height, std::span<const BonePose> pose, const Bricks* bricks,
                   std::uint32_t brickMode)
{
    const std::size_t pixels = static_cast<std::size_t>(width) * height;
    result.colour.assign(pixels * 4, 0);
    result.depth.assign(pixels, 0.0f);
    result.normal.assign(pixels * 4, 0.0f);
    result.steps.assign(pixels, 0.0f);

    const BonePose* posePointer = pose.empty() ? nullptr : pose.data();
    const std::uint64_t poseCount = pose.size();

    SdnaRenderJob job;
    job.width = width;
    job.height = height;
    job.camera = programCamera(eye, target, width, height);
    job.bricks = bricks;
    job.brickMode = brickMode;
    job.program = &program;
    job.pose = &posePointer;
    job.poseCount = &poseCount;
    job.colour = result.colour.data();
    job.depth = result.depth.data();
    job.normal = result.normal.data();
    job.steps = result.steps.data();

    const auto start = std::chrono::steady_clock::now();
    const unsigned threadCount = std::max(1u, std::thread::hardware_concurrency());
    std::vector<std::thread> helpers;
    helpers.reserve(threadCount - 1);
    for (unsigned i = 1; i < threadCount; ++i) {
        // Without the memory for another thread's stack the threads already
        // running (and this one) claim the remaining rows; the image does
        // not depend on how many threads render it.
        try {
            helpers.emplace_back([&job] { cpuRenderWorker(job); });
        } catch (const std::system_error&) {
            break;
        }
    }
    cpuRenderWorker(job);
    for (std::thread& helper : helpers)
        helper.join();
    const auto end = std::chrono::steady_clock::now();

    result.ms = std::chrono::duration<double, std::nano>(end - start).count() / 1e6;
    result.totalSteps = job.totalSteps.load();
    result.uncertain = job.uncertainPixels.load();
}

void renderSdnaCpu(SdnaCpuResult& result, const SdnaProgram& program, Vec3 eye, Vec3 target, std::uint32_t width,
                   std::uint32_t height, const BonePose* pose, std::uint64_t poseCount, const Bricks* bricks,
                   bool bricksLocal)
{
    const std::span<const BonePose> poses =
        pose ? std::span<const BonePose>(pose, static_cast<std::size_t>(poseCount)) : std::span<const BonePose>();
    renderSdnaCpu(result, program, eye, target, width, height, poses, bricks, bricksLocal ? 1u : 0u);
}

} // namespace qlmr
