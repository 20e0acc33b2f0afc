#include "gpu/mesh_rasterizer.h"

#include "gpu/embedded_shaders.h"
#include "gpu/gpu_frame_packing.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>

namespace qlmr {

namespace {

constexpr std::uint64_t kNoTimeout = std::numeric_limits<std::uint64_t>::max();
constexpr VkFormat kColorFormat = VK_FORMAT_R16G16B16A16_SFLOAT;
constexpr VkFormat kDepthValueFormat = VK_FORMAT_R32_SFLOAT;
constexpr VkFormat kDepthBufferFormat = VK_FORMAT_D32_SFLOAT;

std::uint32_t packColor(const std::array<float, 4>& rgba)
{
    std::uint32_t packed = 0;
    for (int c = 0; c < 4; ++c) {
        const float v = std::clamp(rgba[c], 0.0f, 1.0f);
        packed |= std::uint32_t(std::lround(v * 255.0f)) << (8 * c);
    }
    return packed;
}

} // namespace

// ---- host side

FieldMesh buildFieldMesh(const Scene& scene, std::uint32_t lod)
{
    FieldMesh mesh;
    std::size_t vertexTotal = 0, indexTotal = 0;
    for (const Prism& prism : scene.prisms) {
        if (prism.fieldIndex >= scene.fields.size())
            continue;
        const DisplacementField& field = scene.fields[prism.fieldIndex];
        const std::uint32_t level = std::min(field.levels - 1, lod);
        const std::size_t w = field.levelWidth(level), h = field.levelHeight(level);
        vertexTotal += (w + 1) * (h + 1);
        indexTotal += w * h * 6;
    }
    mesh.vertices.reserve(vertexTotal);
    mesh.indices.reserve(indexTotal);
    for (const Prism& prism : scene.prisms) {
        if (prism.fieldIndex >= scene.fields.size())
            continue;
        const DisplacementField& field = scene.fields[prism.fieldIndex];
        const std::uint32_t level = std::min(field.levels - 1, lod);
        const std::uint32_t w = field.levelWidth(level), h = field.levelHeight(level);
        // The albedo level whose texels are about as large as this level's cells.
        float albedoLod = 0.0f;
        if (field.albedoWidth != 0)
            albedoLod = std::max(0.0f, float(level) + std::log2(float(field.albedoWidth) / float(field.width)));
        const std::uint32_t first = std::uint32_t(mesh.vertices.size());
        auto heightAt = [&](std::int32_t x, std::int32_t y) { return field.texelHeight(level, x, y); };
        for (std::uint32_t y = 0; y <= h; ++y) {
            for (std::uint32_t x = 0; x <= w; ++x) {
                const float u = float(x) / float(w), v = float(y) / float(h);
                const float height = heightAt(std::int32_t(x), std::int32_t(y));
                const Vec3 world = prism.origin + prism.axisU * u + prism.axisV * v + prism.axisH * height;
                // Central differences as slopes per unit of u and v.
                const float du = (heightAt(std::int32_t(x) + 1, std::int32_t(y)) -
                                  heightAt(std::int32_t(x) - 1, std::int32_t(y))) * 0.5f * float(w);
                const float dv = (heightAt(std::int32_t(x), std::int32_t(y) + 1) -
                                  heightAt(std::int32_t(x), std::int32_t(y) - 1)) * 0.5f * float(h);
                const Vec3 normal = normalizeSafe(prism.normalM[0] * -du + prism.normalM[1] * -dv + prism.normalM[2]);
                MeshVertex vertex{};
                vertex.position[0] = world.x;
                vertex.position[1] = world.y;
                vertex.position[2] = world.z;
                vertex.normal[0] = normal.x;
                vertex.normal[1] = normal.y;
                vertex.normal[2] = normal.z;
                vertex.color = packColor(field.sampleAlbedo(u, v, albedoLod));
                mesh.vertices.push_back(vertex);
            }
        }
        const std::uint32_t stride = w + 1;
        for (std::uint32_t y = 0; y < h; ++y) {
            for (std::uint32_t x = 0; x < w; ++x) {
                const std::uint32_t i00 = first + y * stride + x;
                const std::uint32_t i10 = i00 + 1, i01 = i00 + stride, i11 = i01 + 1;
                mesh.indices.insert(mesh.indices.end(), {i00, i10, i11, i00, i11, i01});
            }
        }
    }
    return mesh;
}

std::array<float, 16> rasterViewProjection(const Camera& camera)
{
    const float t = camera.tanHalfFov, a = camera.aspect;
    const Vec3 p = camera.position, r = camera.right, u = camera.up, f = camera.forward;
    const float ta = t * a;
    return {r.x / ta,    r.y / ta,    r.z / ta,    -dot(r, p) / ta,
            -u.x / t,    -u.y / t,    -u.z / t,    dot(u, p) / t,
            f.x * 1.000005f, f.y * 1.000005f, f.z * 1.000005f, -0.05000025f - dot(f, p) * 1.000005f,
            f.x,         f.y,         f.z,         -dot(f, p)};
}

float halfToFloatFlush(std::uint16_t half)
{
    if ((half & 0x7C00u) == 0) {
        float zero = 0.0f;
        return (half & 0x8000u) ? -zero : zero;
    }
    return halfToFloat(half);
}

// ---- Vulkan objects

MeshRasterizer::~MeshRasterizer()
{
    if (!context || !context->device)
        return;
    const VulkanFunctions& vk = context->vk;
    const VkDevice device = context->device;
    // Every submission was waited for on the fence: nothing is in flight.
    destroyTargets();
    destroyBuffer(&vertexBuffer);
    destroyBuffer(&indexBuffer);
    if (pipeline)
        vk.vkDestroyPipeline(device, pipeline, nullptr);
    if (pipelineLayout)
        vk.vkDestroyPipelineLayout(device, pipelineLayout, nullptr);
    if (vertexModule)
        vk.vkDestroyShaderModule(device, vertexModule, nullptr);
    if (fragmentModule)
        vk.vkDestroyShaderModule(device, fragmentModule, nullptr);
    if (renderPass)
        vk.vkDestroyRenderPass(device, renderPass, nullptr);
    if (queryPool)
        vk.vkDestroyQueryPool(device, queryPool, nullptr);
    if (fence)
        vk.vkDestroyFence(device, fence, nullptr);
    if (commandPool)
        vk.vkDestroyCommandPool(device, commandPool, nullptr);
}

bool MeshRasterizer::createBuffer(Buffer* buffer, std::uint64_t bytes, VkBufferUsageFlags usage, bool hostVisible)
{
    const VulkanFunctions& vk = context->vk;
    const VkDevice device = context->device;
    *buffer = Buffer{};
    VkBufferCreateInfo create{};
    create.sType = VK_STRUCTURE_TYPE_BUFFER_CREATE_INFO;
    create.size = std::max<std::uint64_t>(bytes, 16);
    create.usage = usage;
    create.sharingMode = VK_SHARING_MODE_EXCLUSIVE;
    if (vk.vkCreateBuffer(device, &create, nullptr, &buffer->buffer) != VK_SUCCESS) {
        buffer->buffer = VK_NULL_HANDLE;
        return false;
    }
    VkMemoryRequirements requirements{};
    vk.vkGetBufferMemoryRequirements(device, buffer->buffer, &requirements);
    const std::uint32_t wanted = hostVisible
        ? VK_MEMORY_PROPERTY_HOST_VISIBLE_BIT | VK_MEMORY_PROPERTY_HOST_COHERENT_BIT
        : VK_MEMORY_PROPERTY_DEVICE_LOCAL_BIT;
    const std::int32_t type = context->findMemoryType(requirements.memoryTypeBits, wanted);
    VkMemoryAllocateInfo allocate{};
    allocate.sType = VK_STRUCTURE_TYPE_MEMORY_ALLOCATE_INFO;
    allocate.allocationSize = requirements.size;
    allocate.memoryTypeIndex = std::uint32_t(type);
    if (type < 0 || vk.vkAllocateMemory(device, &allocate, nullptr, &buffer->memory) != VK_SUCCESS) {
        buffer->memory = VK_NULL_HANDLE;
        destroyBuffer(buffer);
        return false;
    }
    if (vk.vkBindBufferMemory(device, buffer->buffer, buffer->memory, 0) != VK_SUCCESS) {
        destroyBuffer(buffer);
        return false;
    }
    if (hostVisible && vk.vkMapMemory(device, buffer->memory, 0, VK_WHOLE_SIZE, 0, &buffer->mapped) != VK_SUCCESS) {
        buffer->mapped = nullptr;
        destroyBuffer(buffer);
        return false;
    }
    return true;
}

void MeshRasterizer::destroyBuffer(Buffer* buffer)
{
    const VulkanFunctions& vk = context->vk;
    if (buffer->mapped)
        vk.vkUnmapMemory(context->device, buffer->memory);
    if (buffer->buffer)
        vk.vkDestroyBuffer(context->device, buffer->buffer, nullptr);
    if (buffer->memory)
        vk.vkFreeMemory(context->device, buffer->memory, nullptr);
    *buffer = Buffer{};
}

bool MeshRasterizer::createImage(Image* image, VkFormat format, std::uint32_t width, std::uint32_t height,
                                 VkImageUsageFlags usage, VkImageAspectFlags aspect)
{
    const VulkanFunctions& vk = context->vk;
    const VkDevice device = context->device;
    *image = Image{};
    VkImageCreateInfo create{};
    create.sType = VK_STRUCTURE_TYPE_IMAGE_CREATE_INFO;
    create.imageType = VK_IMAGE_TYPE_2D;
    create.format = format;
    create.extent = {width, height, 1};
    create.mipLevels = 1;
    create.arrayLayers = 1;
    create.samples = VK_SAMPLE_COUNT_1_BIT;
    create.tiling = VK_IMAGE_TILING_OPTIMAL;
    create.usage = usage;
    create.sharingMode = VK_SHARING_MODE_EXCLUSIVE;
    create.initialLayout = VK_IMAGE_LAYOUT_UNDEFINED;
    if (vk.vkCreateImage(device, &create, nullptr, &image->image) != VK_SUCCESS) {
        image->image = VK_NULL_HANDLE;
        return false;
    }
    VkMemoryRequirements requirements{};
    vk.vkGetImageMemoryRequirements(device, image->image, &requirements);
    const std::int32_t type =
        context->findMemoryType(requirements.memoryTypeBits, VK_MEMORY_PROPERTY_DEVICE_LOCAL_BIT);
    VkMemoryAllocateInfo allocate{};
    allocate.sType = VK_STRUCTURE_TYPE_MEMORY_ALLOCATE_INFO;
    allocate.allocationSize = requirements.size;
    allocate.memoryTypeIndex = std::uint32_t(type);
    if (type < 0 || vk.vkAllocateMemory(device, &allocate, nullptr, &image->memory) != VK_SUCCESS) {
        image->memory = VK_NULL_HANDLE;
        destroyImage(image);
        return false;
    }
    if (vk.vkBindImageMemory(device, image->image, image->memory, 0) != VK_SUCCESS) {
        destroyImage(image);
        return false;
    }
    VkImageViewCreateInfo view{};
    view.sType = VK_STRUCTURE_TYPE_IMAGE_VIEW_CREATE_INFO;
    view.image = image->image;
    view.viewType = VK_IMAGE_VIEW_TYPE_2D;
    view.format = format;
    view.subresourceRange = {aspect, 0, 1, 0, 1};
    if (vk.vkCreateImageView(device, &view, nullptr, &image->view) != VK_SUCCESS) {
        image->view = VK_NULL_HANDLE;
        destroyImage(image);
        return false;
    }
    return true;
}

void MeshRasterizer::destroyImage(Image* image)
{
    const VulkanFunctions& vk = context->vk;
    if (image->view)
        vk.vkDestroyImageView(context->device, image->view, nullptr);
    if (image->image)
        vk.vkDestroyImage(context->device, image->image, nullptr);
    if (image->memory)
        vk.vkFreeMemory(context->device, image->memory, nullptr);
    *image = Image{};
}

bool MeshRasterizer::uploadMesh(Buffer* destination, const void* data, std::uint64_t bytes, VkBufferUsageFlags usage)
{
    const VulkanFunctions& vk = context->vk;
    const VkDevice device = context->device;
    if (!createBuffer(destination, bytes, usage | VK_BUFFER_USAGE_TRANSFER_DST_BIT, false))
        return false;
    Buffer staging;
    if (!createBuffer(&staging, bytes, VK_BUFFER_USAGE_TRANSFER_SRC_BIT, true))
        return false;
    if (bytes != 0)
        std::memcpy(staging.mapped, data, bytes);

    VkCommandBufferAllocateInfo allocate{};
    allocate.sType = VK_STRUCTURE_TYPE_COMMAND_BUFFER_ALLOCATE_INFO;
    allocate.commandPool = commandPool;
    allocate.level = VK_COMMAND_BUFFER_LEVEL_PRIMARY;
    allocate.commandBufferCount = 1;
    VkCommandBuffer commandBuffer = VK_NULL_HANDLE;
    bool ok = vk.vkAllocateCommandBuffers(device, &allocate, &commandBuffer) == VK_SUCCESS;
    if (ok) {
        VkCommandBufferBeginInfo begin{};
        begin.sType = VK_STRUCTURE_TYPE_COMMAND_BUFFER_BEGIN_INFO;
        begin.flags = VK_COMMAND_BUFFER_USAGE_ONE_TIME_SUBMIT_BIT;
        vk.vkBeginCommandBuffer(commandBuffer, &begin);
        VkBufferCopy region{0, 0, std::max<std::uint64_t>(bytes, 16)};
        vk.vkCmdCopyBuffer(commandBuffer, staging.buffer, destination->buffer, 1, &region);
        vk.vkEndCommandBuffer(commandBuffer);
        vk.vkResetFences(device, 1, &fence);
        VkSubmitInfo submit{};
        submit.sType = VK_STRUCTURE_TYPE_SUBMIT_INFO;
        submit.commandBufferCount = 1;
        submit.pCommandBuffers = &commandBuffer;
        ok = vk.vkQueueSubmit(context->computeQueue, 1, &submit, fence) == VK_SUCCESS &&
             vk.vkWaitForFences(device, 1, &fence, VK_TRUE, kNoTimeout) == VK_SUCCESS;
        vk.vkFreeCommandBuffers(device, commandPool, 1, &commandBuffer);
    }
    destroyBuffer(&staging);
    return ok;
}

bool MeshRasterizer::createRenderPass()
{
    VkAttachmentDescription attachments[4]{};
    const VkFormat formats[3] = {kColorFormat, kColorFormat, kDepthValueFormat};
    for (int i = 0; i < 3; ++i) {
        attachments[i].format = formats[i];
        attachments[i].samples = VK_SAMPLE_COUNT_1_BIT;
        attachments[i].loadOp = VK_ATTACHMENT_LOAD_OP_CLEAR;
        attachments[i].storeOp = VK_ATTACHMENT_STORE_OP_STORE;
        attachments[i].stencilLoadOp = VK_ATTACHMENT_LOAD_OP_DONT_CARE;
        attachments[i].stencilStoreOp = VK_ATTACHMENT_STORE_OP_DONT_CARE;
        attachments[i].initialLayout = VK_IMAGE_LAYOUT_UNDEFINED;
        // Left ready for the copies into the read-back buffers.
        attachments[i].finalLayout = VK_IMAGE_LAYOUT_TRANSFER_SRC_OPTIMAL;
    }
    attachments[3].format = kDepthBufferFormat;
    attachments[3].samples = VK_SAMPLE_COUNT_1_BIT;
    attachments[3].loadOp = VK_ATTACHMENT_LOAD_OP_CLEAR;
    attachments[3].storeOp = VK_ATTACHMENT_STORE_OP_DONT_CARE;
    attachments[3].stencilLoadOp = VK_ATTACHMENT_LOAD_OP_DONT_CARE;
    attachments[3].stencilStoreOp = VK_ATTACHMENT_STORE_OP_DONT_CARE;
    attachments[3].initialLayout = VK_IMAGE_LAYOUT_UNDEFINED;
    attachments[3].finalLayout = VK_IMAGE_LAYOUT_DEPTH_STENCIL_ATTACHMENT_OPTIMAL;

    const VkAttachmentReference colorRefs[3] = {{0, VK_IMAGE_LAYOUT_COLOR_ATTACHMENT_OPTIMAL},
                                                {1, VK_IMAGE_LAYOUT_COLOR_ATTACHMENT_OPTIMAL},
                                                {2, VK_IMAGE_LAYOUT_COLOR_ATTACHMENT_OPTIMAL}};
    const VkAttachmentReference depthRef{3, VK_IMAGE_LAYOUT_DEPTH_STENCIL_ATTACHMENT_OPTIMAL};
    VkSubpassDescription subpass{};
    subpass.pipelineBindPoint = VK_PIPELINE_BIND_POINT_GRAPHICS;
    subpass.colorAttachmentCount = 3;
    subpass.pColorAttachments = colorRefs;
    subpass.pDepthStencilAttachment = &depthRef;

    // The copies after the pass read what the subpass wrote.
    VkSubpassDependency dependency{};
    dependency.srcSubpass = 0;
    dependency.dstSubpass = VK_SUBPASS_EXTERNAL;
    dependency.srcStageMask = VK_PIPELINE_STAGE_COLOR_ATTACHMENT_OUTPUT_BIT;
    dependency.dstStageMask = VK_PIPELINE_STAGE_TRANSFER_BIT;
    dependency.srcAccessMask = VK_ACCESS_COLOR_ATTACHMENT_WRITE_BIT;
    dependency.dstAccessMask = VK_ACCESS_TRANSFER_READ_BIT;

    VkRenderPassCreateInfo create{};
    create.sType = VK_STRUCTURE_TYPE_RENDER_PASS_CREATE_INFO;
    create.attachmentCount = 4;
    create.pAttachments = attachments;
    create.subpassCount = 1;
    create.pSubpasses = &subpass;
    create.dependencyCount = 1;
    create.pDependencies = &dependency;
    if (context->vk.vkCreateRenderPass(context->device, &create, nullptr, &renderPass) != VK_SUCCESS) {
        renderPass = VK_NULL_HANDLE;
        return false;
    }
    return true;
}

bool MeshRasterizer::createPipeline()
{
    const VulkanFunctions& vk = context->vk;
    const VkDevice device = context->device;

    VkPushConstantRange range{};
    range.stageFlags = VK_SHADER_STAGE_VERTEX_BIT | VK_SHADER_STAGE_FRAGMENT_BIT;
    range.size = sizeof(MeshPush);
    VkPipelineLayoutCreateInfo layoutInfo{};
    layoutInfo.sType = VK_STRUCTURE_TYPE_PIPELINE_LAYOUT_CREATE_INFO;
    layoutInfo.pushConstantRangeCount = 1;
    layoutInfo.pPushConstantRanges = &range;
    if (vk.vkCreatePipelineLayout(device, &layoutInfo, nullptr, &pipelineLayout) != VK_SUCCESS) {
        pipelineLayout = VK_NULL_HANDLE;
        return false;
    }

    const SpirvCode codes[2] = {meshVertexShader(), meshFragmentShader()};
    VkShaderModule* modules[2] = {&vertexModule, &fragmentModule};
    for (int i = 0; i < 2; ++i) {
        VkShaderModuleCreateInfo moduleInfo{};
        moduleInfo.sType = VK_STRUCTURE_TYPE_SHADER_MODULE_CREATE_INFO;
        moduleInfo.codeSize = codes[i].wordCount * 4;
        moduleInfo.pCode = codes[i].words;
        if (vk.vkCreateShaderModule(device, &moduleInfo, nullptr, modules[i]) != VK_SUCCESS) {
            *modules[i] = VK_NULL_HANDLE;
            return false;
        }
    }
    VkPipelineShaderStageCreateInfo stages[2]{};
    stages[0].sType = stages[1].sType = VK_STRUCTURE_TYPE_PIPELINE_SHADER_STAGE_CREATE_INFO;
    stages[0].stage = VK_SHADER_STAGE_VERTEX_BIT;
    stages[0].module = vertexModule;
    stages[0].pName = "main";
    stages[1].stage = VK_SHADER_STAGE_FRAGMENT_BIT;
    stages[1].module = fragmentModule;
    stages[1].pName = "main";

    const VkVertexInputBindingDescription binding{0, sizeof(MeshVertex), VK_VERTEX_INPUT_RATE_VERTEX};
    const VkVertexInputAttributeDescription attributes[3] = {
        {0, 0, VK_FORMAT_R32G32B32_SFLOAT, 0},
        {1, 0, VK_FORMAT_R32G32B32_SFLOAT, 12},
        {2, 0, VK_FORMAT_R8G8B8A8_UNORM, 24}};
    VkPipelineVertexInputStateCreateInfo vertexInput{};
    vertexInput.sType = VK_STRUCTURE_TYPE_PIPELINE_VERTEX_INPUT_STATE_CREATE_INFO;
    vertexInput.vertexBindingDescriptionCount = 1;
    vertexInput.pVertexBindingDescriptions = &binding;
    vertexInput.vertexAttributeDescriptionCount = 3;
    vertexInput.pVertexAttributeDescriptions = attributes;

    VkPipelineInputAssemblyStateCreateInfo assembly{};
    assembly.sType = VK_STRUCTURE_TYPE_PIPELINE_INPUT_ASSEMBLY_STATE_CREATE_INFO;
    assembly.topology = VK_PRIMITIVE_TOPOLOGY_TRIANGLE_LIST;

    VkPipelineViewportStateCreateInfo viewport{};
    viewport.sType = VK_STRUCTURE_TYPE_PIPELINE_VIEWPORT_STATE_CREATE_INFO;
    viewport.viewportCount = 1;
    viewport.scissorCount = 1;

    // No culling: a field seen from below is drawn too, and the fragment
    // shader turns its normal towards the camera.
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

    VkPipelineColorBlendAttachmentState blends[3]{};
    for (int i = 0; i < 3; ++i)
        blends[i].colorWriteMask = VK_COLOR_COMPONENT_R_BIT | VK_COLOR_COMPONENT_G_BIT | VK_COLOR_COMPONENT_B_BIT |
                                   VK_COLOR_COMPONENT_A_BIT;
    VkPipelineColorBlendStateCreateInfo blend{};
    blend.sType = VK_STRUCTURE_TYPE_PIPELINE_COLOR_BLEND_STATE_CREATE_INFO;
    blend.attachmentCount = 3;
    blend.pAttachments = blends;

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
    create.layout = pipelineLayout;
    create.renderPass = renderPass;
    create.subpass = 0;
    if (vk.vkCreateGraphicsPipelines(device, VK_NULL_HANDLE, 1, &create, nullptr, &pipeline) != VK_SUCCESS) {
        pipeline = VK_NULL_HANDLE;
        return false;
    }
    return true;
}

bool MeshRasterizer::init(VulkanContext& ctx, const Scene& scene, std::uint32_t lod, std::string* error)
{
    context = &ctx;
    const VulkanFunctions& vk = ctx.vk;
    const VkDevice device = ctx.device;
    auto fail = [&](std::string message) {
        if (error)
            *error = std::move(message);
        return false;
    };

    VkCommandPoolCreateInfo poolInfo{};
    poolInfo.sType = VK_STRUCTURE_TYPE_COMMAND_POOL_CREATE_INFO;
    poolInfo.flags = VK_COMMAND_POOL_CREATE_RESET_COMMAND_BUFFER_BIT;
    poolInfo.queueFamilyIndex = ctx.computeQueueFamily;
    vk.vkCreateCommandPool(device, &poolInfo, nullptr, &commandPool);
    VkFenceCreateInfo fenceInfo{};
    fenceInfo.sType = VK_STRUCTURE_TYPE_FENCE_CREATE_INFO;
    vk.vkCreateFence(device, &fenceInfo, nullptr, &fence);
    VkQueryPoolCreateInfo queryInfo{};
    queryInfo.sType = VK_STRUCTURE_TYPE_QUERY_POOL_CREATE_INFO;
    queryInfo.queryType = VK_QUERY_TYPE_TIMESTAMP;
    queryInfo.queryCount = 2;
    vk.vkCreateQueryPool(device, &queryInfo, nullptr, &queryPool);

    {
        const FieldMesh mesh = buildFieldMesh(scene, lod);
        vertices = mesh.vertices.size();
        indices = mesh.indices.size();
        const std::uint64_t vertexBytes = vertices * sizeof(MeshVertex), indexBytes = indices * 4;
        if (!uploadMesh(&vertexBuffer, mesh.vertices.data(), vertexBytes, VK_BUFFER_USAGE_VERTEX_BUFFER_BIT) ||
            !uploadMesh(&indexBuffer, mesh.indices.data(), indexBytes, VK_BUFFER_USAGE_INDEX_BUFFER_BIT))
            return fail("mesh upload (" + std::to_string((vertexBytes + indexBytes) >> 20) + " MB)");
    }
    if (!createRenderPass())
        return fail("render pass");
    if (!createPipeline())
        return fail("graphics pipeline");
    return true;
}

bool MeshRasterizer::ensureTargets(std::uint32_t width, std::uint32_t height)
{
    if (targets.framebuffer && targets.width == width && targets.height == height)
        return true;
    destroyTargets();
    const VkImageUsageFlags attachmentUsage = VK_IMAGE_USAGE_COLOR_ATTACHMENT_BIT | VK_IMAGE_USAGE_TRANSFER_SRC_BIT;
    const std::uint64_t pixels = std::uint64_t(width) * height;
    if (!createImage(&targets.color, kColorFormat, width, height, attachmentUsage, VK_IMAGE_ASPECT_COLOR_BIT) ||
        !createImage(&targets.normal, kColorFormat, width, height, attachmentUsage, VK_IMAGE_ASPECT_COLOR_BIT) ||
        !createImage(&targets.depthValue, kDepthValueFormat, width, height, attachmentUsage,
                     VK_IMAGE_ASPECT_COLOR_BIT) ||
        !createImage(&targets.depthBuffer, kDepthBufferFormat, width, height,
                     VK_IMAGE_USAGE_DEPTH_STENCIL_ATTACHMENT_BIT, VK_IMAGE_ASPECT_DEPTH_BIT) ||
        !createBuffer(&targets.colorReadback, pixels * 8, VK_BUFFER_USAGE_TRANSFER_DST_BIT, true) ||
        !createBuffer(&targets.normalReadback, pixels * 8, VK_BUFFER_USAGE_TRANSFER_DST_BIT, true) ||
        !createBuffer(&targets.depthReadback, pixels * 4, VK_BUFFER_USAGE_TRANSFER_DST_BIT, true)) {
        destroyTargets();
        return false;
    }
    const VkImageView views[4] = {targets.color.view, targets.normal.view, targets.depthValue.view,
                                  targets.depthBuffer.view};
    VkFramebufferCreateInfo create{};
    create.sType = VK_STRUCTURE_TYPE_FRAMEBUFFER_CREATE_INFO;
    create.renderPass = renderPass;
    create.attachmentCount = 4;
    create.pAttachments = views;
    create.width = width;
    create.height = height;
    create.layers = 1;
    if (context->vk.vkCreateFramebuffer(context->device, &create, nullptr, &targets.framebuffer) != VK_SUCCESS) {
        targets.framebuffer = VK_NULL_HANDLE;
        destroyTargets();
        return false;
    }
    targets.width = width;
    targets.height = height;
    return true;
}

void MeshRasterizer::destroyTargets()
{
    if (targets.framebuffer)
        context->vk.vkDestroyFramebuffer(context->device, targets.framebuffer, nullptr);
    for (Image* image : {&targets.color, &targets.normal, &targets.depthValue, &targets.depthBuffer})
        destroyImage(image);
    for (Buffer* buffer : {&targets.colorReadback, &targets.normalReadback, &targets.depthReadback})
        destroyBuffer(buffer);
    targets = FrameTargets{};
}

GpuFrame MeshRasterizer::render(const Camera& camera, const RenderSettings& settings)
{
    GpuFrame frame;
    frame.ok = true;
    frame.width = camera.width;
    frame.height = camera.height;
    const std::uint32_t width = camera.width, height = camera.height;
    auto fail = [&](const char* message) {
        frame.ok = false;
        frame.error = message;
        return frame;
    };
    if (!pipeline || !ensureTargets(width, height))
        return fail("frame resources");

    const VulkanFunctions& vk = context->vk;
    const VkDevice device = context->device;
    VkCommandBufferAllocateInfo allocate{};
    allocate.sType = VK_STRUCTURE_TYPE_COMMAND_BUFFER_ALLOCATE_INFO;
    allocate.commandPool = commandPool;
    allocate.level = VK_COMMAND_BUFFER_LEVEL_PRIMARY;
    allocate.commandBufferCount = 1;
    VkCommandBuffer cmd = VK_NULL_HANDLE;
    if (vk.vkAllocateCommandBuffers(device, &allocate, &cmd) != VK_SUCCESS)
        return fail("submit");
    VkCommandBufferBeginInfo begin{};
    begin.sType = VK_STRUCTURE_TYPE_COMMAND_BUFFER_BEGIN_INFO;
    begin.flags = VK_COMMAND_BUFFER_USAGE_ONE_TIME_SUBMIT_BIT;
    vk.vkBeginCommandBuffer(cmd, &begin);
    vk.vkCmdResetQueryPool(cmd, queryPool, 0, 2);
    vk.vkCmdWriteTimestamp(cmd, VK_PIPELINE_STAGE_TOP_OF_PIPE_BIT, queryPool, 0);

    VkClearValue clears[4]{};
    clears[0].color = {{settings.skyHorizon.x, settings.skyHorizon.y, settings.skyHorizon.z, 1.0f}};
    clears[1].color = {{0.0f, 0.0f, 0.0f, 0.0f}};
    clears[2].color = {{std::numeric_limits<float>::infinity(), 0.0f, 0.0f, 0.0f}};
    clears[3].depthStencil = {1.0f, 0};
    VkRenderPassBeginInfo pass{};
    pass.sType = VK_STRUCTURE_TYPE_RENDER_PASS_BEGIN_INFO;
    pass.renderPass = renderPass;
    pass.framebuffer = targets.framebuffer;
    pass.renderArea = {{0, 0}, {width, height}};
    pass.clearValueCount = 4;
    pass.pClearValues = clears;
    vk.vkCmdBeginRenderPass(cmd, &pass, VK_SUBPASS_CONTENTS_INLINE);
    vk.vkCmdBindPipeline(cmd, VK_PIPELINE_BIND_POINT_GRAPHICS, pipeline);
    const VkViewport viewport{0.0f, 0.0f, float(width), float(height), 0.0f, 1.0f};
    const VkRect2D scissor{{0, 0}, {width, height}};
    vk.vkCmdSetViewport(cmd, 0, 1, &viewport);
    vk.vkCmdSetScissor(cmd, 0, 1, &scissor);

    MeshPush push{};
    const std::array<float, 16> viewProj = rasterViewProjection(camera);
    std::copy(viewProj.begin(), viewProj.end(), push.viewProj);
    const Vec3 p = camera.position;
    const float camPos[4] = {p.x, p.y, p.z, 0.0f};
    const float sunDir[4] = {settings.sunDir.x, settings.sunDir.y, settings.sunDir.z, settings.fogDensity};
    const float sunColor[4] = {settings.sunColor.x, settings.sunColor.y, settings.sunColor.z, 0.0f};
    std::copy(camPos, camPos + 4, push.camPos);
    std::copy(sunDir, sunDir + 4, push.sunDir);
    std::copy(sunColor, sunColor + 4, push.sunColor);
    vk.vkCmdPushConstants(cmd, pipelineLayout, VK_SHADER_STAGE_VERTEX_BIT | VK_SHADER_STAGE_FRAGMENT_BIT, 0,
                          sizeof(push), &push);

    const VkDeviceSize offset = 0;
    vk.vkCmdBindVertexBuffers(cmd, 0, 1, &vertexBuffer.buffer, &offset);
    vk.vkCmdBindIndexBuffer(cmd, indexBuffer.buffer, 0, VK_INDEX_TYPE_UINT32);
    if (indices != 0)
        vk.vkCmdDrawIndexed(cmd, std::uint32_t(indices), 1, 0, 0, 0);
    vk.vkCmdEndRenderPass(cmd);
    vk.vkCmdWriteTimestamp(cmd, VK_PIPELINE_STAGE_BOTTOM_OF_PIPE_BIT, queryPool, 1);

    VkBufferImageCopy region{};
    region.imageSubresource = {VK_IMAGE_ASPECT_COLOR_BIT, 0, 0, 1};
    region.imageExtent = {width, height, 1};
    vk.vkCmdCopyImageToBuffer(cmd, targets.color.image, VK_IMAGE_LAYOUT_TRANSFER_SRC_OPTIMAL,
                              targets.colorReadback.buffer, 1, &region);
    vk.vkCmdCopyImageToBuffer(cmd, targets.normal.image, VK_IMAGE_LAYOUT_TRANSFER_SRC_OPTIMAL,
                              targets.normalReadback.buffer, 1, &region);
    vk.vkCmdCopyImageToBuffer(cmd, targets.depthValue.image, VK_IMAGE_LAYOUT_TRANSFER_SRC_OPTIMAL,
                              targets.depthReadback.buffer, 1, &region);
    vk.vkEndCommandBuffer(cmd);

    vk.vkResetFences(device, 1, &fence);
    VkSubmitInfo submit{};
    submit.sType = VK_STRUCTURE_TYPE_SUBMIT_INFO;
    submit.commandBufferCount = 1;
    submit.pCommandBuffers = &cmd;
    const bool done = vk.vkQueueSubmit(context->computeQueue, 1, &submit, fence) == VK_SUCCESS &&
                      vk.vkWaitForFences(device, 1, &fence, VK_TRUE, kNoTimeout) == VK_SUCCESS;
    vk.vkFreeCommandBuffers(device, commandPool, 1, &cmd);
    if (!done)
        return fail("submit");

    std::uint64_t ticks[2] = {0, 0};
    if (vk.vkGetQueryPoolResults(device, queryPool, 0, 2, sizeof(ticks), ticks, 8,
                                 VK_QUERY_RESULT_64_BIT | VK_QUERY_RESULT_WAIT_BIT) == VK_SUCCESS)
        frame.gpuMs = double(ticks[1] - ticks[0]) * double(context->timestampPeriod) * 1e-6;

    const std::size_t pixels = std::size_t(width) * height;
    frame.color.resize(pixels * 4);
    frame.normal.resize(pixels * 4);
    frame.depth.resize(pixels);
    const auto* color = static_cast<const std::uint16_t*>(targets.colorReadback.mapped);
    const auto* normal = static_cast<const std::uint16_t*>(targets.normalReadback.mapped);
    for (std::size_t i = 0; i < pixels * 4; ++i) {
        frame.color[i] = halfToFloatFlush(color[i]);
        frame.normal[i] = halfToFloatFlush(normal[i]);
    }
    std::memcpy(frame.depth.data(), targets.depthReadback.mapped, pixels * 4);
    return frame;
}

} // namespace qlmr
