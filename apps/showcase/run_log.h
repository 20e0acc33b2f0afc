#pragma once

#include <filesystem>
#include <fstream>
#include <string>

#include "platform_process.h"

namespace qlmr {

// log.txt: one entry per child run with its whole output.

// "==== name (exit N, S.s s)\n" + the output as read + "\n".
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
