#include "builtin_sprites.h"

#include <gtest/gtest.h>

#include <map>
#include <set>

#include "content/relief_synthesis.h"

namespace qlmr {
namespace {

std::uint32_t alpha(std::uint32_t colour) { return colour >> 24; }

TEST(CrateSprite, OutlineNailsBraceAndPlanks)
{
    const std::uint32_t n = 20;
    const SpriteImage crate = makeCrateSprite(n);
    ASSERT_EQ(crate.width, n);
    ASSERT_EQ(crate.height, n);
    for (std::uint32_t i = 0; i < n; ++i) {
        for (std::uint32_t j = 0; j < n; ++j)
            ASSERT_EQ(alpha(crate.at(j, i)), 255u);
        EXPECT_EQ(crate.at(i, 0), rgba(48, 28, 18));
        EXPECT_EQ(crate.at(0, i), rgba(48, 28, 18));
        EXPECT_EQ(crate.at(i, n - 1), rgba(48, 28, 18));
        EXPECT_EQ(crate.at(n - 1, i), rgba(48, 28, 18));
    }
    for (std::uint32_t r : {1u, n - 2})
        for (std::uint32_t c : {1u, n - 2})
            EXPECT_EQ(crate.at(c, r), rgba(210, 210, 200));
    EXPECT_EQ(crate.at(2, 7), rgba(196, 142, 80));   // frame
    EXPECT_EQ(crate.at(10, 11), rgba(196, 142, 80)); // brace beside the diagonal
    EXPECT_EQ(crate.at(12, 7), rgba(168, 112, 58));  // row 7: band 1, odd
    EXPECT_EQ(crate.at(12, 4), rgba(92, 56, 30));    // row 4: seam
    EXPECT_EQ(crate.at(7, 12), rgba(146, 94, 46));   // row 12: band 2, even
    EXPECT_EQ(crate.at(5, 14), rgba(92, 56, 30));
}

TEST(HeroSprite, SilhouetteIsTheEllipseWithAnOutlineRing)
{
    const std::uint32_t w = 32, h = 24;
    const SpriteImage hero = makeHeroSprite(w, h);
    std::set<std::uint32_t> colours;
    for (int y = 0; y < int(h); ++y) {
        for (int x = 0; x < int(w); ++x) {
            const std::uint32_t colour = hero.at(std::uint32_t(x), std::uint32_t(y));
            const bool inside = insideEllipse(x, y, w, h);
            ASSERT_EQ(colour != 0, inside) << x << "," << y;
            if (!inside)
                continue;
            colours.insert(colour);
            const bool edge = !insideEllipse(x - 1, y, w, h) || !insideEllipse(x + 1, y, w, h) ||
                !insideEllipse(x, y - 1, w, h) || !insideEllipse(x, y + 1, w, h);
            if (edge) {
                EXPECT_EQ(colour, rgba(28, 22, 52)) << x << "," << y;
            }
        }
    }
    for (int x = 0; x < int(w); ++x)
        EXPECT_FALSE(insideEllipse(x, int(h) - 1, w, h));
    // Dark, mid and light body tones, the highlight, the outline-coloured
    // eyes and mouth and the glints.
    const std::set<std::uint32_t> expected = {rgba(28, 22, 52),    rgba(38, 112, 66),   rgba(72, 176, 84),
                                              rgba(150, 228, 118), rgba(232, 255, 214), rgba(250, 250, 250)};
    EXPECT_EQ(colours, expected);
    EXPECT_EQ(hero.at(11, 13), rgba(250, 250, 250)); // glint of the eye at 0.36 W, 0.55 H
    EXPECT_EQ(hero.at(19, 13), rgba(250, 250, 250));
    EXPECT_EQ(hero.at(11, 14), rgba(28, 22, 52));
    EXPECT_EQ(hero.at(9, 7), rgba(232, 255, 214)); // highlight at 0.3 W, 0.3 H
}

TEST(HeroSprite, EllipseTestRefusesEverythingOutsideTheSprite)
{
    EXPECT_TRUE(insideEllipse(16, 15, 32, 24));
    EXPECT_FALSE(insideEllipse(-1, 15, 32, 24));
    EXPECT_FALSE(insideEllipse(32, 15, 32, 24));
    EXPECT_FALSE(insideEllipse(16, -1, 32, 24));
    EXPECT_FALSE(insideEllipse(0, 0, 32, 24));
}

TEST(HeroSprite, ItsOutlineIsFoundAsInk)
{
    // The synthesizer separates the eyes and the mouth from the body only
    // when the outline colour dominates the silhouette.
    const SpriteImage hero = makeHeroSprite(32, 24);
    ReliefSynthesizer synthesizer{ReliefSettings{}};
    const std::uint16_t zero = 0;
    DisplacementField field(1, 1, std::span<const std::uint16_t>(&zero, 1), true);
    const ReliefInfo info = synthesizer.synthesize(spriteView(hero), field);
    EXPECT_TRUE(info.parts);
    EXPECT_EQ(info.opaqueWidth, 30u);
    EXPECT_EQ(info.opaqueHeight, 22u);
}

TEST(GroundTile, PalettesAndTheirShares)
{
    struct Case {
        int variant;
        std::map<std::uint32_t, int> shareInPercent; // expected share of each colour
    } cases[] = {
        {0, {{rgba(104, 182, 74), 18}, {rgba(46, 104, 46), 10}, {rgba(70, 142, 58), 71}, {rgba(240, 220, 90), 1}}},
        {1, {{rgba(196, 186, 166), 14}, {rgba(116, 92, 64), 10}, {rgba(150, 122, 86), 76}}},
    };
    for (const Case& c : cases) {
        const std::uint32_t n = 128;
        const SpriteImage tile = makeGroundTile(n, c.variant, 3);
        std::map<std::uint32_t, int> counts;
        for (std::uint32_t colour : tile.pixels)
            ++counts[colour];
        ASSERT_EQ(counts.size(), c.shareInPercent.size()) << "variant " << c.variant;
        for (const auto& [colour, share] : c.shareInPercent) {
            const double measured = 100.0 * counts[colour] / double(n * n);
            EXPECT_NEAR(measured, share, 1.0 + share * 0.1) << "variant " << c.variant << " colour " << colour;
        }
    }
}

TEST(GroundTile, SeedChangesThePatternAndSameSeedRepeatsIt)
{
    EXPECT_EQ(makeGroundTile(16, 0, 1).pixels, makeGroundTile(16, 0, 1).pixels);
    EXPECT_NE(makeGroundTile(16, 0, 1).pixels, makeGroundTile(16, 0, 2).pixels);
    // A smaller tile is the top-left corner of a larger one.
    const SpriteImage big = makeGroundTile(32, 1, 2), small = makeGroundTile(16, 1, 2);
    for (std::uint32_t y = 0; y < 16; ++y)
        for (std::uint32_t x = 0; x < 16; ++x)
            ASSERT_EQ(small.at(x, y), big.at(x, y));
}

TEST(BenchmarkFrame, FortySpritesOnTheirGrid)
{
    const SpriteImage hero = makeHeroSprite(32, 24), crate = makeCrateSprite(20);
    const SpriteImage frame = makeBenchmarkFrame(hero, crate);
    ASSERT_EQ(frame.width, 320u);
    ASSERT_EQ(frame.height, 180u);
    std::size_t heroOpaque = 0;
    for (std::uint32_t colour : hero.pixels)
        heroOpaque += alpha(colour) != 0;
    std::size_t frameOpaque = 0;
    for (std::uint32_t colour : frame.pixels)
        frameOpaque += alpha(colour) != 0;
    // k mod 3 == 2 gives 13 crates among the 40 slots; the slots do not overlap.
    EXPECT_EQ(frameOpaque, 27 * heroOpaque + 13 * 400);
    for (std::uint32_t k = 0; k < 40; ++k) {
        const std::uint32_t left = (k % 8) * 40 + 2, top = (k / 8) * 36 + 4;
        const SpriteImage& sprite = k % 3 == 2 ? crate : hero;
        for (std::uint32_t y = 0; y < sprite.height; ++y)
            for (std::uint32_t x = 0; x < sprite.width; ++x)
                ASSERT_EQ(frame.at(left + x, top + y), sprite.at(x, y)) << "slot " << k;
    }
}

} // namespace
} // namespace qlmr
