#pragma once

#include <cstdio>

#include "pixelart_options.h"

namespace qlmr {

// The whole run after the options: the synthesis benchmark, the sprites and
// their scene, three views rendered smooth and snapped, the images and the
// report lines on `out`. Returns the exit code: 1 after "cannot read %s" on
// `err` for a sprite that cannot be loaded, otherwise 0. Exceptions from the
// output directory, the synthesizer or the fields are not caught.
int runPixelart(const PixelartOptions& options, std::FILE* out, std::FILE* err);

} // namespace qlmr
