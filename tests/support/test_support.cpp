#include "support/test_support.h"

#include <atomic>
#include <cstdlib>
#include <fstream>
#include <random>
#include <sstream>
#include <unistd.h>

#include <stb/stb_image.h>

namespace qlmr::test {

TempDir::TempDir()
{
    static std::atomic<unsigned> counter{0};
    std::random_device entropy;
    for (;;) {
        auto candidate = std::filesystem::temp_directory_path() /
            ("qlmr-test-" + std::to_string(::getpid()) + "-" + std::to_string(counter++) + "-" +
             std::to_string(entropy() & 0xFFFFFF));
        if (std::filesystem::create_directory(candidate)) {
            root = candidate;
            return;
        }
    }
}

TempDir::~TempDir()
{
    std::error_code ignored;
    std::filesystem::remove_all(root, ignored);
}

std::filesystem::path artifactDir(const std::string& area)
{
    std::filesystem::path dir = std::filesystem::path(QLMR_BINARY_DIR) / "test-artifacts" / area;
    std::filesystem::create_directories(dir);
    return dir;
}

std::vector<std::uint8_t> readFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return std::vector<std::uint8_t>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

DecodedImage decodeImage(const std::string& path)
{
    DecodedImage image;
    int channels = 0;
    unsigned char* pixels = stbi_load(path.c_str(), &image.width, &image.height, &channels, 4);
    if (!pixels) {
        image.width = image.height = 0;
        return image;
    }
    image.rgba.assign(pixels, pixels + std::size_t(image.width) * image.height * 4);
    stbi_image_free(pixels);
    return image;
}

std::vector<std::string> lines(const std::string& text)
{
    std::vector<std::string> out;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        out.push_back(line);
    return out;
}

std::vector<std::string> words(const std::string& commandLine)
{
    std::vector<std::string> out;
    std::istringstream in(commandLine);
    for (std::string word; in >> word;)
        out.push_back(word);
    return out;
}

bool runningInCi()
{
    const char* ci = std::getenv("CI");
    return ci && std::string(ci) == "true";
}

} // namespace qlmr::test
