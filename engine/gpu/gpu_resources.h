#pragma once

// The Vulkan plumbing every GPU component shares: buffers and images with
// their memory, one-time command buffers, shader modules, compute pipelines
// and timestamp read-out. Every call goes through the context's function
// table; failures come back as a bool (or VkResult) with the failing call
// named as vkResultText writes it.

#include "gpu/vulkan_context.h"

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

namespace qlmr {

// SPIR-V words of one shader module.
struct SpirvCode {
    const std::uint32_t* words = nullptr;
    std::size_t wordCount = 0;
};

// A buffer and its memory; mapped for its whole life when created mapped.
struct GpuBuffer {
    VkBuffer buffer = VK_NULL_HANDLE;
    VkDeviceMemory memory = VK_NULL_HANDLE;
    void* mapped = nullptr;
    std::uint64_t size = 0;            // bytes asked of vkCreateBuffer
    std::uint64_t allocationSize = 0;  // bytes the memory requirements asked for
    std::int32_t memoryType = -1;      // index into the device's memory types
};

// An image, its memory and one view over all its mips and layers.
struct GpuImage {
    VkImage image = VK_NULL_HANDLE;
    VkDeviceMemory memory = VK_NULL_HANDLE;
    VkImageView view = VK_NULL_HANDLE;
    std::uint64_t size = 0;  // bytes of its memory
};

constexpr VkMemoryPropertyFlags kHostCoherentMemory =
    VK_MEMORY_PROPERTY_HOST_VISIBLE_BIT | VK_MEMORY_PROPERTY_HOST_COHERENT_BIT;

struct GpuBufferSpec {
    std::uint64_t bytes = 0;  // passed to vkCreateBuffer unchanged
    VkBufferUsageFlags usage = 0;
    VkMemoryPropertyFlags memory = kHostCoherentMemory;
    bool map = true;
    VkDeviceSize mapBytes = VK_WHOLE_SIZE;
};

// Creates the buffer, allocates and binds its memory and maps it when asked.
// On failure the record keeps what was created, for destroyGpuBuffer, and
// error (when set) names the failing call; no memory type with the wanted
// flags reads "host-visible memory" (or "device-local memory") with
// VK_ERROR_FEATURE_NOT_PRESENT.
bool createGpuBuffer(VulkanContext& context, const GpuBufferSpec& spec, GpuBuffer* buffer,
                     std::string* error = nullptr);
// Unmaps, destroys the buffer, frees the memory and clears the record.
void destroyGpuBuffer(VulkanContext& context, GpuBuffer* buffer);

// Bytes one storage buffer descriptor (a uniform one when `uniform`) may
// cover on the context's device.
std::uint32_t bufferBindingLimit(const VulkanContext& context, bool uniform);
// Empty when `bytes` fit one buffer descriptor, else the refusal: "<name> of
// N bytes exceeds the device limit of M bytes". Data past the limit could
// not be read through the binding, and binding it is undefined.
std::string bufferBindingError(const VulkanContext& context, const std::string& name, std::uint64_t bytes,
                               bool uniform);
// The descriptor of a whole buffer: VK_WHOLE_SIZE, or the device limit for a
// buffer that grew past it (growing buffers keep half as much again spare;
// what they hold was checked against the limit).
VkDescriptorBufferInfo wholeBufferBinding(const VulkanContext& context, const GpuBuffer& buffer, bool uniform);

struct GpuImageSpec {
    VkFormat format = VK_FORMAT_UNDEFINED;
    std::uint32_t width = 0;
    std::uint32_t height = 0;
    std::uint32_t mipLevels = 1;
    VkImageUsageFlags usage = 0;
    std::uint32_t layers = 0;  // 0: one layer seen through a 2D view; else an array view
    VkImageAspectFlags aspect = VK_IMAGE_ASPECT_COLOR_BIT;
};

// Creates a device-local, optimally tiled 2D image, its memory and its view.
// An empty extent, an edge beyond the context's maxImageDimension2D or more
// layers than its maxImageArrayLayers is refused before any call. On failure
// the record keeps what was created, for destroyGpuImage.
bool createGpuImage(VulkanContext& context, const GpuImageSpec& spec, GpuImage* image);
// Destroys the view, the image, frees the memory and clears the record.
void destroyGpuImage(VulkanContext& context, GpuImage* image);

// Command objects; each handle is null when its creation fails.
VkResult createCommandPool(VulkanContext& context, VkCommandPoolCreateFlags flags, VkCommandPool* pool);
VkResult createFence(VulkanContext& context, VkFence* fence);
// Two timestamp queries: 0 before the work, 1 after it.
VkResult createTimestampQueryPool(VulkanContext& context, VkQueryPool* pool);

// Allocates a primary command buffer from pool and begins it for one submit.
// commandBuffer is null when the allocation fails; when only the begin fails
// it stays allocated and the caller frees it.
bool beginOneTimeCommands(VulkanContext& context, VkCommandPool pool, VkCommandBuffer* commandBuffer,
                          std::string* error = nullptr);
// Ends commandBuffer, submits it on the compute queue with fence (reset
// first), waits for the fence and frees the command buffer back to pool.
bool submitAndWait(VulkanContext& context, VkCommandPool pool, VkFence fence, VkCommandBuffer commandBuffer);

// The module is null when creation fails.
VkResult createShaderModule(VulkanContext& context, SpirvCode code, VkShaderModule* module);
// A compute pipeline running module's "main"; null when creation fails.
VkResult createComputePipeline(VulkanContext& context, VkShaderModule module, VkPipelineLayout layout,
                               VkPipeline* pipeline);

// A graphics pipeline drawing triangle lists through one vertex binding with
// a vertex and a fragment stage ("main"), no culling, depth test and write
// with LESS, and a dynamic viewport and scissor.
struct GraphicsPipelineSpec {
    VkShaderModule vertexModule = VK_NULL_HANDLE;
    VkShaderModule fragmentModule = VK_NULL_HANDLE;
    VkVertexInputBindingDescription binding{};
    std::span<const VkVertexInputAttributeDescription> attributes;
    std::span<const VkPipelineColorBlendAttachmentState> blends;  // one per colour attachment
    VkPipelineLayout layout = VK_NULL_HANDLE;
    VkRenderPass renderPass = VK_NULL_HANDLE;
};
// The pipeline is null when creation fails.
VkResult createGraphicsPipeline(VulkanContext& context, const GraphicsPipelineSpec& spec, VkPipeline* pipeline);

// Destroys handle with destroy (a vkDestroy* entry of the table) when it is
// set, and clears it.
template <typename Handle>
void destroyHandle(VulkanContext& context, void (*destroy)(VkDevice, Handle, const VkAllocationCallbacks*),
                   Handle& handle)
{
    if (handle)
        destroy(context.device, handle, nullptr);
    handle = VK_NULL_HANDLE;
}

// Milliseconds between timestamps 0 and 1 of queryPool, waiting for them;
// false (ms untouched) when they cannot be read.
bool readTimestampMs(VulkanContext& context, VkQueryPool queryPool, double* ms);

} // namespace qlmr
