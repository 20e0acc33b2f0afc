// The random corpus's per-pixel comparison, its pass rule and its device
// record.
#include "random_corpus.h"

#include "support/test_support.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <filesystem>
#include <limits>
#include <string>
#include <vector>

namespace qlmr {
namespace {

// A 3 x 2 frame and its traces: pixels 0 to 3 hit at t = 2 + i facing +Z
// with material 1 (pixel 3 uncertain on both sides), pixels 4 and 5 miss.
struct Corpus {
    GpuFrame gpu;
    std::vector<SdnaHit> cpu;
};

Corpus agreeing()
{
    Corpus c;
    c.gpu.ok = true;
    c.gpu.width = 3;
    c.gpu.height = 2;
    c.gpu.depth.assign(6, 1e30f);
    c.gpu.normal.assign(6 * 4, 0.0f);
    c.gpu.status.assign(6, kSdnaMiss);
    c.cpu.resize(6);
    for (std::size_t i = 0; i < 4; ++i) {
        SdnaHit& hit = c.cpu[i];
        hit.status = i == 3 ? kSdnaUncertain : kSdnaHit;
        hit.hit = hit.status == kSdnaHit;
        hit.t = 2.0f + static_cast<float>(i);
        hit.normal = {0.0f, 0.0f, 1.0f};
        hit.material = 1;
        hit.distance = 1e-5f;
        c.gpu.depth[i] = hit.t;
        c.gpu.normal[i * 4 + 2] = 1.0f;
        c.gpu.normal[i * 4 + 3] = 1.0f;
        c.gpu.status[i] = hit.status;
    }
    return c;
}

// Every pixel of the frame in row-major order, as the corpus run compares them.
RandomProgramComparison compareFrame(std::uint32_t seed, const Corpus& c, RandomDeviceTally& tally)
{
    RandomProgramComparison r;
    for (std::size_t i = 0; i < c.cpu.size(); ++i)
        compareRandomPixel(seed, c.gpu, i, c.gpu.width, c.cpu[i], tally, r);
    return r;
}

// A frame that does not hold its pixels (a failed frame, a lost read-back,
// rows of another width) hits none of them and gives no status that agrees: each hit of the
// traces is a visibility mismatch, each pixel a status mismatch.
TEST(RandomCorpus, AFrameWithoutThePixelsAgreesNowhere)
{
    const struct {
        const char* what;
        void (*damage)(GpuFrame&);
    } cases[] = {
        {"failed frame", [](GpuFrame& f) { f = GpuFrame{}; }},
        {"half the pixels",
         [](GpuFrame& f) { f.depth.resize(3), f.normal.resize(3 * 4), f.status.resize(3); }},
        {"no status plane", [](GpuFrame& f) { f.status.clear(); }},
        {"rows of another width", [](GpuFrame& f) { f.width = 2, f.height = 3; }},
    };
    for (const auto& k : cases) {
        Corpus c = agreeing();
        k.damage(c.gpu);
        RandomDeviceTally tally;
        RandomProgramComparison r;
        for (std::size_t i = 0; i < c.cpu.size(); ++i)
            compareRandomPixel(0, c.gpu, i, 3, c.cpu[i], tally, r);
        EXPECT_EQ(tally.hits, 0u) << k.what;
        EXPECT_EQ(tally.visibility, 4u) << k.what;
        EXPECT_EQ(tally.status, 6u) << k.what;
        EXPECT_FALSE(randomDevicePassed(tally, 1)) << k.what;
    }
}

// A count or an image edge out of range ends the run before any device is
// opened or any file written, with the reason alone on standard error.
TEST(RandomCorpus, CountOrSizeOutOfRangeIsRefusedFirst)
{
    const struct {
        std::int32_t count;
        std::uint32_t width;
        std::uint32_t height;
    } cases[] = {{0, 32, 24}, {-3, 32, 24}, {1, 0, 24}, {1, 32, 0}, {5, 4097, 24}, {5, 32, 4097}};
    for (const auto& c : cases) {
        test::TempDir dir;
        const std::string out = dir.file("corpus");
        ::testing::internal::CaptureStdout();
        ::testing::internal::CaptureStderr();
        const int code = runRandomSdna(c.count, c.width, c.height, -1, out);
        const std::string errors = ::testing::internal::GetCapturedStderr();
        const std::string report = ::testing::internal::GetCapturedStdout();
        EXPECT_EQ(code, 1) << c.count << " " << c.width << "x" << c.height;
        EXPECT_EQ(errors, "invalid random corpus dimensions/count\n");
        EXPECT_EQ(report, "");
        EXPECT_FALSE(std::filesystem::exists(out));
    }
}

TEST(RandomCorpus, AgreeingFrameCountsHitsAndUncertainPixelsOnly)
{
    const Corpus c = agreeing();
    RandomDeviceTally t;
    t.renders = 1;
    const RandomProgramComparison r = compareFrame(0, c, t);
    EXPECT_EQ(r.differing, 0u);
    EXPECT_EQ(r.details, "");
    EXPECT_EQ(t.hits, 4u);
    EXPECT_EQ(t.uncertainCpu, 1u);
    EXPECT_EQ(t.maxDepthError, 0.0);
    EXPECT_EQ(t.maxNormalError, 0.0);
    EXPECT_TRUE(randomDevicePassed(t, 1));
}

// Each wrong GPU value lands in its own counter and fails the device; an
// error just inside its tolerance does not.
TEST(RandomCorpus, EachKindOfWrongGpuPixelIsCountedAndFailsTheDevice)
{
    constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();
    std::uint64_t RandomDeviceTally::*none = nullptr;
    const struct {
        const char* what;
        void (*spoil)(Corpus&);
        std::uint64_t RandomDeviceTally::*counter;
        std::size_t differing;
    } cases[] = {
        {"depth within 0.0002", [](Corpus& c) { c.gpu.depth[1] += 0.00015f; }, none, 0},
        {"depth past 0.0002", [](Corpus& c) { c.gpu.depth[1] += 0.0003f; }, &RandomDeviceTally::depth, 1},
        {"normal within 0.001", [](Corpus& c) { c.gpu.normal[1 * 4 + 0] = 0.0009f; }, none, 0},
        {"normal past 0.001", [](Corpus& c) { c.gpu.normal[1 * 4 + 0] = 0.002f; }, &RandomDeviceTally::normal, 1},
        {"NaN normal", [](Corpus& c) { c.gpu.normal[0 * 4 + 1] = kNaN; }, &RandomDeviceTally::normal, 1},
        {"other material", [](Corpus& c) { c.gpu.normal[2 * 4 + 3] = 2.0f; }, &RandomDeviceTally::material, 1},
        {"GPU misses a hit", [](Corpus& c) { c.gpu.depth[0] = 1e30f; }, &RandomDeviceTally::visibility, 1},
        {"GPU hits a miss", [](Corpus& c) { c.gpu.depth[5] = 4.0f; }, &RandomDeviceTally::visibility, 1},
        {"uncertain on the GPU only", [](Corpus& c) { c.gpu.status[0] = kSdnaUncertain; }, &RandomDeviceTally::status,
         0},
    };
    for (const auto& k : cases) {
        Corpus c = agreeing();
        k.spoil(c);
        RandomDeviceTally t;
        t.renders = 1;
        const RandomProgramComparison r = compareFrame(0, c, t);
        EXPECT_EQ(r.differing, k.differing) << k.what;
        if (k.counter == none) {
            EXPECT_TRUE(randomDevicePassed(t, 1)) << k.what;
            continue;
        }
        EXPECT_EQ(t.*k.counter, 1u) << k.what;
        EXPECT_EQ(t.visibility + t.depth + t.material + t.normal + t.status, 1u) << k.what;
        EXPECT_FALSE(randomDevicePassed(t, 1)) << k.what;
    }
}

TEST(RandomCorpus, LargestErrorsAreKeptOverThePixels)
{
    Corpus c = agreeing();
    c.gpu.depth[0] += 0.5f;
    c.gpu.depth[2] += 0.25f;
    c.gpu.normal[1 * 4 + 0] = 0.6f;
    c.gpu.normal[3 * 4 + 0] = 0.8f;
    RandomDeviceTally t;
    compareFrame(0, c, t);
    EXPECT_NEAR(t.maxDepthError, 0.5, 1e-6);
    EXPECT_NEAR(t.maxNormalError, 0.8, 1e-6);
    EXPECT_EQ(t.depth, 2u);
    EXPECT_EQ(t.normal, 2u);
}

// Four differing pixels, the first a visibility mismatch: only the both-hit
// pixels that follow fewer than two differing pixels get a detail line.
TEST(RandomCorpus, AtMostTwoDetailLinesPerProgram)
{
    Corpus c = agreeing();
    c.gpu.depth[0] = 1e30f;  // visibility: no line, but it differed
    c.gpu.depth[1] = 3.5f;   // line (one pixel differed before)
    c.gpu.normal[2 * 4 + 3] = 7.0f;  // no line: two pixels differed before
    c.gpu.normal[3 * 4 + 0] = 1.0f;  // no line
    RandomDeviceTally t;
    const RandomProgramComparison r = compareFrame(9, c, t);
    EXPECT_EQ(r.differing, 4u);
    EXPECT_EQ(r.details, "    seed 9 pixel 1,0 t 3 / 3.5 n 0 0 1 / 0 0 1 residual 1e-05\n");

    Corpus d = agreeing();
    d.gpu.depth[1] = 3.5f;
    d.gpu.depth[3] = 6.0f;
    const RandomProgramComparison e = compareFrame(4, d, t);
    EXPECT_EQ(e.details, "    seed 4 pixel 1,0 t 3 / 3.5 n 0 0 1 / 0 0 1 residual 1e-05\n"
                         "    seed 4 pixel 0,1 t 5 / 6 n 0 0 1 / 0 0 1 residual 1e-05\n");
}

TEST(RandomCorpus, DevicePassesOnlyWithAllRendersSomeHitsAndNoMismatch)
{
    RandomDeviceTally t;
    t.renders = 4;
    t.hits = 10;
    t.uncertainCpu = 3;  // uncertain reference pixels alone do not fail
    EXPECT_TRUE(randomDevicePassed(t, 4));
    EXPECT_FALSE(randomDevicePassed(t, 5));
    std::uint64_t RandomDeviceTally::*counters[] = {&RandomDeviceTally::visibility, &RandomDeviceTally::depth,
                                                    &RandomDeviceTally::material, &RandomDeviceTally::normal,
                                                    &RandomDeviceTally::status};
    for (auto counter : counters) {
        RandomDeviceTally bad = t;
        bad.*counter = 1;
        EXPECT_FALSE(randomDevicePassed(bad, 4));
    }
    RandomDeviceTally noHits = t;
    noHits.hits = 0;
    EXPECT_FALSE(randomDevicePassed(noHits, 4));
}

TEST(RandomCorpus, DeviceObjectHasTheKeysInOrderWithoutSpaces)
{
    RandomDeviceTally t;
    t.renders = 2;
    t.hits = 310;
    t.maxDepthError = 1.2e-05;
    t.maxNormalError = 0.0003;
    t.gpuMs = 1.5;
    EXPECT_EQ(randomDeviceJson(0, t, true),
              "{\"index\":0,\"renders\":2,\"hits\":310,\"uncertain_cpu\":0,\"visibility\":0,\"depth\":0,"
              "\"material\":0,\"normal\":0,\"status_mismatch\":0,\"max_depth_error\":1.2e-05,"
              "\"max_normal_error\":0.0003,\"gpu_ms\":1.5,\"passed\":true}");
}

} // namespace
} // namespace qlmr
