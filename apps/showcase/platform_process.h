#pragma once

#include <concepts>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

#include "command_line_words.h"

namespace qlmr {

// Starting the engine programs as child processes (the POSIX side of the
// launcher). A child gets one pipe as both standard output and standard
// error and inherits the launcher's standard input; it is read to end of
// file before it is waited for, without a time limit. It starts with the
// default action for SIGPIPE and SIGXFSZ, which the launcher ignores.

struct ProcessResult {
    int exitCode = -1;   // -1 until the child has run and been waited for
    std::string output;  // standard output and error, interleaved as they arrived
    double seconds = 0.0;
    bool missingProgram = false; // the program file does not exist: it is not installed
    int signal = 0;              // the signal that ended the child; 0 when it exited by itself
};

// Runs exe in workingDirectory with the given arguments. The launcher
// passes absolute paths; a relative one is taken from the launcher's current
// folder, not from the child's working directory.
// The child receives its own file name as its first word and then every
// argument exactly as given, one word each: nothing is joined into a
// command line and split again, so a path holding blanks, quotes or a
// leading dash reaches the child unchanged. A child that cannot be started
// (missing program, bad directory) gives exit code -1 and the output
// "could not start " + the path; when the program file does not exist at
// all, missingProgram is also set.
// A child killed by a signal gives 128 + the signal number, as a shell
// reports it. The exit code is the child's own even when the caller has
// SIGCHLD ignored: that disposition is lifted for the run and restored.
ProcessResult runProcess(const std::filesystem::path& exe, const std::vector<std::string>& arguments,
                         const std::filesystem::path& workingDirectory);

// The same run with the arguments as one text after the program name, such
// as "--out . --width 960 --height 540" or a quoted path with blanks: the
// text is split into words by splitCommandLine, and the child receives them.
template <class ArgumentText>
    requires std::convertible_to<const ArgumentText&, std::string_view>
ProcessResult runProcess(const std::filesystem::path& exe, const ArgumentText& argumentText,
                         const std::filesystem::path& workingDirectory) {
    return runProcess(exe, splitCommandLine(std::string_view(argumentText)), workingDirectory);
}

// Hands the file to the desktop's default application (xdg-open) without
// waiting for it; false when xdg-open could not be started (there is none).
bool openWithDesktop(const std::filesystem::path& file);

} // namespace qlmr
