// qlmr-demo: renders the generated terrain scene's four views on the CPU and
// reports timing, ray statistics and the memory of the height data.
#include "demo_options.h"
#include "demo_run.h"
#include "common/failure_exit.h"
#include "common/file_size_limit.h"
#include "common/report_output.h"

#include <cstdio>

int main(int argc, char** argv)
{
    qlmr::failWritesPastFileSizeLimit();
    const qlmr::DemoOptions options = qlmr::parseDemoOptions(argc, argv);

    const std::string refusal = qlmr::demoOptionsError(options);
    if (!refusal.empty()) {
        std::fflush(stdout);
        std::fprintf(stderr, "%s\n", refusal.c_str());
        return 1;
    }
    const int code =
        qlmr::exitCodeOf(stdout, stderr, [&] { return qlmr::runDemo(options, stdout, stderr); });
    return qlmr::exitCodeWithReport(stdout, stderr, code);
}
