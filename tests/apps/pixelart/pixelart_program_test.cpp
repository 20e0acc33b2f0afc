// Runs of the real qlmr-pixelart binary in a temporary directory.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <optional>
#include <random>
#include <regex>
#include <set>
#include <string>
#include <unistd.h>
#include <vector>

#include "scene/png_writer.h"
#include "support/limited_run.h"
#include "support/program_run.h"
#include "support/scratch_mount.h"
#include "support/test_support.h"
#include "support/write_failures.h"

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

// Runs that end early, each held to a modest address space (sizes that
// would need gigabytes fail inside the program) and a time limit: exit
// code 1 and one line on standard error, never an abort; refused options
// stop it before any work (no report line, no output folder).
struct FailureCase {
    const char* label;
    std::vector<std::string> args; // after --runs 0 --width 16 --height 16
    const char* message;           // the start of the one line on standard error
    bool beforeAnyWork;
};

void PrintTo(const FailureCase& c, std::ostream* os)
{
    *os << testing::PrintToString(c.args);
}

ProgramRun runLimitedPixelart(const test::TempDir& dir, const std::vector<std::string>& args)
{
    test::RunOptions options;
    options.workingDirectory = dir.path();
    options.separateErrors = true;
    return test::runLimited(QLMR_PIXELART_PROGRAM, args, {test::modestMemoryLimit(), 120}, options);
}

class PixelartProgramFailure : public testing::TestWithParam<FailureCase> {};

TEST_P(PixelartProgramFailure, EndsWithExitCodeOneAndAMessage)
{
    const FailureCase& c = GetParam();
    if (std::string(c.message).rfind("out of memory", 0) == 0 && !test::addressSpaceLimitsWork())
        GTEST_SKIP() << "no address-space limit can be set in this build, so memory cannot run out";
    test::TempDir dir;
    std::ofstream(dir.file("blocker")) << "a file, not a directory";
    std::vector<std::string> args = {"--runs", "0", "--width", "16", "--height", "16"};
    args.insert(args.end(), c.args.begin(), c.args.end());
    const ProgramRun run = runLimitedPixelart(dir, args);
    EXPECT_EQ(run.exitCode, 1) << run.output << run.errors;
    const std::vector<std::string> errors = test::lines(run.errors);
    ASSERT_EQ(errors.size(), 1u) << run.errors;
    EXPECT_EQ(errors[0].rfind(c.message, 0), 0u) << errors[0];
    if (c.beforeAnyWork) {
        EXPECT_EQ(run.output, "");
        EXPECT_FALSE(std::filesystem::exists(dir.path() / "output"));
    }
}

const char* const kWidthRange = "--width must be a whole number from 1 to 16384 (pixels)";
const char* const kHeightRange = "--height must be a whole number from 1 to 16384 (pixels)";
const char* const kNodesRange = "nodesPerPixel must be 1..8";

INSTANTIATE_TEST_SUITE_P(
    Mends, PixelartProgramFailure,
    testing::Values(
        FailureCase{"width_zero", {"--width", "0"}, kWidthRange, true},
        FailureCase{"width_negative", {"--width", "-1"}, kWidthRange, true},
        FailureCase{"width_too_large", {"--width", "16385"}, kWidthRange, true},
        FailureCase{"width_not_a_number", {"--width", "abc"}, kWidthRange, true},
        FailureCase{"width_past_32_bits", {"--width", "4294967297"}, kWidthRange, true},
        FailureCase{"width_as_last_word", {"--width"}, kWidthRange, true},
        FailureCase{"height_most_negative", {"--height", "-2147483648"}, kHeightRange, true},
        FailureCase{"height_zero", {"--height", "0"}, kHeightRange, true},
        FailureCase{"nodes_zero", {"--nodes", "0"}, kNodesRange, true},
        FailureCase{"nodes_nine", {"--nodes", "9"}, kNodesRange, true},
        FailureCase{"nodes_wrapping_to_two", {"--nodes", "-4294967294"}, kNodesRange, true},
        FailureCase{"nodes_as_last_word", {"--nodes"}, kNodesRange, true},
        FailureCase{"out_empty", {"--out", ""}, "cannot create output directory \"\"", true},
        FailureCase{"out_as_last_word", {"--out"}, "cannot create output directory \"\"", true},
        FailureCase{"out_under_a_file", {"--out", "blocker/images"},
                    "cannot create output directory \"blocker/images\"", true},
        FailureCase{"out_is_a_file", {"--out", "blocker"}, "cannot create output directory \"blocker\"", true},
        // In range but not in memory: a 16384 x 16384 G-buffer is 9.7 GB.
        FailureCase{"image_out_of_memory", {"--width", "16384", "--height", "16384", "--out", "o"},
                    "out of memory: G-buffer 16384x16384", false}),
    [](const testing::TestParamInfo<FailureCase>& info) { return std::string(info.param.label); });

// Sprites whose relief cannot be made end the run with one line, within a
// modest address space: 1024 x 1024 pixels at eight nodes per pixel is a
// 16384-square field with gigabytes of scratch, so memory runs out; 4097 x
// 512 would be a 65536 x 8192 node grid, beyond the largest field, and is
// refused with the field's message before any of that scratch is made.
TEST(PixelartProgram, SpritesWhoseReliefCannotBeMadeEndWithAMessage)
{
    if (!test::addressSpaceLimitsWork())
        GTEST_SKIP() << "no address-space limit can be set in this build, so memory cannot run out";
    const struct {
        std::uint32_t width, height;
        const char* message;
    } cases[] = {
        {1024, 1024, "out of memory: relief of big.png\n"},
        {4097, 512, "field too large\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(c.width) + "x" + std::to_string(c.height));
        test::TempDir dir;
        const std::vector<std::uint8_t> rgba(std::size_t(c.width) * c.height * 4, 200);
        ASSERT_TRUE(writePng(dir.file("big.png"), c.width, c.height, rgba));
        const ProgramRun run = runLimitedPixelart(dir, {"--runs", "0", "--width", "16", "--height", "16", "--nodes",
                                                        "8", "--sprite", "big.png", "--out", "o"});
        EXPECT_EQ(run.exitCode, 1) << run.output;
        EXPECT_EQ(run.errors, c.message);
        EXPECT_FALSE(std::filesystem::exists(dir.path() / "o" / "pixel_wide_smooth.png"));
    }
}

// The ten images of a run, in the order they are written.
const std::vector<std::string> kImageNames = {
    "pixel_wide_smooth.png",  "pixel_wide_snapped.png",  "pixel_wide_snapped_normals.png",
    "pixel_close_smooth.png", "pixel_close_snapped.png", "pixel_close_snapped_normals.png",
    "pixel_back_smooth.png",  "pixel_back_snapped.png",  "pixel_back_snapped_normals.png",
    "pixel_hero_heights.png"};

// Writes that fail: each image that cannot be written is named on standard
// error, the others are written whole, the closing "wrote" line is missing
// and the exit code is 1. Per row, the output folder is a full file system,
// one that may not be written, or holds links to /dev/full; or the run has
// a file size limit (ulimit -f) below the size of an image.
struct WriteFailureCase {
    const char* label;
    // Prepares `out`, the output folder; returns a reason to skip or "".
    std::string (*prepare)(const std::filesystem::path& out, std::optional<test::ScratchMount>& mount);
    std::set<std::string> failing; // empty: some, as many as the space decides
    std::uint64_t fileBytes = 0;   // the largest file the run may write; 0 for no limit
};

void PrintTo(const WriteFailureCase& c, std::ostream* os)
{
    *os << c.label;
}

std::string linkToDevFull(const std::filesystem::path& out, const std::set<std::string>& names)
{
    if (!std::filesystem::exists("/dev/full"))
        return "/dev/full is not available";
    std::filesystem::create_directories(out);
    for (const std::string& name : names)
        std::filesystem::create_symlink("/dev/full", out / name);
    return {};
}

class PixelartWriteFailure : public testing::TestWithParam<WriteFailureCase> {};

TEST_P(PixelartWriteFailure, NamesEveryImageItCouldNotWriteAndExitsWithOne)
{
    const WriteFailureCase& c = GetParam();
    test::TempDir dir;
    const std::filesystem::path out = dir.path() / "out";
    std::optional<test::ScratchMount> mount; // unmounted before the folder goes
    const std::string skip = c.prepare(out, mount);
    if (!skip.empty())
        GTEST_SKIP() << skip;

    const ProgramRun run = test::runWritingAtMost(
        QLMR_PIXELART_PROGRAM, {"--runs", "0", "--width", "64", "--height", "64", "--out", out.string()}, dir.path(),
        c.fileBytes);
    EXPECT_EQ(run.exitCode, 1) << run.output << run.errors;

    // Every image is named as failed or written whole; nothing partial and
    // no temporary file remains.
    test::WriteOutcome outcome;
    ASSERT_NO_FATAL_FAILURE(test::readWriteOutcome(run.errors, out, outcome));
    for (const std::string& name : outcome.written)
        EXPECT_GT(test::decodeImage((out / name).string()).width, 0) << name;
    test::expectReportedOrWritten(outcome, kImageNames, c.failing);
    const std::vector<std::string> lines = test::lines(run.output);
    EXPECT_EQ(std::count_if(lines.begin(), lines.end(), [](const std::string& l) { return l.rfind("render ", 0) == 0; }),
              6);
    for (const std::string& line : lines)
        EXPECT_NE(line.rfind("wrote", 0), 0u) << line;
}

INSTANTIATE_TEST_SUITE_P(
    Mends, PixelartWriteFailure,
    testing::Values(
        // Room for the first two 64 x 64 images (five pages each) and part
        // of the third.
        WriteFailureCase{"full_file_system",
                         [](const std::filesystem::path& out, std::optional<test::ScratchMount>& mount) {
                             mount.emplace(out, 48 * 1024);
                             return mount->mounted() ? std::string() : mount->reason();
                         },
                         {}},
        WriteFailureCase{"folder_that_may_not_be_written",
                         [](const std::filesystem::path& out, std::optional<test::ScratchMount>& mount) {
                             if (::geteuid() != 0) {
                                 // Folder permissions hold for everyone but root.
                                 std::filesystem::create_directories(out);
                                 std::filesystem::permissions(out, std::filesystem::perms::owner_read |
                                                                       std::filesystem::perms::owner_exec);
                                 return std::string();
                             }
                             mount.emplace(out, 1024 * 1024, true);
                             return mount->mounted() ? std::string() : mount->reason();
                         },
                         std::set<std::string>(kImageNames.begin(), kImageNames.end())},
        WriteFailureCase{"every_image_a_link_to_dev_full",
                         [](const std::filesystem::path& out, std::optional<test::ScratchMount>&) {
                             return linkToDevFull(out, {kImageNames.begin(), kImageNames.end()});
                         },
                         std::set<std::string>(kImageNames.begin(), kImageNames.end())},
        WriteFailureCase{"heights_image_a_link_to_dev_full",
                         [](const std::filesystem::path& out, std::optional<test::ScratchMount>&) {
                             return linkToDevFull(out, {"pixel_hero_heights.png"});
                         },
                         {"pixel_hero_heights.png"}},
        // Every 64 x 64 image needs more than 16 KiB.
        WriteFailureCase{"files_past_the_size_limit",
                         [](const std::filesystem::path&, std::optional<test::ScratchMount>&) { return std::string(); },
                         std::set<std::string>(kImageNames.begin(), kImageNames.end()), 8 * 1024}),
    [](const testing::TestParamInfo<WriteFailureCase>& info) { return std::string(info.param.label); });

// A report that cannot reach standard output (redirected to a full disk)
// is a failed run: the images are still written, but the exit code is 1
// and standard error says why the lines are missing.
TEST(PixelartProgram, ReportThatCannotBeWrittenEndsWithExitCodeOne)
{
    test::TempDir dir;
    test::RunOptions options;
    options.workingDirectory = dir.path();
    const std::optional<ProgramRun> run = test::runIntoFullOutput(
        QLMR_PIXELART_PROGRAM, {"--runs", "1", "--width", "32", "--height", "18", "--out", "out"}, options);
    if (!run)
        GTEST_SKIP() << "/dev/full is not available";
    EXPECT_EQ(run->exitCode, 1);
    EXPECT_EQ(run->errors, "cannot write the report to standard output\n");
    for (const std::string& name : kImageNames)
        EXPECT_GT(test::decodeImage((dir.path() / "out" / name).string()).width, 0) << name;
}

// The usage text is the whole answer to --help and to a word the program
// does not know: when it cannot reach standard output, the run says so and
// ends with exit code 1, --help included.
TEST(PixelartProgram, UsageThatCannotBeWrittenEndsWithExitCodeOne)
{
    for (const char* word : {"--help", "--bogus"}) {
        test::TempDir dir;
        test::RunOptions options;
        options.workingDirectory = dir.path();
        const std::optional<ProgramRun> run = test::runIntoFullOutput(QLMR_PIXELART_PROGRAM, {word}, options);
        if (!run)
            GTEST_SKIP() << "/dev/full is not available";
        EXPECT_EQ(run->exitCode, 1) << word;
        EXPECT_EQ(run->errors, "cannot write the report to standard output\n") << word;
    }
}

// Option combinations drawn at random from values a user might type (odd
// numbers, missing values, text, folders that cannot be made, sprites that
// cannot be read): every run ends with exit code 0 or 1, never a signal or a
// hang, within a time limit and a modest address space. The table is seeded,
// so a failure repeats.
TEST(PixelartProgram, RandomOptionCombinationsEndWithZeroOrOne)
{
    test::TempDir dir;
    std::ofstream(dir.file("blocker")) << "a file, not a directory";
    std::vector<std::uint8_t> rgba(6 * 4 * 4, 255);
    ASSERT_TRUE(writePng(dir.file("tiny.png"), 6, 4, rgba));

    struct Choice {
        const char* option;
        std::vector<const char*> values; // empty: a flag
    };
    // Image sizes in range stay small, so that the runs stay fast.
    const std::vector<const char*> edges = {"1", "2", "9", "24", "0", "-1", "-2147483648", "16385", "4294967297",
                                            "abc", ""};
    const Choice choices[] = {
        {"--width", edges},
        {"--height", edges},
        {"--nodes", {"1", "2", "8", "0", "9", "-3", "x", ""}},
        {"--parts", {"0", "0.6", "1", "-2", "7", "nan", "inf", "abc", ""}},
        {"--runs", {"-1", "0", "1", "abc", ""}},
        {"--out", {"o", "deep/er/o", "", "blocker", "blocker/x"}},
        {"--sprite", {"tiny.png", "tiny.png@0,0,2,2", "tiny.png@5,3,9,9", "missing.png", "blocker", ""}},
        {"--back", {"tiny.png", "tiny.png@1,1,3,2", "missing.png", ""}},
        {"--one-sided", {}},
        {"--help", {}},
        {"--bogus", {}},
    };
    std::mt19937 random(14);
    int endings[2] = {0, 0};
    for (int round = 0; round < 60; ++round) {
        // Small images unless the draw overrides them.
        std::vector<std::string> args = {"--runs", "0", "--width", "12", "--height", "8"};
        const int count = 1 + int(random() % 4);
        for (int k = 0; k < count; ++k) {
            const Choice& choice = choices[random() % std::size(choices)];
            args.push_back(choice.option);
            if (choice.values.empty())
                continue;
            const bool lastWithoutValue = k == count - 1 && random() % 6 == 0;
            if (!lastWithoutValue)
                args.push_back(choice.values[random() % choice.values.size()]);
        }
        test::TempDir work;
        std::filesystem::copy_file(dir.file("tiny.png"), work.file("tiny.png"));
        std::filesystem::copy_file(dir.file("blocker"), work.file("blocker"));
        const ProgramRun run = runLimitedPixelart(work, args);
        EXPECT_TRUE(run.exitCode == 0 || run.exitCode == 1)
            << "exit code " << run.exitCode << " for " << testing::PrintToString(args) << "\n"
            << run.errors;
        if (run.exitCode == 0 || run.exitCode == 1)
            ++endings[run.exitCode];
    }
    // The draws reach complete runs as well as refusals.
    EXPECT_GT(endings[0], 5);
    EXPECT_GT(endings[1], 5);
}

} // namespace
} // namespace qlmr
