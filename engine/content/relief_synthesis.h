#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "content/relief_distance.h"
#include "scene/height_field.h"

namespace qlmr {

// How a sprite is stood up as a relief. Copied into the synthesizer.
struct ReliefSettings {
    std::uint32_t nodesPerPixel = 2;  // field nodes per sprite pixel along each axis, 1..8
    float bevelRadius = 6.0f;         // horizontal reach of the edge bevel, in sprite pixels
    bool parabolicBevel = false;      // false: circular bevel, true: parabolic
    float bevelScale = 1.0f;          // bevel height per unit of profile
    float detailStrength = 2.0f;      // height added per unit of smoothed luminance
    float detailPivot = 0.5f;         // luminance that adds no height
    float colourSigma = 0.15f;        // sigma of the colour-difference weight of the smoothing
    float baseHeight = 0.5f;          // floor under the bevel profile
    float partsWeight = 0.6f;         // weight of the per-part bevel; 0 switches part detection off
    std::uint8_t alphaThreshold = 128; // opaque when alpha is at least this
    bool useColourKey = false;        // treat the key colour as transparent
    std::array<std::uint8_t, 3> colourKey{0, 0, 0};
    bool keepFrame = false;           // whole sprite rectangle; outside nodes take the nearest inside height
    bool linearAlbedo = true;         // store the sRGB colours as linear albedo
};

// Non-owning view of RGBA8 pixels, red in the low byte, alpha in the high byte.
// A crop of a larger image is a pointer to its first pixel with the image's
// stride and the number of pixels left from there.
struct SpriteView {
    const std::uint32_t* pixels = nullptr;
    std::size_t count = 0;      // u32 values readable from pixels
    std::uint32_t width = 0;
    std::uint32_t height = 0;
    std::uint32_t stride = 0;   // pixels per row; 0 means width
};

// What one synthesis produced.
struct ReliefInfo {
    std::uint32_t spriteWidth = 0;
    std::uint32_t spriteHeight = 0;
    std::uint32_t opaqueX = 0;       // top-left pixel of the used rectangle
    std::uint32_t opaqueY = 0;
    std::uint32_t opaqueWidth = 0;   // its size in sprite pixels
    std::uint32_t opaqueHeight = 0;
    std::uint32_t fieldWidth = 0;    // the filled field (powers of two)
    std::uint32_t fieldHeight = 0;
    float heightScale = 0.0f;        // the height that the value 65535 stands for
    float baseLevel = 0.0f;          // the plinth, the lowest inside height, as a fraction of the range
    float topLevel = 0.0f;           // the highest inside height as a fraction, at most 1
    bool keepFrame = false;
    std::uint32_t nodesPerPixel = 0;
    std::int32_t gridOffsetX = 0;    // field node at which sprite column 0 begins
    std::int32_t gridOffsetY = 0;
    bool parts = false;              // an ink outline was found and part bevels were blended in
};

// Turns flat RGBA sprites into bevelled relief height fields. Not thread
// safe: all scratch storage lives in the object and is reused between calls,
// so concurrent syntheses need one synthesizer each.
class ReliefSynthesizer {
public:
    enum Stage { StagePixels = 0, StageDistance = 1, StageRelief = 2, StagePyramid = 3 };

    // Throws std::invalid_argument "nodesPerPixel must be 1..8".
    explicit ReliefSynthesizer(const ReliefSettings& settings);

    // Fills `out` with the relief of the sprite: 16-bit heights, albedo and
    // pixel grid. Replaces `out` unless it already is a clamping field of
    // the right size, in which case only its heights and albedo change.
    // Throws std::invalid_argument "sprite view out of range" (also for a
    // view whose pixel pointer is null), and "field
    // too large" (leaving `out` alone) when the relief would need a field
    // side beyond the largest field.
    ReliefInfo synthesize(const SpriteView& sprite, DisplacementField& out);

    // Milliseconds of the last call's stages: pixels, distance, relief, pyramid.
    const std::array<double, 4>& stageTimes() const { return times; }
    const ReliefSettings& settings() const { return config; }

private:
    void pixelStage(const SpriteView& sprite, std::uint32_t stride);
    void distanceStage(std::uint32_t w, std::uint32_t h);
    void reliefStage(const SpriteView& sprite, std::uint32_t stride, ReliefInfo& info);
    void pyramidStage(const ReliefInfo& info, DisplacementField& out);

    ReliefSettings config;
    std::array<double, 4> times{};
    std::array<float, 768> colourWeight{};
    std::array<std::uint8_t, 256> albedoTable{};

    // Results of the pixel stage that the later stages read.
    std::uint32_t boxMinX = 0, boxMinY = 0, boxMaxX = 0, boxMaxY = 0;
    bool anyOpaque = false;
    bool inkFound = false;
    // The used rectangle, the node rectangle and the field of the last call.
    std::uint32_t usedX = 0, usedY = 0, usedWidth = 0, usedHeight = 0;
    std::uint32_t nodeColumns = 0, nodeRows = 0;
    std::uint32_t fieldWidth = 0, fieldHeight = 0;

    // Per sprite pixel.
    std::vector<std::uint8_t> opaque;
    std::vector<std::uint8_t> border;
    std::vector<std::uint8_t> ink;
    std::vector<float> luminance;
    std::vector<float> detail;
    std::vector<std::uint32_t> borderColours;
    // Per field node.
    std::vector<std::uint8_t> inside;
    std::vector<std::uint8_t> outsideOrInk;
    std::vector<float> edgeDistance;  // squared: outside nodes to the silhouette, inside nodes to the outside
    std::vector<float> partDistance;  // squared: inside non-ink nodes to the nearest outside or ink node
    std::vector<float> nodeHeight;
    std::vector<std::int32_t> nearestInside;
    std::vector<std::uint32_t> nodeColour;
    std::vector<std::uint16_t> heightValues;
    std::vector<std::uint32_t> columnPixel; // node column to sprite column
    std::vector<std::uint32_t> rowPixel;    // node row to sprite row
    DistanceScratch distanceScratch;
};

} // namespace qlmr
