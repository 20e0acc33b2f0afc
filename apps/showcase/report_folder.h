#pragma once

#include <filesystem>
#include <string>
#include <vector>

namespace qlmr {

// The report folder is the one place the launcher deletes anything, so it
// only ever deletes there what it can tell it wrote itself. Every report
// folder it creates carries a marker file; an existing folder without one,
// or a folder the user or the launcher cannot do without, is refused
// before anything is changed.

// The marker file's name, and the text it holds (its first line is checked).
inline constexpr const char* kReportMarkerName = ".qlmr-showcase-report";
std::string reportMarkerText();

// A folder the report must never be, nor contain: the current folder, the
// home folder, the launcher's own folder, its engine and assets folders.
// An empty path protects nothing. "/" is always refused.
struct ProtectedFolder {
    std::filesystem::path folder;
    std::string what; // for the message: "the current folder"
};
using ProtectedFolders = std::vector<ProtectedFolder>;

// Why the report may not go into folder, or empty when it may: a folder
// that does not exist yet, an empty folder, or a folder with the marker.
// Refused: a relative path (the launcher makes every path absolute, so one
// is left only when the current folder cannot be found), anything that is
// not a folder, "/", a protected folder or one
// that holds a protected folder, and a folder with other contents but no
// marker.
std::string reportFolderRefusal(const std::filesystem::path& folder, const ProtectedFolders& protectedFolders);

// True for the names of the files and folders a report holds: the page,
// results.json, log.txt, the pictures and copied sprites, the work folder
// and the marker.
bool isReportEntryName(const std::string& name);

// Deletes what an earlier report left in folder: only entries whose names
// a report uses. Files and symbolic links are removed (a link is never
// followed); the work folder is removed with its contents, where links are
// removed and not followed either; every other entry stays. Errors are
// ignored, as nothing else depends on them.
void clearEarlierReport(const std::filesystem::path& folder);

// Creates the folder (with its parents) and writes the marker into it; on
// failure returns false with a one-line reason in error.
bool createReportFolder(const std::filesystem::path& folder, std::string& error);

} // namespace qlmr
