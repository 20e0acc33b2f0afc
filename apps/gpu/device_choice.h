#pragma once

#include "gpu/vulkan_context.h"

#include <cstdint>
#include <string>
#include <vector>

namespace qlmr {

// The devices a run works on: every listed device for a negative --gpu,
// else the one whose index it names (none when no device has that index).
std::vector<VulkanDeviceInfo> chosenDevices(const std::vector<VulkanDeviceInfo>& listed, std::int32_t gpu);

// The message of a --gpu index that matches no listed device.
std::string noDeviceMessage(std::int32_t gpu, std::size_t listed);

// The device's part of its image names: "igpu" for an integrated device,
// "dgpu" for any other type, followed by the device index when another
// chosen device has the same tag, so that two devices of one type never
// write the same file. A single device keeps the plain tag.
std::string deviceImageTag(const std::vector<VulkanDeviceInfo>& chosen, const VulkanDeviceInfo& device);

} // namespace qlmr
