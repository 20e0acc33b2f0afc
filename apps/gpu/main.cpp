// qlmr-gpu: renders the demo, diorama and shells scenes on the graphics card
// and checks them against the processor reference, and runs shape programs
// (--sdna), random program corpora (--random) and the sculpt check (--sculpt).
#include <cstdio>

#include "gpu_dispatch.h"
#include "gpu_options.h"

int main(int argc, char** argv)
{
    const qlmr::GpuTestOptions options = qlmr::parseGpuTestOptions(argc, argv);
    const int code = qlmr::runGpuTest(options, stdout, stderr);
    std::fflush(stdout);
    return code;
}
