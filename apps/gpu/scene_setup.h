#pragma once

#include "gpu_options.h"
#include "scene/camera.h"
#include "scene/scene.h"
#include "scene/settings.h"
#include "scene/thread_pool.h"
#include "sdna/program.h"

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

namespace qlmr {

class DioramaWorld;

// The critter standing on the diorama terrain. The instance points into the
// record's own members, so the record stays where it was made.
struct PlacedCritter {
    SdnaProgram program;
    std::vector<BonePose> pose;
    ProgramBounds bounds;
    SdnaInstance instance;

    PlacedCritter() = default;
    PlacedCritter(const PlacedCritter&) = delete;
    PlacedCritter& operator=(const PlacedCritter&) = delete;
};

// Builds the critter at (x, z), turned by yaw about +Y, scaled, and lowered
// by sink below the highest of its feet's footing on the world's terrain.
std::unique_ptr<PlacedCritter> placeCritter(const DioramaWorld& world, float x, float z, float yaw, float scale,
                                            float sink);
std::unique_ptr<PlacedCritter> defaultCritter(const DioramaWorld& world);

// Reads the six diorama sprites from `assets` and stands them on the world.
bool loadDioramaSprites(DioramaWorld& world, const std::string& assets, std::string& error);

RenderSettings dioramaRenderSettings();

// The world's water volume in cubic metres.
double worldWaterVolume(const DioramaWorld& world);

// Everything a scene mode renders.
struct GpuTestScene {
    Scene ownScene;                      // "demo" and "shells"
    std::unique_ptr<DioramaWorld> world; // "diorama": the scene is the world's
    std::unique_ptr<PlacedCritter> critter;
    RenderSettings settings;
    std::vector<ViewPreset> views;
    std::uint32_t width = 0;
    std::uint32_t height = 0;
    bool diorama = false;

    GpuTestScene();
    ~GpuTestScene();
    Scene& scene();
};

// Builds the scene of a scene mode ("diorama", "shells", else "demo"), its
// render settings, views and image size, and adds the lake with --water
// (not for "shells"). `out` is built anew: nothing of an earlier build into
// it stays. Returns 0, or the exit code that ends the run.
int buildGpuTestScene(const GpuTestOptions& options, ThreadPool& pool, GpuTestScene& out, std::FILE* report);

} // namespace qlmr
