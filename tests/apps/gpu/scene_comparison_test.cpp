// Comparison of a GPU field frame with the CPU G-buffer, read through the
// G-buffer's packet layout, and the frame-time percentiles.
#include "scene_comparison.h"

#include "scene/tone_map.h"

#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <limits>
#include <string>

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

// A frame whose planes do not hold the reference image (the read-back was
// lost, or the frame has another size) has no pixel that agrees: every
// reference pixel is compared and fails, none is skipped or read past the
// planes.
TEST(SceneComparison, AGpuFrameWithoutTheImagesPlanesFailsEveryPixel)
{
    const struct {
        const char* what;
        void (*damage)(GpuFrame&);
    } cases[] = {
        {"planes never read back", [](GpuFrame& f) { f.color.clear(), f.depth.clear(), f.normal.clear(); }},
        {"one row short",
         [](GpuFrame& f) {
             f.height = 2;
             f.color.resize(5 * 2 * 4), f.depth.resize(5 * 2), f.normal.resize(5 * 2 * 4);
         }},
        {"rows of another width", [](GpuFrame& f) { f.width = 3, f.height = 5; }},
    };
    for (const auto& k : cases) {
        Pair p = matching();
        k.damage(p.gpu);
        const SceneComparison c = compareSceneFrame(p.gpu, p.cpu, {});
        EXPECT_EQ(c.pixels, 15u) << k.what;
        EXPECT_EQ(c.hits, 0u) << k.what;
        EXPECT_EQ(c.coverageMismatch, 14u) << k.what;
        EXPECT_EQ(c.differing, 15u) << k.what;
        EXPECT_EQ(c.off, 15u) << k.what;
        EXPECT_EQ(c.gpuImage.size(), 15u * 4) << k.what;
        const LevelsVerdict v = levelsVerdict("wide", sceneMeasures(c), prismsLimits());
        EXPECT_FALSE(v.hitPassed) << k.what;
        EXPECT_FALSE(v.imagePassed) << k.what;
    }
}

// A solid mask shorter than the image (made for a smaller one) marks the
// pixels it holds and none past its end.
TEST(SceneComparison, ASolidMaskShorterThanTheImageMarksNothingPastIt)
{
    Pair p = matching();
    for (const std::size_t i : {1u, 13u, 14u})
        p.gpu.color[i * 4] += 1.0f;  // red far off in pixels 1, 13 and 14
    const std::vector<std::uint8_t> mask{0, 1};
    const SceneComparison c = compareSceneFrame(p.gpu, p.cpu, mask);
    EXPECT_EQ(c.differing, 3u);
    EXPECT_EQ(c.solidPixels, 1u);
    EXPECT_EQ(c.solidChannelsDiffering, 1u);
    EXPECT_LT(c.solidSquaredSum, c.squaredSum);
}

// The linear value whose tone-mapped byte is `byte`.
float linearFor(std::uint8_t byte)
{
    for (float x = 0.0f; x < 64.0f; x += 1e-4f)
        if (toneMap8(x) == byte)
            return x;
    ADD_FAILURE() << "no linear value maps to " << int(byte);
    return 0.0f;
}

// One red channel of a 5 x 3 frame off by `d` bytes: 45 samples, so the
// image PSNR is 10 log10(65025 x 45 / d^2), at least 45 dB up to d = 9.
TEST(SceneComparison, ColourOffPastThePsnrLimitFailsTheImageVerdict)
{
    const struct {
        int d;
        bool passes;
        const char* psnr;
    } cases[] = {{9, true, "45.58 dB"}, {10, false, "44.66 dB"}, {25, false, "36.70 dB"}};
    for (const auto& k : cases) {
        Pair p = matching();
        set(p.cpu, GBuffer::ColorR, 2, 1, linearFor(100));
        p.gpu.color[7 * 4] = linearFor(static_cast<std::uint8_t>(100 + k.d));
        const SceneComparison c = compareSceneFrame(p.gpu, p.cpu, {});
        EXPECT_EQ(c.squaredSum, k.d * k.d) << k.d;
        EXPECT_EQ(c.differing, 1u) << k.d;
        EXPECT_EQ(c.off, k.d > 24 ? 1u : 0u) << k.d;
        EXPECT_EQ(c.gpuImage[7 * 4], 100 + k.d);
        EXPECT_NE(sceneViewLine("wide", 1.0, 1.0, c).find(std::string("| PSNR ") + k.psnr + ", 1 px differ |"),
                  std::string::npos)
            << sceneViewLine("wide", 1.0, 1.0, c);
        for (const LevelsLimits& limits : {prismsLimits(), oneFrameLimits()}) {
            const LevelsVerdict v = levelsVerdict("wide", sceneMeasures(c), limits);
            EXPECT_TRUE(v.hitPassed) << v.line;
            EXPECT_EQ(v.imagePassed, k.passes) << v.line;
            EXPECT_NE(v.line.find(k.passes ? "| image PASS (" : "| image FAIL ("), std::string::npos) << v.line;
        }
    }
}

// The diorama's limits are stricter on depth and add a limit on the pixels
// the critter changed; the field scenes' are not.
TEST(SceneComparison, OneFrameLimitsCatchWhatPrismLimitsLetPass)
{
    // A mean relative depth error of 0.0005 over the 14 hits.
    Pair deep = matching();
    deep.gpu.depth[6] *= 1.0f + 14 * 0.0005f;
    const LevelsMeasures depth = sceneMeasures(compareSceneFrame(deep.gpu, deep.cpu, {}));
    EXPECT_TRUE(levelsVerdict("orbit0", depth, prismsLimits()).passed());
    EXPECT_FALSE(levelsVerdict("orbit0", depth, oneFrameLimits()).hitPassed);

    // Nine bytes off on the one solid pixel: 45.6 dB over the image, but
    // 10 log10(65025 x 3 / 81) = 33.82 dB over the solid pixel.
    Pair solid = matching();
    set(solid.cpu, GBuffer::ColorG, 0, 2, linearFor(60));
    solid.gpu.color[10 * 4 + 1] = linearFor(69);
    std::vector<std::uint8_t> mask(15, 0);
    mask[10] = 1;
    const SceneComparison c = compareSceneFrame(solid.gpu, solid.cpu, mask);
    EXPECT_EQ(solidAffectedLine("orbit0", c), "  [orbit0] solid-affected 1 px: PSNR 33.82 dB, 1 channel values differ\n");
    const LevelsMeasures m = sceneMeasures(c);
    EXPECT_TRUE(levelsVerdict("orbit0", m, prismsLimits()).passed());
    const LevelsVerdict v = levelsVerdict("orbit0", m, oneFrameLimits());
    EXPECT_FALSE(v.imagePassed);
    EXPECT_NE(v.line.find("| image FAIL (45.6 dB >= 45, solid pixels 33.8 dB >= 45)\n"), std::string::npos) << v.line;

    // The same difference outside the mask leaves the solid pixel exact.
    mask[10] = 0;
    mask[0] = 1;
    const SceneComparison elsewhere = compareSceneFrame(solid.gpu, solid.cpu, mask);
    EXPECT_EQ(solidAffectedLine("orbit0", elsewhere), "  [orbit0] solid-affected 1 px: exact\n");
    EXPECT_TRUE(levelsVerdict("orbit0", sceneMeasures(elsewhere), oneFrameLimits()).passed());
    EXPECT_EQ(solidAffectedLine("orbit0", compareSceneFrame(solid.gpu, solid.cpu, {})), "");
}

TEST(SceneComparison, ViewLineFormatsEveryMeasure)
{
    SceneComparison c;
    c.pixels = 200;
    c.hits = 160;
    c.coverageMismatch = 3;
    c.normalOver5 = 4;
    c.differing = 17;
    c.off = 5;
    c.angleSum = 80.0;
    c.depthRelSum = 0.0192;
    c.gpuIters = 2510.0;
    c.cpuIters = 2490.0;
    c.squaredSum = 600.0;
    EXPECT_EQ(sceneViewLine("aerial", 12.345, 98.76, c),
              "  [aerial] GPU   12.35 ms (CPU   98.8 ms, x8) | PSNR 48.13 dB, 17 px differ | coverage mismatch 1.500% | "
              "depth rel 1.2e-04 | normal 0.50 deg (>5: 2.50%) | color off 2.50% | iters GPU 12.6 CPU 12.4\n");
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

// A long view name and wide numbers do not cut a report line short: the
// whole name, the end of the line and its line break are all there.
TEST(SceneComparison, ReportLinesKeepLongNamesAndWideNumbersWhole)
{
    const std::string name(700, 'v');
    Pair p = matching();
    p.gpu.color[0] += 1.0f;
    const SceneComparison c = compareSceneFrame(p.gpu, p.cpu, std::vector<std::uint8_t>(15, 1));
    const struct {
        const char* what;
        std::function<std::string()> line;
        const char* end;
    } cases[] = {
        {"view line", [&] { return sceneViewLine(name, 1.0, 2.0, c); }, " CPU 4.0\n"},
        {"solid line", [&] { return solidAffectedLine(name, c); }, " channel values differ\n"},
        {"frame times", [&] { return frameTimesLine(name, {1.0, 2.0, 3.0}); }, " max 3.00 ms\n"},
        {"wide frame times", [&] { return frameTimesLine("wide", {1.0, 2.0, 1e300}); }, " ms\n"},
        {"verdict", [&] { return levelsVerdict(name, sceneMeasures(c), prismsLimits()).line; }, " >= 45)\n"},
    };
    for (const auto& k : cases) {
        const std::string line = k.line();
        EXPECT_NE(line.find(k.what[0] == 'w' ? "  [wide  ] " : "  [" + name + "] "), std::string::npos)
            << k.what;
        const std::string end = k.end;
        ASSERT_GE(line.size(), end.size()) << k.what;
        EXPECT_EQ(line.substr(line.size() - end.size()), end) << k.what << ": " << line;
    }
}

// Out of its range, p is taken at the nearest end of the list; an empty list
// has no element to give.
TEST(FrameTimes, PercentileStaysWithinTheList)
{
    const std::vector<double> sorted{1.0, 2.0, 3.0};
    const struct {
        double p;
        double element;
    } cases[] = {{-0.5, 1.0}, {0.0, 1.0}, {2.0, 3.0}, {std::numeric_limits<double>::infinity(), 3.0},
                 {std::numeric_limits<double>::quiet_NaN(), 1.0}};
    for (const auto& c : cases)
        EXPECT_EQ(percentile(sorted, c.p), c.element) << c.p;
    EXPECT_TRUE(std::isnan(percentile({}, 0.5)));
}

} // namespace
} // namespace qlmr
