// How many frames the shape-program run renders per view and device.
#include "sdna_run.h"

#include "support/test_support.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <limits>
#include <string>

namespace qlmr {
namespace {

TEST(SdnaRepetitions, FramesOrTheWarmUpFramePlusEveryBenchmarkFrame)
{
    constexpr std::int32_t kMost = std::numeric_limits<std::int32_t>::max();
    const struct {
        std::int32_t frames;
        std::int32_t benchmark;
        std::int64_t expected;
    } cases[] = {
        {5, 0, 5},
        {1, 0, 1},
        {5, 3, 4},  // --benchmark replaces --frames
        {5, 1, 2},
        // Fewer than one frame still renders one to compare.
        {0, 0, 1},
        {-3, 0, 1},
        // The last sample index still fits the JSON line's int; the count
        // itself does not and must not wrap to a negative number of frames.
        {5, kMost, std::int64_t{kMost} + 1},
    };
    for (const auto& c : cases)
        EXPECT_EQ(sdnaRepetitions(c.frames, c.benchmark), c.expected) << c.frames << " " << c.benchmark;
}

// A file that cannot be read, or read but not decoded, ends the run on
// standard output before the output folder is made.
TEST(SdnaRun, FileThatCannotBeReadOrDecodedEndsTheRun)
{
    test::TempDir dir;
    const std::string missing = dir.file("missing.qlmr");
    const std::string garbage = dir.file("garbage.qlmr");
    std::ofstream(garbage, std::ios::binary) << "not a shape program";
    const std::string out = dir.file("out");
    const struct {
        std::string path;
        std::string start;  // what the report begins with
    } cases[] = {{missing, "cannot read " + missing + "\n"}, {garbage, garbage + ": "}};
    for (const auto& c : cases) {
        ::testing::internal::CaptureStdout();
        const int code = runSdna(c.path, 32, 24, 1, -1, out, 0, false, false);
        const std::string report = ::testing::internal::GetCapturedStdout();
        EXPECT_EQ(code, 1) << c.path;
        EXPECT_EQ(report.rfind(c.start, 0), 0u) << report;
        EXPECT_EQ(report.find('\n'), report.size() - 1) << report;
        EXPECT_FALSE(std::filesystem::exists(out));
    }
}

} // namespace
} // namespace qlmr
