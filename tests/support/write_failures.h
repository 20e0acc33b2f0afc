#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "support/program_run.h"

namespace qlmr::test {

// What a program run left after it could not write some of its images into
// `out`: the images it named on standard error ("cannot write <out>/<name>",
// which must be its only lines there) and the files present in `out`
// (links ignored). A line of any other kind is a fatal failure: call it
// inside ASSERT_NO_FATAL_FAILURE.
struct WriteOutcome {
    std::set<std::string> reported;
    std::set<std::string> written;
};
void readWriteOutcome(const std::string& errors, const std::filesystem::path& out, WriteOutcome& outcome);

// Each of `names` was either reported or written, never both and never
// neither. With `failing` empty some of each; otherwise exactly `failing`
// was reported.
void expectReportedOrWritten(const WriteOutcome& outcome, const std::vector<std::string>& names,
                             const std::set<std::string>& failing);

// Runs `program` in `workingDirectory`, standard error kept apart, writing
// files of at most `fileBytes` each (0 for no limit), as a write-failure
// run does.
ProgramRun runWritingAtMost(const std::string& program, const std::vector<std::string>& args,
                            const std::filesystem::path& workingDirectory, std::uint64_t fileBytes);

// Runs `program` as `options` say, but with its standard output going to
// /dev/full, as onto a full disk, and standard error kept apart. Empty when
// /dev/full is not available.
std::optional<ProgramRun> runIntoFullOutput(const std::string& program, const std::vector<std::string>& args,
                                            RunOptions options);

} // namespace qlmr::test
