#pragma once

#include <filesystem>
#include <optional>
#include <string>

#include "machine_probe.h"
#include "report_files.h"
#include "run_log.h"

namespace qlmr {

// The four chapters of the showcase. Each one starts its engine programs in
// its own directory under the report's work directory, reads their console
// lines, turns their PNG images into pictures in the report directory and
// fills its Chapter record.

struct ChapterEnvironment {
    std::filesystem::path engineDirectory;
    std::filesystem::path assetsDirectory;
    std::filesystem::path reportDirectory;
    std::filesystem::path workDirectory; // reportDirectory / "work"
    RunLog* log = nullptr;
    std::optional<DetectedGpu> gpu;      // the chosen graphics card, if any
};

// The engine program of that name in the engine directory.
std::filesystem::path enginePath(const ChapterEnvironment& environment, const std::string& name);

// The asset's path relative to the child's working directory (both paths
// absolute), as one argument word. A path that would begin with '-' gets
// "./" in front, so no child can read it as an option.
std::string assetPathArgument(const std::filesystem::path& asset, const std::filesystem::path& workDirectory);

// Each fills chapter (whose key is set) from runs in chapterDirectory.
void runTerrainChapter(const ChapterEnvironment& environment, const std::filesystem::path& chapterDirectory,
                       Chapter& chapter);
void runCreatureChapter(const ChapterEnvironment& environment, const std::filesystem::path& chapterDirectory,
                        Chapter& chapter);
void runPixelsChapter(const ChapterEnvironment& environment, const std::filesystem::path& chapterDirectory,
                      Chapter& chapter);
void runWorldChapter(const ChapterEnvironment& environment, const std::filesystem::path& chapterDirectory,
                     Chapter& chapter);

} // namespace qlmr
