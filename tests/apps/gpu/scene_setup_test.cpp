// The critter's placement on the diorama terrain and the diorama settings.
#include "scene_setup.h"

#include "content/diorama_world.h"
#include "sdna/tracer.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <string>

namespace qlmr {
namespace {

TEST(PlacedCritter, InstancePointsIntoItsOwnRecordAndSinkLowersIt)
{
    const DioramaWorld world;
    const auto standing = placeCritter(world, 0.5f, -0.25f, 0.3f, 1.0f, 0.0f);
    const auto sunk = placeCritter(world, 0.5f, -0.25f, 0.3f, 1.0f, 0.1f);
    const SdnaInstance& instance = standing->instance;
    EXPECT_EQ(instance.program, &standing->program);
    EXPECT_EQ(instance.pose, standing->pose.data());
    EXPECT_EQ(instance.poseCount, standing->pose.size());
    EXPECT_EQ(instance.bounds, &standing->bounds);
    EXPECT_FALSE(standing->program.instructions.empty());
    EXPECT_EQ(instance.translation[0], 0.5f);
    EXPECT_EQ(instance.translation[2], -0.25f);
    EXPECT_TRUE(std::isfinite(instance.translation[1]));
    EXPECT_NEAR(sunk->instance.translation[1], instance.translation[1] - 0.1f, 1e-6f);
    EXPECT_NEAR(instance.rotation[1], std::sin(0.15f), 1e-7f);
    EXPECT_NEAR(instance.rotation[3], std::cos(0.15f), 1e-7f);
}

// The critter stands on the terrain by itself: rays straight down through
// its body hit it, rays down onto the terrain around it reach the ground.
TEST(PlacedCritter, StandsOnTheTerrainWithoutAGroundOfItsOwn)
{
    const DioramaWorld world;
    const auto critter = defaultCritter(world);
    const SdnaInstance& instance = critter->instance;
    const float x = instance.translation[0];
    const float z = instance.translation[2];
    auto downAt = [&](float px, float pz) {
        return traceInstance(instance, {px, 10.0f, pz}, {0.0f, -1.0f, 0.0f}, 0.0f, 20.0f, SdnaTraceOptions{});
    };
    const SdnaHit body = downAt(x, z);
    ASSERT_TRUE(body.hit);
    EXPECT_GT(body.position[1], world.heightAt(x, z));
    for (int i = 0; i < 8; ++i) {
        const float angle = static_cast<float>(i) * 0.785398f;
        const float px = x + 1.5f * std::cos(angle);
        const float pz = z + 1.5f * std::sin(angle);
        EXPECT_FALSE(downAt(px, pz).hit) << "at (" << px << ", " << pz << ")";
    }
}

TEST(DioramaSettings, SunIsUnitLengthAndFogIsOff)
{
    const RenderSettings s = dioramaRenderSettings();
    EXPECT_NEAR(length(s.sunDir), 1.0f, 1e-6f);
    EXPECT_EQ(s.fogDensity, 0.0f);
    EXPECT_EQ(s.specular, 0.35f);
    EXPECT_EQ(s.roughness, 0.45f);
    EXPECT_TRUE(s.shadows);
}

// A record built before is built anew: whatever the earlier build made (its
// world and critter, its scene's fields and prisms, its views, settings and
// size) must not carry into the next one, in either order.
TEST(GpuTestSceneBuild, SecondBuildIntoTheSameRecordStartsOver)
{
    GpuTestOptions diorama;
    diorama.scene = "diorama";
    diorama.assets = QLMR_SPRITE_DIR;
    diorama.time = 0.0f;
    GpuTestOptions shells;
    shells.scene = "shells";
    shells.res = 2;
    shells.noShadows = true;
    const struct {
        const char* name;
        GpuTestOptions first;
        GpuTestOptions second;
    } cases[] = {{"diorama, then shells", diorama, shells},
                 {"shells, then diorama", shells, diorama},
                 {"shells twice", shells, shells}};
    ThreadPool pool(2);
    std::FILE* report = std::tmpfile();
    ASSERT_NE(report, nullptr);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        GpuTestScene fresh;
        ASSERT_EQ(buildGpuTestScene(c.second, pool, fresh, report), 0);
        GpuTestScene reused;
        ASSERT_EQ(buildGpuTestScene(c.first, pool, reused, report), 0);
        ASSERT_EQ(buildGpuTestScene(c.second, pool, reused, report), 0);
        EXPECT_EQ(reused.diorama, fresh.diorama);
        EXPECT_EQ(reused.world != nullptr, fresh.world != nullptr);
        EXPECT_EQ(reused.critter != nullptr, fresh.critter != nullptr);
        EXPECT_EQ(reused.scene().fields.size(), fresh.scene().fields.size());
        EXPECT_EQ(reused.scene().prisms.size(), fresh.scene().prisms.size());
        ASSERT_EQ(reused.views.size(), fresh.views.size());
        for (std::size_t v = 0; v < fresh.views.size(); ++v)
            EXPECT_EQ(std::string(reused.views[v].name), fresh.views[v].name);
        EXPECT_EQ(reused.width, fresh.width);
        EXPECT_EQ(reused.height, fresh.height);
        EXPECT_EQ(reused.settings.shadows, fresh.settings.shadows);
        EXPECT_EQ(reused.settings.fogDensity, fresh.settings.fogDensity);
        EXPECT_EQ(reused.settings.specular, fresh.settings.specular);
    }
    std::fclose(report);
}

} // namespace
} // namespace qlmr
