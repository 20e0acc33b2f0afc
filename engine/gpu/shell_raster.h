#pragma once

// The shell hull of the GPU renderer's seed pass: for every prism a coarse,
// closed, conservative hull of its height field (top surface through the
// maximum heights of a coarse bounds level, side walls and a bottom), and
// the Vulkan render pass and pipeline that rasterize it into the per-pixel
// seed distance and seed prism the field tracer starts its march from.

#include "gpu/vulkan_context.h"
#include "scene/camera.h"
#include "scene/scene.h"

#include <array>
#include <cstdint>
#include <vector>

namespace qlmr {

// One prism's hull: bounds level L, its grid of gw x gh cells, the
// (gw + 1) x (gh + 1) corner heights (row-major, 0..1) and where its
// triangles lie in the shell vertex list. Prisms without a field of at least
// two levels keep an empty record (no vertices).
struct ShellRecord {
    std::uint32_t level = 0;
    std::uint32_t gridWidth = 0;
    std::uint32_t gridHeight = 0;
    std::vector<float> corners;
    std::uint32_t firstVertex = 0;
    std::uint32_t vertexCount = 0;

    bool present() const { return gridWidth != 0; }
    float corner(std::uint32_t x, std::uint32_t y) const { return corners[std::size_t(y) * (gridWidth + 1) + x]; }
};

// One hull vertex: world position and the prism it belongs to (16 bytes).
struct ShellVertex {
    float position[3];
    std::uint32_t prism;
};
static_assert(sizeof(ShellVertex) == 16);

// The push block of the shell shaders (80 bytes): row-major view-projection
// and the camera position.
struct ShellPush {
    float viewProj[16];
    float camPos[4];
};
static_assert(sizeof(ShellPush) == 80);

// The bounds level of a field's hull: shellLevels above the coarsest level,
// kept within 1 .. levels - 1.
std::uint32_t shellLevel(std::uint32_t levels, std::uint32_t shellLevels);

// Height (0..1) of hull corner (x, y), 0 <= x <= level width, 0 <= y <=
// level height, of a field of at least two levels at bounds level `level`.
float shellCornerHeight(const DisplacementField& field, std::uint32_t level, std::uint32_t x, std::uint32_t y);

// Builds the hulls of every prism in scene order into records and vertices.
void buildShellMesh(const Scene& scene, std::uint32_t shellLevels, std::vector<ShellRecord>& records,
                    std::vector<ShellVertex>& vertices);

// The pipeline objects of the shell raster pass.
struct ShellPipeline {
    VkRenderPass renderPass = VK_NULL_HANDLE;
    VkPipelineLayout layout = VK_NULL_HANDLE;
    VkPipeline pipeline = VK_NULL_HANDLE;
};

// Render pass (seed distance R32_SFLOAT, seed prism R32_UINT, depth D32_SFLOAT;
// the two seed images end in GENERAL layout for the tracer) and graphics
// pipeline; false when any of them cannot be made (nothing is left behind).
bool createShellPipeline(VulkanContext& context, ShellPipeline* pipeline);
void destroyShellPipeline(VulkanContext& context, ShellPipeline* pipeline);

} // namespace qlmr
