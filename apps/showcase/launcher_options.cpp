#include "launcher_options.h"

namespace qlmr {

ParsedLauncherOptions parseLauncherOptions(const std::vector<std::string>& words,
                                           const std::filesystem::path& currentDirectory) {
    ParsedLauncherOptions parsed;
    LauncherOptions& options = parsed.options;
    std::size_t i = 0;
    auto absolutePathArg = [&]() -> std::filesystem::path {
        if (i + 1 >= words.size())
            return {};
        ++i;
        const std::filesystem::path word(words[i]);
        return word.is_absolute() ? word : currentDirectory / word;
    };
    for (; i < words.size(); ++i) {
        const std::string& word = words[i];
        if (word == "--cpu") {
            options.cpuOnly = true;
        } else if (word == "--no-open") {
            options.openReport = false;
        } else if (word == "--engine") {
            options.engineDirectory = absolutePathArg();
        } else if (word == "--assets") {
            options.assetsDirectory = absolutePathArg();
        } else if (word == "--out") {
            options.reportDirectory = absolutePathArg();
        } else {
            parsed.showUsage = true;
            return parsed;
        }
    }
    return parsed;
}

std::filesystem::path defaultEngineDirectory(const std::filesystem::path& launcherDirectory, bool avx2) {
    const std::filesystem::path candidate = launcherDirectory / (avx2 ? "engine-avx2" : "engine-sse2");
    std::error_code error;
    if (std::filesystem::exists(candidate / "qlmr-sdna", error))
        return candidate;
    return launcherDirectory;
}

} // namespace qlmr
