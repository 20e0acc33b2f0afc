#include "gpu/mesh_rasterizer.h"

#include "gpu/embedded_shaders.h"
#include "gpu/gpu_frame_packing.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>

namespace qlmr {

namespace {

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
        // The fragment shader tells the upper side (along axisH, where the
        // normals point) by the winding, so the cells wind counter-clockwise
        // seen from there. Going round u then v does that when U x V points
        // along H; a mirrored prism (U x V against H) goes the other way round.
        const bool mirrored = dot(cross(prism.axisU, prism.axisV), prism.axisH) < 0.0f;
        const std::uint32_t stride = w + 1;
        for (std::uint32_t y = 0; y < h; ++y) {
            for (std::uint32_t x = 0; x < w; ++x) {
                const std::uint32_t i00 = first + y * stride + x;
                const std::uint32_t i10 = i00 + 1, i01 = i00 + stride, i11 = i01 + 1;
                if (mirrored)
                    mesh.indices.insert(mesh.indices.end(), {i00, i11, i10, i00, i01, i11});
                else
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
    // Every submission was waited for on the fence: nothing is in flight.
    destroyTargets();
    destroyBuffer(&vertexBuffer);
    destroyBuffer(&indexBuffer);
    destroyHandle(*context, vk.vkDestroyPipeline, pipeline);
    destroyHandle(*context, vk.vkDestroyPipelineLayout, pipelineLayout);
    destroyHandle(*context, vk.vkDestroyShaderModule, vertexModule);
    destroyHandle(*context, vk.vkDestroyShaderModule, fragmentModule);
    destroyHandle(*context, vk.vkDestroyRenderPass, renderPass);
    destroyHandle(*context, vk.vkDestroyQueryPool, queryPool);
    destroyHandle(*context, vk.vkDestroyFence, fence);
    destroyHandle(*context, vk.vkDestroyCommandPool, commandPool);
}

bool MeshRasterizer::createBuffer(GpuBuffer* buffer, std::uint64_t bytes, VkBufferUsageFlags usage,
                                  bool hostVisible)
{
    if (!context)
        return false;
    // A record that still holds a buffer is replaced, not dropped unreleased.
    destroyBuffer(buffer);
    GpuBufferSpec spec;
    spec.bytes = std::max<std::uint64_t>(bytes, 16);
    spec.usage = usage;
    spec.memory = hostVisible ? kHostCoherentMemory : VkMemoryPropertyFlags(VK_MEMORY_PROPERTY_DEVICE_LOCAL_BIT);
    spec.map = hostVisible;
    if (createGpuBuffer(*context, spec, buffer))
        return true;
    destroyBuffer(buffer);
    return false;
}

void MeshRasterizer::destroyBuffer(GpuBuffer* buffer)
{
    if (context)
        destroyGpuBuffer(*context, buffer);
}

bool MeshRasterizer::createImage(GpuImage* image, VkFormat format, std::uint32_t width, std::uint32_t height,
                                 VkImageUsageFlags usage, VkImageAspectFlags aspect)
{
    if (!context)
        return false;
    // A record that still holds an image is replaced, not dropped unreleased.
    destroyImage(image);
    if (createGpuImage(*context, {format, width, height, 1, usage, 0, aspect}, image))
        return true;
    destroyImage(image);
    return false;
}

void MeshRasterizer::destroyImage(GpuImage* image)
{
    if (context)
        destroyGpuImage(*context, image);
}

bool MeshRasterizer::uploadMesh(GpuBuffer* destination, const void* data, std::uint64_t bytes,
                                VkBufferUsageFlags usage)
{
    // The copy is submitted from the command pool that init creates; the
    // bytes are copied from `data`, so there must be some behind it.
    if (!commandPool || (bytes != 0 && !data))
        return false;
    if (!createBuffer(destination, bytes, usage | VK_BUFFER_USAGE_TRANSFER_DST_BIT, false))
        return false;
    GpuBuffer staging;
    if (!createBuffer(&staging, bytes, VK_BUFFER_USAGE_TRANSFER_SRC_BIT, true))
        return false;
    if (bytes != 0)
        std::memcpy(staging.mapped, data, bytes);

    VkCommandBuffer commandBuffer = VK_NULL_HANDLE;
    beginOneTimeCommands(*context, commandPool, &commandBuffer);
    bool ok = commandBuffer != VK_NULL_HANDLE;
    if (ok) {
        VkBufferCopy region{0, 0, std::max<std::uint64_t>(bytes, 16)};
        context->vk.vkCmdCopyBuffer(commandBuffer, staging.buffer, destination->buffer, 1, &region);
        ok = submitAndWait(*context, commandPool, fence, commandBuffer);
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

    if (createShaderModule(*context, meshVertexShader(), &vertexModule) != VK_SUCCESS ||
        createShaderModule(*context, meshFragmentShader(), &fragmentModule) != VK_SUCCESS)
        return false;
    const VkVertexInputAttributeDescription attributes[3] = {
        {0, 0, VK_FORMAT_R32G32B32_SFLOAT, 0},
        {1, 0, VK_FORMAT_R32G32B32_SFLOAT, 12},
        {2, 0, VK_FORMAT_R8G8B8A8_UNORM, 24}};
    VkPipelineColorBlendAttachmentState blends[3]{};
    for (int i = 0; i < 3; ++i)
        blends[i].colorWriteMask = VK_COLOR_COMPONENT_R_BIT | VK_COLOR_COMPONENT_G_BIT | VK_COLOR_COMPONENT_B_BIT |
                                   VK_COLOR_COMPONENT_A_BIT;
    // The pipeline culls nothing: a field seen from below is drawn too, and
    // the fragment shader turns its normal towards the camera.
    GraphicsPipelineSpec spec;
    spec.vertexModule = vertexModule;
    spec.fragmentModule = fragmentModule;
    spec.binding = {0, sizeof(MeshVertex), VK_VERTEX_INPUT_RATE_VERTEX};
    spec.attributes = attributes;
    spec.blends = blends;
    spec.layout = pipelineLayout;
    spec.renderPass = renderPass;
    return createGraphicsPipeline(*context, spec, &pipeline) == VK_SUCCESS;
}

bool MeshRasterizer::init(VulkanContext& ctx, const Scene& scene, std::uint32_t lod, std::string* error)
{
    auto fail = [&](std::string message) {
        if (error)
            *error = std::move(message);
        return false;
    };
    // One init per rasterizer: a second would drop every object of the first
    // without releasing it.
    if (context)
        return fail("the mesh rasterizer is already initialised");
    context = &ctx;
    // The mesh is drawn on the context's one queue, which must take raster work.
    if (!ctx.requireGraphicsQueue(error))
        return false;

    createCommandPool(ctx, VK_COMMAND_POOL_CREATE_RESET_COMMAND_BUFFER_BIT, &commandPool);
    createFence(ctx, &fence);
    createTimestampQueryPool(ctx, &queryPool);

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
    destroyHandle(*context, context->vk.vkDestroyFramebuffer, targets.framebuffer);
    for (GpuImage* image : {&targets.color, &targets.normal, &targets.depthValue, &targets.depthBuffer})
        destroyImage(image);
    for (GpuBuffer* buffer : {&targets.colorReadback, &targets.normalReadback, &targets.depthReadback})
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
    VkCommandBuffer cmd = VK_NULL_HANDLE;
    beginOneTimeCommands(*context, commandPool, &cmd);
    if (!cmd)
        return fail("submit");
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
    if (!submitAndWait(*context, commandPool, fence, cmd))
        return fail("submit");
    readTimestampMs(*context, queryPool, &frame.gpuMs);

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
