#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "console_report.h"

namespace qlmr {
namespace {

struct SplitCase {
    const char* name;
    std::string text;
    std::vector<std::string> lines;
};

TEST(ConsoleReport, SplitLinesKeepsInnerEmptyLinesAndDropsOneCr) {
    const SplitCase cases[] = {
        {"crlf, empty middle line, last piece", std::string("a\r\nb\n\nc"), {"a", "b", "", "c"}},
        {"trailing newline adds nothing", "a\n", {"a"}},
        {"empty text", "", {}},
        {"only one cr removed", "x\r\r\ny", {"x\r", "y"}},
        {"lone newline is one empty line", "\n", {""}},
        {"cr inside a line stays", "a\rb\n", {"a\rb"}},
        {"last piece of a lone cr", "a\n\r", {"a", ""}},
    };
    for (const SplitCase& c : cases)
        EXPECT_EQ(splitLines(c.text), c.lines) << c.name;
}

struct NumberCase {
    const char* line;
    const char* marker;
    double expected; // NaN for "no value"
};

void expectNumber(double actual, double expected, const std::string& context) {
    if (std::isnan(expected))
        EXPECT_TRUE(std::isnan(actual)) << context << " gave " << actual;
    else
        EXPECT_DOUBLE_EQ(actual, expected) << context;
}

TEST(ConsoleReport, NumberAfterReadsLikeStrtod) {
    const double nan = std::nan("");
    const NumberCase cases[] = {
        {"[wide  ]    12.3 ms | 9.28 Mrays/s", "]", 12.3},
        {"[wide  ]    12.3 ms | 9.28 Mrays/s", "PSNR ", nan},
        {"  [front] GPU    1.25 ms (CPU  310.0 ms, x248) | PSNR exact, 0 px differ", "PSNR ", 0.0},
        {"  [front] GPU    1.25 ms (CPU  310.0 ms, x248) | PSNR 48.31 dB, 12 px", "PSNR ", 48.31},
        {"  [front] GPU    1.25 ms (CPU  310.0 ms, x248)", "] GPU", 1.25},
        {"critter: 57 instructions, 11 bones, 3120 bytes", "bones, ", 3120},
        {"critter: 57 instructions, 11 bones, 3120 bytes", "critter:", 57},
        {"a -4.5e1 b", "a", -45.0},
        {"first 1 first 2", "first ", 1.0}, // first occurrence only
        {"marker at the end:", ":", 0.0},
    };
    for (const NumberCase& c : cases)
        expectNumber(numberAfter(c.line, c.marker), c.expected, std::string(c.line) + " / " + c.marker);
}

TEST(ConsoleReport, NumberBeforeTakesTheDigitRunBeforeTheMarker) {
    const double nan = std::nan("");
    const NumberCase cases[] = {
        {"x 0.85 ms  (", " ms", 0.85},
        {" ms", " ms", nan},      // marker at position 0
        {"abc ms", " ms", nan},   // no digit right before it
        {"abc", " ms", nan},      // no marker
        {"  sprite 64x64          S=1 field   64x64   0.412 ms  (pixels 0.100, distance 0.2 ms)", " ms", 0.412},
        {"turntable 36 frames, 123.5 ms per frame", " ms per frame", 123.5},
        {"time -7.5 ms", " ms", 7.5}, // the sign is not part of the run
        {"v1.2.3 ms", " ms", 1.2},    // strtod stops where the number ends
        {"12 ms and 40 ms", " ms", 12.0},
    };
    for (const NumberCase& c : cases)
        expectNumber(numberBefore(c.line, c.marker), c.expected, std::string(c.line) + " / " + c.marker);
}

TEST(ConsoleReport, MedianPicksTheUpperMiddleOfTheSortedValues) {
    EXPECT_TRUE(std::isnan(medianOf({})));
    EXPECT_EQ(medianOf({5.0}), 5.0);
    EXPECT_EQ(medianOf({9.0, 1.0}), 9.0);
    EXPECT_EQ(medianOf({3.0, 1.0, 2.0}), 2.0);
    EXPECT_EQ(medianOf({4.0, 1.0, 3.0, 2.0}), 3.0);
}

// A child may print "nan" where a time belongs; such a value has no place
// in the order and must not scramble the sort of the others.
TEST(ConsoleReport, MedianLeavesOutValuesThatAreNotNumbers) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    struct Case {
        std::vector<double> values;
        double median;
    };
    const Case cases[] = {
        {{5.0, nan, 1.0, 3.0, 2.0, 4.0}, 3.0},
        {{nan, 3.0, 1.0, 2.0}, 2.0},
        {{7.0, nan}, 7.0},
    };
    for (const Case& c : cases)
        EXPECT_EQ(medianOf(c.values), c.median);
    EXPECT_TRUE(std::isnan(medianOf({nan, nan})));
}

TEST(ConsoleReport, BeginsWithAndContainsAreExactByteMatches) {
    EXPECT_TRUE(beginsWith("memory: heights 1", "memory:"));
    EXPECT_FALSE(beginsWith(" memory: heights 1", "memory:"));
    EXPECT_FALSE(beginsWith("mem", "memory:"));
    EXPECT_TRUE(contains("a GPU b", " GPU "));
    EXPECT_FALSE(contains("a gpu b", " GPU "));
}

} // namespace
} // namespace qlmr
