#include "scene/file_replace.h"

#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <random>
#include <sys/stat.h>
#include <system_error>
#include <unistd.h>

namespace qlmr {
namespace {

// Writes all bytes and closes the file. True only when they all reached
// it: the write, the flush and the close must all succeed (a full disk
// shows up at flush or close).
bool writeAndClose(std::FILE* out, std::span<const std::uint8_t> bytes)
{
    bool ok = std::fwrite(bytes.data(), 1, bytes.size(), out) == bytes.size();
    ok = std::fflush(out) == 0 && ok;
    ok = std::fclose(out) == 0 && ok;
    return ok;
}

bool writeInPlace(const std::string& path, std::span<const std::uint8_t> bytes)
{
    std::FILE* out = std::fopen(path.c_str(), "wb");
    return out && writeAndClose(out, bytes);
}

// Opens a new file beside `target`, "<target>.<8 random hex digits>.tmp",
// and names it in `name`. The file is created exclusively, so a clash with
// another writer's file only means another try, never a clobbered file.
// A file name too long to take the suffix (a legal name near the system's
// limit) gets the short form ".<8 random hex digits>.tmp" in the same folder
// instead, so that every name the file itself may have can be written.
std::FILE* openTemporary(const std::filesystem::path& target, std::string& name)
{
    std::random_device random;
    bool shortName = false;
    for (int attempt = 0; attempt < 8; ++attempt) {
        char suffix[16];
        std::snprintf(suffix, sizeof suffix, ".%08x.tmp", static_cast<unsigned>(random()));
        name = shortName ? (target.parent_path() / suffix).string() : target.string() + suffix;
        errno = 0;
        if (std::FILE* out = std::fopen(name.c_str(), "wbx"))
            return out;
        if (errno == ENAMETOOLONG && !shortName) {
            shortName = true;
            continue;
        }
        if (errno != EEXIST)
            return nullptr;
    }
    return nullptr;
}

} // namespace

bool replaceFile(const std::string& path, std::span<const std::uint8_t> file)
{
    namespace fs = std::filesystem;
    std::error_code error;
    // A link is followed, so that it goes on naming the new file.
    fs::path target = path;
    if (fs::is_symlink(fs::symlink_status(target, error))) {
        target = fs::canonical(target, error);
        if (error) // a link to nowhere: writing through it creates its target
            return writeInPlace(path, file);
    }
    // Devices and pipes cannot be replaced by a rename; they are written in
    // place (a directory fails to open).
    const fs::file_status status = fs::status(target, error);
    if (fs::exists(status) && !fs::is_regular_file(status))
        return writeInPlace(target.string(), file);

    // A file there that may not be written stays as it is: opening it for
    // writing would fail, while the rename below would replace it whatever
    // its permissions say.
    if (fs::is_regular_file(status) && ::access(target.c_str(), W_OK) != 0)
        return false;

    // The file appears under its name only once every byte is on disk: it
    // is written beside its final place and renamed, so a full disk or a
    // failed write leaves no partial file that looks like output (and keeps
    // an older file there intact).
    std::string temporary;
    std::FILE* out = openTemporary(target, temporary);
    if (!out) {
        // A folder that may not be written can still hold a file that may:
        // rewriting it in place is the only way left to replace it.
        if (errno == EACCES && fs::is_regular_file(status))
            return writeInPlace(target.string(), file);
        return false;
    }
    // The new file keeps the permissions of the one it replaces, as a file
    // rewritten in place would; set before any byte is written, so a private
    // file is never readable to others, not even for a moment.
    if (fs::is_regular_file(status))
        ::fchmod(::fileno(out), static_cast<mode_t>(status.permissions() & fs::perms::mask));
    if (!writeAndClose(out, file)) {
        fs::remove(temporary, error);
        return false;
    }
    fs::rename(temporary, target, error);
    if (error) {
        fs::remove(temporary, error);
        return false;
    }
    return true;
}

} // namespace qlmr
