#include "device_choice.h"

#include <algorithm>

namespace qlmr {

namespace {

const char* typeTag(const VulkanDeviceInfo& device)
{
    return device.deviceType == 1 ? "igpu" : "dgpu";
}

} // namespace

std::vector<VulkanDeviceInfo> chosenDevices(const std::vector<VulkanDeviceInfo>& listed, std::int32_t gpu)
{
    std::vector<VulkanDeviceInfo> chosen;
    for (const VulkanDeviceInfo& device : listed)
        if (gpu < 0 || static_cast<std::uint32_t>(gpu) == device.index)
            chosen.push_back(device);
    return chosen;
}

std::string noDeviceMessage(std::int32_t gpu, std::size_t listed)
{
    return "--gpu " + std::to_string(gpu) + " matches no Vulkan device (" + std::to_string(listed) +
        (listed == 1 ? " device" : " devices") + " found)";
}

std::string deviceImageTag(const std::vector<VulkanDeviceInfo>& chosen, const VulkanDeviceInfo& device)
{
    const std::string tag = typeTag(device);
    const auto sameTag = std::count_if(chosen.begin(), chosen.end(),
                                       [&](const VulkanDeviceInfo& other) { return typeTag(other) == tag; });
    return sameTag > 1 ? tag + std::to_string(device.index) : tag;
}

} // namespace qlmr
