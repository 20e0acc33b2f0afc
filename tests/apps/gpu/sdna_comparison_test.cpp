// Comparison of a GPU shape-program frame with its CPU reference and the
// report lines made from it.
#include "sdna_comparison.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <limits>
#include <regex>

namespace qlmr {
namespace {

// A 2 x 1 frame and its reference: pixel 0 hits at t = 2 facing +Y with
// material 1, pixel 1 misses.
struct Pair {
    GpuFrame gpu;
    SdnaCpuResult cpu;
};

Pair hitAndMiss()
{
    Pair p;
    p.gpu.ok = true;
    p.gpu.width = 2;
    p.gpu.height = 1;
    p.gpu.color = {0.5f, 0.25f, 1.0f, 7.0f, 0.1f, 0.2f, 0.3f, 3.0f};
    p.gpu.depth = {2.0f, 1e30f};
    p.gpu.normal = {0.0f, 1.0f, 0.0f, 1.0f, 0.0f, 0.0f, 0.0f, 0.0f};
    p.gpu.status = {1, 0};
    p.cpu.depth = p.gpu.depth;
    p.cpu.normal = p.gpu.normal;
    p.cpu.steps = {7.0f, 3.0f};
    p.cpu.totalSteps = 10;
    p.cpu.ms = 12.0;
    for (int i = 0; i < 2; ++i) {
        for (int c = 0; c < 3; ++c)
            p.cpu.colour.push_back(sdnaDisplayByte(p.gpu.color[i * 4 + c]));
        p.cpu.colour.push_back(255);
    }
    return p;
}

TEST(SdnaDisplay, MatchesTheReinhardSrgbCurve)
{
    for (float c = -1.0f; c < 40.0f; c += 0.01f) {
        const double x = std::clamp(static_cast<double>(c) / (c + 1.0), 0.0, 1.0);
        const double s = x <= 0.0031308 ? 12.92 * x : 1.055 * std::pow(x, 1.0 / 2.4) - 0.055;
        EXPECT_NEAR(sdnaDisplayByte(c), std::round(255.0 * s), 1.0) << c;
    }
    EXPECT_EQ(sdnaDisplayByte(0.0f), 0);
    EXPECT_EQ(sdnaDisplayByte(1e30f), 255);
    // Colours beyond the float range show as the processor render shows them.
    EXPECT_EQ(sdnaDisplayByte(std::numeric_limits<float>::infinity()), 255);
    EXPECT_EQ(sdnaDisplayByte(std::numeric_limits<float>::quiet_NaN()), 0);
}

TEST(SdnaComparison, IdenticalFramesAreExact)
{
    const Pair p = hitAndMiss();
    const SdnaComparison c = compareSdnaFrame(p.gpu, p.cpu);
    EXPECT_EQ(c.pixels, 2u);
    EXPECT_EQ(c.hits, 1u);
    EXPECT_EQ(c.coverageMismatch, 0u);
    EXPECT_EQ(c.differing, 0u);
    EXPECT_EQ(c.squaredSum, 0.0);
    EXPECT_EQ(c.gpuStepsSum, 10.0);
    EXPECT_EQ(c.gpuImage, p.cpu.colour);
    const std::string line = sdnaViewLine("front", 4.0, p.cpu, c);
    EXPECT_EQ(line,
              "  [front] GPU    4.00 ms (CPU   12.0 ms, x3) | PSNR exact, 0 px differ (max 0) | coverage mismatch "
              "0.0000% | depth rel 0.0e+00 | normal 0.000 deg (>5: 0.000%) | material mismatch 0 | color off 0.000% | "
              "steps GPU 5.00 CPU 5.00\n");
    const LevelsVerdict v = sdnaVerdict("front", c);
    EXPECT_TRUE(v.passed());
    EXPECT_NE(v.line.find("image PASS (999.0 dB >= 90)"), std::string::npos) << v.line;
}

// An eye inside the program: both sides hit at depth 0 and agree.
TEST(SdnaComparison, HitsAtTheCameraOnBothSidesAgree)
{
    Pair p = hitAndMiss();
    p.gpu.depth[0] = 0.0f;
    p.cpu.depth[0] = 0.0f;
    const SdnaComparison c = compareSdnaFrame(p.gpu, p.cpu);
    EXPECT_EQ(c.hits, 1u);
    EXPECT_EQ(c.depthRelSum, 0.0);
    EXPECT_TRUE(sdnaVerdict("front", c).passed());
}

TEST(SdnaComparison, ANaNNormalOnTheGpuFailsTheVerdict)
{
    Pair p = hitAndMiss();
    p.gpu.normal[1] = std::nanf("");
    const SdnaComparison c = compareSdnaFrame(p.gpu, p.cpu);
    EXPECT_EQ(c.normalOver5, 1u);
    EXPECT_FALSE(sdnaVerdict("front", c).passed());
}

// A frame that does not hold the reference's pixels (a failed frame, one of
// another size, one without its status plane) agrees nowhere: every pixel
// counts as a GPU miss with the farthest colour, none is read past the
// frame's planes.
TEST(SdnaComparison, AGpuFrameWithoutTheReferencesPlanesFailsEveryPixel)
{
    const struct {
        const char* what;
        void (*damage)(GpuFrame&);
    } cases[] = {
        {"failed frame", [](GpuFrame& f) { f = GpuFrame{}; }},
        {"one pixel of two",
         [](GpuFrame& f) {
             f.width = 1;
             f.color.resize(4), f.depth.resize(1), f.normal.resize(4), f.status.resize(1);
         }},
        {"no status plane", [](GpuFrame& f) { f.status.clear(); }},
    };
    for (const auto& k : cases) {
        Pair p = hitAndMiss();
        k.damage(p.gpu);
        const SdnaComparison c = compareSdnaFrame(p.gpu, p.cpu);
        EXPECT_EQ(c.pixels, 2u) << k.what;
        EXPECT_EQ(c.hits, 0u) << k.what;
        EXPECT_EQ(c.coverageMismatch, 1u) << k.what;
        EXPECT_EQ(c.differing, 2u) << k.what;
        EXPECT_EQ(c.gpuImage.size(), 2u * 4) << k.what;
        EXPECT_FALSE(sdnaVerdict("front", c).passed()) << k.what;
    }
}

// A long view name and wide numbers do not cut the view line or the JSON
// line short: the whole name and the end of each line are there.
TEST(SdnaComparison, ReportLinesKeepLongNamesAndWideNumbersWhole)
{
    const std::string name(900, 'v');
    const Pair p = hitAndMiss();
    const SdnaComparison c = compareSdnaFrame(p.gpu, p.cpu);
    const std::string view = sdnaViewLine(name, 1e-300, p.cpu, c);
    EXPECT_EQ(view.rfind("  [" + name + "] GPU ", 0), 0u);
    EXPECT_EQ(view.substr(view.size() - 24), "steps GPU 5.00 CPU 5.00\n") << view;
    GpuFrame slow = p.gpu;
    slow.gpuMs = 1e300;
    const std::string json = sdnaGpuJsonLine(SdnaJsonSample{1, name, 0, 2, 1, 1e300, 0}, slow, p.cpu, c);
    EXPECT_NE(json.find("\"view\":\"" + name + "\""), std::string::npos);
    EXPECT_EQ(json.substr(json.size() - 17), "\"display_mse\":0}\n") << json;
}

TEST(SdnaComparison, CountsEachKindOfDisagreement)
{
    Pair p = hitAndMiss();
    // Normal turned by 10 degrees about z (unnormalised length 3), depth off
    // by 1 %, another material, and the red channel off.
    const float a = 10.0f * 3.14159265f / 180.0f;
    p.gpu.normal = {-3.0f * std::sin(a), 3.0f * std::cos(a), 0.0f, 2.0f, 0.0f, 0.0f, 0.0f, 0.0f};
    p.gpu.depth[0] = 2.02f;
    p.gpu.color[0] = 4.0f;
    const SdnaComparison c = compareSdnaFrame(p.gpu, p.cpu);
    EXPECT_EQ(c.hits, 1u);
    EXPECT_NEAR(c.angleSum, 10.0, 1e-3);
    EXPECT_EQ(c.normalOver5, 1u);
    EXPECT_NEAR(c.depthRelSum, 0.01, 1e-6);
    EXPECT_NEAR(c.depthErrorMax, 0.02, 1e-6);
    EXPECT_EQ(c.materialMismatch, 1u);
    EXPECT_EQ(c.differing, 1u);
    EXPECT_EQ(c.off, 1u);
    const int diff = sdnaDisplayByte(4.0f) - sdnaDisplayByte(0.5f);
    EXPECT_EQ(c.maxChannelDiff, diff);
    EXPECT_EQ(c.squaredSum, static_cast<double>(diff) * diff);
    EXPECT_FALSE(sdnaVerdict("front", c).passed());

    Pair q = hitAndMiss();
    q.gpu.depth[1] = 5.0f;  // GPU hits where the CPU missed
    q.gpu.status[1] = 2;
    const SdnaComparison d = compareSdnaFrame(q.gpu, q.cpu);
    EXPECT_EQ(d.coverageMismatch, 1u);
    EXPECT_EQ(d.hits, 1u);
    EXPECT_EQ(d.uncertainGpu, 1u);
}

// A 100 x 100 frame where every pixel hits at t = 4 facing +Y with material
// 1 and a colour of display byte 120, GPU and CPU alike.
Pair wholeFrameHit()
{
    Pair p;
    const std::size_t pixels = 100 * 100;
    float linear = 0.0f;
    while (sdnaDisplayByte(linear) != 120)
        linear += 1e-4f;
    p.gpu.ok = true;
    p.gpu.width = 100;
    p.gpu.height = 100;
    p.gpu.depth.assign(pixels, 4.0f);
    p.gpu.status.assign(pixels, 1);
    for (std::size_t i = 0; i < pixels; ++i) {
        p.gpu.color.insert(p.gpu.color.end(), {linear, linear, linear, 5.0f});
        p.gpu.normal.insert(p.gpu.normal.end(), {0.0f, 1.0f, 0.0f, 1.0f});
        p.cpu.colour.insert(p.cpu.colour.end(), {120, 120, 120, 255});
    }
    p.cpu.depth = p.gpu.depth;
    p.cpu.normal = p.gpu.normal;
    p.cpu.steps.assign(pixels, 5.0f);
    p.cpu.totalSteps = 5 * pixels;
    return p;
}

// The shape-program limits: 0.01 % of the pixels for coverage and for
// normals past 5 degrees, a mean relative depth error of 0.00001, no
// material mismatch and 90 dB. Each half fails at the first step past its
// limit and only there.
TEST(SdnaComparison, VerdictFailsJustPastEachLimit)
{
    auto linearFor = [](int byte) {
        float x = 0.0f;
        while (sdnaDisplayByte(x) != byte)
            x += 1e-4f;
        return x;
    };
    const float tilted[4] = {1.0f, 1.0f, 0.0f, 1.0f};  // 45 degrees off
    const struct {
        const char* what;
        std::function<void(Pair&)> spoil;
        bool hit;
        bool image;
    } cases[] = {
        {"one pixel missed", [](Pair& p) { p.gpu.depth[5] = 1e30f; }, true, true},
        {"two pixels missed", [](Pair& p) { p.gpu.depth[5] = p.gpu.depth[6] = 1e30f; }, false, true},
        {"one normal off", [&](Pair& p) { std::copy(tilted, tilted + 4, &p.gpu.normal[40]); }, true, true},
        {"two normals off",
         [&](Pair& p) {
             std::copy(tilted, tilted + 4, &p.gpu.normal[40]);
             std::copy(tilted, tilted + 4, &p.gpu.normal[44]);
         },
         false, true},
        {"depth mean 5e-6", [](Pair& p) { p.gpu.depth[9] = 4.0f * 1.05f; }, true, true},
        {"depth mean 2e-5", [](Pair& p) { p.gpu.depth[9] = 4.0f * 1.2f; }, false, true},
        {"one material", [](Pair& p) { p.gpu.normal[3 * 4 + 3] = 2.0f; }, false, true},
        {"one channel a byte off (92.9 dB)", [&](Pair& p) { p.gpu.color[7 * 4 + 2] = linearFor(121); }, true, true},
        {"one channel two bytes off (86.9 dB)", [&](Pair& p) { p.gpu.color[7 * 4 + 2] = linearFor(122); }, true,
         false},
    };
    for (const auto& k : cases) {
        Pair p = wholeFrameHit();
        k.spoil(p);
        const LevelsVerdict v = sdnaVerdict("back", compareSdnaFrame(p.gpu, p.cpu));
        EXPECT_EQ(v.hitPassed, k.hit) << k.what << ": " << v.line;
        EXPECT_EQ(v.imagePassed, k.image) << k.what << ": " << v.line;
        EXPECT_EQ(v.line.find("  [back  ] levels (sdna): hit "), 0u) << v.line;
        EXPECT_NE(v.line.find(k.hit ? "hit PASS" : "hit FAIL"), std::string::npos) << v.line;
        EXPECT_NE(v.line.find(k.image ? "image PASS" : "image FAIL"), std::string::npos) << v.line;
    }
}

TEST(SdnaComparison, VerdictLineShowsTheMeasuresAgainstTheLimits)
{
    Pair p = wholeFrameHit();
    p.gpu.depth[0] = 1e30f;
    p.gpu.depth[1] = 1e30f;
    p.gpu.normal[2 * 4 + 3] = 3.0f;
    p.gpu.color[3 * 4] = 0.0f;
    const LevelsVerdict v = sdnaVerdict("posed", compareSdnaFrame(p.gpu, p.cpu));
    EXPECT_EQ(v.line,
              "  [posed ] levels (sdna): hit FAIL (coverage 0.0200% <= 0.0100%, depth rel 0.0e+00 <= 1e-05, normal "
              ">5 deg 0.000% <= 0.010%, material 1 <= 0) | image FAIL (51.3 dB >= 90)\n");
}

TEST(SdnaComparison, JsonLineCarriesTheFrameAndTheComparison)
{
    Pair p = hitAndMiss();
    p.gpu.gpuMs = 1.25;
    p.gpu.hostMs = 0.5;
    p.gpu.bufferBytes = 4096;
    p.gpu.deviceLocalBytes = 1024;
    p.cpu.uncertain = 3;
    const SdnaComparison c = compareSdnaFrame(p.gpu, p.cpu);
    const SdnaJsonSample s{1, "posed", 0, 2, 1, 7.5, 123456};
    const std::string line = sdnaGpuJsonLine(s, p.gpu, p.cpu, c);
    EXPECT_EQ(line,
              "JSON {\"kind\":\"sdna_gpu\",\"device\":1,\"view\":\"posed\",\"sample\":0,\"warmup\":true,"
              "\"mode\":\"native\",\"width\":2,\"height\":1,\"frame_ms\":1.250000,\"host_ms\":7.500000,"
              "\"pipeline_ms\":0.500000,\"gpu_buffer_peak_bytes\":4096,\"device_local_buffer_bytes\":1024,"
              "\"rss_peak_bytes\":123456,\"steps_per_pixel\":5.000000,\"uncertain_cpu\":3,\"uncertain_gpu\":0,"
              "\"visibility_mismatch\":0,\"material_mismatch\":0,\"depth_error_max\":0,\"normal_error_max\":0,"
              "\"display_mse\":0}\n");
    const SdnaJsonSample later{1, "posed", 2, 2, 1, 7.5, 0};
    EXPECT_NE(sdnaGpuJsonLine(later, p.gpu, p.cpu, c).find("\"sample\":2,\"warmup\":false,"), std::string::npos);
}

// The printed benchmark line compares the frame with its reference itself.
TEST(SdnaComparison, PrintedJsonLineComparesTheFrame)
{
    Pair p = hitAndMiss();
    p.gpu.depth[1] = 3.0f;  // a hit where the CPU missed
    char* text = nullptr;
    std::size_t size = 0;
    std::FILE* out = open_memstream(&text, &size);
    printSdnaGpuJson(out, 2, p.gpu, p.cpu, "back", 3, 2, 1, 1.5);
    std::fclose(out);
    const std::string line(text, size);
    std::free(text);
    EXPECT_EQ(line.rfind("JSON {\"kind\":\"sdna_gpu\",\"device\":2,\"view\":\"back\",\"sample\":3,\"warmup\":false,", 0),
              0u)
        << line;
    EXPECT_NE(line.find("\"visibility_mismatch\":1,\"material_mismatch\":0,"), std::string::npos) << line;
    EXPECT_TRUE(std::regex_search(line, std::regex("\"rss_peak_bytes\":[1-9][0-9]*,")) ) << line;
    EXPECT_EQ(line.back(), '\n');

    // Without a stream the same line goes to standard output.
    ::testing::internal::CaptureStdout();
    printSdnaGpuJson(2, p.gpu, p.cpu, "back", 3, 2, 1, 1.5);
    const std::string standard = ::testing::internal::GetCapturedStdout();
    const std::regex rss("\"rss_peak_bytes\":[0-9]+,");
    EXPECT_EQ(std::regex_replace(standard, rss, ""), std::regex_replace(line, rss, ""));
}

} // namespace
} // namespace qlmr
