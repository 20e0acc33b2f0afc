#pragma once

// Shape-program GPU runs: one posed program rendered into an image by a
// sphere-tracing kernel, through one one-shot compute run. The kernel shades
// each pixel as the processor render worker does, so the two images can be
// compared pixel by pixel.

#include "gpu/gpu_renderer.h"
#include "gpu/sdna_gpu_layout.h"
#include "gpu/vulkan_context.h"
#include "scene/camera.h"
#include "sdna/bricks.h"
#include "sdna/program.h"
#include "sdna/program_packing.h"

#include <array>
#include <cstdint>
#include <span>
#include <vector>

namespace qlmr {

// The view record of a run, 19 floats.
struct SdnaGpuView {
    std::array<float, 3> position{};
    std::array<float, 3> forward{};
    std::array<float, 3> right{};
    std::array<float, 3> up{};
    // Handed to the kernel unchanged: (tan of half the vertical field of
    // view, aspect ratio, pixel footprint, 0).
    std::array<float, 4> params{};
    std::array<float, 3> sunDir{};
};
static_assert(sizeof(SdnaGpuView) == 19 * sizeof(float));

// The view record of a program camera, lit from normalize(0.5, 0.8, 0.35)
// exactly as the processor render worker lights its images.
SdnaGpuView sdnaGpuView(const ProgramCamera& camera);

// The host copies of every buffer a run uploads, in binding order.
struct SdnaGpuBuffers {
    // The packed stream (instructions, then culling records) with a bounds
    // analysis, else the instructions as they are.
    std::vector<SdnaPackedEntry> code;
    std::vector<gpu_layout::vec4> pose;       // two per bone pose; at least one zeroed pose
    gpu_layout::SdnaProgramUniforms program;
    gpu_layout::SdnaFrame frame;
    std::vector<gpu_layout::vec4> materials;  // one per material; at least one zeroed entry
    // Brick kernel only.
    std::vector<BrickGridEntry> brickGrid;    // one not-built entry when there are no bricks
    std::vector<BrickRecord> brickData;       // one zeroed record when there are no bricks
    gpu_layout::SdnaBrickParams brickParams;
};

// Lays out the buffers of a run. `bounds` may be null (no culling records);
// `bricks` may be null (the brick buffers are then left empty).
SdnaGpuBuffers packSdnaGpuBuffers(const SdnaProgram& program, std::span<const BonePose> pose,
                                  const SdnaGpuView& view, std::uint32_t width, std::uint32_t height,
                                  const Bricks* bricks, std::uint32_t brickMode, const ProgramBounds* bounds);

// Whether the brick kernel walks in double precision, step for step as the
// processor does, on this context's device: where it offers shaderFloat64
// (the context then enables it). Elsewhere the walk runs in single precision
// with widened margins.
bool sdnaBrickWalkInDouble(const VulkanContext& context);

// Renders the posed program on the context's opened device: the plain kernel
// without bricks, the brick kernel with them. The frame's colour is linear
// with the pixel's primary step count in the fourth channel; depth is t or
// 1e30 on a miss; normal is the unit normal with the material index (0 on a
// miss) in the fourth channel; status is the primary trace's status (0 miss,
// 1 hit, 2 uncertain). Failures of the run come back as ok false with its
// message; so does a brick cache with brick records whose grid holds fewer
// entries than its gridSize blocks, or an entry naming a brick it does not
// hold (the kernel would read past either buffer), before anything runs.
GpuFrame renderSdnaGpu(VulkanContext& context, const SdnaProgram& program, std::span<const BonePose> pose,
                       const SdnaGpuView& view, std::uint32_t width, std::uint32_t height, const Bricks* bricks,
                       std::uint32_t brickMode, const ProgramBounds* bounds);
// The same, rendered into `result` (replacing all of it); returns a copy of it.
GpuFrame renderSdnaGpu(GpuFrame& result, VulkanContext& context, const SdnaProgram& program,
                       std::span<const BonePose> pose, const SdnaGpuView& view, std::uint32_t width,
                       std::uint32_t height, const Bricks* bricks, std::uint32_t brickMode,
                       const ProgramBounds* bounds);

} // namespace qlmr
