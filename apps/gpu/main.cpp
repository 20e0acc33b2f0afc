// qlmr-gpu: checks the graphics card against the processor reference on
// shape programs (--sdna), random program corpora (--random) and the sculpt
// kernel (--sculpt), and hosts the scene comparisons.
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
