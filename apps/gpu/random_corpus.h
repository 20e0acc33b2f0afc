#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

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

// The device's object in random-sdna.json.
std::string randomDeviceJson(std::uint32_t index, const RandomDeviceTally& tally, bool passed);

// The corpus of generated programs, GPU against the CPU tracer on every
// chosen device. Report lines go to `out`, errors to `err`; the results go
// to outDir/random-sdna.json. Returns the exit code.
int runRandomSdna(const RandomCorpusSettings& settings, std::FILE* out, std::FILE* err);

} // namespace qlmr
