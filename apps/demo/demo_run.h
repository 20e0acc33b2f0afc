#pragma once

#include "demo_options.h"

#include <cstdio>

namespace qlmr {

// The demo's whole run for options that passed demoOptionsError: builds the
// demo scene, renders the four views, prints the report on `report` and
// writes the images into options.out. Returns the exit code (0).
// Throws std::runtime_error when the output directory cannot be created and
// lets engine exceptions (a terrain size that is not a power of two) out.
int runDemo(const DemoOptions& options, std::FILE* report);

} // namespace qlmr
