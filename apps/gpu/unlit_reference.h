#pragma once

#include "scene/camera.h"
#include "scene/gbuffer.h"
#include "scene/scene_tracer.h"
#include "scene/settings.h"
#include "scene/thread_pool.h"

#include <cstdint>
#include <vector>

namespace qlmr {

// The trace-only GPU tracer draws the unlit albedo under the fog and no
// shadow rays, so its twin on the processor is the reference's own march
// with that colour: every hit pixel of `frame` (rendered by the tile
// renderer without a solid object, with these tile lists) gets
// albedo x T + horizon x (1 - T), T the fog transmittance; sky pixels keep
// the sky colour, which both tracers draw alike. Depth and normals stay.
void paintUnlitColor(ThreadPool& pool, const SceneTracer& tracer, const Camera& camera,
                      const RenderSettings& settings, const std::vector<std::vector<std::uint32_t>>& bins,
                      GBuffer& frame);

} // namespace qlmr
