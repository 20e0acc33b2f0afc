#include "sdna_run.h"

#include "device_choice.h"
#include "gpu/sdna_gpu_run.h"
#include "gpu/vulkan_context.h"
#include "image_output.h"
#include "common/out_of_memory.h"
#include "depth_error.h"
#include "scene/camera.h"
#include "sdna/bounds_analysis.h"
#include "sdna/bricks.h"
#include "sdna/critter.h"
#include "sdna/sdna_reader.h"
#include "sdna_comparison.h"
#include "sdna_cpu_render.h"

#include <algorithm>
#include <array>
#include <chrono>
#include <cmath>
#include <cstddef>
#include <filesystem>
#include <fstream>
#include <memory>
#include <vector>

namespace qlmr {

namespace {

struct SdnaView {
    const char* name;
    Vec3 eye;
    Vec3 target;
    bool posed;
};

constexpr std::array<SdnaView, 3> kSdnaViews{{
    {"front", {2.6f, 1.5f, 2.4f}, {0.0f, 0.5f, 0.0f}, false},
    {"back", {1.2f, 1.1f, -2.2f}, {0.3f, 0.6f, 0.0f}, false},
    {"posed", {2.6f, 1.5f, 2.4f}, {0.0f, 0.5f, 0.0f}, true},
}};

// False when the file cannot be opened or a read fails part way. A
// directory opens like a file on some systems and only its reads fail, so
// the reads are checked too: a failed read must not pass for a short file.
bool readWholeFile(const std::string& path, std::vector<std::uint8_t>& bytes)
{
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return false;
    bytes.clear();
    std::array<char, 65536> chunk;
    for (;;) {
        // read() turns the stream buffer's read errors into badbit.
        in.read(chunk.data(), static_cast<std::streamsize>(chunk.size()));
        const auto got = static_cast<std::size_t>(in.gcount());
        bytes.insert(bytes.end(), chunk.begin(), chunk.begin() + static_cast<std::ptrdiff_t>(got));
        if (!in)
            break;
    }
    return !in.bad();
}

std::size_t farEntries(const Bricks& bricks)
{
    std::size_t count = 0;
    for (const BrickGridEntry& entry : bricks.grid)
        count += entry.index == kBrickFar ? 1 : 0;
    return count;
}

double nowNs()
{
    return std::chrono::duration<double, std::nano>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

} // namespace

std::int64_t sdnaRepetitions(std::int32_t frames, std::int32_t benchmark)
{
    // Fewer than one frame still renders one: the view needs a frame to compare.
    return benchmark > 0 ? static_cast<std::int64_t>(benchmark) + 1 : std::max<std::int64_t>(frames, 1);
}

int runSdna(const SdnaRunSettings& s, std::FILE* out)
{
    std::vector<std::uint8_t> bytes;
    if (!readWholeFile(s.path, bytes)) {
        std::fprintf(out, "cannot read %s\n", s.path.c_str());
        return 1;
    }
    SdnaProgram program;
    std::string error;
    if (!loadSdna(program, bytes, error)) {
        std::fprintf(out, "%s: %s\n", s.path.c_str(), error.c_str());
        return 1;
    }
    std::fprintf(out, "%s: %zu instructions, %zu materials, %u bones; %ux%u, best of %d frames\n", s.path.c_str(),
                 program.instructions.size(), program.materials.size(), program.boneCount, s.width, s.height,
                 s.frames);

    const std::vector<BonePose> pose = critterPose(program.boneCount, 0.45f);
    const ProgramBounds bounds = analyzeProgramBounds(program, 3);
    const std::size_t pixels = static_cast<std::size_t>(s.width) * s.height;
    auto viewPose = [&](const SdnaView& view) {
        return view.posed ? std::span<const BonePose>(pose) : std::span<const BonePose>();
    };

    std::array<SdnaCpuResult, kSdnaViews.size()> reference;
    for (std::size_t v = 0; v < kSdnaViews.size(); ++v) {
        const SdnaView& view = kSdnaViews[v];
        making("the CPU reference images", [&] {
            renderSdnaCpu(reference[v], program, view.eye, view.target, s.width, s.height, viewPose(view), nullptr,
                          0);
        });
        std::fprintf(out, "  CPU [%-5s] %7.1f ms (%.1f steps per pixel)\n", view.name, reference[v].ms,
                     static_cast<double>(reference[v].totalSteps) / static_cast<double>(pixels));
    }

    const bool useBricks = s.bricks || s.bricksLocal;
    const std::uint32_t brickMode = s.bricksLocal ? 1u : 0u;
    Bricks restBricks;
    Bricks posedBricks;
    if (useBricks) {
        BrickBuildParams params;
        const double dx = static_cast<double>(program.boundsMax[0]) - program.boundsMin[0];
        const double dy = static_cast<double>(program.boundsMax[1]) - program.boundsMin[1];
        const double dz = static_cast<double>(program.boundsMax[2]) - program.boundsMin[2];
        params.cellSize = static_cast<float>(std::sqrt(dx * dx + dy * dy + dz * dz) / 256.0);
        params.byteBudget = 67108864;
        params.evaluationLimit = 16777216;
        const std::pair<const char*, Bricks*> builds[] = {{"rest", &restBricks}, {"posed", &posedBricks}};
        for (const auto& [label, target] : builds) {
            const std::vector<BonePose> buildPose = target == &posedBricks ? pose : std::vector<BonePose>{};
            if (!buildBricks(program, buildPose, params, *target, error)) {
                std::fprintf(out, "bricks: %s\n", error.c_str());
                return 1;
            }
            std::fprintf(out, "  bricks [%s] cell %.4f, %ux%ux%u grid, %zu bricks, %zu empty, %.1f MB, %.0f ms\n",
                         label, target->cellSize, target->gridSize[0], target->gridSize[1], target->gridSize[2],
                         target->bricks.size(), farEntries(*target),
                         static_cast<double>(target->memoryBytes()) / 1048576.0, target->stats.buildMs);
        }
    }
    auto viewBricks = [&](const SdnaView& view) -> const Bricks* {
        if (!useBricks)
            return nullptr;
        return view.posed ? &posedBricks : &restBricks;
    };

    if (s.bricksLocal) {
        for (std::size_t v = 0; v < kSdnaViews.size(); ++v) {
            const SdnaView& view = kSdnaViews[v];
            SdnaCpuResult local;
            making("the CPU reference images", [&] {
                renderSdnaCpu(local, program, view.eye, view.target, s.width, s.height, viewPose(view),
                              viewBricks(view), brickMode);
            });
            std::size_t coverage = 0;
            std::size_t both = 0;
            std::size_t material = 0;
            double depthSum = 0.0;
            for (std::size_t i = 0; i < pixels; ++i) {
                const bool localHit = local.depth[i] < 1e29f;
                const bool directHit = reference[v].depth[i] < 1e29f;
                if (localHit != directHit) {
                    ++coverage;
                } else if (localHit) {
                    ++both;
                    depthSum += relativeDepthError(local.depth[i], reference[v].depth[i]);
                    if (local.normal[i * 4 + 3] != reference[v].normal[i * 4 + 3])
                        ++material;
                }
            }
            std::fprintf(out,
                         "  CPU [%-5s] bricks local %7.1f ms | tube vs direct: coverage %.4f%%, depth rel %.1e, "
                         "material %zu\n",
                         view.name, local.ms, static_cast<double>(coverage) * 100.0 / static_cast<double>(pixels),
                         depthSum / static_cast<double>(std::max<std::size_t>(both, 1)), material);
            reference[v] = std::move(local);
        }
    }

    std::filesystem::create_directories(s.outDir);

    VulkanContext list;
    if (!list.createInstance(&error)) {
        std::fprintf(out, "Vulkan unavailable: %s\n", error.c_str());
        return 1;
    }
    const std::vector<VulkanDeviceInfo> listed = list.listDevices();
    const std::vector<VulkanDeviceInfo> devices = chosenDevices(listed, s.gpu);
    const std::int64_t repetitions = sdnaRepetitions(s.frames, s.benchmark);
    const char* separator = s.bricksLocal ? "_bricks_local_" : (useBricks ? "_bricks_" : "_");
    int failures = 0;
    if (devices.empty()) {
        std::fprintf(out, "%s\n", noDeviceMessage(s.gpu, listed.size()).c_str());
        ++failures;
    }

    for (const VulkanDeviceInfo& device : devices) {
        auto context = std::make_unique<VulkanContext>();
        if (!context->createInstance(&error) || !context->createDevice(device.index, &error)) {
            std::fprintf(out, "[%s] setup failed: %s\n", device.name.c_str(), error.c_str());
            ++failures;
            continue;
        }
        std::fprintf(out, "== %s\n", device.name.c_str());
        if (useBricks)
            std::fputs(sdnaBrickWalkLine(sdnaBrickWalkInDouble(*context)).c_str(), out);
        const std::string tag = deviceImageTag(devices, device);

        for (std::size_t v = 0; v < kSdnaViews.size(); ++v) {
            const SdnaView& view = kSdnaViews[v];
            const SdnaGpuView gpuView = sdnaGpuView(programCamera(view.eye, view.target, s.width, s.height));
            const ProgramBounds* cull = (!useBricks && !s.noCull) ? &bounds : nullptr;
            GpuFrame kept;
            bool failed = false;
            for (std::int64_t i = 0; i < repetitions; ++i) {
                const double start = nowNs();
                GpuFrame frame = making("the GPU frame", [&] {
                    return renderSdnaGpu(*context, program, viewPose(view), gpuView, s.width, s.height,
                                         viewBricks(view), brickMode, cull);
                });
                const double hostMs = (nowNs() - start) / 1e6;
                if (!frame.ok) {
                    std::fprintf(out, "  [%-5s] render failed: %s\n", view.name, frame.error.c_str());
                    ++failures;
                    failed = true;
                    break;
                }
                if (s.benchmark > 0)
                    printSdnaGpuJson(out, device.index, frame, reference[v], view.name, static_cast<int>(i), s.width,
                                     s.height, hostMs);
                if (i == 0 || frame.gpuMs < kept.gpuMs)
                    kept = std::move(frame);
            }
            if (failed)
                continue;

            const SdnaComparison comparison =
                making("the comparison image", [&] { return compareSdnaFrame(kept, reference[v]); });
            std::fputs(sdnaViewLine(view.name, kept.gpuMs, reference[v], comparison).c_str(), out);
            if (!printLevelsVerdict(out, view.name, sdnaMeasures(comparison), sdnaLimits()))
                ++failures;
            const std::string file = s.outDir + "/sdna_" + view.name + separator + tag + ".png";
            if (!writeImage(file, s.width, s.height, comparison.gpuImage, out))
                ++failures;
        }
        context.reset();
    }
    return failures > 0 ? 1 : 0;
}

int runSdna(const std::string& path, std::uint32_t width, std::uint32_t height, std::int32_t frames,
            std::int32_t gpu, const std::string& outDir, std::int32_t benchmark, bool bricks, bool bricksLocal)
{
    return runSdna({.path = path,
                    .width = width,
                    .height = height,
                    .frames = frames,
                    .gpu = gpu,
                    .outDir = outDir,
                    .benchmark = benchmark,
                    .bricks = bricks,
                    .bricksLocal = bricksLocal},
                   stdout);
}

} // namespace qlmr
