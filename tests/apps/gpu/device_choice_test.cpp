// Which devices a run works on, what it says when --gpu names none, and the
// device part of the image names.
#include "device_choice.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace qlmr {
namespace {

VulkanDeviceInfo device(std::uint32_t index, std::uint32_t type)
{
    VulkanDeviceInfo info;
    info.index = index;
    info.deviceType = type;
    info.name = "device " + std::to_string(index);
    return info;
}

std::vector<std::uint32_t> indices(const std::vector<VulkanDeviceInfo>& devices)
{
    std::vector<std::uint32_t> result;
    for (const VulkanDeviceInfo& d : devices)
        result.push_back(d.index);
    return result;
}

TEST(ChosenDevices, EveryDeviceForANegativeIndexElseTheOneNamed)
{
    const std::vector<VulkanDeviceInfo> listed{device(0, 2), device(1, 1), device(2, 4)};
    EXPECT_EQ(indices(chosenDevices(listed, -1)), (std::vector<std::uint32_t>{0, 1, 2}));
    EXPECT_EQ(indices(chosenDevices(listed, -5)), (std::vector<std::uint32_t>{0, 1, 2}));
    EXPECT_EQ(indices(chosenDevices(listed, 1)), (std::vector<std::uint32_t>{1}));
    EXPECT_TRUE(chosenDevices(listed, 3).empty());
    EXPECT_TRUE(chosenDevices({}, -1).empty());
}

TEST(ChosenDevices, AnIndexWithoutADeviceIsNamedWithTheCount)
{
    EXPECT_EQ(noDeviceMessage(7, 2), "--gpu 7 matches no Vulkan device (2 devices found)");
    EXPECT_EQ(noDeviceMessage(1, 1), "--gpu 1 matches no Vulkan device (1 device found)");
}

struct TagCase {
    std::vector<VulkanDeviceInfo> chosen;
    std::vector<std::string> tags;  // one per chosen device
};

class ImageTags : public ::testing::TestWithParam<TagCase> {};

TEST_P(ImageTags, StayUniquePerDeviceAndPlainForOneOfAType)
{
    const TagCase& c = GetParam();
    std::vector<std::string> tags;
    for (const VulkanDeviceInfo& d : c.chosen)
        tags.push_back(deviceImageTag(c.chosen, d));
    EXPECT_EQ(tags, c.tags);
}

INSTANTIATE_TEST_SUITE_P(
    DeviceChoice, ImageTags,
    ::testing::Values(
        // One device keeps the names it always had.
        TagCase{{device(0, 2)}, {"dgpu"}}, TagCase{{device(0, 1)}, {"igpu"}},
        // Virtual and CPU devices share the "dgpu" tag with discrete ones.
        TagCase{{device(3, 4)}, {"dgpu"}},
        // One of each type: the tags already differ.
        TagCase{{device(0, 1), device(1, 2)}, {"igpu", "dgpu"}},
        // Two of one type (two drivers of the same card, or a card and a
        // CPU driver) take their index.
        TagCase{{device(0, 4), device(1, 4)}, {"dgpu0", "dgpu1"}},
        TagCase{{device(0, 2), device(1, 1), device(2, 4)}, {"dgpu0", "igpu", "dgpu2"}}));

} // namespace
} // namespace qlmr
