// qlmr-gpu: renders the demo, diorama and shells scenes on the graphics card
// and checks them against the processor reference, and runs shape programs
// (--sdna), random program corpora (--random) and the sculpt check (--sculpt).
#include <cstdio>

#include "common/file_size_limit.h"
#include "common/report_output.h"
#include "common/standard_streams.h"
#include "gpu_dispatch.h"

int main(int argc, char** argv)
{
    qlmr::occupyClosedStandardStreams();
    qlmr::failWritesPastFileSizeLimit();
    const int code = qlmr::runGpuCommandLine(argc, argv, stdout, stderr);
    return qlmr::exitCodeWithReport(stdout, stderr, code);
}
