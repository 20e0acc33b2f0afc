#include "content/relief_synthesis.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <span>
#include <stdexcept>

namespace qlmr {

namespace {

using Clock = std::chrono::steady_clock;

double millisecondsSince(Clock::time_point start)
{
    const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now() - start).count();
    return double(ns) / 1e6;
}

inline std::uint32_t red(std::uint32_t c) { return c & 0xFFu; }
inline std::uint32_t green(std::uint32_t c) { return (c >> 8) & 0xFFu; }
inline std::uint32_t blue(std::uint32_t c) { return (c >> 16) & 0xFFu; }
inline std::uint32_t alpha(std::uint32_t c) { return c >> 24; }

inline float luminanceOf(std::uint32_t c)
{
    return (0.2126f * float(red(c)) + 0.7152f * float(green(c)) + 0.0722f * float(blue(c))) * 0.003921569f;
}

inline std::uint32_t squaredRgbDistance(std::uint32_t a, std::uint32_t b)
{
    const int dr = int(red(a)) - int(red(b));
    const int dg = int(green(a)) - int(green(b));
    const int db = int(blue(a)) - int(blue(b));
    return std::uint32_t(dr * dr + dg * dg + db * db);
}

std::uint32_t nextPowerOfTwo(std::uint32_t n)
{
    std::uint32_t p = 1;
    while (p < n) {
        p <<= 1;
    }
    return p;
}

// Height of the edge bevel at a distance x (sprite pixels) inside the silhouette.
struct Bevel {
    float radius;
    bool parabolic;
    float scale;
    float floor;

    float profile(float x) const
    {
        if (radius <= 0.0f) {
            return 0.0f;
        }
        x = std::min(std::max(x, 0.0f), radius);
        return parabolic ? (2.0f * radius - x) * x / radius : std::sqrt((2.0f * radius - x) * x);
    }
    float height(float x) const { return std::max(floor, scale * profile(x)); }
};

// Spatial weights of the 3x3 smoothing window: e^0, e^-0.5, e^-1.
constexpr float kSpatialWeight[3][3] = {
    {0.36787945f, 0.60653067f, 0.36787945f},
    {0.60653067f, 1.0f, 0.60653067f},
    {0.36787945f, 0.60653067f, 0.36787945f},
};

// Squared RGB distance up to which an opaque pixel counts as ink.
constexpr std::uint32_t kInkDistanceLimit = 1600;

} // namespace

ReliefSynthesizer::ReliefSynthesizer(const ReliefSettings& settings) : config(settings)
{
    if (config.nodesPerPixel - 1u > 7u) {
        throw std::invalid_argument("nodesPerPixel must be 1..8");
    }
    // Looked up with the squared RGB distance shifted right by 8 bits, so the
    // entry is taken at the middle of its bucket, normalised by 255^2.
    const float twoSigmaSquared = 2.0f * config.colourSigma * config.colourSigma;
    for (std::size_t k = 0; k < colourWeight.size(); ++k) {
        colourWeight[k] = std::exp(-(float(k * 256 + 128) / 65025.0f) / twoSigmaSquared);
    }
    for (int v = 0; v < 256; ++v) {
        double c = v / 255.0;
        if (config.linearAlbedo) {
            c = c <= 0.04045 ? c / 12.92 : std::pow((c + 0.055) / 1.055, 2.4);
        }
        albedoTable[std::size_t(v)] = std::uint8_t(std::lround(c * 255.0));
    }
}

ReliefInfo ReliefSynthesizer::synthesize(const SpriteView& sprite, DisplacementField& out)
{
    const std::uint32_t stride = sprite.stride == 0 ? sprite.width : sprite.stride;
    // A view without pixels has nothing to read, whatever count it claims.
    if (sprite.pixels == nullptr || sprite.width == 0 || sprite.height == 0 || stride < sprite.width ||
        sprite.count < std::size_t(stride) * (sprite.height - 1) + sprite.width) {
        throw std::invalid_argument("sprite view out of range");
    }

    auto start = Clock::now();
    pixelStage(sprite, stride);
    times[StagePixels] = millisecondsSince(start);

    start = Clock::now();
    distanceStage(sprite.width, sprite.height);
    times[StageDistance] = millisecondsSince(start);

    ReliefInfo info;
    start = Clock::now();
    reliefStage(sprite, stride, info);
    times[StageRelief] = millisecondsSince(start);

    start = Clock::now();
    pyramidStage(info, out);
    times[StagePyramid] = millisecondsSince(start);
    return info;
}

// ---- pixels: opacity, silhouette border, smoothed detail, ink outline ----

void ReliefSynthesizer::pixelStage(const SpriteView& sprite, std::uint32_t stride)
{
    const std::uint32_t w = sprite.width;
    const std::uint32_t h = sprite.height;
    const std::size_t n = std::size_t(w) * h;
    opaque.resize(n);
    border.resize(n);
    ink.resize(n);
    luminance.resize(n);
    detail.resize(n);

    const std::uint32_t key = std::uint32_t(config.colourKey[0]) | std::uint32_t(config.colourKey[1]) << 8 |
                              std::uint32_t(config.colourKey[2]) << 16;
    std::uint32_t minX = w, minY = h, maxX = 0, maxY = 0;
    anyOpaque = false;
    for (std::uint32_t y = 0; y < h; ++y) {
        const std::uint32_t* row = sprite.pixels + std::size_t(y) * stride;
        for (std::uint32_t x = 0; x < w; ++x) {
            const std::uint32_t c = row[x];
            const bool keyed = config.useColourKey && (c & 0xFFFFFFu) == key;
            const bool isOpaque = alpha(c) >= config.alphaThreshold && !keyed;
            const std::size_t p = std::size_t(y) * w + x;
            opaque[p] = isOpaque ? 1 : 0;
            luminance[p] = luminanceOf(c);
            if (isOpaque) {
                anyOpaque = true;
                minX = std::min(minX, x);
                minY = std::min(minY, y);
                maxX = std::max(maxX, x);
                maxY = std::max(maxY, y);
            }
        }
    }
    boxMinX = minX;
    boxMinY = minY;
    boxMaxX = maxX;
    boxMaxY = maxY;

    borderColours.clear();
    double interiorLuminance = 0.0;
    std::size_t interiorCount = 0;
    for (std::uint32_t y = 0; y < h; ++y) {
        const std::uint32_t* row = sprite.pixels + std::size_t(y) * stride;
        for (std::uint32_t x = 0; x < w; ++x) {
            const std::size_t p = std::size_t(y) * w + x;
            detail[p] = 0.0f;
            border[p] = 0;
            if (!opaque[p]) {
                continue;
            }
            const bool interior = x > 0 && y > 0 && x + 1 < w && y + 1 < h && opaque[p - 1] && opaque[p + 1] &&
                                  opaque[p - w] && opaque[p + w];
            if (!interior) {
                border[p] = 1;
                borderColours.push_back(row[x] & 0xFFFFFFu);
                continue;
            }
            // Edge-preserving mean: spatial weight times colour similarity.
            const std::uint32_t centre = row[x];
            float sum = 0.0f;
            float weights = 0.0f;
            for (int dy = -1; dy <= 1; ++dy) {
                const std::uint32_t* nrow = row + std::ptrdiff_t(dy) * stride;
                const std::size_t np = std::size_t(std::ptrdiff_t(p) + std::ptrdiff_t(dy) * w);
                for (int dx = -1; dx <= 1; ++dx) {
                    if (!opaque[np + dx]) {
                        continue;
                    }
                    const std::uint32_t c = nrow[std::ptrdiff_t(x) + dx];
                    const float weight =
                        kSpatialWeight[dy + 1][dx + 1] * colourWeight[squaredRgbDistance(c, centre) >> 8];
                    sum += weight * luminance[np + dx];
                    weights += weight;
                }
            }
            detail[p] = sum / weights - config.detailPivot;
            interiorLuminance += luminance[p];
            ++interiorCount;
        }
    }

    // An ink outline: one colour covering at least a third of the silhouette
    // border and clearly darker than the sprite's interior.
    inkFound = false;
    std::uint32_t inkColour = 0;
    if (config.partsWeight > 0.0f && !borderColours.empty() && interiorCount > 0) {
        std::sort(borderColours.begin(), borderColours.end());
        std::size_t bestRun = 0;
        for (std::size_t i = 0; i < borderColours.size();) {
            std::size_t j = i + 1;
            while (j < borderColours.size() && borderColours[j] == borderColours[i]) {
                ++j;
            }
            if (j - i > bestRun) {
                bestRun = j - i;
                inkColour = borderColours[i];
            }
            i = j;
        }
        const double meanInterior = interiorLuminance / double(interiorCount);
        inkFound = bestRun * 3 >= borderColours.size() && meanInterior - double(luminanceOf(inkColour)) > 0.1;
    }

    for (std::uint32_t y = 0; y < h; ++y) {
        const std::uint32_t* row = sprite.pixels + std::size_t(y) * stride;
        for (std::uint32_t x = 0; x < w; ++x) {
            const std::size_t p = std::size_t(y) * w + x;
            ink[p] = inkFound && opaque[p] && !border[p] && squaredRgbDistance(row[x], inkColour) <= kInkDistanceLimit
                         ? 1
                         : 0;
        }
    }
}

// ---- distance: node grid, inside mask and the three distance transforms ----

void ReliefSynthesizer::distanceStage(std::uint32_t w, std::uint32_t h)
{
    const std::uint32_t s = config.nodesPerPixel;
    if (config.keepFrame || !anyOpaque) {
        usedX = 0;
        usedY = 0;
        usedWidth = w;
        usedHeight = h;
    } else {
        usedX = boxMinX;
        usedY = boxMinY;
        usedWidth = boxMaxX - boxMinX + 1;
        usedHeight = boxMaxY - boxMinY + 1;
    }
    // One ring of outside nodes around the S x S nodes of every pixel. A
    // node side beyond the largest field is refused here, with the field's
    // own message, before the scratch for it is allocated: a large sprite
    // would otherwise take gigabytes only to be refused by the field.
    constexpr std::uint64_t kLargestFieldSide = std::uint64_t(1) << (kMaxFieldLevels - 1);
    if (std::uint64_t(usedWidth) * s + 2 > kLargestFieldSide || std::uint64_t(usedHeight) * s + 2 > kLargestFieldSide) {
        throw std::invalid_argument("field too large");
    }
    nodeColumns = usedWidth * s + 2;
    nodeRows = usedHeight * s + 2;
    fieldWidth = nextPowerOfTwo(nodeColumns);
    fieldHeight = nextPowerOfTwo(nodeRows);

    const std::uint32_t fw = nodeColumns;
    const std::uint32_t fh = nodeRows;
    const std::uint32_t stride = fieldWidth;
    const std::size_t nodes = std::size_t(fieldWidth) * fieldHeight;
    inside.resize(nodes);
    outsideOrInk.resize(nodes);
    edgeDistance.resize(nodes);
    partDistance.resize(nodes);
    nodeHeight.resize(nodes);
    nearestInside.resize(nodes);
    nodeColour.resize(nodes);
    heightValues.resize(nodes);
    columnPixel.resize(fieldWidth);
    rowPixel.resize(fieldHeight);

    // The ring's last column and row lie one pixel past the used rectangle;
    // they are never inside, and their map is kept within the sprite.
    for (std::uint32_t j = 0; j < fw; ++j) {
        columnPixel[j] = std::min(usedX + (j == 0 ? 0 : (j - 1) / s), w - 1);
    }
    for (std::uint32_t i = 0; i < fh; ++i) {
        rowPixel[i] = std::min(usedY + (i == 0 ? 0 : (i - 1) / s), h - 1);
    }

    const std::uint32_t innerColumns = s * usedWidth + 1;
    const std::uint32_t innerRows = s * usedHeight + 1;
    for (std::uint32_t i = 0; i < fh; ++i) {
        const bool rowInRange = i >= 1 && i < innerRows;
        const std::size_t pixelRow = std::size_t(rowPixel[i]) * w;
        const std::size_t row = std::size_t(i) * stride;
        for (std::uint32_t j = 0; j < fw; ++j) {
            const std::size_t p = pixelRow + columnPixel[j];
            const bool isInside = rowInRange && j >= 1 && j < innerColumns && opaque[p];
            inside[row + j] = isInside ? 1 : 0;
            outsideOrInk[row + j] = !isInside || ink[p] ? 1 : 0;
            nearestInside[row + j] = isInside ? std::int32_t(row + j) : -1;
            edgeDistance[row + j] = 0.0f;
            partDistance[row + j] = 0.0f;
        }
    }

    // Outside nodes: distance to, and index of, the nearest inside node.
    squaredDistanceTransform(inside.data(), 1, fw, fh, stride, edgeDistance.data(), nearestInside.data(),
                             distanceScratch);
    // Inside nodes: distance to the nearest outside node.
    squaredDistanceTransform(inside.data(), 0, fw, fh, stride, edgeDistance.data(), nullptr, distanceScratch);
    if (inkFound) {
        // Inside non-ink nodes: distance to the nearest outside or ink node.
        squaredDistanceTransform(outsideOrInk.data(), 1, fw, fh, stride, partDistance.data(), nullptr,
                                 distanceScratch);
    }
}

// ---- relief: bevel plus detail per inside node, then the outside nodes ----

void ReliefSynthesizer::reliefStage(const SpriteView& sprite, std::uint32_t spriteStride, ReliefInfo& info)
{
    const std::uint32_t s = config.nodesPerPixel;
    const std::uint32_t w = sprite.width;
    const Bevel bevel{config.bevelRadius, config.parabolicBevel, config.bevelScale, config.baseHeight};
    const float plinth = bevel.height(0.5f / float(s));
    const float fullRange =
        bevel.height(1e30f) + plinth + std::max(0.0f, 1.0f - config.detailPivot) * config.detailStrength;
    // Settings that give the relief no height at all (no bevel, no base, no
    // detail above the pivot) leave nothing to scale by: every height is then
    // 0, and a unit range keeps the scale, levels and prism finite.
    const float range = fullRange > 0.0f ? fullRange : 1.0f;
    const float perPixel = float(s);
    const float partsWeight = config.partsWeight;

    const std::uint32_t fw = nodeColumns;
    const std::uint32_t fh = nodeRows;
    const std::uint32_t stride = fieldWidth;

    float highest = plinth;
    for (std::uint32_t i = 0; i < fh; ++i) {
        const std::size_t row = std::size_t(i) * stride;
        const std::size_t pixelRow = std::size_t(rowPixel[i]) * w;
        const std::uint32_t* spriteRow = sprite.pixels + std::size_t(rowPixel[i]) * spriteStride;
        for (std::uint32_t j = 0; j < fw; ++j) {
            const std::size_t node = row + j;
            if (!inside[node]) {
                continue;
            }
            const float x = (std::sqrt(edgeDistance[node]) - 0.5f) / perPixel;
            float b = bevel.height(x);
            if (inkFound) {
                const float part = outsideOrInk[node] ? 0.0f : (std::sqrt(partDistance[node]) - 0.5f) / perPixel;
                b = partsWeight * bevel.height(part) + (1.0f - partsWeight) * b;
            }
            const float height =
                std::max(config.baseHeight, b + detail[pixelRow + columnPixel[j]] * config.detailStrength) + plinth;
            nodeHeight[node] = height;
            highest = std::max(highest, height);
            const std::uint32_t c = spriteRow[columnPixel[j]];
            nodeColour[node] = std::uint32_t(albedoTable[red(c)]) | std::uint32_t(albedoTable[green(c)]) << 8 |
                               std::uint32_t(albedoTable[blue(c)]) << 16 | 0xFF000000u;
        }
    }

    // Outside nodes show the colour of the nearest inside node, so that the
    // filtered albedo does not bleed black into the silhouette.
    for (std::uint32_t i = 0; i < fh; ++i) {
        const std::size_t row = std::size_t(i) * stride;
        for (std::uint32_t j = 0; j < fw; ++j) {
            const std::size_t node = row + j;
            if (inside[node]) {
                continue;
            }
            const std::int32_t near = nearestInside[node];
            nodeColour[node] = near >= 0 ? nodeColour[std::size_t(near)] : 0xFF000000u;
            nodeHeight[node] = config.keepFrame && near >= 0 ? nodeHeight[std::size_t(near)] : 0.0f;
        }
    }

    // Padding up to the power-of-two field repeats the last column and row.
    for (std::uint32_t i = 0; i < fieldHeight; ++i) {
        const std::size_t row = std::size_t(i) * stride;
        const std::size_t source = std::size_t(std::min(i, fh - 1)) * stride;
        const std::uint32_t firstColumn = i < fh ? fw : 0;
        for (std::uint32_t j = firstColumn; j < fieldWidth; ++j) {
            const std::size_t from = source + std::min(j, fw - 1);
            const std::size_t node = row + j;
            edgeDistance[node] = edgeDistance[from];
            nearestInside[node] = nearestInside[from];
            nodeHeight[node] = nodeHeight[from];
            nodeColour[node] = nodeColour[from];
            inside[node] = 0;
        }
    }

    const std::size_t nodes = std::size_t(fieldWidth) * fieldHeight;
    for (std::size_t node = 0; node < nodes; ++node) {
        // Scaled as height * 65535 / range, in that order: a precomputed
        // factor rounds differently and moves some values by one step.
        // Heights below 0 come only from negative settings; they stop at 0.
        const float scaled = nodeHeight[node] * 65535.0f / range;
        heightValues[node] = std::uint16_t(std::max(0.0f, std::min(65535.0f, scaled)) + 0.5f);
    }

    info.spriteWidth = sprite.width;
    info.spriteHeight = sprite.height;
    info.opaqueX = usedX;
    info.opaqueY = usedY;
    info.opaqueWidth = usedWidth;
    info.opaqueHeight = usedHeight;
    info.fieldWidth = fieldWidth;
    info.fieldHeight = fieldHeight;
    info.heightScale = range;
    info.baseLevel = plinth / range;
    info.topLevel = std::min(1.0f, highest / range + 1.0f / 65535.0f);
    info.keepFrame = config.keepFrame;
    info.nodesPerPixel = s;
    info.gridOffsetX = 1 - std::int32_t(s * usedX);
    info.gridOffsetY = 1 - std::int32_t(s * usedY);
    info.parts = inkFound;
}

// ---- pyramid: heights, albedo and pixel grid into the field ----

void ReliefSynthesizer::pyramidStage(const ReliefInfo& info, DisplacementField& out)
{
    const std::span<const std::uint16_t> heights(heightValues.data(), std::size_t(fieldWidth) * fieldHeight);
    if (out.width == fieldWidth && out.height == fieldHeight && out.clampEdges) {
        out.setHeights(heights);
        // A relief has no material plane; bytes of the field's earlier
        // content would otherwise be reported for the sprite's surface.
        out.materials.clear();
    } else {
        out = DisplacementField(fieldWidth, fieldHeight, heights, true);
    }
    out.setAlbedo(fieldWidth, fieldHeight,
                  std::span<const std::uint32_t>(nodeColour.data(), std::size_t(fieldWidth) * fieldHeight));
    out.pixelGrid = info.nodesPerPixel;
    out.pixelGridOffsetX = info.gridOffsetX;
    out.pixelGridOffsetY = info.gridOffsetY;
}

} // namespace qlmr
