#include "scene/height_field.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <functional>
#include <gtest/gtest.h>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

namespace qlmr {

// Found by argument-dependent lookup, so failing rectangle checks print the
// rectangle instead of its bytes.
inline std::ostream& operator<<(std::ostream& os, const FieldRect& r)
{
    return os << "{" << r.x0 << ", " << r.y0 << ", " << r.x1 << ", " << r.y1 << "}";
}

namespace {

// ---------------------------------------------------------------- slow reference

// Index onto [0, size) the obvious way.
int64_t refIndex(int64_t i, int64_t size, bool clamp)
{
    if (clamp) {
        return std::min(std::max(i, int64_t(0)), size - 1);
    }
    return ((i % size) + size) % size;
}

// Every level of heights and bounds computed straight from the definitions,
// one level after another, with no rectangles involved.
struct ReferencePyramid {
    std::vector<std::vector<uint32_t>> heights; // per level, row by row
    std::vector<std::vector<uint32_t>> bounds;  // per level (level 0 empty)
    std::vector<uint32_t> widths, heightsOfLevel;
};

ReferencePyramid buildReference(uint32_t width, uint32_t height, const std::vector<uint16_t>& base, bool clamp)
{
    ReferencePyramid ref;
    uint32_t levels = 1;
    while ((width >> levels) > 0 || (height >> levels) > 0) {
        ++levels;
    }
    for (uint32_t l = 0; l < levels; ++l) {
        ref.widths.push_back(std::max(width >> l, 1u));
        ref.heightsOfLevel.push_back(std::max(height >> l, 1u));
    }
    ref.heights.resize(levels);
    ref.bounds.resize(levels);
    ref.heights[0].assign(base.begin(), base.end());
    auto h = [&](uint32_t l, int64_t x, int64_t y) {
        const int64_t w = ref.widths[l];
        const int64_t hh = ref.heightsOfLevel[l];
        return ref.heights[l][size_t(refIndex(y, hh, clamp) * w + refIndex(x, w, clamp))];
    };
    for (uint32_t l = 1; l < levels; ++l) {
        const uint32_t w = ref.widths[l], hh = ref.heightsOfLevel[l];
        const bool halveX = ref.widths[l - 1] > w, halveY = ref.heightsOfLevel[l - 1] > hh;
        ref.heights[l].resize(size_t(w) * hh);
        for (uint32_t y = 0; y < hh; ++y) {
            for (uint32_t x = 0; x < w; ++x) {
                const int64_t cx = halveX ? 2 * int64_t(x) : x, cy = halveY ? 2 * int64_t(y) : y;
                const int64_t dx = halveX ? 1 : 0, dy = halveY ? 1 : 0;
                const float weights[3] = {0.25f, 0.5f, 0.25f};
                float sum = 0.0f;
                for (int j = 0; j < 3; ++j) {
                    float row = 0.0f;
                    for (int i = 0; i < 3; ++i) {
                        row += weights[i] * float(h(l - 1, cx + (i - 1) * dx, cy + (j - 1) * dy));
                    }
                    sum += weights[j] * row;
                }
                ref.heights[l][size_t(y) * w + x] = uint32_t(sum + 0.5f);
            }
        }
    }
    for (uint32_t l = 1; l < levels; ++l) {
        const uint32_t w = ref.widths[l], hh = ref.heightsOfLevel[l];
        const uint32_t rx = ref.widths[l - 1] / w, ry = ref.heightsOfLevel[l - 1] / hh;
        ref.bounds[l].resize(size_t(w) * hh);
        for (uint32_t y = 0; y < hh; ++y) {
            for (uint32_t x = 0; x < w; ++x) {
                uint32_t lo = 65535, hi = 0;
                auto widen = [&](uint32_t v) {
                    lo = std::min(lo, v);
                    hi = std::max(hi, v);
                };
                if (l == 1) {
                    for (uint32_t j = y * ry; j <= (y + 1) * ry; ++j)
                        for (uint32_t i = x * rx; i <= (x + 1) * rx; ++i) widen(h(0, i, j));
                } else {
                    for (uint32_t j = y * ry; j < (y + 1) * ry; ++j) {
                        for (uint32_t i = x * rx; i < (x + 1) * rx; ++i) {
                            const uint32_t node = ref.bounds[l - 1][size_t(j) * ref.widths[l - 1] + i];
                            widen(node & 0xFFFF);
                            widen(node >> 16);
                        }
                    }
                }
                widen(h(l, x, y));
                widen(h(l, x + 1, y));
                widen(h(l, x, y + 1));
                widen(h(l, x + 1, y + 1));
                ref.bounds[l][size_t(y) * w + x] = (hi << 16) | lo;
            }
        }
    }
    return ref;
}

std::vector<uint16_t> randomHeights(std::mt19937& rng, size_t count)
{
    std::vector<uint16_t> out(count);
    // Mix smooth-ish values with extremes so min/max mistakes show.
    std::uniform_int_distribution<int> pick(0, 9);
    std::uniform_int_distribution<int> value(0, 65535);
    for (uint16_t& v : out) {
        const int kind = pick(rng);
        v = uint16_t(kind == 0 ? 0 : kind == 1 ? 65535 : value(rng));
    }
    return out;
}

struct FieldShape {
    uint32_t width;
    uint32_t height;
};

const FieldShape kShapes[] = {{1, 1}, {256, 1}, {1, 4}, {2, 2}, {16, 16}, {32, 8}, {4, 64}, {64, 64}, {8, 1}};

// ---------------------------------------------------------------- pyramid

TEST(HeightField, PyramidMatchesTheDefinitionForEveryShape)
{
    std::mt19937 rng(7);
    for (const FieldShape& shape : kShapes) {
        for (bool clamp : {true, false}) {
            SCOPED_TRACE(testing::Message() << shape.width << "x" << shape.height << (clamp ? " clamp" : " wrap"));
            const std::vector<uint16_t> base = randomHeights(rng, size_t(shape.width) * shape.height);
            const DisplacementField field(shape.width, shape.height, std::span<const uint16_t>(base), clamp);
            const ReferencePyramid ref = buildReference(shape.width, shape.height, base, clamp);
            ASSERT_EQ(field.levels, ref.heights.size());
            size_t samples = 0, nodes = 0;
            for (uint32_t l = 0; l < field.levels; ++l) {
                ASSERT_EQ(field.heightOffsets[l], samples);
                for (size_t i = 0; i < ref.heights[l].size(); ++i) {
                    ASSERT_EQ(field.heights[field.heightOffsets[l] + i], ref.heights[l][i]) << "level " << l << " at " << i;
                }
                samples += ref.heights[l].size();
                if (l >= 1) {
                    ASSERT_EQ(field.boundsOffsets[l], nodes);
                    for (size_t i = 0; i < ref.bounds[l].size(); ++i) {
                        ASSERT_EQ(field.bounds[field.boundsOffsets[l] + i], ref.bounds[l][i]) << "level " << l << " node " << i;
                    }
                    nodes += ref.bounds[l].size();
                }
            }
            for (uint32_t l = field.levels; l < kMaxFieldLevels; ++l) {
                EXPECT_EQ(field.heightOffsets[l], 0u);
                EXPECT_EQ(field.boundsOffsets[l], 0u);
            }
            EXPECT_EQ(field.boundsOffsets[0], 0u);
            // The padding: 8 zero entries behind every array.
            ASSERT_EQ(field.heights.size(), samples + 8);
            ASSERT_EQ(field.bounds.size(), std::max<size_t>(nodes, 1) + 8);
            for (size_t i = samples; i < field.heights.size(); ++i) EXPECT_EQ(field.heights[i], 0);
            for (size_t i = std::max<size_t>(nodes, 1); i < field.bounds.size(); ++i) EXPECT_EQ(field.bounds[i], 0u);
        }
    }
}

// Every node must bound every bilinear height over its footprint, at level 0,
// at its own level and (through its children) at every level between, or the
// march would skip a surface it should hit after descending.
TEST(HeightField, EveryNodeBoundsTheBilinearSurfaceOverItsFootprint)
{
    std::mt19937 rng(11);
    const FieldShape shapes[] = {{16, 8}, {8, 1}, {1, 8}, {4, 4}, {32, 32}, {2, 16}};
    for (const FieldShape& shape : shapes) {
        for (bool clamp : {true, false}) {
            SCOPED_TRACE(testing::Message() << shape.width << "x" << shape.height << (clamp ? " clamp" : " wrap"));
            const std::vector<uint16_t> base = randomHeights(rng, size_t(shape.width) * shape.height);
            const DisplacementField field(shape.width, shape.height, std::span<const uint16_t>(base), clamp);
            for (uint32_t l = 1; l < field.levels; ++l) {
                const uint32_t w = field.levelWidth(l), h = field.levelHeight(l);
                // Enough points per node that every level-0 cell is sampled at its corners and inside.
                const int stepsX = int(2 * field.width / w) * 4, stepsY = int(2 * field.height / h) * 4;
                for (uint32_t y = 0; y < h; ++y) {
                    for (uint32_t x = 0; x < w; ++x) {
                        const uint32_t node = field.boundsAt(l, x, y);
                        const float lo = float(node & 0xFFFF) / 65535.0f - 1e-6f;
                        const float hi = float(node >> 16) / 65535.0f + 1e-6f;
                        for (int j = 0; j <= stepsY; ++j) {
                            for (int i = 0; i <= stepsX; ++i) {
                                const float u = (float(x) + float(i) / float(stepsX)) / float(w);
                                const float v = (float(y) + float(j) / float(stepsY)) / float(h);
                                for (uint32_t level = 0; level <= l; ++level) {
                                    const float s = field.sampleHeight(level, u, v);
                                    ASSERT_GE(s, lo) << "level " << l << " node " << x << "," << y << " u " << u << " v " << v;
                                    ASSERT_LE(s, hi) << "level " << l << " node " << x << "," << y << " u " << u << " v " << v;
                                }
                            }
                        }
                    }
                }
            }
        }
    }
}

// ---------------------------------------------------------------- rectangle edits

void checkRectShape(const DisplacementField& field, const FieldUpdate& update)
{
    ASSERT_EQ(update.levels, field.levels);
    EXPECT_EQ(update.boundsRects[0], FieldRect{});
    for (uint32_t l = 0; l < kMaxFieldLevels; ++l) {
        for (const FieldRect& r : {update.heightRects[l], update.boundsRects[l]}) {
            if (l >= field.levels || r.empty()) {
                EXPECT_EQ(r, FieldRect{}) << "level " << l;
                continue;
            }
            EXPECT_LE(r.x1, field.levelWidth(l)) << "level " << l;
            EXPECT_LE(r.y1, field.levelHeight(l)) << "level " << l;
        }
    }
}

TEST(HeightField, RandomRectangleEditsMatchAFullRebuild)
{
    std::mt19937 rng(2024);
    for (const FieldShape& shape : kShapes) {
        for (bool clamp : {true, false}) {
            SCOPED_TRACE(testing::Message() << shape.width << "x" << shape.height << (clamp ? " clamp" : " wrap"));
            std::vector<uint16_t> base = randomHeights(rng, size_t(shape.width) * shape.height);
            DisplacementField field(shape.width, shape.height, std::span<const uint16_t>(base), clamp);
            for (int edit = 0; edit < 40; ++edit) {
                // Rectangles may reach past the field (and start past it).
                std::uniform_int_distribution<uint32_t> px(0, shape.width + shape.width / 2 + 1);
                std::uniform_int_distribution<uint32_t> py(0, shape.height + shape.height / 2 + 1);
                FieldRect rect{px(rng), py(rng), px(rng), py(rng)};
                if (edit % 4 != 0) { // mostly non-empty rectangles
                    if (rect.x0 > rect.x1) std::swap(rect.x0, rect.x1);
                    if (rect.y0 > rect.y1) std::swap(rect.y0, rect.y1);
                    rect.x1 += 1;
                    rect.y1 += 1;
                }
                // The caller edits what the rectangle covers: cut at the edge
                // of a clamping field, wrapped around a tiling one.
                std::span<uint16_t> level0 = field.baseHeights();
                std::uniform_int_distribution<int> value(0, 65535);
                for (uint32_t y = rect.y0; y < rect.y1; ++y) {
                    for (uint32_t x = rect.x0; x < rect.x1; ++x) {
                        if (clamp && (x >= shape.width || y >= shape.height)) continue;
                        level0[size_t(y % shape.height) * shape.width + x % shape.width] = uint16_t(value(rng));
                    }
                }
                const FieldUpdate update = field.updateRect(rect);
                checkRectShape(field, update);

                const std::vector<uint16_t> now(level0.begin(), level0.end());
                const DisplacementField rebuilt(shape.width, shape.height, std::span<const uint16_t>(now), clamp);
                ASSERT_EQ(field.heights, rebuilt.heights) << "edit " << edit;
                ASSERT_EQ(field.bounds, rebuilt.bounds) << "edit " << edit;
            }
        }
    }
}

struct PlannedLevel {
    uint32_t level;
    FieldRect heights;
    FieldRect bounds;
};

void expectPlan(const FieldUpdate& update, std::initializer_list<PlannedLevel> expected)
{
    for (const PlannedLevel& e : expected) {
        EXPECT_EQ(update.heightRects[e.level], e.heights) << "heights of level " << e.level;
        EXPECT_EQ(update.boundsRects[e.level], e.bounds) << "bounds of level " << e.level;
    }
}

TEST(HeightField, UpdateRectanglesOfASmallClampedEdit)
{
    DisplacementField field(16, 16, std::vector<uint16_t>(256, 100), true);
    const FieldUpdate update = field.updateRect({5, 3, 7, 4});
    EXPECT_EQ(update.levels, 5u);
    expectPlan(update, {{0, {5, 3, 7, 4}, {}},
                        {1, {2, 1, 4, 3}, {1, 0, 4, 3}},
                        {2, {0, 0, 3, 2}, {0, 0, 3, 2}},
                        {3, {0, 0, 2, 2}, {0, 0, 2, 2}},
                        {4, {0, 0, 1, 1}, {0, 0, 1, 1}}});
    for (uint32_t l = 5; l < kMaxFieldLevels; ++l) {
        EXPECT_EQ(update.heightRects[l], FieldRect{});
        EXPECT_EQ(update.boundsRects[l], FieldRect{});
    }
}

TEST(HeightField, UpdateRectanglesPastTheRightEdge)
{
    // Clamping: the edit is cut at x = 256 and spreads by the filter's reach.
    DisplacementField clamped(256, 4, std::vector<uint16_t>(1024, 0), true);
    const FieldUpdate cut = clamped.updateRect({250, 1, 300, 2});
    EXPECT_EQ(cut.levels, 9u);
    expectPlan(cut, {{0, {250, 1, 256, 2}, {}},
                     {1, {124, 0, 128, 2}, {123, 0, 128, 2}},
                     {2, {61, 0, 64, 1}, {60, 0, 64, 1}},
                     {3, {30, 0, 32, 1}, {29, 0, 32, 1}}});

    // Tiling: the edit wraps, so every level becomes the whole extent.
    DisplacementField tiled(256, 4, std::vector<uint16_t>(1024, 0), false);
    const FieldUpdate whole = tiled.updateRect({250, 1, 300, 2});
    expectPlan(whole, {{0, {0, 1, 256, 2}, {}},
                       {1, {0, 0, 128, 2}, {0, 0, 128, 2}},
                       {2, {0, 0, 64, 1}, {0, 0, 64, 1}},
                       {8, {0, 0, 1, 1}, {0, 0, 1, 1}}});

    // Wholly past the edge of a clamping field: nothing changes, and every
    // rectangle is zero rather than an inverted range.
    const FieldUpdate nothing = clamped.updateRect({300, 0, 400, 4});
    EXPECT_EQ(nothing.levels, 9u);
    for (uint32_t l = 0; l < kMaxFieldLevels; ++l) {
        EXPECT_EQ(nothing.heightRects[l], FieldRect{}) << l;
        EXPECT_EQ(nothing.boundsRects[l], FieldRect{}) << l;
    }
}

TEST(HeightField, SetHeightsRebuildsEveryLevel)
{
    std::mt19937 rng(5);
    const std::vector<uint16_t> first = randomHeights(rng, 32 * 16);
    const std::vector<uint16_t> second = randomHeights(rng, 32 * 16);
    DisplacementField field(32, 16, std::span<const uint16_t>(first), false);
    field.setHeights(second);
    const DisplacementField fresh(32, 16, std::span<const uint16_t>(second), false);
    EXPECT_EQ(field.heights, fresh.heights);
    EXPECT_EQ(field.bounds, fresh.bounds);
}

// ---------------------------------------------------------------- construction errors

struct ErrorCase {
    const char* name;
    std::function<void()> action;
    const char* message;
};

TEST(HeightField, ConstructorAndSetterErrorsCarryTheirMessages)
{
    auto u16 = [](size_t n) { return std::vector<uint16_t>(n, 0); };
    auto f32 = [](size_t n) { return std::vector<float>(n, 0.0f); };
    auto field4 = [&] { return DisplacementField(4, 4, u16(16), true); };
    const ErrorCase cases[] = {
        {"width 0", [&] { DisplacementField(0, 4, u16(0), true); }, "field width must be a power of two"},
        {"width 3", [&] { DisplacementField(3, 4, u16(12), true); }, "field width must be a power of two"},
        {"width checked before size", [&] { DisplacementField(3, 4, u16(5), true); }, "field width must be a power of two"},
        {"height 0", [&] { DisplacementField(4, 0, u16(0), true); }, "field height must be a power of two"},
        {"height 6", [&] { DisplacementField(4, 6, u16(24), true); }, "field height must be a power of two"},
        {"size", [&] { DisplacementField(4, 4, u16(15), true); }, "height data size mismatch"},
        {"17 levels", [&] { DisplacementField(65536, 1, u16(65536), true); }, "field too large"},
        {"float size first", [&] { DisplacementField(3, 4, f32(5), true); }, "height data size mismatch"},
        {"float width", [&] { DisplacementField(3, 4, f32(12), true); }, "field width must be a power of two"},
        {"float height", [&] { DisplacementField(4, 5, f32(20), true); }, "field height must be a power of two"},
        {"setHeights", [&] { field4().setHeights(u16(17)); }, "height data size mismatch"},
        {"albedo width 0", [&] { field4().setAlbedo(0, 4, std::vector<uint32_t>{}); }, "albedo width must be a power of two"},
        {"albedo width 6", [&] { field4().setAlbedo(6, 4, std::vector<uint32_t>(24)); }, "albedo width must be a power of two"},
        {"albedo height 3", [&] { field4().setAlbedo(4, 3, std::vector<uint32_t>(2)); }, "albedo height must be a power of two"},
        {"albedo size", [&] { field4().setAlbedo(4, 4, std::vector<uint32_t>(15)); }, "albedo size mismatch"},
        {"albedo levels", [&] { field4().setAlbedo(65536, 1, std::vector<uint32_t>(65536)); }, "albedo too large"},
        {"materials", [&] { field4().setMaterials(std::vector<uint8_t>(15)); }, "material size mismatch"},
    };
    for (const ErrorCase& c : cases) {
        try {
            c.action();
            ADD_FAILURE() << c.name << ": no exception";
        } catch (const std::invalid_argument& e) {
            EXPECT_STREQ(e.what(), c.message) << c.name;
        } catch (...) {
            ADD_FAILURE() << c.name << ": wrong exception type";
        }
    }
}

TEST(HeightField, LargestFieldsFitSixteenLevels)
{
    const DisplacementField wide(32768, 1, std::vector<uint16_t>(32768, 7), true);
    EXPECT_EQ(wide.levels, 16u);
    EXPECT_EQ(wide.log2Width, 15u);
    EXPECT_EQ(wide.log2Height, 0u);
    EXPECT_EQ(wide.texel(15, 0, 0), 7);
}

TEST(HeightField, FloatHeightsAreClampedAndRoundedHalfAway)
{
    const std::vector<float> values = {-1.0f, 0.0f, 0.5f, 1.0f, 2.0f, std::nanf(""), 1.0f / 131070.0f, 0.25f};
    const DisplacementField field(8, 1, std::span<const float>(values), true);
    // 0.5 * 65535 = 32767.5 rounds away from zero; 1/131070 * 65535 = 0.5 rounds to 1.
    const uint16_t expected[] = {0, 0, 32768, 65535, 65535, 0, 1, 16384};
    for (int i = 0; i < 8; ++i) {
        EXPECT_EQ(field.texel(0, i, 0), expected[i]) << "value " << values[i];
    }
}

TEST(HeightField, OneByOneFieldHasOneLevelAndOneNode)
{
    const DisplacementField field(1, 1, std::vector<uint16_t>{1234}, false);
    EXPECT_EQ(field.levels, 1u);
    EXPECT_EQ(field.heights.size(), 9u);
    EXPECT_EQ(field.bounds.size(), 9u);
    EXPECT_EQ(field.texel(0, 5, -3), 1234);
    const FieldUpdate update = DisplacementField(field).updateRect({0, 0, 1, 1});
    EXPECT_EQ(update.levels, 1u);
    EXPECT_EQ(update.heightRects[0], (FieldRect{0, 0, 1, 1}));
    EXPECT_EQ(update.heightRects[1], FieldRect{});
}

TEST(HeightField, RowFieldFiltersOnlyAlongX)
{
    std::vector<uint16_t> row(256, 0);
    row[100] = 40000;
    const DisplacementField field(256, 1, std::span<const uint16_t>(row), true);
    EXPECT_EQ(field.levels, 9u);
    for (uint32_t l = 0; l < field.levels; ++l) EXPECT_EQ(field.levelHeight(l), 1u);
    // Level 1 sample 50 centres on 100: 40000 / 2; its neighbours take a quarter.
    EXPECT_EQ(field.texel(1, 50, 0), 20000);
    EXPECT_EQ(field.texel(1, 49, 0), 0);
    EXPECT_EQ(field.texel(1, 50, 7), 20000); // rows clamp onto the only row
}

// ---------------------------------------------------------------- lookups

TEST(HeightField, TexelClampsOrWraps)
{
    std::vector<uint16_t> data(16);
    for (int i = 0; i < 16; ++i) data[i] = uint16_t(i * 100);
    const DisplacementField clamped(4, 4, std::span<const uint16_t>(data), true);
    const DisplacementField tiled(4, 4, std::span<const uint16_t>(data), false);
    EXPECT_EQ(clamped.texel(0, -1, 1), 400);  // column 0 of row 1
    EXPECT_EQ(tiled.texel(0, -1, 1), 700);    // column 3 of row 1
    EXPECT_EQ(clamped.texel(0, 9, 9), 1500);
    EXPECT_EQ(tiled.texel(0, 5, -1), 1300);   // column 1 of row 3
    EXPECT_FLOAT_EQ(clamped.texelHeight(0, 3, 3), 1500.0f * 1.5259022e-5f);
}

TEST(HeightField, SampleHeightIsBilinearWithoutHalfSampleShift)
{
    const std::vector<uint16_t> data = {0, 65535, 0, 0};
    const DisplacementField tiled(2, 2, std::span<const uint16_t>(data), false);
    const DisplacementField clamped(2, 2, std::span<const uint16_t>(data), true);
    EXPECT_FLOAT_EQ(tiled.sampleHeight(0, 0.5f, 0.0f), 1.0f);   // exactly on sample (1, 0)
    EXPECT_FLOAT_EQ(tiled.sampleHeight(0, 0.25f, 0.0f), 0.5f);
    EXPECT_FLOAT_EQ(tiled.sampleHeight(0, 0.25f, 0.25f), 0.25f);
    // Between the last column and the wrapped first one.
    EXPECT_FLOAT_EQ(tiled.sampleHeight(0, 0.75f, 0.0f), 0.5f);
    EXPECT_FLOAT_EQ(clamped.sampleHeight(0, 0.75f, 0.0f), 1.0f);
}

TEST(HeightField, MaterialsAreNearestSample)
{
    DisplacementField field(4, 4, std::vector<uint16_t>(16, 0), true);
    EXPECT_EQ(field.materialAt(0.3f, 0.3f), 0); // no materials yet
    std::vector<uint8_t> bytes(16);
    for (int i = 0; i < 16; ++i) bytes[i] = uint8_t(i + 1);
    field.setMaterials(bytes);
    EXPECT_EQ(field.materialAt(0.3f, 0.0f), 2);   // 1.2 + 0.5 -> column 1
    EXPECT_EQ(field.materialAt(0.4f, 0.0f), 3);   // 1.6 + 0.5 -> column 2
    EXPECT_EQ(field.materialAt(0.99f, 0.99f), 16); // 4.46 -> clamped to 3
    DisplacementField tiled(4, 4, std::vector<uint16_t>(16, 0), false);
    tiled.setMaterials(bytes);
    EXPECT_EQ(tiled.materialAt(0.99f, 0.0f), 1);  // column 4 wraps to 0
}

TEST(HeightField, SnapMovesToTheCentreOfThePixelCell)
{
    DisplacementField field(64, 64, std::vector<uint16_t>(64 * 64, 0), true);
    float u = 0.1f, v = 0.1f;
    EXPECT_FALSE(field.snapToPixelGrid(u, v));
    EXPECT_EQ(u, 0.1f);
    field.pixelGrid = 4;
    EXPECT_TRUE(field.snapToPixelGrid(u, v));
    EXPECT_FLOAT_EQ(u, 5.5f / 64.0f); // sample 6.4 lies in cell 4..7
    EXPECT_FLOAT_EQ(v, 5.5f / 64.0f);
    field.pixelGridOffsetX = 2;
    field.pixelGridOffsetY = -1;
    u = 0.1f;
    v = 0.1f;
    EXPECT_TRUE(field.snapToPixelGrid(u, v));
    EXPECT_FLOAT_EQ(u, 7.5f / 64.0f); // cells 2..5, 6..9
    EXPECT_FLOAT_EQ(v, 4.5f / 64.0f); // cells 3..6
}

TEST(HeightField, EdgeFadeZeroesTheBorderAndKeepsTheCentre)
{
    std::mt19937 rng(3);
    DisplacementField field(64, 32, std::vector<uint16_t>(64 * 32, 50000), false);
    std::vector<uint32_t> texels(16 * 16);
    for (uint32_t& t : texels) t = rng();
    field.setAlbedo(16, 16, texels);
    field.setMaterials(std::vector<uint8_t>(64 * 32, 9));
    field.pixelGrid = 4;
    const DisplacementField faded = field.withEdgeFade(0.125f);
    EXPECT_TRUE(faded.clampEdges);
    EXPECT_EQ(faded.pixelGrid, 0u);
    for (int x = 0; x < 64; ++x) {
        EXPECT_EQ(faded.texel(0, x, 0), 0);
        EXPECT_EQ(faded.texel(0, x, 31), 0);
    }
    for (int y = 0; y < 32; ++y) {
        EXPECT_EQ(faded.texel(0, 0, y), 0);
        EXPECT_EQ(faded.texel(0, 63, y), 0);
    }
    EXPECT_EQ(faded.texel(0, 32, 16), 50000);
    // One sample in: tx = 1/8, smoothstep = 0.04296875; ty = 1/4, 0.15625.
    EXPECT_EQ(faded.texel(0, 1, 1), uint16_t(std::lroundf(50000.0f * (0.15625f * 0.04296875f))));
    EXPECT_EQ(faded.albedo, DisplacementField(field).albedo);
    EXPECT_EQ(faded.materials, field.materials);
}

// ---------------------------------------------------------------- albedo

uint32_t rgba(uint32_t r, uint32_t g, uint32_t b, uint32_t a) { return r | (g << 8) | (b << 16) | (a << 24); }

TEST(HeightField, AlbedoMipsRoundTheAverage)
{
    DisplacementField field(4, 4, std::vector<uint16_t>(16, 0), true);
    const std::vector<uint32_t> texels = {rgba(0, 0, 0, 255), rgba(1, 0, 255, 255), rgba(1, 1, 255, 255),
                                          rgba(1, 1, 255, 254)};
    const AlbedoUpdate update = field.setAlbedo(2, 2, texels);
    EXPECT_EQ(update.levels, 2u);
    EXPECT_EQ(update.rects[0], (FieldRect{0, 0, 2, 2}));
    EXPECT_EQ(update.rects[1], (FieldRect{0, 0, 1, 1}));
    // r 3/4 -> 1, g 2/4 -> 1, b 765/4 -> 191, a 1019/4 -> 255.
    EXPECT_EQ(field.albedoLevel(1)[0], rgba(1, 1, 191, 255));

    // A row halves along x only: pairs are averaged with (sum + 1) / 2.
    const AlbedoUpdate row = field.setAlbedo(4, 1, std::vector<uint32_t>{rgba(0, 9, 0, 0), rgba(1, 9, 0, 0),
                                                                          rgba(2, 9, 0, 0), rgba(3, 9, 0, 0)});
    EXPECT_EQ(row.levels, 3u);
    EXPECT_EQ(field.albedoOffsets, (std::vector<uint32_t>{0, 4, 6}));
    EXPECT_EQ(field.albedoLevel(1)[0], rgba(1, 9, 0, 0));
    EXPECT_EQ(field.albedoLevel(1)[1], rgba(3, 9, 0, 0));
    EXPECT_EQ(field.albedoLevel(2)[0], rgba(2, 9, 0, 0));
}

// The texels given to setAlbedo may be the field's own albedo, e.g. its
// level 0 after an edit in place, or a coarser level to start over from:
// they are read before the field's albedo is replaced, whatever shape the
// new albedo has.
TEST(HeightField, AlbedoSetFromTheFieldsOwnTexelsKeepsThem)
{
    struct Case {
        const char* name;
        uint32_t level;  // the field's albedo level the new texels come from
        uint32_t width;  // the new albedo's shape
        uint32_t height;
    };
    const Case cases[] = {
        {"level 0, same shape", 0, 8, 8},
        {"level 0 as a row", 0, 64, 1},
        {"level 0 as a column", 0, 1, 64},
        {"level 1", 1, 4, 4},
        {"level 2 as a row", 2, 4, 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        DisplacementField field(8, 8, std::vector<uint16_t>(64, 0), true);
        std::vector<uint32_t> texels(64);
        for (uint32_t i = 0; i < texels.size(); ++i) {
            texels[i] = rgba(i * 4, 255 - i, i * 3 % 256, 128 + i);
        }
        field.setAlbedo(8, 8, texels);
        const uint32_t count = c.width * c.height;
        const std::vector<uint32_t> expected(field.albedoLevel(c.level), field.albedoLevel(c.level) + count);

        field.setAlbedo(c.width, c.height, std::span<const uint32_t>(field.albedoLevel(c.level), count));

        ASSERT_EQ(field.albedoWidth, c.width);
        ASSERT_EQ(field.albedoHeight, c.height);
        EXPECT_EQ(std::vector<uint32_t>(field.albedoLevel(0), field.albedoLevel(0) + count), expected);
        DisplacementField fresh(8, 8, std::vector<uint16_t>(64, 0), true);
        fresh.setAlbedo(c.width, c.height, expected);
        EXPECT_EQ(field.albedo, fresh.albedo);
    }
}

TEST(HeightField, AlbedoRectangleEditsMatchAFreshAlbedo)
{
    std::mt19937 rng(9);
    DisplacementField field(8, 8, std::vector<uint16_t>(64, 0), false);
    std::vector<uint32_t> texels(8 * 8);
    for (uint32_t& t : texels) t = rng();
    field.setAlbedo(8, 8, texels);
    for (uint32_t y = 2; y < 5; ++y)
        for (uint32_t x = 3; x < 6; ++x) field.albedoLevel(0)[y * 8 + x] = texels[y * 8 + x] = rng();
    const AlbedoUpdate update = field.updateAlbedoRect({3, 2, 6, 5});
    EXPECT_EQ(update.levels, 4u);
    EXPECT_EQ(update.rects[0], (FieldRect{3, 2, 6, 5}));
    EXPECT_EQ(update.rects[1], (FieldRect{1, 1, 3, 3}));
    EXPECT_EQ(update.rects[2], (FieldRect{0, 0, 2, 2}));
    EXPECT_EQ(update.rects[3], (FieldRect{0, 0, 1, 1}));
    EXPECT_EQ(update.rects[4], FieldRect{});
    DisplacementField fresh(8, 8, std::vector<uint16_t>(64, 0), false);
    fresh.setAlbedo(8, 8, texels);
    EXPECT_EQ(field.albedo, fresh.albedo);

    const AlbedoUpdate cut = field.updateAlbedoRect({6, 0, 20, 1});
    EXPECT_EQ(cut.rects[0], (FieldRect{6, 0, 8, 1}));
    const AlbedoUpdate none = field.updateAlbedoRect({9, 0, 20, 1});
    EXPECT_EQ(none.levels, 4u);
    EXPECT_EQ(none.rects[0], FieldRect{});
    EXPECT_EQ(none.rects[1], FieldRect{});

    DisplacementField bare(8, 8, std::vector<uint16_t>(64, 0), false);
    const AlbedoUpdate empty = bare.updateAlbedoRect({0, 0, 8, 8});
    EXPECT_EQ(empty.levels, 0u);
    EXPECT_EQ(empty.rects[0], FieldRect{});
}

TEST(HeightField, AlbedoSamplingBlendsTexelsAndLevels)
{
    DisplacementField field(4, 4, std::vector<uint16_t>(16, 0), false);
    const auto grey = field.sampleAlbedo(0.3f, 0.6f, 2.0f);
    EXPECT_EQ(grey, (std::array<float, 4>{0.7f, 0.7f, 0.7f, 1.0f}));

    field.setAlbedo(2, 2, std::vector<uint32_t>{rgba(0, 0, 0, 255), rgba(255, 0, 0, 255), rgba(0, 255, 0, 255),
                                                rgba(0, 0, 255, 255)});
    const auto c = field.sampleAlbedoLevel(0, 0.25f, 0.25f);
    EXPECT_NEAR(c[0], 0.25f, 1e-6f);
    EXPECT_NEAR(c[1], 0.25f, 1e-6f);
    EXPECT_NEAR(c[2], 0.25f, 1e-6f);
    EXPECT_NEAR(c[3], 1.0f, 1e-6f);
    // Wrapping: u = 0.75 blends column 1 with column 0.
    const auto w = field.sampleAlbedoLevel(0, 0.75f, 0.0f);
    EXPECT_NEAR(w[0], 0.5f, 1e-6f);

    // Level 1 is the rounded average (64, 64, 64, 255).
    const auto top = field.sampleAlbedo(0.0f, 0.0f, 5.0f);
    EXPECT_NEAR(top[0], 64.0f * 0.003921569f, 1e-6f);
    const auto half = field.sampleAlbedo(0.0f, 0.0f, 0.5f);
    EXPECT_NEAR(half[0], 0.5f * 64.0f * 0.003921569f, 1e-6f);
    EXPECT_EQ(field.sampleAlbedo(0.0f, 0.0f, -3.0f), field.sampleAlbedoLevel(0, 0.0f, 0.0f));
}

// Coordinates so far outside the grid that their sample index does not fit
// an integer still clamp to the nearest edge on a clamping field and wrap
// onto the grid on a tiling one, for heights, albedo and materials alike.
TEST(HeightField, LookupsFarOutsideTheGridClampOrWrap)
{
    // One row whose last column stands out: heights 0, 0, 0, 1; albedo red
    // 0, 0, 0, 255; materials 1, 2, 3, 4.
    const std::vector<uint16_t> heights = {0, 0, 0, 65535};
    const std::vector<uint32_t> texels = {rgba(0, 0, 0, 255), rgba(0, 0, 0, 255), rgba(0, 0, 0, 255),
                                          rgba(255, 0, 0, 255)};
    const std::vector<uint8_t> bytes = {1, 2, 3, 4};
    struct Case {
        float u;
        bool clamp;
        float height; // also the albedo's red
        uint8_t material;
    };
    // On the tiling field 4 u is a whole multiple of 4 (floats this large are
    // whole and even), so every far u lands on column 0.
    const Case cases[] = {
        {1e10f, true, 1.0f, 4}, {-1e10f, true, 0.0f, 1}, {1e19f, true, 1.0f, 4}, {-1e19f, true, 0.0f, 1},
        {1e30f, true, 1.0f, 4}, {1e10f, false, 0.0f, 1}, {-1e10f, false, 0.0f, 1},
    };
    for (const Case& c : cases) {
        DisplacementField field(4, 1, std::span<const uint16_t>(heights), c.clamp);
        field.setAlbedo(4, 1, texels);
        field.setMaterials(bytes);
        const std::string where = "u " + std::to_string(c.u) + (c.clamp ? " clamped" : " tiled");
        EXPECT_EQ(field.sampleHeight(0, c.u, 0.0f), c.height) << where;
        EXPECT_NEAR(field.sampleAlbedoLevel(0, c.u, 0.0f)[0], c.height, 1e-6f) << where;
        EXPECT_EQ(field.materialAt(c.u, 0.0f), c.material) << where;
    }
}
// ---------------------------------------------------------------- view and sizes

TEST(HeightField, ViewAndByteCountsDescribeTheStorage)
{
    DisplacementField field(16, 4, std::vector<uint16_t>(64, 1), false);
    const FieldView view = field.view();
    EXPECT_EQ(view.heights, field.heights.data());
    EXPECT_EQ(view.bounds, field.bounds.data());
    EXPECT_EQ(view.heightOffsets, field.heightOffsets);
    EXPECT_EQ(view.boundsOffsets, field.boundsOffsets);
    EXPECT_EQ(view.log2Width, 4u);
    EXPECT_EQ(view.log2Height, 2u);
    EXPECT_EQ(view.levels, 5u);
    EXPECT_EQ(view.wrap, 1u);
    EXPECT_EQ(DisplacementField(4, 4, std::vector<uint16_t>(16), true).view().wrap, 0u);

    // Levels 16x4, 8x2, 4x1, 2x1, 1x1: 64 + 16 + 4 + 2 + 1 samples, 23 nodes.
    EXPECT_EQ(field.heightBytes(), (87u + 8u) * 2u);
    EXPECT_EQ(field.boundsBytes(), (23u + 8u) * 4u);
    field.setAlbedo(2, 2, std::vector<uint32_t>(4));
    field.setMaterials(std::vector<uint8_t>(64));
    EXPECT_EQ(field.memoryBytes(), (87u + 8u) * 2u + (23u + 8u) * 4u + 5u * 4u + 64u);
}


// A field moved out of (into a scene, into another variable) keeps no
// sizes that claim storage it no longer holds: it describes no samples, an
// edit of the old size is refused instead of writing through level 0 of an
// empty array, and a lookup reads nothing. Assigning a field makes it whole.
TEST(HeightField, AMovedFromFieldDescribesNoSamples)
{
    const std::vector<uint16_t> data(64, 30000);
    const std::vector<std::function<DisplacementField(DisplacementField&)>> moves = {
        [](DisplacementField& source) { return DisplacementField(std::move(source)); },
        [](DisplacementField& source) {
            DisplacementField target(1, 1, std::vector<uint16_t>(1), true);
            target = std::move(source);
            return target;
        },
    };
    for (size_t m = 0; m < moves.size(); ++m) {
        SCOPED_TRACE(m);
        DisplacementField source(8, 8, data, false);
        source.setAlbedo(4, 4, std::vector<uint32_t>(16, 0xFF336699u));
        source.setMaterials(std::vector<uint8_t>(64, 7));
        source.pixelGrid = 2;
        const DisplacementField target = moves[m](source);
        EXPECT_EQ(target.width, 8u);
        EXPECT_EQ(target.levels, 4u);
        EXPECT_EQ(target.texel(0, 3, 3), 30000u);
        EXPECT_EQ(target.materialAt(0.5f, 0.5f), 7u);

        ASSERT_EQ(source.baseHeights().size(), 0u);
        EXPECT_EQ(source.width, 0u);
        EXPECT_EQ(source.height, 0u);
        EXPECT_EQ(source.levels, 0u);
        EXPECT_EQ(source.albedoWidth, 0u);
        EXPECT_EQ(source.albedoLevels(), 0u);
        EXPECT_EQ(source.pixelGrid, 0u);
        EXPECT_EQ(source.memoryBytes(), 0u);
        try {
            source.setHeights(data);
            ADD_FAILURE() << "an edit of the old size was taken";
        } catch (const std::invalid_argument& e) {
            EXPECT_STREQ(e.what(), "height data size mismatch");
        }
        EXPECT_TRUE(source.updateRect({0, 0, 8, 8}).heightRects[0].empty());
        EXPECT_EQ(source.texel(0, 1, 1), 0u);
        EXPECT_EQ(source.sampleHeight(0, 0.5f, 0.5f), 0.0f);
        EXPECT_EQ(source.materialAt(0.5f, 0.5f), 0u);
        EXPECT_EQ(source.sampleAlbedo(0.5f, 0.5f, 0.0f)[0], 0.7f);
        float u = 0.3f, v = 0.3f;
        EXPECT_FALSE(source.snapToPixelGrid(u, v));

        source = DisplacementField(4, 4, std::vector<uint16_t>(16, 500), true);
        EXPECT_EQ(source.levels, 3u);
        EXPECT_EQ(source.texel(2, 0, 0), 500u);
    }
}

TEST(HeightField, AFieldMovedOntoItselfStaysAsItWas)
{
    DisplacementField field(8, 4, std::vector<uint16_t>(32, 1234), true);
    field.setMaterials(std::vector<uint8_t>(32, 3));
    DisplacementField& alias = field;
    field = std::move(alias);
    ASSERT_EQ(field.baseHeights().size(), 32u);
    EXPECT_EQ(field.levels, 4u);
    EXPECT_EQ(field.texel(3, 0, 0), 1234u);
    EXPECT_EQ(field.materialAt(0.5f, 0.5f), 3u);
}

} // namespace
} // namespace qlmr
