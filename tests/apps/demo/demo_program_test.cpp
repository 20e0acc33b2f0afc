// Runs the real qlmr-demo binary of this variant in a temporary directory
// and checks its report lines, its files and its exit codes.
#include "support/json_reader.h"
#include "support/limited_run.h"
#include "support/program_run.h"
#include "support/scratch_mount.h"
#include "support/test_support.h"
#include "support/write_failures.h"
#include "scene/thread_pool.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cmath>
#include <fstream>
#include <optional>
#include <regex>
#include <set>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

namespace qlmr {
namespace {

namespace fs = std::filesystem;

using test::ProgramRun;

// Runs the program with `arguments` in `workDir`, standard error kept apart.
ProgramRun runDemo(const fs::path& workDir, const std::string& arguments)
{
    fs::create_directories(workDir);
    test::RunOptions options;
    options.workingDirectory = workDir;
    options.separateErrors = true;
    return test::runProgram(QLMR_DEMO_PROGRAM, test::words(arguments), options);
}

// A regular expression matching what printf writes for `format`, one group
// per conversion. Understands the conversions the report lines use.
std::string regexFromPrintf(const std::string& format)
{
    std::string pattern = "^";
    for (std::size_t i = 0; i < format.size(); ++i) {
        const char c = format[i];
        if (c != '%') {
            if (std::string("\\^$.|?*+()[]{}").find(c) != std::string::npos)
                pattern += '\\';
            pattern += c;
            continue;
        }
        std::size_t j = i + 1;
        bool left = false; // only "-" and digits occur before the precision
        if (format[j] == '-') {
            left = true;
            ++j;
        }
        while (std::isdigit(static_cast<unsigned char>(format[j]))) // the width: padding matched by " *"
            ++j;
        int precision = -1;
        if (format[j] == '.') {
            precision = 0;
            ++j;
            while (std::isdigit(static_cast<unsigned char>(format[j])))
                precision = precision * 10 + (format[j++] - '0');
        }
        std::string conversion;
        while (format[j] == 'l' || format[j] == 'z')
            conversion += format[j++];
        conversion += format[j];
        i = j;
        if (conversion == "%") {
            pattern += '%';
        } else if (conversion == "s") {
            // Names in the report have no blanks; padding goes to the right
            // when left-justified.
            pattern += left ? "([^ \\]]+ *)" : "( *[^ ]+)";
        } else if (conversion == "f") {
            const std::string digits = precision == 0 ? "" : "\\.\\d{" + std::to_string(precision) + "}";
            pattern += "( *-?(?:\\d+" + digits + "|inf|nan))";
        } else if (conversion == "llu" || conversion == "zu" || conversion == "u") {
            pattern += "( *\\d+)";
        } else {
            ADD_FAILURE() << "conversion %" << conversion << " not understood";
        }
    }
    return pattern + "$";
}

const char* const kViewFormat = "[%-6s] %7.1f ms | %.2f Mrays/s (primary %llu, shadow %llu) | hits %.1f%% | primary "
                                "iters %.1f (descends %.1f, seed %.1f) | avg bin %.1f";
const char* const kJsonFormat = "JSON {\"view\":\"%s\",\"ms\":%.3f,\"primary\":%llu,\"shadow\":%llu,\"iters\":%.4f,"
                                "\"descends\":%.4f,\"seed\":%.4f,\"hits\":%.4f}";
const char* const kSceneFormat = "scene: %zu fields, %zu prisms, %.1f M instanced surface cells";
const char* const kMemoryFormat =
    "memory: heights %.1f MB + bounds %.1f MB (+ albedo/material %.1f MB) vs. equivalent indexed mesh ~%.0f MB";

std::string expectedBannerPrefix()
{
#if QLMR_LANES == 8
    return "Quillmere reference renderer | SIMD: AVX2 (8 lanes) | threads: ";
#else
    return "Quillmere reference renderer | SIMD: SSE2 (4 lanes) | threads: ";
#endif
}

std::string expectedBannerSuffix()
{
#if QLMR_LANES == 8
    return " | packet 4x2 | tile 16";
#else
    return " | packet 2x2 | tile 16";
#endif
}

constexpr unsigned kWidth = 160;
constexpr unsigned kHeight = 90;

// One run the way the launcher starts the program (output into the working
// directory), at a small size, with the JSON lines, two frames per view and
// one word that is not an option.
class DemoProgramRun : public testing::Test {
protected:
    static void SetUpTestSuite()
    {
        root = new test::TempDir();
        work = root->path() / "work";
        run = new ProgramRun(runDemo(work, "--out . --width 160 --height 90 --terrain 256 --json --frames 2 --bogus"));
    }
    static void TearDownTestSuite()
    {
        delete run;
        delete root;
        run = nullptr;
        root = nullptr;
    }

    // The lines from the banner on (the unknown word's line comes first).
    static std::vector<std::string> reportLines()
    {
        std::vector<std::string> report = test::lines(run->output);
        if (!report.empty() && report.front().rfind("unknown option: ", 0) == 0)
            report.erase(report.begin());
        return report;
    }

    static test::TempDir* root;
    static fs::path work;
    static ProgramRun* run;
};

test::TempDir* DemoProgramRun::root = nullptr;
fs::path DemoProgramRun::work;
ProgramRun* DemoProgramRun::run = nullptr;

TEST_F(DemoProgramRun, SucceedsAndReportsTheUnknownWord)
{
    EXPECT_EQ(run->exitCode, 0) << run->errors;
    EXPECT_EQ(run->errors, "");
    const std::vector<std::string> out = test::lines(run->output);
    ASSERT_FALSE(out.empty());
    EXPECT_EQ(out.front(), "unknown option: --bogus");
}

TEST_F(DemoProgramRun, BannerSceneAndMemoryLines)
{
    const std::vector<std::string> lines = reportLines();
    ASSERT_GE(lines.size(), 4u);
    const std::string& banner = lines[0];
    const std::string prefix = expectedBannerPrefix();
    const std::string suffix = expectedBannerSuffix();
    ASSERT_EQ(banner.substr(0, prefix.size()), prefix) << banner;
    ASSERT_GE(banner.size(), prefix.size() + suffix.size());
    EXPECT_EQ(banner.substr(banner.size() - suffix.size()), suffix) << banner;
    const std::string threads = banner.substr(prefix.size(), banner.size() - prefix.size() - suffix.size());
    const unsigned workers = ThreadPool::defaultWorkerCount(std::thread::hardware_concurrency());
    EXPECT_EQ(threads, std::to_string(workers + 1));

    EXPECT_EQ(lines[1], "generating fields...");

    std::smatch m;
    const std::regex scene(regexFromPrintf(kSceneFormat));
    const auto sceneLine = std::find_if(lines.begin(), lines.end(), [](auto& l) { return l.rfind("scene:", 0) == 0; });
    ASSERT_NE(sceneLine, lines.end());
    ASSERT_TRUE(std::regex_match(*sceneLine, m, scene)) << *sceneLine;
    // Terrain, cobblestones, bricks, panels and the faded panels; 1 terrain,
    // 12 path, 12 wall and 9 shell prisms.
    EXPECT_EQ(m[1], "5");
    EXPECT_EQ(m[2], "34");
    const double cells = 256.0 * 256 + 12 * 512.0 * 512 + 12 * 512.0 * 256 + 9 * 512.0 * 512;
    EXPECT_NEAR(std::stod(m[3]), cells * 1e-6, 0.05 + 1e-9);

    const auto memoryLine = sceneLine + 1;
    ASSERT_NE(memoryLine, lines.end());
    ASSERT_TRUE(std::regex_match(*memoryLine, m, std::regex(regexFromPrintf(kMemoryFormat)))) << *memoryLine;
    EXPECT_GT(std::stod(m[1]), 0.0);
    EXPECT_GT(std::stod(m[2]), 0.0);
    EXPECT_GT(std::stod(m[3]), 0.0); // albedo and materials
    EXPECT_NEAR(std::stod(m[4]), cells * 56.0 / 1048576.0, 0.5 + 1e-9);
    // What the launcher reads: the number right after "memory: heights ".
    EXPECT_EQ(memoryLine->rfind("memory: heights ", 0), 0u);
}

TEST_F(DemoProgramRun, OneViewLineAndOneJsonLinePerPreset)
{
    const std::vector<std::string> lines = reportLines();
    const std::regex viewLine(regexFromPrintf(kViewFormat));
    const char* const views[] = {"wide", "close", "aerial", "corner"};
    const char* const keys[] = {"view", "ms", "primary", "shadow", "iters", "descends", "seed", "hits"};

    std::size_t next = 0;
    while (next < lines.size() && lines[next].rfind("[", 0) != 0)
        ++next;
    for (const char* view : views) {
        SCOPED_TRACE(view);
        ASSERT_LT(next + 1, lines.size());
        const std::string& line = lines[next];
        std::smatch m;
        ASSERT_TRUE(std::regex_match(line, m, viewLine)) << line;
        // The launcher's reading: begins with "[", contains " ms |", and the
        // frame time follows the closing bracket.
        EXPECT_NE(line.find(" ms |"), std::string::npos);
        std::string name = m[1];
        EXPECT_GE(name.size(), 6u);
        name.erase(name.find_last_not_of(' ') + 1);
        EXPECT_EQ(name, view);
        EXPECT_GE(m[2].length(), 7); // %7.1f pads to seven characters
        const double ms = std::stod(m[2]);
        const double mrays = std::stod(m[3]);
        const unsigned long long primary = std::stoull(m[4]);
        const unsigned long long shadow = std::stoull(m[5]);
        const double hitsPercent = std::stod(m[6]);
        const double iters = std::stod(m[7]);
        EXPECT_GT(ms, 0.0);
        EXPECT_EQ(primary, 1ull * kWidth * kHeight);
        EXPECT_LE(shadow, primary);
        EXPECT_GE(hitsPercent, 0.0);
        EXPECT_LE(hitsPercent, 100.0);
        EXPECT_GE(std::stod(m[10]), 0.0); // avg bin

        const std::string& jsonLine = lines[next + 1];
        ASSERT_EQ(jsonLine.rfind("JSON ", 0), 0u) << jsonLine;
        EXPECT_TRUE(std::regex_match(jsonLine, std::regex(regexFromPrintf(kJsonFormat)))) << jsonLine;
        const std::optional<test::Json> json = test::readJson(jsonLine.substr(5));
        ASSERT_TRUE(json) << jsonLine;
        ASSERT_EQ(json->type, test::Json::Type::Object) << jsonLine;
        const auto& members = json->members;
        ASSERT_EQ(members.size(), 8u);
        for (std::size_t k = 0; k < 8; ++k) {
            EXPECT_EQ(members[k].first, keys[k]);
            // A flat object: the view's name is a string, every other value a number.
            EXPECT_EQ(members[k].second.type, k == 0 ? test::Json::Type::String : test::Json::Type::Number);
        }
        EXPECT_EQ(members[0].second.text, view);
        const double jsonMs = std::stod(members[1].second.text);
        EXPECT_NEAR(jsonMs, ms, 0.05 + 1e-9);
        EXPECT_EQ(std::stoull(members[2].second.text), primary);
        EXPECT_EQ(std::stoull(members[3].second.text), shadow);
        EXPECT_NEAR(std::stod(members[4].second.text), iters, 0.05 + 1e-9);
        // hits is a fraction in the JSON line and a percentage in the view line.
        const double hitsFraction = std::stod(members[7].second.text);
        EXPECT_NEAR(hitsFraction * 100.0, hitsPercent, 0.06);
        // Mrays/s is every ray over the best frame's time.
        EXPECT_NEAR(mrays, double(primary + shadow) / (jsonMs * 1000.0), 0.01 + mrays * 0.002);
        next += 2;
    }
    ASSERT_LT(next, lines.size());
    EXPECT_EQ(lines[next], "images written to ./");
    EXPECT_EQ(next + 1, lines.size());
}

TEST_F(DemoProgramRun, WritesTenDecodableImagesOfTheRenderSize)
{
    std::set<std::string> names;
    for (const auto& entry : fs::directory_iterator(work))
        names.insert(entry.path().filename().string());
    const std::set<std::string> expected = {"wide.png",        "wide_normals.png",   "wide_cost.png",
                                            "close.png",       "close_normals.png",  "close_cost.png",
                                            "aerial.png",      "aerial_normals.png", "aerial_cost.png",
                                            "corner.png"};
    EXPECT_EQ(names, expected);
    for (const std::string& name : expected) {
        SCOPED_TRACE(name);
        const test::DecodedImage image = test::decodeImage((work / name).string());
        ASSERT_EQ(image.width, int(kWidth));
        ASSERT_EQ(image.height, int(kHeight));
        std::set<std::uint32_t> colours;
        bool opaque = true;
        for (std::size_t i = 0; i < image.rgba.size(); i += 4) {
            colours.insert(image.rgba[i] | image.rgba[i + 1] << 8 | image.rgba[i + 2] << 16);
            opaque = opaque && image.rgba[i + 3] == 255;
        }
        EXPECT_TRUE(opaque);
        EXPECT_GT(colours.size(), 1u) << "a flat image";
    }
}

// Runs that end early: the exit code, the message on standard error, and
// no work done where the options are refused before it starts. Every run
// is held to a modest address space, so a size that would need many
// gigabytes fails inside the program rather than taking this machine's
// memory, and to a time limit.
struct FailureCase {
    const char* label;
    std::vector<std::string> arguments;
    const char* message; // the start of the one line on standard error
    bool beforeAnyWork;  // nothing on standard output, no output directory
};

void PrintTo(const FailureCase& c, std::ostream* os)
{
    *os << testing::PrintToString(c.arguments);
}

class DemoProgramFailure : public testing::TestWithParam<FailureCase> {};

TEST_P(DemoProgramFailure, EndsWithExitCodeOneAndAMessage)
{
    const FailureCase& c = GetParam();
    if (std::string(c.message).rfind("out of memory", 0) == 0 && !test::addressSpaceLimitsWork())
        GTEST_SKIP() << "no address-space limit can be set in this build, so memory cannot run out";
    test::TempDir root;
    const fs::path work = root.path() / "work";
    fs::create_directories(work);
    std::ofstream(work / "blocker") << "a file, not a directory";
    test::RunOptions options;
    options.workingDirectory = work;
    options.separateErrors = true;
    const ProgramRun result = test::runLimited(QLMR_DEMO_PROGRAM, c.arguments,
                                               {test::modestMemoryLimit(), 120}, options);
    EXPECT_EQ(result.exitCode, 1) << result.output << result.errors;
    const std::vector<std::string> errors = test::lines(result.errors);
    ASSERT_EQ(errors.size(), 1u) << result.errors;
    EXPECT_EQ(errors[0].rfind(c.message, 0), 0u) << errors[0];
    if (c.beforeAnyWork) {
        EXPECT_TRUE(test::lines(result.output).empty()) << result.output;
        EXPECT_FALSE(fs::exists(work / "output"));
    }
}

INSTANTIATE_TEST_SUITE_P(
    Mends, DemoProgramFailure,
    testing::Values(
        FailureCase{"terrain_not_power_of_two", {"--terrain", "1000", "--width", "16", "--height", "16"},
                    "field width must be a power of two", true},
        FailureCase{"terrain_three", {"--terrain", "3", "--width", "16", "--height", "16"},
                    "field width must be a power of two", true},
        FailureCase{"terrain_zero", {"--terrain", "0", "--width", "16", "--height", "16"},
                    "field width must be a power of two", true},
        FailureCase{"terrain_as_last_word", {"--width", "16", "--height", "16", "--terrain"},
                    "field width must be a power of two", true},
        // Tens of gigabytes before the field's own check used to refuse it.
        FailureCase{"terrain_above_the_level_limit", {"--terrain", "65536", "--width", "16", "--height", "16"},
                    "field too large", true},
        FailureCase{"output_under_a_file", {"--out", "blocker/images", "--width", "16", "--height", "16"},
                    "cannot create output directory \"blocker/images\"", true},
        FailureCase{"output_is_a_file", {"--out", "blocker", "--width", "16", "--height", "16"},
                    "cannot create output directory \"blocker\"", true},
        FailureCase{"output_empty", {"--out", "", "--width", "16", "--height", "16"},
                    "cannot create output directory \"\"", true},
        FailureCase{"zero_width", {"--width", "0"}, "--width must be a whole number from 1 to 16384", true},
        FailureCase{"width_as_last_word", {"--height", "16", "--width"}, "--width must be", true},
        FailureCase{"negative_height", {"--height", "-9"}, "--height must be", true},
        FailureCase{"width_too_large", {"--width", "16385"}, "--width must be", true},
        // Sizes that pass the checks but not into memory: a 32768-cell
        // terrain (9 GB of images) and a 16384 x 16384 G-buffer (9.7 GB).
        FailureCase{"terrain_out_of_memory", {"--terrain", "32768", "--width", "16", "--height", "16", "--out", "o"},
                    "out of memory: demo scene with a 32768x32768 terrain", false},
        FailureCase{"image_out_of_memory",
                    {"--width", "16384", "--height", "16384", "--terrain", "64", "--out", "o"},
                    "out of memory: G-buffer 16384x16384", false}),
    [](const testing::TestParamInfo<FailureCase>& info) { return std::string(info.param.label); });

// The ten images of a run, in the order they are written.
const std::vector<std::string> kImageNames = {
    "wide.png",   "wide_normals.png",   "wide_cost.png",   "close.png",  "close_normals.png",
    "close_cost.png", "aerial.png", "aerial_normals.png", "aerial_cost.png", "corner.png"};

// Writes that fail: the images that cannot be written are each named on
// standard error, the rest are written whole, the closing line is missing
// and the exit code is 1. What makes them fail is set up per row in the
// output folder: a full file system, one that may not be written, or image
// names that are links to /dev/full (which every write fills at once); or
// a file size limit (ulimit -f) below the size of an image.
struct WriteFailureCase {
    const char* label;
    // Prepares `out` (the output folder) and, as root, may mount there;
    // returns a reason to skip, or the empty string.
    std::string (*prepare)(const fs::path& out, std::optional<test::ScratchMount>& mount);
    // The images that must fail; empty: some, as many as the space decides.
    std::set<std::string> failing;
    // The largest file the run may write; 0 for no limit.
    std::uint64_t fileBytes = 0;
};

void PrintTo(const WriteFailureCase& c, std::ostream* os)
{
    *os << c.label;
}

std::string linkToDevFull(const fs::path& out, const std::set<std::string>& names)
{
    if (!fs::exists("/dev/full"))
        return "/dev/full is not available";
    fs::create_directories(out);
    for (const std::string& name : names)
        fs::create_symlink("/dev/full", out / name);
    return {};
}

std::string mountFull(const fs::path& out, std::optional<test::ScratchMount>& mount)
{
    // Room for two 64 x 64 images (five pages each) and part of a third.
    mount.emplace(out, 48 * 1024);
    return mount->mounted() ? "" : mount->reason();
}

std::string mountReadOnly(const fs::path& out, std::optional<test::ScratchMount>& mount)
{
    if (::geteuid() != 0) {
        // Folder permissions hold for everyone but root.
        fs::create_directories(out);
        fs::permissions(out, fs::perms::owner_read | fs::perms::owner_exec);
        return {};
    }
    mount.emplace(out, 1024 * 1024, true);
    return mount->mounted() ? "" : mount->reason();
}

class DemoWriteFailure : public testing::TestWithParam<WriteFailureCase> {};

TEST_P(DemoWriteFailure, NamesEveryImageItCouldNotWriteAndExitsWithOne)
{
    const WriteFailureCase& c = GetParam();
    test::TempDir root;
    const fs::path out = root.path() / "out";
    std::optional<test::ScratchMount> mount; // unmounted before the folder goes
    const std::string skip = c.prepare(out, mount);
    if (!skip.empty())
        GTEST_SKIP() << skip;

    const ProgramRun result = test::runWritingAtMost(
        QLMR_DEMO_PROGRAM, test::words("--out " + out.string() + " --width 64 --height 64 --terrain 64"), root.path(),
        c.fileBytes);
    EXPECT_EQ(result.exitCode, 1) << result.output << result.errors;

    // Every image is either named as failed or written whole; no partial
    // image and no temporary file remains.
    test::WriteOutcome outcome;
    ASSERT_NO_FATAL_FAILURE(test::readWriteOutcome(result.errors, out, outcome));
    for (const std::string& name : outcome.written) {
        const test::DecodedImage image = test::decodeImage((out / name).string());
        EXPECT_EQ(image.width, 64) << name;
        EXPECT_EQ(image.height, 64) << name;
    }
    test::expectReportedOrWritten(outcome, kImageNames, c.failing);

    // The report is complete up to the closing line, which would claim the
    // images were written.
    const std::vector<std::string> lines = test::lines(result.output);
    EXPECT_EQ(std::count_if(lines.begin(), lines.end(), [](const std::string& l) { return l.rfind("[", 0) == 0; }),
              4);
    for (const std::string& line : lines)
        EXPECT_EQ(line.find("images written"), std::string::npos) << line;
}

INSTANTIATE_TEST_SUITE_P(
    Mends, DemoWriteFailure,
    testing::Values(
        WriteFailureCase{"full_file_system", mountFull, {}},
        WriteFailureCase{"folder_that_may_not_be_written", mountReadOnly,
                         std::set<std::string>(kImageNames.begin(), kImageNames.end())},
        WriteFailureCase{"every_image_a_link_to_dev_full",
                         [](const fs::path& out, std::optional<test::ScratchMount>&) {
                             return linkToDevFull(out, {kImageNames.begin(), kImageNames.end()});
                         },
                         std::set<std::string>(kImageNames.begin(), kImageNames.end())},
        WriteFailureCase{"one_image_a_link_to_dev_full",
                         [](const fs::path& out, std::optional<test::ScratchMount>&) {
                             return linkToDevFull(out, {"close_cost.png"});
                         },
                         {"close_cost.png"}},
        // Every 64 x 64 image needs more than 16 KiB.
        WriteFailureCase{"files_past_the_size_limit",
                         [](const fs::path&, std::optional<test::ScratchMount>&) { return std::string(); },
                         std::set<std::string>(kImageNames.begin(), kImageNames.end()), 8 * 1024}),
    [](const testing::TestParamInfo<WriteFailureCase>& info) { return std::string(info.param.label); });

// The counters of the four views' JSON lines, without the times: they
// tell apart runs whose walks start or seed at other levels.
std::vector<std::string> marchCounters(const std::string& arguments)
{
    test::TempDir root;
    const ProgramRun result =
        runDemo(root.path() / "work", "--out o --width 40 --height 24 --terrain 256 --json " + arguments);
    EXPECT_EQ(result.exitCode, 0) << result.errors;
    std::vector<std::string> counters;
    for (const std::string& line : test::lines(result.output)) {
        if (line.rfind("JSON ", 0) != 0)
            continue;
        const std::optional<test::Json> json = test::readJson(line.substr(5));
        EXPECT_TRUE(json) << line;
        if (!json)
            continue;
        std::string text;
        for (const auto& [key, value] : json->members)
            if (key != "ms")
                text += key + "=" + value.text + " ";
        counters.push_back(text);
    }
    EXPECT_EQ(counters.size(), 4u) << result.output;
    return counters;
}

// Options that must march exactly as another run does.
struct MarchCase {
    const char* label;
    const char* arguments;
};

void PrintTo(const MarchCase& c, std::ostream* os)
{
    *os << c.arguments;
}

// The start offset is unsigned: a negative one wraps to a huge offset, and
// every offset at or above the top level starts each walk at the top, so
// these runs march exactly as --start top does. A wrap to a negative
// offset inside the march would start lower and count other steps.
class DemoStartOffset : public testing::TestWithParam<MarchCase> {};

TEST_P(DemoStartOffset, MarchesAsTheTopStart)
{
    static const std::vector<std::string> top = marchCounters("--start top");
    // The comparison can tell starts apart: the default start is not the top.
    static const std::vector<std::string> projected = marchCounters("");
    ASSERT_NE(projected, top);
    EXPECT_EQ(marchCounters(GetParam().arguments), top);
}

INSTANTIATE_TEST_SUITE_P(
    Mends, DemoStartOffset,
    testing::Values(MarchCase{"sixteen", "--start-offset 16"},
                    MarchCase{"minus_one", "--start-offset -1"},
                    MarchCase{"largest", "--start-offset 4294967295"},
                    MarchCase{"largest_signed", "--start-offset 2147483647"},
                    MarchCase{"past_the_largest_signed", "--start-offset 2147483648"},
                    MarchCase{"fixed_minus_one", "--start fixed --start-offset -1"},
                    MarchCase{"fixed_thousand", "--start fixed --start-offset 1000"}),
    [](const testing::TestParamInfo<MarchCase>& info) { return std::string(info.param.label); });

// The seed level is the field's largest log2 size minus the shell level
// limit, but never below 1: every limit from the largest log2 size up
// seeds at the lowest seed level, a negative --shell-log2 (which wraps to
// a huge unsigned value) included. Taken as a negative limit it would seed at the
// top level instead, as --shell-log2 0 does.
class DemoShellLevelLimit : public testing::TestWithParam<MarchCase> {};

TEST_P(DemoShellLevelLimit, SeedsAsTheLowestSeedLevel)
{
    static const std::vector<std::string> lowest = marchCounters("--seed-oracle --shell-log2 16");
    // The comparison can tell seed levels apart.
    static const std::vector<std::string> top = marchCounters("--seed-oracle --shell-log2 0");
    ASSERT_NE(lowest, top);
    EXPECT_EQ(marchCounters(std::string("--seed-oracle ") + GetParam().arguments), lowest);
}

INSTANTIATE_TEST_SUITE_P(
    Mends, DemoShellLevelLimit,
    testing::Values(MarchCase{"thousand", "--shell-log2 1000"},
                    MarchCase{"minus_one", "--shell-log2 -1"},
                    MarchCase{"minus_ten", "--shell-log2 -10"},
                    MarchCase{"largest_signed", "--shell-log2 2147483647"},
                    MarchCase{"past_the_largest_signed", "--shell-log2 2147483648"}),
    [](const testing::TestParamInfo<MarchCase>& info) { return std::string(info.param.label); });

// A report that cannot reach standard output (redirected to a full disk)
// is a failed run: the images are still written, but the exit code is 1
// and standard error says why the lines are missing.
TEST(DemoProgram, ReportThatCannotBeWrittenEndsWithExitCodeOne)
{
    test::TempDir root;
    test::RunOptions options;
    options.workingDirectory = root.path();
    const std::optional<ProgramRun> run = test::runIntoFullOutput(
        QLMR_DEMO_PROGRAM, test::words("--out out --width 32 --height 18 --terrain 64 --json"), options);
    if (!run)
        GTEST_SKIP() << "/dev/full is not available";
    EXPECT_EQ(run->exitCode, 1);
    EXPECT_EQ(run->errors, "cannot write the report to standard output\n");
    for (const char* name : {"wide.png", "close_cost.png", "corner.png"})
        EXPECT_GT(test::decodeImage((root.path() / "out" / name).string()).width, 0) << name;
}

TEST(DemoProgram, EdgesNoneKeepsThePanelFieldUnfaded)
{
    test::TempDir root;
    const ProgramRun result = runDemo(root.path() / "work", "--out out --width 32 --height 18 --terrain 64 --edges none");
    ASSERT_EQ(result.exitCode, 0) << result.errors;
    const std::vector<std::string> out = test::lines(result.output);
    bool found = false;
    for (const std::string& line : out) {
        if (line.rfind("scene: ", 0) == 0) {
            found = true;
            EXPECT_EQ(line.substr(0, 33), "scene: 4 fields, 34 prisms, 7.1 M");
        }
    }
    EXPECT_TRUE(found);
    ASSERT_FALSE(out.empty());
    EXPECT_EQ(out.back(), "images written to out/");
    EXPECT_TRUE(fs::exists(root.path() / "work" / "out" / "corner.png"));
    EXPECT_FALSE(fs::exists(root.path() / "work" / "out" / "corner_normals.png"));
}

} // namespace
} // namespace qlmr
