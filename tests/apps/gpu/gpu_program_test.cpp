// qlmr-gpu as the launcher and a user run it: the shape-program run, the
// random corpus and the sculpt check on the machine's Vulkan devices (small
// images, one frame), and the error paths that need no device.
#include "support/json_reader.h"
#include "support/limited_run.h"
#include "support/program_run.h"
#include "support/test_support.h"
#include "support/write_failures.h"

#include "gpu_dispatch.h"
#include "sdna/builder.h"
#include "sdna/container_writer.h"
#include "scene/png_writer.h"

#include <gtest/gtest.h>


#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstring>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;

using qlmr::test::Json;
using qlmr::test::lines;

struct ProgramRun {
    int exitCode = -1;
    std::string out;  // standard output
    std::string err;  // standard error
};

// Runs qlmr-gpu in `dir` with the given arguments and environment changes,
// within `limits` (none by default).
ProgramRun runGpu(const fs::path& dir, const std::vector<std::string>& args,
                  const std::map<std::string, std::string>& env = {}, const qlmr::test::RunLimits& limits = {})
{
    qlmr::test::RunOptions options;
    options.workingDirectory = dir;
    options.separateErrors = true;
    for (const auto& [name, value] : env)
        options.environment[name] = value;
    const qlmr::test::ProgramRun run = limits.memoryBytes == 0 && limits.seconds == 0 && limits.fileBytes == 0
                                           ? qlmr::test::runProgram(QLMR_GPU_PROGRAM, args, options)
                                           : qlmr::test::runLimited(QLMR_GPU_PROGRAM, args, limits, options);
    return {run.exitCode, run.output, run.errors};
}

Json parseJson(const std::string& text, bool* ok)
{
    std::optional<Json> json = qlmr::test::readJson(text);
    *ok = json.has_value();
    return json ? *json : Json{};
}

// ---- patterns of the report lines -----------------------------------------------

const std::string kNum = R"(-?[0-9]+\.?[0-9]*(e[+-][0-9]+)?)";
const std::regex kHeaderLine(R"(^.+: [0-9]+ instructions, [0-9]+ materials, [0-9]+ bones; 40x24, best of 1 frames$)");
const std::regex kCpuLine(R"(^  CPU \[(front|back |posed)\] +[0-9]+\.[0-9] ms \([0-9]+\.[0-9] steps per pixel\)$)");
const std::regex kViewLine("^  \\[(front|back |posed)\\] GPU +[0-9]+\\.[0-9]{2} ms \\(CPU +[0-9]+\\.[0-9] ms, x[0-9]+\\) \\| "
                           "PSNR (exact|[0-9]+\\.[0-9]{2} dB), [0-9]+ px differ \\(max [0-9]+\\) \\| coverage mismatch "
                           "[0-9]+\\.[0-9]{4}% \\| depth rel [0-9]\\.[0-9]e[+-][0-9]+ \\| normal [0-9]+\\.[0-9]{3} deg "
                           "\\(>5: [0-9]+\\.[0-9]{3}%\\) \\| material mismatch [0-9]+ \\| color off [0-9]+\\.[0-9]{3}% \\| "
                           "steps GPU [0-9]+\\.[0-9]{2} CPU [0-9]+\\.[0-9]{2}$");
const std::regex kVerdictLine("^  \\[(front |back  |posed )\\] levels \\(sdna\\): hit (PASS|FAIL) \\(coverage "
                              "[0-9.]+% <= 0\\.0100%, depth rel [0-9.e+-]+ <= 1e-05, normal >5 deg [0-9.]+% <= 0\\.010%, "
                              "material [0-9]+ <= 0\\) \\| image (PASS|FAIL) \\([0-9.]+ dB >= 90\\)$");

// The launcher's reading: the number right after a marker.
double numberAfter(const std::string& line, const std::string& marker)
{
    const std::size_t at = line.find(marker);
    if (at == std::string::npos)
        return std::nan("");
    std::size_t p = at + marker.size();
    while (p < line.size() && line[p] == ' ')
        ++p;
    return std::strtod(line.c_str() + p, nullptr);
}

// ---- on the machine's devices -------------------------------------------------

class GpuProgramOnDevice : public ::testing::Test {
protected:
    void SetUp() override
    {
        const ProgramRun probe = runGpu(dir.path(), {"--sculpt", "1"});
        if (probe.out.find("\n== ") != std::string::npos || probe.out.rfind("== ", 0) == 0)
            return;
        if (qlmr::test::runningInCi())
            FAIL() << "no Vulkan device in CI: " << probe.out;
        GTEST_SKIP() << "no Vulkan device: " << probe.out;
    }

    qlmr::test::TempDir dir;
};

TEST_F(GpuProgramOnDevice, SdnaRunPrintsSectionsTheLauncherReadsAndWritesImages)
{
    const ProgramRun run =
        runGpu(dir.path(), {"--sdna", QLMR_CRITTER_FILE, "--width", "40", "--height", "24", "--frames", "1"});
    ASSERT_EQ(run.exitCode, 0) << run.out;
    const std::vector<std::string> out = lines(run.out);
    ASSERT_GE(out.size(), 4u) << run.out;
    EXPECT_TRUE(std::regex_match(out[0], kHeaderLine)) << out[0];
    for (int i = 1; i <= 3; ++i)
        EXPECT_TRUE(std::regex_match(out[i], kCpuLine)) << out[i];

    int sections = 0;
    int viewLines = 0;
    for (std::size_t i = 4; i < out.size(); ++i) {
        const std::string& line = out[i];
        if (line.rfind("== ", 0) == 0) {
            ++sections;
            continue;
        }
        if (line.find("] GPU") != std::string::npos) {
            EXPECT_TRUE(std::regex_match(line, kViewLine)) << line;
            EXPECT_GT(numberAfter(line, "] GPU"), 0.0) << line;
            ++viewLines;
            continue;
        }
        EXPECT_TRUE(std::regex_match(line, kVerdictLine)) << line;
        EXPECT_NE(line.find("PASS"), std::string::npos) << line;
    }
    ASSERT_GE(sections, 1);
    EXPECT_EQ(viewLines, 3 * sections);

    // Without --out the images go to output/sdna, one per view and device.
    for (const char* view : {"front", "back", "posed"}) {
        int found = 0;
        for (const char* tag : {"igpu", "dgpu"}) {
            const fs::path png = dir.path() / "output/sdna" / (std::string("sdna_") + view + "_" + tag + ".png");
            if (!fs::exists(png))
                continue;
            ++found;
            const qlmr::test::DecodedImage image = qlmr::test::decodeImage(png.string());
            EXPECT_EQ(image.width, 40);
            EXPECT_EQ(image.height, 24);
            if (std::string(view) == "front")
                fs::copy_file(png, qlmr::test::artifactDir("gpuapp") / (std::string("sdna_front_") + QLMR_TEST_VARIANT + ".png"),
                              fs::copy_options::overwrite_existing);
        }
        EXPECT_GE(found, 1) << view;
    }
}

// A report that cannot reach standard output (redirected to a full disk)
// is a failed run, said on standard error, even where the check passed.
TEST_F(GpuProgramOnDevice, ReportThatCannotBeWrittenEndsWithExitCodeOne)
{
    qlmr::test::RunOptions options;
    options.workingDirectory = dir.path();
    const std::optional<qlmr::test::ProgramRun> run =
        qlmr::test::runIntoFullOutput(QLMR_GPU_PROGRAM, {"--sculpt", "1"}, options);
    if (!run)
        GTEST_SKIP() << "/dev/full is not available";
    EXPECT_EQ(run->exitCode, 1);
    EXPECT_EQ(run->errors, "cannot write the report to standard output\n");
}

// Writes a program of one sphere into `dir` and returns the file's path.
std::string writeSphereProgram(const qlmr::test::TempDir& dir, const char* name, qlmr::SdnaBuilder::Vec3 centre)
{
    qlmr::SdnaBuilder builder;
    builder.sphere(centre, 0.5f);
    qlmr::SdnaProgram program;
    std::string error;
    EXPECT_TRUE(builder.finish(program, error)) << error;
    const std::string file = dir.file(name);
    EXPECT_TRUE(qlmr::writeSdnaFile(file, program, error)) << error;
    return file;
}

// The GPU image and the view line of one view, per device section.
std::vector<std::string> viewLinesOf(const std::string& out, const std::string& view)
{
    std::vector<std::string> found;
    for (const std::string& line : lines(out))
        if (line.rfind("  [" + view, 0) == 0 && line.find("] GPU") != std::string::npos)
            found.push_back(line.substr(line.find(" | PSNR")));
    return found;
}

// Without bones the "posed" view has no pose to apply: it is the "front"
// view, image for image and measure for measure.
TEST_F(GpuProgramOnDevice, SdnaProgramWithoutBonesRendersPosedAsFront)
{
    const std::string file = writeSphereProgram(dir, "ball.qlmr", {0.0f, 0.5f, 0.0f});
    const ProgramRun run = runGpu(dir.path(), {"--sdna", file, "--width", "24", "--height", "16", "--frames", "1",
                                               "--out", "."});
    ASSERT_EQ(run.exitCode, 0) << run.out;
    EXPECT_TRUE(std::regex_search(run.out, std::regex(R"(^.+: [0-9]+ instructions, [0-9]+ materials, 0 bones; 24x16)")))
        << run.out;
    const std::vector<std::string> front = viewLinesOf(run.out, "front");
    ASSERT_FALSE(front.empty()) << run.out;
    EXPECT_EQ(viewLinesOf(run.out, "posed"), front);
    int compared = 0;
    for (const char* tag : {"igpu", "dgpu"}) {
        const fs::path frontImage = dir.path() / (std::string("sdna_front_") + tag + ".png");
        if (!fs::exists(frontImage))
            continue;
        const qlmr::test::DecodedImage a = qlmr::test::decodeImage(frontImage.string());
        const qlmr::test::DecodedImage b =
            qlmr::test::decodeImage((dir.path() / (std::string("sdna_posed_") + tag + ".png")).string());
        EXPECT_EQ(a.rgba, b.rgba) << tag;
        EXPECT_NE(std::count(a.rgba.begin(), a.rgba.end(), 255), static_cast<std::ptrdiff_t>(a.rgba.size()));
        ++compared;
    }
    EXPECT_GE(compared, 1);
}

// A program no view sees: no pixel is hit on either side, so the verdict's
// depth error, normal angle and normal fraction are 0, not a division by 0.
TEST_F(GpuProgramOnDevice, SdnaProgramOutOfViewHasNoErrorsToAverage)
{
    const std::string file = writeSphereProgram(dir, "far.qlmr", {0.0f, 400.0f, 0.0f});
    const ProgramRun run = runGpu(dir.path(), {"--sdna", file, "--width", "16", "--height", "8", "--frames", "1",
                                               "--out", "."});
    EXPECT_EQ(run.exitCode, 0) << run.out;
    int verdicts = 0;
    for (const std::string& line : lines(run.out)) {
        if (line.find("] GPU") != std::string::npos) {
            EXPECT_NE(line.find(" | coverage mismatch 0.0000% | depth rel 0.0e+00 | normal 0.000 deg (>5: 0.000%) "
                                "| material mismatch 0 |"),
                      std::string::npos)
                << line;
        }
        if (line.find("] levels (sdna)") != std::string::npos) {
            ++verdicts;
            EXPECT_NE(line.find("hit PASS (coverage 0.0000% <= 0.0100%, depth rel 0.0e+00 <= 1e-05, normal >5 deg "
                                "0.000% <= 0.010%, material 0 <= 0)"),
                      std::string::npos)
                << line;
        }
    }
    EXPECT_GE(verdicts, 3) << run.out;
}

TEST_F(GpuProgramOnDevice, SdnaBenchmarkPrintsOneJsonLinePerFrameFirstAsWarmup)
{
    const ProgramRun run = runGpu(dir.path(), {"--sdna", QLMR_CRITTER_FILE, "--width", "32", "--height", "16",
                                               "--benchmark", "1", "--out", "."});
    ASSERT_EQ(run.exitCode, 0) << run.out;
    std::map<std::string, int> perView;
    int sections = 0;
    for (const std::string& line : lines(run.out)) {
        sections += line.rfind("== ", 0) == 0 ? 1 : 0;
        if (line.rfind("JSON ", 0) != 0)
            continue;
        bool ok = false;
        const Json json = parseJson(line.substr(5), &ok);
        ASSERT_TRUE(ok) << line;
        EXPECT_EQ(json.keys(),
                  (std::vector<std::string>{"kind", "device", "view", "sample", "warmup", "mode", "width", "height",
                                            "frame_ms", "host_ms", "pipeline_ms", "gpu_buffer_peak_bytes",
                                            "device_local_buffer_bytes", "rss_peak_bytes", "steps_per_pixel",
                                            "uncertain_cpu", "uncertain_gpu", "visibility_mismatch",
                                            "material_mismatch", "depth_error_max", "normal_error_max",
                                            "display_mse"}));
        EXPECT_EQ(json["kind"].text, "sdna_gpu");
        const int sample = static_cast<int>(json["sample"].number());
        EXPECT_EQ(json["warmup"].text, sample == 0 ? "true" : "false");
        EXPECT_EQ(json["width"].number(), 32);
        EXPECT_EQ(json["height"].number(), 16);
        EXPECT_GT(json["rss_peak_bytes"].number(), 0.0);
        EXPECT_GE(json["host_ms"].number(), json["pipeline_ms"].number());
        perView[json["view"].text + "/" + json["device"].text] += 1;
    }
    ASSERT_GE(sections, 1);
    EXPECT_EQ(perView.size(), static_cast<std::size_t>(3 * sections));
    for (const auto& [key, count] : perView)
        EXPECT_EQ(count, 2) << key;
    EXPECT_FALSE(fs::exists(dir.path() / "output"));
}

TEST_F(GpuProgramOnDevice, SdnaBrickRunBuildsBothCachesAndNamesItsImages)
{
    const ProgramRun run = runGpu(dir.path(), {"--sdna", QLMR_CRITTER_FILE, "--width", "24", "--height", "16",
                                               "--frames", "1", "--bricks", "--out", "."});
    const std::regex bricks(R"(^  bricks \[(rest|posed)\] cell [0-9]+\.[0-9]{4}, [0-9]+x[0-9]+x[0-9]+ grid, [1-9][0-9]* )"
                            R"(bricks, [0-9]+ empty, [0-9]+\.[0-9] MB, [0-9]+ ms$)");
    const std::vector<std::string> out = lines(run.out);
    ASSERT_GE(out.size(), 6u) << run.out;
    EXPECT_TRUE(std::regex_match(out[4], bricks)) << out[4];
    EXPECT_TRUE(std::regex_match(out[5], bricks)) << out[5];
    EXPECT_NE(out[4].find("[rest]"), std::string::npos);
    EXPECT_NE(out[5].find("[posed]"), std::string::npos);
    // Tracing through the bricks with the whole ray refined exactly gives
    // the reference image.
    EXPECT_EQ(run.exitCode, 0) << run.out;
    int images = 0;
    for (const auto& entry : fs::directory_iterator(dir.path())) {
        const std::string name = entry.path().filename().string();
        if (name.rfind("sdna_", 0) == 0) {
            EXPECT_TRUE(std::regex_match(name, std::regex(R"(sdna_(front|back|posed)_bricks_(igpu|dgpu)\.png)")))
                << name;
            ++images;
        }
    }
    EXPECT_GE(images, 3);
}

// With bricks-local the GPU walks the bricks itself before the exact
// program takes over. Each device section says which walk ran; the double
// walk follows the processor's step for step, so every verdict passes (the
// single-precision walk missed them: depth rel 3e-5, 79 dB at this size).
TEST_F(GpuProgramOnDevice, SdnaBricksLocalRunSaysWhichWalkRanAndTheDoubleWalkPasses)
{
    const ProgramRun run = runGpu(dir.path(), {"--sdna", QLMR_CRITTER_FILE, "--width", "24", "--height", "16",
                                               "--frames", "1", "--bricks-local", "--out", "."});
    const std::string inDouble = "  GPU brick walk: double precision";
    const std::string inSingle = "  GPU brick walk: single precision (the device has no shaderFloat64)";
    const std::vector<std::string> out = lines(run.out);
    int sections = 0, doubleSections = 0, verdicts = 0;
    bool inDoubleSection = false;
    for (std::size_t i = 0; i < out.size(); ++i) {
        if (out[i].rfind("== ", 0) == 0) {
            ++sections;
            ASSERT_LT(i + 1, out.size()) << run.out;
            EXPECT_TRUE(out[i + 1] == inDouble || out[i + 1] == inSingle) << out[i + 1];
            inDoubleSection = out[i + 1] == inDouble;
            doubleSections += inDoubleSection ? 1 : 0;
            continue;
        }
        if (!std::regex_match(out[i], kVerdictLine))
            continue;
        ++verdicts;
        if (inDoubleSection) {
            EXPECT_EQ(out[i].find("FAIL"), std::string::npos) << out[i];
        }
    }
    ASSERT_GE(sections, 1) << run.out;
    EXPECT_EQ(verdicts, 3 * sections) << run.out;
    if (doubleSections == sections) {
        EXPECT_EQ(run.exitCode, 0) << run.out;
    }
}

TEST_F(GpuProgramOnDevice, RandomCorpusWritesItsResultFile)
{
    const ProgramRun run = runGpu(dir.path(), {"--random", "2", "--out", "r"});
    EXPECT_EQ(run.exitCode, 0) << run.out << run.err;
    EXPECT_EQ(run.err, "");
    std::ifstream file(dir.path() / "r/random-sdna.json");
    std::string text;
    ASSERT_TRUE(std::getline(file, text));
    bool ok = false;
    const Json json = parseJson(text, &ok);
    ASSERT_TRUE(ok) << text;
    EXPECT_EQ(json.keys(), (std::vector<std::string>{"seed", "programs", "width", "height", "devices", "passed"}));
    EXPECT_EQ(json["seed"].text, "1396985409");
    EXPECT_EQ(json["programs"].text, "2");
    EXPECT_EQ(json["width"].text, "32");
    EXPECT_EQ(json["height"].text, "24");
    EXPECT_EQ(json["passed"].text, "true");
    ASSERT_FALSE(json["devices"].items.empty());
    const std::regex summary(R"(^\[.+\] random 2/2, hits [1-9][0-9]*, uncertain [0-9]+; visibility 0 depth 0 )"
                             R"(material 0 normal 0 status 0; max depth \S+ normal \S+, GPU [0-9]+\.[0-9] ms: PASS$)");
    int summaries = 0;
    for (const std::string& line : lines(run.out))
        summaries += std::regex_match(line, summary) ? 1 : 0;
    EXPECT_EQ(summaries, static_cast<int>(json["devices"].items.size())) << run.out;
    for (const Json& device : json["devices"].items) {
        EXPECT_EQ(device["renders"].text, "2");
        EXPECT_GT(device["hits"].number(), 0.0);
        EXPECT_EQ(device["passed"].text, "true");
    }
}

TEST_F(GpuProgramOnDevice, RandomCorpusOnAnUnknownDeviceFails)
{
    const ProgramRun run = runGpu(dir.path(), {"--random", "1", "--gpu", "7", "--out", "."});
    EXPECT_EQ(run.exitCode, 1);
    std::ifstream file(dir.path() / "random-sdna.json");
    std::string text;
    ASSERT_TRUE(std::getline(file, text));
    EXPECT_EQ(text, "{\"seed\":1396985409,\"programs\":1,\"width\":32,\"height\":24,\"devices\":[],\"passed\":false}");
}

// Started with its error stream (or both console streams) closed, the
// corpus run keeps its result file to itself: the message about the unknown
// device must not land in random-sdna.json, which is open at the time.
TEST_F(GpuProgramOnDevice, RandomCorpusResultFileStaysCleanWithAClosedConsoleStream)
{
    struct Case {
        bool closedOutput;
        bool closedErrors;
    };
    for (const Case c : {Case{false, true}, Case{true, true}}) {
        const fs::path out = dir.path() / (c.closedOutput ? "both" : "errors");
        qlmr::test::RunOptions options;
        options.workingDirectory = dir.path();
        options.separateErrors = true;
        options.closedOutput = c.closedOutput;
        options.closedErrors = c.closedErrors;
        const qlmr::test::ProgramRun run = qlmr::test::runProgram(
            QLMR_GPU_PROGRAM, {"--random", "1", "--gpu", "7", "--out", out.string()}, options);
        EXPECT_EQ(run.exitCode, 1) << c.closedOutput;
        const std::vector<std::uint8_t> bytes = qlmr::test::readFile((out / "random-sdna.json").string());
        EXPECT_EQ(std::string(bytes.begin(), bytes.end()),
                  "{\"seed\":1396985409,\"programs\":1,\"width\":32,\"height\":24,\"devices\":[],\"passed\":false}\n")
            << c.closedOutput;
    }
}

// A result file that cannot be written whole (past the file size limit,
// as on a full disk) is named and fails the run; the result of an earlier
// run stays as it was and no part of the new one is left beside it.
TEST_F(GpuProgramOnDevice, RandomCorpusResultFileThatCannotBeWrittenKeepsTheEarlierOne)
{
    const fs::path out = dir.path() / "kept";
    fs::create_directories(out);
    const std::string earlier = "{\"earlier\":true}\n";
    std::ofstream(out / "random-sdna.json", std::ios::binary) << earlier;
    qlmr::test::RunLimits limits;
    limits.fileBytes = 1;  // whole blocks: no byte may be written
    const ProgramRun run = runGpu(dir.path(), {"--random", "1", "--out", out.string()}, {}, limits);
    EXPECT_EQ(run.exitCode, 1) << run.out << run.err;
    EXPECT_NE(run.err.find("cannot write " + (out / "random-sdna.json").string()), std::string::npos) << run.err;
    const std::vector<std::uint8_t> bytes = qlmr::test::readFile((out / "random-sdna.json").string());
    EXPECT_EQ(std::string(bytes.begin(), bytes.end()), earlier);
    for (const auto& entry : fs::directory_iterator(out))
        EXPECT_EQ(entry.path().filename(), "random-sdna.json") << "left behind: " << entry.path();
}

TEST_F(GpuProgramOnDevice, SculptCheckPassesFourBlendsPerDevice)
{
    const ProgramRun run = runGpu(dir.path(), {"--sculpt", "200"});
    EXPECT_EQ(run.exitCode, 0) << run.out;
    const std::regex check(R"(^  sculpt (add  |carve) k=(0\.0|0\.5): 200 points, worst abs \S+, worst rel \S+: PASS$)");
    int sections = 0;
    int checks = 0;
    for (const std::string& line : lines(run.out)) {
        sections += line.rfind("== ", 0) == 0 ? 1 : 0;
        checks += std::regex_match(line, check) ? 1 : 0;
    }
    EXPECT_GE(sections, 1);
    EXPECT_EQ(checks, 4 * sections) << run.out;
    EXPECT_EQ(runGpu(dir.path(), {"--sculpt", "1", "--gpu", "7"}).exitCode, 1);
}

TEST_F(GpuProgramOnDevice, DemoSceneWithLakeAndStampsComparesEveryViewAndWritesBothImages)
{
    const ProgramRun run = runGpu(dir.path(), {"--terrain", "128", "--width", "48", "--height", "32", "--frames", "3",
                                               "--water", "--stamps", "3", "--debug-pixel", "10,12", "--out", "demo"});
    EXPECT_EQ(run.exitCode, 0) << run.out;
    const std::regex viewLine("^  \\[(wide  |close |aerial|corner)\\] GPU +[0-9]+\\.[0-9]{2} ms \\(CPU +[0-9]+\\.[0-9] ms, "
                              "x[0-9]+\\) \\| PSNR (exact|[0-9]+\\.[0-9]{2} dB), [0-9]+ px differ \\| coverage mismatch "
                              "[0-9.]+% \\| depth rel [0-9.e+-]+ \\| normal [0-9.]+ deg \\(>5: [0-9.]+%\\) \\| color off "
                              "[0-9.]+% \\| iters GPU [0-9.]+ CPU [0-9.]+$");
    int sections = 0, views = 0, frames = 0, passes = 0;
    for (const std::string& line : lines(run.out)) {
        sections += line.rfind("== ", 0) == 0 ? 1 : 0;
        views += std::regex_match(line, viewLine) ? 1 : 0;
        frames += line.find("] frames n=3: p50 ") != std::string::npos ? 1 : 0;
        passes += line.find("] levels (prisms): hit PASS") != std::string::npos &&
                          line.find("| image PASS") != std::string::npos
                      ? 1
                      : 0;
    }
    ASSERT_GE(sections, 1) << run.out;
    EXPECT_TRUE(std::regex_search(run.out, std::regex(R"((^|\n)water: lake at height 0\.[0-9]{3} over the terrain\n)")))
        << run.out;
    // Stamps go on the first device only; every device then renders the
    // stamped field against the re-rendered reference.
    const std::regex stamps(R"((^|\n)  3 stamps on field 0 \(128x128\): [0-9]+\.[0-9]{2} MB uploaded, field [0-9]+\.[0-9]{2} MB\n)");
    EXPECT_EQ(std::distance(std::sregex_iterator(run.out.begin(), run.out.end(), stamps), std::sregex_iterator()), 1)
        << run.out;
    EXPECT_EQ(views, 4 * sections) << run.out;
    EXPECT_EQ(frames, 4 * sections) << run.out;
    const std::regex cpuPixel(R"((^|\n)  \[[a-z ]{6}\] px \(10,12\) CPU: t=\S+ uv=\(\S+\) n=\(\S+\) albedo=\(\S+\) )"
                              R"(cavity=\S+ ndl=\S+ prism=-?[0-9]+ field=[0-9]+ lod=\S+ color=\([0-9]+,[0-9]+,[0-9]+\)\n)");
    const std::regex gpuPixel(R"((^|\n)  \[[a-z ]{6}\] px \(10,12\) GPU: t=\S+ n=\(\S+\) albedo=\(\S+\) albedo0=\(\S+\) )"
                              R"(uv=\(\S+\) prism=\S+ level=\S+ slot=\S+ layer=\S+ levels=\S+ lod=\S+ color=\([0-9]+,[0-9]+,[0-9]+\)\n)");
    auto matches = [&](const std::regex& r) {
        return std::distance(std::sregex_iterator(run.out.begin(), run.out.end(), r), std::sregex_iterator());
    };
    EXPECT_EQ(matches(cpuPixel), 4 * sections) << run.out;
    EXPECT_EQ(matches(gpuPixel), 4 * sections) << run.out;
    EXPECT_EQ(passes, 4 * sections) << run.out;
    for (const char* view : {"wide", "close", "aerial", "corner"}) {
        const qlmr::test::DecodedImage cpu = qlmr::test::decodeImage((dir.path() / "demo" / (std::string(view) + "_cpu.png")).string());
        EXPECT_EQ(cpu.width, 48) << view;
        EXPECT_EQ(cpu.height, 32) << view;
    }
}

// A hundred stamps raise the terrain around three of the demo's cameras:
// those views hit at depth 0 on both sides, which agree and pass.
TEST_F(GpuProgramOnDevice, DemoSceneWithTheEyeBuriedByStampsPassesItsVerdicts)
{
    const ProgramRun run = runGpu(dir.path(), {"--terrain", "256", "--width", "32", "--height", "16", "--frames", "1",
                                               "--stamps", "100", "--debug-pixel", "0,0", "--out", "buried"});
    EXPECT_EQ(run.exitCode, 0) << run.out;
    EXPECT_EQ(run.out.find("nan"), std::string::npos) << run.out;
    const std::regex atTheEye(R"((^|\n)  \[[a-z ]{6}\] px \(0,0\) GPU: t=0\.00000 )");
    EXPECT_GE(std::distance(std::sregex_iterator(run.out.begin(), run.out.end(), atTheEye), std::sregex_iterator()), 1)
        << run.out;
    int verdictLines = 0, passed = 0;
    for (const std::string& line : lines(run.out)) {
        if (line.find("] levels (prisms): ") == std::string::npos)
            continue;
        ++verdictLines;
        passed += line.find("hit PASS") != std::string::npos && line.find("| image PASS") != std::string::npos ? 1 : 0;
    }
    EXPECT_GE(verdictLines, 4) << run.out;
    EXPECT_EQ(passed, verdictLines) << run.out;
}

// The verdict lines of a scene run whose label is `label`, and how many passed.
struct Verdicts {
    int lines = 0;
    int passed = 0;
};

Verdicts verdicts(const std::string& out, const std::string& label)
{
    Verdicts v;
    for (const std::string& line : lines(out)) {
        if (line.find("] levels (" + label + "): ") == std::string::npos)
            continue;
        ++v.lines;
        v.passed += line.find("hit PASS") != std::string::npos && line.find("| image PASS") != std::string::npos ? 1 : 0;
    }
    return v;
}

int sectionCount(const std::string& out)
{
    int sections = 0;
    for (const std::string& line : lines(out))
        sections += line.rfind("== ", 0) == 0 ? 1 : 0;
    return sections;
}

// What a run wrote to a temporary file that stood for a console stream.
std::string fileText(std::FILE* file)
{
    std::rewind(file);
    std::string text;
    for (int c = std::fgetc(file); c != EOF; c = std::fgetc(file))
        text += static_cast<char>(c);
    return text;
}

// Options made by hand rather than read from a command line: fewer than one
// frame still renders one per measurement, so every view is compared (and
// passes), and what the command line refuses is refused with its reason.
TEST_F(GpuProgramOnDevice, HandMadeOptionsRenderAFrameAndAreRefusedAsOnTheCommandLine)
{
    qlmr::GpuTestOptions scene;
    scene.terrain = 64;
    scene.width = 16;
    scene.height = 8;
    scene.sizeGiven = true;
    scene.out = (dir.path() / "scene").string();
    qlmr::GpuTestOptions sdna = scene;
    sdna.sdnaPath = QLMR_CRITTER_FILE;
    sdna.out = (dir.path() / "sdna").string();
    const struct {
        const char* what;
        qlmr::GpuTestOptions options;
        const char* label;
        int views;
    } cases[] = {{"scene", scene, "prisms", 4}, {"shape program", sdna, "sdna", 3}};
    for (const auto& c : cases) {
        for (const std::int32_t frames : {0, -2}) {
            SCOPED_TRACE(std::string(c.what) + ", frames " + std::to_string(frames));
            qlmr::GpuTestOptions options = c.options;
            options.frames = frames;
            std::FILE* out = std::tmpfile();
            std::FILE* err = std::tmpfile();
            ASSERT_TRUE(out && err);
            EXPECT_EQ(qlmr::runGpuTest(options, out, err), 0);
            const std::string report = fileText(out);
            const Verdicts v = verdicts(report, c.label);
            EXPECT_EQ(v.lines, c.views * sectionCount(report)) << report;
            EXPECT_EQ(v.passed, v.lines) << report;
            EXPECT_EQ(fileText(err), "");
            std::fclose(out);
            std::fclose(err);
        }
    }

    qlmr::GpuTestOptions refused = scene;
    refused.width = 0;
    refused.out = (dir.path() / "refused").string();
    std::FILE* out = std::tmpfile();
    std::FILE* err = std::tmpfile();
    ASSERT_TRUE(out && err);
    EXPECT_EQ(qlmr::runGpuTest(refused, out, err), 1);
    EXPECT_EQ(fileText(out), "");
    EXPECT_EQ(fileText(err), qlmr::gpuOptionsError(refused) + "\n");
    EXPECT_NE(qlmr::gpuOptionsError(refused), "");
    EXPECT_FALSE(fs::exists(refused.out));
    std::fclose(out);
    std::fclose(err);
}

// Pixels whose RGB differs between two images of the same size.
int pixelsDiffering(const qlmr::test::DecodedImage& a, const qlmr::test::DecodedImage& b)
{
    int count = 0;
    for (std::size_t i = 0; i + 3 < a.rgba.size() && i + 3 < b.rgba.size(); i += 4)
        count += a.rgba[i] != b.rgba[i] || a.rgba[i + 1] != b.rgba[i + 1] || a.rgba[i + 2] != b.rgba[i + 2] ? 1 : 0;
    return count;
}

// --geometric and --cubic-normals change the shading normals of the CPU
// reference and of the GPU tracer alike: every view passes its verdict, and
// the GPU images differ from those with the default normals.
TEST_F(GpuProgramOnDevice, DemoSceneNormalModesChangeTheGpuImagesAndPassTheirVerdicts)
{
    const std::vector<std::string> common{"--terrain", "128", "--width", "48", "--height", "32", "--frames", "1"};
    const std::pair<const char*, const char*> modes[] = {{"default", ""}, {"geometric", "--geometric"},
                                                         {"cubic", "--cubic-normals"}};
    for (const auto& [name, option] : modes) {
        std::vector<std::string> args = common;
        args.insert(args.end(), {"--out", name});
        if (*option)
            args.push_back(option);
        const ProgramRun run = runGpu(dir.path(), args);
        SCOPED_TRACE(name);
        const int sections = sectionCount(run.out);
        ASSERT_GE(sections, 1) << run.out;
        const Verdicts v = verdicts(run.out, "prisms");
        EXPECT_EQ(v.lines, 4 * sections) << run.out;
        EXPECT_EQ(v.passed, 4 * sections) << run.out;
        EXPECT_EQ(run.exitCode, 0) << run.out;
    }
    for (const char* view : {"wide", "close", "aerial", "corner"}) {
        for (const char* tag : {"igpu", "dgpu"}) {
            const std::string file = std::string(view) + "_" + tag + ".png";
            if (!fs::exists(dir.path() / "default" / file))
                continue;
            const qlmr::test::DecodedImage plain = qlmr::test::decodeImage((dir.path() / "default" / file).string());
            for (const char* mode : {"geometric", "cubic"}) {
                const qlmr::test::DecodedImage other = qlmr::test::decodeImage((dir.path() / mode / file).string());
                EXPECT_GT(pixelsDiffering(plain, other), 48 * 32 / 50) << mode << " " << file;
            }
        }
    }
}

// --trace-only draws the unlit albedo under the fog without shadow rays and
// without the solid object; it is compared with the CPU reference's unlit
// colour (the diorama's reference leaves the critter out), and the verdict
// line says so.
TEST_F(GpuProgramOnDevice, TraceOnlyIsComparedWithTheUnlitCpuColour)
{
    struct Case {
        std::vector<std::string> args;
        const char* label;
        int views;
    };
    const Case cases[] = {
        {{"--terrain", "128", "--width", "48", "--height", "32"}, "prisms, trace only vs unlit CPU colour", 4},
        {{"--scene", "diorama", "--time", "0", "--width", "40", "--height", "24", "--assets", QLMR_SPRITE_DIR},
         "one frame, trace only vs unlit CPU colour without the solid", 3},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        std::vector<std::string> args = c.args;
        args.insert(args.end(), {"--frames", "1", "--trace-only", "--out", "."});
        const ProgramRun run = runGpu(dir.path(), args);
        const int sections = sectionCount(run.out);
        ASSERT_GE(sections, 1) << run.out;
        const Verdicts v = verdicts(run.out, c.label);
        EXPECT_EQ(v.lines, c.views * sections) << run.out;
        EXPECT_EQ(v.passed, c.views * sections) << run.out;
        EXPECT_EQ(run.out.find("solid-affected"), std::string::npos) << run.out;
        EXPECT_EQ(run.exitCode, 0) << run.out;
    }
}

TEST_F(GpuProgramOnDevice, ShellsSceneBakesAndComparesTwoViewsWithoutALake)
{
    const ProgramRun run = runGpu(dir.path(), {"--scene", "shells", "--res", "16", "--width", "40", "--height", "24",
                                               "--frames", "1", "--water", "--debug-pixel", "40,3", "--out", "."});
    EXPECT_EQ(run.exitCode, 0) << run.out;
    const std::vector<std::string> out = lines(run.out);
    ASSERT_FALSE(out.empty());
    EXPECT_TRUE(std::regex_match(out[0], std::regex(R"(^shells: [1-9][0-9]* prisms baked in [0-9]+\.[0-9] s$)"))) << out[0];
    EXPECT_EQ(run.out.find("water:"), std::string::npos) << run.out;
    EXPECT_EQ(run.out.find(" px ("), std::string::npos) << run.out;  // the debug pixel lies outside the image
    int passes = 0;
    for (const std::string& line : out)
        passes += std::regex_search(line, std::regex(R"(^  \[(full  |limb  )\] levels \(prisms\): hit PASS .*\| image PASS)"))
                      ? 1
                      : 0;
    EXPECT_GE(passes, 2) << run.out;
    for (const char* name : {"full_cpu.png", "limb_cpu.png"})
        EXPECT_TRUE(fs::exists(dir.path() / name)) << name;
}

// Tiny baked fields lie flat on their prisms' bottom faces along the rim
// (all of a 2 x 2 field), where neighbouring shells are seen from below:
// both tracers must give those pixels the same face normal.
TEST_F(GpuProgramOnDevice, ShellsWithTinyFieldsPassBothVerdicts)
{
    for (const char* res : {"2", "4", "8"}) {
        SCOPED_TRACE(std::string("--res ") + res);
        const ProgramRun run = runGpu(dir.path(), {"--scene", "shells", "--res", res, "--width", "64", "--height",
                                                   "32", "--frames", "1"});
        EXPECT_EQ(run.exitCode, 0) << run.out;
        int passes = 0;
        for (const std::string& line : lines(run.out))
            passes += std::regex_search(line, std::regex(R"(^  \[(full  |limb  )\] levels \(prisms\): hit PASS .*\| image PASS)"))
                          ? 1
                          : 0;
        EXPECT_EQ(passes, 2) << run.out;
    }
}

TEST_F(GpuProgramOnDevice, DioramaWithoutCritterComparesThreeOrbitViews)
{
    const ProgramRun run = runGpu(dir.path(), {"--scene", "diorama", "--time", "0", "--no-solid", "--width", "40",
                                               "--height", "24", "--frames", "1", "--assets", QLMR_SPRITE_DIR,
                                               "--out", "."});
    const std::vector<std::string> out = lines(run.out);
    ASSERT_GE(out.size(), 2u) << run.out;
    EXPECT_TRUE(std::regex_match(out[0], std::regex(R"(^diorama at 0\.0 s: [1-9][0-9]* prisms, water [0-9]+\.[0-9]{3} m3; 40x24$)")))
        << out[0];
    EXPECT_EQ(out[1], "CPU reference with texel snap off (the GPU kernel has no twin of snapToPixelGrid yet, docs/10)");
    // Without the critter there is no solid line and no solid suffix; the
    // exit code follows the verdicts.
    const std::regex verdict(R"(^  \[orbit[012]\] levels \(one frame\): hit (PASS|FAIL) \(.*\) \| image (PASS|FAIL) )"
                             R"(\([0-9.]+ dB >= 45\)$)");
    int sections = 0, verdicts = 0;
    bool failed = false;
    for (const std::string& line : out) {
        EXPECT_EQ(line.find("solid"), std::string::npos) << line;
        sections += line.rfind("== ", 0) == 0 ? 1 : 0;
        if (std::regex_match(line, verdict)) {
            ++verdicts;
            failed |= line.find("FAIL") != std::string::npos;
        }
    }
    EXPECT_GE(sections, 1);
    EXPECT_EQ(verdicts, 3 * sections) << run.out;
    EXPECT_EQ(run.exitCode, failed ? 1 : 0) << run.out;
    for (const char* name : {"orbit0_cpu.png", "orbit1_cpu.png", "orbit2_cpu.png"})
        EXPECT_TRUE(fs::exists(dir.path() / name)) << name;
}

TEST_F(GpuProgramOnDevice, MeshAndUpscaleVariantsReplaceTheStandardComparison)
{
    const std::vector<std::string> common{"--terrain", "64", "--width", "32", "--height", "16", "--frames", "1",
                                          "--out", "."};
    std::vector<std::string> mesh = common;
    mesh.push_back("--p0");
    ProgramRun run = runGpu(dir.path(), mesh);
    EXPECT_EQ(run.exitCode, 0) << run.out;
    EXPECT_EQ(run.out.find("levels ("), std::string::npos) << run.out;
    int meshLines = 0, tracerLines = 0;
    for (const std::string& line : lines(run.out)) {
        meshLines += std::regex_match(line, std::regex(R"(^  mesh L[012]: [0-9]+\.[0-9] M triangles, [0-9]+ MB \(vertices \+ indices\)$)"));
        tracerLines += std::regex_match(line, std::regex(R"(^    \[[a-z ]{6}\] tracer +[0-9.]+ ms \| vs mesh L0: coverage [0-9.]+%, depth \S+, normal [0-9.]+ deg$)"));
    }
    EXPECT_GE(meshLines, 3) << run.out;
    EXPECT_GE(tracerLines, 4) << run.out;

    std::vector<std::string> upscale = common;
    upscale.push_back("--upscale");
    run = runGpu(dir.path(), upscale);
    EXPECT_EQ(run.exitCode, 0) << run.out;
    int upscaleLines = 0;
    for (const std::string& line : lines(run.out))
        upscaleLines += std::regex_match(line, std::regex(R"(^  \[[a-z ]{6}\] native +[0-9.]+ ms \| half +[0-9.]+ ms \| bilinear \+[0-9.]+ ms: PSNR [0-9.]+ dB, off [0-9.]+% \| edge \+[0-9.]+ ms: PSNR [0-9.]+ dB, off [0-9.]+%$)"));
    EXPECT_GE(upscaleLines, 4) << run.out;
    bool edge = false;
    for (const auto& entry : fs::directory_iterator(dir.path()))
        edge |= std::regex_match(entry.path().filename().string(), std::regex(R"(wide_(igpu|dgpu)_edge\.png)"));
    EXPECT_TRUE(edge);
}

// ---- every failure on a device ends with its message and exit code 1 ----------------

struct DeviceFailureCase {
    const char* name;
    std::vector<std::string> args;
    // Folders made in the run's output folder where it writes these files,
    // so that writing them fails (also for root). The first device's tag is
    // "dgpu" or "igpu", or, with several devices of one type, "dgpu0" or "igpu0".
    std::vector<std::string> blocked;
    std::string line;  // a line the run must print (a regular expression)
    bool onErrors;     // on standard error; otherwise on standard output
};

// Test names in failure reports instead of the record's bytes.
void PrintTo(const DeviceFailureCase& c, std::ostream* os)
{
    *os << c.name;
}

std::vector<std::string> firstDeviceFiles(const std::string& before, const std::string& after)
{
    std::vector<std::string> names;
    for (const char* tag : {"dgpu", "igpu", "dgpu0", "igpu0"})
        names.push_back(before + tag + after);
    return names;
}

const std::vector<std::string> kSmallScene{"--terrain", "64", "--width", "16", "--height", "8", "--frames", "1",
                                           "--out", "."};
const std::vector<std::string> kSmallSdna{"--sdna", QLMR_CRITTER_FILE, "--width", "16", "--height", "8", "--frames",
                                          "1", "--out", "."};
const std::string kNoDevice = R"(--gpu 7 matches no Vulkan device \([0-9]+ devices? found\))";

std::vector<std::string> with(std::vector<std::string> args, const std::vector<std::string>& more)
{
    args.insert(args.end(), more.begin(), more.end());
    return args;
}

class GpuProgramDeviceFailures : public GpuProgramOnDevice,
                                 public ::testing::WithParamInterface<DeviceFailureCase> {};

TEST_P(GpuProgramDeviceFailures, EndWithTheirMessageAndExitCodeOne)
{
    const DeviceFailureCase& c = GetParam();
    for (const std::string& name : c.blocked)
        fs::create_directories(dir.path() / name);
    const ProgramRun run = runGpu(dir.path(), c.args);
    EXPECT_EQ(run.exitCode, 1) << run.out << run.err;
    const std::regex line(c.line);
    bool found = false;
    for (const std::string& text : lines(c.onErrors ? run.err : run.out))
        found |= std::regex_match(text, line);
    EXPECT_TRUE(found) << c.line << "\n--- out:\n" << run.out << "--- err:\n" << run.err;
}

INSTANTIATE_TEST_SUITE_P(
    GpuProgram, GpuProgramDeviceFailures,
    ::testing::Values(
        DeviceFailureCase{"SceneOnAnUnknownDevice", with(kSmallScene, {"--gpu", "7"}), {}, kNoDevice, false},
        DeviceFailureCase{"SdnaOnAnUnknownDevice", with(kSmallSdna, {"--gpu", "7"}), {}, kNoDevice, false},
        DeviceFailureCase{"SculptOnAnUnknownDevice", {"--sculpt", "1", "--gpu", "7"}, {}, kNoDevice, false},
        DeviceFailureCase{"RandomOnAnUnknownDevice", {"--random", "1", "--gpu", "7", "--out", "."}, {}, kNoDevice,
                          true},
        DeviceFailureCase{"SceneImage", kSmallScene, {"wide_cpu.png"}, R"(cannot write \./wide_cpu\.png)", false},
        DeviceFailureCase{"UpscaleImage", with(kSmallScene, {"--upscale"}), firstDeviceFiles("wide_", "_native.png"),
                          R"(cannot write \./wide_[di]gpu0?_native\.png)", false},
        DeviceFailureCase{"TemporalImage", with(kSmallScene, {"--temporal", "1"}),
                          firstDeviceFiles("wide_", "_moving_splat_temporal.png"),
                          R"(cannot write \./wide_[di]gpu0?_moving_splat_temporal\.png)", false},
        DeviceFailureCase{"SdnaImage", kSmallSdna, firstDeviceFiles("sdna_front_", ".png"),
                          R"(cannot write \./sdna_front_[di]gpu0?\.png)", false},
        DeviceFailureCase{"RandomResultFile", {"--random", "1", "--out", "."}, {"random-sdna.json"},
                          R"(cannot write \./random-sdna\.json)", true}),
    [](const ::testing::TestParamInfo<DeviceFailureCase>& info) { return std::string(info.param.name); });

// Under a file size limit (ulimit -f) below the size of its images the run
// names every image it could not write, leaves no part of one behind and
// ends with 1; the report lines before and after each write stay, rather
// than the limit's signal ending the program with its output unwritten.
TEST_F(GpuProgramOnDevice, ImagesPastTheFileSizeLimitAreNamedAndTheReportStays)
{
    qlmr::test::RunLimits limits;
    limits.fileBytes = 512;  // a 16 x 8 image needs more
    const fs::path out = dir.path() / "images";
    const ProgramRun run = runGpu(dir.path(), with(kSmallSdna, {"--out", out.string()}), {}, limits);
    EXPECT_EQ(run.exitCode, 1) << run.out << run.err;
    int sections = 0;
    int verdicts = 0;
    std::set<std::string> named;
    const std::regex cannot("cannot write " + out.string() + R"(/(sdna_(front|back|posed)_[di]gpu[0-9]*\.png))");
    for (const std::string& line : lines(run.out)) {
        sections += line.rfind("== ", 0) == 0 ? 1 : 0;
        verdicts += std::regex_match(line, kVerdictLine) ? 1 : 0;
        std::smatch match;
        if (std::regex_match(line, match, cannot))
            named.insert(match[1]);
    }
    ASSERT_GE(sections, 1) << run.out;
    EXPECT_EQ(verdicts, 3 * sections) << run.out;
    EXPECT_EQ(named.size(), static_cast<std::size_t>(3 * sections)) << run.out;
    for (const auto& entry : fs::directory_iterator(out))
        ADD_FAILURE() << "left behind: " << entry.path();
}

// The loader lists a driver once per manifest file, so a copy of lavapipe's
// manifest under another name gives two devices of the same type and name.
TEST_F(GpuProgramOnDevice, TwoDevicesOfOneTypeKeepTheirImagesApart)
{
    fs::path manifest;
    if (fs::is_directory("/usr/share/vulkan/icd.d"))
        for (const auto& entry : fs::directory_iterator("/usr/share/vulkan/icd.d"))
            if (entry.path().filename().string().rfind("lvp_icd", 0) == 0)
                manifest = entry.path();
    if (manifest.empty()) {
        if (qlmr::test::runningInCi())
            FAIL() << "no lavapipe manifest in /usr/share/vulkan/icd.d";
        GTEST_SKIP() << "no lavapipe manifest in /usr/share/vulkan/icd.d";
    }
    const fs::path copy = dir.path() / "lvp_copy.json";
    fs::copy_file(manifest, copy);
    const std::string files = manifest.string() + ":" + copy.string();
    const std::map<std::string, std::string> twice{{"VK_ICD_FILENAMES", files}, {"VK_DRIVER_FILES", files}};

    struct Case {
        std::vector<std::string> args;
        std::vector<std::string> written;
        std::vector<std::string> absent;
    };
    const Case cases[] = {
        {with(kSmallSdna, {"--out", "both"}), {"both/sdna_front_dgpu0.png", "both/sdna_front_dgpu1.png"},
         {"both/sdna_front_dgpu.png"}},
        // One device chosen keeps the plain name.
        {with(kSmallSdna, {"--out", "one", "--gpu", "1"}), {"one/sdna_front_dgpu.png"},
         {"one/sdna_front_dgpu0.png", "one/sdna_front_dgpu1.png"}},
        {with(kSmallScene, {"--out", "scene"}), {"scene/wide_dgpu0.png", "scene/wide_dgpu1.png", "scene/wide_cpu.png"},
         {"scene/wide_dgpu.png"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.written.front());
        const ProgramRun run = runGpu(dir.path(), c.args, twice);
        const std::vector<std::string> out = lines(run.out);
        const auto sections =
            std::count_if(out.begin(), out.end(), [](const std::string& l) { return l.rfind("== ", 0) == 0; });
        ASSERT_EQ(sections, c.written.size() == 1 ? 1 : 2) << run.out << run.err;
        for (const std::string& name : c.written)
            EXPECT_TRUE(fs::is_regular_file(dir.path() / name)) << name << "\n" << run.out;
        for (const std::string& name : c.absent)
            EXPECT_FALSE(fs::exists(dir.path() / name)) << name;
    }
}

// ---- without a device ------------------------------------------------------------

const std::map<std::string, std::string> kNoDriver{{"VK_ICD_FILENAMES", "/nonexistent/qlmr_icd.json"},
                                                   {"VK_DRIVER_FILES", "/nonexistent/qlmr_icd.json"}};

TEST(GpuProgram, WithoutDriverSdnaRendersTheCpuViewsThenReportsVulkan)
{
    qlmr::test::TempDir dir;
    const ProgramRun run = runGpu(dir.path(), {"--sdna", QLMR_CRITTER_FILE, "--width", "16", "--height", "8",
                                               "--frames", "1"}, kNoDriver);
    EXPECT_EQ(run.exitCode, 1);
    const std::vector<std::string> out = lines(run.out);
    ASSERT_EQ(out.size(), 5u) << run.out;
    EXPECT_TRUE(std::regex_match(out[2], kCpuLine)) << out[2];
    EXPECT_EQ(out[4].rfind("Vulkan unavailable: ", 0), 0u) << out[4];
    EXPECT_GT(out[4].size(), std::string("Vulkan unavailable: ").size());
    // The output folder is made before Vulkan is opened.
    EXPECT_TRUE(fs::is_directory(dir.path() / "output/sdna"));
}

TEST(GpuProgram, WithoutDriverRandomPrintsTheErrorAloneOnStandardError)
{
    qlmr::test::TempDir dir;
    const ProgramRun run = runGpu(dir.path(), {"--random", "2", "--out", "r"}, kNoDriver);
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_EQ(run.out, "");
    ASSERT_FALSE(run.err.empty());
    EXPECT_EQ(run.err.find("Vulkan unavailable"), std::string::npos) << run.err;
    EXPECT_EQ(run.err.back(), '\n');
    EXPECT_FALSE(fs::exists(dir.path() / "r"));
}

TEST(GpuProgram, WithoutDriverSculptReportsVulkan)
{
    qlmr::test::TempDir dir;
    const ProgramRun run = runGpu(dir.path(), {"--sculpt", "4"}, kNoDriver);
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_EQ(run.out.rfind("Vulkan unavailable: ", 0), 0u) << run.out;
}

// The scene's own lines before any device: a size given on the command line
// replaces only that edge of the scene's default, and the baked shells get
// no lake even when --water asks for one.
TEST(GpuProgram, SceneLinesShowTheSizeAndTheLakeItRendersWith)
{
    const struct {
        std::vector<std::string> args;
        const char* firstLines;  // regular expression over the lines before "Vulkan unavailable"
    } cases[] = {
        {{"--scene", "diorama", "--time", "0", "--no-solid", "--width", "8", "--assets", QLMR_SPRITE_DIR},
         R"(diorama at 0\.0 s: [1-9][0-9]* prisms, water [0-9]+\.[0-9]{3} m3; 8x720
CPU reference with texel snap off \(the GPU kernel has no twin of snapToPixelGrid yet, docs/10\)
)"},
        {{"--scene", "diorama", "--time", "0", "--no-solid", "--height", "6", "--assets", QLMR_SPRITE_DIR},
         R"(diorama at 0\.0 s: [1-9][0-9]* prisms, water [0-9]+\.[0-9]{3} m3; 1280x6
CPU reference with texel snap off \(the GPU kernel has no twin of snapToPixelGrid yet, docs/10\)
)"},
        {{"--scene", "shells", "--res", "2", "--water", "--width", "8", "--height", "8"},
         R"(shells: [1-9][0-9]* prisms baked in [0-9]+\.[0-9] s
)"},
        {{"--terrain", "64", "--water", "--width", "8", "--height", "8"},
         R"(generating fields\.\.\.
(.*\n)*water: lake at height 0\.[0-9]{3} over the terrain
)"},
    };
    for (const auto& c : cases) {
        qlmr::test::TempDir dir;
        std::vector<std::string> args = c.args;
        args.insert(args.end(), {"--frames", "1", "--out", "o"});
        const ProgramRun run = runGpu(dir.path(), args, kNoDriver);
        EXPECT_EQ(run.exitCode, 1) << run.out << run.err;
        const std::size_t vulkan = run.out.find("Vulkan unavailable: ");
        ASSERT_NE(vulkan, std::string::npos) << run.out << run.err;
        EXPECT_TRUE(std::regex_match(run.out.substr(0, vulkan), std::regex(c.firstLines))) << run.out;
    }
}

// A diorama sprite that cannot be decoded, or whose relief is wider than a
// field of the world, ends the run with its path before any device work;
// the sprites are walked in their fixed order, so the first such one is
// the one named.
TEST(GpuProgram, DioramaSpriteThatCannotBeUsedIsNamed)
{
    const std::vector<std::uint8_t> opaque(400 * 400 * 4, 200);
    const struct {
        const char* file;
        bool decodable;
        const char* reason;
    } cases[] = {
        {"crystal.png", false, "cannot read assets/crystal.png\n"},
        {"barrel.png", true, "assets/barrel.png does not fit a field\n"},
    };
    for (const auto& c : cases) {
        qlmr::test::TempDir dir;
        fs::copy(QLMR_SPRITE_DIR, dir.path() / "assets");
        const fs::path sprite = dir.path() / "assets" / c.file;
        if (c.decodable)
            ASSERT_TRUE(qlmr::writePng(sprite.string(), 400, 400, opaque));
        else
            std::ofstream(sprite, std::ios::trunc) << "not an image";
        const ProgramRun run = runGpu(dir.path(), {"--scene", "diorama", "--time", "0", "--width", "8", "--height",
                                                   "8", "--assets", "assets", "--out", "o"},
                                      kNoDriver);
        EXPECT_EQ(run.exitCode, 1) << c.file;
        EXPECT_EQ(run.out, c.reason);
    }
}

TEST(GpuProgram, BadCorpusSizesAreRefusedBeforeVulkan)
{
    qlmr::test::TempDir dir;
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{"--random", "5", "--width", "4097"},
          std::vector<std::string>{"--random", "5", "--height", "0"}}) {
        const ProgramRun run = runGpu(dir.path(), args);
        EXPECT_EQ(run.exitCode, 1);
        EXPECT_EQ(run.err, "invalid random corpus dimensions/count\n");
        EXPECT_EQ(run.out, "");
    }
    // The largest accepted edges pass the check and go on to Vulkan, which
    // this run does not find.
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{"--random", "5", "--width", "4096"},
          std::vector<std::string>{"--random", "5", "--width", "1", "--height", "4096"}}) {
        const ProgramRun run = runGpu(dir.path(), args, kNoDriver);
        EXPECT_EQ(run.exitCode, 1);
        EXPECT_EQ(run.err.find("invalid random corpus"), std::string::npos) << run.err;
        EXPECT_FALSE(run.err.empty());
    }
}

TEST(GpuProgram, UnreadableOrUndecodableProgramFilesEndTheRun)
{
    qlmr::test::TempDir dir;
    // A folder opens like a file here and only its reads fail: it must not
    // be taken for an empty program file.
    const std::string folder = dir.file("programs");
    fs::create_directory(folder);
    ProgramRun run;
    for (const std::string& unreadable : {dir.file("missing.qlmr"), folder}) {
        run = runGpu(dir.path(), {"--sdna", unreadable});
        EXPECT_EQ(run.exitCode, 1) << unreadable;
        EXPECT_EQ(run.out, "cannot read " + unreadable + "\n");
        EXPECT_EQ(run.err, "");
    }

    const std::string garbage = dir.file("garbage.qlmr");
    std::ofstream(garbage) << "not a container";
    run = runGpu(dir.path(), {"--sdna", garbage});
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_EQ(run.out.rfind(garbage + ": ", 0), 0u) << run.out;
    EXPECT_EQ(lines(run.out).size(), 1u) << run.out;
    EXPECT_FALSE(fs::exists(dir.path() / "output"));
}

// The "front" and "posed" cameras stand inside this program's sphere: the
// direct and the brick-local trace both hit at t = 0 in every pixel, which
// is agreement, not an undefined relative error.
TEST(GpuProgram, BricksLocalFromInsideTheSurfaceReportsNoDepthError)
{
    qlmr::test::TempDir dir;
    qlmr::SdnaBuilder builder;
    builder.sphere({2.6f, 1.5f, 2.4f}, 0.5f);
    qlmr::SdnaProgram program;
    std::string error;
    ASSERT_TRUE(builder.finish(program, error)) << error;
    const std::string file = dir.file("around-the-eye.qlmr");
    ASSERT_TRUE(qlmr::writeSdnaFile(file, program, error)) << error;

    const ProgramRun run = runGpu(dir.path(), {"--sdna", file, "--bricks-local", "--width", "8", "--height", "4",
                                               "--frames", "1"},
                                  kNoDriver);
    EXPECT_EQ(run.exitCode, 1) << run.out << run.err;
    const std::regex local(R"(^  CPU \[(front|back |posed)\] bricks local +[0-9]+\.[0-9] ms \| tube vs direct: )"
                           R"(coverage ([0-9]+\.[0-9]{4})%, depth rel ([^,]+), material ([0-9]+)$)");
    std::map<std::string, std::string> depthRel;
    for (const std::string& line : lines(run.out)) {
        std::smatch m;
        if (!std::regex_match(line, m, local))
            continue;
        EXPECT_EQ(m[2].str(), "0.0000") << line;
        EXPECT_EQ(m[4].str(), "0") << line;
        depthRel[m[1].str()] = m[3].str();
    }
    ASSERT_EQ(depthRel.size(), 3u) << run.out;
    EXPECT_EQ(depthRel["front"], "0.0e+00") << run.out;
    EXPECT_EQ(depthRel["posed"], "0.0e+00") << run.out;
    EXPECT_TRUE(std::regex_match(depthRel["back "], std::regex("[0-9]\\.[0-9]e[+-][0-9]+"))) << run.out;
}

// ---- refused or stopped before any device work, with a message and exit 1 ----------

struct StopCase {
    const char* name;
    std::vector<std::string> args;
    std::string out;  // standard output, a regular expression over the whole text
    std::string err;  // standard error, exactly
    bool limitMemory;
};

void PrintTo(const StopCase& c, std::ostream* os)
{
    *os << c.name;
}

const std::string kWidthRange = "--width must be a whole number from 1 to 16384 (pixels)\n";
const std::string kHeightRange = "--height must be a whole number from 1 to 16384 (pixels)\n";
const std::string kSdnaHeader =
    ".+: [0-9]+ instructions, [0-9]+ materials, [0-9]+ bones; 16384x16384, best of 1 frames\n";

class GpuProgramStops : public ::testing::TestWithParam<StopCase> {};

TEST_P(GpuProgramStops, WithTheReasonOnStandardErrorAfterWhatWasPrinted)
{
    const StopCase& c = GetParam();
    if (c.limitMemory && !qlmr::test::addressSpaceLimitsWork())
        GTEST_SKIP() << "no address-space limit can be set in this build, so memory cannot run out";
    qlmr::test::TempDir dir;
    std::ofstream(dir.file("blocker")) << "a file where a folder is wanted";
    // No driver: none of these runs may get as far as Vulkan. The time
    // limit ends a run that would otherwise simulate or bake for ever.
    const ProgramRun run =
        runGpu(dir.path(), c.args, kNoDriver, {c.limitMemory ? qlmr::test::modestMemoryLimit() : 0, 300});
    EXPECT_EQ(run.exitCode, 1) << run.out << run.err;
    EXPECT_EQ(run.err, c.err);
    EXPECT_TRUE(std::regex_match(run.out, std::regex(c.out))) << run.out;
    if (c.out.empty()) {
        EXPECT_FALSE(fs::exists(dir.path() / "output"));
    }
}

INSTANTIATE_TEST_SUITE_P(
    GpuProgram, GpuProgramStops,
    ::testing::Values(
        StopCase{"SdnaWidthZero", {"--sdna", QLMR_CRITTER_FILE, "--width", "0"}, "", kWidthRange, false},
        StopCase{"SdnaWidthNotANumber", {"--sdna", QLMR_CRITTER_FILE, "--width", "abc", "--height", "8"}, "",
                 kWidthRange, false},
        StopCase{"SdnaWidthWithoutValue", {"--sdna", QLMR_CRITTER_FILE, "--height", "8", "--width"}, "",
                 kWidthRange, false},
        StopCase{"SdnaHeightNegative", {"--sdna", QLMR_CRITTER_FILE, "--width", "8", "--height", "-1"}, "",
                 kHeightRange, false},
        StopCase{"SdnaEmptyFrame", {"--sdna", QLMR_CRITTER_FILE, "--width", "0", "--height", "0"}, "", kWidthRange,
                 false},
        StopCase{"SceneWidthZero", {"--terrain", "64", "--width", "0"}, "", kWidthRange, false},
        StopCase{"SceneWidthNotANumber", {"--terrain", "64", "--width", "abc"}, "", kWidthRange, false},
        StopCase{"SceneHeightNegative", {"--terrain", "64", "--width", "8", "--height", "-1"}, "", kHeightRange,
                 false},
        StopCase{"UpscaleOnePixelWide", {"--terrain", "64", "--upscale", "--width", "1", "--height", "8"}, "",
                 "--upscale needs an image of at least 2x2 pixels: its half-resolution frame of 0x4 would be empty\n",
                 false},
        StopCase{"TemporalOnePixelWide", {"--terrain", "64", "--temporal", "5", "--width", "1", "--height", "8"}, "",
                 "--temporal needs an image of at least 2x2 pixels: its half-resolution frame of 0x4 would be "
                 "empty\n",
                 false},
        StopCase{"TerrainNotAPowerOfTwo", {"--terrain", "100", "--width", "8", "--height", "8", "--out", "o"}, "",
                 "field width must be a power of two\n", false},
        // Refused before the terrain generator allocates gigabytes for it.
        StopCase{"TerrainBeyondAnyField", {"--terrain", "65536", "--width", "8", "--height", "8", "--out", "o"}, "",
                 "field too large\n", true},
        StopCase{"OutputFolderCannotBeMade",
                 {"--terrain", "64", "--width", "8", "--height", "8", "--out", "blocker/sub"},
                 "", "filesystem error: cannot create directories: Not a directory [blocker/sub]\n", false},
        StopCase{"HugeSdnaFrame",
                 {"--sdna", QLMR_CRITTER_FILE, "--width", "16384", "--height", "16384", "--frames", "1"},
                 kSdnaHeader, "out of memory: the CPU reference images\n", true},
        StopCase{"HugeSceneFrame", {"--terrain", "64", "--width", "16384", "--height", "16384", "--frames", "1",
                                    "--out", "o"},
                 "generating fields\\.\\.\\.\n", "out of memory: the CPU reference frames\n", true},
        StopCase{"HugeTerrain", {"--terrain", "16384", "--width", "8", "--height", "8", "--out", "o"},
                 "generating fields\\.\\.\\.\n", "out of memory: the scene\n", true},
        StopCase{"HugeSculptCheck", {"--sculpt", "268435455"}, "", "out of memory: the sculpt probe points\n", true},
        // Points past one storage buffer's reach are refused, not bound.
        StopCase{"SculptBeyondOneBuffer", {"--sculpt", "2147483647"}, "",
                 "--sculpt must be at most 268435455: its 16-byte probe points are bound as one storage buffer\n",
                 false},
        // An endless simulation, and a bake past the widest field.
        StopCase{"DioramaForEver", {"--scene", "diorama", "--assets", QLMR_SPRITE_DIR, "--time", "inf"}, "",
                 "--time must be a finite number of seconds, at most 524288\n", false},
        StopCase{"ShellsBeyondAnyField", {"--scene", "shells", "--res", "2147483648", "--width", "8", "--height", "8"},
                 "", "--res must be a power of two from 1 to 32768 (samples per side of each baked field)\n", false},
        // The largest accepted bake: its samples cannot be allocated on the
        // pool threads either, and the run ends with the reason.
        StopCase{"ShellsBakeOutOfMemory",
                 {"--scene", "shells", "--res", "32768", "--width", "8", "--height", "8", "--out", "o"}, "",
                 "out of memory: the scene\n", true},
        StopCase{"TemporalCameraAtNaN",
                 {"--terrain", "64", "--temporal", "5", "--temporal-speed", "nan", "--width", "8", "--height", "8"},
                 "", "--temporal-speed must be a finite number\n", false}),
    [](const ::testing::TestParamInfo<StopCase>& info) { return std::string(info.param.name); });

TEST(GpuProgram, DioramaWithoutItsSpritesEndsBeforeVulkan)
{
    qlmr::test::TempDir dir;
    const ProgramRun run = runGpu(dir.path(), {"--scene", "diorama", "--assets", "missing"}, kNoDriver);
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_EQ(run.out, "cannot read missing/tree.png\n");
}

} // namespace
