#include "scene_setup.h"

#include "content/demo_scene.h"
#include "content/diorama_world.h"
#include "content/fluid.h"
#include "content/quad_cage.h"
#include "content/radial_source.h"
#include "content/shell_bake.h"

#include <stb/stb_image.h>

#include "sdna/bounds_analysis.h"
#include "sdna/critter.h"
#include "sdna/evaluator.h"

#include <algorithm>
#include <array>
#include <cstring>
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

struct SpritePlacement {
    const char* name;
    float x;
    float z;
};

constexpr SpritePlacement kDioramaSprites[] = {
    {"tree", -2.4f, -1.2f}, {"tree", 2.6f, 1.9f},     {"tree", 1.0f, -2.9f},
    {"barrel", 2.0f, -0.6f}, {"crystal", -2.9f, 2.6f}, {"barrel", -1.4f, 2.9f},
};

constexpr std::array<std::array<float, 3>, 4> kFootPoints{{
    {0.3f, 0.45f, 0.14f},
    {0.3f, 0.45f, -0.14f},
    {-0.35f, 0.42f, 0.14f},
    {-0.35f, 0.42f, -0.14f},
}};

ViewPreset orbitView(const char* name, float t)
{
    ViewPreset view;
    view.name = name;
    view.eye = orbitEye(t);
    view.target = {0.0f, 0.35f, 0.0f};
    view.fovDegrees = 34.0f;
    return view;
}

} // namespace

GpuTestScene::GpuTestScene() = default;
GpuTestScene::~GpuTestScene() = default;

Scene& GpuTestScene::scene()
{
    return world ? world->scene : ownScene;
}

bool loadDioramaSprites(DioramaWorld& world, const std::string& assets, std::string& error)
{
    for (const SpritePlacement& placement : kDioramaSprites) {
        const std::string path = assets + "/" + placement.name + ".png";
        std::FILE* file = std::fopen(path.c_str(), "rb");
        int w = 0, h = 0, channels = 0;
        stbi_uc* pixels = file ? stbi_load_from_file(file, &w, &h, &channels, 4) : nullptr;
        if (file)
            std::fclose(file);
        if (!pixels) {
            error = "cannot read " + path;
            return false;
        }
        std::vector<std::uint32_t> rgba(static_cast<std::size_t>(w) * h);
        std::memcpy(rgba.data(), pixels, rgba.size() * 4);
        stbi_image_free(pixels);
        SpriteView view;
        view.pixels = rgba.data();
        view.count = rgba.size();
        view.width = static_cast<std::uint32_t>(w);
        view.height = static_cast<std::uint32_t>(h);
        if (!world.placeSprite(view, placement.x, placement.z)) {
            error = path + " does not fit a field";
            return false;
        }
    }
    world.syncCollisionScene();
    return true;
}

std::unique_ptr<PlacedCritter> placeCritter(const DioramaWorld& world, float x, float z, float yaw, float scale,
                                            float sink)
{
    auto placed = std::make_unique<PlacedCritter>();
    // The terrain is the ground: the critter comes without its base slab,
    // which would lay a 5 m plate over the island at the height of its feet.
    placed->program = buildCritter(false);
    placed->pose = critterPose(placed->program.boneCount, 0.45f);
    SdnaInstance& instance = placed->instance;
    instance.rotation = {0.0f, std::sin(yaw / 2.0f), 0.0f, std::cos(yaw / 2.0f)};
    instance.scale = scale;

    float lift = -1e30f;
    const std::size_t feet = std::min<std::size_t>(4, placed->pose.size());
    for (std::size_t b = 0; b < feet; ++b) {
        const std::array<float, 3> foot{kFootPoints[b][0] + 0.02f, kFootPoints[b][1] - 0.45f, kFootPoints[b][2]};
        const BonePose& bone = placed->pose[b];
        std::array<float, 3> p = quatRotateForward(bone.rotation, foot);
        for (int i = 0; i < 3; ++i)
            p[i] += bone.position[i];
        p = quatRotateForward(instance.rotation, p);
        const float wx = p[0] * scale + x;
        const float wy = p[1] * scale;
        const float wz = p[2] * scale + z;
        lift = std::max(lift, world.heightAt(wx, wz) - (wy - 0.055f * scale));
    }
    instance.translation = {x, lift - sink, z};
    placed->bounds = analyzeProgramBounds(placed->program, 3);
    instance.program = &placed->program;
    instance.pose = placed->pose.data();
    instance.poseCount = placed->pose.size();
    instance.bounds = &placed->bounds;
    return placed;
}

std::unique_ptr<PlacedCritter> defaultCritter(const DioramaWorld& world)
{
    return placeCritter(world, -0.15f, 0.35f, -0.5f, 0.9f, 0.015f);
}

RenderSettings dioramaRenderSettings()
{
    RenderSettings settings;
    const float norm = std::sqrt(1.015f);
    settings.sunDir = Vec3{-0.5f / norm, 0.75f / norm, 0.45f / norm};
    settings.sunColor = Vec3{1.45f, 1.36f, 1.2f};
    settings.ambient = Vec3{0.28f, 0.33f, 0.42f};
    settings.specular = 0.35f;
    settings.roughness = 0.45f;
    settings.fogDensity = 0.0f;
    return settings;
}

double worldWaterVolume(const DioramaWorld& world)
{
    return sim::waterVolume(world.water, 0.03125f);
}

int buildGpuTestScene(const GpuTestOptions& o, ThreadPool& pool, GpuTestScene& out, std::FILE* report)
{
    // A record built before starts over: an earlier world would go on
    // standing in for the scene, and the new fields and prisms would follow
    // the earlier ones, where the lake and the stamps take field and prism 0.
    out.ownScene = Scene{};
    out.world.reset();
    out.critter.reset();
    out.settings = RenderSettings{};
    out.views.clear();
    out.diorama = false;
    out.width = o.width;
    out.height = o.height;
    if (o.scene == "diorama") {
        out.diorama = true;
        out.world = std::make_unique<DioramaWorld>();
        std::string error;
        if (!loadDioramaSprites(*out.world, o.assets, error)) {
            std::fprintf(report, "%s\n", error.c_str());
            return 1;
        }
        const float step = 1.0f / 15.0f;
        for (int i = 0; static_cast<float>(i) * step < o.time; ++i)
            out.world->advance(static_cast<float>(i) / 15.0f, step, &pool);
        out.settings = dioramaRenderSettings();
        if (!o.noSolid) {
            out.critter = defaultCritter(*out.world);
            if (o.noCull)
                out.critter->instance.bounds = nullptr;
        }
        if (!o.sizeGiven) {
            out.width = 960;
            out.height = 540;
        }
        out.views = {orbitView("orbit0", 0.0f), orbitView("orbit1", 0.5f), orbitView("orbit2", 1.0f)};
        std::fprintf(report, "diorama at %.1f s: %zu prisms, water %.3f m3%s; %ux%u\n", o.time,
                     out.world->scene.prisms.size(), worldWaterVolume(*out.world),
                     out.critter ? ", the critter (sDNA) on the terrain" : "", out.width, out.height);
    } else if (o.scene == "shells") {
        out.views = buildShellsScene(out.ownScene, o, pool, out.settings, report);
    } else {
        const DemoLayout layout = buildDemoScene(out.ownScene, o.terrain, true, pool);
        out.views = makeViewPresets(out.ownScene.fields, layout);
    }
    out.settings.shadows = !o.noShadows;
    if (o.water && o.scene != "shells" && !addLake(out.scene(), report))
        return 1;
    return 0;
}

} // namespace qlmr
