#include "terrain_views.h"

#include <algorithm>
#include <cstring>

#include "content/demo_scene.h"
#include "scene/tile_renderer.h"

namespace qlmr::bench {

TerrainScene buildTerrainScene(unsigned terrainSize, ThreadPool& pool)
{
    TerrainScene terrain;
    terrain.layout = addDemoTerrain(terrain.scene, terrainSize, pool);
    terrain.scene.refreshPrisms();
    return terrain;
}

std::vector<BenchView> benchViews(const TerrainScene& terrain, std::uint32_t width, std::uint32_t height)
{
    std::vector<BenchView> views;
    for (const ViewPreset& preset : makeViewPresets(terrain.scene.fields, terrain.layout)) {
        // "corner" frames the panelled box, which this scene does not have.
        if (std::strcmp(preset.name, "corner") == 0)
            continue;
        views.push_back({preset.name, Camera::lookAt(preset.eye, preset.target, Vec3{0.0f, 1.0f, 0.0f},
                                                     preset.fovDegrees, width, height)});
    }
    return views;
}

PixelRay primaryRay(const Camera& camera, std::uint32_t x, std::uint32_t y)
{
    const RayPacketOf<1> ray = primaryRays<1>(camera, simd::vfloat<1>(float(x)), simd::vfloat<1>(float(y)));
    return {{ray.originX.v, ray.originY.v, ray.originZ.v}, {ray.dirX.v, ray.dirY.v, ray.dirZ.v}};
}

float shadowOriginOffset(const Camera& camera, float t)
{
    const float footprint = Camera::pixelSpread(camera) * t;
    return std::max(0.01f, 2.0f * footprint);
}

} // namespace qlmr::bench
