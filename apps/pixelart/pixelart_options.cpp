#include "pixelart_options.h"

#include <cstdlib>

namespace qlmr {

namespace {

// Numbers read like the C library's conversions: leading digits count, the
// rest is ignored, no digits give 0.
std::uint32_t toUnsigned(const std::string& text) { return std::uint32_t(std::strtoul(text.c_str(), nullptr, 10)); }
std::int32_t toInt(const std::string& text) { return std::int32_t(std::strtol(text.c_str(), nullptr, 10)); }
float toFloat(const std::string& text) { return std::strtof(text.c_str(), nullptr); }

} // namespace

std::string nextArgString(int argc, char** argv, int& index)
{
    if (index + 1 >= argc)
        return std::string();
    ++index;
    return std::string(argv[index]);
}

ParsedPixelartOptions parsePixelartOptions(int argc, char** argv)
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

const char* pixelartUsage()
{
    return "usage: qlmr-pixelart [--sprite FILE.png[@x,y,w,h] [--back FILE.png[@x,y,w,h]]]... [--parts W]\n"
           "                     [--one-sided] [--width N] [--height N] [--nodes S] [--out DIR] [--runs N]\n";
}

} // namespace qlmr
