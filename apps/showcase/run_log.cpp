#include "run_log.h"

#include <cstring>

#include "report_text.h"

namespace qlmr {

std::string formatLogEntry(const std::string& name, const ProcessResult& result) {
    std::string entry = "==== " + name + " (exit " + std::to_string(result.exitCode) + ", " +
                        formatNumber(result.seconds, 1) + " s)\n" + result.output;
    if (result.signal != 0) {
        if (!entry.empty() && entry.back() != '\n')
            entry += '\n';
        const char* description = strsignal(result.signal);
        entry += "the program was ended by signal " + std::to_string(result.signal) + " (" +
                 (description ? description : "unknown") + ")\n";
    }
    return entry + "\n";
}

RunLog::RunLog(const std::filesystem::path& path) : file(path, std::ios::binary | std::ios::trunc) {}

void RunLog::append(const std::string& name, const ProcessResult& result) {
    if (!file.is_open())
        return;
    const std::string entry = formatLogEntry(name, result);
    file.write(entry.data(), static_cast<std::streamsize>(entry.size()));
    file.flush();
}

bool RunLog::close() {
    if (!file.is_open())
        return false;
    file.close();
    return !file.fail();
}

} // namespace qlmr
