#include "scene_modes.h"

#include "gpu/gpu_renderer.h"
#include "gpu/vulkan_context.h"
#include "scene/camera.h"
#include "scene/color_image.h"
#include "scene/gbuffer.h"
#include "scene/scene.h"
#include "scene/scene_tracer.h"
#include "scene/settings.h"
#include "scene/thread_pool.h"
#include "scene/tile_renderer.h"
#include "scene_comparison.h"
#include "debug_pixel.h"
#include "device_choice.h"
#include "device_variants.h"
#include "image_output.h"
#include "common/out_of_memory.h"
#include "scene_setup.h"
#include "stamp_run.h"
#include "unlit_reference.h"

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
    std::vector<std::uint8_t> solidMask;           // 1 where the solid object changed the pixel
};

// Renders the view once more without the solid object and marks every pixel
// whose depth or colour changed, where at least one of the two is finite.
std::vector<std::uint8_t> solidMask(ThreadPool& pool, const SceneTracer& tracer, const Camera& camera,
                                    const RenderSettings& settings, const GBuffer& withSolid)
{
    TileRenderer plain(&pool, &tracer);
    GBuffer scratch;
    plain.render(camera, settings, scratch);
    std::vector<std::uint8_t> mask(static_cast<std::size_t>(withSolid.width) * withSolid.height, 0);
    for (std::uint32_t y = 0; y < withSolid.height; ++y) {
        for (std::uint32_t x = 0; x < withSolid.width; ++x) {
            bool changed = false;
            for (unsigned p : {unsigned(GBuffer::Depth), unsigned(GBuffer::ColorR), unsigned(GBuffer::ColorG),
                               unsigned(GBuffer::ColorB)}) {
                const float a = withSolid.at(p, x, y);
                const float b = scratch.at(p, x, y);
                changed |= a != b && (std::isfinite(a) || std::isfinite(b));
            }
            mask[static_cast<std::size_t>(y) * withSolid.width + x] = changed ? 1 : 0;
        }
    }
    return mask;
}

bool setSolid(GpuRenderer& renderer, const SdnaInstance& solid, std::string& error)
{
    if (renderer.setSolid(&solid))
        return true;
    error = "setSolid failed";
    return false;
}

Camera viewCamera(const ViewPreset& view, std::uint32_t width, std::uint32_t height)
{
    return Camera::lookAt(view.eye, view.target, Vec3{0.0f, 1.0f, 0.0f}, view.fovDegrees, width, height);
}

} // namespace

int runSceneMode(const GpuTestOptions& o, std::FILE* out)
{
    std::filesystem::create_directories(o.out);
    ThreadPool pool;
    GpuTestScene built;
    if (const int code = making("the scene", [&] { return buildGpuTestScene(o, pool, built, out); }); code != 0)
        return code;
    Scene& scene = built.scene();
    const RenderSettings& settings = built.settings;
    const std::vector<ViewPreset>& views = built.views;
    const SdnaInstance* solid = built.critter ? &built.critter->instance : nullptr;

    TraceSettings trace;
    if (o.geometricNormals)
        trace.normalMode = 0;
    if (o.cubicNormals)
        trace.normalMode = 2;
    if (built.diorama) {
        trace.snapToPixelGrid = false;
        std::fprintf(out, "CPU reference with texel snap off (the GPU kernel has no twin of snapToPixelGrid yet, "
                          "docs/10)\n");
    }

    const SceneTracer tracer(scene, trace);
    TileRenderer cpuRenderer(&pool, &tracer);
    // The trace-only tracer marches the fields alone and draws their unlit
    // colour: its reference leaves the solid object out and is repainted so.
    cpuRenderer.solid = o.traceOnly ? nullptr : solid;
    auto unlitWhenTraceOnly = [&](const Camera& camera, CpuView& view) {
        if (o.traceOnly)
            paintUnlitColor(pool, tracer, camera, settings, view.bins, view.frame);
    };

    const std::uint32_t width = built.width;
    const std::uint32_t height = built.height;
    // Every measurement renders at least once, however few frames are asked.
    const int frames = std::max(o.frames, 1);
    std::vector<CpuView> reference(views.size());
    making("the CPU reference frames", [&] {
        for (std::size_t v = 0; v < views.size(); ++v) {
            const Camera camera = viewCamera(views[v], width, height);
            for (int i = 0; i < frames; ++i)
                reference[v].ms =
                    std::min(reference[v].ms, cpuRenderer.render(camera, settings, reference[v].frame).ms);
            reference[v].bins = cpuRenderer.bins();
            unlitWhenTraceOnly(camera, reference[v]);
            if (cpuRenderer.solid)
                reference[v].solidMask = solidMask(pool, tracer, camera, settings, reference[v].frame);
        }
    });

    VulkanContext list;
    std::string error;
    if (!list.createInstance(&error)) {
        std::fprintf(out, "Vulkan unavailable: %s\n", error.c_str());
        return 1;
    }
    int failures = 0;
    const std::vector<VulkanDeviceInfo> listed = list.listDevices();
    const std::vector<VulkanDeviceInfo> chosen = chosenDevices(listed, o.gpu);
    if (chosen.empty()) {
        std::fprintf(out, "%s\n", noDeviceMessage(o.gpu, listed.size()).c_str());
        ++failures;
    }
    bool stamped = false;  // stamps go on the first device that is set up
    for (const VulkanDeviceInfo& device : chosen) {
        auto context = std::make_unique<VulkanContext>();
        auto renderer = std::make_unique<GpuRenderer>();
        GpuRenderOptions options;
        options.traceOnly = o.traceOnly;
        options.seedPass = o.seedPass;
        options.shellLevels = 6;
        options.modeFlag = o.cubicNormals;
        options.solid = solid != nullptr;
        options.snapToPixelGrid = trace.snapToPixelGrid;
        if (!context->createInstance(&error) || !context->createDevice(device.index, &error) ||
            (o.meshCompare && !context->requireGraphicsQueue(&error)) ||
            !renderer->init(*context, scene, &error, options) || (solid && !setSolid(*renderer, *solid, error))) {
            std::fprintf(out, "[%s] setup failed: %s\n", device.name.c_str(), error.c_str());
            ++failures;
            renderer.reset();
            context.reset();
            continue;
        }
        std::fprintf(out, "== %s\n", device.name.c_str());
        if (o.stamps > 0 && !stamped) {
            stamped = true;
            failures += runStamps(scene, *renderer, o.stamps, out);
            making("the CPU reference frames", [&] {
                for (std::size_t v = 0; v < views.size(); ++v) {
                    const Camera camera = viewCamera(views[v], width, height);
                    reference[v].ms = 1e30;
                    for (int i = 0; i < frames; ++i)
                        reference[v].ms =
                            std::min(reference[v].ms, cpuRenderer.render(camera, settings, reference[v].frame).ms);
                    reference[v].bins = cpuRenderer.bins();
                    unlitWhenTraceOnly(camera, reference[v]);
                }
            });
        }
        const std::string tag = deviceImageTag(chosen, device);

        if (o.meshCompare || o.temporalFrames > 0 || o.upscale) {
            std::vector<const std::vector<std::vector<std::uint32_t>>*> viewBins;
            for (const CpuView& view : reference)
                viewBins.push_back(&view.bins);
            VariantContext variant;
            variant.context = context.get();
            variant.renderer = renderer.get();
            variant.tiles = &cpuRenderer;
            variant.scene = &scene;
            variant.settings = &settings;
            variant.views = &views;
            variant.viewBins = &viewBins;
            variant.width = width;
            variant.height = height;
            variant.frames = frames;
            variant.lodBias = trace.lodBias;
            variant.halfLodBias = o.halfLodBias;
            variant.shadingNormals = trace.normalMode != 0;
            variant.out = o.out;
            variant.tag = tag;
            making("the GPU frames", [&] {
                if (o.meshCompare)
                    failures += runMeshComparison(variant, out);
                else if (o.temporalFrames > 0)
                    failures += runTemporalComparison(variant, o.temporalFrames, o.temporalSpeed, out);
                else
                    failures += runUpscaleComparison(variant, out);
            });
            renderer.reset();
            context.reset();
            continue;
        }

        for (std::size_t v = 0; v < views.size(); ++v) {
            const std::string name = views[v].name;
            const Camera camera = viewCamera(views[v], width, height);
            GpuViewData viewData;
            viewData.bins = &reference[v].bins;
            GpuFrame kept;
            std::vector<double> times;
            bool failed = false;
            for (int i = 0; i < frames; ++i) {
                GpuFrame frame = making("the GPU frames", [&] {
                    return renderer->render(camera, settings, viewData, 1.0f, trace.lodBias, trace.normalMode != 0,
                                            true);
                });
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

            const SceneComparison comparison = making("the comparison image", [&] {
                return compareSceneFrame(kept, reference[v].frame, reference[v].solidMask);
            });
            std::fputs(solidAffectedLine(name, comparison).c_str(), out);
            std::fputs(sceneViewLine(name, kept.gpuMs, reference[v].ms, comparison).c_str(), out);
            if (!printLevelsVerdict(out, name, sceneMeasures(comparison),
                                    sceneLimits(built.diorama, o.traceOnly, o.traceOnly && solid)))
                ++failures;
            if (!writeImage(o.out + "/" + name + "_" + tag + ".png", width, height, comparison.gpuImage, out))
                ++failures;
            if (!writeImage(o.out + "/" + name + "_cpu.png", width, height, colorImage(reference[v].frame), out))
                ++failures;
            if (o.debugX >= 0 && o.debugX < static_cast<std::int32_t>(width) && o.debugY >= 0 &&
                o.debugY < static_cast<std::int32_t>(height)) {
                std::fputs(cpuDebugPixelLine(name, tracer, cpuRenderer.solid, camera, settings, reference[v].bins,
                                             reference[v].frame, o.debugX, o.debugY)
                               .c_str(),
                           out);
                std::fputs(gpuDebugPixelLine(name, *renderer, camera, settings, viewData, trace.lodBias,
                                             trace.normalMode != 0, kept, o.debugX, o.debugY)
                               .c_str(),
                           out);
            }
        }
        renderer.reset();
        context.reset();
    }
    return failures > 0 ? 1 : 0;
}

} // namespace qlmr
