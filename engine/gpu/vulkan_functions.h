#pragma once

// The engine never links the Vulkan library and never calls a global vk*
// symbol: every entry point lives in one table that a VulkanContext fills at
// run time. The list below is the only place the entry points are named;
// the table is declared and filled from them, so order, declaration and
// loading cannot drift apart.

#ifndef VK_NO_PROTOTYPES
#define VK_NO_PROTOTYPES
#endif
#include <vulkan/vulkan.h>

#include <cstddef>

// Every entry point, in table order, tagged with how it is fetched:
//   GLOBAL:   vkGetInstanceProcAddr with a null instance, before the instance exists;
//   INSTANCE: vkGetInstanceProcAddr with the created instance;
//   DEVICE:   vkGetDeviceProcAddr with the opened device.
// GLOBAL and INSTANCE together are the 18 instance-level entries, DEVICE the 80 device-level ones.
#define QLMR_VULKAN_FUNCTIONS(GLOBAL, INSTANCE, DEVICE) \
    GLOBAL(vkCreateInstance) \
    GLOBAL(vkEnumerateInstanceExtensionProperties) \
    GLOBAL(vkEnumerateInstanceVersion) \
    INSTANCE(vkDestroyInstance) \
    INSTANCE(vkEnumeratePhysicalDevices) \
    INSTANCE(vkGetPhysicalDeviceProperties) \
    INSTANCE(vkGetPhysicalDeviceProperties2) \
    INSTANCE(vkGetPhysicalDeviceQueueFamilyProperties) \
    INSTANCE(vkGetPhysicalDeviceMemoryProperties) \
    INSTANCE(vkCreateDevice) \
    INSTANCE(vkGetDeviceProcAddr) \
    INSTANCE(vkEnumerateDeviceExtensionProperties) \
    INSTANCE(vkGetPhysicalDeviceFormatProperties) \
    INSTANCE(vkGetPhysicalDeviceFeatures) \
    INSTANCE(vkGetPhysicalDeviceSurfaceSupportKHR) \
    INSTANCE(vkGetPhysicalDeviceSurfaceCapabilitiesKHR) \
    INSTANCE(vkGetPhysicalDeviceSurfaceFormatsKHR) \
    INSTANCE(vkGetPhysicalDeviceSurfacePresentModesKHR) \
    DEVICE(vkDestroyDevice) \
    DEVICE(vkGetDeviceQueue) \
    DEVICE(vkCreateBuffer) \
    DEVICE(vkDestroyBuffer) \
    DEVICE(vkGetBufferMemoryRequirements) \
    DEVICE(vkAllocateMemory) \
    DEVICE(vkFreeMemory) \
    DEVICE(vkBindBufferMemory) \
    DEVICE(vkMapMemory) \
    DEVICE(vkUnmapMemory) \
    DEVICE(vkCreateShaderModule) \
    DEVICE(vkDestroyShaderModule) \
    DEVICE(vkCreateDescriptorSetLayout) \
    DEVICE(vkDestroyDescriptorSetLayout) \
    DEVICE(vkCreatePipelineLayout) \
    DEVICE(vkDestroyPipelineLayout) \
    DEVICE(vkCreateComputePipelines) \
    DEVICE(vkDestroyPipeline) \
    DEVICE(vkCreateDescriptorPool) \
    DEVICE(vkDestroyDescriptorPool) \
    DEVICE(vkAllocateDescriptorSets) \
    DEVICE(vkUpdateDescriptorSets) \
    DEVICE(vkCreateCommandPool) \
    DEVICE(vkDestroyCommandPool) \
    DEVICE(vkAllocateCommandBuffers) \
    DEVICE(vkBeginCommandBuffer) \
    DEVICE(vkEndCommandBuffer) \
    DEVICE(vkCmdBindPipeline) \
    DEVICE(vkCmdBindDescriptorSets) \
    DEVICE(vkCmdDispatch) \
    DEVICE(vkCmdPushConstants) \
    DEVICE(vkQueueSubmit) \
    DEVICE(vkCreateFence) \
    DEVICE(vkDestroyFence) \
    DEVICE(vkWaitForFences) \
    DEVICE(vkCreateQueryPool) \
    DEVICE(vkDestroyQueryPool) \
    DEVICE(vkCmdWriteTimestamp) \
    DEVICE(vkCmdResetQueryPool) \
    DEVICE(vkGetQueryPoolResults) \
    DEVICE(vkCreateImage) \
    DEVICE(vkDestroyImage) \
    DEVICE(vkGetImageMemoryRequirements) \
    DEVICE(vkBindImageMemory) \
    DEVICE(vkCreateImageView) \
    DEVICE(vkDestroyImageView) \
    DEVICE(vkCreateSampler) \
    DEVICE(vkDestroySampler) \
    DEVICE(vkCmdPipelineBarrier) \
    DEVICE(vkCmdCopyBufferToImage) \
    DEVICE(vkCmdCopyImageToBuffer) \
    DEVICE(vkFreeCommandBuffers) \
    DEVICE(vkResetFences) \
    DEVICE(vkDeviceWaitIdle) \
    DEVICE(vkFreeDescriptorSets) \
    DEVICE(vkCreateRenderPass) \
    DEVICE(vkDestroyRenderPass) \
    DEVICE(vkCreateFramebuffer) \
    DEVICE(vkDestroyFramebuffer) \
    DEVICE(vkCreateGraphicsPipelines) \
    DEVICE(vkCmdBeginRenderPass) \
    DEVICE(vkCmdEndRenderPass) \
    DEVICE(vkCmdBindVertexBuffers) \
    DEVICE(vkCmdDraw) \
    DEVICE(vkCmdSetViewport) \
    DEVICE(vkCmdSetScissor) \
    DEVICE(vkCmdBindIndexBuffer) \
    DEVICE(vkCmdDrawIndexed) \
    DEVICE(vkCmdCopyBuffer) \
    DEVICE(vkCmdBlitImage) \
    DEVICE(vkCreateSemaphore) \
    DEVICE(vkDestroySemaphore) \
    DEVICE(vkResetCommandBuffer) \
    DEVICE(vkResetCommandPool) \
    DEVICE(vkCreateSwapchainKHR) \
    DEVICE(vkDestroySwapchainKHR) \
    DEVICE(vkGetSwapchainImagesKHR) \
    DEVICE(vkAcquireNextImageKHR) \
    DEVICE(vkQueuePresentKHR) \
    DEVICE(vkQueueWaitIdle)

namespace qlmr {

// The resolved entry points, null until loaded (a value-initialised table is
// all null). Instance level: the global and instance groups; device level:
// the device group.
struct VulkanFunctions {
#define QLMR_VULKAN_DECLARE(name) PFN_##name name = nullptr;
    QLMR_VULKAN_FUNCTIONS(QLMR_VULKAN_DECLARE, QLMR_VULKAN_DECLARE, QLMR_VULKAN_DECLARE)
#undef QLMR_VULKAN_DECLARE
};

#define QLMR_VULKAN_COUNT(name) +1
#define QLMR_VULKAN_SKIP(name)
inline constexpr std::size_t kVulkanInstanceFunctionCount =
    0 QLMR_VULKAN_FUNCTIONS(QLMR_VULKAN_COUNT, QLMR_VULKAN_COUNT, QLMR_VULKAN_SKIP);
inline constexpr std::size_t kVulkanDeviceFunctionCount =
    0 QLMR_VULKAN_FUNCTIONS(QLMR_VULKAN_SKIP, QLMR_VULKAN_SKIP, QLMR_VULKAN_COUNT);
#undef QLMR_VULKAN_COUNT

static_assert(kVulkanInstanceFunctionCount == 18, "18 instance-level entry points");
static_assert(kVulkanDeviceFunctionCount == 80, "80 device-level entry points");
static_assert(sizeof(VulkanFunctions) == 98 * sizeof(void*), "the table holds exactly the listed pointers");

enum class VulkanFunctionGroup { Global, Instance, Device };

// Fills one group of the table, in list order, from a resolver that maps an
// entry-point name to its address (null when the driver does not offer it).
template <class Resolver>
void loadVulkanFunctions(VulkanFunctions& table, VulkanFunctionGroup group, Resolver&& resolve)
{
#define QLMR_VULKAN_LOAD(name) table.name = reinterpret_cast<PFN_##name>(resolve(#name));
    switch (group) {
    case VulkanFunctionGroup::Global:
        QLMR_VULKAN_FUNCTIONS(QLMR_VULKAN_LOAD, QLMR_VULKAN_SKIP, QLMR_VULKAN_SKIP)
        break;
    case VulkanFunctionGroup::Instance:
        QLMR_VULKAN_FUNCTIONS(QLMR_VULKAN_SKIP, QLMR_VULKAN_LOAD, QLMR_VULKAN_SKIP)
        break;
    case VulkanFunctionGroup::Device:
        QLMR_VULKAN_FUNCTIONS(QLMR_VULKAN_SKIP, QLMR_VULKAN_SKIP, QLMR_VULKAN_LOAD)
        break;
    }
#undef QLMR_VULKAN_LOAD
}

// Visits every entry of the table in list order with its name, its group and
// its current address (used to report which entries a driver left null).
template <class Visitor>
void forEachVulkanFunction(const VulkanFunctions& table, Visitor&& visit)
{
#define QLMR_VULKAN_VISIT_GLOBAL(name) \
    visit(#name, VulkanFunctionGroup::Global, reinterpret_cast<const void*>(table.name));
#define QLMR_VULKAN_VISIT_INSTANCE(name) \
    visit(#name, VulkanFunctionGroup::Instance, reinterpret_cast<const void*>(table.name));
#define QLMR_VULKAN_VISIT_DEVICE(name) \
    visit(#name, VulkanFunctionGroup::Device, reinterpret_cast<const void*>(table.name));
    QLMR_VULKAN_FUNCTIONS(QLMR_VULKAN_VISIT_GLOBAL, QLMR_VULKAN_VISIT_INSTANCE, QLMR_VULKAN_VISIT_DEVICE)
#undef QLMR_VULKAN_VISIT_GLOBAL
#undef QLMR_VULKAN_VISIT_INSTANCE
#undef QLMR_VULKAN_VISIT_DEVICE
}

} // namespace qlmr
