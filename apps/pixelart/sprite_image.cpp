#include "sprite_image.h"

#include <cstdio>
#include <memory>

#include <stb/stb_image.h>

namespace qlmr {

namespace {

struct FileCloser {
    void operator()(std::FILE* file) const { std::fclose(file); }
};

struct ImageFree {
    void operator()(unsigned char* data) const { stbi_image_free(data); }
};

// One decimal integer at `pos` (an optional sign, then digits), with the
// optional ',' after it. False when there are no digits. Values saturate
// far beyond any image size, so the range checks still refuse them.
bool readCropNumber(const std::string& text, std::size_t& pos, std::int64_t& value)
{
    bool negative = false;
    if (pos < text.size() && (text[pos] == '-' || text[pos] == '+')) {
        negative = text[pos] == '-';
        ++pos;
    }
    bool digits = false;
    std::int64_t v = 0;
    while (pos < text.size() && text[pos] >= '0' && text[pos] <= '9') {
        digits = true;
        if (v < (std::int64_t(1) << 40))
            v = v * 10 + (text[pos] - '0');
        ++pos;
    }
    if (pos < text.size() && text[pos] == ',')
        ++pos;
    value = negative ? -v : v;
    return digits;
}

} // namespace

SpriteView spriteView(const SpriteImage& sprite)
{
    SpriteView view;
    view.pixels = sprite.pixels.data();
    view.count = sprite.pixels.size();
    view.width = sprite.width;
    view.height = sprite.height;
    view.stride = sprite.width;
    return view;
}

SpriteSpec parseSpriteSpec(const std::string& spec)
{
    SpriteSpec parsed;
    const std::size_t at = spec.rfind('@');
    if (at == std::string::npos) {
        parsed.path = spec;
        return parsed;
    }
    parsed.path = spec.substr(0, at);
    parsed.hasCrop = true;
    std::size_t pos = at + 1;
    std::int64_t* numbers[4] = {&parsed.x, &parsed.y, &parsed.w, &parsed.h};
    bool complete = true;
    for (std::int64_t* number : numbers)
        complete = readCropNumber(spec, pos, *number) && complete;
    if (!complete)
        parsed.w = 0;
    return parsed;
}

bool cropFits(const SpriteSpec& spec, std::uint32_t imageWidth, std::uint32_t imageHeight)
{
    return spec.w >= 1 && spec.h >= 1 && spec.x >= 0 && spec.y >= 0 && spec.x + spec.w <= std::int64_t(imageWidth) &&
        spec.y + spec.h <= std::int64_t(imageHeight);
}

bool loadSprite(const std::string& spec, SpriteImage& out)
{
    SpriteSpec parsed = parseSpriteSpec(spec);
    std::unique_ptr<std::FILE, FileCloser> file(std::fopen(parsed.path.c_str(), "rb"));
    if (!file)
        return false;
    int width = 0, height = 0, channels = 0;
    std::unique_ptr<unsigned char, ImageFree> data(stbi_load_from_file(file.get(), &width, &height, &channels, 4));
    if (!data || width <= 0 || height <= 0)
        return false;
    if (!parsed.hasCrop) {
        parsed.x = 0;
        parsed.y = 0;
        parsed.w = width;
        parsed.h = height;
    }
    if (!cropFits(parsed, std::uint32_t(width), std::uint32_t(height)))
        return false;

    SpriteImage sprite(std::uint32_t(parsed.w), std::uint32_t(parsed.h));
    for (std::uint32_t j = 0; j < sprite.height; ++j) {
        const unsigned char* row = data.get() + ((std::size_t(parsed.y) + j) * std::size_t(width) + std::size_t(parsed.x)) * 4;
        for (std::uint32_t i = 0; i < sprite.width; ++i) {
            const unsigned char* p = row + std::size_t(i) * 4;
            sprite.at(i, j) = rgba(p[0], p[1], p[2], p[3]);
        }
    }
    out = std::move(sprite);
    return true;
}

} // namespace qlmr
