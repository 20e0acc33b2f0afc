#pragma once

// Draws every prism's height field at one level of detail as an ordinary
// triangle mesh through a classic graphics pipeline, into the same colour,
// depth and normal images the compute tracer returns. It serves as an
// independent reference for the tracer. Used by one thread at a time.

#include "gpu/gpu_renderer.h"
#include "gpu/vulkan_context.h"
#include "scene/camera.h"
#include "scene/scene.h"
#include "scene/settings.h"

#include <array>
#include <cstdint>
#include <string>
#include <vector>

namespace qlmr {

// One mesh vertex: world position, world normal, RGBA8 colour (red in the low byte).
struct MeshVertex {
    float position[3];
    float normal[3];
    std::uint32_t color;
    std::uint32_t padding;
};
static_assert(sizeof(MeshVertex) == 32);

// Every prism's field as triangles: per prism a (w + 1) x (h + 1) vertex grid
// over the field's level L = min(levels - 1, lod), sample x at u = x / w
// (clamped or wrapped like the field), two triangles per cell, 32-bit indices.
struct FieldMesh {
    std::vector<MeshVertex> vertices;
    std::vector<std::uint32_t> indices;
};
FieldMesh buildFieldMesh(const Scene& scene, std::uint32_t lod);

// The push block of the mesh shaders (112 bytes).
struct MeshPush {
    float viewProj[16]; // row-major
    float camPos[4];
    float sunDir[4];    // w = fog density
    float sunColor[4];
};
static_assert(sizeof(MeshPush) == 112);

// Row-major perspective view-projection of the raster passes: near plane
// 0.05, far plane about 10000, image rows running downwards.
std::array<float, 16> rasterViewProjection(const Camera& camera);

// binary16 to binary32 with subnormals flushed to a zero of the same sign.
float halfToFloatFlush(std::uint16_t half);

class MeshRasterizer {
public:
    MeshRasterizer() = default;
    ~MeshRasterizer();
    MeshRasterizer(const MeshRasterizer&) = delete;
    MeshRasterizer& operator=(const MeshRasterizer&) = delete;

    // Builds and uploads the mesh of `scene` at level of detail `lod` and the
    // pipeline. Runs once: a second init is refused.
    bool init(VulkanContext& context, const Scene& scene, std::uint32_t lod, std::string* error);
    // Draws the mesh for the camera; colour, depth (distance from the camera,
    // +infinity where no triangle was drawn) and normal are read back.
    GpuFrame render(const Camera& camera, const RenderSettings& settings);

    std::uint64_t vertexCount() const { return vertices; }
    std::uint64_t indexCount() const { return indices; }
    std::uint64_t meshBytes() const { return vertices * sizeof(MeshVertex) + indices * 4; }

    // ---- the rasterizer's resources; each needs the context given to init
    // (false without one). Creating (or uploading) into a record that still
    // holds a buffer or image releases that one first.

    // At least 16 bytes: host-visible buffers in HOST_VISIBLE | HOST_COHERENT
    // memory, mapped for their life; the others DEVICE_LOCAL and not mapped.
    bool createBuffer(GpuBuffer* buffer, std::uint64_t bytes, VkBufferUsageFlags usage, bool hostVisible);
    void destroyBuffer(GpuBuffer* buffer);
    bool createImage(GpuImage* image, VkFormat format, std::uint32_t width, std::uint32_t height,
                     VkImageUsageFlags usage, VkImageAspectFlags aspect);
    void destroyImage(GpuImage* image);
    // Copies `bytes` of data into a new device-local buffer (usage plus
    // TRANSFER_DST) through a host-visible staging buffer and one submission;
    // false, with nothing made, for bytes without data.
    bool uploadMesh(GpuBuffer* destination, const void* data, std::uint64_t bytes, VkBufferUsageFlags usage);

private:
    // Attachments and read-back buffers of one frame size.
    struct FrameTargets {
        std::uint32_t width = 0, height = 0;
        GpuImage color, normal, depthValue, depthBuffer;
        GpuBuffer colorReadback, normalReadback, depthReadback;
        VkFramebuffer framebuffer = VK_NULL_HANDLE;
    };

    bool createRenderPass();
    bool createPipeline();
    bool ensureTargets(std::uint32_t width, std::uint32_t height);
    void destroyTargets();

    VulkanContext* context = nullptr;
    GpuBuffer vertexBuffer, indexBuffer;
    VkRenderPass renderPass = VK_NULL_HANDLE;
    VkPipelineLayout pipelineLayout = VK_NULL_HANDLE;
    VkPipeline pipeline = VK_NULL_HANDLE;
    VkShaderModule vertexModule = VK_NULL_HANDLE;
    VkShaderModule fragmentModule = VK_NULL_HANDLE;
    VkCommandPool commandPool = VK_NULL_HANDLE;
    VkFence fence = VK_NULL_HANDLE;
    VkQueryPool queryPool = VK_NULL_HANDLE;
    FrameTargets targets;
    std::uint64_t vertices = 0;
    std::uint64_t indices = 0;
};

} // namespace qlmr
