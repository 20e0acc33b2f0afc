#include "gpu_options.h"

#include "scene/height_field.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <limits>

namespace qlmr {

std::int64_t readInteger(const std::string& text)
{
    return std::strtoll(text.c_str(), nullptr, 10);
}

float readFloat(const std::string& text)
{
    return std::strtof(text.c_str(), nullptr);
}

std::uint32_t readImageEdge(const std::string& text)
{
    if (text.empty())
        return 0;
    std::uint64_t value = 0;
    for (const char c : text) {
        if (c < '0' || c > '9')
            return 0;
        value = std::min<std::uint64_t>(value * 10 + static_cast<std::uint64_t>(c - '0'),
                                        std::numeric_limits<std::uint32_t>::max());
    }
    return static_cast<std::uint32_t>(value);
}

namespace {

std::int32_t saturateToInt32(std::int64_t value)
{
    return static_cast<std::int32_t>(std::clamp<std::int64_t>(value, std::numeric_limits<std::int32_t>::min(),
                                                              std::numeric_limits<std::int32_t>::max()));
}

// "X,Y": two decimal integers around a comma, each with optional leading
// blanks and sign, as "%d,%d" reads them. A number past the int range reads
// as its nearest end, so it cannot wrap into the image. False, with x and y
// untouched, when either number is missing.
bool readPixel(const std::string& text, std::int32_t& x, std::int32_t& y)
{
    const char* at = text.c_str();
    char* end = nullptr;
    const long long first = std::strtoll(at, &end, 10);
    if (end == at || *end != ',')
        return false;
    at = end + 1;
    const long long second = std::strtoll(at, &end, 10);
    if (end == at)
        return false;
    x = saturateToInt32(first);
    y = saturateToInt32(second);
    return true;
}

} // namespace

GpuTestOptions parseGpuTestOptions(int argc, const char* const* argv)
{
    GpuTestOptions o;
    int i = 1;
    auto nextArg = [&]() -> std::string {
        if (i + 1 < argc) {
            ++i;
            return argv[i];
        }
        return "";
    };
    // Numbers past a member's range read as its nearest end rather than
    // wrapping: "--gpu 4294967296" must not pick device 0, nor "--res -64"
    // a power of two.
    auto nextU32 = [&]() {
        return static_cast<std::uint32_t>(std::clamp<std::int64_t>(
            readInteger(nextArg()), 0, std::numeric_limits<std::uint32_t>::max()));
    };
    auto nextI32 = [&]() { return saturateToInt32(readInteger(nextArg())); };
    auto atLeastOne = [&]() { return std::max<std::int32_t>(1, nextI32()); };

    for (; i < argc; ++i) {
        const std::string word = argv[i];
        if (word == "--width") {
            o.width = readImageEdge(nextArg());
            o.sizeGiven = true;
        } else if (word == "--height") {
            o.height = readImageEdge(nextArg());
            o.sizeGiven = true;
        } else if (word == "--debug-pixel") {
            readPixel(nextArg(), o.debugX, o.debugY);
        } else if (word == "--sdna") {
            o.sdnaPath = nextArg();
        } else if (word == "--bricks") {
            o.bricks = true;
        } else if (word == "--bricks-local") {
            o.bricks = true;
            o.bricksLocal = true;
        } else if (word == "--random") {
            o.randomCount = atLeastOne();
        } else if (word == "--sculpt") {
            o.sculptCount = atLeastOne();
        } else if (word == "--benchmark") {
            o.benchmark = atLeastOne();
        } else if (word == "--frames") {
            o.frames = atLeastOne();
        } else if (word == "--terrain") {
            o.terrain = nextU32();
        } else if (word == "--gpu") {
            o.gpu = nextI32();
        } else if (word == "--out") {
            o.out = nextArg();
        } else if (word == "--geometric") {
            o.geometricNormals = true;
        } else if (word == "--cubic-normals") {
            o.cubicNormals = true;
        } else if (word == "--no-shadows") {
            o.noShadows = true;
        } else if (word == "--trace-only") {
            o.traceOnly = true;
        } else if (word == "--seed") {
            o.seedPass = true;
        } else if (word == "--stamps") {
            o.stamps = nextI32();
        } else if (word == "--water") {
            o.water = true;
        } else if (word == "--upscale") {
            o.upscale = true;
        } else if (word == "--p0") {
            o.meshCompare = true;
        } else if (word == "--temporal") {
            o.temporalFrames = nextI32();
        } else if (word == "--temporal-speed") {
            o.temporalSpeed = readFloat(nextArg());
        } else if (word == "--half-lod-bias") {
            o.halfLodBias = readFloat(nextArg());
        } else if (word == "--scene") {
            o.scene = nextArg();
        } else if (word == "--res") {
            o.res = nextU32();
        } else if (word == "--time") {
            o.time = readFloat(nextArg());
        } else if (word == "--assets") {
            o.assets = nextArg();
        } else if (word == "--no-solid") {
            o.noSolid = true;
        } else if (word == "--no-cull") {
            o.noCull = true;
        }
    }
    return o;
}

GpuRunKind selectRun(const GpuTestOptions& options)
{
    if (options.sculptCount > 0)
        return GpuRunKind::Sculpt;
    if (options.randomCount > 0)
        return GpuRunKind::Random;
    if (!options.sdnaPath.empty())
        return GpuRunKind::Sdna;
    return GpuRunKind::Scene;
}

ImageSize randomCorpusSize(const GpuTestOptions& options)
{
    if (options.sizeGiven)
        return {options.width, options.height};
    return {32, 24};
}

ImageSize sdnaRunSize(const GpuTestOptions& options)
{
    if (options.sizeGiven)
        return {options.width, options.height};
    return {640, 360};
}

std::string sdnaOutputDir(const GpuTestOptions& options)
{
    return options.out == "output/gpu" ? std::string("output/sdna") : options.out;
}

std::string gpuOptionsError(const GpuTestOptions& options)
{
    const GpuRunKind run = selectRun(options);
    if (run == GpuRunKind::Sculpt && static_cast<std::uint32_t>(options.sculptCount) > kMaxSculptPoints)
        return "--sculpt must be at most " + std::to_string(kMaxSculptPoints) +
            ": its 16-byte probe points are bound as one storage buffer";
    if (run != GpuRunKind::Sdna && run != GpuRunKind::Scene)
        return {};
    for (const auto& [name, edge] : {std::pair{"width", options.width}, std::pair{"height", options.height}}) {
        if (edge < 1 || edge > kMaxGpuImageEdge)
            return std::string("--") + name + " must be a whole number from 1 to " +
                std::to_string(kMaxGpuImageEdge) + " (pixels)";
    }
    // The variants render half-resolution frames of floor(width/2) x
    // floor(height/2); --p0 takes precedence and renders none.
    const char* halfVariant = nullptr;
    if (run == GpuRunKind::Scene && !options.meshCompare)
        halfVariant = options.temporalFrames > 0 ? "--temporal" : (options.upscale ? "--upscale" : nullptr);
    if (halfVariant && (options.width < 2 || options.height < 2))
        return std::string(halfVariant) + " needs an image of at least 2x2 pixels: its half-resolution frame of " +
            std::to_string(options.width / 2) + "x" + std::to_string(options.height / 2) + " would be empty";
    // A NaN or infinite value would move the temporal camera to NaN (every
    // frame then misses on both sides and "agrees") or reach the kernels as
    // a level-of-detail bias; neither measures anything.
    if (halfVariant && !std::isfinite(options.halfLodBias))
        return "--half-lod-bias must be a finite number";
    if (halfVariant && options.temporalFrames > 0 && !std::isfinite(options.temporalSpeed))
        return "--temporal-speed must be a finite number";
    if (run == GpuRunKind::Scene && options.scene == "diorama" &&
        (!std::isfinite(options.time) || options.time > kMaxDioramaTime))
        return "--time must be a finite number of seconds, at most " +
            std::to_string(static_cast<long>(kMaxDioramaTime));
    // The demo scene generates its terrain before the field refuses an edge
    // it cannot hold: for a huge edge that is many gigabytes of work first.
    if (run == GpuRunKind::Scene && options.scene != "diorama" && options.scene != "shells") {
        if (std::string error = squareFieldEdgeError(options.terrain); !error.empty())
            return error;
    }
    if (run == GpuRunKind::Scene && options.scene == "shells" &&
        (options.res < 1 || options.res > kMaxShellResolution || (options.res & (options.res - 1)) != 0))
        return "--res must be a power of two from 1 to " + std::to_string(kMaxShellResolution) +
            " (samples per side of each baked field)";
    return {};
}

} // namespace qlmr
