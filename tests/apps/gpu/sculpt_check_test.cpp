// The sculpt check: the blend, the arch, the probe points and the tolerance
// on the processor, and the kernel on the machine's first device.
#include "sculpt_check.h"

#include "sdna/evaluator.h"
#include "support/test_support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <random>
#include <string>
#include <vector>

namespace qlmr {
namespace {

TEST(SculptSmoothMin, KnownValues)
{
    EXPECT_FLOAT_EQ(sculptSmoothMin(1.0f, 1.0f, 0.5f), 0.875f);
    EXPECT_FLOAT_EQ(sculptSmoothMin(0.0f, 3.0f, 0.5f), 0.0f);
    EXPECT_FLOAT_EQ(sculptSmoothMin(2.0f, -1.0f, 0.0f), -1.0f);
    EXPECT_FLOAT_EQ(sculptSmoothMin(2.0f, -1.0f, -1.0f), -1.0f);
}

TEST(SculptSmoothMin, NeverAboveTheMinimumAndEqualOutsideTheBlend)
{
    std::mt19937 generator(5);
    std::uniform_real_distribution<float> value(-3.0f, 3.0f);
    for (int i = 0; i < 1000; ++i) {
        const float a = value(generator);
        const float b = value(generator);
        const float k = 0.5f;
        const float r = sculptSmoothMin(a, b, k);
        EXPECT_LE(r, std::min(a, b));
        EXPECT_GE(r, std::min(a, b) - k / 4.0f);
        if (std::fabs(a - b) >= k) {
            EXPECT_EQ(r, std::min(a, b));
        }
    }
}

TEST(SculptArch, IsThreeCapsulesOfRadiusHalf)
{
    SdnaProgram arch;
    std::string error;
    ASSERT_TRUE(buildSculptArch(arch, error)) << error;
    // On the axis of each capsule the distance is -0.5; at the crown's top 0.
    EXPECT_NEAR(evaluateProgram(arch, {-2.0f, 2.0f, 0.0f}).distance, -0.5f, 1e-6f);
    EXPECT_NEAR(evaluateProgram(arch, {2.0f, 1.0f, 0.0f}).distance, -0.5f, 1e-6f);
    EXPECT_NEAR(evaluateProgram(arch, {0.0f, 4.5f, 0.0f}).distance, 0.0f, 1e-6f);
    EXPECT_NEAR(evaluateProgram(arch, {0.0f, 0.0f, 0.0f}).distance, 1.5f, 1e-6f);
}

TEST(SculptProbe, PointsFollowTheDrawOrderAndLieAroundTheSurface)
{
    const auto points = sculptProbePoints(200);
    ASSERT_EQ(points.size(), 200u);
    std::mt19937 generator(20261028u);
    for (const auto& p : points) {
        const float x = static_cast<float>(generator() >> 8) * 0x1p-24f * 8.0f - 4.0f;
        const float z = static_cast<float>(generator() >> 8) * 0x1p-24f * 8.0f - 4.0f;
        const float u = static_cast<float>(generator() >> 8) * 0x1p-24f;
        EXPECT_EQ(p[0], x);
        EXPECT_EQ(p[2], z);
        EXPECT_EQ(p[3], 0.2f * std::sin(z) + 0.3f * x);
        EXPECT_EQ(p[1], 4.0f * u - 2.0f + p[3]);
    }
    EXPECT_EQ(sculptProbePoints(1).front(), points.front());
}

TEST(SculptReference, WithoutBlendIsTheUnionOrDifference)
{
    SdnaProgram arch;
    std::string error;
    ASSERT_TRUE(buildSculptArch(arch, error)) << error;
    for (const auto& p : sculptProbePoints(64)) {
        const float s = evaluateProgram(arch, {p[0], p[1], p[2]}).distance;
        const float plane = (p[1] - p[3]) / std::sqrt(1.25f);
        EXPECT_EQ(sculptReference(arch, p, SculptOperation::Add, 0.0f), std::min(plane, s));
        EXPECT_EQ(sculptReference(arch, p, SculptOperation::Carve, 0.0f), std::max(plane, -s));
    }
}

TEST(SculptCompare, ToleranceIsAbsoluteBelowOneAndRelativeAbove)
{
    EXPECT_TRUE(compareSculpt({0.5f + 0.9e-5f}, {0.5f}).passed);
    EXPECT_FALSE(compareSculpt({0.5f + 1.2e-5f}, {0.5f}).passed);
    EXPECT_TRUE(compareSculpt({100.0f + 0.9e-3f}, {100.0f}).passed);
    EXPECT_FALSE(compareSculpt({100.0f + 1.2e-3f}, {100.0f}).passed);
    EXPECT_FALSE(compareSculpt({std::nanf("")}, {0.0f}).passed);
    EXPECT_FALSE(compareSculpt({std::numeric_limits<float>::infinity()}, {3.0f}).passed);
    // One bad point among good ones fails the whole check.
    EXPECT_FALSE(compareSculpt({0.25f, -2.0f, 7.0f + 1e-3f, 0.5f}, {0.25f, -2.0f, 7.0f, 0.5f}).passed);
    const SculptTally t = compareSculpt({1.0f, 4.0f}, {1.0f, 3.0f});
    EXPECT_DOUBLE_EQ(t.worstAbs, 1.0);
    EXPECT_DOUBLE_EQ(t.worstRel, 1.0 / 3.0);
}

// Points the kernel gave no distance for (a short or empty result) fail the
// check; the worst errors are those of the points it did give.
TEST(SculptCompare, MissingDistancesFail)
{
    const SculptTally none = compareSculpt({}, {0.5f, 2.0f});
    EXPECT_FALSE(none.passed);
    const SculptTally short1 = compareSculpt({0.5f}, {0.5f, 2.0f});
    EXPECT_FALSE(short1.passed);
    EXPECT_EQ(short1.worstAbs, 0.0);
}

// With the row limit lowered to 3 workgroups, 1000 points (16 groups) run as
// 6 rows of groups; the kernel must still give every point its distance.
TEST(SculptKernel, OnDeviceEveryPointGetsItsDistanceWhenGroupsRunInRows)
{
    VulkanContext context;
    std::string error;
    if (!context.createInstance(&error) || !context.createDevice(0, &error)) {
        if (test::runningInCi())
            FAIL() << "no Vulkan device in CI: " << error;
        GTEST_SKIP() << "no Vulkan device: " << error;
    }
    SdnaProgram arch;
    ASSERT_TRUE(buildSculptArch(arch, error)) << error;
    const std::vector<std::array<float, 4>> points = sculptProbePoints(1000);
    context.maxComputeWorkGroupCount[0] = 3;
    ASSERT_EQ(linearDispatch(context, points.size()), (DispatchGrid{3, 6}));
    std::vector<float> distances;
    const ComputeResult run = runSculptKernel(context, arch, points, SculptOperation::Carve, 0.5f, distances);
    ASSERT_TRUE(run.ok) << run.error;
    std::vector<float> reference;
    for (const auto& p : points)
        reference.push_back(sculptReference(arch, p, SculptOperation::Carve, 0.5f));
    const SculptTally tally = compareSculpt(distances, reference);
    EXPECT_TRUE(tally.passed) << "worst abs " << tally.worstAbs;
}

// A single point still runs one group per check; the report goes to
// standard output unless a stream is named.
TEST(SculptCheck, OnePointOnTheFirstDeviceReportsFourPassingChecks)
{
    VulkanContext context;
    std::string error;
    if (!context.createInstance(&error) || context.listDevices().empty()) {
        if (test::runningInCi())
            FAIL() << "no Vulkan device in CI: " << error;
        GTEST_SKIP() << "no Vulkan device: " << error;
    }
    ::testing::internal::CaptureStdout();
    const int code = runSculptCheck(1, 0);
    const std::string report = ::testing::internal::GetCapturedStdout();
    EXPECT_EQ(code, 0) << report;
    EXPECT_EQ(report.rfind("== ", 0), 0u) << report;
    for (const char* check : {"  sculpt add   k=0.0: 1 points, ", "  sculpt add   k=0.5: 1 points, ",
                              "  sculpt carve k=0.0: 1 points, ", "  sculpt carve k=0.5: 1 points, "}) {
        const std::size_t at = report.find(check);
        ASSERT_NE(at, std::string::npos) << check << "\n" << report;
        EXPECT_EQ(report.substr(report.find('\n', at) - 6, 7), ": PASS\n") << report;
    }
}

} // namespace
} // namespace qlmr
