#include "demo_options.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace qlmr {

ParsedDemoOptions parseDemoOptions(int argc, const char* const* argv, std::FILE* messages)
{
    ParsedDemoOptions parsed;
    DemoOptions& o = parsed;
    for (int i = 1; i < argc; ++i) {
        const char* word = argv[i];
        // The value of an option that takes one: the next word, consumed;
        // the empty string when the option is the last word.
        auto value = [&]() -> const char* {
            if (i + 1 < argc)
                return argv[++i];
            return "";
        };
        auto is = [word](const char* name) { return std::strcmp(word, name) == 0; };

        if (is("--width")) {
            o.width = static_cast<std::uint32_t>(std::atol(value()));
        } else if (is("--height")) {
            o.height = static_cast<std::uint32_t>(std::atol(value()));
        } else if (is("--out")) {
            o.out = value();
        } else if (is("--terrain")) {
            o.terrain = static_cast<std::uint32_t>(std::atol(value()));
        } else if (is("--lod-bias")) {
            o.lodBias = static_cast<float>(std::atof(value()));
        } else if (is("--frames")) {
            const auto frames = static_cast<std::int32_t>(std::atol(value()));
            o.frames = frames < 2 ? 1 : frames;
        } else if (is("--no-lod")) {
            o.lod = false;
        } else if (is("--no-shadows")) {
            o.shadows = false;
        } else if (is("--geometric-normals")) {
            o.geometricNormals = true;
        } else if (is("--cubic-normals")) {
            o.cubicNormals = true;
        } else if (is("--start")) {
            const std::string mode = value();
            o.start = mode == "top" ? 0 : mode == "fixed" ? 2 : 1;
        } else if (is("--start-offset")) {
            o.startOffset = static_cast<std::uint32_t>(std::atol(value()));
        } else if (is("--seed-oracle")) {
            o.seedOracle = true;
        } else if (is("--shell-log2")) {
            o.shellLog2 = static_cast<std::uint32_t>(std::atol(value()));
        } else if (is("--json")) {
            o.json = true;
        } else if (is("--edges")) {
            o.edges = std::strcmp(value(), "none") != 0;
        } else {
            std::fprintf(messages, "unknown option: %s\n", word);
            parsed.unknownWords.emplace_back(word);
        }
    }
    return parsed;
}

std::string demoOptionsError(const DemoOptions& options)
{
    auto check = [](const char* name, std::uint32_t edge) -> std::string {
        if (edge >= 1 && edge <= kMaxDemoImageEdge)
            return {};
        return std::string("--") + name + " must be a whole number from 1 to " +
            std::to_string(kMaxDemoImageEdge) + " (pixels)";
    };
    std::string error = check("width", options.width);
    if (error.empty())
        error = check("height", options.height);
    if (error.empty())
        error = squareFieldEdgeError(options.terrain);
    return error;
}

} // namespace qlmr
