#include "sdna/builder.h"
#include "sdna/evaluator.h"
#include "sdna/validator.h"

#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <string>

namespace qlmr {
namespace {

using Vec3 = SdnaBuilder::Vec3;

struct Built {
    bool ok = false;
    std::string error;
    SdnaProgram program;
};

Built finish(SdnaBuilder& builder)
{
    Built b;
    b.ok = builder.finish(b.program, b.error);
    return b;
}

void expectBox(const SdnaProgram& p, Vec3 min, Vec3 max, float tolerance = 1e-6f)
{
    for (int axis = 0; axis < 3; ++axis) {
        EXPECT_NEAR(p.boundsMin[axis], min[axis], tolerance) << "axis " << axis;
        EXPECT_NEAR(p.boundsMax[axis], max[axis], tolerance) << "axis " << axis;
    }
}

TEST(SdnaBuilder, EachPrimitiveHasItsBoxAndRecord)
{
    struct Case {
        const char* name;
        void (*build)(SdnaBuilder&);
        SdnaInstruction expected;
        Vec3 min, max;
    };
    auto record = [](SdnaOp op, std::array<float, 8> p, std::uint16_t material) {
        SdnaInstruction in;
        in.op = op;
        in.p = p;
        in.material = material;
        return in;
    };
    const Case cases[] = {
        {"sphere", [](SdnaBuilder& b) { b.sphere({1, 2, 3}, 0.5f, 1); }, record(SdnaOp::Sphere, {1, 2, 3, 0.5f}, 1),
         {0.5f, 1.5f, 2.5f}, {1.5f, 2.5f, 3.5f}},
        {"capsule", [](SdnaBuilder& b) { b.capsule({0, 0, 0}, {2, -1, 0}, 0.25f, 1); },
         record(SdnaOp::Capsule, {0, 0, 0, 2, -1, 0, 0.25f}, 1), {-0.25f, -1.25f, -0.25f}, {2.25f, 0.25f, 0.25f}},
        {"tapered capsule", [](SdnaBuilder& b) { b.taperedCapsule({0, 0, 0}, 1.0f, {1, 0, 0}, 0.1f, 1); },
         record(SdnaOp::TaperedCapsule, {0, 0, 0, 1, 1, 0, 0, 0.1f}, 1), {-1, -1, -1}, {1.1f, 1, 1}},
        {"ellipsoid", [](SdnaBuilder& b) { b.ellipsoid({1, 0, 0}, {0.5f, 1, 2}, 1); },
         record(SdnaOp::Ellipsoid, {1, 0, 0, 0.5f, 1, 2}, 1), {0.5f, -1, -2}, {1.5f, 1, 2}},
        {"box", [](SdnaBuilder& b) { b.box({0, 1, 0}, {1, 2, 3}, 0.5f, 1); },
         record(SdnaOp::Box, {0, 1, 0, 1, 2, 3, 0.5f}, 1), {-1.5f, -1.5f, -3.5f}, {1.5f, 3.5f, 3.5f}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        SdnaBuilder builder;
        builder.material({});
        builder.material({});
        c.build(builder);
        ASSERT_EQ(builder.program().instructions.size(), 1u);
        const SdnaInstruction& got = builder.program().instructions[0];
        EXPECT_EQ(got.op, c.expected.op);
        EXPECT_EQ(got.material, c.expected.material);
        EXPECT_EQ(got.p, c.expected.p);
        EXPECT_EQ(got.reserved1 | got.reserved8 | got.reserved12 | got.bone, 0u);
        const Built b = finish(builder);
        ASSERT_TRUE(b.ok) << b.error;
        expectBox(b.program, c.min, c.max);
    }
}

TEST(SdnaBuilder, CombinatorsMergeBoxes)
{
    struct Case {
        const char* name;
        void (*build)(SdnaBuilder&);
        Vec3 min, max;
    };
    const Case cases[] = {
        {"union", [](SdnaBuilder& b) { b.sphere({0, 0, 0}, 1).sphere({3, 0, 0}, 1).combine(SdnaOp::Union); },
         {-1, -1, -1}, {4, 1, 1}},
        {"smooth union grows by blend / 4",
         [](SdnaBuilder& b) { b.sphere({0, 0, 0}, 1).sphere({3, 0, 0}, 1).combine(SdnaOp::SmoothUnion, 0.12f); },
         {-1.03f, -1.03f, -1.03f}, {4.03f, 1.03f, 1.03f}},
        {"opcode byte 33 is the smooth union",
         [](SdnaBuilder& b) { b.sphere({0, 0, 0}, 1).sphere({3, 0, 0}, 1).combine(std::uint8_t{33}, 0.12f); },
         {-1.03f, -1.03f, -1.03f}, {4.03f, 1.03f, 1.03f}},
        {"negative blend does not shrink",
         [](SdnaBuilder& b) { b.sphere({0, 0, 0}, 1).sphere({3, 0, 0}, 1).combine(SdnaOp::SmoothUnion, -0.4f); },
         {-1, -1, -1}, {4, 1, 1}},
        {"intersect keeps a bounded left box",
         [](SdnaBuilder& b) { b.sphere({0, 0, 0}, 1).sphere({3, 0, 0}, 1).combine(SdnaOp::Intersect); },
         {-1, -1, -1}, {1, 1, 1}},
        {"intersect of a plane takes the sphere",
         [](SdnaBuilder& b) { b.plane({0, 1, 0}, 0).sphere({3, 0, 0}, 1).combine(SdnaOp::Intersect); },
         {2, -1, -1}, {4, 1, 1}},
        {"intersect with a plane keeps the sphere",
         [](SdnaBuilder& b) { b.sphere({3, 0, 0}, 1).plane({0, 1, 0}, 0).combine(SdnaOp::Intersect); },
         {2, -1, -1}, {4, 1, 1}},
        {"subtract keeps the left box",
         [](SdnaBuilder& b) { b.sphere({0, 0, 0}, 1).sphere({0, 0, 0}, 5).combine(SdnaOp::Subtract); },
         {-1, -1, -1}, {1, 1, 1}},
        {"subtract a plane", [](SdnaBuilder& b) { b.sphere({0, 0, 0}, 1).plane({1, 0, 0}, 0).combine(SdnaOp::Subtract); },
         {-1, -1, -1}, {1, 1, 1}},
        {"offset grows", [](SdnaBuilder& b) { b.sphere({0, 0, 0}, 1).offset(0.5f); }, {-1.5f, -1.5f, -1.5f},
         {1.5f, 1.5f, 1.5f}},
        {"negative offset shrinks", [](SdnaBuilder& b) { b.sphere({0, 0, 0}, 1).offset(-0.25f); },
         {-0.75f, -0.75f, -0.75f}, {0.75f, 0.75f, 0.75f}},
        {"onion grows", [](SdnaBuilder& b) { b.sphere({0, 0, 0}, 1).onion(0.1f); }, {-1.1f, -1.1f, -1.1f},
         {1.1f, 1.1f, 1.1f}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        SdnaBuilder builder;
        c.build(builder);
        const Built b = finish(builder);
        ASSERT_TRUE(b.ok) << b.error;
        expectBox(b.program, c.min, c.max);
    }
}

TEST(SdnaBuilder, CombineRecordsTheBlendAndAlwaysAppends)
{
    SdnaBuilder builder;
    builder.sphere({0, 0, 0}, 1).combine(SdnaOp::SmoothUnion, 0.3f);
    ASSERT_EQ(builder.program().instructions.size(), 2u);
    EXPECT_EQ(builder.program().instructions[1].op, SdnaOp::SmoothUnion);
    EXPECT_EQ(builder.program().instructions[1].p, (std::array<float, 8>{0.3f}));
    // The lone box survives, so the bounds step passes and the validator reports the fault.
    const Built b = finish(builder);
    EXPECT_FALSE(b.ok);
    EXPECT_EQ(b.error, "sdna: instruction 1: combinator needs two operands");
}

TEST(SdnaBuilder, FramesMapTheBoxOut)
{
    SdnaBuilder scaled;
    SdnaBuilder::Transform t;
    t.translation = {5, 0, 0};
    t.scale = 2;
    scaled.pushTransform(t).sphere({0, 0, 0}, 1).pop();
    Built b = finish(scaled);
    ASSERT_TRUE(b.ok) << b.error;
    expectBox(b.program, {3, -2, -2}, {7, 2, 2});
    EXPECT_EQ(b.program.instructions[0].p, (std::array<float, 8>{0, 0, 0, 1, 5, 0, 0, 2}));

    // A quarter turn about z maps local +x to parent +y.
    SdnaBuilder turned;
    const float h = std::sqrt(0.5f);
    t = {};
    t.rotation = {0, 0, h, h};
    t.translation = {0, 0, 1};
    turned.pushTransform(t).box({2, 0, 0}, {1, 0.5f, 0.25f}, 0).pop();
    b = finish(turned);
    ASSERT_TRUE(b.ok) << b.error;
    expectBox(b.program, {-0.5f, 1, 0.75f}, {0.5f, 3, 1.25f}, 1e-5f);

    // A bone frame is the identity, grown by the bone margin.
    SdnaBuilder bone;
    bone.setBoneMargin(0.5f);
    bone.pushBone(7).sphere({0, 0, 0}, 1).pop();
    EXPECT_EQ(bone.program().boneCount, 8u);
    EXPECT_EQ(bone.program().instructions[0].bone, 7u);
    b = finish(bone);
    ASSERT_TRUE(b.ok) << b.error;
    EXPECT_EQ(b.program.boneCount, 8u);
    expectBox(b.program, {-1.5f, -1.5f, -1.5f}, {1.5f, 1.5f, 1.5f});

    SdnaBuilder smaller;
    smaller.pushBone(7).pushBone(2);
    EXPECT_EQ(smaller.program().boneCount, 8u);
}

TEST(SdnaBuilder, SegmentBoundsIsTheBoxOfBothSpheres)
{
    struct Case {
        const char* name;
        Vec3 a;
        float ra;
        Vec3 b;
        float rb;
        Vec3 min;
        Vec3 max;
    };
    const Case cases[] = {
        // Each end decides the sides it reaches furthest on.
        {"larger first", {0, 0, 0}, 1.0f, {2, 0.5f, 0}, 0.25f, {-1, -1, -1}, {2.25f, 1, 1}},
        {"larger second", {0, 0, 0}, 0.25f, {2, 0.5f, 0}, 1.0f, {-0.25f, -0.5f, -1}, {3, 1.5f, 1}},
        {"ends swapped", {2, 0.5f, 0}, 0.25f, {0, 0, 0}, 1.0f, {-1, -1, -1}, {2.25f, 1, 1}},
        {"points", {1, -2, 3}, 0.0f, {-1, 2, 3}, 0.0f, {-1, -2, 3}, {1, 2, 3}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const SdnaBox box = segmentBounds(c.a, c.ra, c.b, c.rb);
        EXPECT_FALSE(box.unbounded);
        EXPECT_EQ(box.min, c.min);
        EXPECT_EQ(box.max, c.max);
    }
}

// The transform and the material may also come as loose parts, and the error
// string by address.
TEST(SdnaBuilder, LoosePartsBuildTheSameProgram)
{
    const float h = std::sqrt(0.5f);
    SdnaBuilder::Transform t;
    t.rotation = {0, 0, h, h};
    t.translation = {5, 0, 1};
    t.scale = 2;
    SdnaBuilder whole;
    whole.material(SdnaMaterial{0.1f, 0.2f, 0.3f, 0.4f});
    whole.pushTransform(t).box({1, 0, 0}, {1, 0.5f, 0.25f}, 0).pop();
    const Built expected = finish(whole);
    ASSERT_TRUE(expected.ok) << expected.error;

    SdnaBuilder parts;
    const std::array<float, 4> rgba{0.1f, 0.2f, 0.3f, 0.4f};
    EXPECT_EQ(parts.material(rgba), 0u);
    parts.pushTransform({0, 0, h, h}, {5, 0, 1}, 2).box({1, 0, 0}, {1, 0.5f, 0.25f}, 0).pop();
    SdnaProgram program;
    std::string error = "untouched";
    ASSERT_TRUE(parts.finish(program, &error)) << error;
    EXPECT_EQ(error, "untouched");
    ASSERT_EQ(program.instructions.size(), expected.program.instructions.size());
    EXPECT_EQ(program.instructions[0].p, expected.program.instructions[0].p);
    ASSERT_EQ(program.materials.size(), 1u);
    EXPECT_EQ(program.materials[0].blue, 0.3f);
    EXPECT_EQ(program.materials[0].roughness, 0.4f);
    EXPECT_EQ(program.boundsMin, expected.program.boundsMin);
    EXPECT_EQ(program.boundsMax, expected.program.boundsMax);

    parts.plane({0, 1, 0}, 0);
    EXPECT_FALSE(parts.finish(program, &error));
    EXPECT_EQ(error, "program is unbounded (plane): call bounds()");
}

TEST(SdnaBuilder, FinishMessages)
{
    struct Case {
        const char* name;
        void (*build)(SdnaBuilder&);
        const char* message;
    };
    const Case cases[] = {
        {"plane without bounds", [](SdnaBuilder& b) { b.plane({0, 1, 0}, 0); },
         "program is unbounded (plane): call bounds()"},
        {"two values", [](SdnaBuilder& b) { b.sphere({0, 0, 0}, 1).sphere({1, 0, 0}, 1); },
         "program does not reduce to one value"},
        {"nothing appended", [](SdnaBuilder&) {}, "program does not reduce to one value"},
        {"negative radius", [](SdnaBuilder& b) { b.sphere({0, 0, 0}, -1); },
         "sdna: instruction 0: negative radius"},
        {"unclosed frame", [](SdnaBuilder& b) { b.pushTransform({}).sphere({0, 0, 0}, 1); },
         "sdna: unclosed frame"},
    };
    for (const Case& c : cases) {
        SdnaBuilder builder;
        c.build(builder);
        const Built b = finish(builder);
        EXPECT_FALSE(b.ok) << c.name;
        EXPECT_EQ(b.error, c.message) << c.name;
    }
}

TEST(SdnaBuilder, FailedFinishKeepsTheProgramSoTheCallerCanComplete)
{
    SdnaBuilder builder;
    builder.plane({0, 1, 0}, 0);
    Built b = finish(builder);
    EXPECT_FALSE(b.ok);
    EXPECT_EQ(b.error, "program is unbounded (plane): call bounds()");
    ASSERT_EQ(builder.program().instructions.size(), 1u);

    builder.bounds({-1, -2, -3}, {1, 2, 3});
    b = finish(builder);
    ASSERT_TRUE(b.ok) << b.error;
    ASSERT_EQ(b.program.instructions.size(), 1u);
    EXPECT_EQ(b.program.instructions[0].op, SdnaOp::Plane);
    EXPECT_EQ(b.program.materials.size(), 1u);
    expectBox(b.program, {-1, -2, -3}, {1, 2, 3});

    // A successful finish starts over.
    EXPECT_TRUE(builder.program().instructions.empty());
    builder.sphere({0, 0, 0}, 1);
    b = finish(builder);
    ASSERT_TRUE(b.ok) << b.error;
    expectBox(b.program, {-1, -1, -1}, {1, 1, 1});

    // Two values fail; combining them afterwards completes the program.
    builder.sphere({0, 0, 0}, 1).sphere({1, 0, 0}, 1);
    b = finish(builder);
    EXPECT_FALSE(b.ok);
    builder.combine(SdnaOp::Union);
    b = finish(builder);
    ASSERT_TRUE(b.ok) << b.error;
    EXPECT_EQ(b.program.instructions.size(), 3u);
    expectBox(b.program, {-1, -1, -1}, {2, 1, 1});
}

TEST(SdnaBuilder, FinishAddsTheDefaultMaterialOnlyWhenNoneWasGiven)
{
    SdnaBuilder builder;
    builder.sphere({0, 0, 0}, 1);
    Built b = finish(builder);
    ASSERT_TRUE(b.ok) << b.error;
    ASSERT_EQ(b.program.materials.size(), 1u);
    EXPECT_EQ(b.program.materials[0].red, 0.8f);
    EXPECT_EQ(b.program.materials[0].roughness, 0.6f);

    EXPECT_EQ(builder.material({0.1f, 0.2f, 0.3f, 0.4f}), 0u);
    EXPECT_EQ(builder.material({0.5f, 0.6f, 0.7f, 0.8f}), 1u);
    builder.sphere({0, 0, 0}, 1, 1);
    b = finish(builder);
    ASSERT_TRUE(b.ok) << b.error;
    ASSERT_EQ(b.program.materials.size(), 2u);
    EXPECT_EQ(b.program.materials[1].blue, 0.7f);
}

// A failed finish leaves no material and no bounds of its own behind: the
// first material added afterwards is material 0, the one the primitives
// already name, and the program finished then holds it alone.
TEST(SdnaBuilder, FailedFinishAddsNothingToTheProgram)
{
    struct Case {
        const char* name;
        void (*build)(SdnaBuilder&);
        void (*complete)(SdnaBuilder&);
    };
    const Case cases[] = {
        {"plane without bounds", [](SdnaBuilder& b) { b.plane({0, 1, 0}, 0); },
         [](SdnaBuilder& b) { b.bounds({-1, -1, -1}, {1, 1, 1}); }},
        {"two values", [](SdnaBuilder& b) { b.sphere({0, 0, 0}, 1).sphere({1, 0, 0}, 1); },
         [](SdnaBuilder& b) { b.combine(SdnaOp::Union); }},
        {"unclosed frame, explicit bounds",
         [](SdnaBuilder& b) { b.bounds({-2, -2, -2}, {2, 2, 2}).pushTransform({}).sphere({0, 0, 0}, 1); },
         [](SdnaBuilder& b) { b.pop(); }},
    };
    const SdnaProgram fresh;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        SdnaBuilder builder;
        c.build(builder);
        Built b = finish(builder);
        ASSERT_FALSE(b.ok);
        EXPECT_TRUE(builder.program().materials.empty());
        EXPECT_EQ(builder.program().boundsMin, fresh.boundsMin);
        EXPECT_EQ(builder.program().boundsMax, fresh.boundsMax);

        EXPECT_EQ(builder.material({1.0f, 0.0f, 0.0f, 0.5f}), 0u);
        c.complete(builder);
        b = finish(builder);
        ASSERT_TRUE(b.ok) << b.error;
        ASSERT_EQ(b.program.materials.size(), 1u);
        EXPECT_EQ(b.program.materials[0].red, 1.0f);
    }
}

TEST(SdnaBuilder, SuccessfulFinishStartsOver)
{
    SdnaBuilder builder;
    // A program with explicit bounds, a bone and its own material...
    builder.material({0.1f, 0.2f, 0.3f, 0.4f});
    builder.pushBone(3).sphere({0, 0, 0}, 1).pop().bounds({-9, -9, -9}, {9, 9, 9});
    Built b = finish(builder);
    ASSERT_TRUE(b.ok) << b.error;
    EXPECT_EQ(b.program.boneCount, 4u);
    EXPECT_TRUE(builder.program().instructions.empty());
    EXPECT_TRUE(builder.program().materials.empty());
    EXPECT_TRUE(std::isinf(builder.program().boundsMin[0]));
    // ...leaves nothing behind: the next program gets its own box, bone
    // count and default material.
    builder.sphere({1, 0, 0}, 1);
    b = finish(builder);
    ASSERT_TRUE(b.ok) << b.error;
    EXPECT_EQ(b.program.boneCount, 0u);
    EXPECT_EQ(b.program.instructions.size(), 1u);
    ASSERT_EQ(b.program.materials.size(), 1u);
    EXPECT_EQ(b.program.materials[0].red, 0.8f);
    expectBox(b.program, {0, -1, -1}, {2, 1, 1});
    builder.sphere({0, 0, 0}, 2).sphere({0, 0, 0}, 1).combine(SdnaOp::Subtract);
    b = finish(builder);
    ASSERT_TRUE(b.ok) << b.error;
    expectBox(b.program, {-2, -2, -2}, {2, 2, 2});
}

// Smallest distance found on the surface of the program's box grown by margin.
float smallestDistanceAroundBounds(const SdnaProgram& p, float margin, int steps)
{
    float smallest = INFINITY;
    for (int axis = 0; axis < 3; ++axis) {
        const int u = (axis + 1) % 3, v = (axis + 2) % 3;
        for (int side = 0; side < 2; ++side) {
            for (int i = 0; i <= steps; ++i) {
                for (int j = 0; j <= steps; ++j) {
                    std::array<float, 3> x;
                    x[axis] = side ? p.boundsMax[axis] + margin : p.boundsMin[axis] - margin;
                    x[u] = p.boundsMin[u] - margin + (p.boundsMax[u] - p.boundsMin[u] + 2 * margin) * i / steps;
                    x[v] = p.boundsMin[v] - margin + (p.boundsMax[v] - p.boundsMin[v] + 2 * margin) * j / steps;
                    smallest = std::min(smallest, evaluateProgram(p, x).distance);
                }
            }
        }
    }
    return smallest;
}

TEST(SdnaBuilder, RandomProgramsLieInsideTheirBounds)
{
    std::mt19937 rng(104);
    std::uniform_real_distribution<float> coord(-1.0f, 1.0f), size(0.05f, 0.6f), blend(-0.3f, 0.5f);
    for (int n = 0; n < 60; ++n) {
        SdnaBuilder b;
        // Returns whether it made an ellipsoid: its value only bounds the
        // distance from below (scaled by the smallest radius), so an offset
        // or onion of it reaches past the grown box along its long axes.
        auto primitive = [&] {
            const unsigned kind = rng() % 5;
            switch (kind) {
            case 0: b.sphere({coord(rng), coord(rng), coord(rng)}, size(rng)); break;
            case 1: b.capsule({coord(rng), coord(rng), coord(rng)}, {coord(rng), coord(rng), coord(rng)}, size(rng)); break;
            case 2: b.taperedCapsule({coord(rng), coord(rng), coord(rng)}, size(rng), {coord(rng), coord(rng), coord(rng)}, size(rng)); break;
            case 3: b.ellipsoid({coord(rng), coord(rng), coord(rng)}, {size(rng), size(rng), size(rng)}); break;
            default: b.box({coord(rng), coord(rng), coord(rng)}, {size(rng), size(rng), size(rng)}, 0.1f * size(rng)); break;
            }
            return kind == 3;
        };
        const int parts = 1 + static_cast<int>(rng() % 5);
        for (int i = 0; i < parts; ++i) {
            const bool framed = rng() % 2;
            if (framed) {
                std::array<float, 4> q{coord(rng), coord(rng), coord(rng), coord(rng) + 1.5f};
                const float length = std::sqrt(q[0] * q[0] + q[1] * q[1] + q[2] * q[2] + q[3] * q[3]);
                for (float& c : q)
                    c /= length;
                b.pushTransform({q, {coord(rng), coord(rng), coord(rng)}, 0.5f + size(rng)});
            }
            bool ellipsoid = primitive();
            if (rng() % 2) {
                ellipsoid |= primitive();
                b.combine(rng() % 2 ? SdnaOp::SmoothUnion : SdnaOp::Union, blend(rng));
            }
            if (!ellipsoid && rng() % 4 == 0)
                b.onion(0.05f);
            if (!ellipsoid && rng() % 4 == 0)
                b.offset(0.5f * blend(rng));
            if (framed)
                b.pop();
            if (i > 0)
                b.combine(static_cast<SdnaOp>(32 + rng() % 4), blend(rng));
        }
        const Built built = finish(b);
        ASSERT_TRUE(built.ok) << built.error;
        EXPECT_GT(smallestDistanceAroundBounds(built.program, 1e-3f, 24), 0.0f) << "program " << n;
    }
}

} // namespace
} // namespace qlmr
