#include "content/generators.h"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <stdexcept>

#include "content/noise.h"

namespace qlmr {

namespace {

// Hermite step from e0 to e1; e0 may exceed e1 for a falling edge.
float smoothstep(float e0, float e1, float v)
{
    const float s = std::min(std::max((v - e0) / (e1 - e0), 0.0f), 1.0f);
    return s * s * (3.0f - 2.0f * s);
}

float clamp01(float v) { return std::min(std::max(v, 0.0f), 1.0f); }

float min4(float a, float b, float c, float d) { return std::min(std::min(a, b), std::min(c, d)); }

struct Rgb {
    float r, g, b;
};

// c + (target - c) w per channel.
Rgb moveTowards(Rgb c, Rgb target, float w)
{
    return {c.r + (target.r - c.r) * w, c.g + (target.g - c.g) * w, c.b + (target.b - c.b) * w};
}

std::uint32_t pack(Rgb c) { return packRgba8(c.r, c.g, c.b); }

// --- terrain ---------------------------------------------------------------

// One lattice cache per noise octave that a terrain row walks through.
struct TerrainHeightCaches {
    LatticeCache erosion[12];
    LatticeCache ridges[7];
    LatticeCache detail[4];
};

struct TerrainColourCaches {
    LatticeCache low[5];
    LatticeCache mid[3];
    LatticeCache high[3];
};

float terrainHeight(float fx, float fy, unsigned seed, const TerrainParams& params, TerrainHeightCaches& caches)
{
    // Eroded fBm: octaves damped by the accumulated slope, rotated between
    // octaves so the lattice does not line up.
    float a = 3.0f * fx + 11.3f;
    float b = 3.0f * fy + 4.7f;
    float amplitude = 0.5f;
    float h = 0.0f;
    float dx = 0.0f;
    float dy = 0.0f;
    for (unsigned i = 0; i < 12; ++i) {
        const NoiseSample n = periodicNoise(a, b, 0, seed + 31u * i, caches.erosion[i]);
        dx += n.ddx;
        dy += n.ddy;
        h += amplitude * n.value / (1.0f + dx * dx + dy * dy);
        const float na = 2.0f * (0.8f * a - 0.6f * b);
        const float nb = 2.0f * (0.6f * a + 0.8f * b);
        a = na;
        b = nb;
        amplitude *= 0.5f;
    }

    float c = 2.2f * fx + 3.1f;
    float e = 2.2f * fy + 8.9f;
    float ridges = 0.0f;
    amplitude = 0.5f;
    for (unsigned j = 0; j < 7; ++j) {
        const NoiseSample n = periodicNoise(c, e, 0, (seed ^ 0xabcdu) + j, caches.ridges[j]);
        c *= 2.03f;
        e *= 2.03f;
        const float t = 1.0f - std::fabs(n.value);
        ridges += amplitude * t * t;
        amplitude *= 0.5f;
    }

    const float px = fx - params.padCenterX;
    const float py = fy - params.padCenterY;
    const float dist = std::sqrt(px * px + py * py);
    const float base = 0.22f * h + 0.22f + smoothstep(0.12f, 0.45f, dist) * (0.62f * ridges - 0.12f);
    const float pad = smoothstep(1.9f * params.padRadius, params.padRadius, dist);
    const float detail = fbmNoise(64.0f * fx, 64.0f * fy, 4, 0, seed + 7u, caches.detail);
    return base + (0.0015f * detail + params.padHeight - base) * pad;
}

void normaliseHeights(std::vector<float>& heights)
{
    if (heights.empty()) {
        return;
    }
    const auto [lo, hi] = std::minmax_element(heights.begin(), heights.end());
    const float low = *lo;
    const float range = std::max(*hi - low, 1e-6f);
    for (float& h : heights) {
        h = (h - low) / range;
    }
}

void terrainColourRow(FieldImage& image, unsigned y, unsigned seed, const TerrainParams& params)
{
    const unsigned size = image.width;
    const float* heights = image.heights.data();
    const float cellSize = params.worldSize / static_cast<float>(size);
    const unsigned last = size - 1;
    const std::size_t row = static_cast<std::size_t>(y) * size;
    const std::size_t rowUp = static_cast<std::size_t>(y == 0 ? 0 : y - 1) * size;
    const std::size_t rowDown = static_cast<std::size_t>(std::min(y + 1, last)) * size;
    const float fy = static_cast<float>(y) / static_cast<float>(size);
    TerrainColourCaches caches;
    for (unsigned x = 0; x < size; ++x) {
        const float fx = static_cast<float>(x) / static_cast<float>(size);
        const unsigned left = x == 0 ? 0 : x - 1;
        const unsigned right = std::min(x + 1, last);
        const float gx = (heights[row + right] - heights[row + left]) * 0.5f * params.heightScale / cellSize;
        const float gy = (heights[rowDown + x] - heights[rowUp + x]) * 0.5f * params.heightScale / cellSize;
        const float slope = std::sqrt(gx * gx + gy * gy);
        const float height = heights[row + x];

        const float nLow = fbmNoise(40.0f * fx, 40.0f * fy, 5, 0, seed + 99u, caches.low);
        const float nMid = fbmNoise(300.0f * fx, 300.0f * fy, 3, 0, seed + 199u, caches.mid);

        Rgb colour{0.07f + 0.09f * (nLow + 0.5f), 0.14f + 0.07f * (nLow + 0.5f), 0.04f + 0.02f * (0.5f - nLow)};
        const float rock = smoothstep(0.55f, 0.95f, 0.25f * nMid + slope);
        colour = moveTowards(colour, {0.36f + 0.08f * nMid, 0.33f + 0.07f * nMid, 0.29f + 0.06f * nMid}, rock);
        const float snow =
            smoothstep(0.68f, 0.78f, height + 0.05f * nLow) * (1.0f - smoothstep(0.7f, 1.2f, slope));
        colour = moveTowards(colour, {0.88f, 0.9f, 0.95f}, snow);

        const float px = fx - params.padCenterX;
        const float py = fy - params.padCenterY;
        const float padDist = std::sqrt(px * px + py * py) + 0.01f * nMid;
        const float padW = smoothstep(1.5f * params.padRadius, 0.9f * params.padRadius, padDist);
        const float nHigh = fbmNoise(900.0f * fx, 900.0f * fy, 3, 0, seed + 299u, caches.high);
        colour = moveTowards(colour,
                             {0.24f + 0.06f * nMid + 0.05f * nHigh, 0.2f + 0.05f * nMid + 0.04f * nHigh,
                              0.15f + 0.03f * nMid + 0.03f * nHigh},
                             padW);

        image.colors[row + x] = pack(colour);
        std::uint8_t material = MaterialGround;
        if (padW > 0.5f) {
            material = MaterialPad;
        } else if (snow > 0.5f) {
            material = MaterialSnow;
        } else if (rock > 0.5f) {
            material = MaterialRock;
        }
        image.materials[row + x] = material;
    }
}

// --- bricks ----------------------------------------------------------------

struct BrickLayout {
    float brickH;
    float brickL;
    std::int64_t perRow;
    float mortar;
};

// The hash works modulo 2^32: an index of any size reaches it as its low 32
// bits, so index arithmetic on thin bricks or tiny stones cannot overflow.
int hashIndex(std::uint64_t index) { return static_cast<int>(static_cast<std::uint32_t>(index)); }

void brickRow(FieldImage& image, unsigned y, unsigned seed, const BrickLayout& layout)
{
    const float width = static_cast<float>(image.width);
    const float height = static_cast<float>(image.height);
    const std::size_t row = static_cast<std::size_t>(y) * image.width;
    const float cy = static_cast<float>(y) + 0.5f;
    // At most `rows`, which may exceed an int for courses thinner than a cell.
    const auto course = static_cast<std::int64_t>(cy / layout.brickH);
    const float offset = (course & 1) ? 0.5f * layout.brickL : 0.0f;
    const float ly = cy - static_cast<float>(course) * layout.brickH;
    LatticeCache faceCaches[5];
    LatticeCache chipCaches[3];
    for (unsigned x = 0; x < image.width; ++x) {
        const float fxCell = static_cast<float>(x);
        const float xs = std::fmod(fxCell + 0.5f + offset, width);
        const auto col = static_cast<std::int64_t>(xs / layout.brickL);
        const float lx = xs - static_cast<float>(col) * layout.brickL;
        const float d = min4(lx, layout.brickL - lx, ly, layout.brickH - ly);

        const float r = latticeHash(
            hashIndex(static_cast<std::uint64_t>(col % layout.perRow) +
                      static_cast<std::uint64_t>(layout.perRow) * static_cast<std::uint64_t>(course)),
            3, seed);
        const float nFace = fbmNoise(64.0f * fxCell / width, 32.0f * static_cast<float>(y) / height, 5, 32, seed + 11u,
                                     faceCaches);
        const float nChip = fbmNoise(24.0f * fxCell / width, 12.0f * static_cast<float>(y) / height, 3, 12, seed + 23u,
                                     chipCaches);

        const float mortarHeight = 0.28f + 0.03f * nFace;
        if (layout.mortar > d) {
            image.heights[row + x] = mortarHeight;
            image.colors[row + x] = pack({0.55f + 0.04f * nFace, 0.53f + 0.04f * nFace, 0.48f});
            image.materials[row + x] = MaterialBrickMortar;
        } else {
            const float top = 0.62f + 0.25f * smoothstep(layout.mortar, layout.mortar + 0.12f * layout.brickH, d)
                              + 0.04f * r + 0.035f * nFace;
            const float chip = std::max(nChip - 0.18f, 0.0f) * 1.6f
                               * (1.0f - smoothstep(0.0f, 0.35f * layout.brickH, d));
            image.heights[row + x] = std::max(mortarHeight, top - chip);
            image.colors[row + x] =
                pack({0.42f + 0.16f * r + 0.05f * nFace, 0.17f + 0.06f * r + 0.03f * nFace, 0.11f + 0.04f * r});
            image.materials[row + x] = MaterialBrick;
        }
    }
}

// --- cobblestones ----------------------------------------------------------

std::int64_t wrapCell(std::int64_t i, std::int64_t period) { return ((i % period) + period) % period; }

void cobblestoneRow(FieldImage& image, unsigned y, unsigned cellCount, unsigned seed)
{
    const unsigned size = image.width;
    const float fsize = static_cast<float>(size);
    const float cells = static_cast<float>(cellCount);
    // Stone indices reach `cells`, which may exceed an int; they are kept in
    // 64 bits and reach the hash modulo 2^32.
    const auto period = static_cast<std::int64_t>(cellCount);
    const std::size_t row = static_cast<std::size_t>(y) * size;
    const float py = (static_cast<float>(y) + 0.5f) / fsize * cells;
    const auto iy = static_cast<std::int64_t>(std::floor(py));
    LatticeCache noiseCaches[4];
    for (unsigned x = 0; x < size; ++x) {
        const float px = (static_cast<float>(x) + 0.5f) / fsize * cells;
        const auto ix = static_cast<std::int64_t>(std::floor(px));
        float f1 = 1e9f;
        float f2 = 1e9f;
        int id = 0;
        for (std::int64_t j = iy - 1; j <= iy + 1; ++j) {
            for (std::int64_t i = ix - 1; i <= ix + 1; ++i) {
                const int wi = hashIndex(static_cast<std::uint64_t>(wrapCell(i, period)));
                const int wj = hashIndex(static_cast<std::uint64_t>(wrapCell(j, period)));
                const float featureX = static_cast<float>(i) + 0.2f + 0.6f * latticeHash(wi, wj, seed);
                const float featureY = static_cast<float>(j) + 0.2f + 0.6f * latticeHash(wi, wj, seed + 1u);
                const float ddx = featureX - px;
                const float ddy = featureY - py;
                const float dist = std::sqrt(ddx * ddx + ddy * ddy);
                if (dist < f1) {
                    f2 = f1;
                    f1 = dist;
                    id = hashIndex(static_cast<std::uint64_t>(period) * static_cast<std::uint32_t>(wj) +
                                   static_cast<std::uint32_t>(wi));
                } else if (dist < f2) {
                    f2 = dist;
                }
            }
        }

        const float edge = f2 - f1;
        const float n = fbmNoise(64.0f * static_cast<float>(x) / fsize, 64.0f * static_cast<float>(y) / fsize, 4, 64,
                                 seed + 5u, noiseCaches);
        const float r1 = latticeHash(id, 7, seed);
        const float r2 = latticeHash(id, 13, seed);

        const float dome = 1.0f - std::pow(1.0f - std::min(edge / 0.55f, 1.0f), 2.2f);
        const float stone = dome * 0.55f * (0.8f + 0.2f * r1) + 0.3f + 0.05f * n;
        const float m = 1.0f - smoothstep(0.04f, 0.09f, edge);
        image.heights[row + x] = stone + (0.12f + 0.03f * n - stone) * m;
        if (m > 0.5f) {
            image.colors[row + x] = pack({0.3f + 0.03f * n, 0.27f + 0.03f * n, 0.22f});
            image.materials[row + x] = MaterialStoneMortar;
        } else {
            const float base = 0.16f + 0.15f * r1 + 0.05f * n;
            const float t = 0.06f * r2;
            image.colors[row + x] = pack({base + t, base + 0.5f * t, base - 0.3f * t});
            image.materials[row + x] = MaterialStone;
        }
    }
}

// --- panels ----------------------------------------------------------------

void panelRow(FieldImage& image, unsigned y, unsigned seed)
{
    constexpr float pi = 3.14159265f;
    const unsigned size = image.width;
    const std::size_t row = static_cast<std::size_t>(y) * size;
    for (unsigned x = 0; x < size; ++x) {
        // Split the quarter-size panel into quadrants until the hash says
        // stop or the panel reaches 8 cells.
        unsigned s = size / 4;
        unsigned ox = x - x % s;
        unsigned oy = y - y % s;
        unsigned level = 0;
        while (s > 8) {
            const int hx = static_cast<int>(7u * ox + level);
            const int hy = static_cast<int>(13u * oy + s);
            if (latticeHash(hx, hy, seed) >= 0.72f) {
                break;
            }
            s /= 2;
            if (x >= ox + s) {
                ox += s;
            }
            if (y >= oy + s) {
                oy += s;
            }
            ++level;
        }

        const float S = static_cast<float>(s);
        const float lx = static_cast<float>(x - ox) + 0.5f;
        const float ly = static_cast<float>(y - oy) + 0.5f;
        const float e = min4(lx, S - lx, ly, S - ly);
        const int hx = static_cast<int>(ox);
        const int hy = static_cast<int>(oy);
        const float r1 = latticeHash(hx, hy, seed + 1u);
        const float r2 = latticeHash(hx, hy, seed + 2u);
        const float r3 = latticeHash(hx, hy, seed + 3u);

        float h = 0.12f + smoothstep(1.0f, 3.5f, e) * (0.35f + 0.55f * r1 - 0.12f);
        if (r2 > 0.78f && e > 4.0f) {
            if (std::sin(std::max(S / 8.0f, 2.0f) * 2.0f * pi * lx / S) > 0.3f) {
                h -= 0.12f;
            }
        }
        if (r2 < 0.12f && e > 3.0f) {
            const float cx = lx - S / 2.0f;
            const float cy = ly - S / 2.0f;
            const float dc = std::sqrt(cx * cx + cy * cy);
            h += 0.08f * (1.0f - smoothstep(0.18f * S, 0.22f * S, dc));
        }
        image.heights[row + x] = clamp01(h);
        if (r3 > 0.88f) {
            image.colors[row + x] = pack({0.75f, 0.38f, 0.08f});
            image.materials[row + x] = MaterialAccentPanel;
        } else {
            const float c = 0.2f + 0.1f * r1;
            image.colors[row + x] = pack({c, 1.02f * c, 1.08f * c});
            image.materials[row + x] = MaterialPanel;
        }
    }
}

} // namespace

FieldImage generateTerrain(unsigned size, unsigned seed, const TerrainParams& params, ThreadPool& pool)
{
    FieldImage image(size, size);
    pool.run(size, [&](unsigned y, unsigned) {
        const std::size_t row = static_cast<std::size_t>(y) * size;
        const float fy = static_cast<float>(y) / static_cast<float>(size);
        TerrainHeightCaches caches;
        for (unsigned x = 0; x < size; ++x) {
            const float fx = static_cast<float>(x) / static_cast<float>(size);
            image.heights[row + x] = terrainHeight(fx, fy, seed, params, caches);
        }
    });
    normaliseHeights(image.heights);
    pool.run(size, [&](unsigned y, unsigned) { terrainColourRow(image, y, seed, params); });
    return image;
}

FieldImage generateBricks(unsigned width, unsigned height, unsigned rows, unsigned seed, ThreadPool& pool)
{
    if (rows == 0) {
        throw std::invalid_argument("brick rows must be at least 1");
    }
    BrickLayout layout;
    layout.brickH = static_cast<float>(height) / static_cast<float>(rows);
    layout.brickL = 2.0f * layout.brickH;
    layout.perRow = static_cast<std::int64_t>(std::llround(static_cast<float>(width) / layout.brickL));
    layout.mortar = 0.09f * layout.brickH;
    if (layout.perRow < 1) {
        throw std::invalid_argument("brick wall too narrow for one brick");
    }
    FieldImage image(width, height);
    pool.run(height, [&](unsigned y, unsigned) { brickRow(image, y, seed, layout); });
    return image;
}

FieldImage generateCobblestones(unsigned size, unsigned cells, unsigned seed, ThreadPool& pool)
{
    if (cells == 0) {
        throw std::invalid_argument("cobblestone cells must be at least 1");
    }
    FieldImage image(size, size);
    pool.run(size, [&](unsigned y, unsigned) { cobblestoneRow(image, y, cells, seed); });
    return image;
}

FieldImage generatePanels(unsigned size, unsigned seed, ThreadPool& pool)
{
    if (size < 4) {
        throw std::invalid_argument("panel size must be at least 4");
    }
    FieldImage image(size, size);
    pool.run(size, [&](unsigned y, unsigned) { panelRow(image, y, seed); });
    return image;
}

} // namespace qlmr
