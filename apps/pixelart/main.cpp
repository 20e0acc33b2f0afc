// qlmr-pixelart: stands flat sprites up as relief height fields in a small
// tiled scene, renders it smooth and snapped to the sprite pixel grid, and
// times the relief synthesis.
#include "common/failure_exit.h"
#include "common/file_size_limit.h"
#include "common/report_output.h"

#include <cstdio>
#include <string>

#include "pixelart_options.h"
#include "pixelart_run.h"

int main(int argc, char** argv)
{
    qlmr::failWritesPastFileSizeLimit();
    const qlmr::ParsedPixelartOptions parsed = qlmr::parsePixelartOptions(argc, argv);
    if (parsed.command != qlmr::PixelartCommand::Run) {
        // The usage text is the answer; one that does not arrive is a failed run.
        std::fputs(qlmr::pixelartUsage(), stdout);
        return qlmr::exitCodeWithReport(stdout, stderr, parsed.command == qlmr::PixelartCommand::Help ? 0 : 1);
    }
    const std::string refusal = qlmr::pixelartOptionsError(parsed.options);
    if (!refusal.empty()) {
        std::fprintf(stderr, "%s\n", refusal.c_str());
        return 1;
    }
    const int code =
        qlmr::exitCodeOf(stdout, stderr, [&] { return qlmr::runPixelart(parsed.options, stdout, stderr); });
    return qlmr::exitCodeWithReport(stdout, stderr, code);
}
