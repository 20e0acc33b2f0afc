// qlmr-gpu's option loop and the choice of run it leads to.
#include "gpu_options.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>
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

} // namespace
} // namespace qlmr
