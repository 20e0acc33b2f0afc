#include "gpu/sdna_gpu_run.h"

#include "gpu/embedded_shaders.h"
#include "gpu/one_shot_compute.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <string>

namespace qlmr {

namespace {

using gpu_layout::vec4;

vec4 withW(const std::array<float, 3>& v, float w) { return {v[0], v[1], v[2], w}; }
std::array<float, 3> toArray(Vec3 v) { return {v.x, v.y, v.z}; }

template <typename T>
ComputeBuffer input(std::vector<T>& items)
{
    return {items.data(), items.size() * sizeof(T), false, false};
}

template <typename T>
ComputeBuffer uniform(T& block)
{
    return {&block, sizeof(T), false, true};
}

template <typename T>
ComputeBuffer output(std::vector<T>& items)
{
    return {items.data(), items.size() * sizeof(T), true, false};
}

// Why the brick kernel cannot read `bricks` safely: it indexes the grid by
// the block coordinates within gridSize and the brick records by a grid
// entry's index, neither checked on the device. Empty when it can, and for
// a cache without brick records, which binds none of its own.
std::string brickCacheError(const Bricks& bricks)
{
    if (bricks.bricks.empty())
        return {};
    if (bricks.grid.size() < bricks.gridEntryCount())
        return "brick grid of " + std::to_string(bricks.grid.size()) + " entries is smaller than its " +
            std::to_string(bricks.gridSize[0]) + "x" + std::to_string(bricks.gridSize[1]) + "x" +
            std::to_string(bricks.gridSize[2]) + " blocks";
    for (const BrickGridEntry& entry : bricks.grid)
        if (entry.index < kBrickNotBuilt && entry.index >= bricks.bricks.size())
            return "brick grid entry names brick " + std::to_string(entry.index) + " of " +
                std::to_string(bricks.bricks.size());
    return {};
}

} // namespace

SdnaGpuView sdnaGpuView(const ProgramCamera& camera)
{
    SdnaGpuView view;
    view.position = toArray(camera.position);
    view.forward = toArray(camera.forward);
    view.right = toArray(camera.right);
    view.up = toArray(camera.up);
    view.params = {camera.tanHalfFov, camera.aspect, camera.pixelSpread, 0.0f};
    const float sunNorm = std::sqrt(1.0125f);
    view.sunDir = {0.5f / sunNorm, 0.8f / sunNorm, 0.35f / sunNorm};
    return view;
}

SdnaGpuBuffers packSdnaGpuBuffers(const SdnaProgram& program, std::span<const BonePose> pose,
                                  const SdnaGpuView& view, std::uint32_t width, std::uint32_t height,
                                  const Bricks* bricks, std::uint32_t brickMode, const ProgramBounds* bounds)
{
    SdnaGpuBuffers buffers;
    const std::size_t count = program.instructions.size();
    if (bounds != nullptr) {
        buffers.code = packProgramWithBounds(program, *bounds);
    } else {
        buffers.code.resize(count);
        if (count > 0)
            std::memcpy(static_cast<void*>(buffers.code.data()), program.instructions.data(), count * sizeof(SdnaInstruction));
    }
    // A zero-sized storage buffer cannot be bound: an empty program still
    // uploads one entry, which the kernel never reads.
    if (buffers.code.empty())
        buffers.code.resize(1);

    buffers.pose.resize(2 * std::max<std::size_t>(1, pose.size()));
    for (std::size_t i = 0; i < pose.size(); ++i) {
        const BonePose& p = pose[i];
        buffers.pose[2 * i] = {p.rotation[0], p.rotation[1], p.rotation[2], p.rotation[3]};
        buffers.pose[2 * i + 1] = withW(p.position, p.scale);
    }

    buffers.program.dims = {static_cast<std::uint32_t>(count), static_cast<std::uint32_t>(pose.size()), 0, 0};
    buffers.program.lo = withW(program.boundsMin, 0.0f);
    buffers.program.hi = withW(program.boundsMax, 0.0f);

    buffers.frame.camPos = withW(view.position, 0.0f);
    buffers.frame.camForward = withW(view.forward, 0.0f);
    buffers.frame.camRight = withW(view.right, 0.0f);
    buffers.frame.camUp = withW(view.up, 0.0f);
    buffers.frame.params = {view.params[0], view.params[1], view.params[2], view.params[3]};
    buffers.frame.sunDir = withW(view.sunDir, 0.0f);
    buffers.frame.dims = {static_cast<std::int32_t>(width), static_cast<std::int32_t>(height), 0, 0};

    buffers.materials.resize(std::max<std::size_t>(1, program.materials.size()));
    for (std::size_t i = 0; i < program.materials.size(); ++i) {
        const SdnaMaterial& m = program.materials[i];
        buffers.materials[i] = {m.red, m.green, m.blue, m.roughness};
    }

    if (bricks != nullptr) {
        const bool hasRecords = !bricks->bricks.empty();
        if (hasRecords) {
            buffers.brickGrid = bricks->grid;
            buffers.brickData = bricks->bricks;
            buffers.brickParams.dims = {bricks->gridSize[0], bricks->gridSize[1], bricks->gridSize[2], 0};
        } else {
            buffers.brickGrid.assign(1, BrickGridEntry{kBrickNotBuilt, -std::numeric_limits<float>::infinity()});
            buffers.brickData.assign(1, BrickRecord{});
        }
        buffers.brickParams.params = {bricks->cellSize, bricks->lipschitz, brickMode == 1 ? 1.0f : 0.0f, 0.0f};
    }
    return buffers;
}

bool sdnaBrickWalkInDouble(const VulkanContext& context)
{
    return context.shaderFloat64;
}

GpuFrame renderSdnaGpu(VulkanContext& context, const SdnaProgram& program, std::span<const BonePose> pose,
                       const SdnaGpuView& view, std::uint32_t width, std::uint32_t height, const Bricks* bricks,
                       std::uint32_t brickMode, const ProgramBounds* bounds)
{
    GpuFrame frame;
    frame.width = width;
    frame.height = height;
    const std::size_t pixels = static_cast<std::size_t>(width) * height;
    if (pixels == 0) {
        frame.error = "empty image";
        return frame;
    }
    if (bricks != nullptr) {
        frame.error = brickCacheError(*bricks);
        if (!frame.error.empty())
            return frame;
    }
    frame.color.assign(pixels * 4, 0.0f);
    frame.depth.assign(pixels, 0.0f);
    frame.normal.assign(pixels * 4, 0.0f);
    frame.status.assign(pixels, 0u);

    SdnaGpuBuffers buffers = packSdnaGpuBuffers(program, pose, view, width, height, bricks, brickMode, bounds);
    const ComputeBuffer list[] = {
        input(buffers.code),       input(buffers.pose),      uniform(buffers.program),
        uniform(buffers.frame),    input(buffers.materials), output(frame.color),
        output(frame.depth),       output(frame.normal),     output(frame.status),
        input(buffers.brickGrid),  input(buffers.brickData), uniform(buffers.brickParams),
    };
    const bool withBricks = bricks != nullptr;
    const SpirvCode shader = !withBricks                      ? sdnaPlainShader()
                             : sdnaBrickWalkInDouble(context) ? sdnaBricksF64Shader()
                                                              : sdnaBricksShader();
    const std::span<const ComputeBuffer> used(list, withBricks ? 12 : 9);

    const ComputeResult run = runCompute(context, shader, used, groupCount(width, QLMR_SDNA_GROUP_SIZE),
                                          groupCount(height, QLMR_SDNA_GROUP_SIZE));
    frame.ok = run.ok;
    frame.error = run.error;
    frame.gpuMs = run.gpuMs;
    frame.hostMs = run.hostMs;
    frame.bufferBytes = run.bufferBytes;
    frame.deviceLocalBytes = run.deviceLocalBytes;
    return frame;
}

GpuFrame renderSdnaGpu(GpuFrame& result, VulkanContext& context, const SdnaProgram& program,
                       std::span<const BonePose> pose, const SdnaGpuView& view, std::uint32_t width,
                       std::uint32_t height, const Bricks* bricks, std::uint32_t brickMode,
                       const ProgramBounds* bounds)
{
    result = renderSdnaGpu(context, program, pose, view, width, height, bricks, brickMode, bounds);
    return result;
}

} // namespace qlmr
