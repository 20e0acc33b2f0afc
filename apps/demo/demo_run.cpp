#include "demo_run.h"

#include "debug_images.h"
#include "demo_report.h"
#include "demo_settings.h"

#include "common/out_of_memory.h"

#include "content/demo_scene.h"
#include "scene/camera.h"
#include "scene/color_image.h"
#include "scene/gbuffer.h"
#include "scene/png_writer.h"
#include "scene/scene.h"
#include "scene/scene_tracer.h"
#include "scene/thread_pool.h"
#include "scene/tile_renderer.h"

#include <filesystem>
#include <stdexcept>
#include <string>
#include <system_error>
#include <vector>

namespace qlmr {

namespace {

void createOutputDirectory(const std::string& out)
{
    std::error_code error;
    std::filesystem::create_directories(out, error);
    if (error)
        throw std::runtime_error("cannot create output directory \"" + out + "\": " + error.message());
}

void print(std::FILE* report, const std::string& line)
{
    std::fputs(line.c_str(), report);
}

std::string sizeText(std::uint32_t width, std::uint32_t height)
{
    return std::to_string(width) + "x" + std::to_string(height);
}

// Reports an image that could not be written on `errors`, after what the
// report holds so far.
void reportFailedWrite(const std::string& path, std::FILE* report, std::FILE* errors)
{
    std::fflush(report);
    std::fprintf(errors, "cannot write %s\n", path.c_str());
    std::fflush(errors);
}

} // namespace

int runDemo(const DemoOptions& options, std::FILE* report, std::FILE* errors)
{
    createOutputDirectory(options.out);

    // Created before the scene, since the field generators run on it, and
    // destroyed last.
    ThreadPool pool;
    print(report, formatBanner(demoBuild(), pool.workerCount() + 1));

    Scene scene;
    const DemoLayout layout =
        making("demo scene with a " + sizeText(options.terrain, options.terrain) + " terrain",
               [&] { return buildDemoScene(scene, options.terrain, options.edges, pool); });

    const SceneFigures figures = measureScene(scene);
    print(report, formatSceneLine(figures));
    print(report, formatMemoryLine(figures));

    const SceneTracer tracer = making("scene tracer", [&] { return SceneTracer(scene, demoTraceSettings(options)); });
    TileRenderer renderer(&pool, &tracer);
    const RenderSettings lighting = demoRenderSettings(options);
    // Sized here, so that a size too large for memory is named; the renders
    // then find it at their size.
    GBuffer frame;
    making("G-buffer " + sizeText(options.width, options.height),
           [&] { frame.resize(options.width, options.height); });

    std::size_t failedWrites = 0;
    for (const ViewPreset& view : makeViewPresets(scene.fields, layout)) {
        const Camera camera =
            Camera::lookAt(view.eye, view.target, Vec3{0.0f, 1.0f, 0.0f}, view.fovDegrees, options.width, options.height);
        // Every frame draws the same image; the fastest one's figures count,
        // and a tie keeps the earlier frame.
        const FrameStats best = making(std::string("render of view ") + view.name, [&] {
            FrameStats fastest = renderer.render(camera, lighting, frame);
            for (std::int32_t i = 1; i < options.frames; ++i) {
                const FrameStats stats = renderer.render(camera, lighting, frame);
                if (stats.ms < fastest.ms)
                    fastest = stats;
            }
            return fastest;
        });
        print(report, formatViewLine(view.name, best));
        if (options.json)
            print(report, formatJsonLine(view.name, best));

        const std::string base = options.out + "/" + view.name;
        // A failed write is reported and the run goes on with the next image.
        auto write = [&](const std::string& path, auto image) {
            const bool written =
                making("image " + path, [&] { return writePng(path, frame.width, frame.height, image()); });
            if (!written) {
                reportFailedWrite(path, report, errors);
                ++failedWrites;
            }
        };
        write(base + ".png", [&] { return colorImage(frame); });
        if (view.debugImages) {
            write(base + "_normals.png", [&] { return normalsImage(frame); });
            write(base + "_cost.png", [&] { return costImage(frame, kDemoCostScale); });
        }
    }

    // The closing line promises the images: only when every one was written.
    if (failedWrites == 0)
        print(report, formatText("images written to %s/\n", options.out.c_str()));
    std::fflush(report);
    return failedWrites == 0 ? 0 : 1;
}

} // namespace qlmr
