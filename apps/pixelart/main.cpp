// qlmr-pixelart: stands flat sprites up as relief height fields in a small
// tiled scene, renders it smooth and snapped to the sprite pixel grid, and
// times the relief synthesis.
#include <cstdio>
#include <exception>
#include <new>
#include <string>

#include "pixelart_options.h"
#include "pixelart_run.h"

int main(int argc, char** argv)
{
    const qlmr::ParsedPixelartOptions parsed = qlmr::parsePixelartOptions(argc, argv);
    if (parsed.command != qlmr::PixelartCommand::Run) {
        std::fputs(qlmr::pixelartUsage(), stdout);
        return parsed.command == qlmr::PixelartCommand::Help ? 0 : 1;
    }
    const std::string refusal = qlmr::pixelartOptionsError(parsed.options);
    if (!refusal.empty()) {
        std::fprintf(stderr, "%s\n", refusal.c_str());
        return 1;
    }
    try {
        return qlmr::runPixelart(parsed.options, stdout, stderr);
    } catch (const std::bad_alloc&) {
        // Whatever ran out without saying what it was making.
        std::fflush(stdout);
        std::fprintf(stderr, "out of memory\n");
        return 1;
    } catch (const std::exception& error) {
        // Whatever was reported so far comes before the reason it stopped.
        std::fflush(stdout);
        std::fprintf(stderr, "%s\n", error.what());
        return 1;
    }
}
