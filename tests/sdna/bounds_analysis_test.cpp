// Culling table: the records that the analysis makes for small programs, and,
// on seeded random programs, that a record's sphere really bounds its subtree
// and that evaluating with the table never changes a value.
#include "sdna/bounds_analysis.h"

#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "sdna/critter.h"
#include "sdna/evaluator.h"
#include "sdna/random_program.h"
#include "sdna/validator.h"
#include "sdna_test_programs.h"

namespace qlmr {
namespace {

using Vec3 = std::array<float, 3>;
using test::instr;
using test::makeProgram;
using test::sphere;

BoundSphere ball(Vec3 centre, float radius, float scale = 1.0f) {
    return BoundSphere{true, centre, radius, scale};
}

TEST(SdnaUnionBounds, EnclosesBothSpheres) {
    struct Case {
        const char* name;
        BoundSphere a, b, expected;
    };
    const Case cases[] = {
        {"concentric keeps the larger", ball({1, 1, 1}, 1), ball({1, 1, 1}, 2), ball({1, 1, 1}, 2)},
        {"first contains second", ball({0, 0, 0}, 3, 0.5f), ball({1, 0, 0}, 1, 0.25f),
         ball({0, 0, 0}, 3, 0.25f)},
        {"apart: halfway between", ball({0, 0, 0}, 1), ball({4, 0, 0}, 1), ball({2, 0, 0}, 3)},
        {"apart, unequal", ball({0, 0, 0}, 1, 0.5f), ball({0, 6, 0}, 3), ball({0, 4, 0}, 5, 0.5f)},
        {"first unbounded", BoundSphere{}, ball({0, 0, 0}, 1), BoundSphere{}},
        {"second unbounded", ball({0, 0, 0}, 1), BoundSphere{}, BoundSphere{}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const BoundSphere u = unionBounds(c.a, c.b);
        ASSERT_EQ(u.bounded, c.expected.bounded);
        if (!u.bounded) continue;
        for (int axis = 0; axis < 3; ++axis) EXPECT_NEAR(u.centre[axis], c.expected.centre[axis], 1e-6f);
        EXPECT_NEAR(u.radius, c.expected.radius, 1e-6f);
        EXPECT_EQ(u.scale, c.expected.scale);
        // The result contains both inputs.
        for (const BoundSphere* s : {&c.a, &c.b}) {
            const float d = std::hypot(s->centre[0] - u.centre[0], s->centre[1] - u.centre[1],
                                       s->centre[2] - u.centre[2]);
            EXPECT_LE(d + s->radius, u.radius + 1e-5f);
        }
    }
}

// A record as the analysis should make it, before the rounding allowance is
// added to the radius.
struct ExpectedRecord {
    std::int32_t at;  // instruction where the subtree starts
    std::uint32_t end;
    std::uint32_t bone = kSdnaNoBone;
    bool subtract = false;
    float slack = 0.0f;
    Vec3 centre{};
    float radius = 0.0f;
    float scale = 1.0f;
};

SdnaInstruction pushTransform(std::array<float, 4> q, Vec3 t, float s) {
    return test::pushTransform(q, t[0], t[1], t[2], s);
}

TEST(SdnaBoundsAnalysis, RecordsOfSmallPrograms) {
    const auto identity = std::array<float, 4>{0, 0, 0, 1};
    const auto quarterZ = test::axisAngle(0, 0, 1, 1.57079632679f);
    const SdnaInstruction pop = instr(SdnaOp::Pop);
    const SdnaInstruction unite = instr(SdnaOp::Union);
    struct Case {
        const char* name;
        std::vector<SdnaInstruction> code;
        std::uint32_t minLength;
        std::vector<ExpectedRecord> records;
    };
    const std::vector<Case> cases = {
        {"one primitive", {sphere(0, 0, 0, 1)}, 1, {}},
        {"short subtree below the minimum", {sphere(0, 0, 0, 1), sphere(2, 0, 0, 1), unite}, 3, {}},
        {"union of two spheres", {sphere(0, 0, 0, 1), sphere(2, 0, 0, 0.5f), unite}, 1,
         {{1, 3, kSdnaNoBone, false, 0, {2, 0, 0}, 0.5f}}},
        {"subtree exactly the minimum long",
         {sphere(0, 0, 0, 1), sphere(2, 0, 0, 1), sphere(3, 0, 0, 1), unite, unite}, 3,
         {{1, 5, kSdnaNoBone, false, 0, {2.5f, 0, 0}, 1.5f}}},
        {"plane operand is unbounded",
         {sphere(0, 0, 0, 1), instr(SdnaOp::Plane, {0, 1, 0, 0}), unite}, 1, {}},
        {"intersect operands get no record",
         {sphere(0, 0, 0, 1), sphere(0.5f, 0, 0, 1), instr(SdnaOp::Intersect)}, 1, {}},
        {"intersect keeps the smaller sphere",
         {sphere(0, 0, 0, 5), sphere(10, 0, 0, 3), sphere(10, 1, 0, 1), instr(SdnaOp::Intersect), unite},
         1, {{1, 5, kSdnaNoBone, false, 0, {10, 1, 0}, 1}}},
        {"intersect with an unbounded left takes the right",
         {sphere(0, 0, 0, 5), instr(SdnaOp::Plane, {1, 0, 0, 2}), sphere(10, 0, 0, 2),
          instr(SdnaOp::Intersect), unite},
         1, {{1, 5, kSdnaNoBone, false, 0, {10, 0, 0}, 2}}},
        {"smooth union: slack and grown sphere",
         {sphere(0, 0, 0, 1), sphere(0, 0, 0, 1), sphere(4, 0, 0, 1), instr(SdnaOp::SmoothUnion, {0.4f}),
          instr(SdnaOp::SmoothUnion, {0.2f})},
         1,
         {{2, 4, kSdnaNoBone, false, 0.4f, {4, 0, 0}, 1},
          {1, 5, kSdnaNoBone, false, 0.2f, {2, 0, 0}, 3.1f}}},
        {"negative blend has no slack",
         {sphere(0, 0, 0, 1), sphere(3, 0, 0, 1), instr(SdnaOp::SmoothUnion, {-0.5f})}, 1,
         {{1, 3, kSdnaNoBone, false, 0, {3, 0, 0}, 1}}},
        {"subtract marks its record",
         {sphere(0, 0, 0, 1), sphere(0.5f, 0, 0, 0.5f), instr(SdnaOp::Subtract)}, 1,
         {{1, 3, kSdnaNoBone, true, 0, {0.5f, 0, 0}, 0.5f}}},
        {"primitive spheres",
         {sphere(0, 0, 0, 1), instr(SdnaOp::Capsule, {0, 0, 0, 2, 0, 0, 0.25f}), unite,
          instr(SdnaOp::TaperedCapsule, {0, 0, 0, 0.1f, 0, 4, 0, 0.5f}), unite,
          instr(SdnaOp::Box, {1, 1, 1, 1, 2, 2, 0.5f}), unite,
          instr(SdnaOp::Ellipsoid, {0, 0, 3, 1, 2, 4}), unite},
         1,
         {{1, 3, kSdnaNoBone, false, 0, {1, 0, 0}, 1.25f},
          {3, 5, kSdnaNoBone, false, 0, {0, 2, 0}, 2.5f},
          {5, 7, kSdnaNoBone, false, 0, {1, 1, 1}, 3.5f},
          {7, 9, kSdnaNoBone, false, 0, {0, 0, 3}, 4, 0.25f}}},
        {"offset grows by amount over scale; onion too; negative offset does not",
         {sphere(0, 0, 0, 1), instr(SdnaOp::Ellipsoid, {0, 0, 0, 1, 2, 4}), instr(SdnaOp::Offset, {0.5f}),
          unite, sphere(5, 0, 0, 1), instr(SdnaOp::Onion, {0.25f}), unite, sphere(9, 0, 0, 1),
          instr(SdnaOp::Offset, {-0.5f}), unite},
         1,
         {{1, 4, kSdnaNoBone, false, 0, {0, 0, 0}, 6, 0.25f},
          {4, 7, kSdnaNoBone, false, 0, {5, 0, 0}, 1.25f},
          {7, 10, kSdnaNoBone, false, 0, {9, 0, 0}, 1}}},
        {"rigid frame moves the sphere out",
         {sphere(0, 0, 0, 1), pushTransform(quarterZ, {5, 0, 0}, 2), sphere(1, 0, 0, 0.5f), pop, unite}, 1,
         {{1, 5, kSdnaNoBone, false, 0, {5, 2, 0}, 1}}},
        {"bone subtree is tested in bone space and its union is unbounded",
         {sphere(0, 0, 0, 1), sphere(3, 0, 0, 1), test::pushBone(2), sphere(1, 0, 0, 0.5f), pop, unite,
          unite},
         1, {{2, 6, 2, false, 0, {1, 0, 0}, 0.5f}}},
        {"bone subtree inside a rigid frame is not tested in bone space",
         {sphere(0, 0, 0, 1), pushTransform(identity, {1, 0, 0}, 1), test::pushBone(0),
          sphere(0, 0, 0, 0.5f), pop, pop, unite},
         1, {}},
        {"growing offset around a bone subtree drops its bone sphere",
         {sphere(0, 0, 0, 1), test::pushBone(0), sphere(0, 0, 0, 0.5f), pop, instr(SdnaOp::Offset, {0.2f}),
          unite},
         1, {}},
        {"shrinking offset around a bone subtree keeps its bone sphere",
         {sphere(0, 0, 0, 1), test::pushBone(1), sphere(0, 0, 0, 0.5f), pop, instr(SdnaOp::Offset, {-0.2f}),
          unite},
         1, {{1, 6, 1, false, 0, {0, 0, 0}, 0.5f}}},
    };

    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const SdnaProgram program = makeProgram(c.code);
        std::string error;
        ASSERT_TRUE(validateProgram(program, error)) << error;
        const ProgramBounds bounds = analyzeProgramBounds(program, c.minLength);
        ASSERT_EQ(bounds.recordOf.size(), program.instructions.size());
        ASSERT_EQ(bounds.records.size(), c.records.size());
        std::vector<std::int32_t> expectedRecordOf(program.instructions.size(), -1);
        for (std::size_t r = 0; r < c.records.size(); ++r) {
            const ExpectedRecord& e = c.records[r];
            expectedRecordOf[static_cast<std::size_t>(e.at)] = static_cast<std::int32_t>(r);
            const BoundRecord& got = bounds.records[r];
            SCOPED_TRACE("record " + std::to_string(r));
            EXPECT_EQ(got.end, e.end);
            EXPECT_EQ(got.bone, e.bone);
            EXPECT_EQ(got.subtract, e.subtract);
            EXPECT_FLOAT_EQ(got.slack, e.slack);
            for (int axis = 0; axis < 3; ++axis) EXPECT_NEAR(got.centre[axis], e.centre[axis], 1e-5f);
            const float centreLength = std::hypot(e.centre[0], e.centre[1], e.centre[2]);
            EXPECT_NEAR(got.radius, e.radius + 0.0001f * (centreLength + 1 + e.radius), 1e-5f);
            EXPECT_FLOAT_EQ(got.scale, e.scale);
        }
        EXPECT_EQ(bounds.recordOf, expectedRecordOf);
    }
}

// --- Seeded random programs -------------------------------------------------

struct Subject {
    std::string name;
    SdnaProgram program;
    std::vector<BonePose> pose;
};

std::vector<Subject> randomSubjects() {
    std::vector<Subject> subjects;
    for (std::uint32_t seed = 0; seed < 160; ++seed) {
        RandomProgram r = randomProgram(seed);
        subjects.push_back({"randomProgram " + std::to_string(seed), std::move(r.program), std::move(r.pose)});
    }
    // Deeper programs with frames around frames and unary operators after
    // bone frames, which the corpus generator does not make.
    for (std::uint32_t seed = 0; seed < 40; ++seed) {
        test::RandomProgramMaker maker(seed);
        SdnaProgram program = maker.make(5);
        std::vector<BonePose> pose = maker.poses(4);
        subjects.push_back({"maker " + std::to_string(seed), std::move(program), std::move(pose)});
    }
    // A bone subtree wrapped in growing unary operators and further frames,
    // as the right operand of each culled combinator.
    for (std::uint32_t seed = 0; seed < 60; ++seed) {
        test::RandomProgramMaker maker(1000 + seed);
        std::vector<SdnaInstruction> part{
            test::pushBone(static_cast<std::uint32_t>(maker.pick(4))),
            test::sphere(maker.uniform(-1, 1), maker.uniform(-1, 1), 0, maker.uniform(0.2f, 0.6f)),
            test::instr(SdnaOp::Pop)};
        for (int layer = maker.pick(3) + 1; layer > 0; --layer) {
            switch (maker.pick(4)) {
            case 0: part.push_back(test::instr(SdnaOp::Offset, {maker.uniform(0.05f, 0.5f)})); break;
            case 1: part.push_back(test::instr(SdnaOp::Onion, {maker.uniform(0.05f, 0.5f)})); break;
            default: {
                const auto t = maker.point(1.0f);
                const SdnaInstruction push =
                    maker.pick(2) == 0 ? test::pushTransform(maker.unitQuaternion(), t[0], t[1], t[2],
                                                             maker.uniform(0.5f, 2.0f))
                                       : test::pushBone(static_cast<std::uint32_t>(maker.pick(4)));
                part.insert(part.begin(), push);
                part.push_back(test::instr(SdnaOp::Pop));
                break;
            }
            }
        }
        std::vector<SdnaInstruction> code{test::sphere(0, 0, 0, 0.5f)};
        code.insert(code.end(), part.begin(), part.end());
        static constexpr SdnaOp kCulled[] = {SdnaOp::Union, SdnaOp::SmoothUnion, SdnaOp::Subtract};
        code.push_back(test::instr(kCulled[maker.pick(3)], {0.1f}));
        subjects.push_back(
            {"wrapped bone " + std::to_string(seed), makeProgram(std::move(code)), maker.poses(4)});
    }
    // Frame and pose quaternions anywhere in the range the validator accepts,
    // not just of unit length.
    for (std::uint32_t seed = 0; seed < 60; ++seed) {
        test::RandomProgramMaker maker(2000 + seed, true);
        SdnaProgram program = maker.make(5);
        std::vector<BonePose> pose = maker.poses(4);
        subjects.push_back({"near-unit maker " + std::to_string(seed), std::move(program), std::move(pose)});
    }
    subjects.push_back({"critter", buildCritter(true), critterPose(4, 0.4f)});
    return subjects;
}

Vec3 randomPoint(std::mt19937& rng, float range) {
    std::uniform_real_distribution<float> d(-range, range);
    const float x = d(rng);
    const float y = d(rng);
    const float z = d(rng);
    return {x, y, z};
}

// The point of the innermost frame when instruction `index` runs, found by
// running the frame instructions before it.
Vec3 framePointAt(const SdnaProgram& program, std::size_t index, const Vec3& point,
                  const std::vector<BonePose>& pose) {
    std::vector<Vec3> frames{point};
    for (std::size_t i = 0; i < index; ++i) {
        const SdnaInstruction& ins = program.instructions[i];
        const Vec3& x = frames.back();
        if (ins.op == SdnaOp::PushTransform) {
            const Vec3 r = quatRotate({ins.p[0], ins.p[1], ins.p[2], ins.p[3]},
                                      {x[0] - ins.p[4], x[1] - ins.p[5], x[2] - ins.p[6]});
            const float inverse = 1.0f / ins.p[7];
            frames.push_back({r[0] * inverse, r[1] * inverse, r[2] * inverse});
        } else if (ins.op == SdnaOp::PushBone) {
            const BonePose bp = ins.bone < pose.size() ? pose[ins.bone] : BonePose{};
            const Vec3 r = quatRotate(bp.rotation, {x[0] - bp.position[0], x[1] - bp.position[1],
                                                    x[2] - bp.position[2]});
            const float inverse = 1.0f / bp.scale;
            frames.push_back({r[0] * inverse, r[1] * inverse, r[2] * inverse});
        } else if (ins.op == SdnaOp::Pop) {
            frames.pop_back();
        }
    }
    return frames.back();
}

// The lower bound a record claims at a frame point, computed as written:
// the point in the record's space, its distance to the sphere, the factors.
float claimedLowerBound(const BoundRecord& record, const Vec3& framePoint,
                        const std::vector<BonePose>& pose) {
    double w = 1.0;
    Vec3 p = framePoint;
    if (record.bone != kSdnaNoBone) {
        const BonePose bp = record.bone < pose.size() ? pose[record.bone] : BonePose{};
        const Vec3 r = quatRotate(bp.rotation, {p[0] - bp.position[0], p[1] - bp.position[1],
                                                p[2] - bp.position[2]});
        const float inverse = 1.0f / bp.scale;
        p = {r[0] * inverse, r[1] * inverse, r[2] * inverse};
        w = bp.scale;
    }
    const double d = std::sqrt(double(p[0] - record.centre[0]) * (p[0] - record.centre[0]) +
                               double(p[1] - record.centre[1]) * (p[1] - record.centre[1]) +
                               double(p[2] - record.centre[2]) * (p[2] - record.centre[2]));
    return static_cast<float>((d - record.radius) * (w * record.scale));
}

// Every record's subtree, evaluated on its own at the frame point where the
// record is tested, is at least the record's lower bound wherever that bound
// is positive: the claim that makes skipping the subtree safe. The radius
// allowance is sized by the sphere, not by the point, so far from a small
// sphere (frames of scale 0.01 put points 10^4 units away) the two sides may
// still differ by the rounding of a float distance: a few parts in 10^7.
TEST(SdnaBoundsAnalysis, RecordSpheresBoundTheirSubtrees) {
    std::mt19937 rng(7);
    std::uint64_t claims = 0;
    for (const Subject& s : randomSubjects()) {
        SCOPED_TRACE(s.name);
        std::string invalid;
        ASSERT_TRUE(validateProgram(s.program, invalid)) << invalid;
        const ProgramBounds bounds = analyzeProgramBounds(s.program, 1);
        for (std::size_t start = 0; start < bounds.recordOf.size(); ++start) {
            if (bounds.recordOf[start] < 0) continue;
            const BoundRecord& record = bounds.records[static_cast<std::size_t>(bounds.recordOf[start])];
            ASSERT_GT(record.end, start + 1);
            // The subtree alone (without its combinator) is a program of its own.
            SdnaProgram subtree = s.program;
            subtree.instructions.assign(s.program.instructions.begin() + static_cast<std::ptrdiff_t>(start),
                                        s.program.instructions.begin() + (record.end - 1));
            std::string error;
            ASSERT_TRUE(validateProgram(subtree, error)) << "record at " << start << ": " << error;
            for (int k = 0; k < 40; ++k) {
                const Vec3 point = randomPoint(rng, 3.0f);
                const Vec3 framePoint = framePointAt(s.program, start, point, s.pose);
                const float lower = claimedLowerBound(record, framePoint, s.pose);
                if (!(lower > 0.0f)) continue;
                ++claims;
                const float value =
                    evaluateProgram(subtree, framePoint, s.pose.data(), s.pose.size()).distance;
                ASSERT_GE(value, lower - 1e-6f * lower) << "record at " << start << ", point " << point[0] << " "
                                        << point[1] << " " << point[2];
            }
        }
    }
    EXPECT_GT(claims, 10000u);  // the check must have had something to check
}

// With the table, point and gradient evaluation give bit for bit the value,
// gradient and material they give without, for any minimum subtree length, pose and point.
TEST(SdnaBoundsAnalysis, CullingNeverChangesTheValue) {
    std::mt19937 rng(11);
    std::uint64_t records = 0;
    for (const Subject& s : randomSubjects()) {
        SCOPED_TRACE(s.name);
        std::string invalid;
        ASSERT_TRUE(validateProgram(s.program, invalid)) << invalid;
        for (std::uint32_t minLength : {1u, 3u}) {
            const ProgramBounds bounds = analyzeProgramBounds(s.program, minLength);
            records += bounds.records.size();
            for (int k = 0; k < 300; ++k) {
                const Vec3 point = randomPoint(rng, 3.0f);
                const SdnaSample plain = evaluateProgram(s.program, point, s.pose.data(), s.pose.size());
                const SdnaSample culled =
                    evaluateProgram(s.program, point, s.pose.data(), s.pose.size(), &bounds);
                ASSERT_EQ(culled.distance, plain.distance)
                    << "min length " << minLength << ", point " << point[0] << " " << point[1] << " "
                    << point[2];
                ASSERT_EQ(culled.material, plain.material);

                const std::array<SdnaDual, 3> seeded = seedPoint(point);
                const SdnaGradientSample plainGradient =
                    evaluateGradient(s.program, seeded, s.pose.data(), s.pose.size());
                const SdnaGradientSample culledGradient =
                    evaluateGradient(s.program, seeded, s.pose.data(), s.pose.size(), &bounds);
                ASSERT_EQ(culledGradient.distance, plainGradient.distance);
                ASSERT_EQ(culledGradient.gradient, plainGradient.gradient);
                ASSERT_EQ(culledGradient.material, plainGradient.material);
            }
        }
    }
    EXPECT_GT(records, 500u);
}

// A rigid frame whose quaternion is as far from unit length as the validator
// allows: its frame map is then no rotation (it shrinks or stretches, and the
// forward rotation that places the record's sphere is not its inverse), yet
// the record placed around it must still never skip a subtree that matters.
// The frame turns half a revolution and holds two spheres far from its
// origin; the left operand lies beyond them, so the points where the two
// operands are about equally near sit on the side the frame map moves the
// spheres towards.
TEST(SdnaBoundsAnalysis, NearUnitFrameQuaternionStillCullsSafely) {
    for (const float squaredLength : {0.9981f, 1.0019f}) {
        SCOPED_TRACE(squaredLength);
        const float w = std::sqrt(squaredLength);
        const SdnaProgram program = makeProgram({
            sphere(-4.0f, 0.0f, 0.0f, 0.5f),
            test::pushTransform({0.0f, w, 0.0f, 0.0f}, 0.0f, 0.0f, 0.0f, 1.0f),
            sphere(2.0f, 0.0f, 0.0f, 0.2f),
            sphere(2.3f, 0.1f, 0.0f, 0.2f),
            instr(SdnaOp::Union),
            instr(SdnaOp::Pop),
            instr(SdnaOp::Union),
        });
        std::string invalid;
        ASSERT_TRUE(validateProgram(program, invalid)) << invalid;
        const ProgramBounds bounds = analyzeProgramBounds(program, 3);
        ASSERT_EQ(bounds.recordOf[1], 0);  // the frame is culled as one subtree
        std::uint64_t mismatches = 0;
        std::uint64_t points = 0;
        for (float x = -4.0f; x <= -1.0f; x += 0.01f) {
            for (float y = -1.0f; y <= 1.0f; y += 0.05f) {
                for (float z = -1.0f; z <= 1.0f; z += 0.05f) {
                    const Vec3 point{x, y, z};
                    const SdnaSample plain = evaluateProgram(program, point);
                    const SdnaSample culled = evaluateProgram(program, point, nullptr, 0, &bounds);
                    ++points;
                    if (culled.distance != plain.distance || culled.material != plain.material) ++mismatches;
                }
            }
        }
        EXPECT_EQ(mismatches, 0u) << "of " << points << " points";
    }
}

// The critter as it is placed: every leg and the head get a record, so a
// ray far from a leg skips it.
TEST(SdnaBoundsAnalysis, CritterLegsAndHeadAreCulled) {
    const SdnaProgram critter = buildCritter(false);
    const ProgramBounds bounds = analyzeProgramBounds(critter, 3);
    std::vector<std::uint32_t> boneRecords;
    for (const BoundRecord& r : bounds.records) {
        if (r.bone != kSdnaNoBone) boneRecords.push_back(r.bone);
    }
    EXPECT_EQ(boneRecords, (std::vector<std::uint32_t>{0, 1, 2, 3}));
    // The head frame (PushTransform at instruction 5) is one subtree.
    ASSERT_GE(bounds.recordOf[5], 0);
    const BoundRecord& head = bounds.records[static_cast<std::size_t>(bounds.recordOf[5])];
    EXPECT_EQ(head.end, 21u);
    EXPECT_EQ(head.bone, kSdnaNoBone);
    EXPECT_FLOAT_EQ(head.slack, 0.06f);
    // The head's sphere lies around the head frame's origin.
    EXPECT_LT(std::hypot(head.centre[0] - 0.9f, head.centre[1] - 1.0f, head.centre[2]), 0.3f);
}

}  // namespace
}  // namespace qlmr
