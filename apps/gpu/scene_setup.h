#pragma once

#include "gpu_options.h"
#include "scene/camera.h"
#include "scene/scene.h"
#include "scene/settings.h"
#include "scene/thread_pool.h"

#include <cstdio>
#include <vector>

namespace qlmr {

// Builds the scene of a scene mode ("shells", else "demo"), its render
// settings and its views, and adds the lake with --water (not for
// "shells"). False when the lake cannot be laid on field 0.
bool buildGpuTestScene(const GpuTestOptions& options, ThreadPool& pool, Scene& scene, RenderSettings& settings,
                       std::vector<ViewPreset>& views, std::FILE* out);

} // namespace qlmr
