// Comparison of a GPU field frame with the CPU G-buffer, read through the
// G-buffer's packet layout, and the frame-time percentiles.
#include "scene_comparison.h"

#include "scene/tone_map.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

namespace qlmr {
namespace {

constexpr float kInf = std::numeric_limits<float>::infinity();

void set(GBuffer& g, unsigned plane, std::uint32_t x, std::uint32_t y, float value)
{
    g.plane(plane)[g.index(x, y)] = value;
}

// A 5 x 3 image (odd, so the packets have padding) where every pixel but
// one hits at a depth that depends on its position; the GPU frame is the
// same in row-major order.
struct Pair {
    GpuFrame gpu;
    GBuffer cpu;
};

Pair matching()
{
    Pair p;
    const std::uint32_t w = 5, h = 3;
    EXPECT_TRUE(p.cpu.resize(w, h));
    p.gpu.ok = true;
    p.gpu.width = w;
    p.gpu.height = h;
    p.gpu.color.assign(w * h * 4, 0.0f);
    p.gpu.depth.assign(w * h, 1e30f);
    p.gpu.normal.assign(w * h * 4, 0.0f);
    for (std::uint32_t y = 0; y < h; ++y) {
        for (std::uint32_t x = 0; x < w; ++x) {
            const std::size_t i = y * w + x;
            const bool hit = !(x == 4 && y == 2);
            const float depth = hit ? 1.0f + static_cast<float>(i) : kInf;
            set(p.cpu, GBuffer::Depth, x, y, depth);
            p.gpu.depth[i] = hit ? depth : 1e30f;
            set(p.cpu, GBuffer::NormalX, x, y, 0.0f);
            set(p.cpu, GBuffer::NormalY, x, y, 1.0f);
            set(p.cpu, GBuffer::NormalZ, x, y, 0.0f);
            p.gpu.normal[i * 4 + 1] = 2.0f;  // unnormalised on the GPU side
            for (unsigned c = 0; c < 3; ++c) {
                const float value = 0.05f * static_cast<float>(i + c);
                set(p.cpu, GBuffer::ColorR + c, x, y, value);
                p.gpu.color[i * 4 + c] = value;
            }
            set(p.cpu, GBuffer::Cost, x, y, 4.0f);
            p.gpu.color[i * 4 + 3] = 2.0f;
        }
    }
    return p;
}

TEST(SceneComparison, MatchingFramesAreExactWithEveryPixelInPlace)
{
    const Pair p = matching();
    const SceneComparison c = compareSceneFrame(p.gpu, p.cpu, {});
    EXPECT_EQ(c.pixels, 15u);
    EXPECT_EQ(c.hits, 14u);
    EXPECT_EQ(c.coverageMismatch, 0u);
    EXPECT_EQ(c.differing, 0u);
    EXPECT_EQ(c.squaredSum, 0.0);
    EXPECT_NEAR(c.angleSum, 0.0, 1e-9);
    EXPECT_EQ(c.gpuIters, 30.0);
    EXPECT_EQ(c.cpuIters, 60.0);
    EXPECT_EQ(c.gpuImage[7 * 4 + 1], toneMap8(0.05f * 8));
    const LevelsMeasures m = sceneMeasures(c);
    EXPECT_TRUE(std::isinf(m.imageDb));
    EXPECT_TRUE(std::isnan(m.solidDb));
    EXPECT_TRUE(levelsVerdict("wide", m, prismsLimits()).passed());
    EXPECT_NE(sceneViewLine("wide", 2.0, 8.0, c).find("| PSNR exact, 0 px differ |"), std::string::npos);
}

TEST(SceneComparison, DisagreementsAreCountedWhereTheyHappen)
{
    Pair p = matching();
    p.gpu.depth[3] = 1e30f;             // GPU misses pixel (3, 0)
    p.gpu.depth[6] *= 1.01f;            // 1 % depth error at (1, 1)
    p.gpu.normal[8 * 4 + 0] = 2.0f;     // 45 degrees at (3, 1)
    p.gpu.color[12 * 4 + 0] += 1.0f;    // a red channel far off at (2, 2)
    std::vector<std::uint8_t> mask(15, 0);
    mask[12] = 1;
    mask[13] = 1;
    const SceneComparison c = compareSceneFrame(p.gpu, p.cpu, mask);
    EXPECT_EQ(c.coverageMismatch, 1u);
    EXPECT_EQ(c.hits, 13u);
    EXPECT_NEAR(c.depthRelSum, 0.01, 1e-6);
    EXPECT_NEAR(c.angleSum, 45.0, 1e-3);
    EXPECT_EQ(c.normalOver5, 1u);
    EXPECT_EQ(c.differing, 1u);
    EXPECT_EQ(c.off, 1u);
    EXPECT_EQ(c.solidPixels, 2u);
    EXPECT_EQ(c.solidChannelsDiffering, 1u);
    EXPECT_EQ(c.solidSquaredSum, c.squaredSum);
    const LevelsMeasures m = sceneMeasures(c);
    EXPECT_NEAR(m.solidDb, psnrDb(c.squaredSum, 6.0), 1e-12);
    EXPECT_FALSE(levelsVerdict("wide", m, prismsLimits()).hitPassed);
}

// Stamps or a small terrain can put the eye inside the ground: both sides
// then hit at depth 0, which agrees and must not turn the depth error into
// NaN (and the verdict into a failure).
TEST(SceneComparison, HitsAtTheCameraOnBothSidesAgree)
{
    Pair p = matching();
    for (const std::uint32_t x : {0u, 1u}) {
        set(p.cpu, GBuffer::Depth, x, 0, 0.0f);
        p.gpu.depth[x] = 0.0f;
    }
    const SceneComparison c = compareSceneFrame(p.gpu, p.cpu, {});
    EXPECT_EQ(c.hits, 14u);
    EXPECT_EQ(c.depthRelSum, 0.0);
    EXPECT_TRUE(levelsVerdict("close", sceneMeasures(c), prismsLimits()).passed());

    // Only the GPU at the camera: a depth error, not an agreement.
    p.gpu.depth[0] = 0.5f;
    set(p.cpu, GBuffer::Depth, 1, 0, 0.5f);
    const SceneComparison off = compareSceneFrame(p.gpu, p.cpu, {});
    EXPECT_EQ(off.depthRelSum, std::numeric_limits<double>::infinity());
    EXPECT_FALSE(levelsVerdict("close", sceneMeasures(off), prismsLimits()).hitPassed);
}

TEST(SceneComparison, ANaNNormalOnTheGpuFailsTheVerdict)
{
    Pair p = matching();
    p.gpu.normal[5 * 4 + 1] = std::numeric_limits<float>::quiet_NaN();
    const SceneComparison c = compareSceneFrame(p.gpu, p.cpu, {});
    EXPECT_EQ(c.normalOver5, 1u);
    EXPECT_FALSE(levelsVerdict("wide", sceneMeasures(c), prismsLimits()).hitPassed);
}

TEST(FrameTimes, PercentilesNeedThreeFrames)
{
    EXPECT_EQ(frameTimesLine("wide", {1.0, 2.0}), "");
    EXPECT_EQ(frameTimesLine("wide", {3.0, 1.0, 2.0}),
              "  [wide  ] frames n=3: p50 2.00, p95 3.00, p99 3.00, min 1.00, max 3.00 ms\n");
    std::vector<double> sorted;
    for (int i = 0; i < 100; ++i)
        sorted.push_back(i);
    EXPECT_EQ(percentile(sorted, 0.5), 50.0);
    EXPECT_EQ(percentile(sorted, 0.95), 95.0);
    EXPECT_EQ(percentile(sorted, 1.0), 99.0);
}

} // namespace
} // namespace qlmr
