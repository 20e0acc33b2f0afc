// qlmr-vkinfo as a user runs it: on the machine's Vulkan devices, under the
// validation layer, without a driver, and on the fake loader (put first on
// LD_LIBRARY_PATH) for the devices no real driver offers.
#include "support/json_reader.h"
#include "support/limited_run.h"
#include "support/program_run.h"
#include "support/test_support.h"
#include "support/write_failures.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <optional>
#include <regex>
#include <string>
#include <vector>

namespace {

using qlmr::test::Json;
using qlmr::test::lines;
using qlmr::test::ProgramRun;

using Environment = std::map<std::string, std::optional<std::string>>;

// Runs qlmr-vkinfo with the given arguments and environment changes,
// standard error mixed into the output as a user would see it.
ProgramRun runVkinfo(const std::vector<std::string>& args, const Environment& env = {})
{
    qlmr::test::RunOptions options;
    options.environment = env;
    return qlmr::test::runProgram(QLMR_VKINFO_PATH, args, options);
}

// Runs qlmr-vkinfo with its standard output going to /dev/full, as onto a
// full disk; empty when /dev/full is not available.
std::optional<ProgramRun> runIntoFullOutput(const std::vector<std::string>& args, const Environment& env)
{
    qlmr::test::RunOptions options;
    options.environment = env;
    return qlmr::test::runIntoFullOutput(QLMR_VKINFO_PATH, args, options);
}

Json parseJsonLine(const std::string& output)
{
    EXPECT_EQ(std::count(output.begin(), output.end(), '\n'), 1) << output;
    EXPECT_FALSE(output.empty());
    if (output.empty() || output.back() != '\n')
        return {};
    const std::optional<Json> json = qlmr::test::readJson(output.substr(0, output.size() - 1));
    EXPECT_TRUE(json) << output;
    return json.value_or(Json{});
}

const std::vector<std::string> kDeviceKeys = {"index",   "name",        "class",        "api_version",
                                              "driver_version_raw", "vendor_id", "device_id"};

// ---- on the machine's devices -----------------------------------------------

class VkinfoOnDevice : public ::testing::Test {
protected:
    void SetUp() override
    {
        const ProgramRun probe = runVkinfo({"--json"});
        if (probe.output.rfind("Vulkan unavailable: ", 0) != 0)
            return;
        if (qlmr::test::runningInCi())
            FAIL() << "no Vulkan device in CI: " << probe.output;
        GTEST_SKIP() << probe.output;
    }
};

TEST_F(VkinfoOnDevice, JsonIsOneLineWithKeysInOrder)
{
    const ProgramRun run = runVkinfo({"--json"});
    EXPECT_EQ(run.exitCode, 0);
    const Json json = parseJsonLine(run.output);
    ASSERT_EQ(json.type, Json::Type::Object);
    EXPECT_EQ(json.keys(), (std::vector<std::string>{"api", "devices"}));
    EXPECT_EQ(json["api"].text, "Vulkan");
    ASSERT_EQ(json["devices"].type, Json::Type::Array);
    ASSERT_FALSE(json["devices"].items.empty());
    for (std::size_t i = 0; i < json["devices"].items.size(); ++i) {
        const Json& device = json["devices"].items[i];
        EXPECT_EQ(device.keys(), kDeviceKeys);
        EXPECT_EQ(device["index"].text, std::to_string(i));
        EXPECT_EQ(device["name"].type, Json::Type::String);
        EXPECT_TRUE(std::regex_match(device["class"].text, std::regex("integrated|discrete|virtual|cpu|other")));
        for (const char* key : {"api_version", "driver_version_raw", "vendor_id", "device_id"}) {
            EXPECT_EQ(device[key].type, Json::Type::Number) << key;
            // A whole number, not negative.
            EXPECT_TRUE(std::regex_match(device[key].text, std::regex("\\d+"))) << key;
        }
    }
}

TEST_F(VkinfoOnDevice, TextReportsDeviceAndBothSmokeRuns)
{
    const std::regex deviceLine(
        R"(GPU \d+: .+ \((integrated|discrete|virtual|cpu|other)\), Vulkan \d+\.\d+\.\d+, subgroup \d+, max workgroup \d+, compute (yes|no))");
    const std::regex smoke0(R"(  smoke rounds=0  : ok, \d+\.\d{3} ms GPU)");
    const std::regex smoke256(R"(  smoke rounds=256: ok, \d+\.\d{3} ms GPU, ~(\d+|inf) G int-ops/s)");
    // Any other command line than "--json" alone is the text report.
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{}, {"--json", "--json"}, {"--JSON"}, {"--json-x"}}) {
        const ProgramRun run = runVkinfo(args);
        EXPECT_EQ(run.exitCode, 0) << run.output;
        const std::vector<std::string> out = lines(run.output);
        ASSERT_GE(out.size(), 3u) << run.output;
        ASSERT_EQ(out.size() % 3, 0u) << run.output;
        for (std::size_t i = 0; i < out.size(); i += 3) {
            EXPECT_TRUE(std::regex_match(out[i], deviceLine)) << out[i];
            EXPECT_EQ(out[i].rfind("GPU " + std::to_string(i / 3) + ": ", 0), 0u) << out[i];
            EXPECT_TRUE(std::regex_match(out[i + 1], smoke0)) << out[i + 1];
            EXPECT_TRUE(std::regex_match(out[i + 2], smoke256)) << out[i + 2];
        }
    }
}

// A report that cannot reach standard output (redirected to a full disk)
// fails the run, though every device passed its smoke runs, and standard
// error says why the lines are missing.
TEST_F(VkinfoOnDevice, ReportThatCannotBeWrittenEndsWithExitCodeOne)
{
    for (const char* mode : {"--json", "--text"}) {
        const std::optional<ProgramRun> run = runIntoFullOutput({mode}, {});
        if (!run)
            GTEST_SKIP() << "/dev/full is not available";
        EXPECT_EQ(run->exitCode, 1) << mode;
        // A driver may warn on standard error too; the reason comes last.
        const std::vector<std::string> errors = lines(run->errors);
        ASSERT_FALSE(errors.empty()) << mode;
        EXPECT_EQ(errors.back(), "cannot write the report to standard output") << mode;
    }
}

TEST_F(VkinfoOnDevice, CleanUnderTheValidationLayer)
{
    const std::string manifest = QLMR_VALIDATION_LAYER_MANIFEST;
    if (manifest.empty() || manifest.find("NOTFOUND") != std::string::npos) {
        if (qlmr::test::runningInCi())
            FAIL() << "the Khronos validation layer is not installed";
        GTEST_SKIP() << "the Khronos validation layer is not installed";
    }
    for (const char* mode : {"--json", "--text"}) {
        const ProgramRun run = runVkinfo(
            {mode}, {{"VK_INSTANCE_LAYERS", "VK_LAYER_KHRONOS_validation"}, {"VK_LOADER_DEBUG", "layer"}});
        EXPECT_EQ(run.exitCode, 0) << run.output;
        // The loader's own report proves the layer was there to see the run.
        EXPECT_NE(run.output.find("Insert instance layer \"VK_LAYER_KHRONOS_validation\""), std::string::npos)
            << run.output;
        EXPECT_FALSE(std::regex_search(run.output, std::regex("Validation|VUID-|has not been destroyed")))
            << run.output;
    }
}

// ---- without a driver -------------------------------------------------------

TEST(Vkinfo, MissingDriverIsUnavailable)
{
    for (const char* mode : {"--json", "--text"}) {
        const ProgramRun run = runVkinfo({mode}, {{"VK_ICD_FILENAMES", "/nonexistent/qlmr_icd.json"},
                                           {"VK_DRIVER_FILES", "/nonexistent/qlmr_icd.json"},
                                           {"VK_INSTANCE_LAYERS", std::nullopt}});
        EXPECT_EQ(run.exitCode, 1);
        const std::vector<std::string> out = lines(run.output);
        ASSERT_FALSE(out.empty());
        // The loader may warn on standard error; the report is the last line.
        EXPECT_EQ(out.back().rfind("Vulkan unavailable: ", 0), 0u) << run.output;
        EXPECT_GT(out.back().size(), std::strlen("Vulkan unavailable: "));
    }
}

// ---- on the fake loader -----------------------------------------------------

ProgramRun runOnFake(const std::vector<std::string>& args, Environment env = {})
{
    env["LD_LIBRARY_PATH"] = QLMR_FAKE_VULKAN_DIR;
    env["VK_INSTANCE_LAYERS"] = std::nullopt;
    return runVkinfo(args, env);
}

TEST(VkinfoFake, JsonEscapesNamesAndSeparatesDevices)
{
    const ProgramRun run = runOnFake({"--json"}, {{"QLMR_FAKE_DEVICES", "2"},
                                           {"QLMR_FAKE_DEVICE_NAME", "Q\"uote\\Back\tTab \xc3\xa9"}});
    EXPECT_EQ(run.exitCode, 0);
    EXPECT_EQ(run.output,
              "{\"api\":\"Vulkan\",\"devices\":["
              "{\"index\":0,\"name\":\"Q\\\"uote\\\\Back\\u0009Tab \xc3\xa9\",\"class\":\"discrete\","
              "\"api_version\":4202499,\"driver_version_raw\":4660,\"vendor_id\":4318,\"device_id\":256},"
              "{\"index\":1,\"name\":\"Fake GPU 1\",\"class\":\"discrete\","
              "\"api_version\":4202500,\"driver_version_raw\":4661,\"vendor_id\":4318,\"device_id\":257}]}\n");
    const Json json = parseJsonLine(run.output);
    ASSERT_EQ(json["devices"].items.size(), 2u);
    EXPECT_EQ(json["devices"].items[0]["name"].text, "Q\"uote\\Back\tTab \xc3\xa9");
}

// Runs on the fake loader whose whole output and exit code are known: the
// environment sets up the devices and the failure.
struct FakeRunCase {
    const char* label;
    std::vector<std::string> args;
    Environment env;
    int exitCode;
    std::string output;
};

void PrintTo(const FakeRunCase& c, std::ostream* os)
{
    *os << c.label;
}

const std::string kFakeDevice0 =
    "GPU 0: Fake GPU 0 (discrete), Vulkan 1.2.3, subgroup 32, max workgroup 1024, compute yes\n";

const FakeRunCase kFakeRuns[] = {
    {"DeviceWithoutTimestampsFailsUnderItsLine", {}, {{"QLMR_FAKE_TIMESTAMP_BITS", "0"}}, 1,
     kFakeDevice0 + "  device: no compute queue with timestamps\n"},
    // The fake runs no kernel, so the buffer comes back zero; its query pool
    // cannot be read, so the GPU time is 0 and the rate infinite.
    {"WrongWordsAreAMismatchAndZeroTimeIsInfiniteRate", {"x"}, {{"QLMR_FAKE_QUERY_RESULT", "1"}}, 1,
     kFakeDevice0 + "  smoke rounds=0  : MISMATCH, 0.000 ms GPU\n"
                    "  smoke rounds=256: MISMATCH, 0.000 ms GPU, ~inf G int-ops/s\n"},
    {"FailedRunEndsTheDevicesPasses", {}, {{"QLMR_FAKE_FAIL_CALL", "vkCreateComputePipelines"}}, 1,
     kFakeDevice0 + "  compute: vkCreateComputePipelines failed (VkResult -2)\n"},
    {"EveryDeviceIsReportedAfterAFailure", {}, {{"QLMR_FAKE_DEVICES", "2"}, {"QLMR_FAKE_TIMESTAMP_BITS", "0"}}, 1,
     kFakeDevice0 + "  device: no compute queue with timestamps\n"
                    "GPU 1: Fake GPU 1 (discrete), Vulkan 1.2.4, subgroup 32, max workgroup 1024, compute yes\n"
                    "  device: no compute queue with timestamps\n"},
    // JSON mode needs "--json" as the one and only word, compared in full.
    {"JsonWithAnotherWordIsTheTextReport", {"--json", "--json"}, {{"QLMR_FAKE_TIMESTAMP_BITS", "0"}}, 1,
     kFakeDevice0 + "  device: no compute queue with timestamps\n"},
    {"WordStartingLikeJsonIsTheTextReport", {"--jsonx"}, {{"QLMR_FAKE_TIMESTAMP_BITS", "0"}}, 1,
     kFakeDevice0 + "  device: no compute queue with timestamps\n"},
    {"OldLoaderIsUnavailableInJsonMode", {"--json"}, {{"QLMR_FAKE_INSTANCE_VERSION", "4194304"}}, 1,
     "Vulkan unavailable: Vulkan 1.1 instance required\n"},
    {"OldLoaderIsUnavailableInTextMode", {"--text"}, {{"QLMR_FAKE_INSTANCE_VERSION", "4194304"}}, 1,
     "Vulkan unavailable: Vulkan 1.1 instance required\n"},
    {"NoDevicesIsUnavailable", {"--json"}, {{"QLMR_FAKE_DEVICES", "0"}}, 1, "Vulkan unavailable: no Vulkan devices\n"},
};

class VkinfoFakeRun : public ::testing::TestWithParam<FakeRunCase> {};

TEST_P(VkinfoFakeRun, PrintsExactlyItsReportAndExitCode)
{
    const FakeRunCase& c = GetParam();
    const ProgramRun run = runOnFake(c.args, c.env);
    EXPECT_EQ(run.exitCode, c.exitCode);
    EXPECT_EQ(run.output, c.output);
}

INSTANTIATE_TEST_SUITE_P(Cases, VkinfoFakeRun, ::testing::ValuesIn(kFakeRuns),
                         [](const ::testing::TestParamInfo<FakeRunCase>& info) { return std::string(info.param.label); });

// A JSON report that cannot reach standard output fails the run.
TEST(VkinfoFake, ReportThatCannotBeWrittenEndsWithExitCodeOne)
{
    const std::optional<ProgramRun> run = runIntoFullOutput(
        {"--json"}, {{"LD_LIBRARY_PATH", QLMR_FAKE_VULKAN_DIR}, {"VK_INSTANCE_LAYERS", std::nullopt}});
    if (!run)
        GTEST_SKIP() << "/dev/full is not available";
    EXPECT_EQ(run->exitCode, 1);
    EXPECT_EQ(run->errors, "cannot write the report to standard output\n");
}

// A report redirected into a file under a file size limit (ulimit -f) that
// it outgrows is cut off there: the run says so and fails, rather than
// being killed by the limit's signal without a word.
TEST(VkinfoFake, ReportPastTheFileSizeLimitEndsWithExitCodeOne)
{
    const qlmr::test::TempDir dir;
    qlmr::test::RunOptions options;
    options.separateErrors = true;
    options.outputFile = dir.path() / "report.json";
    options.environment = {{"LD_LIBRARY_PATH", QLMR_FAKE_VULKAN_DIR},
                           {"VK_INSTANCE_LAYERS", std::nullopt},
                           {"QLMR_FAKE_DEVICES", "4"},
                           {"QLMR_FAKE_DEVICE_NAME", std::string(200, 'x')}};
    qlmr::test::RunLimits limits;
    limits.fileBytes = 512;  // the four devices' list needs more
    const ProgramRun run = qlmr::test::runLimited(QLMR_VKINFO_PATH, {"--json"}, limits, options);
    EXPECT_EQ(run.exitCode, 1) << run.errors;
    EXPECT_EQ(run.errors, "cannot write the report to standard output\n");
    const std::vector<std::uint8_t> written = qlmr::test::readFile(options.outputFile.string());
    EXPECT_LE(written.size(), 512u);
    EXPECT_EQ(std::string(written.begin(), written.end()).rfind("{\"api\":\"Vulkan\",\"devices\":[", 0), 0u);
}

} // namespace
