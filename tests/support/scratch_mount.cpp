#include "support/scratch_mount.h"

#include <cerrno>
#include <cstring>
#include <sched.h>
#include <sys/mount.h>
#include <unistd.h>

namespace qlmr::test {

ScratchMount::ScratchMount(const std::filesystem::path& where, std::size_t bytes, bool readOnly) : folder(where)
{
    if (::geteuid() != 0) {
        why = "mounting a small file system needs root";
        return;
    }
    std::error_code error;
    std::filesystem::create_directories(folder, error);
    if (error) {
        why = "cannot create " + folder.string() + ": " + error.message();
        return;
    }
    // A namespace of our own (refused in a process with other threads, or
    // without the right); its mounts are private so that none reaches the
    // rest of the system. Without one the mount is made where we are.
    if (::unshare(CLONE_NEWNS) == 0)
        ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr);

    const std::string options = "size=" + std::to_string(bytes) + ",mode=0755";
    const unsigned long flags = MS_NOSUID | MS_NODEV | MS_NOEXEC | (readOnly ? MS_RDONLY : 0);
    if (::mount("tmpfs", folder.c_str(), "tmpfs", flags, options.c_str()) != 0) {
        why = std::string("cannot mount a tmpfs here: ") + std::strerror(errno);
        return;
    }
    isMounted = true;
}

ScratchMount::~ScratchMount()
{
    // Detached, so that a file a test left open cannot keep it mounted.
    if (isMounted)
        ::umount2(folder.c_str(), MNT_DETACH);
}

} // namespace qlmr::test
