#pragma once

// The engine never links the Vulkan library and never calls a global vk*
// symbol: every entry point lives in one table that a VulkanContext fills at
// run time. The lists below are the only place the entry points are named;
// the table is declared and filled from them, so order, declaration and
// loading cannot drift apart.

#ifndef VK_NO_PROTOTYPES
#define VK_NO_PROTOTYPES
#endif
#include <vulkan/vulkan.h>

#include <cstddef>

// Fetched through vkGetInstanceProcAddr with a null instance, before the
// instance exists.
#define QLMR_VULKAN_GLOBAL_FUNCTIONS(X) \
    X(vkCreateInstance) \
    X(vkEnumerateInstanceExtensionProperties) \
    X(vkEnumerateInstanceVersion)

// Fetched through vkGetInstanceProcAddr with the created instance.
#define QLMR_VULKAN_INSTANCE_FUNCTIONS(X) \
    X(vkDestroyInstance) \
    X(vkEnumeratePhysicalDevices) \
    X(vkGetPhysicalDeviceProperties) \
    X(vkGetPhysicalDeviceProperties2) \
    X(vkGetPhysicalDeviceQueueFamilyProperties) \
    X(vkGetPhysicalDeviceMemoryProperties) \
    X(vkCreateDevice) \
    X(vkGetDeviceProcAddr) \
    X(vkEnumerateDeviceExtensionProperties) \
    X(vkGetPhysicalDeviceFormatProperties) \
    X(vkGetPhysicalDeviceFeatures) \
    X(vkGetPhysicalDeviceSurfaceSupportKHR) \
    X(vkGetPhysicalDeviceSurfaceCapabilitiesKHR) \
    X(vkGetPhysicalDeviceSurfaceFormatsKHR) \
    X(vkGetPhysicalDeviceSurfacePresentModesKHR)

// Fetched through vkGetDeviceProcAddr with the opened device.
#define QLMR_VULKAN_DEVICE_FUNCTIONS(X) \
    X(vkDestroyDevice) \
    X(vkGetDeviceQueue) \
    X(vkCreateBuffer) \
    X(vkDestroyBuffer) \
    X(vkGetBufferMemoryRequirements) \
    X(vkAllocateMemory) \
    X(vkFreeMemory) \
    X(vkBindBufferMemory) \
    X(vkMapMemory) \
    X(vkUnmapMemory) \
    X(vkCreateShaderModule) \
    X(vkDestroyShaderModule) \
    X(vkCreateDescriptorSetLayout) \
    X(vkDestroyDescriptorSetLayout) \
    X(vkCreatePipelineLayout) \
    X(vkDestroyPipelineLayout) \
    X(vkCreateComputePipelines) \
    X(vkDestroyPipeline) \
    X(vkCreateDescriptorPool) \
    X(vkDestroyDescriptorPool) \
    X(vkAllocateDescriptorSets) \
    X(vkUpdateDescriptorSets) \
    X(vkCreateCommandPool) \
    X(vkDestroyCommandPool) \
    X(vkAllocateCommandBuffers) \
    X(vkBeginCommandBuffer) \
    X(vkEndCommandBuffer) \
    X(vkCmdBindPipeline) \
    X(vkCmdBindDescriptorSets) \
    X(vkCmdDispatch) \
    X(vkCmdPushConstants) \
    X(vkQueueSubmit) \
    X(vkCreateFence) \
    X(vkDestroyFence) \
    X(vkWaitForFences) \
    X(vkCreateQueryPool) \
    X(vkDestroyQueryPool) \
    X(vkCmdWriteTimestamp) \
    X(vkCmdResetQueryPool) \
    X(vkGetQueryPoolResults) \
    X(vkCreateImage) \
    X(vkDestroyImage) \
    X(vkGetImageMemoryRequirements) \
    X(vkBindImageMemory) \
    X(vkCreateImageView) \
    X(vkDestroyImageView) \
    X(vkCreateSampler) \
    X(vkDestroySampler) \
    X(vkCmdPipelineBarrier) \
    X(vkCmdCopyBufferToImage) \
    X(vkCmdCopyImageToBuffer) \
    X(vkFreeCommandBuffers) \
    X(vkResetFences) \
    X(vkDeviceWaitIdle) \
    X(vkFreeDescriptorSets) \
    X(vkCreateRenderPass) \
    X(vkDestroyRenderPass) \
    X(vkCreateFramebuffer) \
    X(vkDestroyFramebuffer) \
    X(vkCreateGraphicsPipelines) \
    X(vkCmdBeginRenderPass) \
    X(vkCmdEndRenderPass) \
    X(vkCmdBindVertexBuffers) \
    X(vkCmdDraw) \
    X(vkCmdSetViewport) \
    X(vkCmdSetScissor) \
    X(vkCmdBindIndexBuffer) \
    X(vkCmdDrawIndexed) \
    X(vkCmdCopyBuffer) \
    X(vkCmdBlitImage) \
    X(vkCreateSemaphore) \
    X(vkDestroySemaphore) \
    X(vkResetCommandBuffer) \
    X(vkResetCommandPool) \
    X(vkCreateSwapchainKHR) \
    X(vkDestroySwapchainKHR) \
    X(vkGetSwapchainImagesKHR) \
    X(vkAcquireNextImageKHR) \
    X(vkQueuePresentKHR) \
    X(vkQueueWaitIdle)

namespace qlmr {

// The resolved entry points, null until loaded (a value-initialised table is
// all null). Instance level: the global and instance groups; device level:
// the device group.
struct VulkanFunctions {
#define QLMR_VULKAN_DECLARE(name) PFN_##name name = nullptr;
    QLMR_VULKAN_GLOBAL_FUNCTIONS(QLMR_VULKAN_DECLARE)
    QLMR_VULKAN_INSTANCE_FUNCTIONS(QLMR_VULKAN_DECLARE)
    QLMR_VULKAN_DEVICE_FUNCTIONS(QLMR_VULKAN_DECLARE)
#undef QLMR_VULKAN_DECLARE
};

#define QLMR_VULKAN_COUNT(name) +1
inline constexpr std::size_t kVulkanGlobalFunctionCount = 0 QLMR_VULKAN_GLOBAL_FUNCTIONS(QLMR_VULKAN_COUNT);
inline constexpr std::size_t kVulkanInstanceFunctionCount =
    kVulkanGlobalFunctionCount QLMR_VULKAN_INSTANCE_FUNCTIONS(QLMR_VULKAN_COUNT);
inline constexpr std::size_t kVulkanDeviceFunctionCount = 0 QLMR_VULKAN_DEVICE_FUNCTIONS(QLMR_VULKAN_COUNT);
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
        QLMR_VULKAN_GLOBAL_FUNCTIONS(QLMR_VULKAN_LOAD)
        break;
    case VulkanFunctionGroup::Instance:
        QLMR_VULKAN_INSTANCE_FUNCTIONS(QLMR_VULKAN_LOAD)
        break;
    case VulkanFunctionGroup::Device:
        QLMR_VULKAN_DEVICE_FUNCTIONS(QLMR_VULKAN_LOAD)
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
    QLMR_VULKAN_GLOBAL_FUNCTIONS(QLMR_VULKAN_VISIT_GLOBAL)
    QLMR_VULKAN_INSTANCE_FUNCTIONS(QLMR_VULKAN_VISIT_INSTANCE)
    QLMR_VULKAN_DEVICE_FUNCTIONS(QLMR_VULKAN_VISIT_DEVICE)
#undef QLMR_VULKAN_VISIT_GLOBAL
#undef QLMR_VULKAN_VISIT_INSTANCE
#undef QLMR_VULKAN_VISIT_DEVICE
}

} // namespace qlmr
