// Shadow horizons end unblocked shadow walks early. They must never change
// a shadow mask, and their clear heights must lie above every surface a ray
// from the cell could still meet.

#include "scene/shadow_horizon.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <random>
#include <span>
#include <vector>

#include "scene/packet_march.h"
#include "scene/scene.h"
#include "scene/scene_tracer.h"
#include "scene/thread_pool.h"
#include "scene/shadow_fixtures.h"

namespace qlmr {
namespace {

using namespace shadow_test;

const FieldShape kShapes[] = {
    {64, 64, false, Relief::Noise},  {64, 64, true, Relief::Noise},   {256, 256, false, Relief::Hills},
    {128, 32, true, Relief::Hills},  {32, 128, false, Relief::Noise}, {512, 512, true, Relief::Hills},
    {64, 64, false, Relief::Spike},  {16, 1, false, Relief::Noise},   {1, 1, true, Relief::Flat},
};

// The demo's sun, a low and a steep sun, suns along the world axes (local
// components exactly zero on the first prism: straight up, and level along
// u) and one from below.
const Vec3 kSuns[] = {
    normalizeSafe(Vec3{-0.72f, 0.36f, 0.42f}), normalizeSafe(Vec3{0.3f, 0.06f, -0.95f}),
    normalizeSafe(Vec3{0.1f, 0.95f, 0.2f}),    Vec3{0.0f, 1.0f, 0.0f},
    normalizeSafe(Vec3{1.0f, 1.0f, 0.0f}),     normalizeSafe(Vec3{0.4f, -0.5f, 0.3f}),
};

// Shadow rays as the renderer casts them (from just above the surface of
// either prism towards the sun, with a range of footprints) and from random
// points of the boxes, with a few rays of other directions mixed in.
std::vector<ShadowRay> shadowRays(const Scene& scene, Vec3 sun, int count, std::mt19937& rng)
{
    std::uniform_real_distribution<float> unit(0.0f, 1.0f);
    std::vector<ShadowRay> rays;
    for (int i = 0; i < count; ++i) {
        const Prism& p = scene.prisms[std::size_t(i % 2)];
        const DisplacementField& field = scene.fields[p.fieldIndex];
        ShadowRay r;
        const float u = unit(rng) * 1.2f - 0.1f, v = unit(rng) * 1.2f - 0.1f;
        if (i % 5 == 4) {
            r.origin = localToWorld(p, u, v, unit(rng) * 1.2f);
        } else {
            const float lift = (i % 5 == 3) ? unit(rng) * 0.02f : 0.002f;
            r.origin = localToWorld(p, u, v, field.sampleHeight(0, std::clamp(u, 0.0f, 1.0f),
                                                                std::clamp(v, 0.0f, 1.0f)) + lift);
        }
        r.dir = i % 7 == 6 ? normalizeSafe(Vec3{unit(rng) - 0.5f, unit(rng), unit(rng) - 0.5f}) : sun;
        r.radius = (i % 3 == 0) ? 0.0f : unit(rng) * 0.4f;
        rays.push_back(r);
    }
    return rays;
}

// Every field shape, sun and step budget: the mask with horizons is the
// mask without them, ray for ray.
TEST(ShadowHorizon, ShadowMasksAreTheSameWithAndWithoutHorizons)
{
    std::mt19937 rng(77);
    ThreadPool pool(3);
    int blocked = 0, total = 0, served = 0;
    for (const FieldShape& shape : kShapes) {
        const Scene scene = makeScene(shape, rng);
        for (const Vec3 sun : kSuns) {
            for (const std::uint32_t maxSteps : {512u, 6u}) {
                TraceSettings settings;
                settings.maxSteps = maxSteps;
                const SceneTracer tracer(scene, settings);
                std::vector<ShadowHorizon> horizons;
                refreshShadowHorizons(tracer, sun, pool, horizons);
                ASSERT_EQ(horizons.size(), scene.prisms.size());
                for (const ShadowHorizon& h : horizons)
                    served += h.empty() ? 0 : 1;
                const std::vector<ShadowRay> rays = shadowRays(scene, sun, 240, rng);
                const std::vector<int> with = shadowMask(tracer, rays, horizons);
                const std::vector<int> without = shadowMask(tracer, rays, {});
                for (std::size_t i = 0; i < rays.size(); ++i) {
                    ASSERT_EQ(with[i], without[i]) << shape.w << "x" << shape.h << (shape.wrap ? " tiling" : " clamped")
                                                   << ", sun (" << sun.x << ", " << sun.y << ", " << sun.z
                                                   << "), maxSteps " << maxSteps << ", ray " << i;
                    blocked += without[i];
                    ++total;
                }
            }
        }
    }
    // Both outcomes occur, and most prisms had a horizon to use.
    EXPECT_GT(blocked, total / 10);
    EXPECT_LT(blocked, total * 9 / 10);
    EXPECT_GT(served, int(std::size(kShapes) * std::size(kSuns) * 2 * 2) / 2);
}

// The local direction of a prism for a world direction, as the march
// computes it.
Vec3 localDirection(const Prism& p, Vec3 d)
{
    return {d.x * p.toLocal[0].x + d.y * p.toLocal[1].x + d.z * p.toLocal[2].x,
            d.x * p.toLocal[0].y + d.y * p.toLocal[1].y + d.z * p.toLocal[2].y,
            d.x * p.toLocal[0].z + d.y * p.toLocal[1].z + d.z * p.toLocal[2].z};
}

// From points spread over every cell, a ray that starts at the cell's clear
// height stays above the bilinear surface of every level up to the
// horizon's along its whole way across the field.
TEST(ShadowHorizon, ClearHeightsLieAboveEverySurfaceAhead)
{
    std::mt19937 rng(5);
    const FieldShape shapes[] = {{64, 64, false, Relief::Noise}, {128, 64, true, Relief::Hills},
                                 {64, 64, false, Relief::Spike}};
    int checked = 0;
    for (const FieldShape& shape : shapes) {
        const Scene scene = makeScene(shape, rng);
        const DisplacementField& field = scene.fields[0];
        const SceneTracer tracer(scene, TraceSettings{});
        for (const Vec3 sun : {kSuns[0], kSuns[1], kSuns[4]}) {
            for (std::uint32_t prism = 0; prism < 2; ++prism) {
                const ShadowHorizon h = buildShadowHorizon(tracer, prism, sun);
                const Vec3 d = localDirection(scene.prisms[prism], sun);
                ASSERT_EQ(h.empty(), !(d.z > 0.0f));
                if (h.empty())
                    continue;
                ++checked;
                // Steps of a quarter of a level-0 cell along the ray.
                const double step = 0.25 / std::max(field.width * std::fabs(d.x), field.height * std::fabs(d.y));
                std::uniform_real_distribution<double> unit(0.0, 1.0);
                for (std::uint32_t cy = 0; cy < h.cellsV; ++cy) {
                    for (std::uint32_t cx = 0; cx < h.cellsU; ++cx) {
                        const float clear = h.clearHeight[std::size_t(cy) * h.cellsU + cx];
                        for (int sample = 0; sample < 2; ++sample) {
                            const double u0 = (cx + unit(rng)) / h.cellsU, v0 = (cy + unit(rng)) / h.cellsV;
                            for (double t = 0.0;; t += step) {
                                const double u = u0 + t * d.x, v = v0 + t * d.y;
                                if (u < 0.0 || u > 1.0 || v < 0.0 || v > 1.0)
                                    break;
                                const double ray = clear + t * d.z;
                                for (int level = 0; level <= h.level; ++level)
                                    ASSERT_GT(ray, field.sampleHeight(std::uint32_t(level), float(u), float(v)))
                                        << "cell " << cx << ", " << cy << " level " << level << " at t " << t;
                            }
                        }
                    }
                }
            }
        }
    }
    EXPECT_GE(checked, 12);
}

// The clear height follows the surface where the answer is plain: over a
// flat field every cell is clear just above the surface; next to a single
// spike, cells whose rays run into it must climb over it, and cells whose
// rays leave it behind do not see it.
TEST(ShadowHorizon, ClearHeightsFollowTheSurface)
{
    std::mt19937 rng(9);
    const Vec3 sun = kSuns[0];
    const float surface = 20000.0f / 65535.0f;
    {
        const Scene flat = makeScene({64, 64, false, Relief::Flat}, rng);
        const SceneTracer tracer(flat, TraceSettings{});
        const ShadowHorizon h = buildShadowHorizon(tracer, 0, sun);
        ASSERT_FALSE(h.empty());
        for (const float clear : h.clearHeight) {
            EXPECT_GT(clear, surface);
            EXPECT_LT(clear, surface + 0.002f);
        }
    }
    const Scene spike = makeScene({64, 64, false, Relief::Spike}, rng);
    const SceneTracer tracer(spike, TraceSettings{});
    const ShadowHorizon h = buildShadowHorizon(tracer, 0, sun);
    ASSERT_FALSE(h.empty());
    const Vec3 d = localDirection(spike.prisms[0], sun);
    const double planar = std::hypot(d.x, d.y);
    const double climb = d.z / planar; // height gained per unit of distance in the plane
    const double cell = std::hypot(1.0 / h.cellsU, 1.0 / h.cellsV);
    int behind = 0, shaded = 0;
    for (std::uint32_t cy = 0; cy < h.cellsV; ++cy) {
        for (std::uint32_t cx = 0; cx < h.cellsU; ++cx) {
            // The cell centre from the spike, along and across the rays' way.
            const double du = (cx + 0.5) / h.cellsU - 0.5, dv = (cy + 0.5) / h.cellsV - 0.5;
            const double ahead = (du * d.x + dv * d.y) / planar;
            const double across = std::fabs(du * d.y - dv * d.x) / planar;
            const float clear = h.clearHeight[std::size_t(cy) * h.cellsU + cx];
            if (ahead > 0.15) {
                ++behind;
                EXPECT_LT(clear, surface + 0.002f) << cx << ", " << cy;
            } else if (ahead < -0.1 && across < 0.005) {
                ++shaded;
                // The spike's ceiling covers its nodes and their neighbours,
                // up to three cells around it.
                EXPECT_GT(clear, std::max<double>(surface, 1.0 - climb * (-ahead + cell))) << cx << ", " << cy;
                EXPECT_LT(clear, std::max<double>(surface, 1.0 - climb * (-ahead - 3.0 * cell)) + 0.002)
                    << cx << ", " << cy;
            }
        }
    }
    EXPECT_GT(behind, 100);
    EXPECT_GT(shaded, 3);
}

// No horizon where it cannot help: a sun under the prism's plane, a field of
// a single level.
TEST(ShadowHorizon, NoneWithoutClimbOrBounds)
{
    std::mt19937 rng(3);
    const Scene scene = makeScene({64, 64, false, Relief::Noise}, rng);
    const SceneTracer tracer(scene, TraceSettings{});
    EXPECT_TRUE(buildShadowHorizon(tracer, 0, normalizeSafe(Vec3{0.4f, -0.5f, 0.3f})).empty());
    EXPECT_TRUE(buildShadowHorizon(tracer, 0, normalizeSafe(Vec3{1.0f, 0.0f, 0.0f})).empty());
    const Scene tiny = makeScene({1, 1, true, Relief::Flat}, rng);
    const SceneTracer tinyTracer(tiny, TraceSettings{});
    EXPECT_TRUE(buildShadowHorizon(tinyTracer, 0, kSuns[0]).empty());
}

// Refreshing keeps a horizon whose inputs did not change and rebuilds one
// whose field or sun did, to what a fresh build gives.
TEST(ShadowHorizon, RefreshRebuildsOnlyWhatChanged)
{
    std::mt19937 rng(11);
    Scene scene = makeScene({128, 128, false, Relief::Hills}, rng);
    ThreadPool pool(2);
    const SceneTracer tracer(scene, TraceSettings{});
    std::vector<ShadowHorizon> horizons;
    refreshShadowHorizons(tracer, kSuns[0], pool, horizons);
    ASSERT_EQ(horizons.size(), 2u);
    const float* kept = horizons[0].clearHeight.data();

    refreshShadowHorizons(tracer, kSuns[0], pool, horizons);
    EXPECT_EQ(horizons[0].clearHeight.data(), kept);

    // Raise a tower in one corner: the bounds change, the horizon follows.
    DisplacementField& field = scene.fields[0];
    std::span<std::uint16_t> base = field.baseHeights();
    for (std::uint32_t y = 100; y < 104; ++y)
        for (std::uint32_t x = 20; x < 24; ++x)
            base[std::size_t(y) * field.width + x] = 65535;
    field.updateRect({20, 100, 24, 104});
    refreshShadowHorizons(tracer, kSuns[0], pool, horizons);
    for (std::uint32_t prism = 0; prism < 2; ++prism)
        EXPECT_EQ(horizons[prism].clearHeight, buildShadowHorizon(tracer, prism, kSuns[0]).clearHeight);

    refreshShadowHorizons(tracer, kSuns[1], pool, horizons);
    for (std::uint32_t prism = 0; prism < 2; ++prism)
        EXPECT_EQ(horizons[prism].clearHeight, buildShadowHorizon(tracer, prism, kSuns[1]).clearHeight);
}

} // namespace
} // namespace qlmr
