// Draws the sprite assets that the launcher's pixels chapter and the diorama
// read (crystal, barrel, tree) and writes them as PNG files into the folder
// given on the command line. Every sprite is drawn from simple shapes: a
// mask, a dark outline around it and shaded fills inside.
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "scene/png_writer.h"

namespace {

struct Colour {
    std::uint8_t r = 0, g = 0, b = 0, a = 0;
};

struct Canvas {
    int width = 0;
    int height = 0;
    std::vector<Colour> pixels;

    Canvas(int w, int h) : width(w), height(h), pixels(std::size_t(w) * h) {}
    Colour& at(int x, int y) { return pixels[std::size_t(y) * width + x]; }

    std::vector<std::uint8_t> bytes() const
    {
        std::vector<std::uint8_t> out;
        out.reserve(pixels.size() * 4);
        for (const Colour& c : pixels) {
            out.push_back(c.r);
            out.push_back(c.g);
            out.push_back(c.b);
            out.push_back(c.a);
        }
        return out;
    }
};

using Mask = std::function<bool(int x, int y)>;
using Fill = std::function<Colour(int x, int y)>;

// Paints `fill` over the mask and `outline` on mask pixels that touch the
// outside along an edge, so each sprite gets the one-colour ink line that
// the relief synthesis separates parts by.
void paint(Canvas& canvas, const Mask& inside, const Fill& fill, Colour outline)
{
    auto in = [&](int x, int y) { return x >= 0 && y >= 0 && x < canvas.width && y < canvas.height && inside(x, y); };
    for (int y = 0; y < canvas.height; ++y) {
        for (int x = 0; x < canvas.width; ++x) {
            if (!in(x, y))
                continue;
            const bool edge = !in(x - 1, y) || !in(x + 1, y) || !in(x, y - 1) || !in(x, y + 1);
            canvas.at(x, y) = edge ? outline : fill(x, y);
        }
    }
}

// 2 x 2 ordered dither: true on half the pixels when t is 0.5.
bool dither(int x, int y, float t)
{
    static constexpr float kOrder[2][2] = {{0.125f, 0.625f}, {0.875f, 0.375f}};
    return t > kOrder[y & 1][x & 1];
}

// Whether (px, py) lies in the convex polygon given clockwise in image space.
bool insideConvex(const std::vector<std::pair<float, float>>& poly, float px, float py)
{
    for (std::size_t i = 0; i < poly.size(); ++i) {
        const auto [ax, ay] = poly[i];
        const auto [bx, by] = poly[(i + 1) % poly.size()];
        if ((bx - ax) * (py - ay) - (by - ay) * (px - ax) < 0.0f)
            return false;
    }
    return true;
}

// A violet crystal standing on a flat foot: a six-sided column with a
// pointed top, lit from the upper left, with a smaller shard beside it.
Canvas drawCrystal()
{
    Canvas canvas(24, 32);
    const std::vector<std::pair<float, float>> main = {{11.0f, 0.5f}, {17.5f, 8.0f}, {17.5f, 28.0f}, {14.0f, 31.0f},
                                                       {6.0f, 31.0f}, {4.5f, 28.0f}, {4.5f, 8.0f}};
    const std::vector<std::pair<float, float>> shard = {{21.0f, 12.5f}, {23.5f, 18.0f}, {23.5f, 29.0f},
                                                        {21.0f, 31.0f}, {16.0f, 31.0f}, {16.0f, 19.0f}};
    auto inMain = [&](int x, int y) { return insideConvex(main, x + 0.5f, y + 0.5f); };
    auto inShard = [&](int x, int y) { return insideConvex(shard, x + 0.5f, y + 0.5f); };
    const Colour pale{214, 196, 255, 255}, light{166, 132, 240, 255}, mid{122, 86, 214, 255},
        dark{78, 48, 160, 255}, deep{52, 30, 112, 255}, sparkle{255, 255, 255, 255};
    const Colour outline{34, 18, 64, 255};

    // The shard first, so the column's own outline separates the two.
    paint(
        canvas, inShard, [&](int x, int y) { return x < 20 ? (y < 20 ? light : mid) : dark; }, outline);
    paint(
        canvas, inMain,
        [&](int x, int y) {
            // Facets of the column: the cap above the shoulders, then three
            // vertical faces, left lit, middle half-lit, right in shade.
            const float cap = 8.0f - std::fabs(x + 0.5f - 11.0f) * 0.35f;
            if (y + 0.5f < cap)
                return x < 11 ? pale : light;
            if (x < 8)
                return y > 24 && dither(x, y, (y - 24) / 6.0f) ? mid : light;
            if (x < 13)
                return y < 12 && x == 10 ? pale : mid;
            return y > 22 && dither(x, y, (y - 22) / 8.0f) ? deep : dark;
        },
        outline);
    canvas.at(7, 10) = sparkle;
    canvas.at(6, 11) = sparkle;
    canvas.at(10, 4) = sparkle;
    return canvas;
}

// A wooden barrel: bulging staves, two iron hoops and a darker lid.
Canvas drawBarrel()
{
    Canvas canvas(20, 24);
    const float centre = 10.0f;
    auto halfWidth = [&](int y) { return 6.8f + 2.4f * std::sin(3.14159265f * (y + 0.5f) / 24.0f); };
    auto inside = [&](int x, int y) { return std::fabs(x + 0.5f - centre) <= halfWidth(y); };
    const Colour staveLight{196, 132, 70, 255}, stave{160, 100, 50, 255}, staveDark{116, 70, 36, 255},
        seam{84, 50, 26, 255}, hoopLight{190, 190, 198, 255}, hoop{124, 124, 136, 255}, hoopDark{82, 82, 94, 255},
        lid{104, 64, 32, 255};
    const Colour outline{44, 24, 14, 255};

    paint(
        canvas, inside,
        [&](int x, int y) {
            const float offset = (x + 0.5f - centre) / halfWidth(y); // -1 left edge .. 1 right edge
            if (y <= 2)
                return lid;
            if (y == 5 || y == 6 || y == 17 || y == 18)
                return offset < -0.4f ? hoopLight : (offset < 0.45f ? hoop : hoopDark);
            // Staves run down the barrel; their seams follow the bulge.
            const float stavePos = offset * 3.0f;
            if (std::fabs(stavePos - std::round(stavePos)) < 0.12f && std::fabs(offset) < 0.9f)
                return seam;
            if (offset < -0.35f)
                return dither(x, y, (offset + 1.0f) * 1.6f) ? stave : staveLight;
            if (offset > 0.4f)
                return dither(x, y, (offset - 0.4f) * 2.0f) ? staveDark : stave;
            return stave;
        },
        outline);
    return canvas;
}

// A round-crowned tree on a short trunk, leaves lit from the upper left.
Canvas drawTree()
{
    Canvas canvas(32, 40);
    struct Circle {
        float x, y, r;
    };
    const Circle crown[] = {{16.0f, 13.0f, 10.5f}, {8.5f, 18.0f, 6.5f}, {23.5f, 18.0f, 6.5f}, {16.0f, 6.5f, 6.0f}};
    auto inCrown = [&](int x, int y) {
        for (const Circle& c : crown) {
            const float dx = x + 0.5f - c.x, dy = y + 0.5f - c.y;
            if (dx * dx + dy * dy <= c.r * c.r)
                return true;
        }
        return false;
    };
    auto inTrunk = [&](int x, int y) {
        if (y < 20 || y > 38)
            return false;
        const float spread = y >= 35 ? (y - 34) * 0.9f : 0.0f; // roots widen the foot
        return x + 0.5f >= 13.0f - spread && x + 0.5f <= 19.0f + spread;
    };
    const Colour leafLight{128, 206, 92, 255}, leaf{72, 156, 64, 255}, leafDark{40, 104, 52, 255},
        leafDeep{26, 72, 40, 255}, bark{122, 82, 48, 255}, barkDark{86, 56, 32, 255};
    const Colour outline{18, 36, 24, 255};

    paint(
        canvas, [&](int x, int y) { return inCrown(x, y) || inTrunk(x, y); },
        [&](int x, int y) {
            if (!inCrown(x, y))
                return x >= 17 || (x == 15 && y % 4 == 1) ? barkDark : bark;
            // Light falls from the upper left across the whole crown.
            const float lx = (x + 0.5f - 16.0f) / 14.0f, ly = (y + 0.5f - 13.0f) / 14.0f;
            const float shade = 0.5f - 0.7f * lx - 0.8f * ly;
            // Leaf clumps: a coarse pattern of darker pockets.
            const bool pocket = ((x * 7 + y * 13) % 17) == 0 || ((x * 5 + y * 3) % 23) == 0;
            if (pocket)
                return leafDeep;
            if (shade > 0.85f)
                return leafLight;
            if (shade > 0.6f)
                return dither(x, y, (shade - 0.6f) * 4.0f) ? leafLight : leaf;
            if (shade > 0.15f)
                return leaf;
            return dither(x, y, (0.15f - shade) * 3.0f) ? leafDark : leaf;
        },
        outline);
    return canvas;
}

bool save(const std::filesystem::path& dir, const char* name, const Canvas& canvas)
{
    const std::string path = (dir / (std::string(name) + ".png")).string();
    const std::vector<std::uint8_t> bytes = canvas.bytes();
    if (qlmr::writePng(path, unsigned(canvas.width), unsigned(canvas.height), bytes))
        return true;
    std::fprintf(stderr, "cannot write %s\n", path.c_str());
    return false;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: qlmr_make_sprites DIR\n");
        return 1;
    }
    const std::filesystem::path dir = argv[1];
    std::error_code error;
    std::filesystem::create_directories(dir, error);
    bool ok = save(dir, "crystal", drawCrystal());
    ok = save(dir, "barrel", drawBarrel()) && ok;
    ok = save(dir, "tree", drawTree()) && ok;
    return ok ? 0 : 1;
}
