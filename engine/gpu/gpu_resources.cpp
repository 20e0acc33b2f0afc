#include "gpu/gpu_resources.h"

#include <limits>

namespace qlmr {

namespace {

constexpr std::uint64_t kNoTimeout = std::numeric_limits<std::uint64_t>::max();

bool failCall(std::string* error, const char* call, VkResult result)
{
    if (error)
        *error = vkResultText(call, result);
    return false;
}

} // namespace

// ---- buffers

bool createGpuBuffer(VulkanContext& context, const GpuBufferSpec& spec, GpuBuffer* buffer, std::string* error)
{
    const VulkanFunctions& vk = context.vk;
    const VkDevice device = context.device;
    *buffer = GpuBuffer{};
    buffer->size = spec.bytes;
    VkBufferCreateInfo create{};
    create.sType = VK_STRUCTURE_TYPE_BUFFER_CREATE_INFO;
    create.size = spec.bytes;
    create.usage = spec.usage;
    create.sharingMode = VK_SHARING_MODE_EXCLUSIVE;
    const VkResult created = vk.vkCreateBuffer(device, &create, nullptr, &buffer->buffer);
    if (created != VK_SUCCESS) {
        buffer->buffer = VK_NULL_HANDLE;
        return failCall(error, "vkCreateBuffer", created);
    }
    VkMemoryRequirements requirements{};
    vk.vkGetBufferMemoryRequirements(device, buffer->buffer, &requirements);
    buffer->memoryType = context.findMemoryType(requirements.memoryTypeBits, spec.memory);
    if (buffer->memoryType < 0) {
        const bool hostVisible = (spec.memory & VK_MEMORY_PROPERTY_HOST_VISIBLE_BIT) != 0;
        return failCall(error, hostVisible ? "host-visible memory" : "device-local memory",
                        VK_ERROR_FEATURE_NOT_PRESENT);
    }
    VkMemoryAllocateInfo allocate{};
    allocate.sType = VK_STRUCTURE_TYPE_MEMORY_ALLOCATE_INFO;
    allocate.allocationSize = requirements.size;
    allocate.memoryTypeIndex = std::uint32_t(buffer->memoryType);
    const VkResult allocated = vk.vkAllocateMemory(device, &allocate, nullptr, &buffer->memory);
    if (allocated != VK_SUCCESS) {
        buffer->memory = VK_NULL_HANDLE;
        return failCall(error, "vkAllocateMemory", allocated);
    }
    buffer->allocationSize = requirements.size;
    const VkResult bound = vk.vkBindBufferMemory(device, buffer->buffer, buffer->memory, 0);
    if (bound != VK_SUCCESS)
        return failCall(error, "vkBindBufferMemory", bound);
    if (spec.map) {
        const VkResult mapped = vk.vkMapMemory(device, buffer->memory, 0, spec.mapBytes, 0, &buffer->mapped);
        if (mapped != VK_SUCCESS) {
            buffer->mapped = nullptr;
            return failCall(error, "vkMapMemory", mapped);
        }
    }
    return true;
}

void destroyGpuBuffer(VulkanContext& context, GpuBuffer* buffer)
{
    const VulkanFunctions& vk = context.vk;
    if (buffer->mapped)
        vk.vkUnmapMemory(context.device, buffer->memory);
    if (buffer->buffer)
        vk.vkDestroyBuffer(context.device, buffer->buffer, nullptr);
    if (buffer->memory)
        vk.vkFreeMemory(context.device, buffer->memory, nullptr);
    *buffer = GpuBuffer{};
}

std::uint32_t bufferBindingLimit(const VulkanContext& context, bool uniform)
{
    return uniform ? context.maxUniformBufferRange : context.maxStorageBufferRange;
}

std::string bufferBindingError(const VulkanContext& context, const std::string& name, std::uint64_t bytes,
                               bool uniform)
{
    const std::uint32_t limit = bufferBindingLimit(context, uniform);
    if (bytes <= limit)
        return {};
    return name + " of " + std::to_string(bytes) + " bytes exceeds the device limit of " + std::to_string(limit) +
        " bytes";
}

VkDescriptorBufferInfo wholeBufferBinding(const VulkanContext& context, const GpuBuffer& buffer, bool uniform)
{
    const std::uint32_t limit = bufferBindingLimit(context, uniform);
    return {buffer.buffer, 0, buffer.size <= limit ? VK_WHOLE_SIZE : VkDeviceSize(limit)};
}

// ---- images

bool createGpuImage(VulkanContext& context, const GpuImageSpec& spec, GpuImage* image)
{
    const VulkanFunctions& vk = context.vk;
    const VkDevice device = context.device;
    *image = GpuImage{};
    // An empty extent, an edge past the device's limit or more layers than
    // it takes is invalid in Vulkan (a driver may crash on it): refused.
    const std::uint32_t layers = spec.layers == 0 ? 1 : spec.layers;
    if (spec.width == 0 || spec.height == 0 || spec.width > context.maxImageDimension2D ||
        spec.height > context.maxImageDimension2D || layers > context.maxImageArrayLayers)
        return false;
    VkImageCreateInfo create{};
    create.sType = VK_STRUCTURE_TYPE_IMAGE_CREATE_INFO;
    create.imageType = VK_IMAGE_TYPE_2D;
    create.format = spec.format;
    create.extent = {spec.width, spec.height, 1};
    create.mipLevels = spec.mipLevels;
    create.arrayLayers = layers;
    create.samples = VK_SAMPLE_COUNT_1_BIT;
    create.tiling = VK_IMAGE_TILING_OPTIMAL;
    create.usage = spec.usage;
    create.sharingMode = VK_SHARING_MODE_EXCLUSIVE;
    create.initialLayout = VK_IMAGE_LAYOUT_UNDEFINED;
    if (vk.vkCreateImage(device, &create, nullptr, &image->image) != VK_SUCCESS) {
        image->image = VK_NULL_HANDLE;
        return false;
    }
    VkMemoryRequirements requirements{};
    vk.vkGetImageMemoryRequirements(device, image->image, &requirements);
    const std::int32_t type = context.findMemoryType(requirements.memoryTypeBits, VK_MEMORY_PROPERTY_DEVICE_LOCAL_BIT);
    VkMemoryAllocateInfo allocate{};
    allocate.sType = VK_STRUCTURE_TYPE_MEMORY_ALLOCATE_INFO;
    allocate.allocationSize = requirements.size;
    allocate.memoryTypeIndex = std::uint32_t(type);
    if (type < 0 || vk.vkAllocateMemory(device, &allocate, nullptr, &image->memory) != VK_SUCCESS) {
        image->memory = VK_NULL_HANDLE;
        return false;
    }
    image->size = requirements.size;
    if (vk.vkBindImageMemory(device, image->image, image->memory, 0) != VK_SUCCESS)
        return false;
    VkImageViewCreateInfo view{};
    view.sType = VK_STRUCTURE_TYPE_IMAGE_VIEW_CREATE_INFO;
    view.image = image->image;
    view.viewType = spec.layers != 0 ? VK_IMAGE_VIEW_TYPE_2D_ARRAY : VK_IMAGE_VIEW_TYPE_2D;
    view.format = spec.format;
    view.subresourceRange = {spec.aspect, 0, VK_REMAINING_MIP_LEVELS, 0, VK_REMAINING_ARRAY_LAYERS};
    if (vk.vkCreateImageView(device, &view, nullptr, &image->view) != VK_SUCCESS) {
        image->view = VK_NULL_HANDLE;
        return false;
    }
    return true;
}

void destroyGpuImage(VulkanContext& context, GpuImage* image)
{
    const VulkanFunctions& vk = context.vk;
    if (image->view)
        vk.vkDestroyImageView(context.device, image->view, nullptr);
    if (image->image)
        vk.vkDestroyImage(context.device, image->image, nullptr);
    if (image->memory)
        vk.vkFreeMemory(context.device, image->memory, nullptr);
    *image = GpuImage{};
}

// ---- command objects

VkResult createCommandPool(VulkanContext& context, VkCommandPoolCreateFlags flags, VkCommandPool* pool)
{
    VkCommandPoolCreateInfo poolInfo{};
    poolInfo.sType = VK_STRUCTURE_TYPE_COMMAND_POOL_CREATE_INFO;
    poolInfo.flags = flags;
    poolInfo.queueFamilyIndex = context.computeQueueFamily;
    const VkResult created = context.vk.vkCreateCommandPool(context.device, &poolInfo, nullptr, pool);
    if (created != VK_SUCCESS)
        *pool = VK_NULL_HANDLE;
    return created;
}

VkResult createFence(VulkanContext& context, VkFence* fence)
{
    VkFenceCreateInfo fenceInfo{};
    fenceInfo.sType = VK_STRUCTURE_TYPE_FENCE_CREATE_INFO;
    const VkResult created = context.vk.vkCreateFence(context.device, &fenceInfo, nullptr, fence);
    if (created != VK_SUCCESS)
        *fence = VK_NULL_HANDLE;
    return created;
}

VkResult createTimestampQueryPool(VulkanContext& context, VkQueryPool* pool)
{
    VkQueryPoolCreateInfo queryInfo{};
    queryInfo.sType = VK_STRUCTURE_TYPE_QUERY_POOL_CREATE_INFO;
    queryInfo.queryType = VK_QUERY_TYPE_TIMESTAMP;
    queryInfo.queryCount = 2;
    const VkResult created = context.vk.vkCreateQueryPool(context.device, &queryInfo, nullptr, pool);
    if (created != VK_SUCCESS)
        *pool = VK_NULL_HANDLE;
    return created;
}

// ---- one-time commands

bool beginOneTimeCommands(VulkanContext& context, VkCommandPool pool, VkCommandBuffer* commandBuffer,
                          std::string* error)
{
    const VulkanFunctions& vk = context.vk;
    VkCommandBufferAllocateInfo allocate{};
    allocate.sType = VK_STRUCTURE_TYPE_COMMAND_BUFFER_ALLOCATE_INFO;
    allocate.commandPool = pool;
    allocate.level = VK_COMMAND_BUFFER_LEVEL_PRIMARY;
    allocate.commandBufferCount = 1;
    *commandBuffer = VK_NULL_HANDLE;
    const VkResult allocated = vk.vkAllocateCommandBuffers(context.device, &allocate, commandBuffer);
    if (allocated != VK_SUCCESS) {
        *commandBuffer = VK_NULL_HANDLE;
        return failCall(error, "vkAllocateCommandBuffers", allocated);
    }
    VkCommandBufferBeginInfo begin{};
    begin.sType = VK_STRUCTURE_TYPE_COMMAND_BUFFER_BEGIN_INFO;
    begin.flags = VK_COMMAND_BUFFER_USAGE_ONE_TIME_SUBMIT_BIT;
    const VkResult begun = vk.vkBeginCommandBuffer(*commandBuffer, &begin);
    if (begun != VK_SUCCESS)
        return failCall(error, "vkBeginCommandBuffer", begun);
    return true;
}

bool submitAndWait(VulkanContext& context, VkCommandPool pool, VkFence fence, VkCommandBuffer commandBuffer)
{
    const VulkanFunctions& vk = context.vk;
    vk.vkEndCommandBuffer(commandBuffer);
    vk.vkResetFences(context.device, 1, &fence);
    VkSubmitInfo submit{};
    submit.sType = VK_STRUCTURE_TYPE_SUBMIT_INFO;
    submit.commandBufferCount = 1;
    submit.pCommandBuffers = &commandBuffer;
    bool ok = vk.vkQueueSubmit(context.computeQueue, 1, &submit, fence) == VK_SUCCESS;
    if (ok)
        ok = vk.vkWaitForFences(context.device, 1, &fence, VK_TRUE, kNoTimeout) == VK_SUCCESS;
    vk.vkFreeCommandBuffers(context.device, pool, 1, &commandBuffer);
    return ok;
}

// ---- shaders and pipelines

VkResult createShaderModule(VulkanContext& context, SpirvCode code, VkShaderModule* module)
{
    VkShaderModuleCreateInfo moduleInfo{};
    moduleInfo.sType = VK_STRUCTURE_TYPE_SHADER_MODULE_CREATE_INFO;
    moduleInfo.codeSize = code.wordCount * sizeof(std::uint32_t);
    moduleInfo.pCode = code.words;
    const VkResult created = context.vk.vkCreateShaderModule(context.device, &moduleInfo, nullptr, module);
    if (created != VK_SUCCESS)
        *module = VK_NULL_HANDLE;
    return created;
}

VkResult createComputePipeline(VulkanContext& context, VkShaderModule module, VkPipelineLayout layout,
                               VkPipeline* pipeline)
{
    VkComputePipelineCreateInfo pipelineInfo{};
    pipelineInfo.sType = VK_STRUCTURE_TYPE_COMPUTE_PIPELINE_CREATE_INFO;
    pipelineInfo.stage.sType = VK_STRUCTURE_TYPE_PIPELINE_SHADER_STAGE_CREATE_INFO;
    pipelineInfo.stage.stage = VK_SHADER_STAGE_COMPUTE_BIT;
    pipelineInfo.stage.module = module;
    pipelineInfo.stage.pName = "main";
    pipelineInfo.layout = layout;
    const VkResult created =
        context.vk.vkCreateComputePipelines(context.device, VK_NULL_HANDLE, 1, &pipelineInfo, nullptr, pipeline);
    if (created != VK_SUCCESS)
        *pipeline = VK_NULL_HANDLE;
    return created;
}

VkResult createGraphicsPipeline(VulkanContext& context, const GraphicsPipelineSpec& spec, VkPipeline* pipeline)
{
    VkPipelineShaderStageCreateInfo stages[2]{};
    stages[0].sType = stages[1].sType = VK_STRUCTURE_TYPE_PIPELINE_SHADER_STAGE_CREATE_INFO;
    stages[0].stage = VK_SHADER_STAGE_VERTEX_BIT;
    stages[0].module = spec.vertexModule;
    stages[0].pName = "main";
    stages[1].stage = VK_SHADER_STAGE_FRAGMENT_BIT;
    stages[1].module = spec.fragmentModule;
    stages[1].pName = "main";

    VkPipelineVertexInputStateCreateInfo vertexInput{};
    vertexInput.sType = VK_STRUCTURE_TYPE_PIPELINE_VERTEX_INPUT_STATE_CREATE_INFO;
    vertexInput.vertexBindingDescriptionCount = 1;
    vertexInput.pVertexBindingDescriptions = &spec.binding;
    vertexInput.vertexAttributeDescriptionCount = std::uint32_t(spec.attributes.size());
    vertexInput.pVertexAttributeDescriptions = spec.attributes.data();

    VkPipelineInputAssemblyStateCreateInfo assembly{};
    assembly.sType = VK_STRUCTURE_TYPE_PIPELINE_INPUT_ASSEMBLY_STATE_CREATE_INFO;
    assembly.topology = VK_PRIMITIVE_TOPOLOGY_TRIANGLE_LIST;

    VkPipelineViewportStateCreateInfo viewport{};
    viewport.sType = VK_STRUCTURE_TYPE_PIPELINE_VIEWPORT_STATE_CREATE_INFO;
    viewport.viewportCount = 1;
    viewport.scissorCount = 1;

    // No culling: both users want the nearest surface whichever way it faces.
    VkPipelineRasterizationStateCreateInfo raster{};
    raster.sType = VK_STRUCTURE_TYPE_PIPELINE_RASTERIZATION_STATE_CREATE_INFO;
    raster.polygonMode = VK_POLYGON_MODE_FILL;
    raster.cullMode = VK_CULL_MODE_NONE;
    raster.frontFace = VK_FRONT_FACE_COUNTER_CLOCKWISE;
    raster.lineWidth = 1.0f;

    VkPipelineMultisampleStateCreateInfo multisample{};
    multisample.sType = VK_STRUCTURE_TYPE_PIPELINE_MULTISAMPLE_STATE_CREATE_INFO;
    multisample.rasterizationSamples = VK_SAMPLE_COUNT_1_BIT;

    VkPipelineDepthStencilStateCreateInfo depth{};
    depth.sType = VK_STRUCTURE_TYPE_PIPELINE_DEPTH_STENCIL_STATE_CREATE_INFO;
    depth.depthTestEnable = VK_TRUE;
    depth.depthWriteEnable = VK_TRUE;
    depth.depthCompareOp = VK_COMPARE_OP_LESS;

    VkPipelineColorBlendStateCreateInfo blend{};
    blend.sType = VK_STRUCTURE_TYPE_PIPELINE_COLOR_BLEND_STATE_CREATE_INFO;
    blend.attachmentCount = std::uint32_t(spec.blends.size());
    blend.pAttachments = spec.blends.data();

    const VkDynamicState dynamicStates[2] = {VK_DYNAMIC_STATE_VIEWPORT, VK_DYNAMIC_STATE_SCISSOR};
    VkPipelineDynamicStateCreateInfo dynamic{};
    dynamic.sType = VK_STRUCTURE_TYPE_PIPELINE_DYNAMIC_STATE_CREATE_INFO;
    dynamic.dynamicStateCount = 2;
    dynamic.pDynamicStates = dynamicStates;

    VkGraphicsPipelineCreateInfo create{};
    create.sType = VK_STRUCTURE_TYPE_GRAPHICS_PIPELINE_CREATE_INFO;
    create.stageCount = 2;
    create.pStages = stages;
    create.pVertexInputState = &vertexInput;
    create.pInputAssemblyState = &assembly;
    create.pViewportState = &viewport;
    create.pRasterizationState = &raster;
    create.pMultisampleState = &multisample;
    create.pDepthStencilState = &depth;
    create.pColorBlendState = &blend;
    create.pDynamicState = &dynamic;
    create.layout = spec.layout;
    create.renderPass = spec.renderPass;
    create.subpass = 0;
    const VkResult created =
        context.vk.vkCreateGraphicsPipelines(context.device, VK_NULL_HANDLE, 1, &create, nullptr, pipeline);
    if (created != VK_SUCCESS)
        *pipeline = VK_NULL_HANDLE;
    return created;
}

// ---- timestamps

bool readTimestampMs(VulkanContext& context, VkQueryPool queryPool, double* ms)
{
    std::uint64_t ticks[2] = {0, 0};
    if (context.vk.vkGetQueryPoolResults(context.device, queryPool, 0, 2, sizeof(ticks), ticks, sizeof(std::uint64_t),
                                         VK_QUERY_RESULT_64_BIT | VK_QUERY_RESULT_WAIT_BIT) != VK_SUCCESS)
        return false;
    *ms = double(ticks[1] - ticks[0]) * double(context.timestampPeriod) * 1e-6;
    return true;
}

} // namespace qlmr
