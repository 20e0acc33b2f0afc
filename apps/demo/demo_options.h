#pragma once

#include "scene/height_field.h"

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace qlmr {

// What the demo program's command line sets; the defaults render the four
// views at 1280 x 720 over a 2048-cell terrain.
struct DemoOptions {
    std::uint32_t width = 1280;
    std::uint32_t height = 720;
    std::uint32_t terrain = 2048; // terrain field edge in cells (a power of two)
    std::string out = "output";
    float lodBias = 0.0f;
    bool lod = true;
    bool shadows = true;
    bool geometricNormals = false;
    bool cubicNormals = false;
    std::int32_t frames = 1; // renders per view; the fastest counts
    std::uint8_t start = 1;  // start-level mode: 0 top, 1 default, 2 fixed
    std::uint32_t startOffset = 0;
    bool seedOracle = false;
    std::uint32_t shellLog2 = 6;
    bool json = false;
    bool edges = true; // fade the shell asset's field to zero at its borders

    bool operator==(const DemoOptions&) const = default;
};

// The options themselves, so the result of parseDemoOptions reads as the
// options it holds, and the words that were not options.
struct ParsedDemoOptions : DemoOptions {
    // Words that are not options, in the order given; each is reported and
    // skipped without consuming the word after it.
    std::vector<std::string> unknownWords;
};

// Reads argv[1] .. argv[argc - 1]. An option with a value takes the next
// word; as the last word its value is the empty string, so numbers read 0.
// Numbers follow atol / atof (text that is not a number reads 0) and are
// then stored in the member's type. Each word that is not an option is
// reported on `messages` as "unknown option: <word>" when it is read.
ParsedDemoOptions parseDemoOptions(int argc, const char* const* argv, std::FILE* messages = stdout);

// The largest image edge the program accepts.
inline constexpr std::uint32_t kMaxDemoImageEdge = 16384;

// Empty when the options can be rendered; otherwise the one-line reason.
// A width or height of 0 (also from a missing or non-numeric value), a
// negative one (which wraps to a huge unsigned value) or one above
// kMaxDemoImageEdge is refused before any work is done, and so is a
// terrain size its field would refuse (squareFieldEdgeError).
std::string demoOptionsError(const DemoOptions& options);

} // namespace qlmr
