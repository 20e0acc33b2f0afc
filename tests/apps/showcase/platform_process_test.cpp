#include <gtest/gtest.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fstream>

#include <sys/stat.h>

#include "console_report.h"
#include "platform_process.h"
#include "report_text.h"
#include "run_log.h"
#include "support/test_support.h"

namespace qlmr {
namespace {

namespace fs = std::filesystem;

class ProcessRunner : public ::testing::Test {
protected:
    test::TempDir dir;
    const fs::path shell = "/bin/sh";
};

TEST_F(ProcessRunner, ReturnsExitCodesAndOutput) {
    for (int code : {0, 1, 3, 255}) {
        const ProcessResult result =
            runProcess(shell, {"-c", "echo hello; exit " + std::to_string(code)}, dir.path());
        EXPECT_EQ(result.exitCode, code);
        EXPECT_EQ(result.output, "hello\n");
        EXPECT_GE(result.seconds, 0.0);
    }
}

TEST_F(ProcessRunner, ASignalledChildReportsLikeAShell) {
    const ProcessResult result = runProcess(shell, {"-c", "kill -9 $$"}, dir.path());
    EXPECT_EQ(result.exitCode, 128 + 9);
    EXPECT_EQ(result.signal, 9);
    // A program that chose the same exit code was not ended by a signal.
    EXPECT_EQ(runProcess(shell, {"-c", "exit 137"}, dir.path()).signal, 0);
}

void ignoreChildSignal(int) {}

// A caller may have SIGCHLD ignored, or a handler that asks the kernel to
// reap children (both survive exec, so a launcher can start that way): the
// children's own exit codes still arrive, and the caller keeps its setting.
TEST_F(ProcessRunner, ExitCodesArriveWhateverTheCallerDoesWithChildSignals) {
    struct sigaction ignored {};
    ignored.sa_handler = SIG_IGN;
    struct sigaction reaping {};
    reaping.sa_handler = ignoreChildSignal;
    reaping.sa_flags = SA_NOCLDWAIT;
    for (const struct sigaction& disposition : {ignored, reaping}) {
        struct sigaction before {};
        ASSERT_EQ(sigaction(SIGCHLD, &disposition, &before), 0);
        std::vector<int> codes;
        for (int code : {0, 3})
            codes.push_back(runProcess(shell, {"-c", "exit " + std::to_string(code)}, dir.path()).exitCode);
        struct sigaction after {};
        sigaction(SIGCHLD, &before, &after);
        EXPECT_EQ(codes, (std::vector<int>{0, 3})) << disposition.sa_flags;
        EXPECT_EQ(after.sa_handler, disposition.sa_handler);
        EXPECT_EQ(after.sa_flags & SA_NOCLDWAIT, disposition.sa_flags & SA_NOCLDWAIT);
    }
}

// The launcher ignores SIGPIPE (its console) and SIGXFSZ (its report
// files); its children still start with the default actions, so these
// signals end them as they would from a shell.
TEST_F(ProcessRunner, ChildrenStartWithTheDefaultPipeAndFileSizeSignals) {
    for (const int signal : {SIGPIPE, SIGXFSZ}) {
        const auto previous = std::signal(signal, SIG_IGN);
        const ProcessResult result =
            runProcess(shell, {"-c", "kill -" + std::to_string(signal) + " $$; echo survived"}, dir.path());
        std::signal(signal, previous);
        EXPECT_EQ(result.signal, signal) << result.output;
        EXPECT_EQ(result.output, "");
    }
}

// So does the desktop opener, and the browser it starts. The fake opener
// writes the exit status of a shell that sent itself SIGPIPE into a FIFO;
// the test's read waits for it.
TEST_F(ProcessRunner, TheDesktopOpenerStartsWithTheDefaultPipeSignal) {
    const fs::path tools = dir.path() / "tools";
    fs::create_directories(tools);
    const fs::path answer = dir.path() / "answer";
    ASSERT_EQ(mkfifo(answer.c_str(), 0600), 0);
    {
        std::ofstream script(tools / "xdg-open", std::ios::binary);
        script << "#!/bin/sh\n" << shell.string() << " -c 'kill -PIPE $$'\necho $? > '" << answer.string() << "'\n";
    }
    fs::permissions(tools / "xdg-open", fs::perms::owner_all);
    const char* inherited = std::getenv("PATH");
    const std::string path = inherited ? inherited : "";
    setenv("PATH", tools.c_str(), 1);
    const auto previous = std::signal(SIGPIPE, SIG_IGN);
    const bool started = openWithDesktop(dir.path() / "index.html");
    std::signal(SIGPIPE, previous);
    setenv("PATH", path.c_str(), 1);
    ASSERT_TRUE(started);
    std::ifstream reply(answer);
    std::string status;
    std::getline(reply, status);
    EXPECT_EQ(status, std::to_string(128 + SIGPIPE));
}

TEST_F(ProcessRunner, StandardOutputAndErrorShareOnePipeInOrder) {
    const ProcessResult result =
        runProcess(shell, {"-c", "echo one; echo two 1>&2; printf 'three\\r\\n'; echo four 1>&2"}, dir.path());
    EXPECT_EQ(result.output, "one\ntwo\nthree\r\nfour\n");
}

TEST_F(ProcessRunner, LongOutputIsReadToTheEndUnchanged) {
    // Far more than a pipe buffer in one burst, with CRs, before the exit.
    const ProcessResult result =
        runProcess(shell,
                   {"-c", "i=0; while [ $i -lt 20000 ]; do printf 'line %05d\\r\\n' $i; i=$((i+1)); done; exit 7"},
                   dir.path());
    EXPECT_EQ(result.exitCode, 7);
    ASSERT_EQ(result.output.size(), 20000u * 12u);
    EXPECT_EQ(result.output.substr(0, 12), "line 00000\r\n");
    EXPECT_EQ(result.output.substr(result.output.size() - 12), "line 19999\r\n");
    EXPECT_EQ(splitLines(result.output).size(), 20000u);
}

TEST_F(ProcessRunner, EveryArgumentReachesTheChildAsOneWordUnchanged) {
    const fs::path work = dir.path() / "work dir";
    fs::create_directories(work);
    // Nothing is joined into a command line and split again: blanks, quotes,
    // backslashes, a leading dash and empty words all arrive as given.
    const std::vector<std::string> arguments = {
        "--sprite", "../assets/a b.png", "a\" --width \"7", "-leading dash", "", "say \"hi\"", "tail\\x\\",
        "'single'", "*", "$HOME"};
    const ProcessResult result = runProcess(QLMR_PRINT_ARGS_PROGRAM, arguments, work);
    EXPECT_EQ(result.exitCode, 0);
    std::string expected = "cwd " + fs::canonical(work).string() + "\n<" +
                           fs::path(QLMR_PRINT_ARGS_PROGRAM).filename().string() + ">\n";
    for (const std::string& argument : arguments)
        expected += "<" + argument + ">\n";
    EXPECT_EQ(result.output, expected);
}

TEST_F(ProcessRunner, AnArgumentTextReachesTheChildAsItsWords) {
    const fs::path work = dir.path() / "work dir";
    fs::create_directories(work);
    const std::string helper = "<" + fs::path(QLMR_PRINT_ARGS_PROGRAM).filename().string() + ">\n";
    const std::string cwd = "cwd " + fs::canonical(work).string() + "\n";
    const ProcessResult none = runProcess(QLMR_PRINT_ARGS_PROGRAM, "", work);
    EXPECT_EQ(none.exitCode, 0);
    EXPECT_EQ(none.output, cwd + helper);
    const std::string text = "--sprite \"../assets/a b.png\" --runs 20 --out .";
    const ProcessResult words = runProcess(QLMR_PRINT_ARGS_PROGRAM, text, work);
    EXPECT_EQ(words.exitCode, 0);
    EXPECT_EQ(words.output, cwd + helper + "<--sprite>\n<../assets/a b.png>\n<--runs>\n<20>\n<--out>\n<.>\n");
    const ProcessResult missing = runProcess(dir.path() / "no-such-program", "--x", work);
    EXPECT_EQ(missing.exitCode, -1);
    EXPECT_EQ(missing.output, "could not start " + (dir.path() / "no-such-program").string());
}

TEST_F(ProcessRunner, TheEnvironmentIsInherited) {
    setenv("QLMR_HELPER_EXIT", "42", 1);
    const ProcessResult result = runProcess(QLMR_PRINT_ARGS_PROGRAM, {}, dir.path());
    unsetenv("QLMR_HELPER_EXIT");
    EXPECT_EQ(result.exitCode, 42);
}

TEST_F(ProcessRunner, AProgramThatCannotStartGivesMinusOneAndItsPath) {
    // A program that is not there, one that is there but is no program,
    // and a working directory that does not exist: none of them starts,
    // and the output names the program.
    const fs::path missing = dir.path() / "no-such-program";
    const fs::path plain = dir.path() / "plain.txt";
    std::ofstream(plain) << "echo hi\n";
    const fs::path garbage = dir.path() / "garbage";
    const char notAProgram[] = "\x7f" "ELF\x01\x02 not a program";
    std::ofstream(garbage, std::ios::binary) << std::string(notAProgram, sizeof notAProgram - 1);
    fs::permissions(garbage, fs::perms::owner_all);
    struct Case {
        fs::path program;
        fs::path workingDirectory;
        bool missingProgram;
    };
    for (const Case& c : {Case{missing, dir.path(), true}, Case{plain, dir.path(), false},
                          Case{garbage, dir.path(), false}, Case{shell, dir.path() / "missing-dir", false}}) {
        const ProcessResult result = runProcess(c.program, {"--x"}, c.workingDirectory);
        EXPECT_EQ(result.exitCode, -1) << c.program;
        EXPECT_EQ(result.missingProgram, c.missingProgram) << c.program;
        EXPECT_EQ(result.output, "could not start " + c.program.string());
    }
}

// A relative program path names the file seen from the caller's current
// folder, whatever working directory the child gets: "bin/prog" in the
// caller's folder runs, a "bin/prog" that only the child's folder holds
// does not.
TEST_F(ProcessRunner, ARelativeProgramPathIsTakenFromTheCallersFolder) {
    const fs::path caller = dir.path() / "caller";
    const fs::path child = dir.path() / "child";
    for (const fs::path& folder : {caller, child})
        fs::create_directories(folder / "bin");
    const auto writeScript = [](const fs::path& path, const std::string& word) {
        std::ofstream(path) << "#!/bin/sh\necho " << word << "\n";
        fs::permissions(path, fs::perms::owner_all);
    };
    writeScript(caller / "bin" / "prog", "caller");
    writeScript(child / "bin" / "prog", "child");
    writeScript(child / "bin" / "only-in-child", "child");

    struct CurrentFolder {
        explicit CurrentFolder(const fs::path& folder) : saved(fs::current_path()) { fs::current_path(folder); }
        ~CurrentFolder() { fs::current_path(saved); }
        fs::path saved;
    } inCaller(caller);

    const ProcessResult found = runProcess("bin/prog", std::vector<std::string>{}, child);
    EXPECT_EQ(found.exitCode, 0) << found.output;
    EXPECT_EQ(found.output, "caller\n");

    const ProcessResult missing = runProcess("bin/only-in-child", std::vector<std::string>{}, child);
    EXPECT_EQ(missing.exitCode, -1);
    EXPECT_TRUE(missing.missingProgram);
    EXPECT_EQ(missing.output, "could not start bin/only-in-child");
}

TEST_F(ProcessRunner, LogEntriesHoldTheHeaderAndTheOutputUnchanged) {
    const fs::path logPath = dir.path() / "log.txt";
    {
        RunLog log(logPath);
        log.append("shell", runProcess(shell, {"-c", "printf 'a\\r\\nb'; exit 2"}, dir.path()));
        log.append("missing", runProcess(dir.path() / "absent", {}, dir.path()));
        log.close();
    }
    const std::vector<std::uint8_t> bytes = test::readFile(logPath.string());
    const std::string text(bytes.begin(), bytes.end());
    const std::string first = "==== shell (exit 2, ";
    ASSERT_EQ(text.rfind(first, 0), 0u) << text;
    EXPECT_NE(text.find(" s)\na\r\nb\n==== missing (exit -1, "), std::string::npos) << text;
    const std::string missingEntry = " s)\ncould not start " + (dir.path() / "absent").string() + "\n";
    EXPECT_EQ(text.rfind(missingEntry), text.size() - missingEntry.size()) << text;

    ProcessResult made;
    made.exitCode = 0;
    made.seconds = 0.43;
    made.output = "GPU 0: x\n";
    EXPECT_EQ(formatLogEntry("vkinfo", made), "==== vkinfo (exit 0, 0.4 s)\nGPU 0: x\n\n");

    // A crash is named as one, after whatever the child printed.
    const ProcessResult crashed = runProcess(shell, {"-c", "printf 'half a line'; kill -SEGV $$"}, dir.path());
    EXPECT_EQ(formatLogEntry("pixelart", crashed),
              "==== pixelart (exit 139, " + formatNumber(crashed.seconds, 1) +
                  " s)\nhalf a line\nthe program was ended by signal 11 (" + strsignal(SIGSEGV) + ")\n\n");
}

} // namespace
} // namespace qlmr
