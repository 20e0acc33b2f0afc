#include "scene_modes.h"

#include "gpu/gpu_renderer.h"
#include "gpu/vulkan_context.h"
#include "scene/camera.h"
#include "scene/color_image.h"
#include "scene/gbuffer.h"
#include "scene/png_writer.h"
#include "scene/scene.h"
#include "scene/scene_tracer.h"
#include "scene/settings.h"
#include "scene/thread_pool.h"
#include "scene/tile_renderer.h"
#include "scene_comparison.h"
#include "scene_setup.h"

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

namespace qlmr {

namespace {

// One view's CPU reference, kept for the whole run.
struct CpuView {
    GBuffer frame;
    double ms = 1e30;
    std::vector<std::vector<std::uint32_t>> bins;  // the tile lists of the last render
};

Camera viewCamera(const ViewPreset& view, std::uint32_t width, std::uint32_t height)
{
    return Camera::lookAt(view.eye, view.target, Vec3{0.0f, 1.0f, 0.0f}, view.fovDegrees, width, height);
}

} // namespace

int runSceneMode(const GpuTestOptions& o, std::FILE* out)
{
    if (o.scene == "diorama") {
        std::fprintf(out, "scene \"diorama\" is not available in this build; the \"demo\" and \"shells\" scenes "
                          "and --sdna, --random and --sculpt are\n");
        return 1;
    }
    if (o.meshCompare || o.temporalFrames > 0 || o.upscale || o.stamps > 0) {
        std::fprintf(out, "--p0, --temporal, --upscale and --stamps are not available in this build\n");
        return 1;
    }

    std::filesystem::create_directories(o.out);
    ThreadPool pool;
    Scene scene;
    RenderSettings settings;
    std::vector<ViewPreset> views;
    if (!buildGpuTestScene(o, pool, scene, settings, views, out))
        return 1;

    TraceSettings trace;
    if (o.geometricNormals)
        trace.normalMode = 0;
    if (o.cubicNormals)
        trace.normalMode = 2;

    const SceneTracer tracer(scene, trace);
    TileRenderer cpuRenderer(&pool, &tracer);

    const std::uint32_t width = o.width;
    const std::uint32_t height = o.height;
    std::vector<CpuView> reference(views.size());
    for (std::size_t v = 0; v < views.size(); ++v) {
        const Camera camera = viewCamera(views[v], width, height);
        for (int i = 0; i < o.frames; ++i)
            reference[v].ms = std::min(reference[v].ms, cpuRenderer.render(camera, settings, reference[v].frame).ms);
        reference[v].bins = cpuRenderer.bins();
    }

    VulkanContext list;
    std::string error;
    if (!list.createInstance(&error)) {
        std::fprintf(out, "Vulkan unavailable: %s\n", error.c_str());
        return 1;
    }
    int failures = 0;
    for (const VulkanDeviceInfo& device : list.listDevices()) {
        if (o.gpu >= 0 && static_cast<std::uint32_t>(o.gpu) != device.index)
            continue;
        auto context = std::make_unique<VulkanContext>();
        auto renderer = std::make_unique<GpuRenderer>();
        GpuRenderOptions options;
        options.traceOnly = o.traceOnly;
        options.seedPass = o.seedPass;
        options.shellLevels = 6;
        options.modeFlag = o.cubicNormals;
        if (!context->createInstance(&error) || !context->createDevice(device.index, &error) ||
            !renderer->init(*context, scene, &error, options)) {
            std::fprintf(out, "[%s] setup failed: %s\n", device.name.c_str(), error.c_str());
            ++failures;
            renderer.reset();
            context.reset();
            continue;
        }
        std::fprintf(out, "== %s\n", device.name.c_str());
        const char* tag = device.deviceType == 1 ? "igpu" : "dgpu";

        for (std::size_t v = 0; v < views.size(); ++v) {
            const std::string name = views[v].name;
            const Camera camera = viewCamera(views[v], width, height);
            GpuViewData viewData;
            viewData.bins = &reference[v].bins;
            GpuFrame kept;
            std::vector<double> times;
            bool failed = false;
            for (int i = 0; i < o.frames; ++i) {
                GpuFrame frame = renderer->render(camera, settings, viewData, 1.0f, trace.lodBias,
                                                  trace.normalMode != 0, true);
                if (!frame.ok) {
                    std::fprintf(out, "  [%s] render failed: %s\n", name.c_str(), frame.error.c_str());
                    ++failures;
                    failed = true;
                    break;
                }
                times.push_back(frame.gpuMs);
                if (i == 0 || frame.gpuMs < kept.gpuMs)
                    kept = std::move(frame);
            }
            if (failed)
                continue;
            std::fputs(frameTimesLine(name, times).c_str(), out);

            const SceneComparison comparison = compareSceneFrame(kept, reference[v].frame, {});
            std::fputs(sceneViewLine(name, kept.gpuMs, reference[v].ms, comparison).c_str(), out);
            const LevelsVerdict verdict = levelsVerdict(name, sceneMeasures(comparison), prismsLimits());
            std::fputs(verdict.line.c_str(), out);
            if (!verdict.passed())
                ++failures;
            writePng(o.out + "/" + name + "_" + tag + ".png", width, height, comparison.gpuImage);
            writePng(o.out + "/" + name + "_cpu.png", width, height, colorImage(reference[v].frame));
        }
        renderer.reset();
        context.reset();
    }
    return failures > 0 ? 1 : 0;
}

} // namespace qlmr
