#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace qlmr {

// Most levels a field (or its albedo) may have: the larger side is at most 32768.
inline constexpr uint32_t kMaxFieldLevels = 16;

// A rectangle of samples, x1 and y1 exclusive.
struct FieldRect {
    uint32_t x0 = 0;
    uint32_t y0 = 0;
    uint32_t x1 = 0;
    uint32_t y1 = 0;

    bool empty() const { return x0 >= x1 || y0 >= y1; }
    bool operator==(const FieldRect&) const = default;
};

// What a height edit changed, per level: the height samples and the bounds
// nodes (bounds level 0 does not exist and stays empty). Levels nothing
// reached, and entries past `levels`, are all zero.
struct FieldUpdate {
    uint32_t levels = 0;
    std::array<FieldRect, kMaxFieldLevels> heightRects{};
    std::array<FieldRect, kMaxFieldLevels> boundsRects{};
};

// What an albedo edit changed, per albedo level.
struct AlbedoUpdate {
    uint32_t levels = 0;
    std::array<FieldRect, kMaxFieldLevels> rects{};
};

// Flat, non-owning view of one field for the tracers and the GPU upload.
// Valid while the field lives and is not resized.
struct FieldView {
    const uint16_t* heights = nullptr;
    const uint32_t* bounds = nullptr;
    std::array<uint32_t, kMaxFieldLevels> heightOffsets{};
    std::array<uint32_t, kMaxFieldLevels> boundsOffsets{};
    uint32_t log2Width = 0;
    uint32_t log2Height = 0;
    uint32_t levels = 0;
    uint32_t wrap = 0; // 1 when the field tiles, 0 when it clamps
};

// Empty when a square field of this edge can be built; otherwise the
// message its constructor would throw: "field width must be a power of two"
// (0 included) or "field too large" (more levels than a field may have).
// Callers check it before generating a terrain, which for a huge edge would
// first allocate many gigabytes only to be refused.
std::string squareFieldEdgeError(uint32_t edge);

// A power-of-two grid of 16-bit heights (value / 65535 spans 0..1) with a
// 3x3-filtered mip chain, a min/max bounds pyramid over it (levels 1 and up;
// low 16 bits minimum, high 16 bits maximum), optional RGBA8 albedo with its
// own mips, optional material bytes and an optional pixel grid.
class DisplacementField {
public:
    // Throws std::invalid_argument: "field width must be a power of two",
    // "field height must be a power of two", "height data size mismatch",
    // "field too large", checked in that order.
    DisplacementField(uint32_t width, uint32_t height, std::span<const uint16_t> heights, bool clampEdges);
    // Checks the size first ("height data size mismatch"), then maps each
    // value h to lroundf(clamp(h, 0, 1) * 65535); NaN maps to 0.
    DisplacementField(uint32_t width, uint32_t height, std::span<const float> heights, bool clampEdges);

    // A field moved from is left empty (size 0, no levels, no albedo,
    // materials or pixel grid), so its sizes never claim samples its arrays
    // no longer hold. A field moved onto itself stays as it was.
    DisplacementField(DisplacementField&& other) noexcept;
    DisplacementField& operator=(DisplacementField&& other) noexcept;
    DisplacementField(const DisplacementField&) = default;
    DisplacementField& operator=(const DisplacementField&) = default;

    // ---- content and edits ----

    // Replaces level 0 and rebuilds every level and the pyramid.
    void setHeights(std::span<const uint16_t> heights);
    // Level 0, for callers that edit in place and then call updateRect.
    std::span<uint16_t> baseHeights() { return {heights.data(), size_t(width) * height}; }
    // Which rectangles of each level an edit of `rect` (level-0 samples) reaches.
    FieldUpdate planUpdate(const FieldRect& rect) const;
    // Rebuilds the mips and bounds that an edit of `rect` reaches.
    FieldUpdate updateRect(const FieldRect& rect);

    // Throws std::invalid_argument: "albedo width must be a power of two",
    // "albedo height must be a power of two", "albedo size mismatch",
    // "albedo too large" (more than 16 levels).
    AlbedoUpdate setAlbedo(uint32_t albedoWidth, uint32_t albedoHeight, std::span<const uint32_t> rgba);
    // Rebuilds the albedo mips over an edited level-0 albedo rectangle.
    AlbedoUpdate updateAlbedoRect(const FieldRect& rect);
    // Throws std::invalid_argument "material size mismatch".
    void setMaterials(std::span<const uint8_t> bytes);

    // A clamping copy whose heights fade smoothly to 0 over `border` (a
    // fraction of the size) at all four edges; albedo and materials carried.
    DisplacementField withEdgeFade(float border) const;

    // ---- lookups ----

    // Size of a level (level < 16): the grid halves until a side reaches 1.
    uint32_t levelWidth(uint32_t level) const { return std::max(width >> level, 1u); }
    uint32_t levelHeight(uint32_t level) const { return std::max(height >> level, 1u); }
    uint32_t albedoLevels() const { return uint32_t(albedoOffsets.size()); }
    uint32_t albedoLevelWidth(uint32_t level) const;
    uint32_t albedoLevelHeight(uint32_t level) const;

    // Raw height, x and y clamped or wrapped to the level; 0 on an empty
    // (moved-from) field.
    uint16_t texel(uint32_t level, int32_t x, int32_t y) const;
    float texelHeight(uint32_t level, int32_t x, int32_t y) const;
    // Bilinear height; sample x sits at u = x / level width. 0 on an empty
    // (moved-from) field.
    float sampleHeight(uint32_t level, float u, float v) const;
    // Packed bounds node of a level >= 1; coordinates must be in range.
    uint32_t boundsAt(uint32_t level, uint32_t x, uint32_t y) const;
    // Bilinear RGBA in 0..1 of one albedo level.
    std::array<float, 4> sampleAlbedoLevel(uint32_t level, float u, float v) const;
    // Trilinear RGBA; (0.7, 0.7, 0.7, 1) without albedo.
    std::array<float, 4> sampleAlbedo(float u, float v, float lod) const;
    // Nearest material byte; 0 without materials.
    uint8_t materialAt(float u, float v) const;
    // Moves (u, v) to the centre of its pixel-grid cell; false without a grid.
    bool snapToPixelGrid(float& u, float& v) const;

    FieldView view() const;
    uint32_t* albedoLevel(uint32_t level) { return albedo.data() + albedoOffsets[level]; }
    const uint32_t* albedoLevel(uint32_t level) const { return albedo.data() + albedoOffsets[level]; }

    size_t heightBytes() const { return heights.size() * 2; }
    size_t boundsBytes() const { return bounds.size() * 4; }
    size_t memoryBytes() const
    {
        return heights.size() * 2 + bounds.size() * 4 + albedo.size() * 4 + materials.size();
    }

    // ---- data (read freely; change through the operations above) ----

    uint32_t width = 0;
    uint32_t height = 0;
    uint32_t levels = 0;
    uint32_t log2Width = 0;
    uint32_t log2Height = 0;
    bool clampEdges = true;
    std::vector<uint16_t> heights;    // every level, level 0 first, then 8 zeros
    std::vector<uint32_t> bounds;     // levels 1.., at least one node, then 8 zeros
    std::array<uint32_t, kMaxFieldLevels> heightOffsets{};
    std::array<uint32_t, kMaxFieldLevels> boundsOffsets{};
    uint32_t albedoWidth = 0;
    uint32_t albedoHeight = 0;
    std::vector<uint32_t> albedo;     // every albedo level, red in the low byte
    std::vector<uint32_t> albedoOffsets;
    std::vector<uint8_t> materials;   // one per level-0 cell, or empty
    uint32_t pixelGrid = 0;           // pixel-grid cell edge in samples; 0 for none
    int32_t pixelGridOffsetX = 0;
    int32_t pixelGridOffsetY = 0;

private:
    void rebuildLevels(const FieldUpdate& update);
    void rebuildAll();
};

} // namespace qlmr
