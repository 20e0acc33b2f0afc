#include "content/radial_source.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <gtest/gtest.h>
#include <limits>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "content/quad_cage.h"
#include "scene/png_writer.h"
#include "support/test_support.h"

namespace qlmr {
namespace {

BakeHit castRay(const BakeSource& source, Vec3 o, Vec3 d, float maxT, bool wantColor)
{
    const float origin[3] = {o.x, o.y, o.z};
    const float dir[3] = {d.x, d.y, d.z};
    BakeHit hit;
    hit.t = -123.0f;
    hit.originOutside = true;
    hit.color = {1, 2, 3, 4};
    source.sample(hit, origin, dir, maxT, wantColor);
    return hit;
}

// Where a ray from inside leaves a sphere of radius r around the origin.
double sphereExit(Vec3 o, Vec3 d, double r)
{
    const double b = double(o.x) * d.x + double(o.y) * d.y + double(o.z) * d.z;
    const double c = double(o.x) * o.x + double(o.y) * o.y + double(o.z) * o.z - r * r;
    return -b + std::sqrt(b * b - c);
}

Vec3 randomDirection(std::mt19937& rng)
{
    std::normal_distribution<float> normal;
    return normalizeSafe({normal(rng), normal(rng), normal(rng)});
}

TEST(RadialSource, WithoutNoiseLeavesTheSphereWhereItShould)
{
    RadialSourceParams params;
    params.amplitude = 0.0f;
    params.radius = 1.5f;
    const RadialSource source(params);
    std::mt19937 rng(11);
    std::uniform_real_distribution<float> depth(0.0f, 1.45f);
    for (int k = 0; k < 200; ++k) {
        const Vec3 o = randomDirection(rng) * depth(rng);
        const Vec3 d = randomDirection(rng);
        const double exit = sphereExit(o, d, 1.5);
        const BakeHit full = castRay(source, o, d, 4.0f, false);
        EXPECT_FALSE(full.originOutside);
        EXPECT_NEAR(full.t, exit, 2e-5);
        // A ray too short to reach the surface reports its own length.
        const float shortLength = static_cast<float>(exit * 0.7);
        EXPECT_EQ(castRay(source, o, d, shortLength, false).t, shortLength);
    }
}

TEST(RadialSource, AStartOutsideGivesZeroAndTheFlag)
{
    const RadialSourceParams params;
    const RadialSource source(params);
    std::mt19937 rng(4);
    for (int k = 0; k < 50; ++k) {
        const Vec3 o = randomDirection(rng) * 1.2f; // beyond radius + amplitude
        const BakeHit hit = castRay(source, o, randomDirection(rng), 2.0f, false);
        EXPECT_TRUE(hit.originOutside);
        EXPECT_EQ(hit.t, 0.0f);
        EXPECT_EQ(hit.color, (std::array<std::uint8_t, 4>{0, 0, 0, 255}));
    }
    // From inside with no length to go, the length itself comes back.
    const BakeHit stuck = castRay(source, {0.0f, 0.0f, 0.0f}, {0.0f, 0.0f, 1.0f}, 0.0f, false);
    EXPECT_FALSE(stuck.originOutside);
    EXPECT_EQ(stuck.t, 0.0f);
}

// The first sign change found by small fixed steps: the slow, plain answer.
float scannedExit(const RadialSourceParams& params, Vec3 o, Vec3 d, float maxT, float step)
{
    for (float t = 0.0f; t < maxT; t += step) {
        if (radialDistance(params, o + d * t) >= 0.0f) {
            return t;
        }
    }
    return maxT;
}

TEST(RadialSource, NoisySurfaceExitMatchesAFineScan)
{
    RadialSourceParams params;
    params.seed = 3;
    const RadialSource source(params);
    std::mt19937 rng(17);
    std::uniform_real_distribution<float> depth(0.5f, 0.95f);
    const float step = 2e-4f;
    for (int k = 0; k < 40; ++k) {
        const Vec3 o = randomDirection(rng) * depth(rng);
        // Mostly outwards, sometimes grazing, like rays along shell normals.
        const Vec3 d = normalizeSafe(normalizeSafe(o) + randomDirection(rng) * 0.6f);
        const float maxT = source.maxDistance(0.05f);
        const BakeHit hit = castRay(source, o, d, maxT, false);
        const float scanned = scannedExit(params, o, d, maxT, step);
        EXPECT_LE(hit.t, scanned + 1e-5f) << "ray " << k;
        EXPECT_GT(hit.t, scanned - step - 1e-5f) << "ray " << k;
        EXPECT_GE(radialDistance(params, o + d * hit.t), 0.0f);
    }
}

TEST(RadialSource, ColourFollowsTheDisplacementWithAGrain)
{
    RadialSourceParams params;
    params.seed = 8;
    params.amplitude = 0.2f;
    const RadialSource source(params);
    std::mt19937 rng(29);
    for (int k = 0; k < 100; ++k) {
        const Vec3 o = randomDirection(rng) * 0.6f;
        const Vec3 d = randomDirection(rng);
        const BakeHit hit = castRay(source, o, d, 3.0f, true);
        EXPECT_EQ(castRay(source, o, d, 3.0f, false).color, (std::array<std::uint8_t, 4>{0, 0, 0, 255}));
        const Vec3 p = o + d * hit.t;
        const double grain = std::sin(91.0 * p.x) * std::sin(77.0 * p.y) * std::sin(63.0 * p.z);
        const double s =
            std::clamp(double(radialNoise(params, normalizeSafe(p), params.octaves)) * 0.5 / 0.2 + 0.5, 0.0, 1.0);
        const double expected[3] = {0.22 + 0.2 * s + 0.04 * grain, 0.19 + 0.16 * s + 0.03 * grain, 0.16 + 0.12 * s};
        for (int c = 0; c < 3; ++c) {
            EXPECT_NEAR(hit.color[c], std::clamp(expected[c], 0.0, 1.0) * 255.0, 0.51) << "channel " << c;
        }
        EXPECT_EQ(hit.color[3], 255);
    }
}

TEST(RadialSource, RayLengthGrowsWithInsetAndAmplitude)
{
    RadialSourceParams params;
    params.radius = 2.0f;
    params.amplitude = 0.25f;
    const RadialSource source(params);
    EXPECT_FLOAT_EQ(source.maxDistance(0.0f), 2.0f);
    EXPECT_FLOAT_EQ(source.maxDistance(0.5f), 4.0f);
}

// Octaves below 1 leave the noise without a normalisation (0 / 0): every
// entry point refuses them by name before marching, baking or touching the scene.
TEST(RadialSource, OctavesBelowOneAreRefusedByName)
{
    for (const std::int32_t octaves : {0, -3}) {
        RadialSourceParams params;
        params.octaves = octaves;
        const std::string expected = "radial source octaves must be at least 1, got " + std::to_string(octaves);
        try {
            const RadialSource source(params);
            ADD_FAILURE() << "a source with " << octaves << " octaves was made";
        } catch (const std::invalid_argument& e) {
            EXPECT_EQ(std::string(e.what()), expected);
        }
        EXPECT_THROW(radialSourceCage(2, params, 1, 0.0f), std::invalid_argument);

        const QuadCage cage = cubeSphereCage(1, 0.5f);
        Scene scene;
        ThreadPool pool(2);
        ShellBakeOptions options;
        options.resolution = 16;
        EXPECT_THROW(bakeRadialShells(scene, cage, params, options, pool), std::invalid_argument);
        EXPECT_TRUE(scene.fields.empty());
        EXPECT_TRUE(scene.prisms.empty());
    }
}

// A march whose distance is not a number would never reach its length: it
// ends there instead, whatever made the distance so.
TEST(RadialSource, MarchEndsWhenTheDistanceIsNotFinite)
{
    const Vec3 o{0.1f, 0.2f, 0.0f};
    const Vec3 d{0.0f, 0.0f, 1.0f};
    RadialSourceParams noOctaves;
    noOctaves.octaves = 0; // radialExit itself does not check the parameters
    EXPECT_EQ(radialExit(noOctaves, o, d, 3.0f), 3.0f);

    RadialSourceParams nanAmplitude;
    nanAmplitude.amplitude = std::numeric_limits<float>::quiet_NaN();
    const RadialSource source(nanAmplitude);
    const BakeHit hit = castRay(source, o, d, 3.0f, false);
    EXPECT_EQ(hit.t, 3.0f);
    // Its shade is not a number either, so no channel has a value: each
    // becomes 0, and the colour stays opaque.
    const BakeHit coloured = castRay(source, o, d, 3.0f, true);
    EXPECT_EQ(coloured.t, 3.0f);
    EXPECT_EQ(coloured.color, (std::array<std::uint8_t, 4>{0, 0, 0, 255}));

    RadialSourceParams nanRadius;
    nanRadius.radius = std::numeric_limits<float>::quiet_NaN();
    EXPECT_EQ(radialExit(nanRadius, o, d, 3.0f), 3.0f);
}

// RGBA pixels of a field's heights (grey) or albedo, each texel drawn as a
// block of zoom x zoom pixels so the small fields are easy to look at.
std::vector<std::uint8_t> zoomedPixels(const DisplacementField& field, bool albedo, std::uint32_t zoom)
{
    std::vector<std::uint8_t> pixels;
    for (std::uint32_t y = 0; y < field.height * zoom; ++y) {
        for (std::uint32_t x = 0; x < field.width * zoom; ++x) {
            const std::uint32_t tx = x / zoom, ty = y / zoom;
            if (albedo) {
                const std::uint32_t w = field.albedoLevel(0)[ty * field.width + tx];
                pixels.insert(pixels.end(), {std::uint8_t(w), std::uint8_t(w >> 8), std::uint8_t(w >> 16), 255});
            } else {
                const auto g = static_cast<std::uint8_t>(field.texel(0, int(tx), int(ty)) >> 8);
                pixels.insert(pixels.end(), {g, g, g, 255});
            }
        }
    }
    return pixels;
}

// The shells scene's cage and settings, on a 2 x 2 patch of its quads: the
// cage stays inside the surface and the baked shells trace the surface.
TEST(BakeRadialShells, ShellsSceneCagePatchLiesOnTheNoisySurface)
{
    const RadialSourceParams params;
    const QuadCage full = radialSourceCage(8, params, 2, 0.03f);
    QuadCage patch;
    patch.vertices = full.vertices;
    for (std::uint32_t q : {27u, 28u, 35u, 36u}) { // the middle of the first face
        patch.quads.push_back(full.quads[q]);
    }
    ShellBakeOptions options;
    options.resolution = 64;
    options.innerExtent = 0.02f;
    Scene scene;
    ThreadPool pool(4);
    const ShellBakeStats stats = bakeRadialShells(scene, patch, params, options, pool);
    ASSERT_EQ(stats.prismsBaked, 4u);
    EXPECT_EQ(stats.outsideSamples, 0u);
    ASSERT_EQ(scene.prisms.size(), 4u);

    const std::uint32_t n = options.resolution;
    double worst = 0.0;
    for (const Prism& prism : scene.prisms) {
        const DisplacementField& field = scene.fields[prism.fieldIndex];
        const float texel = length(prism.axisU) / float(n);
        for (std::uint32_t y = 7; y + 7 < n; y += 3) {
            for (std::uint32_t x = 7; x + 7 < n; x += 3) {
                const float u = float(x) / float(n), v = float(y) / float(n);
                const Vec3 p = prism.origin + prism.axisU * u + prism.axisV * v
                               + prism.axisH * field.texelHeight(0, int(x), int(y));
                const double gap = std::fabs(radialDistance(params, p));
                worst = std::max(worst, gap / texel);
            }
        }
    }
    // Height quantisation and the distance estimate's slope keep this far
    // below one texel.
    EXPECT_LT(worst, 0.05);

    const DisplacementField& field = scene.fields[scene.prisms[0].fieldIndex];
    const std::string base = (test::artifactDir("content") / (std::string("radial_shell_") + QLMR_TEST_VARIANT)).string();
    EXPECT_TRUE(writePng(base + "_height.png", n * 4, n * 4, zoomedPixels(field, false, 4)));
    EXPECT_TRUE(writePng(base + "_albedo.png", n * 4, n * 4, zoomedPixels(field, true, 4)));
}

} // namespace
} // namespace qlmr
