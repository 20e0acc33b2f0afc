#pragma once

#include <cstdint>
#include <string>

namespace qlmr {

// Everything qlmr-gpu's command line sets. The defaults are those of a run
// without arguments: the demo scene at 1280x720 on every device.
struct GpuTestOptions {
    std::uint32_t width = 1280;
    std::uint32_t height = 720;
    bool sizeGiven = false;  // --width or --height was given
    std::uint32_t terrain = 2048;
    std::int32_t frames = 5;
    std::int32_t gpu = -1;  // every device
    std::string out = "output/gpu";
    bool geometricNormals = false;
    bool cubicNormals = false;
    bool noShadows = false;
    bool traceOnly = false;
    bool seedPass = false;
    std::int32_t stamps = 0;
    bool water = false;
    bool upscale = false;
    bool meshCompare = false;  // --p0
    std::int32_t temporalFrames = 0;
    float temporalSpeed = 0.05f;
    float halfLodBias = 0.0f;
    std::string scene = "demo";
    std::uint32_t res = 64;
    float time = 6.0f;
    std::string assets = "apps/assets/pixeldsl";
    bool noSolid = false;
    std::int32_t debugX = -1;
    std::int32_t debugY = -1;
    std::string sdnaPath;
    bool bricks = false;
    bool bricksLocal = false;
    std::int32_t randomCount = 0;
    std::int32_t sculptCount = 0;
    std::int32_t benchmark = 0;
    // Placed shape programs are traced without their culling table. The
    // option reaches every run through this record rather than a
    // process-wide switch.
    bool noCull = false;

    bool operator==(const GpuTestOptions&) const = default;
};

// Reads argv[1] .. argv[argc - 1]. Words that are no option are skipped; a
// value missing at the end reads as "", so numbers read 0. Whole numbers
// outside a member's range read as the nearest end of it.
GpuTestOptions parseGpuTestOptions(int argc, const char* const* argv);

// Decimal readers with the option loop's rule: text that is not a number
// reads as 0.
std::int64_t readInteger(const std::string& text);
float readFloat(const std::string& text);

// An image edge (--width, --height): decimal digits only, else 0 (a sign,
// a fraction or trailing text included); numbers past the unsigned range
// read as its largest value. Either way gpuOptionsError refuses them.
std::uint32_t readImageEdge(const std::string& text);

// The largest image edge the shape-program run and the scene modes accept,
// as qlmr-demo's.
inline constexpr std::uint32_t kMaxGpuImageEdge = 16384;

// The longest diorama simulation: up to 2^19 s the step times i/15 stay
// distinct as floats (and the step count fits the loop's counter); beyond
// it consecutive steps would be handed the same time.
inline constexpr float kMaxDioramaTime = 524288.0f;

// The largest baked shell resolution: the widest field a DisplacementField
// holds. A larger one would only be refused after the bake had tried to
// allocate its samples on every pool thread.
inline constexpr std::uint32_t kMaxShellResolution = 32768;

// The most sculpt probe points: the kernel binds all of them, 16 bytes
// each, as one storage buffer, and no device's storage-buffer range
// (a 32-bit byte count) reaches past 2^32 - 1 bytes.
inline constexpr std::uint32_t kMaxSculptPoints = 0xFFFFFFFFu / 16u;

// Empty when the selected run can start; otherwise the one-line reason.
// The shape-program run and the scene modes need a width and height from 1
// to kMaxGpuImageEdge; the upscale and temporal variants also need a
// half-resolution frame of at least one pixel each way, a finite
// --half-lod-bias and (temporal) a finite --temporal-speed. The diorama
// needs a finite --time no larger than kMaxDioramaTime (zero or less runs
// no step), the shells a power-of-two --res up to kMaxShellResolution, the
// demo scene a --terrain edge its field can hold (squareFieldEdgeError).
// The random corpus checks its own size; the sculpt check renders no
// image and takes at most kMaxSculptPoints points.
std::string gpuOptionsError(const GpuTestOptions& options);

// Which run the options select, in the order they are tried.
enum class GpuRunKind { Sculpt, Random, Sdna, Scene };

GpuRunKind selectRun(const GpuTestOptions& options);

// Image size of the random corpus and of the shape-program run: the given
// size when --width or --height was given, else the run's own default.
struct ImageSize {
    std::uint32_t width = 0;
    std::uint32_t height = 0;
    bool operator==(const ImageSize&) const = default;
};
ImageSize randomCorpusSize(const GpuTestOptions& options);
ImageSize sdnaRunSize(const GpuTestOptions& options);

// The shape-program run writes into "output/sdna" while --out names the
// default folder of the scene modes.
std::string sdnaOutputDir(const GpuTestOptions& options);

} // namespace qlmr
