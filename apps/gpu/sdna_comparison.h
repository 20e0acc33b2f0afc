#pragma once

#include "gpu/gpu_renderer.h"
#include "levels_verdict.h"
#include "sdna_cpu_render.h"

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace qlmr {

// The shape-program display encoding of one linear channel: c / (c + 1),
// clamped, the sRGB curve, rounded to a byte.
std::uint8_t sdnaDisplayByte(float c);

// Everything the report lines of one view say about a GPU frame against
// its CPU reference.
struct SdnaComparison {
    std::size_t pixels = 0;
    std::size_t hits = 0;  // hit on both sides
    std::size_t coverageMismatch = 0;
    std::size_t materialMismatch = 0;
    std::size_t normalOver5 = 0;
    std::size_t differing = 0;  // some channel differs
    std::size_t off = 0;        // some channel differs by 25 or more
    std::size_t uncertainGpu = 0;
    int maxChannelDiff = 0;
    double angleSum = 0.0;     // degrees
    double depthRelSum = 0.0;
    double depthErrorMax = 0.0;
    double normalErrorMax = 0.0;
    double gpuStepsSum = 0.0;
    double squaredSum = 0.0;  // display bytes
    std::vector<std::uint8_t> gpuImage;  // RGBA8, alpha 255
};

SdnaComparison compareSdnaFrame(const GpuFrame& gpu, const SdnaCpuResult& cpu);

// "  [%-5s] GPU ..." with its line end.
std::string sdnaViewLine(const std::string& view, double gpuMs, const SdnaCpuResult& cpu,
                         const SdnaComparison& comparison);

// "  GPU brick walk: double precision\n", or single precision with the
// reason, as the device section of a brick run says which walk ran.
std::string sdnaBrickWalkLine(bool inDouble);

// The verdict measures of a comparison and the limits of the label "sdna".
LevelsMeasures sdnaMeasures(const SdnaComparison& comparison);
LevelsLimits sdnaLimits();

// The verdict of one view with the label "sdna".
LevelsVerdict sdnaVerdict(const std::string& view, const SdnaComparison& comparison);

// One "JSON {...}" line of a benchmark frame, with its line end.
struct SdnaJsonSample {
    std::uint32_t device = 0;
    std::string view;
    int sample = 0;
    std::uint32_t width = 0;
    std::uint32_t height = 0;
    double hostMs = 0.0;
    std::uint64_t rssPeakBytes = 0;
};
std::string sdnaGpuJsonLine(const SdnaJsonSample& sample, const GpuFrame& frame, const SdnaCpuResult& cpu,
                            const SdnaComparison& comparison);

// Prints the JSON line of one benchmark frame, compared with its CPU
// reference, with the process's peak resident memory.
void printSdnaGpuJson(std::FILE* out, std::uint32_t device, const GpuFrame& frame, const SdnaCpuResult& cpu,
                      const std::string& view, int sample, std::uint32_t width, std::uint32_t height, double hostMs);

// The same on standard output, where the program's report goes.
void printSdnaGpuJson(std::uint32_t device, const GpuFrame& frame, const SdnaCpuResult& cpu, const std::string& view,
                      int sample, std::uint32_t width, std::uint32_t height, double hostMs);

} // namespace qlmr
