#include "support/write_failures.h"

#include <gtest/gtest.h>

#include "support/limited_run.h"
#include "support/test_support.h"

namespace qlmr::test {

void readWriteOutcome(const std::string& errors, const std::filesystem::path& out, WriteOutcome& outcome)
{
    const std::string prefix = "cannot write " + out.string() + "/";
    for (const std::string& line : lines(errors)) {
        ASSERT_EQ(line.rfind(prefix, 0), 0u) << line;
        outcome.reported.insert(line.substr(prefix.size()));
    }
    for (const auto& entry : std::filesystem::directory_iterator(out))
        if (!entry.is_symlink())
            outcome.written.insert(entry.path().filename().string());
}

void expectReportedOrWritten(const WriteOutcome& outcome, const std::vector<std::string>& names,
                             const std::set<std::string>& failing)
{
    for (const std::string& name : names)
        EXPECT_NE(outcome.reported.count(name), outcome.written.count(name)) << name;
    EXPECT_EQ(outcome.reported.size() + outcome.written.size(), names.size());
    if (failing.empty()) {
        EXPECT_FALSE(outcome.written.empty());
        EXPECT_FALSE(outcome.reported.empty());
    } else {
        EXPECT_EQ(outcome.reported, failing);
    }
}

ProgramRun runWritingAtMost(const std::string& program, const std::vector<std::string>& args,
                            const std::filesystem::path& workingDirectory, std::uint64_t fileBytes)
{
    RunOptions options;
    options.workingDirectory = workingDirectory;
    options.separateErrors = true;
    RunLimits limits;
    limits.fileBytes = fileBytes;
    return runLimited(program, args, limits, options);
}

std::optional<ProgramRun> runIntoFullOutput(const std::string& program, const std::vector<std::string>& args,
                                            RunOptions options)
{
    if (!std::filesystem::exists("/dev/full"))
        return std::nullopt;
    options.separateErrors = true;
    options.outputFile = "/dev/full";
    return runProgram(program, args, options);
}

} // namespace qlmr::test
