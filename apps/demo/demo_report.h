#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "common/format_text.h"

namespace qlmr {

struct Scene;
struct FrameStats;

// The report lines of the demo program, each ending with a newline. The
// launcher reads the view lines (by their opening "[" and " ms |") and the
// memory line (by "memory: heights "), so their wording is fixed.

// The instruction set this build of the demo program was compiled for.
struct DemoBuild {
    const char* simd;           // "SSE2 (4 lanes)" or "AVX2 (8 lanes)"
    unsigned packetWidth;       // 2 or 4 pixels
    unsigned packetHeight;      // 2 pixels
    unsigned tileSize;          // 16 pixels
};
DemoBuild demoBuild();

std::string formatBanner(const DemoBuild& build, unsigned threads);

// How much the scene's height data costs, against an indexed mesh with one
// vertex per instanced cell.
struct SceneFigures {
    std::size_t fields = 0;
    std::size_t prisms = 0;
    double instancedCells = 0.0; // sum over prisms of their field's width * height
    std::uint64_t heightBytes = 0;
    std::uint64_t boundsBytes = 0;
    std::uint64_t otherBytes = 0; // albedo, material and the rest of the fields
};

// Bytes an equivalent indexed triangle mesh needs per instanced cell.
inline constexpr double kMeshBytesPerCell = 56.0;

// Counts and sizes of a built scene; a field placed by several prisms
// counts once per prism in the instanced cells.
SceneFigures measureScene(const Scene& scene);

std::string formatSceneLine(const SceneFigures& figures);
std::string formatMemoryLine(const SceneFigures& figures);

// The per-view line from the best frame's counters: milliseconds, rays per
// second, hit percentage and the per-primary-ray march figures.
std::string formatViewLine(const char* view, const FrameStats& best);

// "JSON " and one object with the view line's values; hits as a fraction.
std::string formatJsonLine(const char* view, const FrameStats& best);

} // namespace qlmr
