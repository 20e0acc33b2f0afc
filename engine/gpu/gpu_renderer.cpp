#include "gpu/gpu_renderer.h"

#include "gpu/gpu_tracer_shaders.h"
#include "gpu/mesh_rasterizer.h"
#include "scene/tile_renderer.h"
#include "sdna/program_packing.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <initializer_list>
#include <limits>
#include <string>
#include <utility>

namespace qlmr {

namespace {

constexpr std::uint64_t kNoTimeout = std::numeric_limits<std::uint64_t>::max();

// memcpy for host lists that may be empty: an empty vector's data() may be
// null, which memcpy must not be given even for zero bytes (a scene without
// prisms has no tile or light lists and no shell vertices).
void copyBytes(void* to, const void* from, std::size_t bytes)
{
    if (bytes != 0)
        std::memcpy(to, from, bytes);
}
constexpr std::uint32_t kMaxGroupLayers = 256;
constexpr std::uint32_t kNoAlbedoTexel = 0xFFB4B4B4u; // (180, 180, 180, 255)

std::uint64_t roundUp16(std::uint64_t offset) { return (offset + 15u) & ~std::uint64_t(15u); }

// Size of mip `mip` of an image edge of `size` texels.
std::uint32_t mipExtent(std::uint32_t size, std::uint32_t mip) { return mip < 32 ? std::max(size >> mip, 1u) : 1u; }

// Whether a rectangle lies within a level of `width` x `height`; an empty
// one always does.
bool rectInside(const FieldRect& rect, std::uint32_t width, std::uint32_t height)
{
    return rect.empty() || (rect.x1 <= width && rect.y1 <= height);
}

// Whether tile bins can be this frame's: one bin per tile, and every index
// one of the renderer's prisms (the tracer reads the prism of each index).
bool binsFit(const std::vector<std::vector<std::uint32_t>>& bins, std::size_t tiles, std::size_t prisms)
{
    if (bins.size() != tiles)
        return false;
    for (const std::vector<std::uint32_t>& bin : bins)
        for (const std::uint32_t index : bin)
            if (index >= prisms)
                return false;
    return true;
}

// The prism buffer holds at least one record, so the binding is never empty.
std::uint64_t prismBufferSize(std::size_t prisms)
{
    return std::uint64_t(std::max<std::size_t>(1, prisms)) * sizeof(gpu::Prism);
}

// Descriptor type of every binding of the tracer's set, and its count.
struct BindingKind {
    VkDescriptorType type;
    std::uint32_t count;
};

BindingKind bindingKind(std::uint32_t binding)
{
    switch (binding) {
    case QLMR_BINDING_HEIGHTS:
    case QLMR_BINDING_BOUNDS:
    case QLMR_BINDING_ALBEDO:
        return {VK_DESCRIPTOR_TYPE_SAMPLED_IMAGE, QLMR_MAX_FIELDS};
    case QLMR_BINDING_SAMPLERS:
        return {VK_DESCRIPTOR_TYPE_SAMPLER, QLMR_MAX_FIELDS};
    case QLMR_BINDING_FRAME:
    case QLMR_BINDING_SDNA_PROGRAM:
    case QLMR_BINDING_SOLID:
        return {VK_DESCRIPTOR_TYPE_UNIFORM_BUFFER, 1};
    case QLMR_BINDING_OUT_COLOR:
    case QLMR_BINDING_OUT_DEPTH:
    case QLMR_BINDING_OUT_NORMAL:
    case QLMR_BINDING_SEED_DEPTH:
    case QLMR_BINDING_SEED_PRISM:
        return {VK_DESCRIPTOR_TYPE_STORAGE_IMAGE, 1};
    default:
        return {VK_DESCRIPTOR_TYPE_STORAGE_BUFFER, 1};
    }
}

} // namespace

// ---- resources

bool GpuRenderer::fail(std::string* error, std::string message)
{
    if (error)
        *error = std::move(message);
    return false;
}

// Renderer buffers are host-visible and mapped for their whole life.
bool GpuRenderer::createBuffer(GpuBuffer* buffer, std::uint64_t bytes, VkBufferUsageFlags usage)
{
    if (!context)
        return false;
    // A record that still holds a buffer is replaced, not dropped unreleased.
    destroyBuffer(buffer);
    GpuBufferSpec spec;
    spec.bytes = std::max<std::uint64_t>(bytes, 16);
    spec.usage = usage;
    if (createGpuBuffer(*context, spec, buffer))
        return true;
    destroyBuffer(buffer);
    return false;
}

void GpuRenderer::destroyBuffer(GpuBuffer* buffer)
{
    if (context)
        destroyGpuBuffer(*context, buffer);
}

bool GpuRenderer::createImage(GpuImage* image, VkFormat format, std::uint32_t width, std::uint32_t height,
                              std::uint32_t mipLevels, VkImageUsageFlags usage, std::uint32_t layers,
                              VkImageAspectFlags aspect)
{
    if (!context)
        return false;
    // A record that still holds an image is replaced, not dropped unreleased.
    destroyImage(image);
    if (createGpuImage(*context, {format, width, height, mipLevels, usage, layers, aspect}, image))
        return true;
    destroyImage(image);
    return false;
}

void GpuRenderer::destroyImage(GpuImage* image)
{
    if (context)
        destroyGpuImage(*context, image);
}

bool GpuRenderer::ensureBufferCapacity(GpuBuffer* buffer, std::uint64_t bytes, VkBufferUsageFlags usage)
{
    if (buffer->buffer && buffer->size >= bytes)
        return true;
    destroyBuffer(buffer);
    return createBuffer(buffer, bytes + bytes / 2, usage);
}

VkCommandBuffer GpuRenderer::beginOneShot()
{
    // A failed begin still hands out the buffer: its submit fails instead.
    VkCommandBuffer commandBuffer = VK_NULL_HANDLE;
    if (context && commandPool)
        beginOneTimeCommands(*context, commandPool, &commandBuffer);
    return commandBuffer;
}

bool GpuRenderer::submitOneShot(VkCommandBuffer commandBuffer)
{
    if (!context || !commandPool || !commandBuffer)
        return false;
    // The pending frame's command buffer and fence must be free first.
    if (pending.active)
        finishFrame();
    return submitAndWait(*context, commandPool, fence, commandBuffer);
}

void GpuRenderer::imageBarrier(VkCommandBuffer commandBuffer, VkImage image, VkImageLayout oldLayout,
                               VkImageLayout newLayout, std::uint32_t mipLevels, VkAccessFlags srcAccess,
                               VkAccessFlags dstAccess, VkPipelineStageFlags srcStage, VkPipelineStageFlags dstStage)
{
    VkImageMemoryBarrier barrier{};
    barrier.sType = VK_STRUCTURE_TYPE_IMAGE_MEMORY_BARRIER;
    barrier.srcAccessMask = srcAccess;
    barrier.dstAccessMask = dstAccess;
    barrier.oldLayout = oldLayout;
    barrier.newLayout = newLayout;
    barrier.srcQueueFamilyIndex = VK_QUEUE_FAMILY_IGNORED;
    barrier.dstQueueFamilyIndex = VK_QUEUE_FAMILY_IGNORED;
    barrier.image = image;
    barrier.subresourceRange = {VK_IMAGE_ASPECT_COLOR_BIT, 0, mipLevels, 0, VK_REMAINING_ARRAY_LAYERS};
    context->vk.vkCmdPipelineBarrier(commandBuffer, srcStage, dstStage, 0, 0, nullptr, 0, nullptr, 1, &barrier);
}

void GpuRenderer::stageRect(StagedCopies& staged, std::uint32_t mip, std::uint32_t layer, const FieldRect& rect,
                            const void* base, std::uint32_t levelWidth, std::uint32_t bytesPerTexel)
{
    if (rect.empty())
        return;
    staged.bytes = roundUp16(staged.bytes);
    VkBufferImageCopy region{};
    region.bufferOffset = staged.bytes;
    region.imageSubresource = {VK_IMAGE_ASPECT_COLOR_BIT, mip, layer, 1};
    region.imageOffset = {std::int32_t(rect.x0), std::int32_t(rect.y0), 0};
    region.imageExtent = {rect.x1 - rect.x0, rect.y1 - rect.y0, 1};
    staged.regions.push_back(region);
    const std::uint64_t rowBytes = std::uint64_t(rect.x1 - rect.x0) * bytesPerTexel;
    for (std::uint32_t y = rect.y0; y < rect.y1; ++y) {
        const auto* source = static_cast<const std::uint8_t*>(base) +
            (std::uint64_t(rect.x0) + std::uint64_t(y) * levelWidth) * bytesPerTexel;
        staged.spans.emplace_back(source, rowBytes);
        staged.offsets.push_back(staged.bytes);
        staged.bytes += rowBytes;
    }
}

// ---- set-up

GpuRenderer::~GpuRenderer()
{
    if (!context || !context->device)
        return;
    const VulkanFunctions& vk = context->vk;
    const VkDevice device = context->device;
    if (pending.active)
        finishFrame();
    vk.vkDeviceWaitIdle(device);
    for (FieldGroup& group : groups) {
        destroyImage(&group.heights);
        destroyImage(&group.bounds);
        destroyImage(&group.albedo);
    }
    destroyBuffer(&prismBuffer);
    for (GpuBuffer* b : {&solidCode, &solidPose, &solidProgram, &solidUniforms, &solidMaterials, &updateStaging,
                         &frameUniforms, &tileRanges, &tileLists, &prismSeed, &lightRanges, &lightLists})
        destroyBuffer(b);
    for (GpuOutputImages& entry : outputs)
        destroyOutputImages(entry);
    destroyBuffer(&shellVertices);
    destroyShellPipeline(*context, &shellPipeline);
    destroyHandle(*context, vk.vkDestroySampler, clampSampler);
    destroyHandle(*context, vk.vkDestroySampler, repeatSampler);
    destroyHandle(*context, vk.vkDestroyPipeline, pipeline);
    destroyHandle(*context, vk.vkDestroyPipelineLayout, pipelineLayout);
    destroyHandle(*context, vk.vkDestroyDescriptorSetLayout, setLayout);
    destroyHandle(*context, vk.vkDestroyDescriptorPool, descriptorPool);
    destroyHandle(*context, vk.vkDestroyCommandPool, commandPool);
    destroyHandle(*context, vk.vkDestroyFence, fence);
    destroyHandle(*context, vk.vkDestroyQueryPool, queryPool);
}

bool GpuRenderer::init(VulkanContext& ctx, const Scene& sceneIn, std::string* error, const GpuRenderOptions& opts)
{
    // One init per renderer: a second would add its fields to the groups of
    // the first and drop every object the first one made without releasing it.
    if (context)
        return fail(error, "the renderer is already initialised");
    context = &ctx;
    options = opts;
    scene = &sceneIn;
    const VulkanFunctions& vk = ctx.vk;

    // The seed pass is recorded on the one queue, which must take raster work.
    std::string noGraphics;
    if (opts.seedPass && !ctx.requireGraphicsQueue(&noGraphics))
        return fail(error, "shell raster setup: " + noGraphics);

    // 1. Command objects.
    createCommandPool(ctx, 0, &commandPool);
    createFence(ctx, &fence);
    createTimestampQueryPool(ctx, &queryPool);

    // 2. Grouping by format: size, albedo size (1 x 1 without albedo) and edge mode.
    const std::vector<DisplacementField>& fields = sceneIn.fields;
    fieldGroups.assign(fields.size(), 0);
    fieldLayers.assign(fields.size(), 0);
    for (std::size_t i = 0; i < fields.size(); ++i) {
        const DisplacementField& f = fields[i];
        const bool hasAlbedo = f.albedoWidth != 0;
        const std::uint32_t aw = hasAlbedo ? f.albedoWidth : 1, ah = hasAlbedo ? f.albedoHeight : 1;
        const bool wrap = !f.clampEdges;
        std::size_t g = 0;
        for (; g < groups.size(); ++g) {
            const FieldGroup& k = groups[g];
            if (k.width == f.width && k.height == f.height && k.albedoWidth == aw && k.albedoHeight == ah &&
                k.wrap == wrap && k.layers < kMaxGroupLayers)
                break;
        }
        if (g == groups.size()) {
            FieldGroup group;
            group.width = f.width;
            group.height = f.height;
            group.levels = f.levels;
            group.albedoWidth = aw;
            group.albedoHeight = ah;
            group.albedoLevels = hasAlbedo ? f.albedoLevels() : 1;
            group.wrap = wrap;
            groups.push_back(group);
        }
        fieldGroups[i] = std::uint32_t(g);
        fieldLayers[i] = groups[g].layers++;
    }
    if (groups.size() > QLMR_MAX_FIELDS)
        return fail(error, "more distinct field formats than QLMR_MAX_FIELDS slots");
    // A scene without fields still binds one (never read) group of 1 x 1
    // images, so its frames render the sky like the CPU renderer's.
    if (groups.empty()) {
        FieldGroup placeholder;
        placeholder.width = placeholder.height = placeholder.levels = 1;
        placeholder.layers = 1;
        groups.push_back(placeholder);
    }

    // 3. One heights, bounds and albedo array image per group.
    const VkImageUsageFlags sampledUsage = VK_IMAGE_USAGE_TRANSFER_DST_BIT | VK_IMAGE_USAGE_SAMPLED_BIT;
    for (FieldGroup& g : groups) {
        if (!createImage(&g.heights, VK_FORMAT_R16_UNORM, g.width, g.height, g.levels, sampledUsage, g.layers) ||
            !createImage(&g.bounds, VK_FORMAT_R16G16_UNORM, std::max(g.width / 2, 1u), std::max(g.height / 2, 1u),
                         std::max(g.levels, 2u) - 1, sampledUsage, g.layers) ||
            !createImage(&g.albedo, VK_FORMAT_R8G8B8A8_UNORM, g.albedoWidth, g.albedoHeight, g.albedoLevels,
                         sampledUsage, g.layers))
            return fail(error, "field images");
    }

    // 4. Staging plan: every level of every field, group by group, each
    // region at a 16-byte aligned offset.
    struct ImageCopies {
        StagedCopies heights, bounds, albedo;
    };
    std::vector<ImageCopies> plan(groups.size());
    std::uint64_t total = 0;
    for (std::size_t g = 0; g < groups.size(); ++g) {
        ImageCopies& copies = plan[g];
        copies.heights.bytes = total;
        for (std::size_t i = 0; i < fields.size(); ++i) {
            if (fieldGroups[i] != g)
                continue;
            const DisplacementField& f = fields[i];
            for (std::uint32_t l = 0; l < f.levels; ++l)
                stageRect(copies.heights, l, fieldLayers[i], {0, 0, f.levelWidth(l), f.levelHeight(l)},
                          f.heights.data() + f.heightOffsets[l], f.levelWidth(l), 2);
        }
        copies.bounds.bytes = copies.heights.bytes;
        for (std::size_t i = 0; i < fields.size(); ++i) {
            if (fieldGroups[i] != g)
                continue;
            const DisplacementField& f = fields[i];
            for (std::uint32_t l = 1; l < std::max(f.levels, 2u); ++l)
                stageRect(copies.bounds, l - 1, fieldLayers[i], {0, 0, f.levelWidth(l), f.levelHeight(l)},
                          f.bounds.data() + f.boundsOffsets[l], f.levelWidth(l), 4);
        }
        copies.albedo.bytes = copies.bounds.bytes;
        for (std::size_t i = 0; i < fields.size(); ++i) {
            if (fieldGroups[i] != g)
                continue;
            const DisplacementField& f = fields[i];
            if (f.albedoWidth == 0) {
                stageRect(copies.albedo, 0, fieldLayers[i], {0, 0, 1, 1}, &kNoAlbedoTexel, 1, 4);
                continue;
            }
            for (std::uint32_t a = 0; a < f.albedoLevels(); ++a)
                stageRect(copies.albedo, a, fieldLayers[i], {0, 0, f.albedoLevelWidth(a), f.albedoLevelHeight(a)},
                          f.albedoLevel(a), f.albedoLevelWidth(a), 4);
        }
        total = copies.albedo.bytes;
    }

    // 5-6. One staging buffer, one submission for every image.
    {
        GpuBuffer staging;
        if (!createBuffer(&staging, total, VK_BUFFER_USAGE_TRANSFER_SRC_BIT))
            return fail(error, "staging buffer");
        auto* bytes = static_cast<std::uint8_t*>(staging.mapped);
        for (const ImageCopies& copies : plan)
            for (const StagedCopies* s : {&copies.heights, &copies.bounds, &copies.albedo})
                for (std::size_t k = 0; k < s->spans.size(); ++k)
                    std::memcpy(bytes + s->offsets[k], s->spans[k].first, s->spans[k].second);
        const VkCommandBuffer commands = beginOneShot();
        for (std::size_t g = 0; g < groups.size(); ++g) {
            const FieldGroup& group = groups[g];
            const std::pair<const GpuImage*, const StagedCopies*> images[] = {
                {&group.heights, &plan[g].heights}, {&group.bounds, &plan[g].bounds}, {&group.albedo, &plan[g].albedo}};
            for (const auto& [image, copies] : images) {
                imageBarrier(commands, image->image, VK_IMAGE_LAYOUT_UNDEFINED, VK_IMAGE_LAYOUT_TRANSFER_DST_OPTIMAL,
                             VK_REMAINING_MIP_LEVELS, 0, VK_ACCESS_TRANSFER_WRITE_BIT,
                             VK_PIPELINE_STAGE_TOP_OF_PIPE_BIT, VK_PIPELINE_STAGE_TRANSFER_BIT);
                if (!copies->regions.empty())
                    vk.vkCmdCopyBufferToImage(commands, staging.buffer, image->image,
                                              VK_IMAGE_LAYOUT_TRANSFER_DST_OPTIMAL,
                                              std::uint32_t(copies->regions.size()), copies->regions.data());
                imageBarrier(commands, image->image, VK_IMAGE_LAYOUT_TRANSFER_DST_OPTIMAL,
                             VK_IMAGE_LAYOUT_SHADER_READ_ONLY_OPTIMAL, VK_REMAINING_MIP_LEVELS,
                             VK_ACCESS_TRANSFER_WRITE_BIT, VK_ACCESS_SHADER_READ_BIT, VK_PIPELINE_STAGE_TRANSFER_BIT,
                             VK_PIPELINE_STAGE_COMPUTE_SHADER_BIT);
            }
        }
        const bool uploaded = commands != VK_NULL_HANDLE && submitOneShot(commands);
        destroyBuffer(&staging);
        if (!uploaded)
            return fail(error, "texture upload");
    }

    // 7. The prisms and where their fields live.
    prismList = sceneIn.prisms;
    prismRecords.assign(prismList.size(), PrismFieldRecord{});
    for (std::size_t i = 0; i < prismList.size(); ++i) {
        const std::uint32_t field = prismList[i].fieldIndex;
        if (field >= fields.size())
            continue;
        const FieldView view = fields[field].view();
        PrismFieldRecord& r = prismRecords[i];
        const DisplacementField& f = fields[field];
        // The snap needs only the offsets modulo the cell size.
        const std::uint32_t grid = std::min<std::uint32_t>(f.pixelGrid, QLMR_FIELD_MAX_GRID);
        auto offset = [grid](std::int32_t o) {
            return grid == 0 ? 0u : std::uint32_t(((std::int64_t(o) % grid) + grid) % grid);
        };
        r.words[0] = (fieldLayers[field] << 4) | fieldGroups[field];
        r.words[1] = view.log2Width | offset(f.pixelGridOffsetX) << QLMR_FIELD_OFFSET_SHIFT;
        r.words[2] = view.log2Height | offset(f.pixelGridOffsetY) << QLMR_FIELD_OFFSET_SHIFT;
        // Albedo is read at the cell centre whatever the trace setting; the
        // hits themselves move there only when the setting asks for it.
        const bool snapHits = grid > 0 && options.snapToPixelGrid;
        r.words[3] = view.levels | (view.wrap ? 1u : 0u) << 8 | (grid > 0 ? 2u : 0u) << 8 |
            (snapHits ? std::uint32_t(QLMR_FIELD_SNAP_HITS_BIT) : 0u) | grid << QLMR_FIELD_GRID_SHIFT;
    }

    // 8. The prism buffer, bound whole by every frame.
    const std::string tooLarge = bufferBindingError(ctx, "prism buffer", prismBufferSize(prismList.size()), false);
    if (!tooLarge.empty())
        return fail(error, tooLarge);
    if (!ensurePrismBuffer())
        return fail(error, "prism buffer");
    prismsDirty = false;

    // 9. Samplers, layouts and the tracer pipeline.
    if (!createPipeline(error))
        return false;
    ready = true;
    return true;
}

bool GpuRenderer::ensurePrismBuffer()
{
    const std::uint64_t bytes = prismBufferSize(prismList.size());
    if (!prismBuffer.buffer || prismBuffer.size < bytes) {
        destroyBuffer(&prismBuffer);
        if (!createBuffer(&prismBuffer, bytes, VK_BUFFER_USAGE_STORAGE_BUFFER_BIT))
            return false;
    }
    std::memset(prismBuffer.mapped, 0, bytes);
    packGpuPrisms(prismList, prismRecords, static_cast<gpu::Prism*>(prismBuffer.mapped));
    return true;
}

bool GpuRenderer::ensureSolidBuffers()
{
    if (!ensureBufferCapacity(&solidCode, 48, VK_BUFFER_USAGE_STORAGE_BUFFER_BIT) ||
        !ensureBufferCapacity(&solidPose, 32, VK_BUFFER_USAGE_STORAGE_BUFFER_BIT) ||
        !ensureBufferCapacity(&solidProgram, 48, VK_BUFFER_USAGE_UNIFORM_BUFFER_BIT) ||
        !ensureBufferCapacity(&solidUniforms, 48, VK_BUFFER_USAGE_UNIFORM_BUFFER_BIT) ||
        !ensureBufferCapacity(&solidMaterials, 16, VK_BUFFER_USAGE_STORAGE_BUFFER_BIT))
        return false;
    auto* uniforms = static_cast<gpu::SolidUniforms*>(solidUniforms.mapped);
    uniforms->flags.x = solidFlag;
    return true;
}

bool GpuRenderer::createPipeline(std::string* error)
{
    const VulkanFunctions& vk = context->vk;
    const VkDevice device = context->device;

    VkSamplerCreateInfo sampler{};
    sampler.sType = VK_STRUCTURE_TYPE_SAMPLER_CREATE_INFO;
    sampler.magFilter = VK_FILTER_LINEAR;
    sampler.minFilter = VK_FILTER_LINEAR;
    sampler.mipmapMode = VK_SAMPLER_MIPMAP_MODE_LINEAR;
    sampler.addressModeU = sampler.addressModeV = sampler.addressModeW = VK_SAMPLER_ADDRESS_MODE_CLAMP_TO_EDGE;
    sampler.minLod = 0.0f;
    sampler.maxLod = 32.0f;
    vk.vkCreateSampler(device, &sampler, nullptr, &clampSampler);
    sampler.addressModeU = sampler.addressModeV = sampler.addressModeW = VK_SAMPLER_ADDRESS_MODE_REPEAT;
    vk.vkCreateSampler(device, &sampler, nullptr, &repeatSampler);

    VkDescriptorSetLayoutBinding bindings[QLMR_BINDING_COUNT]{};
    for (std::uint32_t b = 0; b < QLMR_BINDING_COUNT; ++b) {
        const BindingKind kind = bindingKind(b);
        bindings[b].binding = b;
        bindings[b].descriptorType = kind.type;
        bindings[b].descriptorCount = kind.count;
        bindings[b].stageFlags = VK_SHADER_STAGE_COMPUTE_BIT;
    }
    VkDescriptorSetLayoutCreateInfo layoutInfo{};
    layoutInfo.sType = VK_STRUCTURE_TYPE_DESCRIPTOR_SET_LAYOUT_CREATE_INFO;
    layoutInfo.bindingCount = QLMR_BINDING_COUNT;
    layoutInfo.pBindings = bindings;
    vk.vkCreateDescriptorSetLayout(device, &layoutInfo, nullptr, &setLayout);

    VkPipelineLayoutCreateInfo pipelineLayoutInfo{};
    pipelineLayoutInfo.sType = VK_STRUCTURE_TYPE_PIPELINE_LAYOUT_CREATE_INFO;
    pipelineLayoutInfo.setLayoutCount = 1;
    pipelineLayoutInfo.pSetLayouts = &setLayout;
    vk.vkCreatePipelineLayout(device, &pipelineLayoutInfo, nullptr, &pipelineLayout);

    VkDescriptorPoolSize sizes[5]{};
    std::uint32_t sizeCount = 0;
    for (const VkDescriptorType type :
         {VK_DESCRIPTOR_TYPE_STORAGE_BUFFER, VK_DESCRIPTOR_TYPE_SAMPLED_IMAGE, VK_DESCRIPTOR_TYPE_UNIFORM_BUFFER,
          VK_DESCRIPTOR_TYPE_STORAGE_IMAGE, VK_DESCRIPTOR_TYPE_SAMPLER}) {
        std::uint32_t count = 0;
        for (std::uint32_t b = 0; b < QLMR_BINDING_COUNT; ++b)
            if (bindingKind(b).type == type)
                count += bindingKind(b).count;
        sizes[sizeCount++] = {type, count};
    }
    VkDescriptorPoolCreateInfo poolInfo{};
    poolInfo.sType = VK_STRUCTURE_TYPE_DESCRIPTOR_POOL_CREATE_INFO;
    poolInfo.maxSets = 1;
    poolInfo.poolSizeCount = sizeCount;
    poolInfo.pPoolSizes = sizes;
    vk.vkCreateDescriptorPool(device, &poolInfo, nullptr, &descriptorPool);
    VkDescriptorSetAllocateInfo allocate{};
    allocate.sType = VK_STRUCTURE_TYPE_DESCRIPTOR_SET_ALLOCATE_INFO;
    allocate.descriptorPool = descriptorPool;
    allocate.descriptorSetCount = 1;
    allocate.pSetLayouts = &setLayout;
    vk.vkAllocateDescriptorSets(device, &allocate, &descriptorSet);

    const SpirvCode code =
        options.traceOnly ? fieldTraceOnlyShader() : (options.solid ? fieldTraceSolidShader() : fieldTraceShader());
    VkShaderModule module = VK_NULL_HANDLE;
    if (createShaderModule(*context, code, &module) != VK_SUCCESS)
        return fail(error, "shader module");
    const VkResult created = createComputePipeline(*context, module, pipelineLayout, &pipeline);
    vk.vkDestroyShaderModule(device, module, nullptr);
    if (created != VK_SUCCESS)
        return fail(error, "compute pipeline (VkResult " + std::to_string(std::int32_t(created)) + ")");
    if (options.seedPass && !buildShellRaster())
        return fail(error, "shell raster setup");
    return true;
}

// ---- partial uploads

bool GpuRenderer::uploadStaged(const StagedCopies& staged, VkImage image, std::uint32_t mipLevels)
{
    (void)mipLevels;
    const VulkanFunctions& vk = context->vk;
    const VkCommandBuffer commands = beginOneShot();
    if (!commands)
        return false;
    imageBarrier(commands, image, VK_IMAGE_LAYOUT_SHADER_READ_ONLY_OPTIMAL, VK_IMAGE_LAYOUT_TRANSFER_DST_OPTIMAL,
                 VK_REMAINING_MIP_LEVELS, VK_ACCESS_SHADER_READ_BIT, VK_ACCESS_TRANSFER_WRITE_BIT,
                 VK_PIPELINE_STAGE_COMPUTE_SHADER_BIT, VK_PIPELINE_STAGE_TRANSFER_BIT);
    vk.vkCmdCopyBufferToImage(commands, updateStaging.buffer, image, VK_IMAGE_LAYOUT_TRANSFER_DST_OPTIMAL,
                              std::uint32_t(staged.regions.size()), staged.regions.data());
    imageBarrier(commands, image, VK_IMAGE_LAYOUT_TRANSFER_DST_OPTIMAL, VK_IMAGE_LAYOUT_SHADER_READ_ONLY_OPTIMAL,
                 VK_REMAINING_MIP_LEVELS, VK_ACCESS_TRANSFER_WRITE_BIT, VK_ACCESS_SHADER_READ_BIT,
                 VK_PIPELINE_STAGE_TRANSFER_BIT, VK_PIPELINE_STAGE_COMPUTE_SHADER_BIT);
    return submitOneShot(commands);
}

bool GpuRenderer::uploadFieldRect(std::uint32_t field, std::uint32_t group, std::uint32_t layer,
                                  const FieldUpdate& update)
{
    updateBytes = 0;
    if (update.heightRects[0].empty())
        return true;
    const DisplacementField& f = scene->fields[field];
    if (group >= groups.size() || groups[group].width != f.width)
        return false;
    // Rows are read from the field's levels and copied into the image's
    // mips: a rectangle outside either (a record of another field, or of a
    // field resized since the upload) is refused before anything is read.
    const FieldGroup& g = groups[group];
    auto fits = [&](const FieldRect& rect, std::uint32_t level, std::uint32_t imageLevels) {
        return rect.empty() ||
            (level < imageLevels && rectInside(rect, f.levelWidth(level), f.levelHeight(level)) &&
             rectInside(rect, mipExtent(g.width, level), mipExtent(g.height, level)));
    };
    const std::uint32_t levels = std::min(update.levels, f.levels);
    for (std::uint32_t l = 0; l < levels; ++l)
        // Bounds level l lands in mip l - 1 of an image of max(levels, 2) - 1 mips.
        if (!fits(update.heightRects[l], l, g.levels) ||
            (l > 0 && !fits(update.boundsRects[l], l, std::max(g.levels, 2u))))
            return false;
    if (pending.active)
        finishFrame();

    StagedCopies heights, bounds;
    for (std::uint32_t l = 0; l < levels; ++l)
        stageRect(heights, l, layer, update.heightRects[l], f.heights.data() + f.heightOffsets[l], f.levelWidth(l), 2);
    bounds.bytes = heights.bytes;
    for (std::uint32_t l = 1; l < levels; ++l)
        stageRect(bounds, l - 1, layer, update.boundsRects[l], f.bounds.data() + f.boundsOffsets[l], f.levelWidth(l),
                  4);
    const std::uint64_t total = bounds.bytes;
    if (updateStaging.size < total) {
        destroyBuffer(&updateStaging);
        if (!createBuffer(&updateStaging, total + total / 2, VK_BUFFER_USAGE_TRANSFER_SRC_BIT))
            return false;
    }
    auto* bytes = static_cast<std::uint8_t*>(updateStaging.mapped);
    for (const StagedCopies* s : {&heights, &bounds})
        for (std::size_t k = 0; k < s->spans.size(); ++k)
            std::memcpy(bytes + s->offsets[k], s->spans[k].first, s->spans[k].second);
    updateBytes = total;

    bool ok = true;
    if (!heights.regions.empty())
        ok = uploadStaged(heights, groups[group].heights.image, groups[group].levels);
    if (ok && !bounds.regions.empty())
        ok = uploadStaged(bounds, groups[group].bounds.image, std::max(groups[group].levels, 2u) - 1);
    return ok;
}

bool GpuRenderer::updateField(std::uint32_t field, const FieldUpdate& update)
{
    // Fields added to the scene after init have no images.
    if (!ready || field >= scene->fields.size() || field >= fieldGroups.size())
        return false;
    if (!uploadFieldRect(field, fieldGroups[field], fieldLayers[field], update))
        return false;
    // The hull follows the edited heights.
    if (options.seedPass && !update.heightRects[0].empty())
        return buildShellRaster();
    return true;
}

bool GpuRenderer::updateAlbedo(std::uint32_t field, const AlbedoUpdate& update)
{
    updateBytes = 0;
    if (update.rects[0].empty())
        return true;
    // Fields added to the scene after init have no images.
    if (!ready || field >= scene->fields.size() || field >= fieldGroups.size())
        return false;
    const DisplacementField& f = scene->fields[field];
    FieldGroup& group = groups[fieldGroups[field]];
    if (f.albedoWidth == 0 || f.albedoLevels() != group.albedoLevels)
        return false;
    const std::uint32_t levels = std::min(update.levels, f.albedoLevels());
    // As for the heights: every rectangle lies in its level of the field and
    // of the image, whose size the field's albedo may have left since.
    for (std::uint32_t a = 0; a < levels; ++a)
        if (!rectInside(update.rects[a], f.albedoLevelWidth(a), f.albedoLevelHeight(a)) ||
            !rectInside(update.rects[a], mipExtent(group.albedoWidth, a), mipExtent(group.albedoHeight, a)))
            return false;
    if (pending.active)
        finishFrame();
    StagedCopies staged;
    for (std::uint32_t a = 0; a < levels; ++a)
        stageRect(staged, a, fieldLayers[field], update.rects[a], f.albedoLevel(a), f.albedoLevelWidth(a), 4);
    if (updateStaging.size < staged.bytes) {
        destroyBuffer(&updateStaging);
        if (!createBuffer(&updateStaging, staged.bytes + staged.bytes / 2, VK_BUFFER_USAGE_TRANSFER_SRC_BIT))
            return false;
    }
    auto* bytes = static_cast<std::uint8_t*>(updateStaging.mapped);
    for (std::size_t k = 0; k < staged.spans.size(); ++k)
        std::memcpy(bytes + staged.offsets[k], staged.spans[k].first, staged.spans[k].second);
    updateBytes = staged.bytes;
    return staged.regions.empty() || uploadStaged(staged, group.albedo.image, group.albedoLevels);
}

// ---- the solid object

bool GpuRenderer::setSolid(const SdnaInstance* instance)
{
    if (!ready)
        return false;
    if (pending.active)
        finishFrame();
    if (!instance || !instance->program || !options.solid) {
        solidFlag = 0;
        return ensureSolidBuffers();
    }
    const SdnaProgram& program = *instance->program;

    std::vector<SdnaPackedEntry> code;
    if (instance->bounds) {
        code = packProgramWithBounds(program, *instance->bounds);
    } else {
        code.resize(program.instructions.size());
        for (std::size_t i = 0; i < code.size(); ++i)
            std::memcpy(code[i].words.data(), &program.instructions[i], sizeof(SdnaInstruction));
    }
    // Entries beyond the given poses are zeroed.
    std::vector<std::array<float, 8>> poses(std::max<std::uint64_t>(1, instance->poseCount), std::array<float, 8>{});
    static_assert(sizeof(std::array<float, 8>) == sizeof(BonePose));
    for (std::uint64_t i = 0; i < instance->poseCount && instance->pose; ++i)
        std::memcpy(poses[i].data(), &instance->pose[i], sizeof(BonePose));
    std::vector<SdnaMaterial> materials(std::max<std::size_t>(1, program.materials.size()));
    std::copy(program.materials.begin(), program.materials.end(), materials.begin());
    const std::uint64_t codeBytes = std::max<std::uint64_t>(code.size(), 1) * sizeof(SdnaPackedEntry);
    const std::uint64_t poseBytes = poses.size() * sizeof(BonePose);
    const std::uint64_t materialBytes = materials.size() * sizeof(SdnaMaterial);
    // Each list is bound as one storage buffer; one the device cannot bind
    // whole is refused, and the solid set before stays.
    for (const std::uint64_t bytes : {codeBytes, poseBytes, materialBytes})
        if (bytes > bufferBindingLimit(*context, false))
            return false;
    solidFlag = 1;

    gpu::SdnaProgramUniforms programUniforms;
    // Without a pose list every bone is at the identity, which the kernels
    // give a bone past the pose count.
    const std::uint64_t poseCount = instance->pose ? instance->poseCount : 0;
    programUniforms.dims = {std::uint32_t(program.instructions.size()), std::uint32_t(poseCount), 0, 0};
    programUniforms.lo = {program.boundsMin[0], program.boundsMin[1], program.boundsMin[2], 0.0f};
    programUniforms.hi = {program.boundsMax[0], program.boundsMax[1], program.boundsMax[2], 0.0f};
    gpu::SolidUniforms solid;
    solid.q = {instance->rotation[0], instance->rotation[1], instance->rotation[2], instance->rotation[3]};
    solid.ts = {instance->translation[0], instance->translation[1], instance->translation[2], instance->scale};
    solid.flags.x = solidFlag;
    solid.flags.y = instance->bounds ? 1u : 0u;
    solid.flags.z = std::uint32_t(program.materials.size());

    for (const auto& [buffer, bytes] : {std::pair{&solidCode, codeBytes}, std::pair{&solidPose, poseBytes}}) {
        if (buffer->buffer && buffer->size >= bytes)
            continue;
        destroyBuffer(buffer);
        if (!createBuffer(buffer, bytes + bytes / 2, VK_BUFFER_USAGE_STORAGE_BUFFER_BIT))
            return false;
    }
    if (!ensureBufferCapacity(&solidMaterials, materialBytes, VK_BUFFER_USAGE_STORAGE_BUFFER_BIT) ||
        !ensureSolidBuffers())
        return false;
    std::memcpy(solidCode.mapped, code.data(), code.size() * sizeof(SdnaPackedEntry));
    std::memcpy(solidPose.mapped, poses.data(), poseBytes);
    std::memcpy(solidMaterials.mapped, materials.data(), materialBytes);
    std::memcpy(solidProgram.mapped, &programUniforms, sizeof(programUniforms));
    std::memcpy(solidUniforms.mapped, &solid, sizeof(solid));
    return true;
}

// ---- frames

void GpuRenderer::destroyOutputImages(GpuOutputImages& entry)
{
    for (GpuImage* image : {&entry.color, &entry.depth, &entry.normal, &entry.seedDepth, &entry.seedPrism})
        destroyImage(image);
    for (GpuBuffer* buffer : {&entry.colorReadback, &entry.depthReadback, &entry.normalReadback})
        destroyBuffer(buffer);
    entry.width = 0;
    entry.height = 0;
}

GpuOutputImages* GpuRenderer::outputImages(std::uint32_t width, std::uint32_t height)
{
    // Without a successful init there may be no device to create them on.
    if (!ready)
        return nullptr;
    for (GpuOutputImages& entry : outputs)
        if (entry.width == width && entry.height == height && entry.color.image)
            return &entry;
    GpuOutputImages& entry = outputs[nextOutput];
    nextOutput ^= 1u;
    // A pending frame still writes these images and reads its results back
    // from these buffers: it is finished (its result dropped, as for any
    // other work) before they go.
    if (pending.active && pending.images == &entry)
        finishFrame();
    destroyOutputImages(entry);
    const VkImageUsageFlags outputUsage =
        VK_IMAGE_USAGE_TRANSFER_SRC_BIT | VK_IMAGE_USAGE_SAMPLED_BIT | VK_IMAGE_USAGE_STORAGE_BIT;
    // The seed images may also be copied out, so a frame hook can inspect the seed.
    const VkImageUsageFlags seedUsage =
        VK_IMAGE_USAGE_STORAGE_BIT | VK_IMAGE_USAGE_COLOR_ATTACHMENT_BIT | VK_IMAGE_USAGE_TRANSFER_SRC_BIT;
    const std::uint64_t pixels = std::uint64_t(width) * height;
    if (!createImage(&entry.color, VK_FORMAT_R16G16B16A16_SFLOAT, width, height, 1, outputUsage, 0) ||
        !createImage(&entry.depth, VK_FORMAT_R32_SFLOAT, width, height, 1, outputUsage, 0) ||
        !createImage(&entry.normal, VK_FORMAT_R16G16B16A16_SFLOAT, width, height, 1, outputUsage, 0) ||
        !createImage(&entry.seedDepth, VK_FORMAT_R32_SFLOAT, width, height, 1, seedUsage, 0) ||
        !createImage(&entry.seedPrism, VK_FORMAT_R32_UINT, width, height, 1, seedUsage, 0) ||
        !createBuffer(&entry.colorReadback, pixels * 8, VK_BUFFER_USAGE_TRANSFER_DST_BIT) ||
        !createBuffer(&entry.depthReadback, pixels * 4, VK_BUFFER_USAGE_TRANSFER_DST_BIT) ||
        !createBuffer(&entry.normalReadback, pixels * 8, VK_BUFFER_USAGE_TRANSFER_DST_BIT)) {
        destroyOutputImages(entry);
        return nullptr;
    }
    entry.width = width;
    entry.height = height;
    return &entry;
}

bool GpuRenderer::pointOutsidePrism(std::uint32_t prism, Vec3 point) const
{
    if (!scene || prism >= prismList.size() || prismList[prism].fieldIndex >= scene->fields.size())
        return false;
    const Prism& p = prismList[prism];
    const DisplacementField& f = scene->fields[p.fieldIndex];
    const Vec3 d = point - p.origin;
    const float u = d.x * p.toLocal[0].x + d.y * p.toLocal[1].x + d.z * p.toLocal[2].x;
    const float v = d.x * p.toLocal[0].y + d.y * p.toLocal[1].y + d.z * p.toLocal[2].y;
    const float h = d.x * p.toLocal[0].z + d.y * p.toLocal[1].z + d.z * p.toLocal[2].z;
    const float wu = 0.2f / std::max(length(p.axisU), 1e-30f);
    const float wv = 0.2f / std::max(length(p.axisV), 1e-30f);
    const float wh = 0.2f / std::max(length(p.axisH), 1e-30f);
    // Outside unless provably inside: a local coordinate that is not a
    // number (a point that is not one, or one at infinity) counts as outside
    // and never reaches the cell conversion below.
    const bool inBox = u >= p.uMin - wu && u <= p.uMax + wu && v >= p.vMin - wv && v <= p.vMax + wv &&
        h >= p.hMin - wh && h <= p.hMax + wh;
    if (!inBox)
        return true;
    // Above the hull: the highest corner of the hull cell under the point,
    // from the built hull or, before it is built, from the same corners.
    const bool built = prism < shells.size() && shells[prism].present();
    if (!built && f.levels < 2)
        return h > std::max(0.0f, f.texelHeight(0, 0, 0)); // one sample: a flat field
    const std::uint32_t level = built ? shells[prism].level : shellLevel(f.levels, options.shellLevels);
    const std::uint32_t gw = built ? shells[prism].gridWidth : f.levelWidth(level);
    const std::uint32_t gh = built ? shells[prism].gridHeight : f.levelHeight(level);
    const std::uint32_t x = std::min(std::uint32_t(std::clamp(u, 0.0f, 1.0f) * float(gw)), gw - 1);
    const std::uint32_t y = std::min(std::uint32_t(std::clamp(v, 0.0f, 1.0f) * float(gh)), gh - 1);
    auto corner = [&](std::uint32_t cx, std::uint32_t cy) {
        return built ? shells[prism].corner(cx, cy) : shellCornerHeight(f, level, cx, cy);
    };
    const float top = std::max({0.0f, corner(x, y), corner(x + 1, y), corner(x, y + 1), corner(x + 1, y + 1)});
    return h > top;
}

void GpuRenderer::writeDescriptors(const GpuOutputImages& images)
{
    VkDescriptorImageInfo heightInfos[QLMR_MAX_FIELDS]{}, boundsInfos[QLMR_MAX_FIELDS]{},
        albedoInfos[QLMR_MAX_FIELDS]{}, samplerInfos[QLMR_MAX_FIELDS]{};
    // Slots past the last group repeat it.
    for (std::uint32_t i = 0; i < QLMR_MAX_FIELDS; ++i) {
        const std::uint32_t g = std::min<std::uint32_t>(i, std::uint32_t(groups.size()) - 1);
        const FieldGroup& group = groups[g];
        heightInfos[i] = {VK_NULL_HANDLE, group.heights.view, VK_IMAGE_LAYOUT_SHADER_READ_ONLY_OPTIMAL};
        boundsInfos[i] = {VK_NULL_HANDLE, group.bounds.view, VK_IMAGE_LAYOUT_SHADER_READ_ONLY_OPTIMAL};
        albedoInfos[i] = {VK_NULL_HANDLE, group.albedo.view, VK_IMAGE_LAYOUT_SHADER_READ_ONLY_OPTIMAL};
        samplerInfos[i] = {group.wrap ? repeatSampler : clampSampler, VK_NULL_HANDLE, VK_IMAGE_LAYOUT_UNDEFINED};
    }
    const VkDescriptorImageInfo storage[5] = {
        {VK_NULL_HANDLE, images.color.view, VK_IMAGE_LAYOUT_GENERAL},
        {VK_NULL_HANDLE, images.depth.view, VK_IMAGE_LAYOUT_GENERAL},
        {VK_NULL_HANDLE, images.normal.view, VK_IMAGE_LAYOUT_GENERAL},
        {VK_NULL_HANDLE, images.seedDepth.view, VK_IMAGE_LAYOUT_GENERAL},
        {VK_NULL_HANDLE, images.seedPrism.view, VK_IMAGE_LAYOUT_GENERAL},
    };
    const GpuBuffer* const bound[QLMR_BINDING_COUNT] = {
        &prismBuffer, nullptr, nullptr, nullptr, &frameUniforms, &tileRanges, &tileLists, nullptr, nullptr, nullptr,
        nullptr, nullptr, &prismSeed, &lightRanges, &lightLists, nullptr, &solidCode, &solidPose, &solidProgram,
        &solidUniforms, &solidMaterials};
    VkDescriptorBufferInfo buffers[QLMR_BINDING_COUNT]{};
    for (std::uint32_t b = 0; b < QLMR_BINDING_COUNT; ++b)
        if (bound[b])
            buffers[b] = wholeBufferBinding(*context, *bound[b],
                                            bindingKind(b).type == VK_DESCRIPTOR_TYPE_UNIFORM_BUFFER);

    VkWriteDescriptorSet writes[QLMR_BINDING_COUNT]{};
    for (std::uint32_t b = 0; b < QLMR_BINDING_COUNT; ++b) {
        const BindingKind kind = bindingKind(b);
        VkWriteDescriptorSet& w = writes[b];
        w.sType = VK_STRUCTURE_TYPE_WRITE_DESCRIPTOR_SET;
        w.dstSet = descriptorSet;
        w.dstBinding = b;
        w.descriptorCount = kind.count;
        w.descriptorType = kind.type;
        switch (b) {
        case QLMR_BINDING_HEIGHTS: w.pImageInfo = heightInfos; break;
        case QLMR_BINDING_BOUNDS: w.pImageInfo = boundsInfos; break;
        case QLMR_BINDING_ALBEDO: w.pImageInfo = albedoInfos; break;
        case QLMR_BINDING_SAMPLERS: w.pImageInfo = samplerInfos; break;
        case QLMR_BINDING_OUT_COLOR:
        case QLMR_BINDING_OUT_DEPTH:
        case QLMR_BINDING_OUT_NORMAL:
        case QLMR_BINDING_SEED_DEPTH:
        case QLMR_BINDING_SEED_PRISM: w.pImageInfo = &storage[b - QLMR_BINDING_OUT_COLOR]; break;
        default: w.pBufferInfo = &buffers[b]; break;
        }
    }
    context->vk.vkUpdateDescriptorSets(context->device, QLMR_BINDING_COUNT, writes, 0, nullptr);
}

bool GpuRenderer::recordFrame(const Camera& camera, const RenderSettings& settings, const GpuViewData& view,
                              float value0, float value1, bool modeSwitch, bool readBack, GpuFrame* failed)
{
    if (pending.active)
        finishFrame();
    GpuFrame frame;
    frame.ok = true;
    frame.width = camera.width;
    frame.height = camera.height;
    // A caller that passes no frame for the failure learns of it only by the result.
    auto failWith = [&](std::string message) {
        if (failed) {
            *failed = frame;
            failed->ok = false;
            failed->error = std::move(message);
        }
        return false;
    };
    if (!ready)
        return failWith("frame resources");
    const VulkanFunctions& vk = context->vk;

    // 2. Seed levels, light grid, tile bins, uniforms.
    const std::uint32_t prismCount = std::uint32_t(prismList.size());
    const bool seeding = options.seedPass && shellRasterBuilt() && shellVertices.buffer;
    const std::vector<std::int32_t> seedLevels = prismSeedLevels(camera);
    std::vector<gpu::Range> lightCellRanges;
    std::vector<std::uint32_t> lightCellLists;
    gpu::LightGridHeader lightHeader;
    buildLightGrid(prismList, settings.sunDir, lightCellRanges, lightCellLists, lightHeader);
    const std::uint32_t tilesX = groupCount(camera.width, QLMR_TILE_SIZE);
    const std::uint32_t tilesY = groupCount(camera.height, QLMR_TILE_SIZE);
    std::vector<std::vector<std::uint32_t>> ownBins;
    const std::vector<std::vector<std::uint32_t>>* bins = view.bins;
    // Bins of another camera size or another scene are not used: the
    // tracer would read prisms past the end of the prism buffer.
    if (!bins || !binsFit(*bins, std::size_t(tilesX) * tilesY, prismList.size())) {
        binPrisms(prismList, camera, tilesX, tilesY, ownBins);
        bins = &ownBins;
    }
    std::vector<gpu::Range> tileRangeData;
    std::vector<std::uint32_t> tileListData;
    flattenBins(*bins, tileRangeData, tileListData);
    FrameWords words;
    words.seedPass = seeding;
    words.value0 = value0;
    words.value1 = value1;
    words.mode = modeSwitch ? (options.modeFlag ? 2u : 1u) : 0u;
    words.prismCount = prismCount;
    const gpu::FrameUniforms uniforms = packFrameUniforms(camera, settings, words);

    // 3. Prisms changed since the last frame.
    if (prismsDirty) {
        if (!ensurePrismBuffer())
            return failWith("prism buffer");
        prismsDirty = false;
    }

    // 4. Per-frame resources. Each list is bound as one storage buffer: a
    // list the device cannot bind whole refuses the frame before anything is
    // written. (The uniform blocks have fixed sizes far below the least
    // uniform range any device offers.)
    const std::uint64_t tileRangeBytes = tileRangeData.size() * sizeof(gpu::Range);
    const std::uint64_t tileListBytes = std::max<std::uint64_t>(4, tileListData.size() * 4);
    const std::uint64_t seedBytes = seedLevels.size() * 4;
    const std::uint64_t lightBytes = sizeof(gpu::LightGridHeader) + lightCellRanges.size() * sizeof(gpu::Range);
    const std::uint64_t lightListBytes = std::max<std::uint64_t>(4, lightCellLists.size() * 4);
    using NamedBytes = std::pair<const char*, std::uint64_t>;
    auto unbindable = [&](std::initializer_list<NamedBytes> lists) {
        for (const auto& [name, bytes] : lists) {
            std::string tooLarge = bufferBindingError(*context, name, bytes, false);
            if (!tooLarge.empty())
                return tooLarge;
        }
        return std::string();
    };
    if (std::string tooLarge = unbindable({{"tile range buffer", tileRangeBytes},
                                           {"tile list buffer", tileListBytes},
                                           {"prism seed buffer", seedBytes}});
        !tooLarge.empty())
        return failWith("frame resources: " + tooLarge);
    if (std::string tooLarge = unbindable({{"light grid buffer", lightBytes}, {"light list buffer", lightListBytes}});
        !tooLarge.empty())
        return failWith("light bins: " + tooLarge);
    GpuOutputImages* images = outputImages(camera.width, camera.height);
    const VkBufferUsageFlags storageUsage = VK_BUFFER_USAGE_STORAGE_BUFFER_BIT;
    if (!images || !ensureBufferCapacity(&frameUniforms, sizeof(uniforms), VK_BUFFER_USAGE_UNIFORM_BUFFER_BIT) ||
        !ensureBufferCapacity(&tileRanges, tileRangeBytes, storageUsage) ||
        !ensureBufferCapacity(&tileLists, tileListBytes, storageUsage) ||
        !ensureBufferCapacity(&prismSeed, seedBytes, storageUsage) || !ensureSolidBuffers())
        return failWith("frame resources");
    if (!ensureBufferCapacity(&lightRanges, lightBytes, storageUsage) ||
        !ensureBufferCapacity(&lightLists, lightListBytes, storageUsage))
        return failWith("light bins");
    std::memcpy(frameUniforms.mapped, &uniforms, sizeof(uniforms));
    copyBytes(tileRanges.mapped, tileRangeData.data(), tileRangeData.size() * sizeof(gpu::Range));
    copyBytes(tileLists.mapped, tileListData.data(), tileListData.size() * 4);
    copyBytes(prismSeed.mapped, seedLevels.data(), seedLevels.size() * 4);
    auto* light = static_cast<std::uint8_t*>(lightRanges.mapped);
    std::memcpy(light, &lightHeader, sizeof(lightHeader));
    copyBytes(light + sizeof(lightHeader), lightCellRanges.data(), lightCellRanges.size() * sizeof(gpu::Range));
    copyBytes(lightLists.mapped, lightCellLists.data(), lightCellLists.size() * 4);

    // 5. Commands.
    const VkCommandBuffer commands = beginOneShot();
    if (!commands)
        return failWith("submit");
    writeDescriptors(*images);
    vk.vkCmdResetQueryPool(commands, queryPool, 0, 2);
    vk.vkCmdWriteTimestamp(commands, VK_PIPELINE_STAGE_TOP_OF_PIPE_BIT, queryPool, 0);
    for (const GpuImage* image : {&images->color, &images->depth, &images->normal})
        imageBarrier(commands, image->image, VK_IMAGE_LAYOUT_UNDEFINED, VK_IMAGE_LAYOUT_GENERAL, 1, 0,
                     VK_ACCESS_SHADER_WRITE_BIT, VK_PIPELINE_STAGE_TOP_OF_PIPE_BIT,
                     VK_PIPELINE_STAGE_COMPUTE_SHADER_BIT);
    PendingFrame next;
    if (seeding) {
        recordShellPass(commands, camera, seedLevels, *images, next);
        if (!next.seedFramebuffer) {
            vk.vkEndCommandBuffer(commands);
            vk.vkFreeCommandBuffers(context->device, commandPool, 1, &commands);
            releaseFrameResources(next);
            return failWith("frame resources");
        }
    } else {
        for (const GpuImage* image : {&images->seedDepth, &images->seedPrism})
            imageBarrier(commands, image->image, VK_IMAGE_LAYOUT_UNDEFINED, VK_IMAGE_LAYOUT_GENERAL, 1, 0,
                         VK_ACCESS_SHADER_READ_BIT, VK_PIPELINE_STAGE_TOP_OF_PIPE_BIT,
                         VK_PIPELINE_STAGE_COMPUTE_SHADER_BIT);
    }
    vk.vkCmdBindPipeline(commands, VK_PIPELINE_BIND_POINT_COMPUTE, pipeline);
    vk.vkCmdBindDescriptorSets(commands, VK_PIPELINE_BIND_POINT_COMPUTE, pipelineLayout, 0, 1, &descriptorSet, 0,
                               nullptr);
    vk.vkCmdDispatch(commands, groupCount(camera.width, QLMR_IMAGE_GROUP), groupCount(camera.height, QLMR_IMAGE_GROUP),
                     1);
    vk.vkCmdWriteTimestamp(commands, VK_PIPELINE_STAGE_COMPUTE_SHADER_BIT, queryPool, 1);
    if (view.frameHook) {
        for (const GpuImage* image : {&images->color, &images->depth, &images->normal})
            imageBarrier(commands, image->image, VK_IMAGE_LAYOUT_GENERAL, VK_IMAGE_LAYOUT_GENERAL, 1,
                         VK_ACCESS_SHADER_WRITE_BIT, VK_ACCESS_SHADER_READ_BIT, VK_PIPELINE_STAGE_COMPUTE_SHADER_BIT,
                         VK_PIPELINE_STAGE_COMPUTE_SHADER_BIT);
        view.frameHook(commands, *images);
    }
    if (readBack) {
        const std::pair<const GpuImage*, const GpuBuffer*> copies[] = {{&images->color, &images->colorReadback},
                                                                       {&images->depth, &images->depthReadback},
                                                                       {&images->normal, &images->normalReadback}};
        for (const auto& [image, buffer] : copies) {
            imageBarrier(commands, image->image, VK_IMAGE_LAYOUT_GENERAL, VK_IMAGE_LAYOUT_GENERAL, 1,
                         VK_ACCESS_SHADER_WRITE_BIT, VK_ACCESS_TRANSFER_READ_BIT,
                         VK_PIPELINE_STAGE_COMPUTE_SHADER_BIT, VK_PIPELINE_STAGE_TRANSFER_BIT);
            VkBufferImageCopy region{};
            region.imageSubresource = {VK_IMAGE_ASPECT_COLOR_BIT, 0, 0, 1};
            region.imageExtent = {camera.width, camera.height, 1};
            vk.vkCmdCopyImageToBuffer(commands, image->image, VK_IMAGE_LAYOUT_GENERAL, buffer->buffer, 1, &region);
        }
    }
    vk.vkEndCommandBuffer(commands);

    // 6. Submit; finishFrame waits.
    vk.vkResetFences(context->device, 1, &fence);
    VkSubmitInfo submit{};
    submit.sType = VK_STRUCTURE_TYPE_SUBMIT_INFO;
    submit.commandBufferCount = 1;
    submit.pCommandBuffers = &commands;
    if (vk.vkQueueSubmit(context->computeQueue, 1, &submit, fence) != VK_SUCCESS) {
        vk.vkFreeCommandBuffers(context->device, commandPool, 1, &commands);
        releaseFrameResources(next);
        return failWith("submit");
    }
    pending = std::move(next);
    pending.active = true;
    pending.frame = std::move(frame);
    pending.readBack = readBack;
    pending.commandBuffer = commands;
    pending.images = images;
    return true;
}

GpuFrame GpuRenderer::finishFrame()
{
    if (!pending.active)
        return GpuFrame{};
    PendingFrame taken = std::move(pending);
    pending = PendingFrame{};
    GpuFrame frame = std::move(taken.frame);
    const VulkanFunctions& vk = context->vk;
    if (vk.vkWaitForFences(context->device, 1, &fence, VK_TRUE, kNoTimeout) != VK_SUCCESS) {
        frame.ok = false;
        frame.error = "submit";
    }
    vk.vkFreeCommandBuffers(context->device, commandPool, 1, &taken.commandBuffer);
    releaseFrameResources(taken);
    if (frame.ok) {
        readTimestampMs(*context, queryPool, &frame.gpuMs);
    }
    if (frame.ok && taken.readBack) {
        const std::size_t pixels = std::size_t(frame.width) * frame.height;
        const auto* color = static_cast<const std::uint16_t*>(taken.images->colorReadback.mapped);
        const auto* normal = static_cast<const std::uint16_t*>(taken.images->normalReadback.mapped);
        frame.color.resize(pixels * 4);
        frame.normal.resize(pixels * 4);
        for (std::size_t i = 0; i < pixels * 4; ++i) {
            frame.color[i] = halfToFloat(color[i]);
            frame.normal[i] = halfToFloat(normal[i]);
        }
        frame.depth.resize(pixels);
        std::memcpy(frame.depth.data(), taken.images->depthReadback.mapped, pixels * 4);
    }
    return frame;
}

// ---- the shell raster seed pass

bool GpuRenderer::buildShellRaster()
{
    if (!context || !scene)
        return false;
    if (pending.active)
        finishFrame();
    std::vector<ShellVertex> vertices;
    buildShellMesh(*scene, options.shellLevels, shells, vertices);
    destroyBuffer(&shellVertices);
    if (!createBuffer(&shellVertices, vertices.size() * sizeof(ShellVertex), VK_BUFFER_USAGE_VERTEX_BUFFER_BIT))
        return false;
    copyBytes(shellVertices.mapped, vertices.data(), vertices.size() * sizeof(ShellVertex));
    // The pass and pipeline do not depend on the heights: built once.
    return shellPipeline.pipeline || createShellPipeline(*context, &shellPipeline);
}

std::vector<std::int32_t> GpuRenderer::prismSeedLevels(const Camera& camera) const
{
    std::vector<std::int32_t> levels(std::max<std::size_t>(1, prismList.size()), -1);
    if (!options.seedPass || !shellRasterBuilt())
        return levels;
    // A prism the camera stands in is never seeded: its hull would be seen
    // from inside. Nor is one whose box reaches past the hull (the unit
    // square, from height 0 up): a hit out there has no hull in front of it.
    for (std::size_t i = 0; i < prismList.size() && i < shells.size(); ++i) {
        const Prism& p = prismList[i];
        const bool wrapped = p.uMin >= 0.0f && p.uMax <= 1.0f && p.vMin >= 0.0f && p.vMax <= 1.0f && p.hMin >= 0.0f;
        if (shells[i].present() && wrapped && pointOutsidePrism(std::uint32_t(i), camera.position))
            levels[i] = std::int32_t(shells[i].level);
    }
    return levels;
}

void GpuRenderer::recordShellPass(VkCommandBuffer commands, const Camera& camera,
                                  const std::vector<std::int32_t>& seedLevels, const GpuOutputImages& images,
                                  PendingFrame& frame)
{
    const VulkanFunctions& vk = context->vk;
    if (!createImage(&frame.seedDepthBuffer, VK_FORMAT_D32_SFLOAT, camera.width, camera.height, 1,
                     VK_IMAGE_USAGE_DEPTH_STENCIL_ATTACHMENT_BIT, 0, VK_IMAGE_ASPECT_DEPTH_BIT))
        return;
    const VkImageView views[3] = {images.seedDepth.view, images.seedPrism.view, frame.seedDepthBuffer.view};
    VkFramebufferCreateInfo framebufferInfo{};
    framebufferInfo.sType = VK_STRUCTURE_TYPE_FRAMEBUFFER_CREATE_INFO;
    framebufferInfo.renderPass = shellPipeline.renderPass;
    framebufferInfo.attachmentCount = 3;
    framebufferInfo.pAttachments = views;
    framebufferInfo.width = camera.width;
    framebufferInfo.height = camera.height;
    framebufferInfo.layers = 1;
    if (vk.vkCreateFramebuffer(context->device, &framebufferInfo, nullptr, &frame.seedFramebuffer) != VK_SUCCESS) {
        frame.seedFramebuffer = VK_NULL_HANDLE;
        return;
    }

    VkClearValue clears[3]{};
    clears[0].color.float32[0] = 1e30f;
    clears[1].color.uint32[0] = 4294967295u;
    clears[2].depthStencil = {1.0f, 0};
    VkRenderPassBeginInfo begin{};
    begin.sType = VK_STRUCTURE_TYPE_RENDER_PASS_BEGIN_INFO;
    begin.renderPass = shellPipeline.renderPass;
    begin.framebuffer = frame.seedFramebuffer;
    begin.renderArea = {{0, 0}, {camera.width, camera.height}};
    begin.clearValueCount = 3;
    begin.pClearValues = clears;
    vk.vkCmdBeginRenderPass(commands, &begin, VK_SUBPASS_CONTENTS_INLINE);
    vk.vkCmdBindPipeline(commands, VK_PIPELINE_BIND_POINT_GRAPHICS, shellPipeline.pipeline);
    const VkViewport viewport{0.0f, 0.0f, float(camera.width), float(camera.height), 0.0f, 1.0f};
    const VkRect2D scissor{{0, 0}, {camera.width, camera.height}};
    vk.vkCmdSetViewport(commands, 0, 1, &viewport);
    vk.vkCmdSetScissor(commands, 0, 1, &scissor);
    ShellPush push{};
    const std::array<float, 16> viewProj = rasterViewProjection(camera);
    std::copy(viewProj.begin(), viewProj.end(), push.viewProj);
    push.camPos[0] = camera.position.x;
    push.camPos[1] = camera.position.y;
    push.camPos[2] = camera.position.z;
    vk.vkCmdPushConstants(commands, shellPipeline.layout, VK_SHADER_STAGE_VERTEX_BIT | VK_SHADER_STAGE_FRAGMENT_BIT, 0,
                          sizeof(push), &push);
    const VkDeviceSize offset = 0;
    vk.vkCmdBindVertexBuffers(commands, 0, 1, &shellVertices.buffer, &offset);
    for (std::size_t i = 0; i < shells.size() && i < seedLevels.size(); ++i)
        if (seedLevels[i] >= 0 && shells[i].vertexCount > 0)
            vk.vkCmdDraw(commands, shells[i].vertexCount, 1, shells[i].firstVertex, 0);
    vk.vkCmdEndRenderPass(commands);
    VkMemoryBarrier barrier{};
    barrier.sType = VK_STRUCTURE_TYPE_MEMORY_BARRIER;
    barrier.srcAccessMask = VK_ACCESS_COLOR_ATTACHMENT_WRITE_BIT;
    barrier.dstAccessMask = VK_ACCESS_SHADER_READ_BIT;
    vk.vkCmdPipelineBarrier(commands, VK_PIPELINE_STAGE_COLOR_ATTACHMENT_OUTPUT_BIT,
                            VK_PIPELINE_STAGE_COMPUTE_SHADER_BIT, 0, 1, &barrier, 0, nullptr, 0, nullptr);
}

void GpuRenderer::releaseFrameResources(PendingFrame& frame)
{
    if (frame.seedFramebuffer)
        context->vk.vkDestroyFramebuffer(context->device, frame.seedFramebuffer, nullptr);
    frame.seedFramebuffer = VK_NULL_HANDLE;
    destroyImage(&frame.seedDepthBuffer);
}

GpuFrame GpuRenderer::render(const Camera& camera, const RenderSettings& settings, const GpuViewData& view,
                             float value0, float value1, bool modeSwitch, bool readBack)
{
    GpuFrame failed;
    if (!recordFrame(camera, settings, view, value0, value1, modeSwitch, readBack, &failed))
        return failed;
    return finishFrame();
}

} // namespace qlmr
