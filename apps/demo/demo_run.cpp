#include "demo_run.h"

#include "debug_images.h"
#include "demo_report.h"
#include "demo_settings.h"

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

// Image writes that fail are not reported: the run goes on.
void writeImage(const std::string& path, const GBuffer& frame, const std::vector<std::uint8_t>& rgba)
{
    writePng(path, frame.width, frame.height, rgba);
}

} // namespace

int runDemo(const DemoOptions& options, std::FILE* report)
{
    createOutputDirectory(options.out);

    // Created before the scene, since the field generators run on it, and
    // destroyed last.
    ThreadPool pool;
    print(report, formatBanner(demoBuild(), pool.workerCount() + 1));

    Scene scene;
    const DemoLayout layout = buildDemoScene(scene, options.terrain, options.edges, pool);

    const SceneFigures figures = measureScene(scene);
    print(report, formatSceneLine(figures));
    print(report, formatMemoryLine(figures));

    const SceneTracer tracer(scene, demoTraceSettings(options));
    TileRenderer renderer(&pool, &tracer);
    const RenderSettings lighting = demoRenderSettings(options);
    GBuffer frame;

    for (const ViewPreset& view : makeViewPresets(scene.fields, layout)) {
        const Camera camera =
            Camera::lookAt(view.eye, view.target, Vec3{0.0f, 1.0f, 0.0f}, view.fovDegrees, options.width, options.height);
        // Every frame draws the same image; the fastest one's figures count,
        // and a tie keeps the earlier frame.
        FrameStats best = renderer.render(camera, lighting, frame);
        for (std::int32_t i = 1; i < options.frames; ++i) {
            const FrameStats stats = renderer.render(camera, lighting, frame);
            if (stats.ms < best.ms)
                best = stats;
        }
        print(report, formatViewLine(view.name, best));
        if (options.json)
            print(report, formatJsonLine(view.name, best));

        const std::string base = options.out + "/" + view.name;
        writeImage(base + ".png", frame, colorImage(frame));
        if (view.debugImages) {
            writeImage(base + "_normals.png", frame, normalsImage(frame));
            writeImage(base + "_cost.png", frame, costImage(frame, kDemoCostScale));
        }
    }

    print(report, formatText("images written to %s/\n", options.out.c_str()));
    std::fflush(report);
    return 0;
}

} // namespace qlmr
