#pragma once

#include "gpu_options.h"

#include <cstdio>

namespace qlmr {

// The scene modes ("demo", "diorama", "shells"): the scene built from the
// options, rendered on the CPU and on every chosen device and compared.
// Returns the exit code.
int runSceneMode(const GpuTestOptions& options, std::FILE* out);

} // namespace qlmr
