// The frame-against-frame comparison of the mesh runs.
#include "device_variants.h"

#include <gtest/gtest.h>

#include <cmath>

namespace qlmr {
namespace {

GpuFrame frame(std::vector<float> depth, std::vector<float> normal)
{
    GpuFrame f;
    f.ok = true;
    f.depth = std::move(depth);
    f.normal = std::move(normal);
    return f;
}

TEST(CompareGBuffers, CoverageDepthAndAngleOverPixelsHitOnBothSides)
{
    // Pixel 0: both hit, depth 2 vs 2.2, normals 90 degrees apart (unnormalised).
    // Pixel 1: only the reference hits. Pixel 2: both miss. Pixel 3: both hit, equal.
    const GpuFrame reference = frame({2.0f, 1.0f, 1e30f, 5.0f}, {0, 3, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 1, 0, 0, 0});
    const GpuFrame test = frame({2.2f, 1e30f, 1e30f, 5.0f}, {2, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1, 0, 0, 0});
    const GBufferDifference d = compareGBuffers(reference, test);
    EXPECT_DOUBLE_EQ(d.coveragePercent, 25.0);
    EXPECT_NEAR(d.depthRel, (0.2 / 2.2) / 2.0, 1e-7);
    EXPECT_NEAR(d.normalDegrees, 45.0, 1e-4);
}

TEST(CompareGBuffers, BothSidesHitAtTheCameraAgree)
{
    const GpuFrame a = frame({0.0f, 4.0f}, {0, 1, 0, 0, 0, 1, 0, 0});
    const GBufferDifference d = compareGBuffers(a, a);
    EXPECT_EQ(d.depthRel, 0.0);
    EXPECT_EQ(d.coveragePercent, 0.0);
}

TEST(CompareGBuffers, NoCommonHitsGiveZeros)
{
    const GpuFrame a = frame({1e30f, 1e30f}, std::vector<float>(8, 0.0f));
    const GBufferDifference d = compareGBuffers(a, a);
    EXPECT_EQ(d.coveragePercent, 0.0);
    EXPECT_EQ(d.depthRel, 0.0);
    EXPECT_EQ(d.normalDegrees, 0.0);
}

// A frame without every pixel's planes (a failed render, another size) is
// a miss in every pixel of the test frame, on whichever side it stands.
TEST(CompareGBuffers, AFrameWithoutItsPlanesMissesEveryPixel)
{
    const GpuFrame hits = frame({2.0f, 3.0f}, {0, 1, 0, 0, 0, 1, 0, 0});
    const GpuFrame failed;
    const GpuFrame onePixel = frame({2.0f}, {0, 1, 0, 0});
    const GpuFrame noNormals = frame({2.0f, 3.0f}, {});
    for (const GpuFrame* missing : {&failed, &onePixel, &noNormals}) {
        const GBufferDifference asReference = compareGBuffers(*missing, hits);
        EXPECT_DOUBLE_EQ(asReference.coveragePercent, 100.0);
        EXPECT_EQ(asReference.depthRel, 0.0);
        EXPECT_EQ(asReference.normalDegrees, 0.0);
    }
    EXPECT_DOUBLE_EQ(compareGBuffers(hits, noNormals).coveragePercent, 100.0);
}

} // namespace
} // namespace qlmr
