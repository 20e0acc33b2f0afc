#pragma once

#include "content/demo_layout.h"
#include "scene/scene.h"
#include "scene/thread_pool.h"

namespace qlmr {

// Appends the standard showcase scene: a generated mountain terrain with a
// flat landing pad, a cobblestone path and a brick wall around the pad, and
// a rotated panelled box as a shell asset. Fields 0 terrain, 1 cobblestones,
// 2 bricks, 3 panels (and with edges 4, the panels faded at their borders);
// prisms 0 terrain, 1-12 path, 13-24 wall, 25-33 shell. terrainSize is the
// terrain's edge in cells; one that is not a power of two, or too large,
// throws the field's exception (fields already added stay in the scene).
DemoLayout buildDemoScene(Scene& scene, unsigned terrainSize, bool edges, ThreadPool& pool);

// The demo scene's terrain alone: appends the generated terrain field and
// its prism (256 m across, 42 m high, x and z in [-128, 128]) and returns a
// layout with the pad position, world size and height scale filled in (the
// shell members keep their defaults). buildDemoScene starts with it, so the
// terrain is field 0 and prism 0 either way. The caller refreshes the
// prisms once its scene is complete. Throws as buildDemoScene does for the
// terrain size.
DemoLayout addDemoTerrain(Scene& scene, unsigned terrainSize, ThreadPool& pool);

} // namespace qlmr
