#include "gpu/one_shot_compute.h"

#include <array>
#include <chrono>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

namespace qlmr {

namespace {

// Everything one run creates, released in reverse order of creation however
// far the run got.
class ComputeRun {
public:
    ComputeRun(VulkanContext& context, ComputeResult& result) : ctx(context), vk(context.vk), result(result) {}
    ~ComputeRun() { release(); }
    ComputeRun(const ComputeRun&) = delete;
    ComputeRun& operator=(const ComputeRun&) = delete;

    bool execute(SpirvCode shader, std::span<const ComputeBuffer> buffers, std::uint32_t groupsX,
                 std::uint32_t groupsY, PushConstants push);

private:
    bool check(const char* call, VkResult code)
    {
        if (code == VK_SUCCESS)
            return true;
        result.error = vkResultText(call, code);
        return false;
    }
    bool createBuffers(std::span<const ComputeBuffer> buffers, std::vector<VkDescriptorSetLayoutBinding>& bindings);
    bool createPipeline(SpirvCode shader, const std::vector<VkDescriptorSetLayoutBinding>& bindings,
                        PushConstants push);
    bool createDescriptors(std::span<const ComputeBuffer> buffers);
    bool record(std::uint32_t groupsX, std::uint32_t groupsY, PushConstants push);
    bool submitAndWait();
    void readTimestamps();
    void release();

    VulkanContext& ctx;
    const VulkanFunctions& vk;
    ComputeResult& result;

    std::vector<GpuBuffer> runBuffers;
    VkShaderModule module = VK_NULL_HANDLE;
    VkDescriptorSetLayout setLayout = VK_NULL_HANDLE;
    VkPipelineLayout pipelineLayout = VK_NULL_HANDLE;
    VkPipeline pipeline = VK_NULL_HANDLE;
    VkDescriptorPool descriptorPool = VK_NULL_HANDLE;
    VkDescriptorSet descriptorSet = VK_NULL_HANDLE;
    VkQueryPool queryPool = VK_NULL_HANDLE;
    VkCommandPool commandPool = VK_NULL_HANDLE;
    VkCommandBuffer commandBuffer = VK_NULL_HANDLE;
    VkFence fence = VK_NULL_HANDLE;
};

bool ComputeRun::createBuffers(std::span<const ComputeBuffer> buffers,
                               std::vector<VkDescriptorSetLayoutBinding>& bindings)
{
    runBuffers.reserve(buffers.size());
    for (std::size_t i = 0; i < buffers.size(); ++i) {
        const ComputeBuffer& source = buffers[i];
        runBuffers.emplace_back();
        GpuBuffer& target = runBuffers.back();

        GpuBufferSpec spec;
        spec.bytes = source.bytes;
        spec.usage = source.uniform ? VK_BUFFER_USAGE_UNIFORM_BUFFER_BIT : VK_BUFFER_USAGE_STORAGE_BUFFER_BIT;
        spec.mapBytes = source.bytes;
        const bool created = createGpuBuffer(ctx, spec, &target, &result.error);
        // Memory counts once allocated, whether the rest succeeded or not.
        if (target.memory) {
            result.bufferBytes += target.allocationSize;
            if (ctx.memoryProperties.memoryTypes[target.memoryType].propertyFlags & VK_MEMORY_PROPERTY_DEVICE_LOCAL_BIT)
                result.deviceLocalBytes += target.allocationSize;
        }
        if (!created)
            return false;
        if (source.bytes)
            std::memcpy(target.mapped, source.data, source.bytes);

        VkDescriptorSetLayoutBinding binding{};
        binding.binding = static_cast<std::uint32_t>(i);
        binding.descriptorType = source.uniform ? VK_DESCRIPTOR_TYPE_UNIFORM_BUFFER : VK_DESCRIPTOR_TYPE_STORAGE_BUFFER;
        binding.descriptorCount = 1;
        binding.stageFlags = VK_SHADER_STAGE_COMPUTE_BIT;
        bindings.push_back(binding);
    }
    return true;
}

bool ComputeRun::createPipeline(SpirvCode shader, const std::vector<VkDescriptorSetLayoutBinding>& bindings,
                                PushConstants push)
{
    if (!check("vkCreateShaderModule", createShaderModule(ctx, shader, &module)))
        return false;

    VkDescriptorSetLayoutCreateInfo setInfo{};
    setInfo.sType = VK_STRUCTURE_TYPE_DESCRIPTOR_SET_LAYOUT_CREATE_INFO;
    setInfo.bindingCount = static_cast<std::uint32_t>(bindings.size());
    setInfo.pBindings = bindings.empty() ? nullptr : bindings.data();
    if (!check("vkCreateDescriptorSetLayout",
               vk.vkCreateDescriptorSetLayout(ctx.device, &setInfo, nullptr, &setLayout))) {
        setLayout = VK_NULL_HANDLE;
        return false;
    }

    VkPushConstantRange range{};
    range.stageFlags = VK_SHADER_STAGE_COMPUTE_BIT;
    range.offset = 0;
    range.size = push.bytes;
    VkPipelineLayoutCreateInfo layoutInfo{};
    layoutInfo.sType = VK_STRUCTURE_TYPE_PIPELINE_LAYOUT_CREATE_INFO;
    layoutInfo.setLayoutCount = 1;
    layoutInfo.pSetLayouts = &setLayout;
    layoutInfo.pushConstantRangeCount = push.bytes ? 1u : 0u;
    layoutInfo.pPushConstantRanges = push.bytes ? &range : nullptr;
    if (!check("vkCreatePipelineLayout",
               vk.vkCreatePipelineLayout(ctx.device, &layoutInfo, nullptr, &pipelineLayout))) {
        pipelineLayout = VK_NULL_HANDLE;
        return false;
    }

    const auto start = std::chrono::steady_clock::now();
    const VkResult created = createComputePipeline(ctx, module, pipelineLayout, &pipeline);
    const auto end = std::chrono::steady_clock::now();
    result.hostMs = static_cast<double>(std::chrono::duration_cast<std::chrono::nanoseconds>(end - start).count()) / 1e6;
    // The pipeline keeps what it needs of the module, so it goes now,
    // whether the pipeline was created or not.
    vk.vkDestroyShaderModule(ctx.device, module, nullptr);
    module = VK_NULL_HANDLE;
    return check("vkCreateComputePipelines", created);
}

bool ComputeRun::createDescriptors(std::span<const ComputeBuffer> buffers)
{
    std::uint32_t storageCount = 0;
    std::uint32_t uniformCount = 0;
    for (const ComputeBuffer& buffer : buffers)
        ++(buffer.uniform ? uniformCount : storageCount);

    // A pool size may not be 0, so each type gets at least one descriptor.
    VkDescriptorPoolSize sizes[2]{};
    sizes[0].type = VK_DESCRIPTOR_TYPE_STORAGE_BUFFER;
    sizes[0].descriptorCount = storageCount ? storageCount : 1;
    sizes[1].type = VK_DESCRIPTOR_TYPE_UNIFORM_BUFFER;
    sizes[1].descriptorCount = uniformCount ? uniformCount : 1;
    VkDescriptorPoolCreateInfo poolInfo{};
    poolInfo.sType = VK_STRUCTURE_TYPE_DESCRIPTOR_POOL_CREATE_INFO;
    poolInfo.maxSets = 1;
    poolInfo.poolSizeCount = 2;
    poolInfo.pPoolSizes = sizes;
    if (!check("vkCreateDescriptorPool",
               vk.vkCreateDescriptorPool(ctx.device, &poolInfo, nullptr, &descriptorPool))) {
        descriptorPool = VK_NULL_HANDLE;
        return false;
    }

    VkDescriptorSetAllocateInfo allocate{};
    allocate.sType = VK_STRUCTURE_TYPE_DESCRIPTOR_SET_ALLOCATE_INFO;
    allocate.descriptorPool = descriptorPool;
    allocate.descriptorSetCount = 1;
    allocate.pSetLayouts = &setLayout;
    if (!check("vkAllocateDescriptorSets", vk.vkAllocateDescriptorSets(ctx.device, &allocate, &descriptorSet))) {
        descriptorSet = VK_NULL_HANDLE;
        return false;
    }

    std::vector<VkDescriptorBufferInfo> infos(buffers.size());
    std::vector<VkWriteDescriptorSet> writes(buffers.size());
    for (std::size_t i = 0; i < buffers.size(); ++i) {
        infos[i].buffer = runBuffers[i].buffer;
        infos[i].offset = 0;
        infos[i].range = VK_WHOLE_SIZE;
        writes[i].sType = VK_STRUCTURE_TYPE_WRITE_DESCRIPTOR_SET;
        writes[i].dstSet = descriptorSet;
        writes[i].dstBinding = static_cast<std::uint32_t>(i);
        writes[i].dstArrayElement = 0;
        writes[i].descriptorCount = 1;
        writes[i].descriptorType =
            buffers[i].uniform ? VK_DESCRIPTOR_TYPE_UNIFORM_BUFFER : VK_DESCRIPTOR_TYPE_STORAGE_BUFFER;
        writes[i].pBufferInfo = &infos[i];
    }
    if (!writes.empty())
        vk.vkUpdateDescriptorSets(ctx.device, static_cast<std::uint32_t>(writes.size()), writes.data(), 0, nullptr);
    return true;
}

bool ComputeRun::record(std::uint32_t groupsX, std::uint32_t groupsY, PushConstants push)
{
    if (!check("vkCreateQueryPool", createTimestampQueryPool(ctx, &queryPool)) ||
        !check("vkCreateCommandPool", createCommandPool(ctx, 0, &commandPool)))
        return false;

    if (!beginOneTimeCommands(ctx, commandPool, &commandBuffer, &result.error))
        return false;
    vk.vkCmdResetQueryPool(commandBuffer, queryPool, 0, 2);
    vk.vkCmdBindPipeline(commandBuffer, VK_PIPELINE_BIND_POINT_COMPUTE, pipeline);
    vk.vkCmdBindDescriptorSets(commandBuffer, VK_PIPELINE_BIND_POINT_COMPUTE, pipelineLayout, 0, 1, &descriptorSet,
                               0, nullptr);
    if (push.bytes)
        vk.vkCmdPushConstants(commandBuffer, pipelineLayout, VK_SHADER_STAGE_COMPUTE_BIT, 0, push.bytes, push.data);
    vk.vkCmdWriteTimestamp(commandBuffer, VK_PIPELINE_STAGE_TOP_OF_PIPE_BIT, queryPool, 0);
    vk.vkCmdDispatch(commandBuffer, groupsX, groupsY, 1);
    vk.vkCmdWriteTimestamp(commandBuffer, VK_PIPELINE_STAGE_BOTTOM_OF_PIPE_BIT, queryPool, 1);
    // A fence only orders device accesses; this barrier makes the shader's
    // writes visible to the host reads of the read-back copy.
    VkMemoryBarrier toHost{};
    toHost.sType = VK_STRUCTURE_TYPE_MEMORY_BARRIER;
    toHost.srcAccessMask = VK_ACCESS_SHADER_WRITE_BIT;
    toHost.dstAccessMask = VK_ACCESS_HOST_READ_BIT;
    vk.vkCmdPipelineBarrier(commandBuffer, VK_PIPELINE_STAGE_COMPUTE_SHADER_BIT, VK_PIPELINE_STAGE_HOST_BIT, 0, 1,
                            &toHost, 0, nullptr, 0, nullptr);
    return check("vkEndCommandBuffer", vk.vkEndCommandBuffer(commandBuffer));
}

bool ComputeRun::submitAndWait()
{
    if (!check("vkCreateFence", createFence(ctx, &fence)))
        return false;
    VkSubmitInfo submit{};
    submit.sType = VK_STRUCTURE_TYPE_SUBMIT_INFO;
    submit.commandBufferCount = 1;
    submit.pCommandBuffers = &commandBuffer;
    if (!check("vkQueueSubmit", vk.vkQueueSubmit(ctx.computeQueue, 1, &submit, fence)))
        return false;
    return check("vkWaitForFences",
                 vk.vkWaitForFences(ctx.device, 1, &fence, VK_TRUE, std::numeric_limits<std::uint64_t>::max()));
}

void ComputeRun::readTimestamps()
{
    readTimestampMs(ctx, queryPool, &result.gpuMs);
}

bool ComputeRun::execute(SpirvCode shader, std::span<const ComputeBuffer> buffers, std::uint32_t groupsX,
                         std::uint32_t groupsY, PushConstants push)
{
    std::vector<VkDescriptorSetLayoutBinding> bindings;
    if (!createBuffers(buffers, bindings) || !createPipeline(shader, bindings, push) || !createDescriptors(buffers) ||
        !record(groupsX, groupsY, push) || !submitAndWait())
        return false;
    readTimestamps();
    for (std::size_t i = 0; i < buffers.size(); ++i)
        if (buffers[i].readBack && buffers[i].bytes)
            std::memcpy(buffers[i].data, runBuffers[i].mapped, buffers[i].bytes);
    return true;
}

void ComputeRun::release()
{
    destroyHandle(ctx, vk.vkDestroyFence, fence);
    destroyHandle(ctx, vk.vkDestroyCommandPool, commandPool);  // frees its command buffer
    commandBuffer = VK_NULL_HANDLE;
    destroyHandle(ctx, vk.vkDestroyQueryPool, queryPool);
    destroyHandle(ctx, vk.vkDestroyDescriptorPool, descriptorPool);  // frees its set
    descriptorSet = VK_NULL_HANDLE;
    destroyHandle(ctx, vk.vkDestroyPipeline, pipeline);
    destroyHandle(ctx, vk.vkDestroyPipelineLayout, pipelineLayout);
    destroyHandle(ctx, vk.vkDestroyDescriptorSetLayout, setLayout);
    destroyHandle(ctx, vk.vkDestroyShaderModule, module);
    for (GpuBuffer& buffer : runBuffers)
        destroyGpuBuffer(ctx, &buffer);
    runBuffers.clear();
}

} // namespace

std::string pushConstantsError(const VulkanContext& context, PushConstants push)
{
    if (push.bytes == 0)
        return {};
    const std::string what = "push constants of " + std::to_string(push.bytes) + " bytes";
    if (!push.data)
        return what + " have no data";
    if (push.bytes % 4 != 0)
        return what + " are not a multiple of 4 bytes";
    if (push.bytes > context.maxPushConstantsSize)
        return what + " exceed the device limit of " + std::to_string(context.maxPushConstantsSize) + " bytes";
    return {};
}

ComputeResult runCompute(VulkanContext& context, SpirvCode shader, std::span<const ComputeBuffer> buffers,
                         std::uint32_t groupsX, std::uint32_t groupsY, PushConstants push)
{
    ComputeResult result;
    if (!context.device) {
        result.error = "runCompute needs an opened device";
        return result;
    }
    const std::array<std::uint32_t, 3>& limit = context.maxComputeWorkGroupCount;
    if (groupsX > limit[0] || groupsY > limit[1]) {
        result.error = "dispatch of " + std::to_string(groupsX) + " x " + std::to_string(groupsY) +
            " workgroups exceeds the device limit of " + std::to_string(limit[0]) + " x " +
            std::to_string(limit[1]);
        return result;
    }
    // Each buffer is bound whole; a binding past the device's range is
    // undefined behaviour, and Vulkan has no buffer of 0 bytes (drivers
    // crash on one), so such a run never starts.
    for (std::size_t i = 0; i < buffers.size(); ++i) {
        const ComputeBuffer& buffer = buffers[i];
        const std::string name = std::string(buffer.uniform ? "uniform" : "storage") + " buffer " + std::to_string(i);
        if (buffer.bytes == 0) {
            result.error = name + " is empty";
            return result;
        }
        // Its bytes are copied in before the run (and out after it).
        if (!buffer.data) {
            result.error = name + " has no data";
            return result;
        }
        result.error = bufferBindingError(context, name, buffer.bytes, buffer.uniform);
        if (!result.error.empty())
            return result;
    }
    // The pushed bytes are copied from push.data into a block the pipeline
    // layout declares: Vulkan takes only whole words, up to the device's
    // limit, and a driver copies whatever size it is told.
    result.error = pushConstantsError(context, push);
    if (!result.error.empty())
        return result;
    {
        ComputeRun run(context, result);
        result.ok = run.execute(shader, buffers, groupsX, groupsY, push);
    }
    if (result.ok)
        result.error.clear();
    return result;
}

ComputeResult runComputeOnBuffer(VulkanContext& context, SpirvCode shader, void* data, std::uint64_t bytes,
                                 DispatchGrid groups, PushConstants push)
{
    const ComputeBuffer buffer{data, bytes, true, false};
    return runCompute(context, shader, std::span<const ComputeBuffer>(&buffer, 1), groups.x, groups.y, push);
}

ComputeResult runComputeOnBuffer(VulkanContext& context, SpirvCode shader, void* data, std::uint64_t bytes,
                                 std::uint32_t groupsX, PushConstants push)
{
    return runComputeOnBuffer(context, shader, data, bytes, DispatchGrid{groupsX, 1}, push);
}

} // namespace qlmr
