// Runs of the real qlmr-pixelart binary in a temporary directory.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <regex>
#include <string>
#include <vector>

#include "scene/png_writer.h"
#include "support/program_run.h"
#include "support/test_support.h"

namespace qlmr {
namespace {

using test::ProgramRun;

// Runs the program with `args` in `dir` (its working directory), standard
// error kept apart.
ProgramRun runPixelart(const test::TempDir& dir, const std::vector<std::string>& args)
{
    test::RunOptions options;
    options.workingDirectory = dir.path();
    options.separateErrors = true;
    return test::runProgram(QLMR_PIXELART_PROGRAM, args, options);
}

const char* const kUsage =
    "usage: qlmr-pixelart [--sprite FILE.png[@x,y,w,h] [--back FILE.png[@x,y,w,h]]]... [--parts W]\n"
    "                     [--one-sided] [--width N] [--height N] [--nodes S] [--out DIR] [--runs N]\n";

const std::regex kBenchmarkLine(
    R"(  (sprite 64x64 |frame 320x180) {9} S=([124]) field ( {0,3}\d+)x(\d+ {0,3})  (\d+\.\d{3}) ms  \(pixels \d+\.\d{3}, distance \d+\.\d{3}, relief \d+\.\d{3}, pyramid \d+\.\d{3}\))");
const std::regex kSpriteLine(R"(sprite (\d+)x(\d+): opaque (\d+)x(\d+) -> field (\d+)x(\d+), parts (yes|no))");
const std::regex kRenderLine(R"(render (wide |close|back ) (smooth |snapped) \d+\.\d ms)");

const char* const kViews[] = {"wide", "close", "back"};

TEST(PixelartProgram, CompleteRunPrintsItsReportAndWritesDecodableImages)
{
    test::TempDir dir;
    const ProgramRun run = runPixelart(dir, {"--width", "96", "--height", "54", "--runs", "2", "--out", "out/pixels"});
    ASSERT_EQ(run.exitCode, 0) << run.output << run.errors;
    EXPECT_EQ(run.errors, "");
    const std::vector<std::string> lines = test::lines(run.output);
    ASSERT_EQ(lines.size(), 1u + 4u + 2u + 6u + 1u) << run.output;

    EXPECT_EQ(lines[0], "synthesis (median of 2):");
    const char* labels[] = {"sprite 64x64 ", "sprite 64x64 ", "sprite 64x64 ", "frame 320x180"};
    const char* nodes[] = {"1", "2", "4", "1"};
    for (int k = 0; k < 4; ++k) {
        std::smatch match;
        ASSERT_TRUE(std::regex_match(lines[1 + k], match, kBenchmarkLine)) << lines[1 + k];
        EXPECT_EQ(match[1].str(), labels[k]);
        EXPECT_EQ(match[2].str(), nodes[k]);
        EXPECT_EQ(match[3].length(), 4);
        EXPECT_EQ(match[4].length(), 4);
    }
    // The 64 x 64 hero's field grows with the nodes per pixel; the frame's
    // 320 x 180 pixels at one node need 512 x 256.
    EXPECT_NE(lines[1].find("field   64x64  "), std::string::npos);
    EXPECT_NE(lines[2].find("field  128x128 "), std::string::npos);
    EXPECT_NE(lines[3].find("field  256x256 "), std::string::npos);
    EXPECT_NE(lines[4].find("field  512x256 "), std::string::npos);

    EXPECT_EQ(lines[5], "sprite 32x24: opaque 30x22 -> field 64x64, parts yes");
    EXPECT_EQ(lines[6], "sprite 20x20: opaque 20x20 -> field 64x64, parts yes");
    for (int k = 0; k < 6; ++k) {
        std::smatch match;
        ASSERT_TRUE(std::regex_match(lines[7 + k], match, kRenderLine)) << lines[7 + k];
        EXPECT_EQ(match[1].str().substr(0, std::string(kViews[k / 2]).size()), kViews[k / 2]);
        EXPECT_EQ(match[2].str(), k % 2 == 0 ? "smooth " : "snapped");
    }
    EXPECT_EQ(lines[13], "wrote out/pixels");

    const std::filesystem::path out = dir.path() / "out" / "pixels";
    const std::filesystem::path artifacts = test::artifactDir("pixelart");
    std::filesystem::create_directories(artifacts);
    for (const char* view : kViews) {
        for (const char* suffix : {"_smooth.png", "_snapped.png", "_snapped_normals.png"}) {
            const std::string name = std::string("pixel_") + view + suffix;
            const test::DecodedImage image = test::decodeImage((out / name).string());
            EXPECT_EQ(image.width, 96) << name;
            EXPECT_EQ(image.height, 54) << name;
        }
    }
    const test::DecodedImage heights = test::decodeImage((out / "pixel_hero_heights.png").string());
    EXPECT_EQ(heights.width, 256);
    EXPECT_EQ(heights.height, 256);
    // The relief is brightest inside the blob and black outside it.
    ASSERT_EQ(heights.rgba.size(), 256u * 256u * 4u);
    EXPECT_EQ(heights.rgba[0], 0);
    const std::size_t middle = (std::size_t(4 * 30) * 256 + 4 * 32) * 4; // node (32, 30), inside the body
    EXPECT_GT(heights.rgba[middle], 100);

    // A sprite stands in the middle of the wide view: the snapped and the
    // smooth image differ there, and the sky above is the same in both.
    const test::DecodedImage smooth = test::decodeImage((out / "pixel_close_smooth.png").string());
    const test::DecodedImage snapped = test::decodeImage((out / "pixel_close_snapped.png").string());
    ASSERT_EQ(smooth.rgba.size(), snapped.rgba.size());
    EXPECT_NE(smooth.rgba, snapped.rgba);
    EXPECT_TRUE(std::equal(smooth.rgba.begin(), smooth.rgba.begin() + 96 * 4, snapped.rgba.begin()));
}

TEST(PixelartProgram, LauncherRunWithFileSpritesAndBacks)
{
    test::TempDir dir;
    const std::string crystal = std::string(QLMR_SPRITE_DIR) + "/crystal.png";
    const std::string barrel = std::string(QLMR_SPRITE_DIR) + "/barrel.png";
    const ProgramRun run = runPixelart(dir, {"--sprite", crystal, "--sprite", barrel, "--back", crystal + "@0,0,24,32",
                                             "--runs", "1", "--width", "320", "--height", "180", "--out", "."});
    ASSERT_EQ(run.exitCode, 0) << run.output << run.errors;
    // The launcher's reading: the last line with both markers, the number before " ms".
    double seconds = -1.0;
    int spriteLines = 0;
    for (const std::string& line : test::lines(run.output)) {
        if (line.find("sprite 64x64") != std::string::npos && line.find("S=1") != std::string::npos) {
            const std::size_t end = line.find(" ms");
            std::size_t start = line.rfind(' ', end - 1) + 1;
            seconds = std::stod(line.substr(start, end - start));
        }
        std::smatch match;
        if (std::regex_match(line, match, kSpriteLine)) {
            ++spriteLines;
            const std::string size = match[1].str() + "x" + match[2].str();
            EXPECT_TRUE(size == (spriteLines == 1 ? "24x32" : "20x24")) << line;
        }
    }
    EXPECT_GT(seconds, 0.0);
    EXPECT_EQ(spriteLines, 2); // backs print no line
    const std::filesystem::path artifacts = test::artifactDir("pixelart");
    std::filesystem::create_directories(artifacts);
    for (const char* view : kViews) {
        const std::string name = std::string("pixel_") + view + "_snapped.png";
        const test::DecodedImage image = test::decodeImage(dir.file(name));
        EXPECT_EQ(image.width, 320) << name;
        EXPECT_EQ(image.height, 180) << name;
        std::error_code error;
        std::filesystem::copy_file(dir.file(name), artifacts / (std::string(QLMR_TEST_VARIANT) + "_" + name),
                                   std::filesystem::copy_options::overwrite_existing, error);
    }
}

TEST(PixelartProgram, RunsZeroPrintsNoSynthesisLines)
{
    test::TempDir dir;
    const ProgramRun run =
        runPixelart(dir, {"--runs", "0", "--width", "32", "--height", "18", "--one-sided", "--out", "o"});
    ASSERT_EQ(run.exitCode, 0) << run.errors;
    const std::vector<std::string> lines = test::lines(run.output);
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines[0].rfind("sprite 32x24:", 0), 0u) << lines[0];
    EXPECT_EQ(run.output.find("synthesis"), std::string::npos);
    EXPECT_EQ(lines.size(), 2u + 6u + 1u);
}

TEST(PixelartProgram, SpritesThatCannotBeReadEndTheRun)
{
    test::TempDir dir;
    std::vector<std::uint8_t> rgba(6 * 4 * 4, 255);
    ASSERT_TRUE(writePng(dir.file("tiny.png"), 6, 4, rgba));
    const std::string tiny = dir.file("tiny.png");
    const std::string empty = dir.file("empty.txt"); // a file that is there but holds no image
    ASSERT_TRUE(std::ofstream(empty).good());
    struct Case {
        std::vector<std::string> sprites; // the words before the common ones
        std::string named;                // what the message names
    } cases[] = {
        {{"--sprite", dir.file("missing.png")}, dir.file("missing.png")},
        {{"--sprite", tiny + "@0,0,6"}, tiny + "@0,0,6"},
        {{"--sprite", tiny + "@0,,6,4"}, tiny + "@0,,6,4"},
        {{"--sprite", tiny + "@1,0,6,4"}, tiny + "@1,0,6,4"},
        {{"--sprite", tiny, "--back", tiny + "@0,0,7,4"}, tiny + "@0,0,7,4"},
        {{"--sprite", tiny, "--sprite", empty}, empty},
    };
    for (const Case& c : cases) {
        std::vector<std::string> args = c.sprites;
        args.insert(args.end(), {"--runs", "0", "--width", "16", "--height", "16", "--out", "o"});
        const std::string shown = testing::PrintToString(c.sprites);
        const ProgramRun run = runPixelart(dir, args);
        EXPECT_EQ(run.exitCode, 1) << shown;
        EXPECT_EQ(run.errors, "cannot read " + c.named + "\n") << shown;
        EXPECT_FALSE(std::filesystem::exists(dir.path() / "o" / "pixel_wide_snapped.png")) << shown;
    }
    // The whole image as its own crop is accepted.
    const ProgramRun whole = runPixelart(
        dir, {"--sprite", tiny + "@0,0,6,4", "--runs", "0", "--width", "16", "--height", "16", "--out", "o"});
    EXPECT_EQ(whole.exitCode, 0) << whole.errors;
    EXPECT_EQ(test::lines(whole.output).at(0), "sprite 6x4: opaque 6x4 -> field 16x16, parts no");
}

TEST(PixelartProgram, UsageTextAndExitCodes)
{
    struct Case {
        const char* args;
        int exitCode;
    } cases[] = {
        {"--help", 0},
        {"--bogus", 1},
        {"--runs 0 --back x.png", 1},
        {"--width 8 extra", 1},
    };
    for (const Case& c : cases) {
        test::TempDir dir;
        std::vector<std::string> args = test::words(c.args);
        args.insert(args.end(), {"--out", "o"});
        const ProgramRun run = runPixelart(dir, args);
        EXPECT_EQ(run.exitCode, c.exitCode) << c.args;
        EXPECT_EQ(run.output, kUsage) << c.args;
        EXPECT_EQ(run.errors, "") << c.args;
        EXPECT_FALSE(std::filesystem::exists(dir.path() / "o")) << c.args;
    }
}

} // namespace
} // namespace qlmr
