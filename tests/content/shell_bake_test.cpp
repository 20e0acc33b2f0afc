#include "content/shell_bake.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdint>
#include <gtest/gtest.h>
#include <mutex>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "content/quad_cage.h"
#include "content/radial_source.h"

namespace qlmr {
namespace {

// The half-space below the plane z = top + slope x, with a colour made from
// the ray origin. Logs the inset of every bake of a quad (maxDistance is
// asked once per bake) and counts rays with and without colour.
class SlabSource final : public BakeSource {
public:
    float top = 0.0f;
    float slope = 0.0f;

    static std::array<std::uint8_t, 4> colourAt(Vec3 p)
    {
        auto byte = [](float v) { return static_cast<std::uint8_t>(std::clamp(std::lround(v), 0l, 255l)); };
        return {byte(128.0f + 60.0f * p.x), byte(128.0f + 60.0f * p.y), 9, 77};
    }

    void sample(BakeHit& out, const float origin[3], const float dir[3], float maxT, bool wantColor) const override
    {
        const Vec3 o{origin[0], origin[1], origin[2]};
        const float surface = top + slope * o.x;
        out = BakeHit{};
        out.originOutside = o.z >= surface;
        // Rays run along +z for the flat cages used here.
        out.t = out.originOutside ? 0.0f : std::min(maxT, (surface - o.z) / (dir[2] - slope * dir[0]));
        if (wantColor) {
            out.color = colourAt(o);
            ++coloured;
        } else {
            ++plain;
        }
    }

    float maxDistance(float inset) const override
    {
        const std::lock_guard<std::mutex> lock(mutex);
        insets.push_back(inset);
        return inset + 10.0f;
    }

    mutable std::vector<float> insets;
    mutable std::atomic<std::uint64_t> coloured{0};
    mutable std::atomic<std::uint64_t> plain{0};

private:
    mutable std::mutex mutex;
};

// One square quad of side 2 around the origin at height z, facing +z.
QuadCage flatQuad(float z)
{
    QuadCage cage;
    cage.vertices = {{-1.0f, -1.0f, z}, {1.0f, -1.0f, z}, {1.0f, 1.0f, z}, {-1.0f, 1.0f, z}};
    cage.quads = {{0, 1, 2, 3}};
    return cage;
}

std::vector<float> insetsFrom(float first, int count)
{
    std::vector<float> insets;
    float e = first;
    for (int k = 0; k < count; ++k) {
        insets.push_back(e);
        e *= 1.5f;
    }
    return insets;
}

std::vector<float> joined(std::vector<float> a, const std::vector<float>& b)
{
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

struct RetryCase {
    const char* name;
    float cageAboveSurface; // > 0: the cage lies outside by this much
    bool adaptive;
    std::vector<float> expectedInsets;
    int probes;
    int bakes;
    bool endsOutside;
    float expectedOuter;
};

class ShellBakeRetries : public testing::TestWithParam<RetryCase> {};

// A start outside the surface lowers the base by half again and tries once
// more: up to 12 times while probing, up to 6 times in the final bake.
// A lone quad has no bend limit, so probing widens it to 10 / resolution.
TEST_P(ShellBakeRetries, LowerTheBaseUntilItLiesInside)
{
    const RetryCase& c = GetParam();
    SlabSource source;
    source.top = 0.3f;
    ShellBakeOptions options;
    options.resolution = 32;
    options.adaptive = c.adaptive;
    Scene scene;
    ThreadPool pool(2);
    const ShellBakeStats stats = bakeShells(scene, flatQuad(0.3f + c.cageAboveSurface), source, options, pool);

    EXPECT_EQ(source.insets, c.expectedInsets);
    EXPECT_EQ(source.plain.load(), std::uint64_t(c.probes) * 16 * 16);
    EXPECT_EQ(source.coloured.load(), std::uint64_t(c.bakes) * 32 * 32);
    EXPECT_EQ(stats.outsideSamples, c.endsOutside ? 32u * 32u : 0u);
    EXPECT_EQ(stats.maxOuterExtent, c.expectedOuter);
    ASSERT_EQ(scene.prisms.size(), 1u);
    // The prism's base is the last bake's base.
    EXPECT_FLOAT_EQ(scene.prisms[0].origin.z, 0.3f + c.cageAboveSurface - c.expectedInsets.back());
    if (c.endsOutside) {
        const DisplacementField& field = scene.fields[0];
        EXPECT_TRUE(std::all_of(field.heights.begin(), field.heights.end(), [](std::uint16_t h) { return h == 0; }));
    }
}

INSTANTIATE_TEST_SUITE_P(
    StartOutside, ShellBakeRetries,
    testing::Values(
        // 0.05 and 0.075 stay above the surface 0.08 below the cage; 0.1125
        // reaches it, widens the quad, and a fourth probe confirms the width.
        RetryCase{"ProbedInsideOnTheThirdTry", 0.08f, true,
                  joined(insetsFrom(0.05f, 3), {insetsFrom(0.05f, 3)[2], insetsFrom(0.05f, 3)[2]}), 4, 1, false,
                  10.0f / 32.0f},
        RetryCase{"BakedInsideOnTheThirdTry", 0.08f, false, insetsFrom(0.05f, 3), 0, 3, false, 0.08f},
        RetryCase{"AlreadyInside", -0.01f, false, insetsFrom(0.05f, 1), 0, 1, false, 0.08f},
        RetryCase{"NeverInsideWithoutProbing", 50.0f, false, insetsFrom(0.05f, 6), 0, 6, true, 0.08f},
        RetryCase{"NeverInside", 500.0f, true, insetsFrom(0.05f, 18), 12, 6, true, 0.08f}),
    [](const testing::TestParamInfo<RetryCase>& info) { return std::string(info.param.name); });

// Heights put the surface back where the source's rays left it, and every
// texel carries the colour of its own ray, alpha in the high byte.
// Logs the origin and direction of every ray; the surface lies 0.5 above
// every origin, so every ray starts inside.
class RecordingSource final : public BakeSource {
public:
    void sample(BakeHit& out, const float origin[3], const float dir[3], float maxT, bool) const override
    {
        origins.push_back({origin[0], origin[1], origin[2]});
        directions.push_back({dir[0], dir[1], dir[2]});
        out = BakeHit{};
        out.t = std::min(0.5f, maxT);
    }
    float maxDistance(float inset) const override { return inset + 1.0f; }

    mutable std::vector<Vec3> origins;
    mutable std::vector<Vec3> directions;
};

TEST(ShellBake, RaysStartOnTheGridOfTheEnlargedQuadAlongItsNormal)
{
    // A tilted frame with uneven coordinates, so that every sum of the grid
    // rounds; row i, column j starts at origin + U' j/n + V' i/n, in that order.
    QuadFrame frame;
    frame.centre = {0.3137f, -1.7071f, 2.1213f};
    frame.axisU = Vec3{0.7f, 0.1f, -0.3f};
    frame.normal = normalizeSafe(Vec3{0.2f, 0.9f, 0.4f});
    frame.axisU = frame.axisU - frame.normal * dot(frame.axisU, frame.normal);
    frame.axisV = cross(frame.normal, frame.axisU) * 1.37f;
    for (const std::uint32_t n : {16u, 64u}) {
        for (const float outer : {0.0f, 0.08f, 0.37f}) {
            RecordingSource source;
            const float inset = 0.05f;
            const BakedShell shell = bakeShell(frame, outer, n, source, inset, false);
            const Vec3 grownU = frame.axisU * (1.0f + 2.0f * outer);
            const Vec3 grownV = frame.axisV * (1.0f + 2.0f * outer);
            const Vec3 origin = frame.centre - (grownU + grownV) / 2.0f - frame.normal * inset;
            EXPECT_EQ(shell.origin, origin);
            ASSERT_EQ(source.origins.size(), std::size_t(n) * n);
            int mismatches = 0;
            for (std::uint32_t i = 0; i < n; ++i) {
                for (std::uint32_t j = 0; j < n; ++j) {
                    const std::size_t k = std::size_t(i) * n + j;
                    const Vec3 expected = origin + grownU * (float(j) / float(n)) + grownV * (float(i) / float(n));
                    mismatches += source.origins[k] == expected ? 0 : 1;
                    EXPECT_EQ(source.directions[k], frame.normal);
                }
            }
            EXPECT_EQ(mismatches, 0) << "n " << n << ", outer " << outer;
        }
    }
}

TEST(ShellBake, HeightsAndColoursLandOnTheirTexels)
{
    SlabSource source;
    source.top = 0.25f;
    source.slope = 0.1f;
    ShellBakeOptions options;
    options.resolution = 32;
    options.adaptive = false;
    Scene scene;
    ThreadPool pool(3);
    const ShellBakeStats stats = bakeShells(scene, flatQuad(0.0f), source, options, pool);
    ASSERT_EQ(stats.prismsBaked, 1u);
    EXPECT_EQ(stats.outsideSamples, 0u);
    const Prism& prism = scene.prisms[0];
    const DisplacementField& field = scene.fields[prism.fieldIndex];
    ASSERT_GT(field.albedoLevels(), 0u);
    ASSERT_EQ(field.albedoLevelWidth(0), 32u);
    const std::uint32_t n = 32;
    // The enlarged quad: side 2 (1 + 2 * 0.08), lowered by the inset.
    EXPECT_FLOAT_EQ(length(prism.axisU), 2.32f);
    EXPECT_FLOAT_EQ(length(prism.axisV), 2.32f);
    EXPECT_FLOAT_EQ(prism.origin.z, -0.05f);
    EXPECT_NEAR(stats.bakedArea, 2.32 * 2.32, 1e-5);
    EXPECT_NEAR(stats.cageArea, 4.0, 1e-6);
    for (std::uint32_t i = 0; i < n; ++i) {
        for (std::uint32_t j = 0; j < n; ++j) {
            const Vec3 p = prism.origin + prism.axisU * (float(j) / float(n)) + prism.axisV * (float(i) / float(n));
            const auto expected = SlabSource::colourAt(p);
            const std::uint32_t word = field.albedoLevel(0)[i * n + j];
            for (int c = 0; c < 4; ++c) {
                EXPECT_NEAR(double((word >> (8 * c)) & 0xff), double(expected[c]), c < 2 ? 1.0 : 0.0)
                    << "texel " << j << ", " << i << " channel " << c;
            }
            const std::uint32_t edge = std::min(std::min(i, n - 1 - i), std::min(j, n - 1 - j));
            if (edge == 0) {
                EXPECT_EQ(field.texel(0, int(j), int(i)), 0) << j << ", " << i;
            } else if (edge >= 7) {
                const Vec3 top = p + prism.axisH * field.texelHeight(0, int(j), int(i));
                EXPECT_NEAR(top.z, 0.25f + 0.1f * top.x, 2e-5f) << j << ", " << i;
            }
        }
    }
}

struct SphereBake {
    Scene scene;
    QuadCage cage;
    ShellBakeStats stats;
};

SphereBake bakeSphere(int cageResolution, float cageRadius, const ShellBakeOptions& options, unsigned threads)
{
    RadialSourceParams params;
    params.amplitude = 0.0f; // a plain unit sphere
    SphereBake bake;
    bake.cage = cubeSphereCage(cageResolution, cageRadius);
    ThreadPool pool(threads);
    bake.stats = bakeRadialShells(bake.scene, bake.cage, params, options, pool);
    bake.scene.refreshPrisms();
    return bake;
}

// The baked shells of a unit sphere put their surface on the sphere, and
// together they cover it with full-height (untapered) texels.
TEST(ShellBake, SphereShellsLieOnAndCoverTheSphere)
{
    ShellBakeOptions options;
    options.resolution = 32;
    // Neighbours bent by a quarter of a right angle at most: the probed
    // widths keep every base inside the sphere.
    const SphereBake bake = bakeSphere(4, 0.95f, options, 4);
    const std::uint32_t n = options.resolution;
    const auto quads = static_cast<std::uint32_t>(bake.cage.quads.size());
    ASSERT_EQ(bake.stats.prismsBaked, quads);
    ASSERT_EQ(bake.scene.fields.size(), quads);
    ASSERT_EQ(bake.scene.prisms.size(), quads);
    EXPECT_EQ(bake.stats.outsideSamples, 0u);

    std::mt19937 rng(2);
    std::uniform_real_distribution<float> interior(7.0f / float(n), float(n - 8) / float(n));
    std::uint64_t bytes = 0;
    for (std::uint32_t q = 0; q < quads; ++q) {
        const Prism& prism = bake.scene.prisms[q];
        ASSERT_EQ(prism.fieldIndex, q);
        const DisplacementField& field = bake.scene.fields[q];
        bytes += field.heightBytes() + field.boundsBytes();
        const float texel = length(prism.axisU) / float(n);
        for (int k = 0; k < 64; ++k) {
            const float u = interior(rng), v = interior(rng);
            const Vec3 p = prism.origin + prism.axisU * u + prism.axisV * v + prism.axisH * field.sampleHeight(0, u, v);
            // Between samples the bilinear patch sags below the sphere by a
            // small fraction of a texel.
            EXPECT_NEAR(length(p), 1.0f, 0.05f * texel) << "quad " << q << " at " << u << ", " << v;
        }
        for (std::uint32_t y = 7; y + 7 < n; ++y) {
            for (std::uint32_t x = 7; x + 7 < n; ++x) {
                const float u = float(x) / float(n), v = float(y) / float(n);
                const Vec3 p = prism.origin + prism.axisU * u + prism.axisV * v
                               + prism.axisH * field.texelHeight(0, int(x), int(y));
                // On the samples only the 16-bit height step remains.
                ASSERT_NEAR(length(p), 1.0f, 2e-5f + length(prism.axisH) / 65535.0f) << "quad " << q;
            }
        }
        std::uint16_t highest = 0;
        for (std::uint32_t k = 0; k < n; ++k) {
            for (std::uint32_t e : {0u, n - 1}) {
                EXPECT_EQ(field.texel(0, int(k), int(e)), 0);
                EXPECT_EQ(field.texel(0, int(e), int(k)), 0);
            }
        }
        for (std::uint16_t h : std::span<const std::uint16_t>(field.heights.data(), n * n)) {
            highest = std::max(highest, h);
        }
        // The tallest sample is scaled to just below 1.
        EXPECT_EQ(highest, std::uint16_t(std::lround(65535.0f / 1.0001f))) << "quad " << q;
    }
    EXPECT_EQ(bake.stats.bytes, bytes);

    // Every point of the sphere sits over the full-height part of some shell.
    std::normal_distribution<float> normal;
    for (int k = 0; k < 300; ++k) {
        const Vec3 s = normalizeSafe({normal(rng), normal(rng), normal(rng)});
        bool covered = false;
        for (const Prism& prism : bake.scene.prisms) {
            const Vec3 d = s - prism.origin;
            const Vec3 local = prism.toLocal[0] * d.x + prism.toLocal[1] * d.y + prism.toLocal[2] * d.z;
            const float lo = 4.0f / float(n), hi = float(n - 5) / float(n);
            if (local.x >= lo && local.x <= hi && local.y >= lo && local.y <= hi && local.z >= 0.0f
                && local.z <= 1.0f) {
                covered = true;
                break;
            }
        }
        EXPECT_TRUE(covered) << s.x << ", " << s.y << ", " << s.z;
    }
}

// Without probing every quad keeps the option widths; the areas follow.
TEST(ShellBake, FixedExtentsScaleTheArea)
{
    ShellBakeOptions options;
    options.resolution = 16;
    options.adaptive = false;
    options.outerExtent = 0.1f;
    const SphereBake bake = bakeSphere(1, 0.9f, options, 2);
    EXPECT_EQ(bake.stats.maxOuterExtent, 0.1f);
    EXPECT_NEAR(bake.stats.bakedArea, bake.stats.cageArea * 1.2 * 1.2, 1e-4 * bake.stats.cageArea);
    // Six faces of a cube inscribed in a sphere of radius 0.9: side 2 * 0.9 / sqrt 3.
    EXPECT_NEAR(bake.stats.cageArea, 6.0 * 4.0 * 0.81 / 3.0, 1e-4);
}

// Neighbours bent at right angles need more width than the cap allows.
TEST(ShellBake, ProbingStopsAtTheCap)
{
    for (float cap : {0.3f, 0.5f}) {
        ShellBakeOptions options;
        options.resolution = 16;
        options.maxExtent = cap;
        const SphereBake bake = bakeSphere(1, 0.9f, options, 2);
        EXPECT_EQ(bake.stats.maxOuterExtent, cap);
        EXPECT_NEAR(bake.stats.bakedArea, bake.stats.cageArea * (1 + 2 * cap) * (1 + 2 * cap),
                    1e-4 * bake.stats.bakedArea);
    }
}

TEST(ShellBake, RadialNormalsPointAwayFromTheCentre)
{
    ShellBakeOptions options;
    options.resolution = 16;
    options.adaptive = false;
    options.radialNormals = true;
    options.center = {0.1f, -0.2f, 0.05f};
    const SphereBake bake = bakeSphere(3, 0.9f, options, 2);
    for (std::uint32_t q = 0; q < bake.cage.quads.size(); ++q) {
        const QuadFrame frame = quadFrame(bake.cage, q);
        const Prism& prism = bake.scene.prisms[q];
        const Vec3 expected = normalizeSafe(frame.centre - options.center);
        const Vec3 h = normalizeSafe(prism.axisH);
        EXPECT_NEAR(dot(h, expected), 1.0f, 1e-6f) << "quad " << q;
        EXPECT_NEAR(dot(prism.axisU, h), 0.0f, 1e-5f);
        EXPECT_NEAR(dot(prism.axisV, h), 0.0f, 1e-5f);
    }
}

// Each quad's bake depends only on its own quad, so the pool size cannot
// change a single byte of the result.
TEST(ShellBake, PoolSizeDoesNotChangeTheResult)
{
    const RadialSourceParams params;
    const QuadCage cage = radialSourceCage(2, params, 2, 0.03f);
    ShellBakeOptions options;
    options.resolution = 16;
    options.innerExtent = 0.02f;
    Scene one, eight;
    ThreadPool pool1(1), pool8(8);
    const ShellBakeStats a = bakeRadialShells(one, cage, params, options, pool1);
    const ShellBakeStats b = bakeRadialShells(eight, cage, params, options, pool8);
    EXPECT_EQ(a.prismsBaked, b.prismsBaked);
    EXPECT_EQ(a.outsideSamples, b.outsideSamples);
    EXPECT_EQ(a.bytes, b.bytes);
    EXPECT_EQ(a.bakedArea, b.bakedArea);
    EXPECT_EQ(a.cageArea, b.cageArea);
    EXPECT_EQ(a.maxOuterExtent, b.maxOuterExtent);
    ASSERT_EQ(one.fields.size(), eight.fields.size());
    ASSERT_EQ(one.prisms.size(), eight.prisms.size());
    for (std::size_t k = 0; k < one.fields.size(); ++k) {
        EXPECT_EQ(one.fields[k].heights, eight.fields[k].heights) << "field " << k;
        EXPECT_EQ(one.fields[k].albedo, eight.fields[k].albedo) << "field " << k;
        const Prism &p = one.prisms[k], &q = eight.prisms[k];
        EXPECT_TRUE(p.origin == q.origin && p.axisU == q.axisU && p.axisV == q.axisV && p.axisH == q.axisH)
            << "prism " << k;
        EXPECT_EQ(p.fieldIndex, q.fieldIndex);
    }
}

struct BadBake {
    const char* name;
    std::uint32_t resolution;
    bool badVertex;
    const char* message;
};

class ShellBakeRejects : public testing::TestWithParam<BadBake> {};

TEST_P(ShellBakeRejects, ImpossibleDataBeforeTouchingTheScene)
{
    const BadBake& c = GetParam();
    QuadCage cage = cubeSphereCage(1, 0.9f);
    if (c.badVertex) {
        cage.quads[4][2] = static_cast<std::uint32_t>(cage.vertices.size());
    }
    SlabSource source;
    source.top = 2.0f;
    ShellBakeOptions options;
    options.resolution = c.resolution;
    Scene scene;
    ThreadPool pool(2);
    try {
        bakeShells(scene, cage, source, options, pool);
        FAIL() << "no exception";
    } catch (const std::invalid_argument& e) {
        EXPECT_FALSE(c.badVertex);
        EXPECT_STREQ(e.what(), c.message);
    } catch (const std::out_of_range& e) {
        EXPECT_TRUE(c.badVertex);
        EXPECT_STREQ(e.what(), c.message);
    }
    EXPECT_TRUE(scene.fields.empty());
    EXPECT_TRUE(scene.prisms.empty());
    EXPECT_TRUE(source.insets.empty());
}

INSTANTIATE_TEST_SUITE_P(
    Errors, ShellBakeRejects,
    testing::Values(BadBake{"ResolutionNotPowerOfTwo", 48, false, "field width must be a power of two"},
                    BadBake{"ZeroResolution", 0, false, "field width must be a power of two"},
                    BadBake{"ResolutionAboveTheLargestField", 1u << 16, false, "field too large"},
                    BadBake{"LargestPowerOfTwoResolution", 1u << 31, false, "field too large"},
                    BadBake{"VertexOutsideCage", 16, true, "invalid vector subscript"}),
    [](const testing::TestParamInfo<BadBake>& info) { return std::string(info.param.name); });

TEST(ShellBake, EmptyCageBakesNothing)
{
    SlabSource source;
    ShellBakeOptions options;
    Scene scene;
    ThreadPool pool(2);
    const ShellBakeStats stats = bakeShells(scene, QuadCage{}, source, options, pool);
    EXPECT_EQ(stats.prismsBaked, 0u);
    EXPECT_TRUE(scene.fields.empty());
    EXPECT_TRUE(source.insets.empty());
}

} // namespace
} // namespace qlmr
