#pragma once

#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

namespace qlmr {

// Starting the engine programs as child processes (the POSIX side of the
// launcher). A child gets one pipe as both standard output and standard
// error and inherits the launcher's standard input; it is read to end of
// file before it is waited for, without a time limit.

struct ProcessResult {
    int exitCode = -1;   // -1 until the child has run and been waited for
    std::string output;  // standard output and error, interleaved as they arrived
    double seconds = 0.0;
};

// Splits a command line into words with the usual Windows rules, so the
// launcher's command lines mean the same on every platform: blanks and tabs
// separate words outside double quotes; 2n backslashes before a quote give
// n backslashes and the quote opens or closes quoting, 2n+1 give n and a
// literal quote; other backslashes are literal; inside quotes "" is a quote.
std::vector<std::string> splitCommandLine(std::string_view commandLine);

// Runs exe (an absolute path) with the command line "\"" + its file name +
// "\" " + arguments, in workingDirectory. A child that cannot be started
// (missing program, bad directory) gives exit code -1 and the output
// "could not start " + the path. A child killed by a signal gives 128 + the
// signal number, as a shell reports it.
ProcessResult runProcess(const std::filesystem::path& exe, const std::string& arguments,
                         const std::filesystem::path& workingDirectory);

// Hands the file to the desktop's default application (xdg-open) without
// waiting for it; does nothing when there is no xdg-open.
void openWithDesktop(const std::filesystem::path& file);

} // namespace qlmr
