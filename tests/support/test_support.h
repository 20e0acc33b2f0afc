#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace qlmr::test {

// A fresh, empty directory under the system temporary directory, removed
// with everything in it when the object goes out of scope.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::filesystem::path& path() const { return root; }
    std::string file(const std::string& name) const { return (root / name).string(); }

private:
    std::filesystem::path root;
};

// Where tests leave images for a person to look at: <build>/test-artifacts/<area>.
std::filesystem::path artifactDir(const std::string& area);

// Reads a whole file; empty when it cannot be read.
std::vector<std::uint8_t> readFile(const std::string& path);

// Decoded RGBA8 image from stb_image; width 0 when decoding failed.
struct DecodedImage {
    int width = 0;
    int height = 0;
    std::vector<std::uint8_t> rgba;
};
DecodedImage decodeImage(const std::string& path);

// The lines of `text` without their line breaks; a last line without a
// break counts, a break at the very end starts no empty line.
std::vector<std::string> lines(const std::string& text);

// A command line split at blanks, for tests that write arguments as one
// string; there is no quoting, so no word may contain a blank.
std::vector<std::string> words(const std::string& commandLine);

// True when CI=true is set: checks that need a device fail instead of skipping.
bool runningInCi();

} // namespace qlmr::test
