#include "scene/height_field.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <stdexcept>
#include <utility>

namespace qlmr {

namespace {

// Number of entries behind heights and bounds so a full SIMD load at the last
// valid index stays inside the array.
constexpr size_t kTailPadding = 8;

bool isPowerOfTwo(uint32_t n) { return n != 0 && (n & (n - 1)) == 0; }

uint32_t log2Of(uint32_t powerOfTwo) { return uint32_t(std::countr_zero(powerOfTwo)); }

// An index moved onto [0, size): clamped to the edge or wrapped by masking.
inline int32_t edgeIndex(int64_t i, uint32_t size, bool clamp)
{
    if (clamp) {
        return int32_t(std::clamp<int64_t>(i, 0, int64_t(size) - 1));
    }
    return int32_t(uint64_t(i) & uint64_t(size - 1));
}

// A floored sample coordinate as an index for edgeIndex. Coordinates far
// outside the grid (or NaN) do not fit an integer: they are brought into a
// range that still lies beyond every edge, so a clamping field reads its
// nearest edge sample instead of whatever the out-of-range conversion gives.
// NaN reads sample 0; its fractions make the result NaN anyway.
inline int64_t sampleIndex(float floored)
{
    if (std::isnan(floored)) {
        return 0;
    }
    constexpr float kFar = 0x1p62f;
    return int64_t(std::clamp(floored, -kFar, kFar));
}

int64_t floorDiv(int64_t a, int64_t b)
{
    int64_t q = a / b;
    return (a % b != 0 && (a < 0) != (b < 0)) ? q - 1 : q;
}

int64_t ceilDiv(int64_t a, int64_t b) { return -floorDiv(-a, b); }

// One axis of a planned range; empty when lo >= hi.
struct AxisRange {
    int64_t lo = 0;
    int64_t hi = 0;
    bool empty() const { return lo >= hi; }
};

// The whole-extent rule for tiling fields and the clamp to [0, size); an
// empty range becomes 0, 0.
AxisRange fitToLevel(AxisRange r, uint32_t size, bool wrap)
{
    if (r.empty()) {
        return {};
    }
    if (wrap && (r.lo < 0 || r.hi > int64_t(size))) {
        return {0, int64_t(size)};
    }
    r.lo = std::max<int64_t>(r.lo, 0);
    r.hi = std::min<int64_t>(r.hi, size);
    return r.empty() ? AxisRange{} : r;
}

FieldRect toRect(AxisRange x, AxisRange y)
{
    if (x.empty() || y.empty()) {
        return {};
    }
    return {uint32_t(x.lo), uint32_t(y.lo), uint32_t(x.hi), uint32_t(y.hi)};
}

std::vector<uint16_t> quantizeHeights(uint32_t width, uint32_t height, std::span<const float> values)
{
    if (values.size() != size_t(width) * height) {
        throw std::invalid_argument("height data size mismatch");
    }
    std::vector<uint16_t> out(values.size());
    for (size_t i = 0; i < values.size(); ++i) {
        float h = values[i];
        // NaN survives min/max, and lroundf(NaN) is unspecified: treat it as 0.
        h = std::isnan(h) ? 0.0f : std::min(std::max(h, 0.0f), 1.0f);
        out[i] = uint16_t(std::lroundf(h * 65535.0f));
    }
    return out;
}

constexpr float kHeightScale = 1.0f / 65535.0f; // 1.5259022e-5
constexpr float kByteScale = 0.003921569f;       // 1 / 255

} // namespace

// ---------------------------------------------------------------- construction

std::string squareFieldEdgeError(uint32_t edge)
{
    if (!isPowerOfTwo(edge)) {
        return "field width must be a power of two";
    }
    // A square field of edge 2^k has k + 1 levels.
    if (log2Of(edge) + 1 > kMaxFieldLevels) {
        return "field too large";
    }
    return {};
}

DisplacementField::DisplacementField(uint32_t width_, uint32_t height_, std::span<const uint16_t> data,
                                     bool clampEdges_)
{
    if (!isPowerOfTwo(width_)) {
        throw std::invalid_argument("field width must be a power of two");
    }
    if (!isPowerOfTwo(height_)) {
        throw std::invalid_argument("field height must be a power of two");
    }
    if (data.size() != size_t(width_) * height_) {
        throw std::invalid_argument("height data size mismatch");
    }
    const uint32_t lw = log2Of(width_);
    const uint32_t lh = log2Of(height_);
    if (std::max(lw, lh) + 1 > kMaxFieldLevels) {
        throw std::invalid_argument("field too large");
    }
    width = width_;
    height = height_;
    log2Width = lw;
    log2Height = lh;
    levels = std::max(lw, lh) + 1;
    clampEdges = clampEdges_;

    size_t samples = 0;
    size_t nodes = 0;
    for (uint32_t level = 0; level < levels; ++level) {
        heightOffsets[level] = uint32_t(samples);
        const size_t count = size_t(levelWidth(level)) * levelHeight(level);
        samples += count;
        if (level >= 1) {
            boundsOffsets[level] = uint32_t(nodes);
            nodes += count;
        }
    }
    heights.assign(samples + kTailPadding, 0);
    bounds.assign(std::max<size_t>(nodes, 1) + kTailPadding, 0);
    std::copy(data.begin(), data.end(), heights.begin());
    rebuildAll();
}

DisplacementField::DisplacementField(uint32_t width_, uint32_t height_, std::span<const float> data,
                                     bool clampEdges_)
    : DisplacementField(width_, height_, std::span<const uint16_t>(quantizeHeights(width_, height_, data)),
                        clampEdges_)
{
}

DisplacementField::DisplacementField(DisplacementField&& other) noexcept
{
    *this = std::move(other);
}

DisplacementField& DisplacementField::operator=(DisplacementField&& other) noexcept
{
    if (this == &other) {
        return *this;
    }
    width = std::exchange(other.width, 0);
    height = std::exchange(other.height, 0);
    levels = std::exchange(other.levels, 0);
    log2Width = std::exchange(other.log2Width, 0);
    log2Height = std::exchange(other.log2Height, 0);
    clampEdges = std::exchange(other.clampEdges, true);
    heights = std::exchange(other.heights, {});
    bounds = std::exchange(other.bounds, {});
    heightOffsets = std::exchange(other.heightOffsets, {});
    boundsOffsets = std::exchange(other.boundsOffsets, {});
    albedoWidth = std::exchange(other.albedoWidth, 0);
    albedoHeight = std::exchange(other.albedoHeight, 0);
    albedo = std::exchange(other.albedo, {});
    albedoOffsets = std::exchange(other.albedoOffsets, {});
    materials = std::exchange(other.materials, {});
    pixelGrid = std::exchange(other.pixelGrid, 0);
    pixelGridOffsetX = std::exchange(other.pixelGridOffsetX, 0);
    pixelGridOffsetY = std::exchange(other.pixelGridOffsetY, 0);
    return *this;
}

void DisplacementField::setHeights(std::span<const uint16_t> data)
{
    if (data.size() != size_t(width) * height) {
        throw std::invalid_argument("height data size mismatch");
    }
    std::copy(data.begin(), data.end(), heights.begin());
    rebuildAll();
}

void DisplacementField::rebuildAll() { updateRect(FieldRect{0, 0, width, height}); }

// ---------------------------------------------------------------- update planning

FieldUpdate DisplacementField::planUpdate(const FieldRect& rect) const
{
    FieldUpdate update;
    update.levels = levels;
    const bool wrap = !clampEdges;

    auto levelZeroAxis = [wrap](uint32_t lo, uint32_t hi, uint32_t size) {
        if (lo >= hi) {
            return AxisRange{};
        }
        AxisRange r{lo, hi};
        if (wrap && r.hi > int64_t(size)) {
            r = {0, int64_t(size)};
        }
        r.hi = std::min<int64_t>(r.hi, size);
        // A range wholly past the edge of a clamping field touches nothing.
        return r.empty() ? AxisRange{} : r;
    };
    AxisRange hx = levelZeroAxis(rect.x0, rect.x1, width);
    AxisRange hy = levelZeroAxis(rect.y0, rect.y1, height);
    update.heightRects[0] = toRect(hx, hy);
    if (update.heightRects[0].empty() || levels < 2) {
        return update;
    }

    // Per axis: the level's height range from the finer level's, and its
    // bounds range from the finer level's bounds (level 0's heights for L = 1)
    // widened by the node's dependence on its own sample and the next one.
    auto nextAxis = [wrap](uint32_t level, uint32_t parentSize, uint32_t size, AxisRange& heightRange,
                           AxisRange& boundsRange) {
        const int64_t r = parentSize / size;
        AxisRange h = heightRange;
        if (r == 2) {
            h = {floorDiv(heightRange.lo - 1, 2), floorDiv(heightRange.hi, 2) + 1};
        }
        h = fitToLevel(h, size, wrap);

        AxisRange b{floorDiv(boundsRange.lo, r) - (level == 1 ? 1 : 0), ceilDiv(boundsRange.hi, r)};
        if (!h.empty()) {
            b.lo = std::min(b.lo, h.lo - 1);
            b.hi = std::max(b.hi, h.hi);
        }
        b = fitToLevel(b, size, wrap);
        heightRange = h;
        boundsRange = b;
    };

    AxisRange bx = hx;
    AxisRange by = hy;
    for (uint32_t level = 1; level < levels; ++level) {
        nextAxis(level, levelWidth(level - 1), levelWidth(level), hx, bx);
        nextAxis(level, levelHeight(level - 1), levelHeight(level), hy, by);
        update.heightRects[level] = toRect(hx, hy);
        update.boundsRects[level] = toRect(bx, by);
    }
    return update;
}

FieldUpdate DisplacementField::updateRect(const FieldRect& rect)
{
    FieldUpdate update = planUpdate(rect);
    if (!update.heightRects[0].empty()) {
        rebuildLevels(update);
    }
    return update;
}

// ---------------------------------------------------------------- level rebuilding

void DisplacementField::rebuildLevels(const FieldUpdate& update)
{
    if (levels < 2) {
        return;
    }
    const bool clamp = clampEdges;
    std::vector<int32_t> columns;

    // Height mips: a 3x3 tent (1/4, 1/2, 1/4 per axis) of the finer level,
    // rounded half up.
    for (uint32_t level = 1; level < levels; ++level) {
        const FieldRect& r = update.heightRects[level];
        if (r.empty()) {
            continue;
        }
        const uint32_t pw = levelWidth(level - 1);
        const uint32_t ph = levelHeight(level - 1);
        const uint32_t cw = levelWidth(level);
        const uint32_t ch = levelHeight(level);
        const bool halveX = pw > cw;
        const bool halveY = ph > ch;
        const uint16_t* src = heights.data() + heightOffsets[level - 1];
        uint16_t* dst = heights.data() + heightOffsets[level];

        columns.resize(size_t(r.x1 - r.x0) * 3);
        for (uint32_t x = r.x0; x < r.x1; ++x) {
            int32_t* c = &columns[size_t(x - r.x0) * 3];
            if (halveX) {
                c[0] = edgeIndex(int64_t(2) * x - 1, pw, clamp);
                c[1] = int32_t(2 * x);
                c[2] = edgeIndex(int64_t(2) * x + 1, pw, clamp);
            } else {
                c[0] = c[1] = c[2] = int32_t(x);
            }
        }
        for (uint32_t y = r.y0; y < r.y1; ++y) {
            int32_t rows[3];
            if (halveY) {
                rows[0] = edgeIndex(int64_t(2) * y - 1, ph, clamp);
                rows[1] = int32_t(2 * y);
                rows[2] = edgeIndex(int64_t(2) * y + 1, ph, clamp);
            } else {
                rows[0] = rows[1] = rows[2] = int32_t(y);
            }
            const uint16_t* row0 = src + size_t(rows[0]) * pw;
            const uint16_t* row1 = src + size_t(rows[1]) * pw;
            const uint16_t* row2 = src + size_t(rows[2]) * pw;
            uint16_t* out = dst + size_t(y) * cw;
            for (uint32_t x = r.x0; x < r.x1; ++x) {
                const int32_t* c = &columns[size_t(x - r.x0) * 3];
                const float f0 = float(row0[c[0]]) * 0.25f + float(row0[c[1]]) * 0.5f + float(row0[c[2]]) * 0.25f;
                const float f1 = float(row1[c[0]]) * 0.25f + float(row1[c[1]]) * 0.5f + float(row1[c[2]]) * 0.25f;
                const float f2 = float(row2[c[0]]) * 0.25f + float(row2[c[1]]) * 0.5f + float(row2[c[2]]) * 0.25f;
                out[x] = uint16_t(f0 * 0.25f + f1 * 0.5f + f2 * 0.25f + 0.5f);
            }
        }
    }

    // Bounds: level 1 from the level-0 samples its cells touch (ends
    // inclusive), coarser levels from their children; every node then widened
    // by its own level's four corner samples, so it bounds every bilinear
    // height over its footprint at level 0 and at its own level.
    for (uint32_t level = 1; level < levels; ++level) {
        const FieldRect& r = update.boundsRects[level];
        if (r.empty()) {
            continue;
        }
        const uint32_t pw = levelWidth(level - 1);
        const uint32_t ph = levelHeight(level - 1);
        const uint32_t cw = levelWidth(level);
        const uint32_t ch = levelHeight(level);
        const uint32_t rx = pw / cw;
        const uint32_t ry = ph / ch;
        const uint16_t* own = heights.data() + heightOffsets[level];
        uint32_t* dst = bounds.data() + boundsOffsets[level];

        for (uint32_t y = r.y0; y < r.y1; ++y) {
            const uint16_t* ownRow0 = own + size_t(y) * cw;
            const uint16_t* ownRow1 = own + size_t(edgeIndex(int64_t(y) + 1, ch, clamp)) * cw;
            for (uint32_t x = r.x0; x < r.x1; ++x) {
                uint32_t lo = 65535;
                uint32_t hi = 0;
                if (level == 1) {
                    const uint16_t* base = heights.data();
                    for (uint32_t j = y * ry; j <= (y + 1) * ry; ++j) {
                        const uint16_t* row = base + size_t(edgeIndex(j, ph, clamp)) * pw;
                        for (uint32_t i = x * rx; i <= (x + 1) * rx; ++i) {
                            const uint32_t h = row[edgeIndex(i, pw, clamp)];
                            lo = std::min(lo, h);
                            hi = std::max(hi, h);
                        }
                    }
                } else {
                    const uint32_t* children = bounds.data() + boundsOffsets[level - 1];
                    for (uint32_t j = y * ry; j < (y + 1) * ry; ++j) {
                        for (uint32_t i = x * rx; i < (x + 1) * rx; ++i) {
                            const uint32_t node = children[size_t(j) * pw + i];
                            lo = std::min(lo, node & 0xFFFFu);
                            hi = std::max(hi, node >> 16);
                        }
                    }
                }
                const int32_t x1 = edgeIndex(int64_t(x) + 1, cw, clamp);
                for (uint32_t h : {uint32_t(ownRow0[x]), uint32_t(ownRow0[x1]), uint32_t(ownRow1[x]),
                                   uint32_t(ownRow1[x1])}) {
                    lo = std::min(lo, h);
                    hi = std::max(hi, h);
                }
                dst[size_t(y) * cw + x] = (hi << 16) | lo;
            }
        }
    }
}

// ---------------------------------------------------------------- albedo and materials

uint32_t DisplacementField::albedoLevelWidth(uint32_t level) const
{
    return std::max(albedoWidth >> level, 1u);
}

uint32_t DisplacementField::albedoLevelHeight(uint32_t level) const
{
    return std::max(albedoHeight >> level, 1u);
}

AlbedoUpdate DisplacementField::setAlbedo(uint32_t w, uint32_t h, std::span<const uint32_t> rgba)
{
    if (!isPowerOfTwo(w)) {
        throw std::invalid_argument("albedo width must be a power of two");
    }
    if (!isPowerOfTwo(h)) {
        throw std::invalid_argument("albedo height must be a power of two");
    }
    if (rgba.size() != size_t(w) * h) {
        throw std::invalid_argument("albedo size mismatch");
    }
    const uint32_t count = std::max(log2Of(w), log2Of(h)) + 1;
    // An AlbedoUpdate holds 16 levels; a larger albedo could not be reported.
    if (count > kMaxFieldLevels) {
        throw std::invalid_argument("albedo too large");
    }
    std::vector<uint32_t> offsets(count, 0);
    size_t texels = 0;
    for (uint32_t level = 0; level < count; ++level) {
        offsets[level] = uint32_t(texels);
        texels += size_t(std::max(w >> level, 1u)) * std::max(h >> level, 1u);
    }
    // The texels may be this field's own albedo (a level of it, or level 0
    // after an edit in place): they are copied into new storage before the
    // old one is freed. The field takes the new albedo only once it is all
    // there, so a failed allocation leaves the old one whole.
    std::vector<uint32_t> levelsData(texels, 0xFF000000u);
    std::copy(rgba.begin(), rgba.end(), levelsData.begin());
    albedoWidth = w;
    albedoHeight = h;
    albedoOffsets = std::move(offsets);
    albedo = std::move(levelsData);
    return updateAlbedoRect(FieldRect{0, 0, w, h});
}

AlbedoUpdate DisplacementField::updateAlbedoRect(const FieldRect& rect)
{
    AlbedoUpdate update;
    update.levels = albedoLevels();
    if (update.levels == 0) {
        return update;
    }
    FieldRect r = rect;
    r.x1 = std::min(r.x1, albedoWidth);
    r.y1 = std::min(r.y1, albedoHeight);
    if (r.empty()) {
        return update;
    }
    update.rects[0] = r;
    for (uint32_t level = 1; level < update.levels; ++level) {
        const uint32_t pw = albedoLevelWidth(level - 1);
        const uint32_t cw = albedoLevelWidth(level);
        const uint32_t rx = pw / cw;
        const uint32_t ry = albedoLevelHeight(level - 1) / albedoLevelHeight(level);
        const FieldRect& p = update.rects[level - 1];
        const FieldRect c{p.x0 / rx, p.y0 / ry, (p.x1 - 1) / rx + 1, (p.y1 - 1) / ry + 1};
        update.rects[level] = c;

        const uint32_t n = rx * ry;
        const uint32_t* src = albedo.data() + albedoOffsets[level - 1];
        uint32_t* dst = albedo.data() + albedoOffsets[level];
        for (uint32_t y = c.y0; y < c.y1; ++y) {
            for (uint32_t x = c.x0; x < c.x1; ++x) {
                uint32_t sum[4] = {0, 0, 0, 0};
                for (uint32_t j = y * ry; j < y * ry + ry; ++j) {
                    for (uint32_t i = x * rx; i < x * rx + rx; ++i) {
                        const uint32_t texel = src[size_t(j) * pw + i];
                        for (int k = 0; k < 4; ++k) {
                            sum[k] += (texel >> (8 * k)) & 0xFFu;
                        }
                    }
                }
                uint32_t out = 0;
                for (int k = 0; k < 4; ++k) {
                    out |= ((sum[k] + n / 2) / n) << (8 * k);
                }
                dst[size_t(y) * cw + x] = out;
            }
        }
    }
    return update;
}

void DisplacementField::setMaterials(std::span<const uint8_t> bytes)
{
    if (bytes.size() != size_t(width) * height) {
        throw std::invalid_argument("material size mismatch");
    }
    materials.assign(bytes.begin(), bytes.end());
}

// ---------------------------------------------------------------- edge fade

DisplacementField DisplacementField::withEdgeFade(float border) const
{
    const float fadeX = std::max(float(width) * border, 1.0f);
    const float fadeY = std::max(float(height) * border, 1.0f);
    std::vector<uint16_t> faded(size_t(width) * height);
    for (uint32_t y = 0; y < height; ++y) {
        const float ty = std::clamp(float(std::min(y, height - 1 - y)) / fadeY, 0.0f, 1.0f);
        const float sy = (3.0f - 2.0f * ty) * ty * ty;
        for (uint32_t x = 0; x < width; ++x) {
            const float tx = std::clamp(float(std::min(x, width - 1 - x)) / fadeX, 0.0f, 1.0f);
            const float sx = (3.0f - 2.0f * tx) * tx * tx;
            const size_t i = size_t(y) * width + x;
            faded[i] = uint16_t(std::lroundf(float(heights[i]) * (sy * sx)));
        }
    }
    DisplacementField out(width, height, std::span<const uint16_t>(faded), true);
    if (albedoWidth != 0) {
        out.setAlbedo(albedoWidth, albedoHeight,
                      std::span<const uint32_t>(albedo.data(), size_t(albedoWidth) * albedoHeight));
    }
    if (!materials.empty()) {
        out.setMaterials(materials);
    }
    return out;
}

// ---------------------------------------------------------------- lookups

uint16_t DisplacementField::texel(uint32_t level, int32_t x, int32_t y) const
{
    // A moved-from field has no samples to read.
    if (levels == 0) {
        return 0;
    }
    const uint32_t lw = levelWidth(level);
    const uint32_t lh = levelHeight(level);
    const int32_t cx = edgeIndex(x, lw, clampEdges);
    const int32_t cy = edgeIndex(y, lh, clampEdges);
    return heights[heightOffsets[level] + size_t(cy) * lw + size_t(cx)];
}

float DisplacementField::texelHeight(uint32_t level, int32_t x, int32_t y) const
{
    return float(texel(level, x, y)) * kHeightScale;
}

float DisplacementField::sampleHeight(uint32_t level, float u, float v) const
{
    if (levels == 0) {
        return 0.0f;
    }
    const uint32_t lw = levelWidth(level);
    const uint32_t lh = levelHeight(level);
    const float x = float(lw) * u;
    const float y = float(lh) * v;
    const float flx = std::floor(x);
    const float fly = std::floor(y);
    const int64_t ix = sampleIndex(flx);
    const int64_t iy = sampleIndex(fly);
    const float fx = x - flx;
    const float fy = y - fly;
    const uint16_t* samples = heights.data() + heightOffsets[level];
    const size_t row0 = size_t(edgeIndex(iy, lh, clampEdges)) * lw;
    const size_t row1 = size_t(edgeIndex(iy + 1, lh, clampEdges)) * lw;
    const size_t x0 = size_t(edgeIndex(ix, lw, clampEdges));
    const size_t x1 = size_t(edgeIndex(ix + 1, lw, clampEdges));
    const float h00 = float(samples[row0 + x0]) * kHeightScale;
    const float h10 = float(samples[row0 + x1]) * kHeightScale;
    const float h01 = float(samples[row1 + x0]) * kHeightScale;
    const float h11 = float(samples[row1 + x1]) * kHeightScale;
    return (h00 * (1.0f - fx) + h10 * fx) * (1.0f - fy) + (h01 * (1.0f - fx) + h11 * fx) * fy;
}

uint32_t DisplacementField::boundsAt(uint32_t level, uint32_t x, uint32_t y) const
{
    return bounds[boundsOffsets[level] + size_t(y) * levelWidth(level) + x];
}

std::array<float, 4> DisplacementField::sampleAlbedoLevel(uint32_t level, float u, float v) const
{
    const uint32_t lw = albedoLevelWidth(level);
    const uint32_t lh = albedoLevelHeight(level);
    const float x = float(lw) * u;
    const float y = float(lh) * v;
    const float flx = std::floor(x);
    const float fly = std::floor(y);
    const float fx = x - flx;
    const float fy = y - fly;
    const int64_t ix = sampleIndex(flx);
    const int64_t iy = sampleIndex(fly);
    const int32_t x0 = edgeIndex(ix, lw, clampEdges);
    const int32_t x1 = edgeIndex(ix + 1, lw, clampEdges);
    const int32_t y0 = edgeIndex(iy, lh, clampEdges);
    const int32_t y1 = edgeIndex(iy + 1, lh, clampEdges);
    const uint32_t* texels = albedoLevel(level);
    const uint32_t c00 = texels[size_t(y0) * lw + x0];
    const uint32_t c10 = texels[size_t(y0) * lw + x1];
    const uint32_t c01 = texels[size_t(y1) * lw + x0];
    const uint32_t c11 = texels[size_t(y1) * lw + x1];
    std::array<float, 4> out{};
    for (int k = 0; k < 4; ++k) {
        const int shift = 8 * k;
        const float a00 = float((c00 >> shift) & 0xFFu);
        const float a10 = float((c10 >> shift) & 0xFFu);
        const float a01 = float((c01 >> shift) & 0xFFu);
        const float a11 = float((c11 >> shift) & 0xFFu);
        out[k] = ((a11 * fx + a01 * (1.0f - fx)) * fy + (a10 * fx + a00 * (1.0f - fx)) * (1.0f - fy)) * kByteScale;
    }
    return out;
}

std::array<float, 4> DisplacementField::sampleAlbedo(float u, float v, float lod) const
{
    if (albedoWidth == 0) {
        return {0.7f, 0.7f, 0.7f, 1.0f};
    }
    const uint32_t count = albedoLevels();
    lod = std::isnan(lod) ? 0.0f : std::clamp(lod, 0.0f, float(count - 1));
    const uint32_t l0 = uint32_t(lod);
    const uint32_t l1 = std::min(l0 + 1, count - 1);
    const float t = lod - float(l0);
    const std::array<float, 4> c0 = sampleAlbedoLevel(l0, u, v);
    if (!(t > 0.0f) || l1 == l0) {
        return c0;
    }
    const std::array<float, 4> c1 = sampleAlbedoLevel(l1, u, v);
    std::array<float, 4> out{};
    for (int k = 0; k < 4; ++k) {
        out[k] = c0[k] + (c1[k] - c0[k]) * t;
    }
    return out;
}

uint8_t DisplacementField::materialAt(float u, float v) const
{
    if (materials.empty()) {
        return 0;
    }
    const int64_t x = sampleIndex(std::floor(float(width) * u + 0.5f));
    const int64_t y = sampleIndex(std::floor(float(height) * v + 0.5f));
    const int32_t cx = edgeIndex(x, width, clampEdges);
    const int32_t cy = edgeIndex(y, height, clampEdges);
    return materials[size_t(cy) * width + size_t(cx)];
}

bool DisplacementField::snapToPixelGrid(float& u, float& v) const
{
    if (pixelGrid == 0) {
        return false;
    }
    const float n = float(pixelGrid);
    const float centre = float(pixelGrid - 1) / 2.0f;
    auto snap = [n, centre](float coordinate, uint32_t size, int32_t offset) {
        const float s = float(size);
        const float o = float(offset);
        const float cell = std::floor((s * coordinate - o + 0.5f) / n);
        return (cell * n + o + centre) / s;
    };
    u = snap(u, width, pixelGridOffsetX);
    v = snap(v, height, pixelGridOffsetY);
    return true;
}

FieldView DisplacementField::view() const
{
    FieldView out;
    out.heights = heights.data();
    out.bounds = bounds.data();
    out.heightOffsets = heightOffsets;
    out.boundsOffsets = boundsOffsets;
    out.log2Width = log2Width;
    out.log2Height = log2Height;
    out.levels = levels;
    out.wrap = clampEdges ? 0u : 1u;
    return out;
}

} // namespace qlmr
