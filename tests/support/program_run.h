#pragma once

#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace qlmr::test {

// How a program under test is started.
struct RunOptions {
    // Where the program runs; empty keeps the test's own working directory.
    std::filesystem::path workingDirectory;
    // Changes to the inherited environment: a value sets the variable,
    // std::nullopt removes it.
    std::map<std::string, std::optional<std::string>> environment;
    // Keeps standard error in ProgramRun::errors instead of mixing it into
    // ProgramRun::output in the order it was written.
    bool separateErrors = false;
    // When set, standard output goes to this file (for example /dev/full)
    // instead of ProgramRun::output.
    std::filesystem::path outputFile;
    // Starts the program with standard output, or standard error, closed,
    // as a shell does for ">&-" and "2>&-".
    bool closedOutput = false;
    bool closedErrors = false;
};

// What a finished program left behind.
struct ProgramRun {
    int exitCode = -1;  // -1 when the program could not start or was killed
    std::string output; // standard output, with standard error unless kept apart
    std::string errors; // standard error, when RunOptions::separateErrors is set
};

// Runs `program` (a path; PATH is not searched) with `args` and waits for it,
// reading everything it writes. Standard input is the test's own.
ProgramRun runProgram(const std::string& program, const std::vector<std::string>& args,
                      const RunOptions& options = {});

} // namespace qlmr::test
