#include "gpu/one_shot_compute.h"

#include <chrono>
#include <cstring>
#include <limits>
#include <vector>

namespace qlmr {

namespace {

struct RunBuffer {
    VkBuffer buffer = VK_NULL_HANDLE;
    VkDeviceMemory memory = VK_NULL_HANDLE;
    void* mapped = nullptr;
};

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

    std::vector<RunBuffer> runBuffers;
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
        RunBuffer& target = runBuffers.back();

        VkBufferCreateInfo create{};
        create.sType = VK_STRUCTURE_TYPE_BUFFER_CREATE_INFO;
        create.size = source.bytes;
        create.usage = source.uniform ? VK_BUFFER_USAGE_UNIFORM_BUFFER_BIT : VK_BUFFER_USAGE_STORAGE_BUFFER_BIT;
        create.sharingMode = VK_SHARING_MODE_EXCLUSIVE;
        const VkResult created = vk.vkCreateBuffer(ctx.device, &create, nullptr, &target.buffer);
        if (created != VK_SUCCESS) {
            target.buffer = VK_NULL_HANDLE;
            return check("vkCreateBuffer", created);
        }

        VkMemoryRequirements requirements{};
        vk.vkGetBufferMemoryRequirements(ctx.device, target.buffer, &requirements);
        const std::int32_t type = ctx.findMemoryType(
            requirements.memoryTypeBits, VK_MEMORY_PROPERTY_HOST_VISIBLE_BIT | VK_MEMORY_PROPERTY_HOST_COHERENT_BIT);
        if (type < 0)
            return check("host-visible memory", VK_ERROR_FEATURE_NOT_PRESENT);  // -8

        VkMemoryAllocateInfo allocate{};
        allocate.sType = VK_STRUCTURE_TYPE_MEMORY_ALLOCATE_INFO;
        allocate.allocationSize = requirements.size;
        allocate.memoryTypeIndex = static_cast<std::uint32_t>(type);
        const VkResult allocated = vk.vkAllocateMemory(ctx.device, &allocate, nullptr, &target.memory);
        if (allocated != VK_SUCCESS) {
            target.memory = VK_NULL_HANDLE;
            return check("vkAllocateMemory", allocated);
        }
        result.bufferBytes += requirements.size;
        if (ctx.memoryProperties.memoryTypes[type].propertyFlags & VK_MEMORY_PROPERTY_DEVICE_LOCAL_BIT)
            result.deviceLocalBytes += requirements.size;

        if (!check("vkBindBufferMemory", vk.vkBindBufferMemory(ctx.device, target.buffer, target.memory, 0)))
            return false;
        void* mapped = nullptr;
        const VkResult mapResult = vk.vkMapMemory(ctx.device, target.memory, 0, source.bytes, 0, &mapped);
        if (mapResult != VK_SUCCESS)
            return check("vkMapMemory", mapResult);
        target.mapped = mapped;
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
    VkShaderModuleCreateInfo moduleInfo{};
    moduleInfo.sType = VK_STRUCTURE_TYPE_SHADER_MODULE_CREATE_INFO;
    moduleInfo.codeSize = shader.wordCount * sizeof(std::uint32_t);
    moduleInfo.pCode = shader.words;
    if (!check("vkCreateShaderModule", vk.vkCreateShaderModule(ctx.device, &moduleInfo, nullptr, &module))) {
        module = VK_NULL_HANDLE;
        return false;
    }

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

    VkComputePipelineCreateInfo pipelineInfo{};
    pipelineInfo.sType = VK_STRUCTURE_TYPE_COMPUTE_PIPELINE_CREATE_INFO;
    pipelineInfo.stage.sType = VK_STRUCTURE_TYPE_PIPELINE_SHADER_STAGE_CREATE_INFO;
    pipelineInfo.stage.stage = VK_SHADER_STAGE_COMPUTE_BIT;
    pipelineInfo.stage.module = module;
    pipelineInfo.stage.pName = "main";
    pipelineInfo.layout = pipelineLayout;
    const auto start = std::chrono::steady_clock::now();
    const VkResult created =
        vk.vkCreateComputePipelines(ctx.device, VK_NULL_HANDLE, 1, &pipelineInfo, nullptr, &pipeline);
    const auto end = std::chrono::steady_clock::now();
    result.hostMs = static_cast<double>(std::chrono::duration_cast<std::chrono::nanoseconds>(end - start).count()) / 1e6;
    // The pipeline keeps what it needs of the module, so it goes now,
    // whether the pipeline was created or not.
    vk.vkDestroyShaderModule(ctx.device, module, nullptr);
    module = VK_NULL_HANDLE;
    if (created != VK_SUCCESS) {
        pipeline = VK_NULL_HANDLE;
        return check("vkCreateComputePipelines", created);
    }
    return true;
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
    VkQueryPoolCreateInfo queryInfo{};
    queryInfo.sType = VK_STRUCTURE_TYPE_QUERY_POOL_CREATE_INFO;
    queryInfo.queryType = VK_QUERY_TYPE_TIMESTAMP;
    queryInfo.queryCount = 2;
    if (!check("vkCreateQueryPool", vk.vkCreateQueryPool(ctx.device, &queryInfo, nullptr, &queryPool))) {
        queryPool = VK_NULL_HANDLE;
        return false;
    }

    VkCommandPoolCreateInfo poolInfo{};
    poolInfo.sType = VK_STRUCTURE_TYPE_COMMAND_POOL_CREATE_INFO;
    poolInfo.queueFamilyIndex = ctx.computeQueueFamily;
    if (!check("vkCreateCommandPool", vk.vkCreateCommandPool(ctx.device, &poolInfo, nullptr, &commandPool))) {
        commandPool = VK_NULL_HANDLE;
        return false;
    }

    VkCommandBufferAllocateInfo allocate{};
    allocate.sType = VK_STRUCTURE_TYPE_COMMAND_BUFFER_ALLOCATE_INFO;
    allocate.commandPool = commandPool;
    allocate.level = VK_COMMAND_BUFFER_LEVEL_PRIMARY;
    allocate.commandBufferCount = 1;
    if (!check("vkAllocateCommandBuffers", vk.vkAllocateCommandBuffers(ctx.device, &allocate, &commandBuffer))) {
        commandBuffer = VK_NULL_HANDLE;
        return false;
    }

    VkCommandBufferBeginInfo begin{};
    begin.sType = VK_STRUCTURE_TYPE_COMMAND_BUFFER_BEGIN_INFO;
    begin.flags = VK_COMMAND_BUFFER_USAGE_ONE_TIME_SUBMIT_BIT;
    if (!check("vkBeginCommandBuffer", vk.vkBeginCommandBuffer(commandBuffer, &begin)))
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
    VkFenceCreateInfo fenceInfo{};
    fenceInfo.sType = VK_STRUCTURE_TYPE_FENCE_CREATE_INFO;
    if (!check("vkCreateFence", vk.vkCreateFence(ctx.device, &fenceInfo, nullptr, &fence))) {
        fence = VK_NULL_HANDLE;
        return false;
    }
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
    std::uint64_t ticks[2] = {0, 0};
    const VkResult read = vk.vkGetQueryPoolResults(ctx.device, queryPool, 0, 2, sizeof(ticks), ticks,
                                                   sizeof(std::uint64_t),
                                                   VK_QUERY_RESULT_64_BIT | VK_QUERY_RESULT_WAIT_BIT);
    if (read == VK_SUCCESS)
        result.gpuMs = static_cast<double>(ticks[1] - ticks[0]) * static_cast<double>(ctx.timestampPeriod) * 1e-6;
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
    const VkDevice device = ctx.device;
    if (fence)
        vk.vkDestroyFence(device, fence, nullptr);
    if (commandPool)
        vk.vkDestroyCommandPool(device, commandPool, nullptr);  // frees its command buffer
    if (queryPool)
        vk.vkDestroyQueryPool(device, queryPool, nullptr);
    if (descriptorPool)
        vk.vkDestroyDescriptorPool(device, descriptorPool, nullptr);  // frees its set
    if (pipeline)
        vk.vkDestroyPipeline(device, pipeline, nullptr);
    if (pipelineLayout)
        vk.vkDestroyPipelineLayout(device, pipelineLayout, nullptr);
    if (setLayout)
        vk.vkDestroyDescriptorSetLayout(device, setLayout, nullptr);
    if (module)
        vk.vkDestroyShaderModule(device, module, nullptr);
    for (RunBuffer& buffer : runBuffers) {
        if (buffer.mapped)
            vk.vkUnmapMemory(device, buffer.memory);
        if (buffer.buffer)
            vk.vkDestroyBuffer(device, buffer.buffer, nullptr);
        if (buffer.memory)
            vk.vkFreeMemory(device, buffer.memory, nullptr);
    }
    runBuffers.clear();
    fence = VK_NULL_HANDLE;
    commandPool = VK_NULL_HANDLE;
    commandBuffer = VK_NULL_HANDLE;
    queryPool = VK_NULL_HANDLE;
    descriptorPool = VK_NULL_HANDLE;
    descriptorSet = VK_NULL_HANDLE;
    pipeline = VK_NULL_HANDLE;
    pipelineLayout = VK_NULL_HANDLE;
    setLayout = VK_NULL_HANDLE;
}

} // namespace

ComputeResult runCompute(VulkanContext& context, SpirvCode shader, std::span<const ComputeBuffer> buffers,
                         std::uint32_t groupsX, std::uint32_t groupsY, PushConstants push)
{
    ComputeResult result;
    if (!context.device) {
        result.error = "runCompute needs an opened device";
        return result;
    }
    {
        ComputeRun run(context, result);
        result.ok = run.execute(shader, buffers, groupsX, groupsY, push);
    }
    if (result.ok)
        result.error.clear();
    return result;
}

ComputeResult runComputeOnBuffer(VulkanContext& context, SpirvCode shader, void* data, std::uint64_t bytes,
                                 std::uint32_t groupsX, PushConstants push)
{
    const ComputeBuffer buffer{data, bytes, true, false};
    return runCompute(context, shader, std::span<const ComputeBuffer>(&buffer, 1), groupsX, 1, push);
}

} // namespace qlmr
