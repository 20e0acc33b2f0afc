#pragma once

#include "gpu/gpu_renderer.h"
#include "levels_verdict.h"
#include "scene/gbuffer.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace qlmr {

// The element at min(floor(size x p), size - 1) of a sorted list, p taken
// within [0, 1]; NaN for an empty list.
double percentile(const std::vector<double>& sorted, double p);

// A GPU field frame against the CPU G-buffer of the same view.
struct SceneComparison {
    std::size_t pixels = 0;
    std::size_t hits = 0;
    std::size_t coverageMismatch = 0;
    std::size_t normalOver5 = 0;
    std::size_t differing = 0;
    std::size_t off = 0;  // some channel differs by more than 24
    double angleSum = 0.0;
    double depthRelSum = 0.0;
    double gpuIters = 0.0;
    double cpuIters = 0.0;
    double squaredSum = 0.0;
    std::size_t solidPixels = 0;
    std::size_t solidChannelsDiffering = 0;
    double solidSquaredSum = 0.0;
    std::vector<std::uint8_t> gpuImage;  // tone-mapped RGBA8, alpha 255
};

// `solidMask` is empty or one byte per pixel (1: affected by the solid object).
SceneComparison compareSceneFrame(const GpuFrame& gpu, const GBuffer& cpu, const std::vector<std::uint8_t>& solidMask);

// "  [%-6s] GPU ..." with its line end.
std::string sceneViewLine(const std::string& view, double gpuMs, double cpuMs, const SceneComparison& c);

// "  [%-6s] solid-affected ..." with its line end, or "" without solid pixels.
std::string solidAffectedLine(const std::string& view, const SceneComparison& c);

// "  [%-6s] frames n=..." for at least 3 frame times, else "".
std::string frameTimesLine(const std::string& view, std::vector<double> times);

// The verdict measures of a comparison (image and solid PSNR included).
LevelsMeasures sceneMeasures(const SceneComparison& c);

// The limits of the field scenes ("prisms") and of the diorama ("one frame").
LevelsLimits prismsLimits();
LevelsLimits oneFrameLimits();

// The limits of a scene mode's verdicts: "one frame" for the diorama,
// "prisms" otherwise. A trace-only run is compared with the unlit CPU colour
// (and without the solid object when one was left out), and its label says so.
LevelsLimits sceneLimits(bool diorama, bool traceOnly, bool solidLeftOut);

} // namespace qlmr
