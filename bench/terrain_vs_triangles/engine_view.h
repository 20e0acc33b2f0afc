#pragma once

// The engine half: a view rendered by TileRenderer::render exactly as
// qlmr-demo renders it, timed over several frames, and what its frame shows
// per pixel for the comparison with the triangle baseline.

#include <cstdint>
#include <vector>

#include "frame_timing.h"
#include "scene/camera.h"
#include "scene/gbuffer.h"
#include "scene/settings.h"
#include "scene/tile_renderer.h"

namespace qlmr::bench {

struct EngineView {
    ViewFigures figures;
    FrameStats stats; // the counters of the fastest frame, as the demo reports them
    // Per pixel, row by row: the hit distance (+infinity on a miss) and
    // whether the renderer cast a shadow ray there (a hit whose normal
    // faces the sun).
    std::vector<float> depth;
    std::vector<std::uint8_t> castsShadow;
};

// `frame` is kept from view to view, as the demo keeps its G-buffer.
EngineView renderEngineView(TileRenderer& renderer, const Camera& camera, const RenderSettings& settings,
                            GBuffer& frame, int frames);

} // namespace qlmr::bench
