#pragma once

#include <filesystem>
#include <string>
#include <vector>

namespace qlmr {

// The launcher's command line.

inline constexpr const char* kLauncherUsage =
    "usage: \"QLMR Showcase\" [--cpu] [--no-open] [--engine DIR] [--assets DIR] [--out DIR]\n";

struct LauncherOptions {
    bool cpuOnly = false;
    bool openReport = true;
    // Empty until given; made absolute against the current directory.
    std::filesystem::path engineDirectory;
    std::filesystem::path assetsDirectory;
    std::filesystem::path reportDirectory;
};

struct ParsedLauncherOptions {
    LauncherOptions options;
    bool showUsage = false; // a word the launcher does not know
};

// Words from the first argument on. A directory option as the last word
// leaves that directory empty, so the default applies; a later option of
// the same kind overrides an earlier one.
ParsedLauncherOptions parseLauncherOptions(const std::vector<std::string>& words,
                                           const std::filesystem::path& currentDirectory);

// engine-avx2 or engine-sse2 beside the launcher when it holds qlmr-sdna,
// otherwise the launcher's own directory.
std::filesystem::path defaultEngineDirectory(const std::filesystem::path& launcherDirectory, bool avx2);

} // namespace qlmr
