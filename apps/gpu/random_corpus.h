#pragma once

#include "gpu/gpu_renderer.h"
#include "sdna/program.h"

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace qlmr {

struct RandomCorpusSettings {
    std::int32_t count = 0;
    std::uint32_t width = 32;
    std::uint32_t height = 24;
    std::int32_t gpu = -1;  // negative: every device
    std::string outDir = "output/gpu";
    bool noCull = false;
};

// Per-device tallies of a corpus run.
struct RandomDeviceTally {
    std::uint64_t renders = 0;
    std::uint64_t hits = 0;
    std::uint64_t uncertainCpu = 0;
    std::uint64_t visibility = 0;
    std::uint64_t depth = 0;
    std::uint64_t material = 0;
    std::uint64_t normal = 0;
    std::uint64_t status = 0;
    double maxDepthError = 0.0;
    double maxNormalError = 0.0;
    double gpuMs = 0.0;
};

// Whether a device with these tallies passes a corpus of `count` programs.
bool randomDevicePassed(const RandomDeviceTally& tally, std::uint64_t count);

// What one program's pixels compared so far: the number of differing
// pixels and the detail lines of the first two differing pixels both
// sides hit, each with its line end.
struct RandomProgramComparison {
    std::size_t differing = 0;
    std::string details;
};

// Pixel `pixel` (row-major, `width` to a row) of a program's GPU frame
// against the CPU trace of its ray. The counts go into `tally`, the
// differences into `program`. A frame that does not hold its whole image,
// `width` to a row, is a miss with no status in every pixel.
void compareRandomPixel(std::uint32_t seed, const GpuFrame& gpu, std::size_t pixel, std::uint32_t width,
                        const SdnaHit& cpu, RandomDeviceTally& tally, RandomProgramComparison& program);

// The device's object in random-sdna.json.
std::string randomDeviceJson(std::uint32_t index, const RandomDeviceTally& tally, bool passed);

// The corpus of generated programs, GPU against the CPU tracer on every
// chosen device. Report lines go to `out`, errors to `err`; the results go
// to outDir/random-sdna.json, written whole once the run is over (a write
// that fails leaves an earlier file there as it was). Returns the exit code.
int runRandomSdna(const RandomCorpusSettings& settings, std::FILE* out, std::FILE* err);

// The same run from its values, reporting on standard output and standard
// error, with the culling table in use.
int runRandomSdna(std::int32_t count, std::uint32_t width, std::uint32_t height, std::int32_t gpu,
                  const std::string& outDir);

} // namespace qlmr
