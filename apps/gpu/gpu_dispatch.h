#pragma once

#include "gpu_options.h"

#include <cstdio>

namespace qlmr {

// Sends the options to their run: the sculpt check, the random corpus, the
// shape-program run or a scene mode, in that order of precedence. Options no
// run can take are refused (the reason on `err`, exit code 1), as from the
// command line. Returns the exit code.
int runGpuTest(const GpuTestOptions& options, std::FILE* out, std::FILE* err);

// The whole program: reads the options, refuses those no run can take (the
// reason on `err`, exit code 1), then runs. Whatever ends the run early (an
// output folder that cannot be made, a scene the engine refuses, memory
// running out) leaves what was reported on `out` in place and its message on
// `err`; the exit code is then 1.
int runGpuCommandLine(int argc, const char* const* argv, std::FILE* out, std::FILE* err);

} // namespace qlmr
