#pragma once

#include <cstddef>
#include <filesystem>
#include <string>

namespace qlmr::test {

// A small tmpfs mounted on a folder for one test: a file system that fills
// up after `bytes` (whole pages), or, read-only, one that refuses every
// write even to root, for whom folder permissions mean nothing.
//
// Only root may mount. The mount is made in a mount namespace of the test
// process's own where the system allows one, so that it vanishes with the
// process even if the test crashes; the destructor unmounts it in any case,
// so a failing test leaves nothing mounted. Where mounting is not possible
// (not root, or a container that forbids it) mounted() is false and
// reason() says why, for the test to skip with.
class ScratchMount {
public:
    // Creates `folder` when it is missing and mounts the tmpfs on it.
    ScratchMount(const std::filesystem::path& folder, std::size_t bytes, bool readOnly = false);
    ~ScratchMount();
    ScratchMount(const ScratchMount&) = delete;
    ScratchMount& operator=(const ScratchMount&) = delete;

    bool mounted() const { return isMounted; }
    const std::string& reason() const { return why; }
    const std::filesystem::path& path() const { return folder; }

private:
    std::filesystem::path folder;
    bool isMounted = false;
    std::string why;
};

} // namespace qlmr::test
