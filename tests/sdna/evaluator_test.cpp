#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <cstdint>
#include <string>
#include <vector>

#include "sdna/evaluator.h"
#include "sdna_test_programs.h"

namespace qlmr {
namespace {

using test::instr;
using test::makeProgram;
using test::pushBone;
using test::pushTransform;
using test::sphere;

constexpr std::array<float, 4> kNoRotation{0.0f, 0.0f, 0.0f, 1.0f};

struct OpcodeCase {
    const char* name;
    std::vector<SdnaInstruction> code;
    std::array<float, 3> point;
    float distance;
    std::uint16_t material;
};

// Two spheres whose distances at the origin are 1 (material 1) and 2 (material 2).
std::vector<SdnaInstruction> withOperands(float da, float db, SdnaInstruction combinator) {
    return {sphere(da + 1.0f, 0, 0, 1.0f, 1), sphere(0, db + 1.0f, 0, 1.0f, 2), combinator};
}

std::vector<OpcodeCase> opcodeCases() {
    const float k = 0.8f;
    return {
        {"Sphere", {sphere(1, 0, 0, 0.5f, 3)}, {3, 0, 0}, 1.5f, 3},
        {"CapsuleSide", {instr(SdnaOp::Capsule, {0, 0, 0, 0, 2, 0, 0.5f}, 1)}, {1, 1, 0}, 0.5f, 1},
        {"CapsuleClampedEnd", {instr(SdnaOp::Capsule, {0, 0, 0, 0, 2, 0, 0.5f})}, {0, -1, 0}, 0.5f, 0},
        {"CapsuleDegenerate", {instr(SdnaOp::Capsule, {0, 1, 0, 0, 1, 0, 0.5f})}, {0, 4, 0}, 2.5f, 0},
        {"TaperedEqualRadii", {instr(SdnaOp::TaperedCapsule, {0, 0, 0, 1, 4, 0, 0, 1}, 2)}, {2, 3, 0}, 2.0f, 2},
        {"TaperedContained", {instr(SdnaOp::TaperedCapsule, {0, 0, 0, 2, 1, 0, 0, 0.5f})}, {5, 0, 0}, 3.0f, 0},
        {"Ellipsoid", {instr(SdnaOp::Ellipsoid, {0, 0, 0, 2, 1, 1})}, {4, 0, 0}, 1.0f, 0},
        {"BoxFace", {instr(SdnaOp::Box, {0, 0, 0, 1, 1, 1, 0})}, {3, 0, 0}, 2.0f, 0},
        {"BoxEdge", {instr(SdnaOp::Box, {0, 0, 0, 1, 1, 1, 0})}, {2, 2, 0}, std::sqrt(2.0f), 0},
        {"BoxInside", {instr(SdnaOp::Box, {0, 0, 0, 1, 2, 3, 0})}, {0.5f, 0, 0}, -0.5f, 0},
        {"BoxRounded", {instr(SdnaOp::Box, {1, 0, 0, 1, 1, 1, 0.25f})}, {4, 0, 0}, 1.75f, 0},
        {"Plane", {instr(SdnaOp::Plane, {0, 1, 0, 1})}, {5, 3, 0}, 2.0f, 0},
        {"UnionLeft", withOperands(1, 2, instr(SdnaOp::Union)), {0, 0, 0}, 1.0f, 1},
        {"UnionRight", withOperands(2, 1, instr(SdnaOp::Union)), {0, 0, 0}, 1.0f, 2},
        {"UnionTieTakesA", withOperands(1, 1, instr(SdnaOp::Union)), {0, 0, 0}, 1.0f, 1},
        {"SmoothZeroIsUnion", withOperands(2, 1, instr(SdnaOp::SmoothUnion, {0})), {0, 0, 0}, 1.0f, 2},
        {"SmoothNegativeTieTakesA", withOperands(1, 1, instr(SdnaOp::SmoothUnion, {-1})), {0, 0, 0}, 1.0f, 1},
        {"SmoothTieTakesB", withOperands(1, 1, instr(SdnaOp::SmoothUnion, {k})), {0, 0, 0}, 1.0f - k / 4, 2},
        {"SmoothBlend", withOperands(1, 1.4f, instr(SdnaOp::SmoothUnion, {k})), {0, 0, 0},
         1.0f - 0.5f * 0.5f * k / 4, 1},
        {"SmoothFarApart", withOperands(2, 1, instr(SdnaOp::SmoothUnion, {k})), {0, 0, 0}, 1.0f, 2},
        {"IntersectRight", withOperands(1, 2, instr(SdnaOp::Intersect)), {0, 0, 0}, 2.0f, 2},
        {"IntersectTieTakesA", withOperands(2, 2, instr(SdnaOp::Intersect)), {0, 0, 0}, 2.0f, 1},
        {"SubtractKeepsA", withOperands(1, -0.5f, instr(SdnaOp::Subtract)), {0, 0, 0}, 1.0f, 1},
        {"SubtractTakesMinusB", {sphere(1.5f, 0, 0, 1, 1), sphere(0, 0, 0, 3, 2), instr(SdnaOp::Subtract)},
         {0, 0, 0}, 3.0f, 2},
        {"SubtractTieTakesA", {sphere(3, 0, 0, 1, 1), sphere(0, 0, 0, 2, 2), instr(SdnaOp::Subtract)},
         {0, 0, 0}, 2.0f, 1},
        {"Offset", {sphere(0, 0, 0, 1, 3), instr(SdnaOp::Offset, {0.25f})}, {2, 0, 0}, 0.75f, 3},
        {"OnionInside", {sphere(0, 0, 0, 1, 3), instr(SdnaOp::Onion, {0.1f})}, {0.25f, 0, 0}, 0.65f, 3},
        {"OnionOutside", {sphere(0, 0, 0, 1), instr(SdnaOp::Onion, {0.1f})}, {3, 0, 0}, 1.9f, 0},
        {"NestedScales",
         {pushTransform(kNoRotation, 0, 0, 0, 2), pushTransform(kNoRotation, 0, 0, 0, 3), sphere(0, 0, 0, 1),
          instr(SdnaOp::Pop), instr(SdnaOp::Pop)},
         {12, 0, 0}, 6.0f, 0},
        {"InnerPopOnly",
         {pushTransform(kNoRotation, 0, 0, 0, 2), pushTransform(kNoRotation, 0, 0, 0, 3), sphere(0, 0, 0, 1),
          instr(SdnaOp::Pop), instr(SdnaOp::Offset, {1}), instr(SdnaOp::Pop)},
         {12, 0, 0}, 4.0f, 0},
        // Rotation by 90 degrees about z, then translation (1, 0, 0): the
        // world point (1, 2, 0) lies at frame x = 2 (the rotation moves the
        // point by the conjugate), so a sphere at frame (2, 0, 0) contains it.
        {"TransformRotates",
         {pushTransform(test::axisAngle(0, 0, 1, 1.5707964f), 1, 0, 0, 1), sphere(2, 0, 0, 0.5f), instr(SdnaOp::Pop)},
         {1, 2, 0}, -0.5f, 0},
        {"ExperimentalLeavesStack", {sphere(0, 0, 0, 1, 2), instr(SdnaOp::Experimental)}, {3, 0, 0}, 2.0f, 2},
        {"RepeatLeavesStack", {sphere(0, 0, 0, 1, 2), instr(SdnaOp::Repeat, {5})}, {3, 0, 0}, 2.0f, 2},
    };
}

class OpcodeTable : public ::testing::TestWithParam<OpcodeCase> {};

TEST_P(OpcodeTable, ValueAndMaterial) {
    const OpcodeCase& c = GetParam();
    const SdnaProgram program = makeProgram(c.code);
    const SdnaSample s = evaluateProgram(program, c.point);
    EXPECT_NEAR(s.distance, c.distance, 1e-5f);
    EXPECT_EQ(s.material, c.material);
    // The gradient evaluator runs the same interpreter: identical value and material.
    const SdnaGradientSample g = evaluateGradient(program, seedPoint(c.point));
    EXPECT_EQ(g.distance, s.distance);
    EXPECT_EQ(g.material, s.material);
}

INSTANTIATE_TEST_SUITE_P(Sdna, OpcodeTable, ::testing::ValuesIn(opcodeCases()),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(SdnaEvaluator, PushBoneUsesPoseOrIdentity) {
    // Bone 1 posed at (5, 0, 0) with scale 2: the world point (9, 0, 0) lies at
    // bone-space (2, 0, 0), one unit outside a unit sphere, i.e. 2 world units.
    const SdnaProgram program = makeProgram({pushBone(1), sphere(0, 0, 0, 1), instr(SdnaOp::Pop)});
    std::vector<BonePose> poses(2);
    poses[1].position = {5, 0, 0};
    poses[1].scale = 2;
    poses[1].rotation = test::axisAngle(0, 1, 0, 0.7f);
    const std::array<float, 3> point{9, 0, 0};
    EXPECT_NEAR(evaluateProgram(program, point, poses.data(), poses.size()).distance, 2.0f, 1e-5f);
    // No pose at all, or a list that does not reach bone 1: the identity pose.
    EXPECT_NEAR(evaluateProgram(program, point, nullptr, 5).distance, 8.0f, 1e-6f);
    EXPECT_NEAR(evaluateProgram(program, point, poses.data(), 1).distance, 8.0f, 1e-6f);
}

TEST(SdnaEvaluator, QuaternionRotationConventions) {
    const auto q = test::axisAngle(0, 0, 1, 1.5707964f);  // +90 degrees about z
    const auto back = quatRotate(q, {0, 1, 0});
    EXPECT_NEAR(back[0], 1.0f, 1e-6f);
    EXPECT_NEAR(back[1], 0.0f, 1e-6f);
    const auto forward = quatRotateForward(q, {1, 0, 0});
    EXPECT_NEAR(forward[0], 0.0f, 1e-6f);
    EXPECT_NEAR(forward[1], 1.0f, 1e-6f);
}

// ---- culling table ----

struct CullingCase {
    const char* name;
    SdnaOp combinator;
    float k;
    std::array<float, 3> point;
    bool skipped;
};

// Sphere A at the origin (material 1) and a large sphere B at (6, 0, 0) of
// radius 5.5 (material 2) whose record claims a radius of only 1: when the
// record is used the result is A's; when the subtree runs, B wins the union.
TEST(SdnaEvaluator, CullingRecordSkipsOnlyWhenItCannotMatter) {
    const CullingCase cases[] = {
        // At (2.5, 0, 0): A = 1.5, the claimed sphere is 2.5 away: skipped.
        {"UnionFar", SdnaOp::Union, 0, {2.5f, 0, 0}, true},
        // At (3, 0, 0): A = 2, claimed L = 2 (>= 2): skipped.
        {"UnionAtLimit", SdnaOp::Union, 0, {3, 0, 0}, true},
        // At (3.5, 0, 0): A = 2.5 > L = 1.5: evaluated.
        {"UnionNear", SdnaOp::Union, 0, {3.5f, 0, 0}, false},
        // SmoothUnion slack: A = 2, L = 2, k = 0.5 needs L >= 2.5: evaluated.
        {"SmoothSlack", SdnaOp::SmoothUnion, 0.5f, {3, 0, 0}, false},
        // Subtract compares with -A: A = 1.5 gives a limit of -1.5 < L = 2.5.
        {"SubtractFar", SdnaOp::Subtract, 0, {2.5f, 0, 0}, true},
        // Inside the claimed sphere L <= 0: never skipped.
        {"InsideSphere", SdnaOp::Union, 0, {6.5f, 0, 0}, false},
    };
    for (const CullingCase& c : cases) {
        SCOPED_TRACE(c.name);
        const SdnaProgram program = makeProgram(
            {sphere(0, 0, 0, 1, 1), sphere(6, 0, 0, 5.5f, 2), instr(c.combinator, {c.k})});
        ProgramBounds bounds;
        bounds.recordOf = {-1, 0, -1};
        BoundRecord rec;
        rec.end = 3;
        rec.subtract = c.combinator == SdnaOp::Subtract;
        rec.slack = c.k;
        rec.centre = {6, 0, 0};
        rec.radius = 1;
        bounds.records.push_back(rec);
        const SdnaSample full = evaluateProgram(program, c.point);
        const SdnaSample culled = evaluateProgram(program, c.point, nullptr, 0, &bounds);
        const SdnaSample onlyA = evaluateProgram(makeProgram({sphere(0, 0, 0, 1, 1)}), c.point);
        if (c.skipped) {
            ASSERT_EQ(full.material, 2);  // the skip is visible in the result
            EXPECT_EQ(culled.distance, onlyA.distance);
            EXPECT_EQ(culled.material, 1);
        } else {
            EXPECT_EQ(culled.distance, full.distance);
            EXPECT_EQ(culled.material, full.material);
        }
        // The gradient evaluator applies the same test.
        const SdnaGradientSample g = evaluateGradient(program, seedPoint(c.point), nullptr, 0, &bounds);
        EXPECT_EQ(g.distance, culled.distance);
    }
}

// Entries of a table filled by hand that name no held record, or a record
// that would jump back, are not records: every evaluator gives the full
// program's result where a sound record would have skipped the subtree,
// instead of reading past the list or starting over for ever.
TEST(SdnaEvaluator, CullingEntriesThatAreNoRecordAreIgnored) {
    const SdnaProgram program =
        makeProgram({sphere(0, 0, 0, 1, 1), sphere(6, 0, 0, 5.5f, 2), instr(SdnaOp::Union)});
    BoundRecord far;  // would skip the second sphere at (2.5, 0, 0)
    far.end = 3;
    far.centre = {6, 0, 0};
    far.radius = 1;
    BoundRecord back = far;
    back.end = 0;
    BoundRecord still = far;
    still.end = 1;
    const struct {
        const char* name;
        std::vector<std::int32_t> recordOf;
        std::vector<BoundRecord> records;
    } cases[] = {
        {"no records held", {-1, 0, -1}, {}},
        {"index past the list", {-1, 1, -1}, {far}},
        {"jumps back to the start", {-1, 0, -1}, {back}},
        {"jumps to itself", {-1, 0, -1}, {still}},
    };
    const std::array<float, 3> point{2.5f, 0, 0};
    const SdnaSample full = evaluateProgram(program, point);
    ASSERT_EQ(full.material, 2);
    const SdnaGradientSample fullGradient = evaluateGradient(program, seedPoint(point), nullptr, 0, nullptr);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ProgramBounds bounds;
        bounds.recordOf = c.recordOf;
        bounds.records = c.records;
        const SdnaSample culled = evaluateProgram(program, point, nullptr, 0, &bounds);
        EXPECT_EQ(culled.distance, full.distance);
        EXPECT_EQ(culled.material, full.material);
        const SdnaGradientSample g = evaluateGradient(program, seedPoint(point), nullptr, 0, &bounds);
        EXPECT_EQ(g.distance, fullGradient.distance);
        EXPECT_EQ(g.gradient, fullGradient.gradient);
        const std::array<double, 3> pointDouble{2.5, 0, 0};
        EXPECT_EQ(evaluateProgramDouble(program, pointDouble, nullptr, 0, &bounds).material, full.material);
    }
}

TEST(SdnaEvaluator, CullingRecordInBoneSpaceUsesPoseAndScale) {
    // The record's sphere is given in bone 0's space; the bone is moved to
    // (10, 0, 0) with scale 2, so the claimed sphere (radius 1) spans 8..12 in x.
    const SdnaProgram program =
        makeProgram({sphere(0, 0, 0, 1, 1), pushBone(0), sphere(0, 0, 0, 4.6f, 2), instr(SdnaOp::Pop),
                     instr(SdnaOp::Union)});
    std::vector<BonePose> pose(1);
    pose[0].position = {10, 0, 0};
    pose[0].scale = 2;
    ProgramBounds bounds;
    bounds.recordOf = {-1, 0, -1, -1, -1};
    BoundRecord rec;
    rec.end = 5;
    rec.bone = 0;
    rec.centre = {0, 0, 0};
    rec.radius = 1;
    bounds.records.push_back(rec);
    // At (5, 0, 0): A = 4; bone-space distance (2.5 - 1) * 2 = 3 < 4: evaluated,
    // the true sphere (radius 6 world) wins with material 2.
    EXPECT_EQ(evaluateProgram(program, {5, 0, 0}, pose.data(), 1, &bounds).material, 2);
    // At (2, 0, 0): A = 1; L = (4 - 1) * 2 = 6 >= 1: skipped, although the
    // true subtree (-1.2) would win.
    EXPECT_EQ(evaluateProgram(program, {2, 0, 0}, pose.data(), 1).material, 2);
    EXPECT_EQ(evaluateProgram(program, {2, 0, 0}, pose.data(), 1, &bounds).material, 1);
    // Without the pose the bone sits at the origin: the claimed sphere contains the point.
    EXPECT_EQ(evaluateProgram(program, {0.5f, 0, 0}, nullptr, 0, &bounds).material, 2);
}

// ---- gradients ----

// Central differences of the double-precision evaluator with two step
// sizes; a point whose two estimates disagree lies near a crease and is skipped.
bool finiteDifference(const SdnaProgram& program, const std::array<float, 3>& p,
                      const std::vector<BonePose>& pose, std::array<double, 3>& out) {
    for (int axis = 0; axis < 3; ++axis) {
        double estimate[2];
        const double steps[2] = {1e-4, 5e-5};
        for (int s = 0; s < 2; ++s) {
            std::array<double, 3> lo{p[0], p[1], p[2]};
            std::array<double, 3> hi = lo;
            lo[axis] -= steps[s];
            hi[axis] += steps[s];
            estimate[s] = (evaluateProgramDouble(program, hi, pose.data(), pose.size()).distance -
                           evaluateProgramDouble(program, lo, pose.data(), pose.size()).distance) /
                          (2 * steps[s]);
        }
        if (std::fabs(estimate[0] - estimate[1]) > 1e-4) return false;
        out[axis] = estimate[1];
    }
    return true;
}

TEST(SdnaGradient, MatchesFiniteDifferencesOnRandomPrograms) {
    int checked = 0;
    int total = 0;
    for (std::uint32_t seed = 1; seed <= 60; ++seed) {
        test::RandomProgramMaker maker(seed);
        const SdnaProgram program = maker.make(1 + static_cast<int>(seed % 5));
        const std::vector<BonePose> pose = maker.poses(4);
        for (int i = 0; i < 40; ++i) {
            const auto p = maker.point(2.5f);
            std::array<double, 3> reference;
            ++total;
            if (!finiteDifference(program, p, pose, reference)) continue;
            ++checked;
            const SdnaGradientSample g = evaluateGradient(program, seedPoint(p), pose.data(), pose.size());
            for (int axis = 0; axis < 3; ++axis) {
                ASSERT_NEAR(g.gradient[axis], reference[axis], 2e-3 * (1 + std::fabs(reference[axis])))
                    << "seed " << seed << " point " << p[0] << " " << p[1] << " " << p[2] << " axis " << axis;
            }
        }
    }
    // Creases are rare: nearly all points must have been compared.
    EXPECT_GT(checked, total * 9 / 10);
}

TEST(SdnaGradient, ValueAndMaterialEqualPointEvaluation) {
    for (std::uint32_t seed = 100; seed < 130; ++seed) {
        test::RandomProgramMaker maker(seed);
        const SdnaProgram program = maker.make(5);
        const std::vector<BonePose> pose = maker.poses(3);
        for (int i = 0; i < 20; ++i) {
            const auto p = maker.point(3.0f);
            const SdnaSample s = evaluateProgram(program, p, pose.data(), pose.size());
            const SdnaGradientSample g = evaluateGradient(program, seedPoint(p), pose.data(), pose.size());
            ASSERT_EQ(g.distance, s.distance) << "seed " << seed;
            ASSERT_EQ(g.material, s.material) << "seed " << seed;
            const SdnaSampleDouble d = evaluateProgramDouble(program, {p[0], p[1], p[2]}, pose.data(), pose.size());
            ASSERT_NEAR(d.distance, s.distance, 1e-4 * (1 + std::fabs(d.distance))) << "seed " << seed;
        }
    }
}

TEST(SdnaGradient, SeedDerivativeIsCarriedThrough) {
    // A seed of 2 * identity doubles every derivative.
    test::RandomProgramMaker maker(7);
    const SdnaProgram program = maker.make(4);
    const std::array<float, 3> p{0.3f, -0.2f, 0.4f};
    const SdnaGradientSample unit = evaluateGradient(program, seedPoint(p));
    const std::array<SdnaDual, 3> doubled{SdnaDual(p[0], 2, 0, 0), SdnaDual(p[1], 0, 2, 0),
                                          SdnaDual(p[2], 0, 0, 2)};
    const SdnaGradientSample twice = evaluateGradient(program, doubled);
    for (int axis = 0; axis < 3; ++axis) EXPECT_NEAR(twice.gradient[axis], 2 * unit.gradient[axis], 1e-5f);
}

// At an exact tie of two unit spheres centred at (-1, 0, 0) and (1, 0, 0) the
// point (0, 1, 0) is sqrt(2) - 1 from both; their gradients differ in x.
TEST(SdnaGradient, CreasesFollowTheValueBranch) {
    const float ga = std::sqrt(0.5f);  // a's gradient: (+ga, ga, 0); b's: (-ga, ga, 0)
    struct Crease {
        const char* name;
        SdnaInstruction op;
        float gradientX;
    };
    const Crease creases[] = {
        {"UnionTakesA", instr(SdnaOp::Union), ga},
        {"IntersectTakesA", instr(SdnaOp::Intersect), ga},
        {"SmoothKZeroTakesA", instr(SdnaOp::SmoothUnion, {0}), ga},
        {"SmoothTakesBWithoutBlendTerm", instr(SdnaOp::SmoothUnion, {0.5f}), -ga},
    };
    for (const Crease& c : creases) {
        SCOPED_TRACE(c.name);
        const SdnaProgram program = makeProgram({sphere(-1, 0, 0, 1, 1), sphere(1, 0, 0, 1, 2), c.op});
        const SdnaGradientSample g = evaluateGradient(program, seedPoint({0, 1, 0}));
        EXPECT_NEAR(g.gradient[0], c.gradientX, 1e-6f);
        EXPECT_NEAR(g.gradient[1], ga, 1e-6f);
    }
    // Subtract at a tie (-b == a, here at b's centre, where -b's gradient
    // would be 0) keeps a's gradient; where -b is larger it takes -b's.
    const SdnaProgram tie = makeProgram({sphere(3, 0, 0, 1, 1), sphere(0, 0, 0, 2, 2), instr(SdnaOp::Subtract)});
    EXPECT_NEAR(evaluateGradient(tie, seedPoint({0, 0, 0})).gradient[0], -1.0f, 1e-6f);
    const SdnaProgram cut = makeProgram({sphere(3, 0, 0, 1, 1), sphere(0, 0, 0, 2.5f, 2), instr(SdnaOp::Subtract)});
    const SdnaGradientSample inCut = evaluateGradient(cut, seedPoint({2, 0.5f, 0}));
    EXPECT_EQ(inCut.material, 2);
    EXPECT_NEAR(inCut.gradient[1], -0.5f / std::sqrt(4.25f), 1e-6f);
    // Onion negates the gradient only where the value is negative.
    const SdnaProgram onion = makeProgram({sphere(0, 0, 0, 1), instr(SdnaOp::Onion, {0.1f})});
    EXPECT_NEAR(evaluateGradient(onion, seedPoint({0.5f, 0, 0})).gradient[0], -1.0f, 1e-6f);
    EXPECT_NEAR(evaluateGradient(onion, seedPoint({1.0f, 0, 0})).gradient[0], 1.0f, 1e-6f);
    // The length of a zero vector has derivative 0 (sphere centre).
    const SdnaGradientSample centre = evaluateGradient(makeProgram({sphere(0, 0, 0, 1)}), seedPoint({0, 0, 0}));
    EXPECT_EQ(centre.gradient, (std::array<float, 3>{0, 0, 0}));
}

TEST(SdnaGradient, SmoothUnionBlendTerm) {
    // Gradient of the smaller operand plus (h/2) sign(a - b) (grad a - grad b).
    const SdnaProgram program =
        makeProgram({sphere(-1, 0, 0, 1, 1), sphere(1, 0, 0, 1, 2), instr(SdnaOp::SmoothUnion, {0.5f})});
    const std::array<float, 3> p{0.05f, 1.0f, 0.0f};
    const SdnaGradientSample g = evaluateGradient(program, seedPoint(p));
    const float la = std::sqrt(1.05f * 1.05f + 1.0f), lb = std::sqrt(0.95f * 0.95f + 1.0f);
    const float a = la - 1, b = lb - 1;
    const float h = std::max(0.5f - std::fabs(a - b), 0.0f) / 0.5f;
    ASSERT_GT(h, 0.0f);
    const std::array<float, 3> gradA{1.05f / la, 1.0f / la, 0}, gradB{-0.95f / lb, 1.0f / lb, 0};
    for (int axis = 0; axis < 2; ++axis) {
        const float expected = gradB[axis] + 0.5f * h * 1.0f * (gradA[axis] - gradB[axis]);
        EXPECT_NEAR(g.gradient[axis], expected, 1e-5f);
    }
}

}  // namespace
}  // namespace qlmr
