#include "content/demo_scene.h"

#include <cmath>
#include <gtest/gtest.h>
#include <stdexcept>
#include <string>

namespace qlmr {
namespace {

// 256 keeps the tests fast; the layout does not depend on the terrain size.
constexpr unsigned kTerrainSize = 256;

struct Built {
    Scene scene;
    DemoLayout layout;
    std::string printed;
};

Built build(bool edges, unsigned workers = 8)
{
    ThreadPool pool(workers);
    Built built;
    testing::internal::CaptureStdout();
    built.layout = buildDemoScene(built.scene, kTerrainSize, edges, pool);
    built.printed = testing::internal::GetCapturedStdout();
    return built;
}

TEST(DemoScene, FieldsAndPrismsInTheirOrder)
{
    for (bool edges : {false, true}) {
        const Built built = build(edges);
        const Scene& scene = built.scene;
        EXPECT_EQ(built.printed, "generating fields...\n");
        ASSERT_EQ(scene.fields.size(), edges ? 5u : 4u);
        ASSERT_EQ(scene.prisms.size(), 34u);
        EXPECT_EQ(scene.fields[0].width, kTerrainSize);
        EXPECT_TRUE(scene.fields[0].clampEdges);
        EXPECT_EQ(scene.fields[1].width, 512u); // cobblestones
        EXPECT_EQ(scene.fields[2].height, 256u); // bricks
        EXPECT_EQ(scene.fields[3].width, 512u); // panels
        for (int f = 1; f <= 3; ++f) {
            EXPECT_FALSE(scene.fields[f].clampEdges) << f;
            EXPECT_EQ(scene.fields[f].albedoWidth, scene.fields[f].width) << f;
        }
        const std::uint32_t shellField = edges ? 4u : 3u;
        for (int p = 0; p < 34; ++p) {
            const std::uint32_t expected = p == 0 ? 0u : p <= 12 ? 1u : p <= 24 ? 2u : shellField;
            EXPECT_EQ(scene.prisms[p].fieldIndex, expected) << "prism " << p;
        }
        if (edges) {
            EXPECT_EQ(scene.fields[4].texel(0, 0, 100), 0); // faded border
            EXPECT_EQ(scene.fields[4].texel(0, 256, 256), scene.fields[3].texel(0, 256, 256));
        }
    }
}

TEST(DemoScene, LayoutSitsOnThePad)
{
    const Built built = build(false);
    const DemoLayout& layout = built.layout;
    const Scene& scene = built.scene;
    EXPECT_EQ(layout.worldSize, 256.0f);
    EXPECT_EQ(layout.heightScale, 42.0f);
    EXPECT_EQ(layout.padPosition.x, 0.0f);
    EXPECT_FLOAT_EQ(layout.padPosition.z, -30.72f);
    EXPECT_EQ(layout.padPosition.y, scene.fields[0].sampleHeight(0, 0.5f, 0.62f) * 42.0f);

    const Prism& terrain = scene.prisms[0];
    EXPECT_EQ(terrain.origin, (Vec3{-128, 0, 128}));
    EXPECT_EQ(terrain.axisU, (Vec3{256, 0, 0}));
    EXPECT_EQ(terrain.axisV, (Vec3{0, 0, -256}));
    EXPECT_EQ(terrain.axisH, (Vec3{0, 42, 0}));
    EXPECT_EQ(terrain.heightTexelSize, 1.0f); // refreshed: 256 m over 256 samples

    const Vec3 p = layout.padPosition;
    // Path: first prism at the near left corner, last at the far right.
    EXPECT_EQ(scene.prisms[1].origin, (Vec3{p.x - 5, p.y - 0.07f, p.z + 16}));
    EXPECT_EQ(scene.prisms[12].origin, (Vec3{p.x - 5 + 5, p.y - 0.07f, p.z + 16 - 25}));
    EXPECT_EQ(scene.prisms[1].axisV, (Vec3{0, 0, -5}));
    EXPECT_EQ(scene.prisms[1].axisH, (Vec3{0, 0.25f, 0}));
    // Wall: two courses of six panels, relief towards +z.
    EXPECT_EQ(scene.prisms[13].origin, (Vec3{p.x - 12, p.y - 0.3f, p.z - 15}));
    EXPECT_EQ(scene.prisms[14].origin, (Vec3{p.x - 12, p.y - 0.3f + 2, p.z - 15}));
    EXPECT_EQ(scene.prisms[24].origin, (Vec3{p.x - 12 + 20, p.y - 0.3f + 2, p.z - 15}));
    EXPECT_EQ(scene.prisms[13].axisU, (Vec3{4, 0, 0}));
    EXPECT_EQ(scene.prisms[13].axisV, (Vec3{0, 2, 0}));
    EXPECT_EQ(scene.prisms[13].axisH, (Vec3{0, 0, 0.12f}));

    // Shell: rotated box beside the pad, every prism facing out of it.
    EXPECT_EQ(layout.shellCenter, (Vec3{p.x + 7.5f, p.y + 3.4f, p.z - 4}));
    EXPECT_FLOAT_EQ(layout.shellAxes[0].x, std::cos(0.45f));
    EXPECT_FLOAT_EQ(layout.shellAxes[0].z, -std::sin(0.45f));
    EXPECT_FLOAT_EQ(layout.shellAxes[2].x, std::sin(0.45f));
    EXPECT_EQ(layout.shellAxes[1], (Vec3{0, 1, 0}));
    for (int i = 25; i < 34; ++i) {
        const Prism& shell = scene.prisms[i];
        const Vec3 middle = shell.origin + shell.axisU * 0.5f + shell.axisV * 0.5f;
        EXPECT_GT(dot(shell.axisH, middle - layout.shellCenter), 0.0f) << i;
        EXPECT_NEAR(length(shell.axisH), 0.16f, 1e-6f);
        EXPECT_LE(shell.boundsMin.x, shell.boundsMax.x) << "refreshed";
    }
}

// Field by field: a Prism has padding after its bool, whose bytes nothing
// writes, so comparing whole structs by their bytes compares garbage.
void expectSamePrism(const Prism& a, const Prism& b)
{
    EXPECT_EQ(a.origin, b.origin);
    EXPECT_EQ(a.axisU, b.axisU);
    EXPECT_EQ(a.axisV, b.axisV);
    EXPECT_EQ(a.axisH, b.axisH);
    EXPECT_EQ(a.fieldIndex, b.fieldIndex);
    EXPECT_EQ(a.uMin, b.uMin);
    EXPECT_EQ(a.uMax, b.uMax);
    EXPECT_EQ(a.vMin, b.vMin);
    EXPECT_EQ(a.vMax, b.vMax);
    EXPECT_EQ(a.hMin, b.hMin);
    EXPECT_EQ(a.hMax, b.hMax);
    EXPECT_EQ(a.sideNormalsOff, b.sideNormalsOff);
    EXPECT_EQ(a.waterDepthScale, b.waterDepthScale);
    EXPECT_EQ(a.toLocal, b.toLocal);
    EXPECT_EQ(a.normalM, b.normalM);
    EXPECT_EQ(a.boundsMin, b.boundsMin);
    EXPECT_EQ(a.boundsMax, b.boundsMax);
    EXPECT_EQ(a.heightTexelSize, b.heightTexelSize);
    EXPECT_EQ(a.albedoTexelSize, b.albedoTexelSize);
}

TEST(DemoScene, SameSceneOnAnyThreadCount)
{
    const Built a = build(true, 1);
    const Built b = build(true, 8);
    ASSERT_EQ(a.scene.fields.size(), b.scene.fields.size());
    for (std::size_t f = 0; f < a.scene.fields.size(); ++f) {
        EXPECT_EQ(a.scene.fields[f].heights, b.scene.fields[f].heights) << f;
        EXPECT_EQ(a.scene.fields[f].albedo, b.scene.fields[f].albedo) << f;
        EXPECT_EQ(a.scene.fields[f].materials, b.scene.fields[f].materials) << f;
    }
    EXPECT_EQ(a.layout.padPosition, b.layout.padPosition);
    EXPECT_EQ(a.layout.shellCenter, b.layout.shellCenter);
    EXPECT_EQ(a.layout.shellAxes, b.layout.shellAxes);
    EXPECT_EQ(a.layout.worldSize, b.layout.worldSize);
    EXPECT_EQ(a.layout.heightScale, b.layout.heightScale);
    ASSERT_EQ(a.scene.prisms.size(), b.scene.prisms.size());
    for (std::size_t i = 0; i < a.scene.prisms.size(); ++i) {
        SCOPED_TRACE(i);
        expectSamePrism(a.scene.prisms[i], b.scene.prisms[i]);
    }
}

// The terrain benchmark traces the terrain alone; it must be the very field,
// prism and pad that the full demo scene frames its views on.
TEST(DemoScene, TerrainAloneMatchesTheFullScenesTerrain)
{
    const Built full = build(false);
    ThreadPool pool(3);
    Scene terrainOnly;
    testing::internal::CaptureStdout();
    const DemoLayout layout = addDemoTerrain(terrainOnly, kTerrainSize, pool);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    terrainOnly.refreshPrisms();

    ASSERT_EQ(terrainOnly.fields.size(), 1u);
    ASSERT_EQ(terrainOnly.prisms.size(), 1u);
    const DisplacementField& a = terrainOnly.fields[0];
    const DisplacementField& b = full.scene.fields[0];
    EXPECT_EQ(a.heights, b.heights);
    EXPECT_EQ(a.bounds, b.bounds);
    EXPECT_EQ(a.albedo, b.albedo);
    EXPECT_EQ(a.materials, b.materials);
    EXPECT_EQ(a.clampEdges, b.clampEdges);
    expectSamePrism(terrainOnly.prisms[0], full.scene.prisms[0]);
    EXPECT_EQ(layout.padPosition, full.layout.padPosition);
    EXPECT_EQ(layout.worldSize, full.layout.worldSize);
    EXPECT_EQ(layout.heightScale, full.layout.heightScale);
}

TEST(DemoScene, TerrainSizeNotAPowerOfTwoThrowsTheFieldsMessage)
{
    ThreadPool pool(8);
    Scene scene;
    testing::internal::CaptureStdout();
    try {
        buildDemoScene(scene, 96, false, pool);
        testing::internal::GetCapturedStdout();
        FAIL() << "no exception";
    } catch (const std::invalid_argument& e) {
        testing::internal::GetCapturedStdout();
        EXPECT_STREQ(e.what(), "field width must be a power of two");
    }
    EXPECT_TRUE(scene.fields.empty());
}

// An edge the terrain field cannot take is refused with the field's message
// before the terrain is generated: a user's --terrain 65536 must not first
// build a 36 GiB image (nor 2^31 ask for more than memory can hold).
TEST(DemoScene, TerrainEdgeTheFieldRefusesThrowsBeforeGenerating)
{
    struct Case {
        unsigned size;
        const char* message;
    };
    const Case cases[] = {
        {0u, "field width must be a power of two"},
        {100000u, "field width must be a power of two"},
        {4294967295u, "field width must be a power of two"},
        {65536u, "field too large"},
        {2147483648u, "field too large"},
    };
    ThreadPool pool(2);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.size);
        Scene scene;
        testing::internal::CaptureStdout();
        try {
            buildDemoScene(scene, c.size, false, pool);
            testing::internal::GetCapturedStdout();
            ADD_FAILURE() << "no exception";
        } catch (const std::invalid_argument& e) {
            EXPECT_EQ(testing::internal::GetCapturedStdout(), "generating fields...\n");
            EXPECT_STREQ(e.what(), c.message);
        } catch (...) {
            testing::internal::GetCapturedStdout();
            ADD_FAILURE() << "not std::invalid_argument";
        }
        EXPECT_TRUE(scene.fields.empty());
        EXPECT_TRUE(scene.prisms.empty());

        Scene terrainOnly;
        EXPECT_THROW(addDemoTerrain(terrainOnly, c.size, pool), std::invalid_argument);
        EXPECT_TRUE(terrainOnly.fields.empty());
    }
}

} // namespace
} // namespace qlmr
