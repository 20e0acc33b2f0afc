#include "pixelart_options.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace qlmr {
namespace {

ParsedPixelartOptions parseWords(std::vector<std::string> words)
{
    words.insert(words.begin(), "qlmr-pixelart");
    std::vector<char*> argv;
    for (std::string& word : words)
        argv.push_back(word.data());
    argv.push_back(nullptr);
    return parsePixelartOptions(int(words.size()), argv.data());
}

struct OptionCase {
    const char* name;
    std::vector<std::string> words;
    PixelartCommand command;
    PixelartOptions expected; // compared only for Run
};

PixelartOptions with(void (*change)(PixelartOptions&))
{
    PixelartOptions options;
    change(options);
    return options;
}

class PixelartOptionsTable : public ::testing::TestWithParam<OptionCase> {};

TEST_P(PixelartOptionsTable, ReadsTheWordsLeftToRight)
{
    const OptionCase& c = GetParam();
    const ParsedPixelartOptions parsed = parseWords(c.words);
    ASSERT_EQ(parsed.command, c.command);
    if (c.command == PixelartCommand::Run) {
        EXPECT_EQ(parsed.options, c.expected);
    }
}

const OptionCase kOptionCases[] = {
    {"Defaults", {}, PixelartCommand::Run, PixelartOptions{}},
    {"Numbers",
     {"--width", "320", "--height", "180", "--nodes", "3", "--runs", "7", "--parts", "0.25"},
     PixelartCommand::Run,
     with([](PixelartOptions& o) {
         o.width = 320;
         o.height = 180;
         o.nodes = 3;
         o.runs = 7;
         o.parts = 0.25f;
     })},
    {"NegativeRunsSkipTheBenchmark", {"--runs", "-4"}, PixelartCommand::Run,
     with([](PixelartOptions& o) { o.runs = -4; })},
    {"OutAndOneSided", {"--one-sided", "--out", "here/there"}, PixelartCommand::Run,
     with([](PixelartOptions& o) {
         o.twoSided = false;
         o.out = "here/there";
     })},
    {"SpritesWithBacks",
     {"--sprite", "a.png", "--back", "b.png@1,2,3,4", "--sprite", "c.png", "--sprite", "d.png", "--back", "e.png"},
     PixelartCommand::Run,
     with([](PixelartOptions& o) {
         o.fronts = {"a.png", "c.png", "d.png"};
         o.backs = {"b.png@1,2,3,4", "", "e.png"};
     })},
    {"LaterBackReplacesEarlier", {"--sprite", "a.png", "--back", "b.png", "--back", "c.png"}, PixelartCommand::Run,
     with([](PixelartOptions& o) {
         o.fronts = {"a.png"};
         o.backs = {"c.png"};
     })},
    {"MissingValueIsEmptyAndNumbersReadZero", {"--width"}, PixelartCommand::Run,
     with([](PixelartOptions& o) { o.width = 0; })},
    {"MissingSpriteValueIsAnEmptySpec", {"--sprite"}, PixelartCommand::Run,
     with([](PixelartOptions& o) {
         o.fronts = {""};
         o.backs = {""};
     })},
    {"NonNumberReadsZero", {"--runs", "many", "--nodes", "x"}, PixelartCommand::Run,
     with([](PixelartOptions& o) {
         o.runs = 0;
         o.nodes = 0;
     })},
    // Out of the 32-bit range, or negative: the largest value, which the
    // checks refuse, not a wrapped small one.
    {"NumbersOutOfRangeReadAsTheLargest", {"--width", "4294967297", "--height", "-1", "--nodes", "-4294967294"},
     PixelartCommand::Run,
     with([](PixelartOptions& o) {
         o.width = 4294967295u;
         o.height = 4294967295u;
         o.nodes = 4294967295u;
     })},
    // A run count past the signed 32-bit range keeps its sign and stays as
    // large as it can: never a small count, nor a skipped benchmark.
    {"RunsPastTheRangeStopAtItsEnd", {"--runs", "4294967297"}, PixelartCommand::Run,
     with([](PixelartOptions& o) { o.runs = 2147483647; })},
    {"RunsJustPastTheRangeStayPositive", {"--runs", "2147483648"}, PixelartCommand::Run,
     with([](PixelartOptions& o) { o.runs = 2147483647; })},
    {"RunsFarBelowTheRangeStayNegative", {"--runs", "-4294967295"}, PixelartCommand::Run,
     with([](PixelartOptions& o) { o.runs = -2147483647 - 1; })},
    {"ValueMayLookLikeAnOption", {"--out", "--help"}, PixelartCommand::Run,
     with([](PixelartOptions& o) { o.out = "--help"; })},
    {"Help", {"--width", "10", "--help", "--bogus"}, PixelartCommand::Help, {}},
    {"UnknownWord", {"--width", "10", "--bogus", "--help"}, PixelartCommand::Unknown, {}},
    {"BareWordIsUnknown", {"sprite.png"}, PixelartCommand::Unknown, {}},
    {"BackBeforeAnySpriteIsUnknown", {"--back", "b.png", "--sprite", "a.png"}, PixelartCommand::Unknown, {}},
    {"OptionNamesAreExact", {"--sprites", "a.png"}, PixelartCommand::Unknown, {}},
};

INSTANTIATE_TEST_SUITE_P(Words, PixelartOptionsTable, ::testing::ValuesIn(kOptionCases),
                         [](const ::testing::TestParamInfo<OptionCase>& info) { return std::string(info.param.name); });

TEST(PixelartOptions, UnknownWordIsKept)
{
    const ParsedPixelartOptions parsed = parseWords({"--back", "x.png"});
    EXPECT_EQ(parsed.command, PixelartCommand::Unknown);
    EXPECT_EQ(parsed.unknownWord, "--back");
}

TEST(PixelartOptions, NextArgStringStopsAtTheEnd)
{
    std::string words[] = {"prog", "--out", "dir"};
    char* argv[] = {words[0].data(), words[1].data(), words[2].data(), nullptr};
    int index = 1;
    EXPECT_EQ(nextArgString(3, argv, index), "dir");
    EXPECT_EQ(index, 2);
    EXPECT_EQ(nextArgString(3, argv, index), "");
    EXPECT_EQ(index, 2);
}

// Words given as string literals, as a test or a caller of its own holds them.
TEST(PixelartOptions, ReadsWordsGivenAsConstantText)
{
    const char* argv[] = {"qlmr-pixelart", "--sprite", "a.png", "--out"};
    int index = 1;
    EXPECT_EQ(nextArgString(4, argv, index), "a.png");
    EXPECT_EQ(index, 2);
    index = 3;
    EXPECT_EQ(nextArgString(4, argv, index), "");
    EXPECT_EQ(index, 3);

    const ParsedPixelartOptions parsed = parsePixelartOptions(4, argv);
    ASSERT_EQ(parsed.command, PixelartCommand::Run);
    EXPECT_EQ(parsed.options.fronts, std::vector<std::string>{"a.png"});
    EXPECT_EQ(parsed.options.out, "");
}

TEST(PixelartOptions, UsageIsTwoLinesWithTheSecondIndentedUnderTheFirstOption)
{
    const std::string usage = pixelartUsage();
    const std::string first = "usage: qlmr-pixelart [--sprite FILE.png[@x,y,w,h] [--back FILE.png[@x,y,w,h]]]... [--parts W]\n";
    ASSERT_EQ(usage.substr(0, first.size()), first);
    const std::string second = usage.substr(first.size());
    EXPECT_EQ(second, std::string(21, ' ') + "[--one-sided] [--width N] [--height N] [--nodes S] [--out DIR] [--runs N]\n");
    EXPECT_EQ(first.find('['), 21u);
}

// Refused before any work: image edges outside 1..16384 and nodes per
// pixel outside the synthesizer's 1..8, with the synthesizer's message.
TEST(PixelartOptions, RefusesNumbersItCannotRun)
{
    struct Case {
        std::vector<std::string> words;
        const char* error; // empty: accepted
    };
    const Case cases[] = {
        {{}, ""},
        {{"--width", "1", "--height", "1", "--nodes", "1"}, ""},
        {{"--width", "16384", "--height", "16384", "--nodes", "8"}, ""},
        {{"--runs", "-5", "--parts", "-2"}, ""},
        {{"--width", "0"}, "--width must be a whole number from 1 to 16384 (pixels)"},
        {{"--width"}, "--width must be a whole number from 1 to 16384 (pixels)"},
        {{"--width", "-1"}, "--width must be a whole number from 1 to 16384 (pixels)"},
        {{"--width", "16385"}, "--width must be a whole number from 1 to 16384 (pixels)"},
        {{"--width", "4294967297"}, "--width must be a whole number from 1 to 16384 (pixels)"},
        {{"--height", "-2147483648"}, "--height must be a whole number from 1 to 16384 (pixels)"},
        {{"--height", "tall"}, "--height must be a whole number from 1 to 16384 (pixels)"},
        {{"--nodes", "0"}, "nodesPerPixel must be 1..8"},
        {{"--nodes"}, "nodesPerPixel must be 1..8"},
        {{"--nodes", "9"}, "nodesPerPixel must be 1..8"},
        {{"--nodes", "-4294967294"}, "nodesPerPixel must be 1..8"},
        // The width is checked first.
        {{"--nodes", "0", "--width", "0"}, "--width must be a whole number from 1 to 16384 (pixels)"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(::testing::PrintToString(c.words));
        const ParsedPixelartOptions parsed = parseWords(c.words);
        ASSERT_EQ(parsed.command, PixelartCommand::Run);
        EXPECT_EQ(pixelartOptionsError(parsed.options), c.error);
    }
}

} // namespace
} // namespace qlmr
