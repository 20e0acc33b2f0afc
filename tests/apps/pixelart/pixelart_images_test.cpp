#include "pixelart_images.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

namespace qlmr {
namespace {

TEST(NormalsImage, MissesAreBlackAndHitsMapMinusOneToZeroAndOneTo255)
{
    GBuffer frame;
    frame.resize(6, 4);
    for (std::uint32_t y = 0; y < 4; ++y) {
        for (std::uint32_t x = 0; x < 6; ++x) {
            const std::size_t i = frame.index(x, y);
            const bool miss = (x + y) % 3 == 0;
            frame.plane(GBuffer::Depth)[i] = miss ? (x == 0 ? std::numeric_limits<float>::infinity() : 1e29f) : 2.0f;
            frame.plane(GBuffer::NormalX)[i] = -1.0f + 0.4f * float(x);
            frame.plane(GBuffer::NormalY)[i] = 1.0f - 0.5f * float(y);
            frame.plane(GBuffer::NormalZ)[i] = 0.002f * float(x * y);
        }
    }
    const std::vector<std::uint8_t> image = normalsImage(frame);
    ASSERT_EQ(image.size(), 6u * 4u * 4u);
    for (std::uint32_t y = 0; y < 4; ++y) {
        for (std::uint32_t x = 0; x < 6; ++x) {
            const std::uint8_t* p = &image[(y * 6 + x) * 4];
            EXPECT_EQ(p[3], 255);
            if ((x + y) % 3 == 0) {
                EXPECT_EQ(p[0] + p[1] + p[2], 0) << x << "," << y;
                continue;
            }
            for (int c = 0; c < 3; ++c) {
                const float n = frame.at(GBuffer::NormalX + c, x, y);
                EXPECT_EQ(p[c], std::lround((n * 0.5f + 0.5f) * 255.0f)) << x << "," << y << " channel " << c;
            }
        }
    }
}

TEST(HeightsImage, EachNodeBecomesAGreyBlockOfFourByFour)
{
    const float scale = 2.0f;
    const std::vector<float> heights = {0.0f, 1.0f, 2.0f, 3.0f, 0.5f, 1.999f};
    const std::vector<std::uint8_t> image = heightsImage(heights, 3, 2, scale);
    ASSERT_EQ(image.size(), 12u * 8u * 4u);
    const int expected[6] = {0, 128, 255, 255, 64, 255}; // round(255 * min(h / 2, 1)); 127.5 rounds up
    for (std::uint32_t y = 0; y < 8; ++y) {
        for (std::uint32_t x = 0; x < 12; ++x) {
            const std::uint8_t* p = &image[(y * 12 + x) * 4];
            const int grey = expected[(y / 4) * 3 + x / 4];
            EXPECT_EQ(p[0], grey) << x << "," << y;
            EXPECT_EQ(p[1], grey);
            EXPECT_EQ(p[2], grey);
            EXPECT_EQ(p[3], 255);
        }
    }
}

} // namespace
} // namespace qlmr
