#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

#include "sdna/evaluator.h"
#include "sdna/tracer.h"
#include "sdna_test_programs.h"

namespace qlmr {
namespace {

using test::instr;
using test::makeProgram;
using test::sphere;
using V3 = std::array<float, 3>;

SdnaTraceOptions options(std::uint32_t maxSteps, float eps = 1e-4f, bool normals = true) {
    SdnaTraceOptions o;
    o.maxSteps = maxSteps;
    o.eps = eps;
    o.epsPerDistance = 0.0f;
    o.normals = normals;
    return o;
}

// A unit sphere at the origin inside the box [-2, 2]^3.
SdnaProgram unitSphere() { return makeProgram({sphere(0, 0, 0, 1, 1)}, 2, 2.0f); }

void expectMiss(const SdnaHit& h, std::uint32_t steps) {
    EXPECT_FALSE(h.hit);
    EXPECT_EQ(h.status, kSdnaMiss);
    EXPECT_EQ(h.steps, steps);
    EXPECT_EQ(h.t, 0.0f);
    EXPECT_EQ(h.position, (V3{0, 0, 0}));
    EXPECT_EQ(h.normal, (V3{0, 0, 0}));
    EXPECT_EQ(h.material, 0);
    EXPECT_EQ(h.distance, 0.0f);
}

TEST(SdnaTracer, UnitSphereHitAtFourInTwoSteps) {
    // The box clip starts the ray at t = 3, one unit from the sphere.
    const SdnaHit h = traceProgram(unitSphere(), {0, 0, -5}, {0, 0, 1}, 0, 100, options(64));
    EXPECT_TRUE(h.hit);
    EXPECT_EQ(h.status, kSdnaHit);
    EXPECT_EQ(h.t, 4.0f);
    EXPECT_EQ(h.steps, 2u);
    EXPECT_EQ(h.material, 1);
    EXPECT_EQ(h.distance, 0.0f);
    EXPECT_EQ(h.position, (V3{0, 0, -1}));
    EXPECT_NEAR(h.normal[2], -1.0f, 1e-6f);
}

TEST(SdnaTracer, StepBudgetAndZeroSteps) {
    const SdnaHit one = traceProgram(unitSphere(), {0, 0, -5}, {0, 0, 1}, 0, 100, options(1));
    EXPECT_FALSE(one.hit);
    EXPECT_EQ(one.status, kSdnaUncertain);
    EXPECT_EQ(one.steps, 1u);
    EXPECT_EQ(one.t, 3.0f);
    EXPECT_EQ(one.distance, 1.0f);
    EXPECT_EQ(one.material, 1);
    expectMiss(traceProgram(unitSphere(), {0, 0, -5}, {0, 0, 1}, 0, 100, options(0)), 0);
}

TEST(SdnaTracer, RayStartingInsideHitsAtTnear) {
    const SdnaHit h = traceProgram(unitSphere(), {0, 0, -0.75f}, {0, 0, 1}, 0.25f, 100, options(64));
    EXPECT_TRUE(h.hit);
    EXPECT_EQ(h.t, 0.25f);
    EXPECT_EQ(h.steps, 1u);
    EXPECT_EQ(h.distance, -0.5f);
}

TEST(SdnaTracer, MissesOutsideBoxAndWhenLeavingIt) {
    const SdnaProgram program = unitSphere();
    // Entirely outside the box: no evaluation.
    expectMiss(traceProgram(program, {5, 5, -5}, {0, 0, 1}, 0, 100, options(64)), 0);
    // Range ends before the box.
    expectMiss(traceProgram(program, {0, 0, -5}, {0, 0, 1}, 0, 2.5f, options(64)), 0);
    // Passes the sphere at 1.5 from its centre: leaves the box after some steps.
    const SdnaHit past = traceProgram(program, {1.5f, 0, -5}, {0, 0, 1}, 0, 100, options(64));
    EXPECT_GT(past.steps, 0u);
    expectMiss(past, past.steps);
}

TEST(SdnaTracer, AxisParallelRayOnBoxFaceIsNotRejected) {
    // A unit cube filling its box exactly; the ray runs along its x = 1 face.
    const SdnaProgram cube = makeProgram({instr(SdnaOp::Box, {0, 0, 0, 1, 1, 1, 0})}, 1, 1.0f);
    const SdnaHit onFace = traceProgram(cube, {1, 0, -5}, {0, 0, 1}, 0, 100, options(64));
    EXPECT_TRUE(onFace.hit);
    EXPECT_EQ(onFace.t, 4.0f);
    expectMiss(traceProgram(cube, {1.0001f, 0, -5}, {0, 0, 1}, 0, 100, options(64)), 0);
}

TEST(SdnaTracer, NonFiniteDistanceIsUncertain) {
    // A sphere so far away that the squared distance overflows to infinity.
    const SdnaProgram far = makeProgram({sphere(3e38f, 0, 0, 0)}, 1, 2.0f);
    const SdnaHit h = traceProgram(far, {0, 0, -5}, {0, 0, 1}, 0, 100, options(64));
    EXPECT_EQ(h.status, kSdnaUncertain);
    EXPECT_FALSE(h.hit);
    EXPECT_EQ(h.steps, 1u);
    EXPECT_EQ(h.t, 3.0f);
}

TEST(SdnaTracer, NormalFallbackAndNormalsOff) {
    // Starting at the sphere centre: the gradient there has length 0.
    const SdnaHit centre = traceProgram(unitSphere(), {0, 0, 0}, {0, 0, 1}, 0, 100, options(64));
    EXPECT_TRUE(centre.hit);
    EXPECT_EQ(centre.normal, (V3{0, 1, 0}));
    const SdnaHit off = traceProgram(unitSphere(), {0, 0, -5}, {0, 0, 1}, 0, 100, options(64, 1e-4f, false));
    EXPECT_TRUE(off.hit);
    EXPECT_EQ(off.normal, (V3{0, 0, 0}));
}

TEST(SdnaTracer, ThresholdGrowsWithDistance) {
    // At t = 3 the distance is 1; a threshold of 0.5 per unit of ray distance
    // (1.5 there) accepts it on the first step.
    SdnaTraceOptions o = options(64);
    o.epsPerDistance = 0.5f;
    const SdnaHit h = traceProgram(unitSphere(), {0, 0, -5}, {0, 0, 1}, 0, 100, o);
    EXPECT_TRUE(h.hit);
    EXPECT_EQ(h.steps, 1u);
    EXPECT_EQ(h.t, 3.0f);
}

// ---- tapered capsule ----

// Slow reference: the hull of two spheres is the union of the interpolated
// spheres; outside it the distance is the least distance to any of them.
double hullDistance(const V3& x, const V3& a, double ra, const V3& b, double rb) {
    auto at = [&](double s) {
        double d2 = 0;
        for (int i = 0; i < 3; ++i) {
            const double c = a[i] + (b[i] - a[i]) * s;
            d2 += (x[i] - c) * (x[i] - c);
        }
        return std::sqrt(d2) - (ra + (rb - ra) * s);
    };
    double best = std::numeric_limits<double>::infinity();
    double bestS = 0;
    for (int i = 0; i <= 2000; ++i) {
        const double s = i / 2000.0;
        if (at(s) < best) best = at(s), bestS = s;
    }
    double lo = std::max(0.0, bestS - 1e-3), hi = std::min(1.0, bestS + 1e-3);
    for (int i = 0; i < 100; ++i) {
        const double m1 = lo + (hi - lo) / 3, m2 = hi - (hi - lo) / 3;
        if (at(m1) < at(m2)) {
            hi = m2;
        } else {
            lo = m1;
        }
    }
    return std::min(best, at(0.5 * (lo + hi)));
}

TEST(SdnaTaperedCapsule, MatchesHullReferenceOutside) {
    test::RandomProgramMaker rng(42);
    int compared = 0;
    for (int i = 0; i < 400; ++i) {
        const V3 a = rng.point(1.0f), b = rng.point(1.0f);
        const float ra = rng.uniform(0.0f, 0.8f), rb = rng.uniform(0.0f, 0.8f);
        const V3 x = rng.point(3.0f);
        const double reference = hullDistance(x, a, ra, b, rb);
        const float d = taperedCapsuleDistance(x, a, ra, b, rb);
        if (reference > 0) {
            ++compared;
            ASSERT_NEAR(d, reference, 1e-4 * (1 + reference)) << "case " << i;
        } else {
            ASSERT_LE(d, 1e-5f) << "case " << i;  // inside the hull the distance is not positive
        }
    }
    EXPECT_GT(compared, 200);
    // One sphere containing the other, and coincident ends: the larger sphere.
    EXPECT_NEAR(taperedCapsuleDistance({5, 0, 0}, {0, 0, 0}, 2, {1, 0, 0}, 0.5f), 3.0f, 1e-6f);
    EXPECT_NEAR(taperedCapsuleDistance({0, 3, 0}, {0, 0, 0}, 1, {0, 0, 0}, 2), 1.0f, 1e-6f);
}

// ---- placed instances ----

TEST(SdnaInstance, MatchesProgramTransformedByHand) {
    test::RandomProgramMaker rng(9);
    const SdnaProgram local = makeProgram(
        {instr(SdnaOp::Box, {0.2f, 0, 0, 0.5f, 0.3f, 0.4f, 0.05f}, 1),
         instr(SdnaOp::Capsule, {-0.6f, -0.2f, 0, 0.4f, 0.5f, 0.2f, 0.2f}, 2), instr(SdnaOp::SmoothUnion, {0.1f})},
        3, 1.0f);
    for (int trial = 0; trial < 8; ++trial) {
        SdnaInstance instance;
        instance.program = &local;
        instance.rotation = rng.unitQuaternion();
        instance.translation = rng.point(3.0f);
        instance.scale = rng.uniform(0.5f, 2.5f);
        // The same placement written as a frame around the program, with a
        // world box that surely contains it.
        SdnaProgram world = local;
        world.instructions.insert(world.instructions.begin(),
                                  test::pushTransform(instance.rotation, instance.translation[0],
                                                      instance.translation[1], instance.translation[2],
                                                      instance.scale));
        world.instructions.push_back(instr(SdnaOp::Pop));
        const float reach = std::sqrt(3.0f) * instance.scale;
        for (int i = 0; i < 3; ++i) {
            world.boundsMin[i] = instance.translation[i] - reach;
            world.boundsMax[i] = instance.translation[i] + reach;
        }
        int hits = 0;
        for (int r = 0; r < 40; ++r) {
            const V3 target{instance.translation[0] + rng.uniform(-0.6f, 0.6f) * instance.scale,
                            instance.translation[1] + rng.uniform(-0.6f, 0.6f) * instance.scale,
                            instance.translation[2] + rng.uniform(-0.6f, 0.6f) * instance.scale};
            const V3 from = rng.point(10.0f);
            V3 dir{target[0] - from[0], target[1] - from[1], target[2] - from[2]};
            const float len = std::sqrt(dir[0] * dir[0] + dir[1] * dir[1] + dir[2] * dir[2]);
            for (float& c : dir) c /= len;
            SdnaTraceOptions o = options(512, 1e-6f);
            const SdnaHit a = traceInstance(instance, from, dir, 0.5f, 40.0f, o);
            o.eps = 1e-6f * instance.scale;
            const SdnaHit b = traceProgram(world, from, dir, 0.5f, 40.0f, o);
            ASSERT_EQ(a.status, b.status) << "trial " << trial << " ray " << r;
            if (a.status != kSdnaHit) continue;
            ++hits;
            EXPECT_NEAR(a.t, b.t, 1e-3f * (1 + b.t));
            EXPECT_EQ(a.material, b.material);
            for (int k = 0; k < 3; ++k) {
                EXPECT_NEAR(a.position[k], from[k] + dir[k] * a.t, 1e-5f * (1 + a.t));
                EXPECT_NEAR(a.normal[k], b.normal[k], 2e-3f);
            }
        }
        EXPECT_GT(hits, 5);
    }
}

TEST(SdnaInstance, RangeAndThresholdsActInProgramUnits) {
    const SdnaProgram program = unitSphere();
    SdnaInstance instance;
    instance.program = &program;
    instance.scale = 2.0f;
    instance.translation = {0, 0, 10};
    // World sphere of radius 2 at z = 10: from the origin the hit is at t = 8.
    const SdnaHit h = traceInstance(instance, {0, 0, 0}, {0, 0, 1}, 0, 100, options(64));
    EXPECT_TRUE(h.hit);
    EXPECT_NEAR(h.t, 8.0f, 1e-5f);
    EXPECT_NEAR(h.position[2], 8.0f, 1e-5f);
    EXPECT_NEAR(h.normal[2], -1.0f, 1e-6f);
    // A world range that ends before the sphere.
    EXPECT_EQ(traceInstance(instance, {0, 0, 0}, {0, 0, 1}, 0, 7.5f, options(64)).status, kSdnaMiss);
    SdnaInstance empty;
    EXPECT_EQ(traceInstance(empty, {0, 0, 0}, {0, 0, 1}, 0, 100, options(64)).status, kSdnaMiss);
}

}  // namespace
}  // namespace qlmr
