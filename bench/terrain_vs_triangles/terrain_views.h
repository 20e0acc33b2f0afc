#pragma once

// What the engine and the triangle baseline share: the demo's terrain on its
// own, the demo's "wide", "close" and "aerial" cameras, the primary ray of
// each pixel and the rule that places a shadow ray's origin.

#include <cstdint>
#include <vector>

#include "content/demo_layout.h"
#include "scene/camera.h"
#include "scene/scene.h"
#include "scene/thread_pool.h"

namespace qlmr::bench {

// The demo scene's terrain field and prism, nothing else, refreshed and
// ready to trace.
struct TerrainScene {
    Scene scene;
    DemoLayout layout;
};

TerrainScene buildTerrainScene(unsigned terrainSize, ThreadPool& pool);

struct BenchView {
    const char* name = "";
    Camera camera;
};

// The demo's views that look at the terrain ("wide", "close", "aerial"),
// framed exactly as the demo frames them.
std::vector<BenchView> benchViews(const TerrainScene& terrain, std::uint32_t width, std::uint32_t height);

struct PixelRay {
    Vec3 origin;
    Vec3 direction; // unit
};

// The tile renderer's primary ray through pixel (x, y), computed by the
// engine's own ray generation.
PixelRay primaryRay(const Camera& camera, std::uint32_t x, std::uint32_t y);

// How far along its surface normal a shadow ray starts from a hit at
// distance t: twice the pixel footprint there, at least 1 cm (the tile
// renderer's rule).
float shadowOriginOffset(const Camera& camera, float t);

// Towards the sun, as far as the tile renderer's shadow rays reach.
inline constexpr float kShadowRayLength = 10000.0f;

} // namespace qlmr::bench
