#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace qlmr {

// What qlmr-pixelart's command line sets. Every --sprite appends a front
// sprite argument and an empty back; --back fills the back of the last one.
struct PixelartOptions {
    std::uint32_t width = 960;
    std::uint32_t height = 540;
    std::uint32_t nodes = 2;     // nodesPerPixel of the scene's sprites and ground tiles
    std::int32_t runs = 200;     // benchmark runs; below 1 the benchmark is skipped
    float parts = 0.6f;          // partsWeight of the scene's sprites and ground tiles
    std::string out = "output/pixelart";
    bool twoSided = true;        // mirrored back prism for sprites without a back image
    std::vector<std::string> fronts;
    std::vector<std::string> backs; // parallel to fronts; empty for no back image

    bool operator==(const PixelartOptions&) const = default;
};

enum class PixelartCommand {
    Run,     // options read, go ahead
    Help,    // --help: usage text, exit code 0
    Unknown, // a word the program does not know: usage text, exit code 1
};

struct ParsedPixelartOptions {
    PixelartCommand command = PixelartCommand::Run;
    PixelartOptions options;
    std::string unknownWord; // the word that stopped the parse, for Unknown
};

// The next command-line word, advancing `index`; the empty string, with
// `index` unchanged, when none is left.
std::string nextArgString(int argc, const char* const* argv, int& index);

// Reads argv[1] .. argv[argc - 1] left to right, stopping at --help or at
// the first word it does not know (--back before any --sprite is one).
// A value missing at the end reads as the empty string, so numbers read 0.
// An unsigned number outside 0 .. 4294967295, or a negative one, reads as
// 4294967295 (refused by pixelartOptionsError); a run count beyond the
// 32-bit signed range stops at its nearest end.
ParsedPixelartOptions parsePixelartOptions(int argc, const char* const* argv);

// The largest image edge the program accepts, as qlmr-demo does.
inline constexpr std::uint32_t kMaxPixelartImageEdge = 16384;

// Empty when the options can be run; otherwise the one-line reason, given
// before any work is done: a width or height outside 1 .. 16384 (also 0
// from a missing or non-numeric value, and a negative one), or nodes per
// pixel outside the synthesizer's 1 .. 8 ("nodesPerPixel must be 1..8").
std::string pixelartOptionsError(const PixelartOptions& options);

// The two usage lines, each ending in a line break.
const char* pixelartUsage();

} // namespace qlmr
