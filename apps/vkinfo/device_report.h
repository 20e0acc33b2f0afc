#pragma once

#include "gpu/vulkan_context.h"

#include <cstdint>
#include <string>
#include <vector>

namespace qlmr {

// The class word of a VkPhysicalDeviceType value.
const char* deviceClassWord(std::uint32_t deviceType);

// A name as a JSON string literal: quotes and backslashes escaped, control
// bytes as \u00xx, every other byte (UTF-8 included) unchanged.
std::string jsonStringLiteral(const std::string& text);

// The word the smoke kernel writes at position i.
std::uint32_t smokeWord(std::uint32_t i, std::uint32_t salt, std::uint32_t rounds);

// Prints the device list as one JSON object; returns the exit code.
int printJsonReport(const std::vector<VulkanDeviceInfo>& devices);

// Prints one line per device, opens each one and runs the smoke test on it;
// returns the exit code.
int runTextReport(const std::vector<VulkanDeviceInfo>& devices);

} // namespace qlmr
