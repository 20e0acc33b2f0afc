#pragma once

#include <cstdio>

#include "pixelart_options.h"

namespace qlmr {

// The whole run after the options (which passed pixelartOptionsError): the
// synthesis benchmark, the sprites and their scene, three views rendered
// smooth and snapped, the images and the report lines on `out`. Returns the
// exit code: 1 after "cannot read %s" on `err` for a sprite that cannot be
// loaded, 1 after any image that could not be written (each reported on
// `err` as "cannot write <path>", without the closing "wrote" line),
// otherwise 0. Throws std::runtime_error when the output directory cannot
// be created or memory runs out ("out of memory: <what was being made>"),
// and lets the synthesizer's and the fields' exceptions out.
int runPixelart(const PixelartOptions& options, std::FILE* out, std::FILE* err);

} // namespace qlmr
