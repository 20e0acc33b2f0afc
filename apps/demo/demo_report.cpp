#include "demo_report.h"

#include <cstdarg>
#include <cstdio>

namespace qlmr {

std::string formatText(const char* format, ...)
{
    va_list args;
    va_start(args, format);
    va_list again;
    va_copy(again, args);
    const int length = std::vsnprintf(nullptr, 0, format, args);
    va_end(args);
    std::string text;
    if (length > 0) {
        text.resize(std::size_t(length) + 1);
        std::vsnprintf(text.data(), text.size(), format, again);
        text.resize(std::size_t(length));
    }
    va_end(again);
    return text;
}

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

} // namespace qlmr
