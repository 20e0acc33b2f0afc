#include "content/make_field.h"

#include <gtest/gtest.h>
#include <stdexcept>

namespace qlmr {
namespace {

TEST(MakeField, CarriesHeightsColoursAndMaterials)
{
    FieldImage image(4, 2);
    for (std::uint32_t i = 0; i < 8; ++i) {
        image.heights[i] = 0.125f * static_cast<float>(i);
        image.colors[i] = 0xFF000000u | i;
        image.materials[i] = static_cast<std::uint8_t>(i + 1);
    }
    image.heights[7] = 1.5f; // clamps to 1
    const DisplacementField field = makeField(image, false);
    EXPECT_FALSE(field.clampEdges);
    EXPECT_EQ(field.texel(0, 1, 0), 8192);  // 0.125 * 65535 = 8191.875
    EXPECT_EQ(field.texel(0, 3, 1), 65535);
    ASSERT_EQ(field.albedoWidth, 4u);
    EXPECT_EQ(field.albedoLevel(0)[5], 0xFF000005u);
    ASSERT_EQ(field.materials.size(), 8u);
    EXPECT_EQ(field.materials[6], 7);
}

TEST(MakeField, WithoutColoursOrMaterialsTheFieldHasNone)
{
    FieldImage image(8, 8);
    image.colors.clear();
    image.materials.clear();
    const DisplacementField field = makeField(image, true);
    EXPECT_EQ(field.albedoWidth, 0u);
    EXPECT_TRUE(field.materials.empty());
}

TEST(MakeField, SizeThatIsNotAPowerOfTwoThrowsTheFieldsMessage)
{
    try {
        makeField(FieldImage(12, 8), true);
        FAIL() << "no exception";
    } catch (const std::invalid_argument& e) {
        EXPECT_STREQ(e.what(), "field width must be a power of two");
    }
}

} // namespace
} // namespace qlmr
