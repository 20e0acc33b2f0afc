#include "builtin_sprites.h"

#include <algorithm>
#include <cmath>

namespace qlmr {

namespace {

constexpr std::uint32_t kCrateSeam = rgba(92, 56, 30);
constexpr std::uint32_t kCrateLightPlank = rgba(168, 112, 58);
constexpr std::uint32_t kCrateDarkPlank = rgba(146, 94, 46);
constexpr std::uint32_t kCrateBrace = rgba(196, 142, 80);
constexpr std::uint32_t kCrateNail = rgba(210, 210, 200);
constexpr std::uint32_t kCrateOutline = rgba(48, 28, 18);

constexpr std::uint32_t kHeroOutline = rgba(28, 22, 52);
constexpr std::uint32_t kHeroDark = rgba(38, 112, 66);
constexpr std::uint32_t kHeroMid = rgba(72, 176, 84);
constexpr std::uint32_t kHeroLight = rgba(150, 228, 118);
constexpr std::uint32_t kHeroHighlight = rgba(232, 255, 214);
constexpr std::uint32_t kHeroGlint = rgba(250, 250, 250);

// Writes a hero feature pixel, only where the body is.
void heroPixel(SpriteImage& sprite, int x, int y, std::uint32_t colour)
{
    if (insideEllipse(x, y, sprite.width, sprite.height))
        sprite.at(std::uint32_t(x), std::uint32_t(y)) = colour;
}

} // namespace

SpriteImage makeCrateSprite(std::uint32_t n)
{
    SpriteImage sprite(n, n);
    const std::int64_t last = std::int64_t(n) - 1;
    for (std::uint32_t i = 0; i < n; ++i) {
        for (std::uint32_t j = 0; j < n; ++j) {
            std::uint32_t colour;
            if (i % 5 == 4)
                colour = kCrateSeam;
            else
                colour = (i / 5) % 2 == 1 ? kCrateLightPlank : kCrateDarkPlank;
            const std::int64_t si = i, sj = j;
            if (std::abs(si - sj) <= 1 || si < 3 || sj < 3 || si >= std::int64_t(n) - 3 || sj >= std::int64_t(n) - 3)
                colour = kCrateBrace;
            if ((si == 1 || si == last - 1) && (sj == 1 || sj == last - 1))
                colour = kCrateNail;
            if (si == 0 || sj == 0 || si == last || sj == last)
                colour = kCrateOutline;
            sprite.at(j, i) = colour;
        }
    }
    return sprite;
}

bool insideEllipse(int x, int y, std::uint32_t width, std::uint32_t height)
{
    if (x < 0 || y < 0 || x >= int(width) || y >= int(height) - 1)
        return false;
    const float cx = 0.5f * float(width), cy = 0.66f * float(height);
    const float rx = 0.47f * float(width), ry = 0.62f * float(height);
    const float dx = (float(x) + 0.5f - cx) / rx;
    const float dy = (float(y) + 0.5f - cy) / ry;
    return dx * dx + dy * dy <= 1.0f;
}

SpriteImage makeHeroSprite(std::uint32_t width, std::uint32_t height)
{
    SpriteImage sprite(width, height);
    const float cx = 0.5f * float(width), cy = 0.66f * float(height);
    const float rx = 0.47f * float(width), ry = 0.62f * float(height);
    static constexpr int kDither[2][2] = {{0, 2}, {3, 1}};
    for (int y = 0; y < int(height); ++y) {
        for (int x = 0; x < int(width); ++x) {
            if (!insideEllipse(x, y, width, height))
                continue;
            const bool interior = insideEllipse(x - 1, y, width, height) && insideEllipse(x + 1, y, width, height) &&
                insideEllipse(x, y - 1, width, height) && insideEllipse(x, y + 1, width, height);
            std::uint32_t colour = kHeroOutline;
            if (interior) {
                const float X = (float(x) + 0.5f - cx) / rx;
                const float Y = (float(y) + 0.5f - cy) / ry;
                const float s = 6.0f * (0.58f * std::sqrt(std::max(0.0f, 1.0f - X * X - Y * Y)) - 0.55f * X -
                                        0.6f * Y - 0.05f);
                if (s < 0.0f)
                    colour = kHeroDark;
                else if (s < 1.0f)
                    colour = 4.0f * s <= float(kDither[y % 2][x % 2]) ? kHeroDark : kHeroMid;
                else if (s < 3.2f)
                    colour = kHeroMid;
                else
                    colour = kHeroLight;
            }
            sprite.at(std::uint32_t(x), std::uint32_t(y)) = colour;
        }
    }

    const int u = int(std::max<std::uint32_t>(1, width / 32));
    const float W = float(width), H = float(height);
    for (int i = 0; i < 2 * u; ++i)
        for (int j = 0; j < 2 * u; ++j)
            heroPixel(sprite, int(W * (float(j) / W + 0.3f)), int(H * (0.3f + float(i) / H)), kHeroHighlight);
    for (float A : {0.36f, 0.62f}) {
        for (int i = 0; i < 3 * u; ++i)
            for (int j = 0; j < 2 * u; ++j)
                heroPixel(sprite, int(W * (float(j) / W + A)), int(H * (0.55f + float(i) / H)), kHeroOutline);
        heroPixel(sprite, int(W * A), int(0.55f * H), kHeroGlint);
    }
    for (int i = 0; i < 4 * u; ++i)
        heroPixel(sprite, int(W * (float(i) / W + 0.44f)), int(0.8f * H), kHeroOutline);
    return sprite;
}

SpriteImage makeGroundTile(std::uint32_t n, int variant, std::uint32_t seed)
{
    SpriteImage sprite(n, n);
    for (std::uint32_t y = 0; y < n; ++y) {
        for (std::uint32_t x = 0; x < n; ++x) {
            std::uint32_t h = x * 374761393u + y * 668265263u - seed * 2048144777u;
            h ^= h >> 13;
            h *= 1274126177u;
            const std::uint32_t e = (h ^ (h >> 16)) % 100u;
            std::uint32_t colour;
            if (variant == 0) {
                if (e <= 17)
                    colour = rgba(104, 182, 74);
                else if (e <= 27)
                    colour = rgba(46, 104, 46);
                else if (e <= 98)
                    colour = rgba(70, 142, 58);
                else
                    colour = rgba(240, 220, 90);
            } else {
                if (e < 14)
                    colour = rgba(196, 186, 166);
                else if (e < 24)
                    colour = rgba(116, 92, 64);
                else
                    colour = rgba(150, 122, 86);
            }
            sprite.at(x, y) = colour;
        }
    }
    return sprite;
}

SpriteImage makeBenchmarkFrame(const SpriteImage& hero, const SpriteImage& crate)
{
    SpriteImage frame(320, 180);
    for (std::uint32_t k = 0; k < 40; ++k) {
        const SpriteImage& sprite = k % 3 == 2 ? crate : hero;
        const std::uint32_t left = (k % 8) * 40 + 2;
        const std::uint32_t top = (k / 8) * 36 + 4;
        for (std::uint32_t y = 0; y < sprite.height; ++y) {
            for (std::uint32_t x = 0; x < sprite.width; ++x) {
                const std::uint32_t colour = sprite.at(x, y);
                if ((colour >> 24) != 0 && left + x < frame.width && top + y < frame.height)
                    frame.at(left + x, top + y) = colour;
            }
        }
    }
    return frame;
}

} // namespace qlmr
