#pragma once

#include "gpu_options.h"

#include <cstdio>

namespace qlmr {

// Sends the options to their run: the sculpt check, the random corpus, the
// shape-program run or a scene mode, in that order of precedence. Returns
// the exit code.
int runGpuTest(const GpuTestOptions& options, std::FILE* out, std::FILE* err);

} // namespace qlmr
