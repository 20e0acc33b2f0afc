#include "pixelart_scene.h"

#include <gtest/gtest.h>

#include <cmath>

#include "builtin_sprites.h"

namespace qlmr {
namespace {

// A scene holding the synthesized hero and crate, ready for placements.
class SpriteScene : public ::testing::Test {
protected:
    SpriteRelief synthesize(const SpriteImage& sprite)
    {
        const std::uint16_t zero = 0;
        DisplacementField field(1, 1, std::span<const std::uint16_t>(&zero, 1), true);
        SpriteRelief relief;
        relief.front = synthesizer.synthesize(spriteView(sprite), field);
        relief.frontField = std::uint32_t(world.scene.addField(std::move(field)));
        return relief;
    }

    void SetUp() override
    {
        world.sprites.push_back(synthesize(makeHeroSprite(32, 24)));
        world.sprites.push_back(synthesize(makeCrateSprite(20)));
    }

    ReliefSynthesizer synthesizer{ReliefSettings{}};
    PixelartScene world;
};

TEST_F(SpriteScene, SpriteStandsOnTheGroundCentredOnItsX)
{
    world.twoSided = false;
    world.placeSpriteInstances(1, 0.6f, -1.0f);
    ASSERT_EQ(world.scene.prisms.size(), 1u);
    world.scene.refreshPrisms();
    const Prism& prism = world.scene.prisms[0];
    const ReliefInfo& info = world.sprites[1].front;
    const float p = kPixelSize, s = float(info.nodesPerPixel);
    // The cut-out box ends half a node below the opaque bottom row and
    // spans the 20 crate pixels plus half a node either side.
    EXPECT_NEAR(prism.boundsMin.y, -0.5f * p / s, 1e-5f);
    EXPECT_NEAR(prism.boundsMax.y, 20.0f * p + 0.5f * p / s, 1e-5f);
    EXPECT_NEAR(prism.boundsMin.x, 0.6f - 10.0f * p - 0.5f * p / s, 1e-5f);
    EXPECT_NEAR(prism.boundsMax.x, 0.6f + 10.0f * p + 0.5f * p / s, 1e-5f);
    // The relief rises towards +Z from its plinth at z = -1.
    EXPECT_GT(prism.axisH.z, 0.0f);
    EXPECT_NEAR(prism.boundsMin.z, -1.0f, 1e-5f);
}

TEST_F(SpriteScene, TwoSidedSpritesGetTheirMirroredTwin)
{
    world.placeSpriteInstances(0, -1.2f, -0.3f);
    ASSERT_EQ(world.scene.prisms.size(), 2u);
    const Prism& front = world.scene.prisms[0];
    const Prism& back = world.scene.prisms[1];
    EXPECT_EQ(back.fieldIndex, front.fieldIndex);
    EXPECT_FLOAT_EQ(back.axisH.z, -front.axisH.z);
    world.scene.refreshPrisms();
    EXPECT_NEAR(world.scene.prisms[1].boundsMax.z, -0.3f, 1e-5f);
    EXPECT_NEAR(world.scene.prisms[0].boundsMin.z, -0.3f, 1e-5f);
}

TEST_F(SpriteScene, BackImageIsSeenFromBehindReadingLeftToRight)
{
    SpriteRelief back = synthesize(makeCrateSprite(20));
    world.sprites[1].hasBack = true;
    world.sprites[1].back = back.front;
    world.sprites[1].backField = back.frontField;
    world.placeSpriteInstances(1, 0.0f, 0.0f);
    ASSERT_EQ(world.scene.prisms.size(), 2u);
    const Prism& front = world.scene.prisms[0];
    const Prism& rear = world.scene.prisms[1];
    EXPECT_EQ(rear.fieldIndex, back.frontField);
    EXPECT_LT(rear.axisU.x, 0.0f); // columns run along -X, left to right from behind
    EXPECT_GT(front.axisU.x, 0.0f);
    EXPECT_LT(rear.axisH.z, 0.0f);
    world.scene.refreshPrisms();
    EXPECT_NEAR(world.scene.prisms[1].boundsMin.x, world.scene.prisms[0].boundsMin.x, 1e-5f);
    EXPECT_NEAR(world.scene.prisms[1].boundsMax.x, world.scene.prisms[0].boundsMax.x, 1e-5f);
}

TEST_F(SpriteScene, FourPlacementsCycleThroughTheSprites)
{
    placeSceneSprites(world);
    ASSERT_EQ(world.scene.prisms.size(), 8u);
    const std::uint32_t expectedFields[4] = {world.sprites[0].frontField, world.sprites[1].frontField,
                                             world.sprites[0].frontField, world.sprites[1].frontField};
    const float expectedZ[4] = {-0.3f, -1.0f, -2.4f, -2.8f};
    world.scene.refreshPrisms();
    for (int k = 0; k < 4; ++k) {
        EXPECT_EQ(world.scene.prisms[2 * k].fieldIndex, expectedFields[k]);
        EXPECT_NEAR(world.scene.prisms[2 * k].boundsMin.z, expectedZ[k], 1e-5f);
    }

    PixelartScene oneSided;
    oneSided.twoSided = false;
    oneSided.sprites = {world.sprites[0]};
    placeSceneSprites(oneSided);
    EXPECT_EQ(oneSided.scene.prisms.size(), 4u);
}

TEST(GroundTiles, TwelveByEightMetreGridWithThePathOnRowFive)
{
    ReliefSettings settings;
    settings.bevelRadius = 0.0f;
    settings.detailStrength = 1.5f;
    settings.keepFrame = true;
    ReliefSynthesizer synthesizer(settings);
    Scene scene;
    ReliefInfo infos[2];
    for (int variant = 0; variant < 2; ++variant) {
        const std::uint16_t zero = 0;
        DisplacementField field(1, 1, std::span<const std::uint16_t>(&zero, 1), true);
        const SpriteImage tile = makeGroundTile(16, variant, std::uint32_t(variant + 1));
        infos[variant] = synthesizer.synthesize(spriteView(tile), field);
        scene.addField(std::move(field));
    }
    addGroundTiles(scene, infos[0], 0, infos[1], 1);
    ASSERT_EQ(scene.prisms.size(), 96u);
    scene.refreshPrisms();
    for (int j = 0; j < 8; ++j) {
        for (int k = 0; k < 12; ++k) {
            const Prism& prism = scene.prisms[std::size_t(j * 12 + k)];
            EXPECT_EQ(prism.fieldIndex, j == 5 ? 1u : 0u);
            // A kept frame covers exactly the tile's square metre.
            EXPECT_NEAR(prism.boundsMin.x, float(k - 6), 1e-4f);
            EXPECT_NEAR(prism.boundsMax.x, float(k - 5), 1e-4f);
            EXPECT_NEAR(prism.boundsMin.z, float(j - 6), 1e-4f);
            EXPECT_NEAR(prism.boundsMax.z, float(j - 5), 1e-4f);
            EXPECT_GT(prism.axisH.y, 0.0f);
        }
    }
}

TEST(PixelartCameras, WideOverTheSceneCloseAndBackOnTheFirstSprite)
{
    ReliefInfo first;
    first.spriteWidth = 32;
    first.opaqueX = 1;
    first.opaqueWidth = 30;
    first.opaqueHeight = 22;
    const std::vector<NamedCamera> cameras = pixelartCameras(first, 320, 180);
    ASSERT_EQ(cameras.size(), 3u);
    EXPECT_EQ(cameras[0].name, "wide");
    EXPECT_EQ(cameras[1].name, "close");
    EXPECT_EQ(cameras[2].name, "back");
    EXPECT_NEAR(cameras[0].camera.tanHalfFov, std::tan(20.0 * M_PI / 180.0), 1e-6);
    EXPECT_NEAR(cameras[1].camera.tanHalfFov, std::tan(17.0 * M_PI / 180.0), 1e-6);
    EXPECT_EQ(cameras[1].camera.width, 320u);
    EXPECT_EQ(cameras[1].camera.height, 180u);

    const float p = kPixelSize, m = p * 30.0f;
    const Vec3 centre{-1.2f + p * (15.0f + 1.0f - 16.0f), p * 11.0f, -0.3f};
    for (int k = 1; k < 3; ++k) {
        const Camera& camera = cameras[std::size_t(k)].camera;
        const Vec3 toCentre = centre - camera.position;
        EXPECT_NEAR(length(toCentre), (k == 1 ? 1.9f : 2.2f) * m, 1e-4f);
        EXPECT_NEAR(dot(normalizeSafe(toCentre), camera.forward), 1.0f, 1e-5f);
    }
    EXPECT_GT(cameras[1].camera.position.z, -0.3f); // close looks at the front (+Z side)
    EXPECT_LT(cameras[2].camera.position.z, -0.3f); // back looks from behind
}

TEST(PixelartSettings, SunSkyAndNoFog)
{
    const RenderSettings lighting = pixelartRenderSettings();
    EXPECT_NEAR(length(lighting.sunDir), 1.0f, 1e-6f);
    EXPECT_NEAR(lighting.sunDir.y / lighting.sunDir.x, 0.62f / -0.55f, 1e-5f);
    EXPECT_EQ(lighting.fogDensity, 0.0f);
    EXPECT_TRUE(lighting.shadows);
    EXPECT_EQ(lighting.ambient, (Vec3{0.36f, 0.4f, 0.48f}));
    const TraceSettings trace = pixelartTraceSettings();
    EXPECT_TRUE(trace.snapToPixelGrid);
    EXPECT_EQ(trace.maxSteps, 512u);
    EXPECT_TRUE(trace.lod);
}

} // namespace
} // namespace qlmr
