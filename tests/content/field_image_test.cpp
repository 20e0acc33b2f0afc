#include "content/field_image.h"

#include <gtest/gtest.h>

namespace qlmr {
namespace {

TEST(FieldImage, StartsFlatGreyAndMaterialZero)
{
    const FieldImage image(8, 4);
    EXPECT_EQ(image.width, 8u);
    EXPECT_EQ(image.height, 4u);
    ASSERT_EQ(image.heights.size(), 32u);
    ASSERT_EQ(image.colors.size(), 32u);
    ASSERT_EQ(image.materials.size(), 32u);
    for (std::size_t i = 0; i < 32; ++i) {
        EXPECT_EQ(image.heights[i], 0.0f);
        EXPECT_EQ(image.colors[i], 0xFF808080u);
        EXPECT_EQ(image.materials[i], 0u);
    }
}

TEST(PackRgba8, ClampsRoundsHalvesAwayAndSetsAlpha)
{
    struct Case {
        float r, g, b;
        std::uint32_t packed;
    };
    const Case cases[] = {
        {1.0f, 0.0f, 0.0f, 0xFF0000FFu},
        {0.0f, 1.0f, 0.0f, 0xFF00FF00u},
        {-0.5f, 2.0f, 0.5f, 0xFF80FF00u},      // clamps; 127.5 rounds up to 128
        {1e9f, -1e9f, 1.0f / 255.0f, 0xFF0100FFu},
        {0.2f, 0.4f, 0.6f, 0xFF996633u},       // 51, 102, 153
        {0.001f, 0.998f, 0.003f, 0xFF01FE00u}, // 0.255 -> 0, 254.49 -> 254, 0.765 -> 1
    };
    for (const Case& c : cases) {
        EXPECT_EQ(packRgba8(c.r, c.g, c.b), c.packed) << c.r << ", " << c.g << ", " << c.b;
    }
}

} // namespace
} // namespace qlmr
