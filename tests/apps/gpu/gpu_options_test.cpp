// qlmr-gpu's option loop and the choice of run it leads to.
#include "gpu_options.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <string>
#include <utility>
#include <vector>

namespace qlmr {
namespace {

GpuTestOptions parse(std::vector<std::string> words)
{
    std::vector<const char*> argv{"qlmr-gpu"};
    for (const std::string& w : words)
        argv.push_back(w.c_str());
    return parseGpuTestOptions(static_cast<int>(argv.size()), argv.data());
}

struct OptionCase {
    std::vector<std::string> words;
    std::function<void(GpuTestOptions&)> expect;  // applied to the defaults
};

class OptionTable : public ::testing::TestWithParam<OptionCase> {};

TEST_P(OptionTable, SetsExactlyTheNamedMembers)
{
    GpuTestOptions expected;
    GetParam().expect(expected);
    EXPECT_EQ(parse(GetParam().words), expected);
}

INSTANTIATE_TEST_SUITE_P(
    GpuOptions, OptionTable,
    ::testing::Values(
        OptionCase{{}, [](GpuTestOptions&) {}},
        OptionCase{{"--width", "800"}, [](GpuTestOptions& o) { o.width = 800; o.sizeGiven = true; }},
        OptionCase{{"--height", "200"}, [](GpuTestOptions& o) { o.height = 200; o.sizeGiven = true; }},
        OptionCase{{"--debug-pixel", "10,20"}, [](GpuTestOptions& o) { o.debugX = 10; o.debugY = 20; }},
        OptionCase{{"--debug-pixel", "10"}, [](GpuTestOptions&) {}},
        OptionCase{{"--debug-pixel", "10,"}, [](GpuTestOptions&) {}},
        OptionCase{{"--debug-pixel", "10 ,20"}, [](GpuTestOptions&) {}},
        OptionCase{{"--debug-pixel", "-3, 7"}, [](GpuTestOptions& o) { o.debugX = -3; o.debugY = 7; }},
        // Past the int range: off the image, not wrapped onto pixel (0, 5).
        OptionCase{{"--debug-pixel", "4294967296,5"}, [](GpuTestOptions& o) { o.debugX = 2147483647; o.debugY = 5; }},
        OptionCase{{"--debug-pixel", "3,4", "--debug-pixel", "x"}, [](GpuTestOptions& o) { o.debugX = 3; o.debugY = 4; }},
        OptionCase{{"--sdna", "a.qlmr"}, [](GpuTestOptions& o) { o.sdnaPath = "a.qlmr"; }},
        OptionCase{{"--bricks"}, [](GpuTestOptions& o) { o.bricks = true; }},
        OptionCase{{"--bricks-local"}, [](GpuTestOptions& o) { o.bricks = true; o.bricksLocal = true; }},
        OptionCase{{"--random", "0"}, [](GpuTestOptions& o) { o.randomCount = 1; }},
        OptionCase{{"--random", "-3"}, [](GpuTestOptions& o) { o.randomCount = 1; }},
        OptionCase{{"--random", "7"}, [](GpuTestOptions& o) { o.randomCount = 7; }},
        OptionCase{{"--sculpt", "x"}, [](GpuTestOptions& o) { o.sculptCount = 1; }},
        OptionCase{{"--benchmark", "3"}, [](GpuTestOptions& o) { o.benchmark = 3; }},
        OptionCase{{"--frames", "0"}, [](GpuTestOptions& o) { o.frames = 1; }},
        OptionCase{{"--terrain", "512"}, [](GpuTestOptions& o) { o.terrain = 512; }},
        OptionCase{{"--gpu", "2"}, [](GpuTestOptions& o) { o.gpu = 2; }},
        OptionCase{{"--out", "d"}, [](GpuTestOptions& o) { o.out = "d"; }},
        OptionCase{{"--geometric", "--cubic-normals"},
                   [](GpuTestOptions& o) { o.geometricNormals = true; o.cubicNormals = true; }},
        OptionCase{{"--no-shadows", "--trace-only", "--seed"},
                   [](GpuTestOptions& o) { o.noShadows = true; o.traceOnly = true; o.seedPass = true; }},
        OptionCase{{"--stamps", "4", "--water", "--upscale", "--p0"},
                   [](GpuTestOptions& o) { o.stamps = 4; o.water = true; o.upscale = true; o.meshCompare = true; }},
        OptionCase{{"--temporal", "8", "--temporal-speed", "0.25", "--half-lod-bias", "-0.5"},
                   [](GpuTestOptions& o) { o.temporalFrames = 8; o.temporalSpeed = 0.25f; o.halfLodBias = -0.5f; }},
        OptionCase{{"--scene", "diorama", "--res", "32", "--time", "1.5"},
                   [](GpuTestOptions& o) { o.scene = "diorama"; o.res = 32; o.time = 1.5f; }},
        OptionCase{{"--assets", "a/b", "--no-solid", "--no-cull"},
                   [](GpuTestOptions& o) { o.assets = "a/b"; o.noSolid = true; o.noCull = true; }},
        // Unknown words are skipped; a later occurrence wins.
        OptionCase{{"--bogus", "--gpu", "1", "stray", "--gpu", "3"}, [](GpuTestOptions& o) { o.gpu = 3; }},
        // Non-numbers read 0; a value missing at the end reads "".
        OptionCase{{"--terrain", "abc"}, [](GpuTestOptions& o) { o.terrain = 0; }},
        OptionCase{{"--time"}, [](GpuTestOptions& o) { o.time = 0.0f; }},
        OptionCase{{"--out"}, [](GpuTestOptions& o) { o.out = ""; }},
        // Whole numbers past a member's range read as its nearest end, not
        // wrapped into it (4294967296 would wrap to device 0).
        OptionCase{{"--gpu", "4294967296", "--stamps", "-4294967297"},
                   [](GpuTestOptions& o) { o.gpu = 2147483647; o.stamps = -2147483647 - 1; }},
        OptionCase{{"--res", "-64", "--terrain", "8589934592"},
                   [](GpuTestOptions& o) { o.res = 0; o.terrain = 4294967295u; }},
        OptionCase{{"--random", "4294967296", "--frames", "-4294967295"},
                   [](GpuTestOptions& o) { o.randomCount = 2147483647; o.frames = 1; }},
        // A value is taken even when it looks like an option.
        OptionCase{{"--sdna", "--bricks"}, [](GpuTestOptions& o) { o.sdnaPath = "--bricks"; }}));

TEST(GpuOptions, SculptWinsOverRandomWhichWinsOverSdna)
{
    EXPECT_EQ(selectRun(parse({"--sculpt", "2", "--random", "5", "--sdna", "f"})), GpuRunKind::Sculpt);
    EXPECT_EQ(selectRun(parse({"--random", "5", "--sdna", "f"})), GpuRunKind::Random);
    EXPECT_EQ(selectRun(parse({"--sdna", "f"})), GpuRunKind::Sdna);
    EXPECT_EQ(selectRun(parse({"--scene", "shells"})), GpuRunKind::Scene);
    EXPECT_EQ(selectRun(parse({"--sdna"})), GpuRunKind::Scene);
}

TEST(GpuOptions, SpecialRunsUseTheirOwnSizeUnlessOneIsGiven)
{
    EXPECT_EQ(randomCorpusSize(parse({})), (ImageSize{32, 24}));
    EXPECT_EQ(sdnaRunSize(parse({})), (ImageSize{640, 360}));
    // One given dimension brings the other option's default along.
    EXPECT_EQ(randomCorpusSize(parse({"--width", "800"})), (ImageSize{800, 720}));
    EXPECT_EQ(sdnaRunSize(parse({"--height", "100"})), (ImageSize{1280, 100}));
}

TEST(GpuOptions, SdnaRunWritesIntoItsOwnFolderUnlessAnotherIsNamed)
{
    EXPECT_EQ(sdnaOutputDir(parse({})), "output/sdna");
    EXPECT_EQ(sdnaOutputDir(parse({"--out", "output/gpu"})), "output/sdna");
    EXPECT_EQ(sdnaOutputDir(parse({"--out", "."})), ".");
}

// Image edges take decimal digits only: anything else reads 0, and numbers
// past the unsigned range read as its largest value, so the check below
// refuses both instead of wrapping them into a valid size.
TEST(GpuOptions, ImageEdgesReadDigitsOnly)
{
    const std::pair<const char*, std::uint32_t> cases[] = {
        {"640", 640},   {"16384", 16384}, {"0", 0},           {"", 0},
        {"abc", 0},     {"12abc", 0},     {"-1", 0},          {"+12", 0},
        {" 12", 0},     {"1.5", 0},       {"4294967295", 4294967295u}, {"4294967297", 4294967295u},
        {"99999999999999999999999", 4294967295u},
    };
    for (const auto& [text, edge] : cases)
        EXPECT_EQ(readImageEdge(text), edge) << '"' << text << '"';
    EXPECT_EQ(parse({"--width", "-1"}).width, 0u);
    EXPECT_EQ(parse({"--height", "abc"}).height, 0u);
    EXPECT_TRUE(parse({"--height"}).sizeGiven);
}

struct RefusalCase {
    std::vector<std::string> words;
    std::string reason;  // empty: the run may start
};

class OptionRefusals : public ::testing::TestWithParam<RefusalCase> {};

TEST_P(OptionRefusals, NameTheOptionAndItsRange)
{
    EXPECT_EQ(gpuOptionsError(parse(GetParam().words)), GetParam().reason);
}

const std::string kWidthRange = "--width must be a whole number from 1 to 16384 (pixels)";
const std::string kHeightRange = "--height must be a whole number from 1 to 16384 (pixels)";
const std::string kTimeRange = "--time must be a finite number of seconds, at most 524288";
const std::string kResRange = "--res must be a power of two from 1 to 32768 (samples per side of each baked field)";

INSTANTIATE_TEST_SUITE_P(
    GpuOptions, OptionRefusals,
    ::testing::Values(
        RefusalCase{{}, ""}, RefusalCase{{"--width", "1", "--height", "1"}, ""},
        RefusalCase{{"--width", "16384", "--height", "16384"}, ""},
        RefusalCase{{"--width", "0"}, kWidthRange}, RefusalCase{{"--width", "abc"}, kWidthRange},
        RefusalCase{{"--width"}, kWidthRange}, RefusalCase{{"--height", "-1"}, kHeightRange},
        RefusalCase{{"--height", "16385"}, kHeightRange},
        RefusalCase{{"--sdna", "f", "--width", "0", "--height", "0"}, kWidthRange},
        RefusalCase{{"--sdna", "f", "--height", "12abc"}, kHeightRange},
        // The random corpus refuses its own sizes with its own message, and
        // the sculpt check renders no image.
        RefusalCase{{"--random", "2", "--width", "0"}, ""}, RefusalCase{{"--sculpt", "2", "--width", "abc"}, ""},
        // The variants' half-resolution frames must not be empty.
        RefusalCase{{"--upscale", "--width", "1"},
                    "--upscale needs an image of at least 2x2 pixels: its half-resolution frame of 0x360 would be "
                    "empty"},
        RefusalCase{{"--temporal", "5", "--width", "1", "--height", "8"},
                    "--temporal needs an image of at least 2x2 pixels: its half-resolution frame of 0x4 would be "
                    "empty"},
        RefusalCase{{"--temporal", "5", "--upscale", "--width", "8", "--height", "1"},
                    "--temporal needs an image of at least 2x2 pixels: its half-resolution frame of 4x0 would be "
                    "empty"},
        RefusalCase{{"--upscale", "--width", "2", "--height", "2"}, ""},
        // --p0 wins over both and renders no half frame; --temporal 0 is off;
        // the shape-program run ignores the variants.
        RefusalCase{{"--p0", "--upscale", "--width", "1"}, ""}, RefusalCase{{"--temporal", "0", "--width", "1"}, ""},
        RefusalCase{{"--sdna", "f", "--upscale", "--width", "1"}, ""},
        // The sculpt points share one storage buffer of at most 2^32 - 1 bytes.
        RefusalCase{{"--sculpt", "268435455"}, ""},
        RefusalCase{{"--sculpt", "268435456"},
                    "--sculpt must be at most 268435455: its 16-byte probe points are bound as one storage buffer"},
        RefusalCase{{"--sculpt", "4294967296", "--random", "3"},
                    "--sculpt must be at most 268435455: its 16-byte probe points are bound as one storage buffer"},
        // Values that would measure nothing, hang or crash the scene build.
        RefusalCase{{"--upscale", "--half-lod-bias", "nan"}, "--half-lod-bias must be a finite number"},
        RefusalCase{{"--temporal", "5", "--half-lod-bias", "-inf"}, "--half-lod-bias must be a finite number"},
        RefusalCase{{"--temporal", "5", "--temporal-speed", "nan"}, "--temporal-speed must be a finite number"},
        RefusalCase{{"--temporal", "5", "--temporal-speed", "inf"}, "--temporal-speed must be a finite number"},
        RefusalCase{{"--temporal", "5", "--temporal-speed", "-3.5", "--half-lod-bias", "1e30"}, ""},
        // Only the run that uses them checks them.
        RefusalCase{{"--upscale", "--temporal-speed", "nan"}, ""}, RefusalCase{{"--half-lod-bias", "inf"}, ""},
        RefusalCase{{"--p0", "--temporal", "5", "--temporal-speed", "nan"}, ""},
        RefusalCase{{"--scene", "diorama", "--time", "nan"}, kTimeRange},
        RefusalCase{{"--scene", "diorama", "--time", "inf"}, kTimeRange},
        RefusalCase{{"--scene", "diorama", "--time", "-inf"}, kTimeRange},
        RefusalCase{{"--scene", "diorama", "--time", "524289"}, kTimeRange},
        RefusalCase{{"--scene", "diorama", "--time", "524288"}, ""},
        RefusalCase{{"--scene", "diorama", "--time", "-5"}, ""}, RefusalCase{{"--time", "inf"}, ""},
        RefusalCase{{"--scene", "shells", "--res", "0"}, kResRange},
        RefusalCase{{"--scene", "shells", "--res", "3"}, kResRange},
        RefusalCase{{"--scene", "shells", "--res", "65536"}, kResRange},
        RefusalCase{{"--scene", "shells", "--res", "2147483648"}, kResRange},
        RefusalCase{{"--scene", "shells", "--res", "-64"}, kResRange},
        RefusalCase{{"--scene", "shells", "--res", "1"}, ""},
        RefusalCase{{"--scene", "shells", "--res", "32768"}, ""}, RefusalCase{{"--res", "3"}, ""},
        // The demo terrain's edge is checked before the terrain is generated,
        // with the field's own messages.
        RefusalCase{{"--terrain", "65536"}, "field too large"},
        RefusalCase{{"--terrain", "8589934592"}, "field width must be a power of two"},
        RefusalCase{{"--terrain", "100"}, "field width must be a power of two"},
        RefusalCase{{"--scene", "demo", "--terrain", "0"}, "field width must be a power of two"},
        RefusalCase{{"--scene", "other", "--terrain"}, "field width must be a power of two"},
        RefusalCase{{"--terrain", "32768"}, ""}, RefusalCase{{"--terrain", "1"}, ""},
        RefusalCase{{"--scene", "shells", "--terrain", "0"}, ""},
        RefusalCase{{"--scene", "diorama", "--terrain", "65536"}, ""},
        RefusalCase{{"--sdna", "f", "--terrain", "0"}, ""}, RefusalCase{{"--random", "1", "--terrain", "0"}, ""}));

} // namespace
} // namespace qlmr
