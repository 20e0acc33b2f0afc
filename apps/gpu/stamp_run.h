#pragma once

#include "gpu/gpu_renderer.h"
#include "scene/scene.h"

#include <cstdio>

namespace qlmr {

// Applies `count` seeded height stamps to field 0, darkens the albedo under
// each, re-uploads only the changed rectangles and reports the bytes moved.
// Returns the number of failed uploads.
int runStamps(Scene& scene, GpuRenderer& renderer, int count, std::FILE* out);

} // namespace qlmr
