#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "content/relief_synthesis.h"

namespace qlmr {

// An owned RGBA8 sprite: red in the low byte, alpha in the high byte, rows
// from the top. A fresh one is fully transparent.
struct SpriteImage {
    std::uint32_t width = 0;
    std::uint32_t height = 0;
    std::vector<std::uint32_t> pixels;

    SpriteImage() = default;
    SpriteImage(std::uint32_t w, std::uint32_t h) : width(w), height(h), pixels(std::size_t(w) * h, 0u) {}

    std::uint32_t& at(std::uint32_t x, std::uint32_t y) { return pixels[std::size_t(y) * width + x]; }
    std::uint32_t at(std::uint32_t x, std::uint32_t y) const { return pixels[std::size_t(y) * width + x]; }
};

// The whole sprite as the synthesizer reads it.
SpriteView spriteView(const SpriteImage& sprite);

// Packs a colour red-low.
constexpr std::uint32_t rgba(std::uint32_t r, std::uint32_t g, std::uint32_t b, std::uint32_t a = 255)
{
    return r | (g << 8) | (b << 16) | (a << 24);
}

// A sprite argument FILE.png[@x,y,w,h] taken apart. The path ends at
// the last '@'; the crop is four decimal integers, each followed by an
// optional ','. A number without digits leaves the crop unusable (w = 0).
struct SpriteSpec {
    std::string path;
    bool hasCrop = false;
    std::int64_t x = 0;
    std::int64_t y = 0;
    std::int64_t w = 0;
    std::int64_t h = 0;
};
SpriteSpec parseSpriteSpec(const std::string& spec);

// Whether a crop lies wholly inside an image of the given size and holds at
// least one pixel.
bool cropFits(const SpriteSpec& spec, std::uint32_t imageWidth, std::uint32_t imageHeight);

// Loads the PNG (or anything stb_image decodes) that `spec` names, cropped
// when the argument has a crop. False, with `out` unchanged, when the file cannot
// be opened or decoded or the crop does not fit.
bool loadSprite(const std::string& spec, SpriteImage& out);

} // namespace qlmr
