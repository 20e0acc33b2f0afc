#include "report_folder.h"

#include <cerrno>
#include <fstream>

namespace qlmr {

namespace fs = std::filesystem;

namespace {

// The path with links and "." / ".." resolved as far as it exists.
fs::path resolved(const fs::path& path) {
    std::error_code error;
    const fs::path real = fs::weakly_canonical(path, error);
    return error ? path.lexically_normal() : real;
}

// The path's elements without the empty one a trailing separator leaves.
std::vector<std::string> elementsOf(const fs::path& path) {
    std::vector<std::string> elements;
    for (const fs::path& element : path)
        if (!element.empty())
            elements.push_back(element.string());
    return elements;
}

// True when outer is inner or one of the folders above it (both resolved).
bool holds(const std::vector<std::string>& outer, const std::vector<std::string>& inner) {
    if (outer.size() > inner.size())
        return false;
    for (std::size_t i = 0; i < outer.size(); ++i)
        if (outer[i] != inner[i])
            return false;
    return true;
}

std::string firstLine(const std::string& text) { return text.substr(0, text.find('\n')); }

// A marker is a plain file (not a link) whose first line is the launcher's.
bool hasMarker(const fs::path& folder) {
    const fs::path marker = folder / kReportMarkerName;
    std::error_code error;
    if (!fs::is_regular_file(fs::symlink_status(marker, error)) || error)
        return false;
    std::ifstream file(marker, std::ios::binary);
    std::string line;
    std::getline(file, line);
    return file && line == firstLine(reportMarkerText());
}

bool isEmptyFolder(const fs::path& folder) {
    std::error_code error;
    const bool empty = fs::directory_iterator(folder, error) == fs::directory_iterator();
    return !error && empty;
}

bool isDigits(const std::string& text, std::size_t from, std::size_t count) {
    if (count == 0 || from + count > text.size())
        return false;
    for (std::size_t i = from; i < from + count; ++i)
        if (text[i] < '0' || text[i] > '9')
            return false;
    return true;
}

// prefix + exactly `digits` decimal digits (any count >= 1 when 0) + suffix.
bool isNumberedName(const std::string& name, const std::string& prefix, std::size_t digits,
                    const std::string& suffix) {
    if (name.size() <= prefix.size() + suffix.size() || name.compare(0, prefix.size(), prefix) != 0 ||
        name.compare(name.size() - suffix.size(), suffix.size(), suffix) != 0)
        return false;
    const std::size_t count = name.size() - prefix.size() - suffix.size();
    return (digits == 0 || count == digits) && isDigits(name, prefix.size(), count);
}

} // namespace

std::string reportMarkerText() {
    return "QLMR Showcase report folder\n"
           "The launcher wrote this folder. When it writes its next report here, it first deletes the page, "
           "results.json, log.txt, the pictures and the work folder of this one; other files stay.\n";
}

std::string reportFolderRefusal(const fs::path& folder, const ProtectedFolders& protectedFolders) {
    if (folder.is_relative())
        return "it is a relative path and the current folder cannot be found";
    std::error_code error;
    const fs::file_status status = fs::status(folder, error);
    if (error && error != std::errc::no_such_file_or_directory)
        return "it cannot be examined (" + error.message() + ")";
    const bool exists = fs::exists(status);
    if (!exists && fs::is_symlink(fs::symlink_status(folder, error)))
        return "it is a symbolic link to something that does not exist";
    if (exists && !fs::is_directory(status))
        return "it is a file, not a folder";

    const std::vector<std::string> report = elementsOf(resolved(folder));
    if (report.size() <= 1)
        return "it is the root folder";
    for (const ProtectedFolder& guarded : protectedFolders) {
        if (guarded.folder.empty())
            continue;
        const std::vector<std::string> inner = elementsOf(resolved(guarded.folder));
        if (holds(report, inner))
            return (report.size() == inner.size() ? "it is " : "it holds ") + guarded.what;
    }
    if (!exists || hasMarker(folder) || isEmptyFolder(folder))
        return {};
    return std::string("it holds files and is not a report folder of this launcher (it has no ") + kReportMarkerName +
           " file)";
}

bool isReportEntryName(const std::string& name) {
    for (const char* fixed : {"index.html", "results.json", "log.txt", "work", "sprite_crystal.png",
                              "sprite_barrel.png", "terrain_wide.jpg", "terrain_aerial.jpg", "terrain_close.jpg",
                              "creature_posed.jpg", "creature_back.jpg", "pixel_wide_snapped.jpg",
                              "pixel_close_snapped.jpg", "pixel_back_snapped.jpg", kReportMarkerName})
        if (name == fixed)
            return true;
    return isNumberedName(name, "terrain_", 0, ".jpg") || isNumberedName(name, "creature_turn_", 3, ".jpg") ||
           isNumberedName(name, "world_frame_", 4, ".jpg");
}

void clearEarlierReport(const fs::path& folder) {
    std::vector<fs::directory_entry> entries;
    std::error_code error;
    for (fs::directory_iterator it(folder, error), end; !error && it != end; it.increment(error))
        entries.push_back(*it);
    for (const fs::directory_entry& entry : entries) {
        const std::string name = entry.path().filename().string();
        if (name == kReportMarkerName || !isReportEntryName(name))
            continue;
        std::error_code ignored;
        const fs::file_status own = entry.symlink_status(ignored);
        if (name == "work" && fs::is_directory(own))
            fs::remove_all(entry.path(), ignored); // removes links inside, never what they point at
        else if (fs::is_regular_file(own) || fs::is_symlink(own))
            fs::remove(entry.path(), ignored);
    }
}

bool createReportFolder(const fs::path& folder, std::string& error) {
    std::error_code created;
    fs::create_directories(folder, created);
    std::error_code ignored;
    if (!fs::is_directory(folder, ignored)) {
        error = "cannot create the folder (" + (created ? created.message() : std::string("not a folder")) + ")";
        return false;
    }
    // The system's reason (no permission, a full disk) tells the user what
    // to change; it is taken right after the step that failed.
    errno = 0;
    std::ofstream marker(folder / kReportMarkerName, std::ios::binary | std::ios::trunc);
    int reason = marker ? 0 : errno;
    const std::string text = reportMarkerText();
    marker.write(text.data(), static_cast<std::streamsize>(text.size()));
    marker.close();
    if (!marker.fail())
        return true;
    if (reason == 0)
        reason = errno;
    error = std::string("cannot write its ") + kReportMarkerName + " file";
    if (reason != 0)
        error += " (" + std::generic_category().message(reason) + ")";
    return false;
}

} // namespace qlmr
