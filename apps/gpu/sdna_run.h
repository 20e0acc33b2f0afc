#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

namespace qlmr {

struct SdnaRunSettings {
    std::string path;
    std::uint32_t width = 640;
    std::uint32_t height = 360;
    std::int32_t frames = 5;
    std::int32_t gpu = -1;  // negative: every device
    std::string outDir = "output/sdna";
    std::int32_t benchmark = 0;  // 0: no JSON lines
    bool bricks = false;
    bool bricksLocal = false;
    bool noCull = false;
};

// Frames rendered per view and device: `frames` (at least 1), or with a
// benchmark the warm-up frame plus `benchmark` timed ones. The largest
// benchmark count takes one more frame than an int counts.
std::int64_t sdnaRepetitions(std::int32_t frames, std::int32_t benchmark);

// The shape-program run: the file's program rendered on the processor from
// three views, then on every chosen device, compared, reported on `out` and
// written as PNG images. Returns the exit code.
int runSdna(const SdnaRunSettings& settings, std::FILE* out);

// The same run from its values, reported on standard output, with the
// culling table in use.
int runSdna(const std::string& path, std::uint32_t width, std::uint32_t height, std::int32_t frames,
            std::int32_t gpu, const std::string& outDir, std::int32_t benchmark, bool bricks, bool bricksLocal);

} // namespace qlmr
