#include "sprite_image.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "scene/png_writer.h"
#include "support/test_support.h"

namespace qlmr {
namespace {

struct SpecCase {
    const char* spec;
    const char* path;
    bool hasCrop;
    std::int64_t x, y, w, h;
};

class SpriteSpecTable : public ::testing::TestWithParam<SpecCase> {};

TEST_P(SpriteSpecTable, SplitsAtTheLastAtAndReadsFourNumbers)
{
    const SpecCase& c = GetParam();
    const SpriteSpec parsed = parseSpriteSpec(c.spec);
    EXPECT_EQ(parsed.path, c.path);
    EXPECT_EQ(parsed.hasCrop, c.hasCrop);
    if (c.hasCrop) {
        EXPECT_EQ(parsed.x, c.x);
        EXPECT_EQ(parsed.y, c.y);
        EXPECT_EQ(parsed.w, c.w);
        EXPECT_EQ(parsed.h, c.h);
    }
}

const SpecCase kSpecCases[] = {
    {"hero.png", "hero.png", false, 0, 0, 0, 0},
    {"hero.png@1,2,3,4", "hero.png", true, 1, 2, 3, 4},
    {"hero.png@1,2,3,4,", "hero.png", true, 1, 2, 3, 4},
    {"hero.png@10 20", "hero.png", true, 10, 0, 0, 0},    // a blank is not a separator: no digits for y
    {"hero.png@12,34,56", "hero.png", true, 12, 34, 0, 0}, // fewer than four numbers
    {"hero.png@1,,3,4", "hero.png", true, 1, 0, 0, 4},   // an empty number spoils the crop
    {"hero.png@", "hero.png", true, 0, 0, 0, 0},
    {"a@b/sheet.png@0,8,16,16", "a@b/sheet.png", true, 0, 8, 16, 16},
    {"sheet.png@-1,0,4,4", "sheet.png", true, -1, 0, 4, 4},
    {"sheet.png@1234567,0,4,4", "sheet.png", true, 1234567, 0, 4, 4},
};

INSTANTIATE_TEST_SUITE_P(Specs, SpriteSpecTable, ::testing::ValuesIn(kSpecCases));

TEST(SpriteSpec, CropMustHoldPixelsAndLieInsideTheImage)
{
    struct Case {
        std::int64_t x, y, w, h;
        bool fits;
    } cases[] = {
        {0, 0, 8, 6, true},  {7, 5, 1, 1, true},  {0, 0, 9, 6, false}, {0, 0, 8, 7, false},
        {1, 0, 8, 6, false}, {0, 0, 0, 6, false}, {0, 0, 8, 0, false}, {-1, 0, 2, 2, false},
        {0, -1, 2, 2, false}, {3, 2, 5, 4, true},
    };
    for (const Case& c : cases) {
        SpriteSpec spec;
        spec.hasCrop = true;
        spec.x = c.x;
        spec.y = c.y;
        spec.w = c.w;
        spec.h = c.h;
        EXPECT_EQ(cropFits(spec, 8, 6), c.fits) << c.x << "," << c.y << "," << c.w << "," << c.h;
    }
}

// A random RGBA test image written as PNG into a temporary directory.
class SpriteFile : public ::testing::Test {
protected:
    static constexpr unsigned kWidth = 13;
    static constexpr unsigned kHeight = 9;

    void SetUp() override
    {
        std::mt19937 random(7);
        rgba.resize(kWidth * kHeight * 4);
        for (std::uint8_t& byte : rgba)
            byte = std::uint8_t(random());
        path = dir.file("sheet@2x.png");
        ASSERT_TRUE(writePng(path, kWidth, kHeight, rgba));
    }

    std::uint32_t expected(unsigned x, unsigned y) const
    {
        const std::uint8_t* p = &rgba[(y * kWidth + x) * 4];
        return qlmr::rgba(p[0], p[1], p[2], p[3]);
    }

    test::TempDir dir;
    std::vector<std::uint8_t> rgba;
    std::string path;
};

TEST_F(SpriteFile, WholeImageLoadsRedLow)
{
    SpriteImage sprite;
    ASSERT_TRUE(loadSprite(path + "@0,0,13,9", sprite)); // '@' in the name, full crop accepted
    ASSERT_EQ(sprite.width, kWidth);
    ASSERT_EQ(sprite.height, kHeight);
    for (unsigned y = 0; y < kHeight; ++y)
        for (unsigned x = 0; x < kWidth; ++x)
            ASSERT_EQ(sprite.at(x, y), expected(x, y)) << x << "," << y;
}

TEST_F(SpriteFile, CropsPickTheirRectangle)
{
    std::mt19937 random(11);
    for (int trial = 0; trial < 40; ++trial) {
        const unsigned w = 1 + random() % kWidth, h = 1 + random() % kHeight;
        const unsigned x = random() % (kWidth - w + 1), y = random() % (kHeight - h + 1);
        const std::string spec = path + "@" + std::to_string(x) + "," + std::to_string(y) + "," + std::to_string(w) +
            "," + std::to_string(h);
        SpriteImage sprite;
        ASSERT_TRUE(loadSprite(spec, sprite)) << spec;
        ASSERT_EQ(sprite.width, w);
        ASSERT_EQ(sprite.height, h);
        for (unsigned j = 0; j < h; ++j)
            for (unsigned i = 0; i < w; ++i)
                ASSERT_EQ(sprite.at(i, j), expected(x + i, y + j)) << spec << " at " << i << "," << j;
    }
}

TEST_F(SpriteFile, RefusedLoadsLeaveTheSpriteAlone)
{
    const std::string refused[] = {
        path + "@0,0,14,9", path + "@0,0,13", path + "@1,,2,2", path + "@-1,0,2,2", path + "@0,0,0,3",
        dir.file("missing.png"), dir.file("sheet@2x.png.txt"),
    };
    std::vector<std::uint8_t> notPng = {'n', 'o', 't', ' ', 'a', ' ', 'p', 'n', 'g'};
    std::FILE* file = std::fopen(dir.file("sheet@2x.png.txt").c_str(), "wb");
    ASSERT_NE(file, nullptr);
    std::fwrite(notPng.data(), 1, notPng.size(), file);
    std::fclose(file);

    for (const std::string& spec : refused) {
        SpriteImage sprite(2, 1);
        sprite.pixels = {5u, 6u};
        EXPECT_FALSE(loadSprite(spec, sprite)) << spec;
        EXPECT_EQ(sprite.width, 2u) << spec;
        EXPECT_EQ(sprite.pixels, (std::vector<std::uint32_t>{5u, 6u})) << spec;
    }
}

TEST(SpriteImage, FreshSpriteIsTransparentAndViewCoversIt)
{
    const SpriteImage sprite(5, 3);
    EXPECT_EQ(sprite.pixels, std::vector<std::uint32_t>(15, 0u));
    const SpriteView view = spriteView(sprite);
    EXPECT_EQ(view.pixels, sprite.pixels.data());
    EXPECT_EQ(view.count, 15u);
    EXPECT_EQ(view.width, 5u);
    EXPECT_EQ(view.height, 3u);
    EXPECT_EQ(view.stride, 5u);
}

} // namespace
} // namespace qlmr
