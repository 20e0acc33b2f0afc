#include "content/generators.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <functional>
#include <gtest/gtest.h>
#include <set>
#include <string>
#include <vector>

#include "scene/png_writer.h"
#include "support/test_support.h"

namespace qlmr {
namespace {

const TerrainParams kDemoTerrain{0.5f, 0.62f, 0.07f, 0.18f, 256.0f, 42.0f};

struct GeneratorCase {
    const char* name;
    std::function<FieldImage(ThreadPool&)> generate;
    std::set<std::uint8_t> materials;
};

std::vector<GeneratorCase> generatorCases()
{
    return {
        {"terrain", [](ThreadPool& pool) { return generateTerrain(256, 7, kDemoTerrain, pool); }, {0, 1, 2, 3}},
        {"cobblestones", [](ThreadPool& pool) { return generateCobblestones(512, 10, 3, pool); }, {4, 5}},
        {"bricks", [](ThreadPool& pool) { return generateBricks(512, 256, 8, 5, pool); }, {6, 7}},
        {"panels", [](ThreadPool& pool) { return generatePanels(512, 9, pool); }, {8, 9}},
    };
}

class Generator : public testing::TestWithParam<GeneratorCase> {};

INSTANTIATE_TEST_SUITE_P(All, Generator, testing::ValuesIn(generatorCases()),
                         [](const testing::TestParamInfo<GeneratorCase>& info) { return std::string(info.param.name); });

// Each cell depends only on its coordinates, so the thread count cannot
// change a single byte.
TEST_P(Generator, ImageIsIdenticalOnOneAndEightWorkers)
{
    ThreadPool one(1);
    ThreadPool eight(8);
    const FieldImage a = GetParam().generate(one);
    const FieldImage b = GetParam().generate(eight);
    ASSERT_EQ(a.width, b.width);
    ASSERT_EQ(a.height, b.height);
    ASSERT_EQ(a.heights.size(), std::size_t(a.width) * a.height);
    // Compare the bits, not the values, so a NaN would not hide.
    EXPECT_EQ(0, std::memcmp(a.heights.data(), b.heights.data(), a.heights.size() * sizeof(float)));
    EXPECT_EQ(a.colors, b.colors);
    EXPECT_EQ(a.materials, b.materials);
}

TEST_P(Generator, HeightsInUnitRangeMaterialsInTheGeneratorsSetOpaqueColours)
{
    ThreadPool pool(4);
    const FieldImage image = GetParam().generate(pool);
    const std::set<std::uint8_t>& allowed = GetParam().materials;
    std::set<std::uint8_t> seen;
    for (std::size_t i = 0; i < image.heights.size(); ++i) {
        ASSERT_GE(image.heights[i], 0.0f) << i;
        ASSERT_LE(image.heights[i], 1.0f) << i;
        ASSERT_EQ(image.colors[i] >> 24, 0xFFu) << i;
        ASSERT_TRUE(allowed.count(image.materials[i])) << int(image.materials[i]) << " at " << i;
        seen.insert(image.materials[i]);
    }
    // Every material the generator knows shows up somewhere in the demo image.
    EXPECT_EQ(seen, allowed);
}

// Mean height step between column x-1 and x (wrapping) over the first
// `width` columns of every row.
double columnStep(const FieldImage& image, std::uint32_t width, std::uint32_t x)
{
    double sum = 0;
    for (std::uint32_t y = 0; y < image.height; ++y) {
        const float* row = &image.heights[std::size_t(y) * image.width];
        sum += std::fabs(row[x % width] - row[(x + width - 1) % width]);
    }
    return sum / image.height;
}

// The step across the seam (last column to first) against the steps of the
// four columns on either side of it, which lie in the same band of the
// pattern: a pattern that does not tile jumps at the seam.
double seamRatio(const FieldImage& image, std::uint32_t width)
{
    double nearby = 0;
    for (std::uint32_t k = 1; k <= 4; ++k) {
        nearby += columnStep(image, width, k) + columnStep(image, width, width - k);
    }
    return columnStep(image, width, 0) / (nearby / 8);
}

TEST(GeneratorTiling, BricksAndCobblestonesContinueAcrossTheHorizontalSeam)
{
    ThreadPool pool(4);
    const FieldImage bricks = generateBricks(512, 256, 8, 5, pool);
    const FieldImage stones = generateCobblestones(512, 10, 3, pool);
    EXPECT_LT(seamRatio(bricks, 512), 2.0);
    EXPECT_LT(seamRatio(stones, 512), 2.0);
    // The check has teeth: the same patterns cut off at a non-period jump.
    EXPECT_GT(seamRatio(bricks, 400), 4.0);
    EXPECT_GT(seamRatio(stones, 400), 4.0);
}

// 8 courses over 256 rows: bricks 32 high and 64 long, mortar 2.88 cells
// wide measured from cell centres, odd courses shifted by half a brick. The
// mortar grid is exact geometry, whatever the noise does to the heights.
TEST(GenerateBricks, MortarLiesOnTheRunningBondGrid)
{
    ThreadPool pool(4);
    const FieldImage image = generateBricks(512, 256, 8, 5, pool);
    for (unsigned y = 0; y < image.height; ++y) {
        const unsigned ly = y % 32;
        const unsigned shift = (y / 32) % 2 == 1 ? 32 : 0;
        for (unsigned x = 0; x < image.width; ++x) {
            const unsigned lx = (x + shift) % 64;
            const bool mortar = ly < 3 || ly > 28 || lx < 3 || lx > 60;
            ASSERT_EQ(image.materials[std::size_t(y) * image.width + x], mortar ? MaterialBrickMortar : MaterialBrick)
                << x << ", " << y;
        }
    }
}

// A panel's border cells lie half a cell inside it, where the bevel has not
// begun and neither slots nor bosses reach: they all sit at the groove
// height, and at size 512 every multiple of 128 starts a panel.
TEST(GeneratePanels, TopLevelPanelBordersSitAtTheGrooveHeight)
{
    ThreadPool pool(4);
    const FieldImage image = generatePanels(512, 9, pool);
    for (unsigned y = 0; y < 512; ++y) {
        for (unsigned x = 0; x < 512; ++x) {
            if (x % 128 == 0 || x % 128 == 127 || y % 128 == 0 || y % 128 == 127) {
                ASSERT_EQ(image.heights[std::size_t(y) * 512 + x], 0.12f) << x << ", " << y;
            }
        }
    }
}

TEST(GenerateTerrain, NormalisedToTheFullRangeWithAFlatPad)
{
    ThreadPool pool(8);
    const unsigned size = 256;
    const FieldImage image = generateTerrain(size, 7, kDemoTerrain, pool);
    const auto [lo, hi] = std::minmax_element(image.heights.begin(), image.heights.end());
    EXPECT_EQ(*lo, 0.0f);
    EXPECT_EQ(*hi, 1.0f);

    // Inside half the pad radius the ground is flat and marked as pad.
    float padLo = 1.0f;
    float padHi = 0.0f;
    for (unsigned y = 0; y < size; ++y) {
        for (unsigned x = 0; x < size; ++x) {
            const float dx = float(x) / size - kDemoTerrain.padCenterX;
            const float dy = float(y) / size - kDemoTerrain.padCenterY;
            if (std::sqrt(dx * dx + dy * dy) < 0.5f * kDemoTerrain.padRadius) {
                const std::size_t i = std::size_t(y) * size + x;
                padLo = std::min(padLo, image.heights[i]);
                padHi = std::max(padHi, image.heights[i]);
                EXPECT_EQ(image.materials[i], MaterialPad);
            }
        }
    }
    EXPECT_LT(padHi - padLo, 0.01f);
    // Mountains rise well above the pad somewhere.
    EXPECT_GT(*hi - padHi, 0.3f);
}

// One cell is a terrain whose heights are all equal: the range floor keeps
// the normalisation from dividing 0 by 0, and the cell becomes 0.
TEST(GenerateTerrain, EqualHeightsNormaliseToZero)
{
    ThreadPool pool(2);
    const FieldImage image = generateTerrain(1, 7, kDemoTerrain, pool);
    ASSERT_EQ(image.heights.size(), 1u);
    EXPECT_EQ(image.heights[0], 0.0f);
    EXPECT_EQ(image.colors[0] >> 24, 0xFFu);
    EXPECT_LE(image.materials[0], MaterialPad);
}

TEST(GenerateTerrain, DifferentSeedsGiveDifferentTerrain)
{
    ThreadPool pool(8);
    EXPECT_NE(generateTerrain(64, 7, kDemoTerrain, pool).heights, generateTerrain(64, 8, kDemoTerrain, pool).heights);
}

TEST(Generators, DegenerateSizesAreRejected)
{
    ThreadPool pool(1);
    EXPECT_THROW(generateBricks(512, 256, 0, 5, pool), std::invalid_argument);
    EXPECT_THROW(generateBricks(16, 256, 2, 5, pool), std::invalid_argument); // a brick is 256 long
    EXPECT_THROW(generateCobblestones(64, 0, 3, pool), std::invalid_argument);
    EXPECT_THROW(generatePanels(2, 9, pool), std::invalid_argument);
}

// Bricks far thinner than a cell and stones far smaller than one: course,
// column and stone numbers beyond the int range (up to three billion
// stones across) still give a defined image of the generator's materials,
// the same on any number of workers.
TEST(Generators, ExtremeBrickAndStoneCountsGiveDefinedImages)
{
    struct Extreme {
        const char* name;
        std::function<FieldImage(ThreadPool&)> generate;
        std::set<std::uint8_t> materials;
    };
    const Extreme cases[] = {
        {"bricks of 1/16384 cell", [](ThreadPool& pool) { return generateBricks(64, 4, 65536, 5, pool); }, {6, 7}},
        {"100000 stones", [](ThreadPool& pool) { return generateCobblestones(8, 100000, 3, pool); }, {4, 5}},
        {"3e9 stones", [](ThreadPool& pool) { return generateCobblestones(4, 3000000000u, 3, pool); }, {4, 5}},
    };
    ThreadPool one(1);
    ThreadPool eight(8);
    for (const Extreme& c : cases) {
        const FieldImage a = c.generate(one);
        const FieldImage b = c.generate(eight);
        SCOPED_TRACE(c.name);
        for (std::size_t i = 0; i < a.heights.size(); ++i) {
            ASSERT_GE(a.heights[i], 0.0f) << i;
            ASSERT_LE(a.heights[i], 1.0f) << i;
            ASSERT_TRUE(c.materials.count(a.materials[i])) << int(a.materials[i]) << " at " << i;
        }
        EXPECT_EQ(0, std::memcmp(a.heights.data(), b.heights.data(), a.heights.size() * sizeof(float)));
        EXPECT_EQ(a.colors, b.colors);
        EXPECT_EQ(a.materials, b.materials);
    }
}

// --- images for a person to look at --------------------------------------

std::vector<std::uint8_t> heightPixels(const FieldImage& image)
{
    std::vector<std::uint8_t> rgba(image.heights.size() * 4);
    for (std::size_t i = 0; i < image.heights.size(); ++i) {
        const auto grey = static_cast<std::uint8_t>(std::lround(std::clamp(image.heights[i], 0.0f, 1.0f) * 255.0f));
        rgba[4 * i] = rgba[4 * i + 1] = rgba[4 * i + 2] = grey;
        rgba[4 * i + 3] = 255;
    }
    return rgba;
}

std::vector<std::uint8_t> colourPixels(const FieldImage& image)
{
    std::vector<std::uint8_t> rgba(image.colors.size() * 4);
    for (std::size_t i = 0; i < image.colors.size(); ++i) {
        for (int c = 0; c < 4; ++c) {
            rgba[4 * i + c] = static_cast<std::uint8_t>(image.colors[i] >> (8 * c));
        }
    }
    return rgba;
}

std::vector<std::uint8_t> materialPixels(const FieldImage& image)
{
    static const std::uint8_t palette[10][3] = {
        {40, 140, 40},  {120, 110, 100}, {240, 240, 250}, {230, 180, 30}, {150, 150, 160},
        {90, 60, 40},   {180, 60, 40},   {220, 210, 190}, {60, 90, 140},  {250, 120, 20},
    };
    std::vector<std::uint8_t> rgba(image.materials.size() * 4);
    for (std::size_t i = 0; i < image.materials.size(); ++i) {
        const std::uint8_t m = std::min<std::uint8_t>(image.materials[i], 9);
        rgba[4 * i] = palette[m][0];
        rgba[4 * i + 1] = palette[m][1];
        rgba[4 * i + 2] = palette[m][2];
        rgba[4 * i + 3] = 255;
    }
    return rgba;
}

TEST_P(Generator, WritesHeightColourAndMaterialImages)
{
    ThreadPool pool(8);
    const FieldImage image = GetParam().generate(pool);
    const std::string base =
        (test::artifactDir("content") / (std::string(GetParam().name) + "_" + QLMR_TEST_VARIANT)).string();
    EXPECT_TRUE(writePng(base + "_height.png", image.width, image.height, heightPixels(image)));
    EXPECT_TRUE(writePng(base + "_color.png", image.width, image.height, colourPixels(image)));
    EXPECT_TRUE(writePng(base + "_material.png", image.width, image.height, materialPixels(image)));
}

} // namespace
} // namespace qlmr
