#include "demo_options.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace qlmr {
namespace {

struct FileCloser {
    void operator()(std::FILE* file) const { std::fclose(file); }
};

// The parse of qlmr-demo followed by the words, and what it reported.
struct ParseRun {
    ParsedDemoOptions parsed;
    std::string messages;
};

ParseRun parseAndListen(const std::vector<std::string>& words)
{
    std::vector<const char*> argv{"qlmr-demo"};
    for (const std::string& w : words)
        argv.push_back(w.c_str());
    std::unique_ptr<std::FILE, FileCloser> messages(std::tmpfile());
    EXPECT_TRUE(messages);
    ParseRun run;
    run.parsed = parseDemoOptions(static_cast<int>(argv.size()), argv.data(), messages.get());
    std::rewind(messages.get());
    for (int c; (c = std::fgetc(messages.get())) != EOF;)
        run.messages += static_cast<char>(c);
    return run;
}

ParsedDemoOptions parseWords(const std::vector<std::string>& words)
{
    return parseAndListen(words).parsed;
}

struct OptionCase {
    const char* label;
    std::vector<std::string> words;
    std::function<void(DemoOptions&)> expect; // applied to the defaults
    std::vector<std::string> unknown = {};
};

const std::vector<OptionCase>& optionCases()
{
    static const std::vector<OptionCase> cases = {
        {"nothing", {}, [](DemoOptions&) {}},
        {"width", {"--width", "640"}, [](DemoOptions& o) { o.width = 640; }},
        {"height", {"--height", "360"}, [](DemoOptions& o) { o.height = 360; }},
        {"out", {"--out", "some/dir"}, [](DemoOptions& o) { o.out = "some/dir"; }},
        {"terrain", {"--terrain", "512"}, [](DemoOptions& o) { o.terrain = 512; }},
        {"terrain not a power of two is the engine's to refuse", {"--terrain", "1000"},
         [](DemoOptions& o) { o.terrain = 1000; }},
        {"lod bias", {"--lod-bias", "-1.5"}, [](DemoOptions& o) { o.lodBias = -1.5f; }},
        {"lod bias text reads 0", {"--lod-bias", "abc"}, [](DemoOptions& o) { o.lodBias = 0.0f; }},
        {"frames", {"--frames", "5"}, [](DemoOptions& o) { o.frames = 5; }},
        {"frames 2", {"--frames", "2"}, [](DemoOptions& o) { o.frames = 2; }},
        {"frames 0 renders once", {"--frames", "0"}, [](DemoOptions& o) { o.frames = 1; }},
        {"negative frames render once", {"--frames", "-3"}, [](DemoOptions& o) { o.frames = 1; }},
        {"frames as last word renders once", {"--frames", "4", "--frames"}, [](DemoOptions& o) { o.frames = 1; }},
        {"no lod", {"--no-lod"}, [](DemoOptions& o) { o.lod = false; }},
        {"no shadows", {"--no-shadows"}, [](DemoOptions& o) { o.shadows = false; }},
        {"geometric normals", {"--geometric-normals"}, [](DemoOptions& o) { o.geometricNormals = true; }},
        {"cubic normals", {"--cubic-normals"}, [](DemoOptions& o) { o.cubicNormals = true; }},
        {"start top", {"--start", "top"}, [](DemoOptions& o) { o.start = 0; }},
        {"start fixed", {"--start", "fixed"}, [](DemoOptions& o) { o.start = 2; }},
        {"start bottom is the default mode", {"--start", "fixed", "--start", "bottom"},
         [](DemoOptions& o) { o.start = 1; }},
        {"start as last word is the default mode", {"--start", "top", "--start"},
         [](DemoOptions& o) { o.start = 1; }},
        {"start offset", {"--start-offset", "3"}, [](DemoOptions& o) { o.startOffset = 3; }},
        {"seed oracle", {"--seed-oracle"}, [](DemoOptions& o) { o.seedOracle = true; }},
        {"shell log2", {"--shell-log2", "4"}, [](DemoOptions& o) { o.shellLog2 = 4; }},
        {"json", {"--json"}, [](DemoOptions& o) { o.json = true; }},
        {"edges none", {"--edges", "none"}, [](DemoOptions& o) { o.edges = false; }},
        {"edges off keeps the edges", {"--edges", "off"}, [](DemoOptions& o) { o.edges = true; }},
        {"edges as last word turns them back on", {"--edges", "none", "--edges"},
         [](DemoOptions& o) { o.edges = true; }},
        {"width as last word is 0", {"--width"}, [](DemoOptions& o) { o.width = 0; }},
        {"out as last word is empty", {"--out"}, [](DemoOptions& o) { o.out = ""; }},
        {"number with trailing text keeps its digits", {"--width", "12abc"}, [](DemoOptions& o) { o.width = 12; }},
        {"text reads 0", {"--height", "tall"}, [](DemoOptions& o) { o.height = 0; }},
        {"negative width wraps in the unsigned member", {"--width", "-5"},
         [](DemoOptions& o) { o.width = 4294967291u; }},
        {"the later word wins", {"--width", "100", "--width", "200"}, [](DemoOptions& o) { o.width = 200; }},
        {"a value that looks like an option is still the value", {"--out", "--json"},
         [](DemoOptions& o) { o.out = "--json"; }},
        {"several options together",
         {"--out", ".", "--width", "960", "--height", "540", "--json", "--no-shadows", "--shell-log2", "5"},
         [](DemoOptions& o) {
             o.out = std::string(1, '.');
             o.width = 960;
             o.height = 540;
             o.json = true;
             o.shadows = false;
             o.shellLog2 = 5;
         }},
        {"unknown word does not consume the next", {"--bogus", "--width", "640"},
         [](DemoOptions& o) { o.width = 640; }, {"--bogus"}},
        {"stray value after an unknown word is unknown too", {"--size", "640", "--json"},
         [](DemoOptions& o) { o.json = true; }, {"--size", "640"}},
        {"names are compared exactly", {"--WIDTH", "-width", "--width=5", "--help"}, [](DemoOptions&) {},
         {"--WIDTH", "-width", "--width=5", "--help"}},
    };
    return cases;
}

TEST(DemoOptions, ParsesEveryOptionAsTheTableSays)
{
    for (const OptionCase& c : optionCases()) {
        SCOPED_TRACE(c.label);
        DemoOptions expected;
        c.expect(expected);
        const ParseRun run = parseAndListen(c.words);
        // The parse reads as the options it holds.
        const DemoOptions& options = run.parsed;
        EXPECT_TRUE(options == expected);
        EXPECT_EQ(run.parsed.unknownWords, c.unknown);
        // Each unknown word is reported as it is met, and nothing else.
        std::string reported;
        for (const std::string& word : c.unknown)
            reported += "unknown option: " + word + "\n";
        EXPECT_EQ(run.messages, reported);
    }
}

TEST(DemoOptions, DefaultsRenderTheStandardRun)
{
    const DemoOptions o = parseWords({});
    EXPECT_EQ(o.width, 1280u);
    EXPECT_EQ(o.height, 720u);
    EXPECT_EQ(o.terrain, 2048u);
    EXPECT_EQ(o.out, "output");
    EXPECT_EQ(o.frames, 1);
    EXPECT_EQ(o.start, 1);
    EXPECT_EQ(o.shellLog2, 6u);
    EXPECT_TRUE(o.lod && o.shadows && o.edges);
    EXPECT_FALSE(o.json || o.seedOracle || o.geometricNormals || o.cubicNormals);
}

TEST(DemoOptions, RefusesImageSizesItCannotRender)
{
    struct SizeCase {
        std::vector<std::string> words;
        const char* mentions; // empty: accepted
    };
    const SizeCase cases[] = {
        {{}, ""},
        {{"--width", "1", "--height", "1"}, ""},
        {{"--width", "16384", "--height", "16384"}, ""},
        {{"--width", "0"}, "--width"},
        {{"--width"}, "--width"},
        {{"--width", "-1"}, "--width"},
        {{"--width", "16385"}, "--width"},
        {{"--height", "0"}, "--height"},
        {{"--height", "wide"}, "--height"},
        {{"--height", "-720"}, "--height"},
        {{"--height", "100000"}, "--height"},
    };
    for (const SizeCase& c : cases) {
        std::string words;
        for (const std::string& w : c.words)
            words += w + " ";
        SCOPED_TRACE(words);
        const std::string error = demoOptionsError(parseWords(c.words));
        if (*c.mentions == 0) {
            EXPECT_EQ(error, "");
        } else {
            EXPECT_NE(error.find(c.mentions), std::string::npos) << error;
            EXPECT_NE(error.find("16384"), std::string::npos) << error;
        }
    }
}

// The terrain's field refuses these sizes; the options refuse them first,
// before generating a terrain that may not fit in memory.
TEST(DemoOptions, RefusesTerrainSizesItsFieldWouldRefuse)
{
    struct TerrainCase {
        std::vector<std::string> words;
        const char* error; // empty: accepted
    };
    const TerrainCase cases[] = {
        {{"--terrain", "1"}, ""},
        {{"--terrain", "64"}, ""},
        {{"--terrain", "32768"}, ""},
        {{"--terrain", "0"}, "field width must be a power of two"},
        {{"--terrain"}, "field width must be a power of two"},
        {{"--terrain", "3"}, "field width must be a power of two"},
        {{"--terrain", "1000"}, "field width must be a power of two"},
        {{"--terrain", "-2048"}, "field width must be a power of two"},
        {{"--terrain", "65536"}, "field too large"},
        {{"--terrain", "2147483648"}, "field too large"},
        {{"--terrain", "4294967296"}, "field width must be a power of two"}, // wraps to 0
        // The image size is checked first.
        {{"--terrain", "3", "--width", "0"}, "--width must be a whole number from 1 to 16384 (pixels)"},
    };
    for (const TerrainCase& c : cases) {
        std::string words;
        for (const std::string& w : c.words)
            words += w + " ";
        SCOPED_TRACE(words);
        EXPECT_EQ(demoOptionsError(parseWords(c.words)), c.error);
    }
}

} // namespace
} // namespace qlmr
