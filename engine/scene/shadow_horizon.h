#pragma once

// Shadow horizons: for rays of one direction through one prism (the sun's
// shadow rays), a coarse grid over the field's unit square whose cells hold
// the local height above which a ray starting in the cell can no longer be
// blocked by the field. The shadow walk ends a lane as unblocked once its
// ray stands above that height, instead of climbing the bounds pyramid and
// crossing the rest of the field to prove it.
//
// The height is exact for the walk, not just for the surface: it lies above
// every bounds node and every patch, at any level up to the grid's, that
// the walk could test later, plus a margin that covers the walk's float
// arithmetic. A lane that the horizon ends would therefore have ended
// unblocked anyway, and the shadow mask is the same with or without it.

#include <cstdint>
#include <vector>

#include "scene/scene_tracer.h"
#include "scene/thread_pool.h"
#include "scene/vec3.h"

namespace qlmr {

struct ShadowHorizon {
    // The local direction (as the march computes it) the grid was built for;
    // it serves only lanes whose local direction is exactly this one.
    float du = 0.0f, dv = 0.0f, dh = 0.0f;
    // The bounds level whose nodes are the grid's cells; it serves only
    // lanes whose leaves lie at or below it.
    int level = 0;
    std::uint32_t cellsU = 0, cellsV = 0;
    // Per cell, row by row: a ray standing above this height at a point of
    // the cell is never blocked later in its walk.
    std::vector<float> clearHeight;
    // What it was built from besides the direction: the field's size and
    // the maxima of the level's nodes, row by row.
    std::uint32_t fieldLog2W = 0, fieldLog2H = 0;
    std::vector<std::uint16_t> nodeMaxima;

    bool empty() const { return clearHeight.empty(); }
};

// The horizon of one prism for rays of world direction `dir`; empty where it
// cannot help: a field without a bounds level to build on, or a direction
// that does not climb away from the field (local dh <= 0).
ShadowHorizon buildShadowHorizon(const SceneTracer& tracer, std::uint32_t prismIndex, Vec3 dir);

// Brings `horizons` (entry i for prism i) up to date for the tracer's
// prisms and direction `dir`, on the pool, one job per prism. An entry is
// rebuilt only when what it depends on changed (the direction, the prism's
// frame, the field's size or its bounds at the horizon's level), so a scene
// rendered again under the same sun costs one comparison per prism.
void refreshShadowHorizons(const SceneTracer& tracer, Vec3 dir, ThreadPool& pool,
                           std::vector<ShadowHorizon>& horizons);

} // namespace qlmr
