#include "pixelart_options.h"

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <string>

namespace qlmr {

namespace {

// Numbers read like the C library's conversions: leading digits count, the
// rest is ignored, no digits give 0. An unsigned number outside 0 ..
// 4294967295 (a negative one included) reads as 4294967295, which every
// range check refuses, rather than wrapping to some small accepted value.
std::uint32_t toUnsigned(const std::string& text)
{
    const long long value = std::strtoll(text.c_str(), nullptr, 10);
    if (value < 0 || value > 0xFFFFFFFFll)
        return 0xFFFFFFFFu;
    return std::uint32_t(value);
}
// A signed number beyond the 32-bit range stops at the nearest end of it, so
// a huge run count stays huge and a hugely negative one stays below 1,
// rather than wrapping to some unrelated value.
std::int32_t toInt(const std::string& text)
{
    const long long value = std::strtoll(text.c_str(), nullptr, 10);
    return std::int32_t(std::clamp<long long>(value, INT32_MIN, INT32_MAX));
}
float toFloat(const std::string& text) { return std::strtof(text.c_str(), nullptr); }

} // namespace

std::string nextArgString(int argc, const char* const* argv, int& index)
{
    if (index + 1 >= argc)
        return std::string();
    ++index;
    return std::string(argv[index]);
}

ParsedPixelartOptions parsePixelartOptions(int argc, const char* const* argv)
{
    ParsedPixelartOptions parsed;
    PixelartOptions& o = parsed.options;
    for (int i = 1; i < argc; ++i) {
        const std::string word = argv[i];
        if (word == "--sprite") {
            o.fronts.push_back(nextArgString(argc, argv, i));
            o.backs.emplace_back();
        } else if (word == "--back" && !o.fronts.empty()) {
            o.backs.back() = nextArgString(argc, argv, i);
        } else if (word == "--parts") {
            o.parts = toFloat(nextArgString(argc, argv, i));
        } else if (word == "--one-sided") {
            o.twoSided = false;
        } else if (word == "--width") {
            o.width = toUnsigned(nextArgString(argc, argv, i));
        } else if (word == "--height") {
            o.height = toUnsigned(nextArgString(argc, argv, i));
        } else if (word == "--nodes") {
            o.nodes = toUnsigned(nextArgString(argc, argv, i));
        } else if (word == "--out") {
            o.out = nextArgString(argc, argv, i);
        } else if (word == "--runs") {
            o.runs = toInt(nextArgString(argc, argv, i));
        } else if (word == "--help") {
            parsed.command = PixelartCommand::Help;
            return parsed;
        } else {
            parsed.command = PixelartCommand::Unknown;
            parsed.unknownWord = word;
            return parsed;
        }
    }
    return parsed;
}

std::string pixelartOptionsError(const PixelartOptions& options)
{
    auto imageEdge = [](const char* name, std::uint32_t edge) -> std::string {
        if (edge >= 1 && edge <= kMaxPixelartImageEdge)
            return {};
        return std::string("--") + name + " must be a whole number from 1 to " +
            std::to_string(kMaxPixelartImageEdge) + " (pixels)";
    };
    std::string error = imageEdge("width", options.width);
    if (error.empty())
        error = imageEdge("height", options.height);
    // The relief synthesizer's own range and message.
    if (error.empty() && (options.nodes < 1 || options.nodes > 8))
        error = "nodesPerPixel must be 1..8";
    return error;
}

const char* pixelartUsage()
{
    return "usage: qlmr-pixelart [--sprite FILE.png[@x,y,w,h] [--back FILE.png[@x,y,w,h]]]... [--parts W]\n"
           "                     [--one-sided] [--width N] [--height N] [--nodes S] [--out DIR] [--runs N]\n";
}

} // namespace qlmr
