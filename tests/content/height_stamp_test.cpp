#include "content/height_stamp.h"

#include <algorithm>
#include <cstdint>
#include <gtest/gtest.h>
#include <limits>
#include <string>
#include <vector>

namespace qlmr {
namespace {

DisplacementField flatField(std::uint32_t size, std::uint16_t value, bool clampEdges)
{
    const std::vector<std::uint16_t> heights(std::size_t(size) * size, value);
    return DisplacementField(size, size, std::span<const std::uint16_t>(heights), clampEdges);
}

std::uint16_t at(const DisplacementField& field, std::uint32_t x, std::uint32_t y)
{
    return field.heights[std::size_t(y) * field.width + x];
}

// Every level and every bounds node must be what a fresh build from the
// stamped level 0 gives: the reported rectangle covered the whole edit.
void expectPyramidRebuilt(const DisplacementField& field)
{
    const std::vector<std::uint16_t> base(field.heights.begin(),
                                          field.heights.begin() + std::size_t(field.width) * field.height);
    const DisplacementField fresh(field.width, field.height, std::span<const std::uint16_t>(base), field.clampEdges);
    EXPECT_EQ(field.heights, fresh.heights);
    EXPECT_EQ(field.bounds, fresh.bounds);
}

// 0.5 of the range, plus 0.2 / 0.1125 / 0.05 of it at distances 0, 1 and
// sqrt(2) of a radius-2 raise: weights 1, (1 - 1/4)^2, (1 - 1/2)^2.
TEST(StampHeight, RaisesADiscOnAClampingFieldAndReportsItsSpan)
{
    DisplacementField field = flatField(16, 32768, true);
    StampParams stamp;
    stamp.u = 0.25f;
    stamp.v = 0.25f;
    stamp.radius = 2.0f;
    stamp.strength = 0.2f;
    stamp.mode = 1;
    const FieldUpdate update = stampHeight(field, stamp);

    EXPECT_EQ(at(field, 4, 4), 45875);
    EXPECT_EQ(at(field, 5, 4), 40141);
    EXPECT_EQ(at(field, 4, 3), 40141);
    EXPECT_EQ(at(field, 5, 5), 36045);
    EXPECT_EQ(at(field, 6, 4), 32768); // on the rim: weight 0
    EXPECT_EQ(at(field, 2, 4), 32768);
    EXPECT_EQ(at(field, 7, 7), 32768);
    EXPECT_EQ(update.levels, field.levels);
    EXPECT_EQ(update.heightRects[0], (FieldRect{2, 2, 7, 7}));
    expectPyramidRebuilt(field);
}

TEST(StampHeight, CornerStampClipsOnAClampingFieldAndWrapsOnATilingOne)
{
    StampParams stamp;
    stamp.u = 0.0f;
    stamp.v = 0.0f;
    stamp.radius = 2.0f;
    stamp.strength = 0.2f;
    stamp.mode = 0;

    DisplacementField clamped = flatField(16, 32768, true);
    const FieldUpdate clipped = stampHeight(clamped, stamp);
    EXPECT_EQ(at(clamped, 0, 0), 32768 - 13107);
    EXPECT_EQ(at(clamped, 1, 0), 32768 - 7373); // 0.1125 * 65535 = 7372.69
    EXPECT_EQ(at(clamped, 15, 0), 32768);       // nothing on the far side
    EXPECT_EQ(at(clamped, 0, 15), 32768);
    EXPECT_EQ(clipped.heightRects[0], (FieldRect{0, 0, 3, 3}));
    expectPyramidRebuilt(clamped);

    DisplacementField tiled = flatField(16, 32768, false);
    const FieldUpdate wrapped = stampHeight(tiled, stamp);
    EXPECT_EQ(at(tiled, 0, 0), 32768 - 13107);
    EXPECT_EQ(at(tiled, 15, 0), 32768 - 7373); // x = -1
    EXPECT_EQ(at(tiled, 0, 15), 32768 - 7373); // y = -1
    EXPECT_EQ(at(tiled, 15, 15), 32768 - 3277); // (-1, -1): 0.05 * 65535 = 3276.75
    EXPECT_EQ(at(tiled, 13, 0), 32768);
    EXPECT_EQ(wrapped.heightRects[0], (FieldRect{0, 0, 16, 16}));
    expectPyramidRebuilt(tiled);
}

TEST(StampHeight, DiscOutsideAClampingFieldReportsNothingAndChangesNothing)
{
    DisplacementField field = flatField(16, 1000, true);
    const std::vector<std::uint16_t> before = field.heights;
    StampParams stamp;
    stamp.u = 1.5f; // centre 8 samples beyond the right edge, radius 4
    stamp.v = 0.5f;
    const FieldUpdate update = stampHeight(field, stamp);
    EXPECT_EQ(update.levels, 0u);
    for (std::uint32_t level = 0; level < kMaxFieldLevels; ++level) {
        EXPECT_TRUE(update.heightRects[level] == FieldRect{}) << level;
        EXPECT_TRUE(update.boundsRects[level] == FieldRect{}) << level;
    }
    EXPECT_EQ(field.heights, before);
}

TEST(StampHeight, ModesAtTheCentreSample)
{
    struct Case {
        const char* what;
        std::uint8_t mode;
        float strength;
        float target;
        std::uint16_t start;
        std::uint16_t centre;
    };
    const Case cases[] = {
        {"lower", 0, 0.2f, 0.0f, 32768, 32768 - 13107},
        {"lower saturates at 0", 0, 1.0f, 0.0f, 32768, 0},
        {"raise saturates at 1", 1, 0.2f, 0.0f, 65535, 65535},
        {"flatten halfway to 0.25", 2, 0.5f, 0.25f, 32000, 24192}, // 16000 + 8191.875
        {"flatten never raises", 2, 0.5f, 0.8f, 32768, 32768},
        {"unknown mode", 9, 0.5f, 0.0f, 32768, 32768},
    };
    for (const Case& c : cases) {
        DisplacementField field = flatField(16, c.start, true);
        StampParams stamp;
        stamp.u = 0.5f;
        stamp.v = 0.5f;
        stamp.radius = 3.0f;
        stamp.strength = c.strength;
        stamp.mode = c.mode;
        stamp.target = c.target;
        stampHeight(field, stamp);
        EXPECT_EQ(at(field, 8, 8), c.centre) << c.what;
    }
}

TEST(StampHeight, RadiusZeroTouchesOnlyTheCentreSample)
{
    DisplacementField field = flatField(16, 30000, true);
    StampParams stamp;
    stamp.u = 0.25f; // exactly sample 4
    stamp.v = 0.5f;
    stamp.radius = 0.0f;
    stamp.strength = 0.2f;
    stamp.mode = 1;
    const FieldUpdate update = stampHeight(field, stamp);
    EXPECT_EQ(update.heightRects[0], (FieldRect{4, 8, 5, 9}));
    EXPECT_EQ(at(field, 4, 8), 30000 + 13107);
    std::size_t changed = 0;
    for (std::size_t i = 0; i < 256; ++i) {
        changed += field.heights[i] != 30000;
    }
    EXPECT_EQ(changed, 1u);
}

// The span ends are ceil(cx - r) and floor(cx + r) + 1 of float sums. With
// the centre at 40.5 and r a hair under 0.5, both sums round to whole
// samples (40 and 41), so samples 40 and 41 are in the span, at weight 0:
// they keep their heights but the rectangle names them.
TEST(StampHeight, SpanEndsRoundTheFloatSumsOfCentreAndRadius)
{
    DisplacementField field = flatField(64, 30000, true);
    const std::vector<std::uint16_t> before = field.heights;
    StampParams stamp;
    stamp.u = 40.5f / 64.0f;
    stamp.v = 0.5f;
    stamp.radius = 0.49999899f;
    stamp.strength = 0.5f;
    stamp.mode = 1;
    const FieldUpdate update = stampHeight(field, stamp);
    EXPECT_EQ(update.levels, field.levels);
    EXPECT_EQ(update.heightRects[0], (FieldRect{40, 32, 42, 33}));
    EXPECT_EQ(field.heights, before);
}

// A disc far larger than the field covers every sample with weight 1 on
// either kind of edge; a NaN anywhere in the request changes nothing.
TEST(StampHeight, RequestsBeyondTheFieldOrNotANumberStayWellDefined)
{
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const float inf = std::numeric_limits<float>::infinity();
    struct Case {
        const char* what;
        StampParams stamp;
        std::uint16_t expected; // every sample afterwards
    };
    const Case cases[] = {
        {"radius 1e30 raises everything", {.radius = 1e30f, .strength = 0.25f, .mode = 1}, 30000 + 16384},
        {"infinite radius lowers everything", {.radius = inf, .strength = 0.25f, .mode = 0}, 30000 - 16384},
        {"NaN centre", {.u = nan, .strength = 0.25f, .mode = 1}, 30000},
        {"NaN radius", {.radius = nan, .strength = 0.25f, .mode = 1}, 30000},
        {"NaN strength", {.strength = nan, .mode = 1}, 30000},
        {"NaN target", {.strength = 0.25f, .mode = 2, .target = nan}, 30000},
    };
    for (const Case& c : cases) {
        for (const bool clampEdges : {true, false}) {
            SCOPED_TRACE(std::string(c.what) + (clampEdges ? ", clamping" : ", wrapping"));
            DisplacementField field = flatField(16, 30000, clampEdges);
            const FieldUpdate update = stampHeight(field, c.stamp);
            const std::size_t others = std::count_if(field.heights.begin(), field.heights.begin() + 256,
                                                     [&](std::uint16_t h) { return h != c.expected; });
            EXPECT_EQ(others, 0u);
            if (c.expected != 30000) {
                EXPECT_EQ(update.heightRects[0], (FieldRect{0, 0, 16, 16}));
            }
            expectPyramidRebuilt(field);
        }
    }
}

} // namespace
} // namespace qlmr
