#include "gpu/shell_raster.h"

#include "gpu/gpu_resources.h"
#include "gpu/gpu_tracer_shaders.h"

#include <algorithm>

namespace qlmr {

std::uint32_t shellLevel(std::uint32_t levels, std::uint32_t shellLevels)
{
    const std::int64_t level = std::int64_t(levels) - 1 - std::int64_t(shellLevels);
    return std::uint32_t(std::clamp<std::int64_t>(level, 1, std::max<std::int64_t>(std::int64_t(levels) - 1, 1)));
}

float shellCornerHeight(const DisplacementField& field, std::uint32_t level, std::uint32_t x, std::uint32_t y)
{
    // The largest maximum of the up to four cells that touch the corner, so
    // the hull over a cell lies above every node it covers.
    const std::uint32_t gw = field.levelWidth(level), gh = field.levelHeight(level);
    std::uint32_t highest = 0;
    for (std::uint32_t cy = (y == 0 ? 0 : y - 1); cy <= std::min(y, gh - 1); ++cy)
        for (std::uint32_t cx = (x == 0 ? 0 : x - 1); cx <= std::min(x, gw - 1); ++cx)
            highest = std::max(highest, field.boundsAt(level, cx, cy) >> 16);
    return float(highest) * (1.0f / 65535.0f);
}

namespace {

// Appends the two triangles of quad a, b, c, d (in order around it).
void addQuad(std::vector<ShellVertex>& out, const Vec3& a, const Vec3& b, const Vec3& c, const Vec3& d,
             std::uint32_t prism)
{
    for (const Vec3* p : {&a, &b, &c, &a, &c, &d})
        out.push_back({{p->x, p->y, p->z}, prism});
}

} // namespace

void buildShellMesh(const Scene& scene, std::uint32_t shellLevels, std::vector<ShellRecord>& records,
                    std::vector<ShellVertex>& vertices)
{
    records.assign(scene.prisms.size(), ShellRecord{});
    vertices.clear();
    for (std::size_t i = 0; i < scene.prisms.size(); ++i) {
        const Prism& prism = scene.prisms[i];
        if (prism.fieldIndex >= scene.fields.size())
            continue;
        const DisplacementField& field = scene.fields[prism.fieldIndex];
        if (field.levels < 2)
            continue;
        ShellRecord& record = records[i];
        const std::uint32_t level = shellLevel(field.levels, shellLevels);
        const std::uint32_t gw = field.levelWidth(level), gh = field.levelHeight(level);
        record.level = level;
        record.gridWidth = gw;
        record.gridHeight = gh;

        record.corners.assign(std::size_t(gw + 1) * (gh + 1), 0.0f);
        for (std::uint32_t y = 0; y <= gh; ++y)
            for (std::uint32_t x = 0; x <= gw; ++x)
                record.corners[std::size_t(y) * (gw + 1) + x] = shellCornerHeight(field, level, x, y);

        const std::uint32_t prismIndex = std::uint32_t(i);
        auto at = [&](std::uint32_t x, std::uint32_t y, float h) {
            return prism.origin + prism.axisU * (float(x) / float(gw)) + prism.axisV * (float(y) / float(gh)) +
                prism.axisH * h;
        };
        auto top = [&](std::uint32_t x, std::uint32_t y) { return at(x, y, record.corner(x, y)); };
        auto base = [&](std::uint32_t x, std::uint32_t y) { return at(x, y, 0.0f); };
        record.firstVertex = std::uint32_t(vertices.size());
        for (std::uint32_t y = 0; y < gh; ++y)
            for (std::uint32_t x = 0; x < gw; ++x)
                addQuad(vertices, top(x, y), top(x + 1, y), top(x + 1, y + 1), top(x, y + 1), prismIndex);
        // Side walls from the border corners down to height 0.
        for (std::uint32_t x = 0; x < gw; ++x) {
            addQuad(vertices, base(x, 0), base(x + 1, 0), top(x + 1, 0), top(x, 0), prismIndex);
            addQuad(vertices, base(x, gh), top(x, gh), top(x + 1, gh), base(x + 1, gh), prismIndex);
        }
        for (std::uint32_t y = 0; y < gh; ++y) {
            addQuad(vertices, base(0, y), top(0, y), top(0, y + 1), base(0, y + 1), prismIndex);
            addQuad(vertices, base(gw, y), base(gw, y + 1), top(gw, y + 1), top(gw, y), prismIndex);
        }
        // The bottom closes the hull.
        addQuad(vertices, base(0, 0), base(0, gh), base(gw, gh), base(gw, 0), prismIndex);
        record.vertexCount = std::uint32_t(vertices.size()) - record.firstVertex;
    }
}

bool createShellPipeline(VulkanContext& context, ShellPipeline* out)
{
    const VulkanFunctions& vk = context.vk;
    const VkDevice device = context.device;
    *out = ShellPipeline{};

    VkAttachmentDescription attachments[3]{};
    const VkFormat formats[3] = {VK_FORMAT_R32_SFLOAT, VK_FORMAT_R32_UINT, VK_FORMAT_D32_SFLOAT};
    for (int i = 0; i < 3; ++i) {
        attachments[i].format = formats[i];
        attachments[i].samples = VK_SAMPLE_COUNT_1_BIT;
        attachments[i].loadOp = VK_ATTACHMENT_LOAD_OP_CLEAR;
        attachments[i].storeOp = i < 2 ? VK_ATTACHMENT_STORE_OP_STORE : VK_ATTACHMENT_STORE_OP_DONT_CARE;
        attachments[i].stencilLoadOp = VK_ATTACHMENT_LOAD_OP_DONT_CARE;
        attachments[i].stencilStoreOp = VK_ATTACHMENT_STORE_OP_DONT_CARE;
        attachments[i].initialLayout = VK_IMAGE_LAYOUT_UNDEFINED;
        // The tracer reads the seed images as storage images.
        attachments[i].finalLayout = i < 2 ? VK_IMAGE_LAYOUT_GENERAL : VK_IMAGE_LAYOUT_DEPTH_STENCIL_ATTACHMENT_OPTIMAL;
    }
    const VkAttachmentReference colorRefs[2] = {{0, VK_IMAGE_LAYOUT_COLOR_ATTACHMENT_OPTIMAL},
                                                {1, VK_IMAGE_LAYOUT_COLOR_ATTACHMENT_OPTIMAL}};
    const VkAttachmentReference depthRef{2, VK_IMAGE_LAYOUT_DEPTH_STENCIL_ATTACHMENT_OPTIMAL};
    VkSubpassDescription subpass{};
    subpass.pipelineBindPoint = VK_PIPELINE_BIND_POINT_GRAPHICS;
    subpass.colorAttachmentCount = 2;
    subpass.pColorAttachments = colorRefs;
    subpass.pDepthStencilAttachment = &depthRef;
    // The tracer of the previous frame may still read the seed images.
    VkSubpassDependency dependencies[2]{};
    dependencies[0].srcSubpass = VK_SUBPASS_EXTERNAL;
    dependencies[0].dstSubpass = 0;
    dependencies[0].srcStageMask = VK_PIPELINE_STAGE_COMPUTE_SHADER_BIT;
    dependencies[0].dstStageMask =
        VK_PIPELINE_STAGE_COLOR_ATTACHMENT_OUTPUT_BIT | VK_PIPELINE_STAGE_EARLY_FRAGMENT_TESTS_BIT;
    dependencies[0].srcAccessMask = VK_ACCESS_SHADER_READ_BIT;
    dependencies[0].dstAccessMask =
        VK_ACCESS_COLOR_ATTACHMENT_WRITE_BIT | VK_ACCESS_DEPTH_STENCIL_ATTACHMENT_WRITE_BIT;
    dependencies[1].srcSubpass = 0;
    dependencies[1].dstSubpass = VK_SUBPASS_EXTERNAL;
    dependencies[1].srcStageMask = VK_PIPELINE_STAGE_COLOR_ATTACHMENT_OUTPUT_BIT;
    dependencies[1].dstStageMask = VK_PIPELINE_STAGE_COMPUTE_SHADER_BIT;
    dependencies[1].srcAccessMask = VK_ACCESS_COLOR_ATTACHMENT_WRITE_BIT;
    dependencies[1].dstAccessMask = VK_ACCESS_SHADER_READ_BIT;
    VkRenderPassCreateInfo passInfo{};
    passInfo.sType = VK_STRUCTURE_TYPE_RENDER_PASS_CREATE_INFO;
    passInfo.attachmentCount = 3;
    passInfo.pAttachments = attachments;
    passInfo.subpassCount = 1;
    passInfo.pSubpasses = &subpass;
    passInfo.dependencyCount = 2;
    passInfo.pDependencies = dependencies;
    if (vk.vkCreateRenderPass(device, &passInfo, nullptr, &out->renderPass) != VK_SUCCESS) {
        out->renderPass = VK_NULL_HANDLE;
        return false;
    }

    VkPushConstantRange push{};
    push.stageFlags = VK_SHADER_STAGE_VERTEX_BIT | VK_SHADER_STAGE_FRAGMENT_BIT;
    push.size = sizeof(ShellPush);
    VkPipelineLayoutCreateInfo layoutInfo{};
    layoutInfo.sType = VK_STRUCTURE_TYPE_PIPELINE_LAYOUT_CREATE_INFO;
    layoutInfo.pushConstantRangeCount = 1;
    layoutInfo.pPushConstantRanges = &push;
    if (vk.vkCreatePipelineLayout(device, &layoutInfo, nullptr, &out->layout) != VK_SUCCESS) {
        out->layout = VK_NULL_HANDLE;
        destroyShellPipeline(context, out);
        return false;
    }

    const SpirvCode codes[2] = {shellVertexShader(), shellFragmentShader()};
    VkShaderModule modules[2] = {VK_NULL_HANDLE, VK_NULL_HANDLE};
    // Both are tried; whichever was made is destroyed after the pipeline.
    bool modulesOk = true;
    for (int i = 0; i < 2; ++i)
        modulesOk = createShaderModule(context, codes[i], &modules[i]) == VK_SUCCESS && modulesOk;
    const VkVertexInputAttributeDescription attributes[2] = {{0, 0, VK_FORMAT_R32G32B32_SFLOAT, 0},
                                                             {1, 0, VK_FORMAT_R32_UINT, 12}};
    VkPipelineColorBlendAttachmentState blend[2]{};
    for (VkPipelineColorBlendAttachmentState& b : blend)
        b.colorWriteMask = VK_COLOR_COMPONENT_R_BIT;
    // Both faces are drawn: the nearest hull surface is wanted whichever way it faces.
    GraphicsPipelineSpec spec;
    spec.vertexModule = modules[0];
    spec.fragmentModule = modules[1];
    spec.binding = {0, sizeof(ShellVertex), VK_VERTEX_INPUT_RATE_VERTEX};
    spec.attributes = attributes;
    spec.blends = blend;
    spec.layout = out->layout;
    spec.renderPass = out->renderPass;
    const bool created = modulesOk && createGraphicsPipeline(context, spec, &out->pipeline) == VK_SUCCESS;
    for (VkShaderModule module : modules)
        if (module)
            vk.vkDestroyShaderModule(device, module, nullptr);
    if (!created) {
        destroyShellPipeline(context, out);
        return false;
    }
    return true;
}

void destroyShellPipeline(VulkanContext& context, ShellPipeline* pipeline)
{
    const VulkanFunctions& vk = context.vk;
    destroyHandle(context, vk.vkDestroyPipeline, pipeline->pipeline);
    destroyHandle(context, vk.vkDestroyPipelineLayout, pipeline->layout);
    destroyHandle(context, vk.vkDestroyRenderPass, pipeline->renderPass);
}

} // namespace qlmr
