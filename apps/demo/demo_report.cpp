#include "demo_report.h"

#include <cstdio>

#include "scene/scene.h"
#include "scene/tile_renderer.h"

namespace qlmr {

DemoBuild demoBuild()
{
#if QLMR_LANES == 8
    return {"AVX2 (8 lanes)", 4, 2, 16};
#elif QLMR_LANES == 4
    return {"SSE2 (4 lanes)", 2, 2, 16};
#else
#error "QLMR_LANES must be 8 or 4"
#endif
}

std::string formatBanner(const DemoBuild& build, unsigned threads)
{
    return formatText("Quillmere reference renderer | SIMD: %s | threads: %u | packet %ux%u | tile %u\n",
                      build.simd, threads, build.packetWidth, build.packetHeight, build.tileSize);
}

SceneFigures measureScene(const Scene& scene)
{
    SceneFigures figures;
    figures.fields = scene.fields.size();
    figures.prisms = scene.prisms.size();
    for (const Prism& prism : scene.prisms) {
        const DisplacementField& field = scene.fields.at(prism.fieldIndex);
        figures.instancedCells += double(field.width) * double(field.height);
    }
    std::uint64_t total = 0;
    for (const DisplacementField& field : scene.fields) {
        figures.heightBytes += field.heightBytes();
        figures.boundsBytes += field.boundsBytes();
        total += field.memoryBytes();
    }
    figures.otherBytes = total - figures.heightBytes - figures.boundsBytes;
    return figures;
}

std::string formatSceneLine(const SceneFigures& figures)
{
    return formatText("scene: %zu fields, %zu prisms, %.1f M instanced surface cells\n", figures.fields,
                      figures.prisms, figures.instancedCells * 1e-6);
}

std::string formatMemoryLine(const SceneFigures& figures)
{
    constexpr double mb = 1048576.0;
    return formatText(
        "memory: heights %.1f MB + bounds %.1f MB (+ albedo/material %.1f MB) vs. equivalent indexed mesh ~%.0f MB\n",
        double(figures.heightBytes) / mb, double(figures.boundsBytes) / mb, double(figures.otherBytes) / mb,
        figures.instancedCells * kMeshBytesPerCell / mb);
}


std::string formatViewLine(const char* view, const FrameStats& best)
{
    const double primary = double(best.primary);
    return formatText("[%-6s] %7.1f ms | %.2f Mrays/s (primary %llu, shadow %llu) | hits %.1f%% | primary iters %.1f "
                      "(descends %.1f, seed %.1f) | avg bin %.1f\n",
                      view, best.ms, double(best.primary + best.shadow) / (best.ms * 1000.0),
                      static_cast<unsigned long long>(best.primary), static_cast<unsigned long long>(best.shadow),
                      100.0 * double(best.hits) / primary, best.iters / primary, best.descends / primary,
                      best.seed / primary, best.avgBin);
}

std::string formatJsonLine(const char* view, const FrameStats& best)
{
    const double primary = double(best.primary);
    return formatText("JSON {\"view\":\"%s\",\"ms\":%.3f,\"primary\":%llu,\"shadow\":%llu,\"iters\":%.4f,"
                      "\"descends\":%.4f,\"seed\":%.4f,\"hits\":%.4f}\n",
                      view, best.ms, static_cast<unsigned long long>(best.primary),
                      static_cast<unsigned long long>(best.shadow), best.iters / primary, best.descends / primary,
                      best.seed / primary, double(best.hits) / primary);
}

} // namespace qlmr
