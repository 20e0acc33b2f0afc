#include "jpeg_picture.h"

#include <fstream>
#include <memory>

#include <stb/stb_image.h>
#include <stb/stb_image_write.h>

namespace qlmr {

namespace {

struct StbFree {
    void operator()(unsigned char* pixels) const { stbi_image_free(pixels); }
};

void appendToBuffer(void* context, void* data, int size) {
    auto* bytes = static_cast<std::string*>(context);
    bytes->append(static_cast<const char*>(data), static_cast<std::size_t>(size));
}

} // namespace

std::string readFileBytes(const std::filesystem::path& path) {
    std::ifstream file(path, std::ios::binary);
    if (!file)
        return {};
    // Read through the stream, which turns a failed read (a folder that
    // opened like a file, a disk error) into its bad state; reading the
    // buffer directly would throw out of the launcher instead.
    std::string bytes;
    char chunk[65536];
    while (file.read(chunk, sizeof chunk) || file.gcount() > 0)
        bytes.append(chunk, static_cast<std::size_t>(file.gcount()));
    // What was read before a failure is not the file.
    return file.bad() ? std::string() : bytes;
}

int shrinkFactor(int width, int maxWidth) {
    if (width <= maxWidth)
        return 1;
    // width / f <= maxWidth exactly when f * (maxWidth + 1) > width, so the
    // smallest such f is width / (maxWidth + 1) + 1; computed, not searched,
    // so a narrow maximum on a wide image costs nothing either.
    const int factor = width / (maxWidth + 1) + 1;
    return factor < 2 ? 2 : factor;
}

RgbImage shrinkByFactor(const RgbImage& image, int factor) {
    if (factor <= 1)
        return image;
    RgbImage out;
    out.width = image.width / factor;
    out.height = image.height / factor;
    out.rgb.resize(static_cast<std::size_t>(out.width) * out.height * 3);
    const unsigned blockArea = static_cast<unsigned>(factor) * static_cast<unsigned>(factor);
    for (int y = 0; y < out.height; ++y) {
        for (int x = 0; x < out.width; ++x) {
            unsigned sums[3] = {0, 0, 0};
            for (int dy = 0; dy < factor; ++dy) {
                const std::uint8_t* row =
                    &image.rgb[(static_cast<std::size_t>(y * factor + dy) * image.width + x * factor) * 3];
                for (int dx = 0; dx < factor * 3; dx += 3) {
                    sums[0] += row[dx];
                    sums[1] += row[dx + 1];
                    sums[2] += row[dx + 2];
                }
            }
            std::uint8_t* pixel = &out.rgb[(static_cast<std::size_t>(y) * out.width + x) * 3];
            for (int c = 0; c < 3; ++c)
                pixel[c] = static_cast<std::uint8_t>(sums[c] / blockArea);
        }
    }
    return out;
}

PictureOutcome makeJpeg(const std::filesystem::path& png, const std::filesystem::path& jpeg, int maxWidth,
                        int quality) {
    // No picture is at most 0 pixels wide (and below that no shrink factor
    // would ever fit).
    if (maxWidth < 1)
        return PictureOutcome::NoImage;
    const std::string bytes = readFileBytes(png);
    if (bytes.empty())
        return PictureOutcome::NoImage;
    int width = 0, height = 0, channels = 0;
    std::unique_ptr<unsigned char, StbFree> pixels(
        stbi_load_from_memory(reinterpret_cast<const stbi_uc*>(bytes.data()), static_cast<int>(bytes.size()), &width,
                              &height, &channels, 3));
    if (!pixels)
        return PictureOutcome::NoImage;
    RgbImage image;
    image.width = width;
    image.height = height;
    image.rgb.assign(pixels.get(), pixels.get() + static_cast<std::size_t>(width) * height * 3);
    pixels.reset();

    const RgbImage shrunk = shrinkByFactor(image, shrinkFactor(width, maxWidth));
    // A JPEG holds each side in 16 bits; the encoder would write a larger
    // one wrapped around, a file that shows another size than it holds.
    constexpr int kLargestJpegSide = 65535;
    if (shrunk.width > kLargestJpegSide || shrunk.height > kLargestJpegSide)
        return PictureOutcome::NoImage;
    std::string encoded;
    if (shrunk.width > 0 && shrunk.height > 0)
        stbi_write_jpg_to_func(appendToBuffer, &encoded, shrunk.width, shrunk.height, 3, shrunk.rgb.data(), quality);
    if (encoded.empty())
        return PictureOutcome::NoImage;
    // A picture that did not reach the disk whole (a full disk, a folder
    // that cannot be written) is not a picture: the page would show it
    // broken and the chapter would count it. What was left of it goes.
    std::ofstream out(jpeg, std::ios::binary | std::ios::trunc);
    out.write(encoded.data(), static_cast<std::streamsize>(encoded.size()));
    out.close();
    if (out.fail()) {
        std::error_code ignored;
        if (std::filesystem::is_regular_file(std::filesystem::symlink_status(jpeg, ignored)))
            std::filesystem::remove(jpeg, ignored);
        return PictureOutcome::NotWritten;
    }
    return PictureOutcome::Made;
}

bool convertToJpeg(const std::filesystem::path& png, const std::filesystem::path& jpeg, int maxWidth, int quality) {
    return makeJpeg(png, jpeg, maxWidth, quality) == PictureOutcome::Made;
}

} // namespace qlmr
