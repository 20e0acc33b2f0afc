#include "sdna/container_writer.h"
#include "sdna/critter.h"
#include "sdna/evaluator.h"
#include "sdna/sdna_reader.h"
#include "sdna/validator.h"
#include "support/test_support.h"

#include <gtest/gtest.h>

#include <cmath>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

namespace qlmr {
namespace {

using Op = SdnaOp;

// The critter's instructions as its drawing lists them.
std::vector<Op> expectedOpcodes(bool base)
{
    std::vector<Op> ops = {
        Op::TaperedCapsule, Op::TaperedCapsule, Op::SmoothUnion, Op::TaperedCapsule, Op::SmoothUnion, // body
        Op::PushTransform, Op::Ellipsoid, Op::Ellipsoid, Op::SmoothUnion, Op::Sphere, Op::Union,      // head
        Op::TaperedCapsule, Op::SmoothUnion, Op::TaperedCapsule, Op::SmoothUnion,                     // ears
        Op::Sphere, Op::Union, Op::Sphere, Op::Union, Op::Pop, Op::SmoothUnion,                       // eyes
        Op::TaperedCapsule, Op::SmoothUnion, Op::Sphere, Op::SmoothUnion,                             // tail
    };
    for (int leg = 0; leg < 4; ++leg)
        ops.insert(ops.end(), {Op::PushBone, Op::TaperedCapsule, Op::TaperedCapsule, Op::SmoothUnion, Op::Sphere,
                               Op::SmoothUnion, Op::Pop, Op::SmoothUnion});
    if (base)
        ops.insert(ops.end(), {Op::Box, Op::Union});
    return ops;
}

bool sameBytes(const SdnaProgram& a, const SdnaProgram& b)
{
    return a.instructions.size() == b.instructions.size() && a.materials.size() == b.materials.size() &&
           std::memcmp(a.instructions.data(), b.instructions.data(), 48 * a.instructions.size()) == 0 &&
           std::memcmp(a.materials.data(), b.materials.data(), 16 * a.materials.size()) == 0 &&
           a.boneCount == b.boneCount && a.flags == b.flags && a.boundsMin == b.boundsMin &&
           a.boundsMax == b.boundsMax;
}

TEST(Critter, InstructionsMaterialsAndBones)
{
    for (bool base : {false, true}) {
        SCOPED_TRACE(base ? "with base" : "without base");
        const SdnaProgram critter = buildCritter(base);
        const std::vector<Op> ops = expectedOpcodes(base);
        ASSERT_EQ(critter.instructions.size(), base ? 59u : 57u);
        ASSERT_EQ(ops.size(), critter.instructions.size());
        for (std::size_t i = 0; i < ops.size(); ++i)
            EXPECT_EQ(critter.instructions[i].op, ops[i]) << "instruction " << i;
        ASSERT_EQ(critter.materials.size(), 4u);
        EXPECT_EQ(critter.materials[2].red, 0.08f);
        EXPECT_EQ(critter.materials[3].roughness, 0.9f);
        EXPECT_EQ(critter.boneCount, 4u);
        EXPECT_EQ(critter.flags, 0u);
        std::string error;
        EXPECT_TRUE(validateProgram(critter, error)) << error;

        // Spot checks of the records: the head frame, a hoof and the legs' bones.
        const SdnaInstruction& head = critter.instructions[5];
        EXPECT_FLOAT_EQ(head.p[2], std::sin(-0.175f));
        EXPECT_FLOAT_EQ(head.p[3], std::cos(-0.175f));
        EXPECT_EQ(head.p[4], 0.9f);
        EXPECT_EQ(head.p[7], 1.0f);
        const SdnaInstruction& hoof = critter.instructions[25 + 8 * 2 + 4]; // leg 2
        EXPECT_FLOAT_EQ(hoof.p[0], -0.33f);
        EXPECT_FLOAT_EQ(hoof.p[1], -0.03f);
        EXPECT_EQ(hoof.p[3], 0.055f);
        EXPECT_EQ(hoof.material, 2u);
        for (std::uint32_t leg = 0; leg < 4; ++leg)
            EXPECT_EQ(critter.instructions[25 + 8 * leg].bone, leg);
    }
}

TEST(Critter, Bounds)
{
    // Worked out by hand from the drawing: the tail tip (x -1.13, grown by
    // the tail's blend 0.04 / 4 and four leg blends of 0.05 / 4), the
    // shortest hooves (y 0.42 - 0.45 - 0.055, grown by 0.02 / 4, then by the
    // last two leg blends), and for the base the slab's box, which the final
    // plain union neither grows nor shrinks.
    const SdnaProgram critter = buildCritter(false);
    EXPECT_NEAR(critter.boundsMin[0], -1.13f - 0.01f - 4 * 0.0125f, 1e-5f);
    EXPECT_NEAR(critter.boundsMin[1], -0.09f - 2 * 0.0125f, 1e-5f);
    // The legs' boxes (z +-0.225) lie inside the body's, so z is the body's
    // 0.24 grown by every later smooth union: 0.1/4, 0.06/4, 0.08/4, 0.04/4, 4 x 0.05/4.
    const float bodyZ = 0.24f + 0.03f + 0.025f + 0.015f + 0.02f + 0.01f + 0.05f;
    EXPECT_NEAR(critter.boundsMax[2], bodyZ, 1e-5f);
    EXPECT_NEAR(critter.boundsMin[2], -bodyZ, 1e-5f);

    const SdnaProgram based = buildCritter(true);
    EXPECT_EQ(based.boundsMin, (std::array<float, 3>{-2.5f, -0.5f, -2.5f}));
    EXPECT_EQ(based.boundsMax[0], 2.5f);
    EXPECT_EQ(based.boundsMax[1], critter.boundsMax[1]);
    EXPECT_EQ(based.boundsMax[2], 2.5f);
}

TEST(Critter, SolidTouchesNothingOutsideItsBounds)
{
    for (bool base : {false, true}) {
        const SdnaProgram critter = buildCritter(base);
        float smallest = INFINITY;
        for (int axis = 0; axis < 3; ++axis) {
            const int u = (axis + 1) % 3, v = (axis + 2) % 3;
            for (int side = 0; side < 2; ++side) {
                for (int i = 0; i <= 64; ++i) {
                    for (int j = 0; j <= 64; ++j) {
                        std::array<float, 3> x;
                        x[axis] = side ? critter.boundsMax[axis] + 1e-3f : critter.boundsMin[axis] - 1e-3f;
                        x[u] = critter.boundsMin[u] + (critter.boundsMax[u] - critter.boundsMin[u]) * i / 64;
                        x[v] = critter.boundsMin[v] + (critter.boundsMax[v] - critter.boundsMin[v]) * j / 64;
                        smallest = std::min(smallest, evaluateProgram(critter, x).distance);
                    }
                }
            }
        }
        EXPECT_GT(smallest, 0.0f) << (base ? "with base" : "without base");
        // The box is the solid's, not a loose guess: it comes within a few
        // centimetres of the surface somewhere.
        EXPECT_LT(smallest, 0.05f);
    }
}

TEST(Critter, PoseTurnsLegsAboutTheirHips)
{
    const float angle = 0.45f;
    const std::vector<BonePose> six = critterPose(6, angle);
    ASSERT_EQ(six.size(), 6u);
    for (std::uint32_t bone = 0; bone < 4; ++bone) {
        SCOPED_TRACE(bone);
        const float x = (bone == 0 || bone == 3) ? angle : -angle;
        const BonePose& pose = six[bone];
        EXPECT_FLOAT_EQ(pose.rotation[2], std::sin(x / 2));
        EXPECT_FLOAT_EQ(pose.rotation[3], std::cos(x / 2));
        EXPECT_EQ(pose.rotation[0], 0.0f);
        EXPECT_EQ(pose.position[2], 0.0f);
        EXPECT_EQ(pose.scale, 1.0f);
        // The hip moved into bone space (conjugate rotation of hip - position) is the hip again.
        const auto& hip = kCritterHips[bone];
        const double dx = hip[0] - pose.position[0], dy = hip[1] - pose.position[1];
        const double c = std::cos(x), s = std::sin(x);
        EXPECT_NEAR(c * dx + s * dy, hip[0], 1e-6);
        EXPECT_NEAR(-s * dx + c * dy, hip[1], 1e-6);
    }
    for (std::uint32_t bone = 4; bone < 6; ++bone) {
        EXPECT_EQ(six[bone].rotation, (std::array<float, 4>{0, 0, 0, 1}));
        EXPECT_EQ(six[bone].position, (std::array<float, 3>{0, 0, 0}));
    }
    const std::vector<BonePose> two = critterPose(2, angle);
    ASSERT_EQ(two.size(), 2u);
    EXPECT_FLOAT_EQ(two[1].rotation[2], std::sin(-angle / 2));
    EXPECT_TRUE(critterPose(0, angle).empty());
}

TEST(Critter, FileRoundTripsByteForByte)
{
    test::TempDir dir;
    for (bool base : {false, true}) {
        const SdnaProgram critter = buildCritter(base);
        const std::string path = dir.file(base ? "based.qlmr" : "plain.qlmr");
        std::string error;
        ASSERT_TRUE(writeSdnaFile(path, critter, error)) << error;
        const std::vector<std::uint8_t> bytes = test::readFile(path);
        EXPECT_EQ(bytes.size(), 16 + 24 + 48 + 48 * critter.instructions.size() + 16 * 4);
        SdnaProgram read;
        ASSERT_TRUE(loadSdna(read, bytes, error)) << error;
        EXPECT_TRUE(sameBytes(read, critter));
    }
    std::string error;
    EXPECT_FALSE(writeSdnaFile(dir.file("missing/dir/x.qlmr"), buildCritter(false), error));
    EXPECT_EQ(error.rfind("cannot write ", 0), 0u);
}

// A write that fails part way, here at a file-size limit below the file's
// length, keeps the program already at the path whole and leaves no other
// file beside it.
TEST(Critter, FailedFileWriteKeepsTheEarlierFile)
{
    test::TempDir dir;
    const std::string path = dir.file("critter.qlmr");
    std::string error;
    ASSERT_TRUE(writeSdnaFile(path, buildCritter(false), error)) << error;
    const std::vector<std::uint8_t> before = test::readFile(path);

    const pid_t child = fork();
    ASSERT_NE(child, -1);
    if (child == 0) {
        std::signal(SIGXFSZ, SIG_IGN);
        const rlimit limit{100, 100};
        setrlimit(RLIMIT_FSIZE, &limit);
        std::string childError;
        _exit(writeSdnaFile(path, buildCritter(true), childError) ? 0 : 3);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 3) << "the write past the limit was reported as done";
    EXPECT_EQ(test::readFile(path), before);
    std::size_t files = 0;
    for (const auto& entry : std::filesystem::directory_iterator(dir.path()))
        files += entry.is_regular_file() ? 1 : 0;
    EXPECT_EQ(files, 1u);
}

TEST(Critter, BuiltAssetIsTheCritterOnItsBase)
{
    const std::string path = std::string(QLMR_BINARY_DIR) + "/assets/critter.qlmr";
    ASSERT_TRUE(std::filesystem::exists(path)) << path << " is made by the build (target qlmr_critter_asset)";
    const std::vector<std::uint8_t> bytes = test::readFile(path);
    SdnaProgram read;
    std::string error;
    ASSERT_TRUE(loadSdna(read, bytes, error)) << error;
    EXPECT_TRUE(sameBytes(read, buildCritter(true)));
    EXPECT_EQ(bytes, encodeSdnaFile(buildCritter(true)));
}

} // namespace
} // namespace qlmr
