#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>

#include "console_report.h"
#include "platform_process.h"
#include "run_log.h"
#include "support/test_support.h"

namespace qlmr {
namespace {

namespace fs = std::filesystem;

struct SplitCase {
    const char* line;
    std::vector<std::string> words;
};

TEST(CommandLine, SplitFollowsTheQuotingRules) {
    const SplitCase cases[] = {
        {"", {}},
        {"   ", {}},
        {"a b\tc", {"a", "b", "c"}},
        {"  lead  trail  ", {"lead", "trail"}},
        {"\"qlmr-demo\" --out . --width 960", {"qlmr-demo", "--out", ".", "--width", "960"}},
        {"--load \"../../assets/my critter.qlmr\" --out .", {"--load", "../../assets/my critter.qlmr", "--out", "."}},
        {"a\"b c\"d", {"ab cd"}},
        {"\"\"", {""}},
        {"x \"\" y", {"x", "", "y"}},
        {"a\\b\\\\c", {"a\\b\\\\c"}},                 // backslashes without a quote are literal
        {"\\\"quoted\\\"", {"\"quoted\""}},           // \" is a quote character
        {"\"a\\\\\" b", {"a\\", "b"}},                 // \\" is a backslash and the closing quote
        {"\"a\\\\\\\" b\"", {"a\\\" b"}},              // \\\" is a backslash and a quote character
        {"\"say \"\"hi\"\"\"", {"say \"hi\""}},       // "" inside quotes is one quote
        {"\"open to the end", {"open to the end"}},
    };
    for (const SplitCase& c : cases)
        EXPECT_EQ(splitCommandLine(c.line), c.words) << c.line;
}

class ProcessRunner : public ::testing::Test {
protected:
    test::TempDir dir;
    const fs::path shell = "/bin/sh";
};

TEST_F(ProcessRunner, ReturnsExitCodesAndOutput) {
    for (int code : {0, 1, 3, 255}) {
        const ProcessResult result =
            runProcess(shell, "-c \"echo hello; exit " + std::to_string(code) + "\"", dir.path());
        EXPECT_EQ(result.exitCode, code);
        EXPECT_EQ(result.output, "hello\n");
        EXPECT_GE(result.seconds, 0.0);
    }
}

TEST_F(ProcessRunner, ASignalledChildReportsLikeAShell) {
    const ProcessResult result = runProcess(shell, "-c \"kill -9 $$\"", dir.path());
    EXPECT_EQ(result.exitCode, 128 + 9);
}

TEST_F(ProcessRunner, StandardOutputAndErrorShareOnePipeInOrder) {
    const ProcessResult result =
        runProcess(shell, "-c \"echo one; echo two 1>&2; printf 'three\\r\\n'; echo four 1>&2\"", dir.path());
    EXPECT_EQ(result.output, "one\ntwo\nthree\r\nfour\n");
}

TEST_F(ProcessRunner, LongOutputIsReadToTheEndUnchanged) {
    // Far more than a pipe buffer in one burst, with CRs, before the exit.
    const ProcessResult result =
        runProcess(shell, "-c \"i=0; while [ $i -lt 20000 ]; do printf 'line %05d\\r\\n' $i; i=$((i+1)); done; exit 7\"",
                   dir.path());
    EXPECT_EQ(result.exitCode, 7);
    ASSERT_EQ(result.output.size(), 20000u * 12u);
    EXPECT_EQ(result.output.substr(0, 12), "line 00000\r\n");
    EXPECT_EQ(result.output.substr(result.output.size() - 12), "line 19999\r\n");
    EXPECT_EQ(splitLines(result.output).size(), 20000u);
}

TEST_F(ProcessRunner, ChildGetsItsFileNameQuotedArgumentsAndWorkingDirectory) {
    const fs::path work = dir.path() / "work dir";
    fs::create_directories(work);
    const ProcessResult result = runProcess(
        QLMR_PRINT_ARGS_PROGRAM, "--sprite \"../assets/a b.png\" plain \"say \\\"hi\\\"\" \"\" tail\\\\x", work);
    EXPECT_EQ(result.exitCode, 0);
    const std::string name = fs::path(QLMR_PRINT_ARGS_PROGRAM).filename().string();
    EXPECT_EQ(result.output, "cwd " + fs::canonical(work).string() + "\n<" + name +
                                 ">\n<--sprite>\n<../assets/a b.png>\n<plain>\n<say \"hi\">\n<>\n<tail\\\\x>\n");
}

TEST_F(ProcessRunner, TheEnvironmentIsInherited) {
    setenv("QLMR_HELPER_EXIT", "42", 1);
    const ProcessResult result = runProcess(QLMR_PRINT_ARGS_PROGRAM, "", dir.path());
    unsetenv("QLMR_HELPER_EXIT");
    EXPECT_EQ(result.exitCode, 42);
}

TEST_F(ProcessRunner, AProgramThatCannotStartGivesMinusOneAndAMessage) {
    const fs::path missing = dir.path() / "no-such-program";
    ProcessResult result = runProcess(missing, "--x", dir.path());
    EXPECT_EQ(result.exitCode, -1);
    EXPECT_EQ(result.output, "could not start " + missing.string());

    // Not executable.
    const fs::path plain = dir.path() / "plain.txt";
    std::ofstream(plain) << "echo hi\n";
    result = runProcess(plain, "", dir.path());
    EXPECT_EQ(result.exitCode, -1);
    EXPECT_EQ(result.output, "could not start " + plain.string());

    // A working directory that does not exist.
    result = runProcess(shell, "-c \"echo hi\"", dir.path() / "missing-dir");
    EXPECT_EQ(result.exitCode, -1);
    EXPECT_EQ(result.output, "could not start /bin/sh");
}

TEST_F(ProcessRunner, LogEntriesHoldTheHeaderAndTheOutputUnchanged) {
    const fs::path logPath = dir.path() / "log.txt";
    {
        RunLog log(logPath);
        log.append("shell", runProcess(shell, "-c \"printf 'a\\r\\nb'; exit 2\"", dir.path()));
        log.append("missing", runProcess(dir.path() / "absent", "", dir.path()));
        log.close();
    }
    const std::vector<std::uint8_t> bytes = test::readFile(logPath.string());
    const std::string text(bytes.begin(), bytes.end());
    const std::string first = "==== shell (exit 2, ";
    ASSERT_EQ(text.rfind(first, 0), 0u) << text;
    EXPECT_NE(text.find(" s)\na\r\nb\n==== missing (exit -1, "), std::string::npos) << text;
    EXPECT_NE(text.find(" s)\ncould not start " + (dir.path() / "absent").string() + "\n"), std::string::npos);

    ProcessResult made;
    made.exitCode = 0;
    made.seconds = 0.43;
    made.output = "GPU 0: x\n";
    EXPECT_EQ(formatLogEntry("vkinfo", made), "==== vkinfo (exit 0, 0.4 s)\nGPU 0: x\n\n");
}

} // namespace
} // namespace qlmr
