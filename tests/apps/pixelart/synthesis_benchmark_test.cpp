#include "synthesis_benchmark.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <regex>
#include <string>

#include "builtin_sprites.h"
#include "support/test_support.h"

namespace qlmr {
namespace {

// The launcher's reading: the number right before the first " ms".
double numberBeforeMs(const std::string& line)
{
    const std::size_t end = line.find(" ms");
    std::size_t start = end;
    while (start > 0 && (std::isdigit(static_cast<unsigned char>(line[start - 1])) || line[start - 1] == '.'))
        --start;
    return std::stod(line.substr(start, end - start));
}

TEST(SynthesisLine, ColumnsAndTheNumberTheLauncherReads)
{
    SynthesisTiming timing;
    timing.nodesPerPixel = 1;
    timing.fieldWidth = 128;
    timing.fieldHeight = 128;
    timing.total = 0.4567;
    timing.pixels = 0.1;
    timing.distance = 0.2;
    timing.relief = 0.05;
    timing.pyramid = 0.1067;
    const std::string line = formatSynthesisLine("sprite 64x64", timing);
    EXPECT_EQ(line, "  sprite 64x64           S=1 field  128x128   0.457 ms  (pixels 0.100, distance 0.200, relief "
                    "0.050, pyramid 0.107)\n");
    EXPECT_DOUBLE_EQ(numberBeforeMs(line), 0.457);

    timing.nodesPerPixel = 4;
    timing.fieldWidth = 1024;
    timing.fieldHeight = 32;
    timing.total = 12.0;
    EXPECT_EQ(formatSynthesisLine("frame 320x180", timing).substr(0, 49),
              "  frame 320x180          S=4 field 1024x32    12.");
}

TEST(SynthesisMedian, ElementAtHalfTheCountOfTheSortedValues)
{
    EXPECT_EQ(medianOf({}), 0.0);
    EXPECT_EQ(medianOf({3.0}), 3.0);
    EXPECT_EQ(medianOf({4.0, 1.0}), 4.0);
    EXPECT_EQ(medianOf({5.0, 1.0, 3.0}), 3.0);
    EXPECT_EQ(medianOf({9.0, 2.0, 7.0, 1.0}), 7.0);
}

TEST(SynthesisBenchmark, PrintsOneLineWithTheFieldOfTheSprite)
{
    test::TempDir dir;
    const std::string path = dir.file("line.txt");
    std::FILE* out = std::fopen(path.c_str(), "w");
    ASSERT_NE(out, nullptr);
    ReliefSettings settings;
    settings.nodesPerPixel = 2;
    const SynthesisTiming timing = benchmarkSynthesis("crate", makeCrateSprite(20), settings, 3, out);
    std::fclose(out);

    // A fully opaque 20 x 20 sprite at two nodes per pixel needs 42 nodes.
    EXPECT_EQ(timing.fieldWidth, 64u);
    EXPECT_EQ(timing.fieldHeight, 64u);
    EXPECT_EQ(timing.nodesPerPixel, 2u);
    EXPECT_GT(timing.total, 0.0);
    EXPECT_LE(timing.pixels + timing.distance, timing.total * 1.5 + 1e-9);
    const std::vector<std::uint8_t> bytes = test::readFile(path);
    const std::string text(bytes.begin(), bytes.end());
    EXPECT_EQ(text, formatSynthesisLine("crate", timing));
    EXPECT_TRUE(std::regex_match(text, std::regex(R"(  crate {17} S=2 field   64x64    \d+\.\d{3} ms  \(pixels \d+\.\d{3}, distance \d+\.\d{3}, relief \d+\.\d{3}, pyramid \d+\.\d{3}\)\n)")))
        << text;
}

// Called with the label, sprite, settings and run count alone, the
// benchmark prints its line on standard output, where the launcher reads it.
TEST(SynthesisBenchmark, PrintsOnStandardOutputByDefault)
{
    ReliefSettings settings;
    settings.nodesPerPixel = 1;
    testing::internal::CaptureStdout();
    const SynthesisTiming timing = benchmarkSynthesis("sprite 64x64", makeHeroSprite(64, 64), settings, 1);
    const std::string text = testing::internal::GetCapturedStdout();
    EXPECT_EQ(text, formatSynthesisLine("sprite 64x64", timing));
    EXPECT_EQ(text.rfind("  sprite 64x64           S=1 field  ", 0), 0u) << text;
}

} // namespace
} // namespace qlmr
