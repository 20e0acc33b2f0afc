#include "scene/scene.h"
#include "scene/scene_tracer.h"
#include "scene/settings.h"

#include <cmath>
#include <gtest/gtest.h>
#include <random>
#include <stdexcept>
#include <vector>

namespace qlmr {
namespace {

void expectVecNear(Vec3 actual, Vec3 expected, float tolerance)
{
    EXPECT_NEAR(actual.x, expected.x, tolerance);
    EXPECT_NEAR(actual.y, expected.y, tolerance);
    EXPECT_NEAR(actual.z, expected.z, tolerance);
}

Vec3 applyColumns(const std::array<Vec3, 3>& m, Vec3 v) { return m[0] * v.x + m[1] * v.y + m[2] * v.z; }

DisplacementField flatField(uint32_t width, uint32_t height, uint16_t value = 0)
{
    return DisplacementField(width, height, std::vector<uint16_t>(size_t(width) * height, value), true);
}

TEST(Prism, TerrainPrismHasTheDocumentedAxesAndTexelSize)
{
    Prism prism = makePrism({-128.0f, 0.0f, 128.0f}, {1, 0, 0}, {0, 0, -1}, 256.0f, 256.0f, 42.0f, 3);
    EXPECT_EQ(prism.axisU, (Vec3{256, 0, 0}));
    EXPECT_EQ(prism.axisV, (Vec3{0, 0, -256}));
    EXPECT_EQ(prism.axisH, (Vec3{0, 42, 0}));
    EXPECT_EQ(prism.fieldIndex, 3u);
    EXPECT_EQ(prism.uMin, 0.0f);
    EXPECT_EQ(prism.hMax, 1.0f);
    EXPECT_FALSE(prism.sideNormalsOff);
    EXPECT_EQ(prism.waterDepthScale, 0.0f);
    EXPECT_TRUE(std::isinf(prism.boundsMin.x) && prism.boundsMin.x > 0);
    EXPECT_TRUE(std::isinf(prism.boundsMax.y) && prism.boundsMax.y < 0);

    updatePrism(prism, 2048, 2048, 0);
    EXPECT_FLOAT_EQ(prism.heightTexelSize, 0.125f);
    EXPECT_FLOAT_EQ(prism.albedoTexelSize, 0.125f);
    updatePrism(prism, 2048, 2048, 8192);
    EXPECT_FLOAT_EQ(prism.albedoTexelSize, 0.125f / 4.0f);
    // A rectangular field takes its finer side.
    updatePrism(prism, 256, 1024, 0);
    EXPECT_FLOAT_EQ(prism.heightTexelSize, 0.25f);
    expectVecNear(prism.boundsMin, {-128, 0, -128}, 0);
    expectVecNear(prism.boundsMax, {128, 42, 128}, 0);
}

TEST(Prism, RandomPrismsHaveExactInversesAndTightBounds)
{
    std::mt19937 rng(17);
    std::uniform_real_distribution<float> coord(-10.0f, 10.0f);
    std::uniform_real_distribution<float> size(0.5f, 20.0f);
    std::uniform_real_distribution<float> unit(0.0f, 1.0f);
    for (int trial = 0; trial < 200; ++trial) {
        SCOPED_TRACE(trial);
        const Vec3 origin{coord(rng), coord(rng), coord(rng)};
        const Vec3 uDir{coord(rng), coord(rng), coord(rng)};
        Vec3 vDir{coord(rng), coord(rng), coord(rng)};
        if (std::fabs(dot(normalizeSafe(uDir), normalizeSafe(vDir))) > 0.95f) continue;
        Prism prism = makePrism(origin, uDir, vDir, size(rng), size(rng), size(rng), 0);
        prism.uMin = unit(rng) * 0.5f;
        prism.uMax = 0.5f + unit(rng) * 0.5f;
        prism.vMin = -unit(rng);
        prism.hMax = 1.0f + unit(rng);
        updatePrism(prism, 64, 32, 0);

        // The axes are orthogonal even when the directions are not.
        EXPECT_NEAR(dot(normalizeSafe(prism.axisU), normalizeSafe(prism.axisV)), 0.0f, 1e-5f);
        EXPECT_NEAR(dot(normalizeSafe(prism.axisU), normalizeSafe(prism.axisH)), 0.0f, 1e-5f);
        EXPECT_NEAR(dot(normalizeSafe(prism.axisV), normalizeSafe(prism.axisH)), 0.0f, 1e-5f);
        // axisH sits on the right-hand side of (u, v), and u follows uDirection.
        EXPECT_GT(dot(cross(prism.axisU, prism.axisV), prism.axisH), 0.0f);
        EXPECT_GT(dot(prism.axisU, uDir), 0.0f);

        // toLocal maps the axes onto the unit vectors.
        expectVecNear(applyColumns(prism.toLocal, prism.axisU), {1, 0, 0}, 1e-5f);
        expectVecNear(applyColumns(prism.toLocal, prism.axisV), {0, 1, 0}, 1e-5f);
        expectVecNear(applyColumns(prism.toLocal, prism.axisH), {0, 0, 1}, 1e-5f);
        // normalM is its transpose.
        for (int c = 0; c < 3; ++c)
            for (int r = 0; r < 3; ++r) EXPECT_EQ(prism.normalM[c][r], prism.toLocal[r][c]);

        // The bounds hold every corner and touch the extreme ones.
        const std::array<Vec3, 8> corners = prismCorners(prism);
        for (int axis = 0; axis < 3; ++axis) {
            float lo = corners[0][axis], hi = corners[0][axis];
            for (const Vec3& c : corners) {
                EXPECT_LE(prism.boundsMin[axis], c[axis]);
                EXPECT_GE(prism.boundsMax[axis], c[axis]);
                lo = std::min(lo, c[axis]);
                hi = std::max(hi, c[axis]);
            }
            EXPECT_EQ(prism.boundsMin[axis], lo);
            EXPECT_EQ(prism.boundsMax[axis], hi);
        }
    }
}

TEST(Prism, CornersFollowTheBitOrder)
{
    Prism prism = makePrism({1, 2, 3}, {1, 0, 0}, {0, 1, 0}, 2.0f, 4.0f, 8.0f, 0);
    prism.uMin = 0.25f;
    prism.vMax = 0.5f;
    prism.hMin = -1.0f;
    const std::array<Vec3, 8> c = prismCorners(prism);
    expectVecNear(c[0], {1.5f, 2, -5}, 0);
    expectVecNear(c[1], {3, 2, -5}, 0);
    expectVecNear(c[2], {1.5f, 4, -5}, 0);
    expectVecNear(c[7], {3, 4, 11}, 0);
}

TEST(Scene, AddReturnsIndicesAndRefreshUpdatesEveryPrism)
{
    Scene scene;
    scene.refreshPrisms(); // nothing to do
    EXPECT_EQ(scene.addField(flatField(64, 64)), 0);
    DisplacementField second = flatField(16, 16);
    second.setAlbedo(64, 64, std::vector<uint32_t>(64 * 64));
    EXPECT_EQ(scene.addField(std::move(second)), 1);
    EXPECT_EQ(scene.addPrism(makePrism({0, 0, 0}, {1, 0, 0}, {0, 0, -1}, 32, 32, 4, 0)), 0);
    EXPECT_EQ(scene.addPrism(makePrism({0, 0, 0}, {1, 0, 0}, {0, 0, -1}, 32, 32, 4, 1)), 1);
    scene.refreshPrisms();
    EXPECT_FLOAT_EQ(scene.prisms[0].heightTexelSize, 0.5f);
    EXPECT_FLOAT_EQ(scene.prisms[1].heightTexelSize, 2.0f);
    EXPECT_FLOAT_EQ(scene.prisms[1].albedoTexelSize, 0.5f);
    EXPECT_EQ(scene.prisms[1].boundsMax, (Vec3{32, 4, 0}));
}

TEST(Scene, RefreshStopsAtAPrismWithoutAField)
{
    Scene scene;
    scene.addField(flatField(8, 8));
    scene.addPrism(makePrism({0, 0, 0}, {1, 0, 0}, {0, 0, -1}, 8, 8, 1, 0));
    scene.addPrism(makePrism({0, 0, 0}, {1, 0, 0}, {0, 0, -1}, 8, 8, 1, 1));
    scene.addPrism(makePrism({0, 0, 0}, {1, 0, 0}, {0, 0, -1}, 8, 8, 1, 0));
    try {
        scene.refreshPrisms();
        FAIL() << "no exception";
    } catch (const std::out_of_range& e) {
        EXPECT_STREQ(e.what(), "invalid vector subscript");
    }
    EXPECT_FLOAT_EQ(scene.prisms[0].heightTexelSize, 1.0f);
    EXPECT_EQ(scene.prisms[0].boundsMax, (Vec3{8, 1, 0}));
    EXPECT_TRUE(std::isinf(scene.prisms[2].boundsMin.x)); // never reached
}

TEST(SceneTracer, EmptySceneGivesAnEmptySnapshot)
{
    const Scene scene;
    const SceneTracer tracer(scene, TraceSettings{});
    EXPECT_EQ(tracer.scene, &scene);
    EXPECT_TRUE(tracer.views.empty());
    EXPECT_TRUE(tracer.allPrisms.empty());
    EXPECT_FALSE(tracer.anyPixelGrid);
}

TEST(SceneTracer, SnapshotsViewsPrismsAndSettings)
{
    Scene scene;
    scene.addField(flatField(8, 8, 5));
    scene.addField(flatField(4, 16, 6));
    DisplacementField grid = flatField(2, 2);
    grid.pixelGrid = 2;
    scene.addField(std::move(grid));
    for (uint32_t i = 0; i < 5; ++i) scene.addPrism(makePrism({0, 0, 0}, {1, 0, 0}, {0, 0, -1}, 1, 1, 1, i % 3));

    TraceSettings settings;
    settings.maxSteps = 77;
    const SceneTracer tracer(scene, settings);
    settings.snapToPixelGrid = false; // later changes do not reach the tracer
    EXPECT_TRUE(tracer.settings.snapToPixelGrid);
    EXPECT_EQ(tracer.settings.maxSteps, 77u);
    EXPECT_TRUE(tracer.anyPixelGrid); // set by the last field
    ASSERT_EQ(tracer.views.size(), 3u);
    for (size_t i = 0; i < 3; ++i) {
        EXPECT_EQ(tracer.views[i].heights, scene.fields[i].heights.data());
        EXPECT_EQ(tracer.views[i].levels, scene.fields[i].levels);
    }
    EXPECT_EQ(tracer.views[1].log2Height, 4u);
    EXPECT_EQ(tracer.allPrisms, (std::vector<uint32_t>{0, 1, 2, 3, 4}));

    // Rectangle edits keep the views valid: they read the new heights.
    scene.fields[0].baseHeights()[0] = 999;
    scene.fields[0].updateRect({0, 0, 1, 1});
    EXPECT_EQ(tracer.views[0].heights[0], 999);
}

// The kernels index the views by a prism's field without checking it, so a
// prism that was never refreshed must not reach them with a missing field.
TEST(SceneTracer, RefusesAPrismWithoutAField)
{
    Scene scene;
    scene.addField(flatField(8, 8));
    scene.addPrism(makePrism({0, 0, 0}, {1, 0, 0}, {0, 0, -1}, 8, 8, 1, 0));
    scene.addPrism(makePrism({0, 0, 0}, {1, 0, 0}, {0, 0, -1}, 8, 8, 1, 1));
    try {
        const SceneTracer tracer(scene, TraceSettings{});
        FAIL() << "no exception";
    } catch (const std::out_of_range& e) {
        EXPECT_STREQ(e.what(), "invalid vector subscript");
    }
    scene.prisms[1].fieldIndex = 0;
    EXPECT_EQ(SceneTracer(scene, TraceSettings{}).allPrisms.size(), 2u);
}

// A field moved out of the scene leaves an empty field (no samples) in its
// place; a prism on it would have the march read levels and samples that
// are not there, so the tracer is refused until the field is replaced. An
// empty field that no prism uses is harmless and kept.
TEST(SceneTracer, RefusesAPrismOnAFieldWithNoSamples)
{
    Scene scene;
    scene.addField(DisplacementField(8, 8, std::vector<uint16_t>(64, 100), true));
    scene.addField(DisplacementField(4, 4, std::vector<uint16_t>(16, 200), true));
    scene.addPrism(makePrism({0, 0, 0}, {1, 0, 0}, {0, 0, -1}, 8, 8, 1, 0));
    scene.addPrism(makePrism({0, 0, 0}, {1, 0, 0}, {0, 0, -1}, 8, 8, 1, 1));
    const DisplacementField taken = std::move(scene.fields[1]);
    try {
        const SceneTracer tracer(scene, TraceSettings{});
        FAIL() << "no exception";
    } catch (const std::invalid_argument& e) {
        EXPECT_STREQ(e.what(), "prism on a field with no samples");
    }
    scene.prisms[1].fieldIndex = 0;
    const SceneTracer tracer(scene, TraceSettings{});
    EXPECT_EQ(tracer.views.size(), 2u);
    EXPECT_EQ(tracer.views[1].levels, 0u);
    EXPECT_EQ(tracer.allPrisms.size(), 2u);
}

TEST(Settings, DefaultsAreTheSystemsOwn)
{
    const TraceSettings trace;
    EXPECT_EQ(trace.maxSteps, 512u);
    EXPECT_TRUE(trace.lod);
    EXPECT_EQ(trace.lodBias, 0.0f);
    EXPECT_EQ(trace.normalMode, 1);
    EXPECT_EQ(trace.start, 1);
    EXPECT_EQ(trace.startOffset, 0u);
    EXPECT_FALSE(trace.seedOracle);
    EXPECT_EQ(trace.shellLog2, 6u);
    EXPECT_TRUE(trace.snapToPixelGrid);

    const RenderSettings render;
    const float norm = std::sqrt(0.8244f);
    EXPECT_FLOAT_EQ(render.sunDir.x, -0.72f / norm);
    EXPECT_FLOAT_EQ(render.sunDir.y, 0.36f / norm);
    EXPECT_FLOAT_EQ(render.sunDir.z, 0.42f / norm);
    EXPECT_NEAR(render.sunDir.x, -0.79298f, 5e-6f);
    EXPECT_NEAR(render.sunDir.y, 0.39649f, 5e-6f);
    EXPECT_NEAR(render.sunDir.z, 0.46257f, 5e-6f);
    EXPECT_NEAR(length(render.sunDir), 1.0f, 1e-6f);
    EXPECT_EQ(render.sunColor, (Vec3{2.5f, 2.3f, 2.0f}));
    EXPECT_EQ(render.skyZenith, (Vec3{0.2f, 0.38f, 0.75f}));
    EXPECT_EQ(render.skyHorizon, (Vec3{0.62f, 0.72f, 0.85f}));
    EXPECT_EQ(render.ambient, (Vec3{0.26f, 0.32f, 0.42f}));
    EXPECT_EQ(render.specular, 0.0f);
    EXPECT_EQ(render.roughness, 0.5f);
    EXPECT_EQ(render.normalRefine, 0.0f);
    EXPECT_EQ(render.fogDensity, 0.0011f);
    EXPECT_EQ(render.fogBaseHeight, 0.0f);
    EXPECT_EQ(render.fogFalloff, 0.0f);
    EXPECT_EQ(render.fogSphere, (std::array<float, 4>{}));
    EXPECT_TRUE(render.shadows);
    EXPECT_FALSE(render.altShadows);
    EXPECT_EQ(render.debugView, 0u);
}

} // namespace
} // namespace qlmr
