#pragma once

#include <filesystem>
#include <fstream>
#include <string>

#include "platform_process.h"

namespace qlmr {

// log.txt: one entry per child run with its whole output.

// "==== name (exit N, S.s s)\n" + the output as read + "\n". A child ended
// by a signal (a crash) gets one more line that says so before the final
// "\n": its exit code alone would read like one the program chose.
std::string formatLogEntry(const std::string& name, const ProcessResult& result);

class RunLog {
public:
    // Opens (truncating) the file; a log that cannot be opened drops entries.
    explicit RunLog(const std::filesystem::path& path);
    void append(const std::string& name, const ProcessResult& result);
    // True when the file was open and every entry reached it.
    bool close();

private:
    std::ofstream file;
};

} // namespace qlmr
