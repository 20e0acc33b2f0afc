#include <gtest/gtest.h>

#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "sdna/brick_tracer.h"
#include "sdna/bricks.h"
#include "sdna/critter.h"
#include "sdna/evaluator.h"
#include "sdna/tracer.h"
#include "sdna_test_programs.h"
#include "support/limited_run.h"

namespace qlmr {
namespace {

using test::instr;
using test::makeProgram;
using test::sphere;

constexpr float kInf = std::numeric_limits<float>::infinity();

// ---------------------------------------------------------------------------
// Half precision

// Every finite binary16 value, decoded from its definition, in ascending order.
std::vector<double> allFiniteHalves() {
    std::vector<double> values;
    for (int e = 0; e < 31; ++e) {
        for (int m = 0; m < 1024; ++m) {
            const double v = e == 0 ? std::ldexp(m, -24) : std::ldexp(1024 + m, e - 25);
            values.push_back(v);
            if (v != 0.0) values.push_back(-v);
        }
    }
    std::sort(values.begin(), values.end());
    return values;
}

TEST(BrickHalf, RoundsTowardsMinusInfinityAgainstATableOfEveryHalf) {
    const std::vector<double> halves = allFiniteHalves();
    auto expected = [&](double v) -> double {
        if (v > 65504.0) return 65504.0;
        auto it = std::upper_bound(halves.begin(), halves.end(), v);
        if (it == halves.begin()) return -std::numeric_limits<double>::infinity();
        return *(it - 1);
    };
    std::mt19937 rng(3);
    std::uniform_real_distribution<double> mantissa(-1.0, 1.0);
    std::uniform_int_distribution<int> exponent(-30, 17);
    std::vector<double> cases = {0.0, 1.0, -1.0, 65504.0, -65504.0, 65505.0, -65504.5, 70000.0,
                                 -70000.0, 0x1p-24, -0x1p-24, 0x1p-25, -0x1p-25, 0x1p-14,
                                 -0x1p-14, 0x1.ffcp-15, 1e300, -1e300};
    for (int i = 0; i < 20000; ++i) cases.push_back(std::ldexp(mantissa(rng), exponent(rng)));
    // Every half itself and its neighbours in double.
    for (double h : halves) {
        cases.push_back(h);
        cases.push_back(std::nextafter(h, 1e9));
        cases.push_back(std::nextafter(h, -1e9));
    }
    for (double v : cases) {
        const double got = halfBitsToFloat(halfRoundedDown(v));
        ASSERT_EQ(got, expected(v)) << "v = " << v;
    }
    EXPECT_EQ(halfBitsToFloat(halfRoundedDown(std::nan(""))), -kInf);
}

TEST(BrickHalf, DecodesEveryBitPattern) {
    for (std::uint32_t bits = 0; bits < 0x10000; ++bits) {
        const int e = (bits >> 10) & 31;
        const int m = bits & 1023;
        const float got = halfBitsToFloat(static_cast<std::uint16_t>(bits));
        if (e == 31) {
            if (m == 0) {
                ASSERT_EQ(got, (bits & 0x8000) ? -kInf : kInf);
            } else {
                ASSERT_TRUE(std::isnan(got));
            }
            continue;
        }
        const double magnitude = e == 0 ? std::ldexp(m, -24) : std::ldexp(1024 + m, e - 25);
        ASSERT_EQ(got, (bits & 0x8000) ? -magnitude : magnitude) << bits;
        if (got != 0.0f) {
            ASSERT_EQ(halfRoundedDown(got), bits);
        }
    }
}

// ---------------------------------------------------------------------------
// Pose and build refusals

TEST(BrickPose, ValidatesQuaternionScaleAndPosition) {
    const float nan = std::nanf("");
    struct Case {
        const char* name;
        BonePose pose;
        bool valid;
    };
    auto with = [](auto change) {
        BonePose p;
        change(p);
        return p;
    };
    const Case cases[] = {
        {"identity", BonePose{}, true},
        {"slightly long quaternion", with([](BonePose& p) { p.rotation = {0, 0, 0, std::sqrt(1.0019f)}; }), true},
        {"long quaternion", with([](BonePose& p) { p.rotation = {0, 0, 0, std::sqrt(1.01f)}; }), false},
        {"short quaternion", with([](BonePose& p) { p.rotation = {0, 0, 0, std::sqrt(0.99f)}; }), false},
        {"NaN quaternion", with([&](BonePose& p) { p.rotation[1] = nan; }), false},
        {"infinite quaternion", with([](BonePose& p) { p.rotation[0] = kInf; }), false},
        {"NaN scale", with([&](BonePose& p) { p.scale = nan; }), false},
        {"zero scale", with([](BonePose& p) { p.scale = 0.0f; }), false},
        {"negative scale", with([](BonePose& p) { p.scale = -1.0f; }), false},
        {"infinite scale", with([](BonePose& p) { p.scale = kInf; }), false},
        {"NaN position", with([&](BonePose& p) { p.position[2] = nan; }), false},
        {"infinite position", with([](BonePose& p) { p.position[0] = -kInf; }), false},
    };
    EXPECT_TRUE(validatePose({}));
    for (const Case& c : cases) {
        EXPECT_EQ(validatePose({BonePose{}, c.pose}), c.valid) << c.name;
    }
}

SdnaProgram unitSphere() { return makeProgram({sphere(0, 0, 0, 0.5f, 1)}, 2, 1.0f); }

std::uint64_t sourceBytes(const SdnaProgram& p, std::size_t poses) {
    return 48 * p.instructions.size() + 16 * p.materials.size() + 32 * poses + 216;
}

TEST(BrickBuild, RefusalsLeaveTheTargetUntouched) {
    const SdnaProgram good = unitSphere();
    SdnaProgram badBounds = good;
    badBounds.boundsMax[0] = kInf;
    BonePose zeroScale;
    zeroScale.scale = 0.0f;
    const std::vector<BonePose> onePose(1);
    struct Case {
        const char* name;
        const SdnaProgram* program;
        std::vector<BonePose> pose;
        float cellSize;
        std::uint64_t budget;
        const char* message;
    };
    const Case cases[] = {
        {"program", &badBounds, {}, 0.1f, 1u << 20, "sdna: bounds are not a finite box"},
        {"pose before cell size", &good, {zeroScale}, std::nanf(""), 1u << 20, "bricks: invalid pose"},
        {"zero cell", &good, {}, 0.0f, 1u << 20, "bricks: invalid cell size"},
        {"negative cell", &good, {}, -0.1f, 1u << 20, "bricks: invalid cell size"},
        {"NaN cell", &good, {}, std::nanf(""), 1u << 20, "bricks: invalid cell size"},
        {"infinite cell", &good, {}, kInf, 1u << 20, "bricks: invalid cell size"},
        {"eight cells overflow", &good, {}, 3e38f, 1u << 20, "bricks: invalid cell size"},
        {"budget", &good, onePose, 0.1f, sourceBytes(good, 1) - 1,
         "bricks: budget cannot hold source program and pose"},
    };
    for (const Case& c : cases) {
        Bricks target;
        std::string first;
        ASSERT_TRUE(buildBricks(good, {}, BrickBuildParams{0.25f, 1u << 20, 1u << 20}, target, first));
        const std::uint32_t bricksBefore = static_cast<std::uint32_t>(target.bricks.size());
        const auto gridBefore = target.gridSize;
        std::string error = "stale";
        BrickBuildParams params;
        params.cellSize = c.cellSize;
        params.byteBudget = c.budget;
        EXPECT_FALSE(buildBricks(*c.program, c.pose, params, target, error)) << c.name;
        EXPECT_EQ(error, c.message) << c.name;
        EXPECT_EQ(target.cellSize, 0.25f) << c.name;
        EXPECT_EQ(target.gridSize, gridBefore) << c.name;
        EXPECT_EQ(target.bricks.size(), bricksBefore) << c.name;
    }
}

TEST(BrickBuild, BudgetOfExactlyTheSourceGivesUpTheGrid) {
    const SdnaProgram program = unitSphere();
    const std::vector<BonePose> pose(2);
    Bricks bricks;
    std::string error = "stale";
    BrickBuildParams params{0.05f, sourceBytes(program, 2), 1u << 24};
    ASSERT_TRUE(buildBricks(program, pose, params, bricks, error));
    EXPECT_EQ(error, "");
    EXPECT_TRUE(bricks.stats.gridGivenUp);
    EXPECT_EQ(bricks.gridSize, (std::array<std::uint32_t, 3>{0, 0, 0}));
    EXPECT_TRUE(bricks.grid.empty());
    EXPECT_TRUE(bricks.bricks.empty());
    EXPECT_EQ(bricks.memoryBytes(), params.byteBudget);
    EXPECT_EQ(bricks.pose.size(), 2u);
    EXPECT_EQ(bricks.program.instructions.size(), 1u);

    // Room for the grid but not for one brick gives it up too.
    params.byteBudget = sourceBytes(program, 2) + 8 * 125 + 1031;
    ASSERT_TRUE(buildBricks(program, pose, BrickBuildParams{0.05f, params.byteBudget, 1u << 24}, bricks, error));
    EXPECT_TRUE(bricks.stats.gridGivenUp);
    params.byteBudget += 1;
    ASSERT_TRUE(buildBricks(program, pose, BrickBuildParams{0.05f, params.byteBudget, 1u << 24}, bricks, error));
    EXPECT_FALSE(bricks.stats.gridGivenUp);
    EXPECT_EQ(bricks.gridSize, (std::array<std::uint32_t, 3>{5, 5, 5}));
    EXPECT_EQ(bricks.bricks.size(), 1u);
    EXPECT_EQ(bricks.memoryBytes(), params.byteBudget);
}

TEST(BrickBuild, AllocationFailureIsReported) {
    // A grid of 2^40 * (2^21 - 1) entries fits a budget of 2^64 - 1 bytes
    // but no vector can hold it.
    SdnaProgram huge = makeProgram({sphere(0, 0, 0, 0.5f)}, 1, 1.0f);
    huge.boundsMin[2] = -2.0f;
    huge.boundsMax[2] = 2.0f - 0x1p-19f;
    Bricks target;
    std::string error;
    ASSERT_TRUE(buildBricks(unitSphere(), {}, BrickBuildParams{0.25f, 1u << 20, 1u << 20}, target, error));
    const auto before = target.gridSize;
    const BrickBuildParams params{0x1p-22f, ~0ull, 1u << 20};
    EXPECT_FALSE(buildBricks(huge, {}, params, target, error));
    EXPECT_EQ(error, "bricks: allocation failed");
    EXPECT_EQ(target.gridSize, before);
    EXPECT_EQ(target.cellSize, 0.25f);

    // 2^42 entries (32 TiB): operator new itself fails where the kernel
    // refuses obvious overcommits.
#if defined(__SANITIZE_ADDRESS__)
    GTEST_SKIP() << "AddressSanitizer's operator new ends the process instead of throwing std::bad_alloc";
#endif
    std::ifstream overcommit("/proc/sys/vm/overcommit_memory");
    int mode = 1;
    if (!(overcommit >> mode) || mode == 1) GTEST_SKIP() << "the kernel grants any allocation";
    error.clear();
    EXPECT_FALSE(buildBricks(unitSphere(), {}, BrickBuildParams{0x1p-16f, ~0ull, 1u << 20}, target, error));
    EXPECT_EQ(error, "bricks: allocation failed");
    EXPECT_EQ(target.cellSize, 0.25f);
}

TEST(BrickBuild, GridShapeAndEvaluationLimit) {
    const SdnaProgram program = unitSphere();  // box 2 x 2 x 2
    Bricks bricks;
    std::string error;
    // A cell larger than the box: one block.
    ASSERT_TRUE(buildBricks(program, {}, BrickBuildParams{5.0f, 1u << 20, 1u << 20}, bricks, error));
    EXPECT_EQ(bricks.gridSize, (std::array<std::uint32_t, 3>{1, 1, 1}));
    EXPECT_EQ(bricks.grid.size(), 1u);
    EXPECT_EQ(bricks.stats.evaluations, 512u);
    // Box edge 2 over block edge 8 * 0.06 = 4.17 blocks: 5 per axis.
    ASSERT_TRUE(buildBricks(program, {}, BrickBuildParams{0.06f, 1u << 24, 511}, bricks, error));
    EXPECT_EQ(bricks.gridSize, (std::array<std::uint32_t, 3>{5, 5, 5}));
    EXPECT_EQ(bricks.stats.evaluations, 0u);
    EXPECT_EQ(bricks.stats.unbuiltBlocks, 125u);
    for (const BrickGridEntry& e : bricks.grid) {
        EXPECT_EQ(e.index, kBrickNotBuilt);
        EXPECT_EQ(e.value, -kInf);
    }
    // Ten blocks' worth of evaluations: the first ten in grid order are visited.
    ASSERT_TRUE(buildBricks(program, {}, BrickBuildParams{0.06f, 1u << 24, 512 * 10 + 100}, bricks, error));
    EXPECT_EQ(bricks.stats.evaluations, 5120u);
    EXPECT_EQ(bricks.stats.unbuiltBlocks, 115u);
    for (std::size_t i = 0; i < bricks.grid.size(); ++i) {
        EXPECT_EQ(bricks.grid[i].index == kBrickNotBuilt, i >= 10) << i;
    }
}

TEST(BrickBuild, LipschitzBoundFollowsFrameStretch) {
    // A quaternion of squared length 1.001 (allowed by the validator) stretches
    // distances by that much; a bone's pose does the same.
    const float w = std::sqrt(1.001f);
    const SdnaProgram rigid = makeProgram(
        {test::pushTransform({0, 0, 0, w}, 0, 0, 0, 2.0f), sphere(0, 0, 0, 0.2f), instr(SdnaOp::Pop)}, 1, 1.0f);
    Bricks bricks;
    std::string error;
    ASSERT_TRUE(buildBricks(rigid, {}, BrickBuildParams{0.1f, 1u << 22, 1u << 20}, bricks, error)) << error;
    const double q2 = static_cast<double>(w) * w;
    const double stretch = (std::fabs(1.0 - q2) + q2) * 1.0000008;
    EXPECT_GE(bricks.lipschitz, stretch);
    EXPECT_LE(bricks.lipschitz, stretch * (1 + 1e-7));

    const SdnaProgram boned = makeProgram({test::pushBone(1), sphere(0, 0, 0, 0.2f), instr(SdnaOp::Pop)}, 1, 1.0f);
    std::vector<BonePose> pose(2);
    pose[1].rotation = {0, 0, std::sqrt(1.0015f), 0};
    ASSERT_TRUE(buildBricks(boned, pose, BrickBuildParams{0.1f, 1u << 22, 1u << 20}, bricks, error)) << error;
    EXPECT_GT(bricks.lipschitz, 1.0015f);
    // Without that bone in the pose list the identity pose applies.
    ASSERT_TRUE(buildBricks(boned, {BonePose{}}, BrickBuildParams{0.1f, 1u << 22, 1u << 20}, bricks, error));
    EXPECT_LT(bricks.lipschitz, 1.000001f);
    EXPECT_GE(bricks.lipschitz, 1.0000008f);
}

// ---------------------------------------------------------------------------
// Samples against the exact field

struct BuiltCase {
    const char* name;
    SdnaProgram program;
    std::vector<BonePose> pose;
    float cellSize;
};

std::vector<BuiltCase> fieldCases() {
    std::vector<BuiltCase> cases;
    cases.push_back({"sphere", unitSphere(), {}, 0.03f});
    SdnaProgram critter = buildCritter(true);
    const float diagonal = std::hypot(critter.boundsMax[0] - critter.boundsMin[0],
                                      critter.boundsMax[1] - critter.boundsMin[1],
                                      critter.boundsMax[2] - critter.boundsMin[2]);
    cases.push_back({"critter", critter, critterPose(critter.boneCount, 0.45f), diagonal / 96.0f});
    return cases;
}

class BrickField : public ::testing::TestWithParam<int> {
protected:
    static void SetUpTestSuite() {
        cases_ = new std::vector<BuiltCase>(fieldCases());
        built_ = new std::vector<Bricks>(cases_->size());
        for (std::size_t i = 0; i < cases_->size(); ++i) {
            std::string error;
            BrickBuildParams params{(*cases_)[i].cellSize, 64u << 20, 1u << 24, 8};
            ASSERT_TRUE(buildBricks((*cases_)[i].program, (*cases_)[i].pose, params, (*built_)[i], error)) << error;
        }
    }
    static void TearDownTestSuite() {
        delete cases_;
        delete built_;
    }
    const BuiltCase& which() const { return (*cases_)[GetParam()]; }
    const Bricks& bricks() const { return (*built_)[GetParam()]; }
    double exact(const std::array<double, 3>& p) const {
        const BuiltCase& c = which();
        return evaluateProgramDouble(c.program, p, c.pose.empty() ? nullptr : c.pose.data(), c.pose.size())
            .distance;
    }
    std::array<double, 3> cellCentre(const std::array<std::uint32_t, 3>& block, int x, int y, int z) const {
        const Bricks& b = bricks();
        const int local[3] = {x, y, z};
        std::array<double, 3> p{};
        for (int a = 0; a < 3; ++a) {
            p[a] = b.program.boundsMin[a] + (8.0 * block[a] + local[a] + 0.5) * b.cellSize;
        }
        return p;
    }

    static std::vector<BuiltCase>* cases_;
    static std::vector<Bricks>* built_;
};
std::vector<BuiltCase>* BrickField::cases_ = nullptr;
std::vector<Bricks>* BrickField::built_ = nullptr;

TEST_P(BrickField, SamplesAreLowerBoundsWithinHalfPrecision) {
    const Bricks& b = bricks();
    const double band = std::sqrt(3.0) * b.cellSize / 2.0;
    double largest = 0;
    for (int a = 0; a < 3; ++a) {
        largest = std::max({largest, std::fabs(double(b.program.boundsMin[a])), std::fabs(double(b.program.boundsMax[a]))});
    }
    const double tolerance = (1 + largest) * 0x1p-18;
    const double maskLimit = 2 * b.lipschitz * band + tolerance;
    ASSERT_FALSE(b.bricks.empty());
    std::size_t checked = 0;
    for (std::uint32_t bz = 0; bz < b.gridSize[2]; ++bz) {
        for (std::uint32_t by = 0; by < b.gridSize[1]; ++by) {
            for (std::uint32_t bx = 0; bx < b.gridSize[0]; ++bx) {
                const BrickGridEntry& e = b.grid[bx + b.gridSize[0] * (by + b.gridSize[1] * bz)];
                if (e.index >= kBrickNotBuilt) continue;
                const BrickRecord& r = b.bricks[e.index];
                float lowest = kInf;
                std::uint64_t mask = 0;
                for (int z = 0; z < 8; ++z) {
                    for (int y = 0; y < 8; ++y) {
                        for (int x = 0; x < 8; ++x) {
                            const double d = exact(cellCentre({bx, by, bz}, x, y, z));
                            const float s = halfBitsToFloat(r.samples[x + 8 * (y + 8 * z)]);
                            const double target = d - b.lipschitz * band;
                            // Below the exact value, by at most the tolerance and one half-precision step.
                            ASSERT_LE(s, target);
                            ASSERT_GE(s, target - tolerance - std::ldexp(std::fabs(target) + 0x1p-14, -10));
                            lowest = std::min(lowest, s);
                            if (d <= maskLimit) mask |= 1ull << (x / 2 + 4 * (y / 2 + 4 * (z / 2)));
                            ++checked;
                        }
                    }
                }
                ASSERT_EQ(e.value, lowest);
                ASSERT_LE(e.value, 0.0f);
                ASSERT_EQ(r.mask, mask);
            }
        }
    }
    EXPECT_EQ(checked, b.bricks.size() * 512);
}

TEST_P(BrickField, InterpolatedSamplesNeverExceedTheExactDistance) {
    const Bricks& b = bricks();
    std::mt19937 rng(17 + GetParam());
    const double edge = 8.0 * b.cellSize;
    std::size_t inBricks = 0;
    for (int i = 0; i < 20000; ++i) {
        std::array<double, 3> p{};
        std::array<std::int64_t, 3> block{};
        for (int a = 0; a < 3; ++a) {
            const double lo = b.program.boundsMin[a];
            p[a] = std::uniform_real_distribution<double>(lo, lo + edge * b.gridSize[a])(rng);
            block[a] = std::min<std::int64_t>(static_cast<std::int64_t>((p[a] - lo) / edge), b.gridSize[a] - 1);
        }
        const float cached = sampleBricks(b, block[0], block[1], block[2], p);
        const double d = exact(p);
        ASSERT_LE(cached, d) << "at " << p[0] << ", " << p[1] << ", " << p[2];
        const BrickGridEntry& e = b.grid[block[0] + b.gridSize[0] * (block[1] + b.gridSize[1] * block[2])];
        if (e.index < kBrickNotBuilt) {
            ++inBricks;
            // Near the surface the cache is close, not merely below.
            ASSERT_GE(cached, d - 4.0 * b.lipschitz * b.cellSize);
        }
    }
    EXPECT_GT(inBricks, 50u);
    // Outside the grid the cache knows nothing.
    EXPECT_EQ(sampleBricks(b, -1, 0, 0, {0, 0, 0}), -kInf);
    EXPECT_EQ(sampleBricks(b, 0, b.gridSize[1], 0, {0, 0, 0}), -kInf);
}

// Inside a brick a coordinate clamps to the brick's samples; a coordinate
// that is not a number has no sample at all and reads as "nothing known".
TEST_P(BrickField, SamplingClampsInfinityAndReadsNothingAtNaN) {
    const Bricks& b = bricks();
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double inf = std::numeric_limits<double>::infinity();
    std::size_t tested = 0;
    for (std::size_t i = 0; i < b.grid.size() && tested < 8; ++i) {
        if (b.grid[i].index >= kBrickNotBuilt) continue;
        const std::int64_t bx = static_cast<std::int64_t>(i % b.gridSize[0]);
        const std::int64_t by = static_cast<std::int64_t>((i / b.gridSize[0]) % b.gridSize[1]);
        const std::int64_t bz = static_cast<std::int64_t>(i / (std::size_t(b.gridSize[0]) * b.gridSize[1]));
        const BrickRecord& r = b.bricks[b.grid[i].index];
        EXPECT_EQ(sampleBricks(b, bx, by, bz, {inf, inf, inf}), halfBitsToFloat(r.samples[511]));
        EXPECT_EQ(sampleBricks(b, bx, by, bz, {-inf, -inf, -inf}), halfBitsToFloat(r.samples[0]));
        EXPECT_EQ(sampleBricks(b, bx, by, bz, {nan, 0.0, 0.0}), -kInf);
        EXPECT_EQ(sampleBricks(b, bx, by, bz, {0.0, nan, 0.0}), -kInf);
        EXPECT_EQ(sampleBricks(b, bx, by, bz, {0.0, 0.0, nan}), -kInf);
        ++tested;
    }
    EXPECT_GT(tested, 0u);
}

TEST_P(BrickField, OnlyBlocksNearTheSurfaceHoldBricks) {
    const Bricks& b = bricks();
    const double halfDiagonal = std::sqrt(3.0) * 4.0 * b.cellSize;
    std::size_t far = 0;
    for (std::uint32_t bz = 0; bz < b.gridSize[2]; ++bz) {
        for (std::uint32_t by = 0; by < b.gridSize[1]; ++by) {
            for (std::uint32_t bx = 0; bx < b.gridSize[0]; ++bx) {
                const BrickGridEntry& e = b.grid[bx + b.gridSize[0] * (by + b.gridSize[1] * bz)];
                ASSERT_NE(e.index, kBrickNotBuilt);
                // The distance at the block centre tells how near the surface is.
                std::array<double, 3> centre{};
                const std::uint32_t block[3] = {bx, by, bz};
                for (int a = 0; a < 3; ++a) centre[a] = b.program.boundsMin[a] + (8.0 * block[a] + 4.0) * b.cellSize;
                const double d = exact(centre);
                if (e.index == kBrickFar) {
                    ++far;
                    ASSERT_GT(e.value, 0.0f);
                    ASSERT_LE(e.value, d);  // a lower bound of the whole block
                    ASSERT_GT(d, 0.0);
                } else {
                    // Some sample of the block is within a cell of the surface.
                    ASSERT_LT(d, halfDiagonal * b.lipschitz + 2.0 * b.cellSize);
                }
                if (std::fabs(d) > halfDiagonal * b.lipschitz + 2.0 * b.cellSize) {
                    ASSERT_EQ(e.index == kBrickFar, d > 0) << "block " << bx << ", " << by << ", " << bz;
                }
            }
        }
    }
    EXPECT_EQ(b.stats.farBlocks, far);
    EXPECT_EQ(b.stats.unbuiltBlocks, 0u);
    EXPECT_LT(b.bricks.size() * 3, b.grid.size());
    EXPECT_LE(b.memoryBytes(), 64u << 20);
}

INSTANTIATE_TEST_SUITE_P(Programs, BrickField, ::testing::Values(0, 1),
                         [](const ::testing::TestParamInfo<int>& info) {
                             return std::string(info.param == 0 ? "Sphere" : "Critter");
                         });

TEST(BrickBuild, ThreadCountDoesNotChangeTheCache) {
    const SdnaProgram critter = buildCritter(true);
    const std::vector<BonePose> pose = critterPose(critter.boneCount, 0.45f);
    Bricks one, eight;
    std::string error;
    // A budget that runs out part-way, so the allocation order matters too.
    BrickBuildParams params{0.04f, 0, 1u << 22, 1};
    params.byteBudget = sourceBytes(critter, pose.size()) + 8 * 2000 + 1032 * 150;
    ASSERT_TRUE(buildBricks(critter, pose, params, one, error)) << error;
    params.threads = 8;
    ASSERT_TRUE(buildBricks(critter, pose, params, eight, error)) << error;
    ASSERT_EQ(one.gridSize, eight.gridSize);
    ASSERT_GT(one.stats.unbuiltBlocks, 0u);
    ASSERT_EQ(one.bricks.size(), eight.bricks.size());
    ASSERT_EQ(one.grid.size(), eight.grid.size());
    EXPECT_EQ(std::memcmp(one.grid.data(), eight.grid.data(), one.grid.size() * sizeof(BrickGridEntry)), 0);
    EXPECT_EQ(std::memcmp(one.bricks.data(), eight.bricks.data(), one.bricks.size() * sizeof(BrickRecord)), 0);
    EXPECT_EQ(one.stats.evaluations, eight.stats.evaluations);
    EXPECT_EQ(one.stats.farBlocks, eight.stats.farBlocks);
    EXPECT_EQ(one.stats.unbuiltBlocks, eight.stats.unbuiltBlocks);
}

// Builds `params` with the address space limited to what the process holds
// plus a little: room for small allocations but not for many thread stacks.
// 0 when the cache equals `expected`, 1 when it differs or the build failed.
int buildInTightAddressSpace(const SdnaProgram& program, const BrickBuildParams& params, const Bricks& expected) {
    std::ifstream statm("/proc/self/statm");
    unsigned long long pages = 0;
    statm >> pages;
    const rlim_t limit = pages * static_cast<rlim_t>(sysconf(_SC_PAGESIZE)) + (4u << 20);
    const rlimit addressSpace{limit, limit};
    if (setrlimit(RLIMIT_AS, &addressSpace) != 0) return 2;
    Bricks built;
    std::string error;
    if (!buildBricks(program, {}, params, built, error)) return 1;
    const bool same =
        built.grid.size() == expected.grid.size() && built.bricks.size() == expected.bricks.size() &&
        std::memcmp(built.grid.data(), expected.grid.data(), expected.grid.size() * sizeof(BrickGridEntry)) == 0 &&
        std::memcmp(built.bricks.data(), expected.bricks.data(), expected.bricks.size() * sizeof(BrickRecord)) == 0;
    return same ? 0 : 1;
}

// A machine without the memory for another thread's stack: the build runs on
// the threads that did start (the caller's at least) and gives the same
// cache, instead of ending the process.
TEST(BrickBuild, ThreadsThatCannotStartLeaveTheWorkToTheOthers) {
    if (!test::addressSpaceLimitsWork()) GTEST_SKIP() << "no address-space limit in this build";
    const SdnaProgram program = unitSphere();
    std::string error;
    Bricks one;
    // 125 blocks, so that all 64 build threads are asked for.
    BrickBuildParams params{0.05f, 64u << 20, 1u << 24, 1};
    ASSERT_TRUE(buildBricks(program, {}, params, one, error)) << error;
    ASSERT_EQ(one.grid.size(), 125u);
    params.threads = 64;
    EXPECT_EXIT(std::_Exit(buildInTightAddressSpace(program, params, one)), ::testing::ExitedWithCode(0), "");
}

TEST(BrickBuild, ByteBudgetCapsTheBrickList) {
    const SdnaProgram program = unitSphere();
    std::string error;
    Bricks full;
    ASSERT_TRUE(buildBricks(program, {}, BrickBuildParams{0.03f, 64u << 20, 1u << 24}, full, error));
    const std::size_t needed = full.bricks.size();
    ASSERT_GT(needed, 40u);
    EXPECT_EQ(full.stats.unbuiltBlocks, 0u);
    for (const std::uint64_t room : {1ull, 16ull, 17ull, 33ull}) {
        const std::uint64_t budget = sourceBytes(program, 0) + 8 * full.grid.size() + 1032 * room;
        Bricks capped;
        ASSERT_TRUE(buildBricks(program, {}, BrickBuildParams{0.03f, budget, 1u << 24}, capped, error));
        EXPECT_LE(capped.memoryBytes(), budget) << room;
        EXPECT_LE(capped.bricks.size(), room);
        // Capacity grows by doubling from 16, clipped to what the budget holds.
        EXPECT_EQ(capped.bricks.size(), room) << room;
        EXPECT_EQ(capped.bricks.capacity(), room) << room;
        EXPECT_EQ(capped.stats.unbuiltBlocks, needed - capped.bricks.size());
        // Far blocks do not need the budget: they are all there.
        EXPECT_EQ(capped.stats.farBlocks, full.stats.farBlocks);
    }
}

// ---------------------------------------------------------------------------
// Tracing through the cache

struct RaySet {
    std::vector<std::array<float, 3>> origins, directions;
};

// Rays from a camera ring around the program box through random points of it.
RaySet aimedRays(const SdnaProgram& program, int count, std::uint32_t seed) {
    std::mt19937 rng(seed);
    std::uniform_real_distribution<float> unit(0.0f, 1.0f);
    RaySet rays;
    std::array<float, 3> centre{}, half{};
    for (int a = 0; a < 3; ++a) {
        centre[a] = 0.5f * (program.boundsMin[a] + program.boundsMax[a]);
        half[a] = 0.5f * (program.boundsMax[a] - program.boundsMin[a]);
    }
    const float radius = 2.5f * std::max({half[0], half[1], half[2]});
    for (int i = 0; i < count; ++i) {
        const float angle = 6.2831853f * unit(rng);
        const float height = (unit(rng) - 0.3f) * radius;
        const std::array<float, 3> o{centre[0] + radius * std::cos(angle), centre[1] + height,
                                     centre[2] + radius * std::sin(angle)};
        std::array<float, 3> target{};
        for (int a = 0; a < 3; ++a) target[a] = centre[a] + (2 * unit(rng) - 1) * half[a] * 0.9f;
        if (i % 4 == 3) {
            // Every fourth ray starts inside the box (in the open or in the solid)
            // and leaves in a random direction.
            const std::array<float, 3> from = target;
            for (int a = 0; a < 3; ++a) target[a] = from[a] + (2 * unit(rng) - 1);
            std::array<float, 3> d{target[0] - from[0], target[1] - from[1], target[2] - from[2]};
            const float len = std::sqrt(d[0] * d[0] + d[1] * d[1] + d[2] * d[2]);
            for (float& c : d) c /= len;
            rays.origins.push_back(from);
            rays.directions.push_back(d);
            continue;
        }
        std::array<float, 3> d{target[0] - o[0], target[1] - o[1], target[2] - o[2]};
        const float len = std::sqrt(d[0] * d[0] + d[1] * d[1] + d[2] * d[2]);
        for (float& c : d) c /= len;
        rays.origins.push_back(o);
        rays.directions.push_back(d);
    }
    return rays;
}

SdnaTraceOptions primaryOptions() {
    SdnaTraceOptions o;
    o.maxSteps = 256;
    o.eps = 0.0001f;
    o.epsPerDistance = 0.0005f;
    o.normals = true;
    return o;
}

void expectSameExceptSteps(const SdnaHit& a, const SdnaHit& b) {
    EXPECT_EQ(a.hit, b.hit);
    EXPECT_EQ(a.status, b.status);
    EXPECT_EQ(a.t, b.t);
    EXPECT_EQ(a.position, b.position);
    EXPECT_EQ(a.normal, b.normal);
    EXPECT_EQ(a.material, b.material);
    EXPECT_EQ(a.distance, b.distance);
}

TEST_P(BrickField, FullRetraceModeEqualsTheExactTrace) {
    const BuiltCase& c = which();
    const Bricks& b = bricks();
    const RaySet rays = aimedRays(c.program, 400, 5 + GetParam());
    const SdnaTraceOptions options = primaryOptions();
    int hits = 0;
    for (std::size_t i = 0; i < rays.origins.size(); ++i) {
        const SdnaHit exact = traceProgram(c.program, rays.origins[i], rays.directions[i], 0.0f, 50.0f, options,
                                           c.pose.empty() ? nullptr : c.pose.data(), c.pose.size());
        SdnaHit cached;
        BrickTraceStats stats;
        traceBricksLocal(cached, b, rays.origins[i], rays.directions[i], 0.0f, 50.0f, options, 100000, &stats, 0);
        expectSameExceptSteps(cached, exact);
        if (exact.status == kSdnaHit) {
            ++hits;
            EXPECT_EQ(stats.refinements, 1u);
            EXPECT_EQ(cached.steps, exact.steps + stats.blocks + stats.brickSteps);
        }
    }
    EXPECT_GT(hits, 60);
}

TEST_P(BrickField, LocalModeAgreesWithTheExactTraceAndSavesEvaluations) {
    const BuiltCase& c = which();
    const Bricks& b = bricks();
    const RaySet rays = aimedRays(c.program, 1500, 9 + GetParam());
    const SdnaTraceOptions options = primaryOptions();
    int coverageMismatch = 0, hits = 0, materialMismatch = 0;
    std::uint64_t exactSteps = 0, refinementSteps = 0, brickSteps = 0;
    for (std::size_t i = 0; i < rays.origins.size(); ++i) {
        const SdnaHit exact = traceProgram(c.program, rays.origins[i], rays.directions[i], 0.0f, 50.0f, options,
                                           c.pose.empty() ? nullptr : c.pose.data(), c.pose.size());
        SdnaHit cached;
        BrickTraceStats stats;
        traceBricksLocal(cached, b, rays.origins[i], rays.directions[i], 0.0f, 50.0f, options, 100000, &stats,
                         kBrickModeLocal);
        if (i % 4 != 3) {  // rays from outside: long approaches
            exactSteps += exact.steps;
            refinementSteps += stats.refinementSteps;
        }
        brickSteps += stats.brickSteps;
        EXPECT_NE(cached.status, kSdnaUncertain);
        if ((exact.status == kSdnaHit) != (cached.status == kSdnaHit)) {
            ++coverageMismatch;
            continue;
        }
        if (exact.status != kSdnaHit) continue;
        ++hits;
        EXPECT_EQ(stats.refinementHits, 1u);
        // Both stop within the hit threshold of the same surface.
        EXPECT_NEAR(cached.t, exact.t, 2e-3f * std::max(1.0f, exact.t)) << i;
        if (cached.material != exact.material) ++materialMismatch;
        const float dotNormals = cached.normal[0] * exact.normal[0] + cached.normal[1] * exact.normal[1] +
                                 cached.normal[2] * exact.normal[2];
        EXPECT_GT(dotNormals, 0.99f);
    }
    EXPECT_GT(hits, 200);
    EXPECT_LE(coverageMismatch, 3);  // only grazing rays may differ
    EXPECT_LE(materialMismatch, 3);
    EXPECT_GT(brickSteps, 0u);
    // The cache takes over most of the approach.
    EXPECT_LT(refinementSteps * 3, exactSteps * 2);
}

TEST(BrickTrace, RefusesBadInputsAndHonoursLimits) {
    const SdnaProgram program = unitSphere();
    Bricks bricks;
    std::string error;
    ASSERT_TRUE(buildBricks(program, {}, BrickBuildParams{0.05f, 1u << 22, 1u << 22}, bricks, error));
    const SdnaTraceOptions options = primaryOptions();
    const std::array<float, 3> o{0.0f, 0.0f, -3.0f}, d{0.0f, 0.0f, 1.0f};
    const float nan = std::nanf("");

    auto expectRefused = [](const SdnaHit& h, const char* what) {
        EXPECT_EQ(h.status, kSdnaUncertain) << what;
        EXPECT_FALSE(h.hit) << what;
        EXPECT_EQ(h.t, 0.0f) << what;
        EXPECT_EQ(h.steps, 0u) << what;
        EXPECT_EQ(h.normal, (std::array<float, 3>{0, 0, 0})) << what;
        EXPECT_EQ(h.distance, kInf) << what;
    };
    SdnaHit h;
    traceBricksLocal(h, bricks, {nan, 0, 0}, d, 0, 50, options, 1000, nullptr, 1);
    expectRefused(h, "NaN origin");
    traceBricksLocal(h, bricks, o, {0, 0, 0}, 0, 50, options, 1000, nullptr, 1);
    expectRefused(h, "zero direction");
    traceBricksLocal(h, bricks, o, d, kInf, 50, options, 1000, nullptr, 1);
    expectRefused(h, "infinite tmin");
    traceBricksLocal(h, bricks, o, d, 0, nan, options, 1000, nullptr, 1);
    expectRefused(h, "NaN tmax");
    SdnaTraceOptions badEps = options;
    badEps.eps = kInf;
    traceBricksLocal(h, bricks, o, d, 0, 50, badEps, 1000, nullptr, 1);
    expectRefused(h, "infinite eps");
    traceBricksLocal(h, Bricks{}, o, d, 0, 50, options, 1000, nullptr, 1);
    expectRefused(h, "no cell size");

    // An infinite tmax is allowed.
    traceBricksLocal(h, bricks, o, d, 0, kInf, options, 1000, nullptr, 1);
    EXPECT_EQ(h.status, kSdnaHit);
    EXPECT_NEAR(h.t, 2.5f, 1e-3f);

    // A ray that misses the box.
    traceBricksLocal(h, bricks, {5, 5, -3}, d, 0, 50, options, 1000, nullptr, 1);
    EXPECT_EQ(h.status, kSdnaMiss);
    EXPECT_EQ(h.steps, 0u);

    // No steps at all: uncertain at the box entry.
    for (const auto& [limit, maxSteps] : {std::pair<std::uint32_t, std::uint32_t>{0, 256}, {1000, 0}}) {
        SdnaTraceOptions o2 = options;
        o2.maxSteps = maxSteps;
        traceBricksLocal(h, bricks, o, d, 0, 50, o2, limit, nullptr, 1);
        EXPECT_EQ(h.status, kSdnaUncertain);
        EXPECT_EQ(h.t, 2.0f);
        EXPECT_EQ(h.position, (std::array<float, 3>{0, 0, -1}));
        EXPECT_EQ(h.normal, (std::array<float, 3>{0, 1, 0}));
        EXPECT_EQ(h.distance, kInf);
    }

    // A step limit that runs out in the brick walk.
    BrickTraceStats stats;
    traceBricksLocal(h, bricks, o, d, 0, 50, options, 2, &stats, 1);
    EXPECT_EQ(h.status, kSdnaUncertain);
    EXPECT_EQ(h.normal, (std::array<float, 3>{0, 1, 0}));
    EXPECT_GE(h.t, 2.0f);
    EXPECT_LE(h.t, 2.5f);
    EXPECT_EQ(stats.refinements, 0u);

    // The full walk from outside: skipped blocks, brick steps, one refinement.
    traceBricksLocal(h, bricks, o, d, 0, 50, options, 100000, &stats, 1);
    EXPECT_EQ(h.status, kSdnaHit);
    EXPECT_NEAR(h.t, 2.5f, 1e-3f);
    EXPECT_NEAR(h.normal[2], -1.0f, 1e-4f);
    EXPECT_GE(stats.blocks, 2u);
    EXPECT_GT(stats.brickSteps, 0u);
    EXPECT_EQ(stats.refinements, 1u);
    EXPECT_EQ(stats.refinementHits, 1u);
    EXPECT_EQ(h.steps, stats.blocks + stats.brickSteps + stats.refinementSteps);

    // A range that starts behind the origin traces exactly from its start.
    const std::array<float, 3> inside{0.0f, 0.0f, -0.9f};
    traceBricksLocal(h, bricks, inside, d, -1.0f, 50, options, 100000, &stats, 1);
    EXPECT_EQ(stats.blocks, 0u);
    EXPECT_EQ(stats.refinements, 1u);
    expectSameExceptSteps(h, traceProgram(program, inside, d, -1.0f, 50.0f, options));
    EXPECT_NEAR(h.t, 0.4f, 1e-3f);

    // No grid: exactly from the box entry.
    const SdnaHit exact = traceProgram(program, o, d, 0.0f, 50.0f, options);
    Bricks noGrid;
    ASSERT_TRUE(buildBricks(program, {}, BrickBuildParams{0.05f, sourceBytes(program, 0), 1u << 22}, noGrid, error));
    traceBricksLocal(h, noGrid, o, d, 0, 50, options, 100000, &stats, 1);
    EXPECT_EQ(stats.blocks, 0u);
    expectSameExceptSteps(h, exact);
    EXPECT_EQ(h.steps, exact.steps);
}

TEST(BrickTrace, WalkOnABlockBoundaryStartsInTheBlockAhead) {
    // Blocks of edge 0.5 in the box [-1, 1]: x = 0 is a boundary. Either way
    // along x the ray crosses two blocks before it meets its sphere.
    for (const float side : {-1.0f, 1.0f}) {
        const SdnaProgram program = makeProgram({sphere(0.75f * side, 0.1f, 0.1f, 0.2f)}, 1, 1.0f);
        Bricks bricks;
        std::string error;
        ASSERT_TRUE(buildBricks(program, {}, BrickBuildParams{0.0625f, 1u << 22, 1u << 22}, bricks, error));
        SdnaHit h;
        BrickTraceStats stats;
        traceBricksLocal(h, bricks, {0.0f, 0.1f, 0.1f}, {side, 0.0f, 0.0f}, 0, 50, primaryOptions(), 100000,
                         &stats, kBrickModeLocal);
        EXPECT_EQ(h.status, kSdnaHit) << side;
        EXPECT_NEAR(h.t, 0.55f, 1e-3f) << side;
        EXPECT_EQ(stats.blocks, 2u) << side;
    }
}

TEST(BrickTrace, UnbuiltBlocksHandOverToTheExactProgram) {
    const SdnaProgram program = unitSphere();
    Bricks none;
    std::string error;
    // Every block left unbuilt by the evaluation limit.
    ASSERT_TRUE(buildBricks(program, {}, BrickBuildParams{0.05f, 1u << 22, 100}, none, error));
    const RaySet rays = aimedRays(program, 200, 21);
    const SdnaTraceOptions options = primaryOptions();
    for (std::size_t i = 0; i < rays.origins.size(); ++i) {
        SdnaHit h;
        BrickTraceStats stats;
        traceBricksLocal(h, none, rays.origins[i], rays.directions[i], 0, 50, options, 100000, &stats, 1);
        const SdnaHit exact = traceProgram(program, rays.origins[i], rays.directions[i], 0.0f, 50.0f, options);
        if (exact.steps == 0) continue;  // misses the box
        EXPECT_EQ(stats.blocks, 1u);
        EXPECT_EQ(stats.brickSteps, 0u);
        expectSameExceptSteps(h, exact);
        EXPECT_EQ(h.steps, exact.steps + 1);
    }
}

// A cache whose grid or brick list no longer matches its grid size (fields
// set or emptied by hand) reads nothing it does not hold: sampling gives
// -infinity, and the tracer hands every ray to the exact program, so the
// full-retrace mode still equals the exact trace.
TEST(BrickTrace, CacheFieldsSetByHandAreNotReadPast) {
    const SdnaProgram program = unitSphere();
    Bricks built;
    std::string error;
    ASSERT_TRUE(buildBricks(program, {}, BrickBuildParams{0.05f, 1u << 22, 1u << 24}, built, error)) << error;
    ASSERT_FALSE(built.bricks.empty());
    const struct {
        const char* name;
        void (*alter)(Bricks&);
    } cases[] = {
        {"grid cut short", [](Bricks& b) { b.grid.resize(b.grid.size() / 2); }},
        {"brick records dropped", [](Bricks& b) { b.bricks = {}; }},
        {"grid size grown", [](Bricks& b) { b.gridSize[2] *= 4096; }},
        {"grid size past 64 bits", [](Bricks& b) { b.gridSize = {0xFFFFFFFFu, 0xFFFFFFFFu, 0xFFFFFFFFu}; }},
    };
    const RaySet rays = aimedRays(program, 100, 31);
    const SdnaTraceOptions options = primaryOptions();
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Bricks altered = built;
        c.alter(altered);
        for (std::uint32_t bz = 0; bz < built.gridSize[2]; ++bz) {
            for (std::uint32_t by = 0; by < built.gridSize[1]; ++by) {
                for (std::uint32_t bx = 0; bx < built.gridSize[0]; ++bx) {
                    const BrickGridEntry& entry = built.grid[bx + built.gridSize[0] * (by + built.gridSize[1] * bz)];
                    if (entry.index >= kBrickNotBuilt && altered.grid.size() == built.grid.size() &&
                        altered.gridSize == built.gridSize) {
                        continue;  // far and unbuilt entries are still held
                    }
                    const std::array<double, 3> centre{
                        program.boundsMin[0] + (8.0 * bx + 4.0) * built.cellSize,
                        program.boundsMin[1] + (8.0 * by + 4.0) * built.cellSize,
                        program.boundsMin[2] + (8.0 * bz + 4.0) * built.cellSize};
                    EXPECT_EQ(sampleBricks(altered, bx, by, bz, centre), -std::numeric_limits<float>::infinity());
                }
            }
        }
        if (altered.gridSize[2] > built.gridSize[2]) {
            EXPECT_EQ(sampleBricks(altered, 0, 0, altered.gridSize[2] - 1, {0.0, 0.0, 0.0}),
                      -std::numeric_limits<float>::infinity());
        }
        for (std::size_t i = 0; i < rays.origins.size(); ++i) {
            SdnaHit cached;
            traceBricksLocal(cached, altered, rays.origins[i], rays.directions[i], 0.0f, 50.0f, options, 100000,
                             nullptr, 0);
            const SdnaHit exact =
                traceProgram(program, rays.origins[i], rays.directions[i], 0.0f, 50.0f, options);
            expectSameExceptSteps(cached, exact);
        }
    }
}

}  // namespace
}  // namespace qlmr
