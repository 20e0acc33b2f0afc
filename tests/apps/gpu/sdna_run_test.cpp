// How many frames the shape-program run renders per view and device.
#include "sdna_run.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>

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
        // The last sample index still fits the JSON line's int; the count
        // itself does not and must not wrap to a negative number of frames.
        {5, kMost, std::int64_t{kMost} + 1},
    };
    for (const auto& c : cases)
        EXPECT_EQ(sdnaRepetitions(c.frames, c.benchmark), c.expected) << c.frames << " " << c.benchmark;
}

} // namespace
} // namespace qlmr
