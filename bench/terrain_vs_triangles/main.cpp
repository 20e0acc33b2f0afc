// Measures the CPU reference renderer on the demo's terrain against a
// production triangle ray tracer (Embree 3, when the build found it) on the
// same heights, cameras and shadow rule. Prints per view the rays per second
// and per CPU-second of both, their ratio, the hit fractions and how many
// pixels the two disagree on; a markdown row per view ends the report.
//
//   qlmr_bench_terrain_vs_triangles_<avx2|sse2> [--terrain N] [--frames N] [--engine-only]

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <memory>
#include <string>
#include <vector>

#include "demo_options.h"
#include "demo_report.h"
#include "demo_settings.h"
#include "engine_view.h"
#include "frame_timing.h"
#include "scene/scene_tracer.h"
#include "scene/thread_pool.h"
#include "scene/tile_renderer.h"
#include "terrain_views.h"

#if QLMR_WITH_EMBREE
#include "embree_terrain.h"
#endif

namespace qlmr::bench {
namespace {

constexpr std::uint32_t kWidth = 1280;
constexpr std::uint32_t kHeight = 720;
constexpr double kMiB = 1048576.0;

struct BenchOptions {
    unsigned terrain = 2048;
    int frames = 10;
    bool engineOnly = false;
};

void printUsage()
{
    std::printf("usage: qlmr_bench_terrain_vs_triangles_<variant> [--terrain N] [--frames N] [--engine-only]\n"
                "  --terrain N     terrain edge in cells, a power of two (default 2048)\n"
                "  --frames N      frames per view and tracer; the best counts (default 10)\n"
                "  --engine-only   time the engine alone, without the triangle baseline\n");
}

// Returns false after printing why the command line cannot run.
bool parseOptions(int argc, char** argv, BenchOptions& options, bool& help)
{
    for (int i = 1; i < argc; ++i) {
        const std::string word = argv[i];
        const bool hasValue = i + 1 < argc;
        if (word == "--terrain" && hasValue) {
            options.terrain = unsigned(std::strtoul(argv[++i], nullptr, 10));
        } else if (word == "--frames" && hasValue) {
            options.frames = std::atoi(argv[++i]);
        } else if (word == "--engine-only") {
            options.engineOnly = true;
        } else if (word == "--help" || word == "-h") {
            help = true;
            return true;
        } else {
            std::fprintf(stderr, "unknown or incomplete option: %s\n", word.c_str());
            return false;
        }
    }
    if (options.frames < 1) {
        std::fprintf(stderr, "--frames must be at least 1\n");
        return false;
    }
    return true;
}

#if QLMR_WITH_EMBREE
struct PixelAgreement {
    double hitMissDiffers = 0.0;   // fraction of pixels where one tracer hits and the other misses
    double medianDepthError = 0.0; // median |t_engine - t_other| / t_engine over pixels both hit
};

PixelAgreement comparePixels(const std::vector<float>& engine, const std::vector<float>& other)
{
    PixelAgreement agreement;
    std::size_t differ = 0;
    std::vector<float> errors;
    errors.reserve(engine.size());
    for (std::size_t i = 0; i < engine.size(); ++i) {
        const bool a = std::isfinite(engine[i]), b = std::isfinite(other[i]);
        if (a != b)
            ++differ;
        else if (a)
            errors.push_back(std::fabs(engine[i] - other[i]) / engine[i]);
    }
    agreement.hitMissDiffers = engine.empty() ? 0.0 : double(differ) / double(engine.size());
    if (!errors.empty()) {
        auto middle = errors.begin() + std::ptrdiff_t(errors.size() / 2);
        std::nth_element(errors.begin(), middle, errors.end());
        agreement.medianDepthError = *middle;
    }
    return agreement;
}
#endif

std::uint64_t countSet(const std::vector<std::uint8_t>& flags)
{
    return std::uint64_t(std::count(flags.begin(), flags.end(), std::uint8_t(1)));
}

void printTracerLine(const char* view, const char* tracer, const ViewFigures& f, const std::string& extra)
{
    std::printf("[%-6s] %-6s %7.2f ms %8.2f Mrays/s %7.2f Mrays/CPU-s | primary %llu, shadow %llu%s | hits %.4f%%\n",
                view, tracer, f.best.wallMs, f.mraysPerSecond(), f.mraysPerCpuSecond(),
                static_cast<unsigned long long>(f.primary), static_cast<unsigned long long>(f.shadow), extra.c_str(),
                100.0 * f.hitFraction());
}

struct SummaryRow {
    std::string view;
    ViewFigures engine;
    bool compared = false;
    ViewFigures other;
};

int run(const BenchOptions& options)
{
    const DemoBuild build = demoBuild();
    ThreadPool pool;
    const unsigned threads = pool.workerCount() + 1;
#if !QLMR_WITH_EMBREE
    if (!options.engineOnly)
        std::printf("built without Embree: the engine alone is timed\n");
#endif
    std::printf("terrain vs. triangles | %s | threads %u | terrain %u x %u | %u x %u | best of %d frames | "
                "load average %s\n",
                build.simd, threads, options.terrain, options.terrain, kWidth, kHeight, options.frames,
                loadAverage().c_str());

    // The demo's own trace and render settings for its default options.
    DemoOptions demo;
    demo.terrain = options.terrain;
    const TerrainScene terrain = buildTerrainScene(options.terrain, pool);
    const SceneTracer tracer(terrain.scene, demoTraceSettings(demo));
    const RenderSettings lighting = demoRenderSettings(demo);
    TileRenderer renderer(&pool, &tracer);

    const DisplacementField& field = terrain.scene.fields[0];
    const double tracedBytes = double(field.heightBytes() + field.boundsBytes());
    const double fieldBytes = double(field.memoryBytes());
    std::printf("engine field: heights %.1f MB + bounds %.1f MB (+ albedo/material %.1f MB) = %.1f MB\n",
                double(field.heightBytes()) / kMiB, double(field.boundsBytes()) / kMiB,
                (fieldBytes - tracedBytes) / kMiB, fieldBytes / kMiB);

#if QLMR_WITH_EMBREE
    std::unique_ptr<EmbreeTerrain> triangles;
    if (!options.engineOnly) {
        triangles = std::make_unique<EmbreeTerrain>(terrain.scene, 0, pool);
        const double embreeBytes = double(triangles->geometryBytes()) + double(triangles->embreeBytes());
        std::printf("embree %s: %llu triangles, built in %.2f s | vertices and indices %.1f MB + BVH %.1f MB "
                    "(peak %.1f MB while building) = %.1f MB: %.1fx the engine's heights + bounds, %.1fx its whole field\n",
                    triangles->version().c_str(), static_cast<unsigned long long>(triangles->triangles()),
                    triangles->buildSeconds(), double(triangles->geometryBytes()) / kMiB,
                    double(triangles->embreeBytes()) / kMiB, double(triangles->embreePeakBytes()) / kMiB,
                    embreeBytes / kMiB, embreeBytes / tracedBytes, embreeBytes / fieldBytes);
    }
#endif

    std::vector<SummaryRow> rows;
    GBuffer frame;
    for (const BenchView& view : benchViews(terrain, kWidth, kHeight)) {
        const EngineView engine = renderEngineView(renderer, view.camera, lighting, frame, options.frames);
        printTracerLine(view.name, "engine", engine.figures, "");
        // The shadow pixels read back from the frame must be the renderer's own.
        const std::uint64_t cast = countSet(engine.castsShadow);
        if (cast != engine.stats.shadow)
            std::printf("[%-6s] warning: %llu pixels face the sun but the renderer cast %llu shadow rays\n", view.name,
                        static_cast<unsigned long long>(cast), static_cast<unsigned long long>(engine.stats.shadow));
        SummaryRow row{view.name, engine.figures, false, {}};

#if QLMR_WITH_EMBREE
        if (triangles) {
            const EmbreeView other =
                triangles->traceView(pool, view.camera, lighting.sunDir, engine.castsShadow, options.frames);
            const double blocked = other.figures.shadow == 0 ? 0.0 : double(other.blocked) / double(other.figures.shadow);
            printTracerLine(view.name, "embree", other.figures, formatText(" (%.1f%% blocked)", 100.0 * blocked));
            const PixelAgreement agreement = comparePixels(engine.depth, other.depth);
            std::printf("[%-6s] engine/embree %.2fx per second, %.2fx per CPU-second | hit/miss differs on %.4f%% of "
                        "pixels | median depth difference %.4f%%\n",
                        view.name, engine.figures.mraysPerSecond() / other.figures.mraysPerSecond(),
                        engine.figures.mraysPerCpuSecond() / other.figures.mraysPerCpuSecond(),
                        100.0 * agreement.hitMissDiffers, 100.0 * agreement.medianDepthError);
            row.compared = true;
            row.other = other.figures;
        }
#endif
        rows.push_back(row);
    }

    std::printf("load average after the run: %s\n", loadAverage().c_str());
    std::printf("| view | build | terrain | engine Mrays/s | engine Mrays/CPU-s | embree Mrays/s | embree Mrays/CPU-s | "
                "ratio per s | ratio per CPU-s |\n|---|---|---|---|---|---|---|---|---|\n");
    for (const SummaryRow& row : rows) {
        std::string baseline = "| - | - | - | -";
        if (row.compared)
            baseline = formatText("| %.1f | %.2f | %.2fx | %.2fx", row.other.mraysPerSecond(),
                                  row.other.mraysPerCpuSecond(),
                                  row.engine.mraysPerSecond() / row.other.mraysPerSecond(),
                                  row.engine.mraysPerCpuSecond() / row.other.mraysPerCpuSecond());
        std::printf("| %s | %s | %u | %.1f | %.2f %s |\n", row.view.c_str(), build.simd, options.terrain,
                    row.engine.mraysPerSecond(), row.engine.mraysPerCpuSecond(), baseline.c_str());
    }
    return 0;
}

} // namespace
} // namespace qlmr::bench

int main(int argc, char** argv)
{
    qlmr::bench::BenchOptions options;
    bool help = false;
    if (!qlmr::bench::parseOptions(argc, argv, options, help)) {
        qlmr::bench::printUsage();
        return 2;
    }
    if (help) {
        qlmr::bench::printUsage();
        return 0;
    }
    try {
        return qlmr::bench::run(options);
    } catch (const std::exception& error) {
        std::fflush(stdout);
        std::fprintf(stderr, "%s\n", error.what());
        return 1;
    }
}
