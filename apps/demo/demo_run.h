#pragma once

#include "demo_options.h"

#include <cstdio>

namespace qlmr {

// The demo's whole run for options that passed demoOptionsError: builds the
// demo scene, renders the four views, prints the report on `report` and
// writes the images into options.out. An image that cannot be written is
// reported on `errors` as "cannot write <path>" and the run goes on; the
// closing "images written to" line follows only when every image was
// written. Returns the exit code: 0, or 1 after any failed write.
// Throws std::runtime_error when the output directory cannot be created or
// memory runs out ("out of memory: <what was being made>"), and lets engine
// exceptions out.
int runDemo(const DemoOptions& options, std::FILE* report, std::FILE* errors);

} // namespace qlmr
