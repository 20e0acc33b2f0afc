#include "scene_setup.h"

#include "content/demo_scene.h"
#include "content/quad_cage.h"
#include "content/radial_source.h"
#include "content/shell_bake.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <span>

namespace qlmr {

namespace {

// A lake over field 0: a water field at the 35th percentile of the terrain
// heights (at most 0.12) on a copy of prism 0, tinted by the water depth.
// False, with nothing printed, when field 0's albedo differs in size from
// its heights.
bool addLake(Scene& scene, std::FILE* out)
{
    const DisplacementField& terrain = scene.fields[0];
    if (terrain.albedoWidth != terrain.width || terrain.albedoHeight != terrain.height)
        return false;
    const std::uint32_t w = terrain.width;
    const std::uint32_t h = terrain.height;
    const std::size_t n = static_cast<std::size_t>(w) * h;
    const std::uint16_t* base = terrain.heights.data();

    std::vector<float> sorted(n);
    for (std::size_t i = 0; i < n; ++i)
        sorted[i] = static_cast<float>(base[i]) / 65535.0f;
    const std::size_t at = n * 35 / 100;
    std::nth_element(sorted.begin(), sorted.begin() + static_cast<std::ptrdiff_t>(at), sorted.end());
    const float level = std::min(sorted[at], 0.12f);

    std::vector<float> water(n);
    std::vector<std::uint32_t> albedo(terrain.albedoLevel(0), terrain.albedoLevel(0) + n);
    for (std::size_t i = 0; i < n; ++i) {
        const float height = static_cast<float>(base[i]) / 65535.0f;
        water[i] = height < level ? level : std::max(height - 0.004f, 0.0f);
        const float depth = std::min(std::max((level - height) / 0.05f, 0.0f), 1.0f);
        const std::uint32_t alpha = static_cast<std::uint32_t>(std::lround(255.0f * depth));
        albedo[i] = (albedo[i] & 0x00FFFFFFu) | (alpha << 24);
    }
    DisplacementField lake(w, h, std::span<const float>(water), terrain.clampEdges);
    lake.setAlbedo(w, h, albedo);
    const int index = scene.addField(std::move(lake));

    Prism prism = scene.prisms[0];
    prism.fieldIndex = static_cast<std::uint32_t>(index);
    prism.uMin = 1.0f / static_cast<float>(w);
    prism.vMin = 1.0f / static_cast<float>(w);
    prism.uMax = 1.0f - 2.0f / static_cast<float>(w);
    prism.vMax = 1.0f - 2.0f / static_cast<float>(w);
    prism.waterDepthScale = 0.2f * length(prism.axisH);
    scene.addPrism(prism);
    scene.refreshPrisms();
    std::fprintf(out, "water: lake at height %.3f over the terrain\n", level);
    return true;
}

// The views and render settings of the baked radial shells.
std::vector<ViewPreset> buildShellsScene(Scene& scene, const GpuTestOptions& o, ThreadPool& pool,
                                         RenderSettings& settings, std::FILE* out)
{
    ShellBakeOptions bake;
    bake.resolution = o.res;
    bake.innerExtent = 0.02f;
    const RadialSourceParams params;
    const QuadCage cage = radialSourceCage(8, params, 2, 0.03f);
    const ShellBakeStats stats = bakeRadialShells(scene, cage, params, bake, pool);
    scene.refreshPrisms();
    std::fprintf(out, "shells: %u prisms baked in %.1f s\n", stats.prismsBaked, stats.seconds);

    const float norm = std::sqrt(0.9944f);
    settings.sunDir = Vec3{-0.6f / norm, 0.5f / norm, 0.62f / norm};
    settings.fogDensity = 0.0f;

    std::vector<ViewPreset> views(2);
    views[0].name = "full";
    views[0].eye = {2.1f, 1.2f, 2.6f};
    views[0].target = {0.0f, 0.0f, 0.0f};
    views[0].fovDegrees = 40.0f;
    views[1].name = "limb";
    views[1].eye = {0.35f, 0.25f, 1.45f};
    views[1].target = {-0.35f, 0.15f, 0.6f};
    views[1].fovDegrees = 50.0f;
    return views;
}

} // namespace

bool buildGpuTestScene(const GpuTestOptions& o, ThreadPool& pool, Scene& scene, RenderSettings& settings,
                       std::vector<ViewPreset>& views, std::FILE* out)
{
    if (o.scene == "shells") {
        views = buildShellsScene(scene, o, pool, settings, out);
    } else {
        const DemoLayout layout = buildDemoScene(scene, o.terrain, true, pool);
        views = makeViewPresets(scene.fields, layout);
    }
    settings.shadows = !o.noShadows;
    if (o.water && o.scene != "shells")
        return addLake(scene, out);
    return true;
}

} // namespace qlmr
