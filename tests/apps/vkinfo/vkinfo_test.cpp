// qlmr-vkinfo as a user runs it: on the machine's Vulkan devices, under the
// validation layer, without a driver, and on the fake loader (put first on
// LD_LIBRARY_PATH) for the devices no real driver offers.
#include "support/test_support.h"

#include <gtest/gtest.h>

#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <cstring>
#include <map>
#include <regex>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

extern char** environ;

namespace {

struct ProgramRun {
    int exitCode = -1;
    std::string output;  // standard output and standard error together
};

// Runs qlmr-vkinfo with the given arguments and environment changes
// (a value of null removes the variable).
ProgramRun runVkinfo(const std::vector<std::string>& args, const std::map<std::string, const char*>& env = {})
{
    std::vector<std::string> environment;
    for (char** e = environ; *e; ++e) {
        const std::string entry = *e;
        const std::string name = entry.substr(0, entry.find('='));
        if (!env.count(name))
            environment.push_back(entry);
    }
    for (const auto& [name, value] : env)
        if (value)
            environment.push_back(name + "=" + value);

    std::vector<char*> argv;
    std::string program = QLMR_VKINFO_PATH;
    argv.push_back(program.data());
    std::vector<std::string> argsCopy = args;
    for (std::string& a : argsCopy)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    std::vector<char*> envp;
    for (std::string& e : environment)
        envp.push_back(e.data());
    envp.push_back(nullptr);

    int pipeEnds[2];
    if (pipe(pipeEnds) != 0)
        return {};
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, pipeEnds[1], 1);
    posix_spawn_file_actions_adddup2(&actions, pipeEnds[1], 2);
    posix_spawn_file_actions_addclose(&actions, pipeEnds[0]);
    pid_t pid = 0;
    const int spawned = posix_spawn(&pid, program.c_str(), &actions, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    close(pipeEnds[1]);
    ProgramRun run;
    char chunk[4096];
    ssize_t n = 0;
    while ((n = read(pipeEnds[0], chunk, sizeof chunk)) > 0)
        run.output.append(chunk, static_cast<std::size_t>(n));
    close(pipeEnds[0]);
    if (spawned != 0)
        return run;
    int status = 0;
    waitpid(pid, &status, 0);
    run.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return run;
}

std::vector<std::string> lines(const std::string& text)
{
    std::vector<std::string> out;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        out.push_back(line);
    return out;
}

// ---- a strict JSON reader that keeps the order of object keys --------------

struct Json {
    enum class Type { Null, Bool, Number, String, Array, Object } type = Type::Null;
    std::string text;  // string value, or the number's digits
    std::vector<Json> items;
    std::vector<std::pair<std::string, Json>> members;

    std::vector<std::string> keys() const
    {
        std::vector<std::string> k;
        for (const auto& m : members)
            k.push_back(m.first);
        return k;
    }
    const Json& operator[](const std::string& key) const
    {
        for (const auto& m : members)
            if (m.first == key)
                return m.second;
        static const Json missing;
        return missing;
    }
};

class JsonReader {
public:
    explicit JsonReader(const std::string& text) : s(text) {}

    bool parse(Json& out)
    {
        if (!value(out))
            return false;
        return pos == s.size();
    }

private:
    bool value(Json& out)
    {
        if (pos >= s.size())
            return false;
        const char c = s[pos];
        if (c == '{')
            return object(out);
        if (c == '[')
            return array(out);
        if (c == '"') {
            out.type = Json::Type::String;
            return string(out.text);
        }
        if (c == '-' || std::isdigit(static_cast<unsigned char>(c)))
            return number(out);
        for (const char* word : {"true", "false", "null"}) {
            if (s.compare(pos, std::strlen(word), word) == 0) {
                out.type = word[0] == 'n' ? Json::Type::Null : Json::Type::Bool;
                out.text = word;
                pos += std::strlen(word);
                return true;
            }
        }
        return false;
    }
    bool object(Json& out)
    {
        out.type = Json::Type::Object;
        ++pos;
        if (peek('}'))
            return ++pos, true;
        for (;;) {
            std::string key;
            if (!peek('"') || !string(key) || !peek(':'))
                return false;
            ++pos;
            Json member;
            if (!value(member))
                return false;
            out.members.emplace_back(key, std::move(member));
            if (peek('}'))
                return ++pos, true;
            if (!peek(','))
                return false;
            ++pos;
        }
    }
    bool array(Json& out)
    {
        out.type = Json::Type::Array;
        ++pos;
        if (peek(']'))
            return ++pos, true;
        for (;;) {
            Json item;
            if (!value(item))
                return false;
            out.items.push_back(std::move(item));
            if (peek(']'))
                return ++pos, true;
            if (!peek(','))
                return false;
            ++pos;
        }
    }
    bool string(std::string& out)
    {
        ++pos;
        while (pos < s.size() && s[pos] != '"') {
            const auto c = static_cast<unsigned char>(s[pos]);
            if (c < 0x20)
                return false;  // control bytes must be escaped
            if (c != '\\') {
                out += s[pos++];
                continue;
            }
            if (++pos >= s.size())
                return false;
            const char e = s[pos++];
            if (e == 'u') {
                if (pos + 4 > s.size())
                    return false;
                const std::string hex = s.substr(pos, 4);
                for (char h : hex)
                    if (!std::isxdigit(static_cast<unsigned char>(h)))
                        return false;
                const unsigned long code = std::strtoul(hex.c_str(), nullptr, 16);
                if (code >= 0x80)
                    return false;  // the program only escapes control bytes
                out += static_cast<char>(code);
                pos += 4;
            } else if (e == '"' || e == '\\' || e == '/') {
                out += e;
            } else {
                return false;
            }
        }
        if (pos >= s.size())
            return false;
        ++pos;
        return true;
    }
    bool number(Json& out)
    {
        out.type = Json::Type::Number;
        const std::size_t start = pos;
        if (s[pos] == '-')
            ++pos;
        while (pos < s.size() && std::isdigit(static_cast<unsigned char>(s[pos])))
            ++pos;
        out.text = s.substr(start, pos - start);
        return pos > start && out.text != "-";
    }
    bool peek(char c) const { return pos < s.size() && s[pos] == c; }

    std::string s;
    std::size_t pos = 0;
};

Json parseJsonLine(const std::string& output)
{
    Json json;
    EXPECT_EQ(std::count(output.begin(), output.end(), '\n'), 1) << output;
    EXPECT_FALSE(output.empty());
    if (output.empty() || output.back() != '\n')
        return json;
    JsonReader reader(output.substr(0, output.size() - 1));
    EXPECT_TRUE(reader.parse(json)) << output;
    return json;
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
            EXPECT_NE(device[key].text.front(), '-') << key;
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
                                           {"VK_INSTANCE_LAYERS", nullptr}});
        EXPECT_EQ(run.exitCode, 1);
        const std::vector<std::string> out = lines(run.output);
        ASSERT_FALSE(out.empty());
        // The loader may warn on standard error; the report is the last line.
        EXPECT_EQ(out.back().rfind("Vulkan unavailable: ", 0), 0u) << run.output;
        EXPECT_GT(out.back().size(), std::strlen("Vulkan unavailable: "));
    }
}

// ---- on the fake loader -----------------------------------------------------

ProgramRun runOnFake(const std::vector<std::string>& args, std::map<std::string, const char*> env = {})
{
    env["LD_LIBRARY_PATH"] = QLMR_FAKE_VULKAN_DIR;
    env["VK_INSTANCE_LAYERS"] = nullptr;
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

TEST(VkinfoFake, DeviceWithoutTimestampsFailsUnderItsLine)
{
    const ProgramRun run = runOnFake({}, {{"QLMR_FAKE_TIMESTAMP_BITS", "0"}});
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_EQ(run.output,
              "GPU 0: Fake GPU 0 (discrete), Vulkan 1.2.3, subgroup 32, max workgroup 1024, compute yes\n"
              "  device: no compute queue with timestamps\n");
}

TEST(VkinfoFake, WrongWordsAreAMismatchAndZeroTimeIsInfiniteRate)
{
    // The fake runs no kernel, so the buffer comes back zero; its query pool
    // cannot be read, so the GPU time is 0.
    const ProgramRun run = runOnFake({"x"}, {{"QLMR_FAKE_QUERY_RESULT", "1"}});
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_EQ(run.output,
              "GPU 0: Fake GPU 0 (discrete), Vulkan 1.2.3, subgroup 32, max workgroup 1024, compute yes\n"
              "  smoke rounds=0  : MISMATCH, 0.000 ms GPU\n"
              "  smoke rounds=256: MISMATCH, 0.000 ms GPU, ~inf G int-ops/s\n");
}

TEST(VkinfoFake, FailedRunEndsTheDevicesPasses)
{
    const ProgramRun run = runOnFake({}, {{"QLMR_FAKE_FAIL_CALL", "vkCreateComputePipelines"}});
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_EQ(run.output,
              "GPU 0: Fake GPU 0 (discrete), Vulkan 1.2.3, subgroup 32, max workgroup 1024, compute yes\n"
              "  compute: vkCreateComputePipelines failed (VkResult -2)\n");
}

TEST(VkinfoFake, EveryDeviceIsReportedAfterAFailure)
{
    const ProgramRun run = runOnFake({}, {{"QLMR_FAKE_DEVICES", "2"}, {"QLMR_FAKE_TIMESTAMP_BITS", "0"}});
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_EQ(run.output,
              "GPU 0: Fake GPU 0 (discrete), Vulkan 1.2.3, subgroup 32, max workgroup 1024, compute yes\n"
              "  device: no compute queue with timestamps\n"
              "GPU 1: Fake GPU 1 (discrete), Vulkan 1.2.4, subgroup 32, max workgroup 1024, compute yes\n"
              "  device: no compute queue with timestamps\n");
}

TEST(VkinfoFake, OldLoaderIsUnavailableInBothModes)
{
    for (const char* mode : {"--json", "--text"}) {
        const ProgramRun run = runOnFake({mode}, {{"QLMR_FAKE_INSTANCE_VERSION", "4194304"}});
        EXPECT_EQ(run.exitCode, 1);
        EXPECT_EQ(run.output, "Vulkan unavailable: Vulkan 1.1 instance required\n");
    }
}

TEST(VkinfoFake, NoDevicesIsUnavailable)
{
    const ProgramRun run = runOnFake({"--json"}, {{"QLMR_FAKE_DEVICES", "0"}});
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_EQ(run.output, "Vulkan unavailable: no Vulkan devices\n");
}

} // namespace
