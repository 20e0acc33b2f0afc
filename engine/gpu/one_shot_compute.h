#pragma once

#include "gpu/dispatch_grid.h"
#include "gpu/gpu_resources.h"

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

namespace qlmr {

// Push-constant bytes of a run; none when bytes is 0.
struct PushConstants {
    const void* data = nullptr;
    std::uint32_t bytes = 0;
};

// One buffer of a run. Its binding is its position in the list, in set 0.
// The caller owns the memory behind data.
struct ComputeBuffer {
    void* data = nullptr;
    std::uint64_t bytes = 0;
    bool readBack = false;  // copy back into data after a successful run
    bool uniform = false;   // uniform buffer; otherwise a storage buffer
};

struct ComputeResult {
    bool ok = false;
    std::string error;
    double gpuMs = 0.0;             // between the two timestamps; 0 when unreadable
    double hostMs = 0.0;            // spent creating the pipeline
    std::uint64_t bufferBytes = 0;  // allocation sizes of all buffers
    std::uint64_t deviceLocalBytes = 0;
};

// Why `push` cannot be pushed on the context's device: bytes without data,
// a size that is not whole words, or more than its maxPushConstantsSize.
// Empty when it can (no push constants always can).
std::string pushConstantsError(const VulkanContext& context, PushConstants push);

// Runs one compute shader once (groupsX x groupsY x 1 workgroups, entry
// "main") on the context's opened device: creates every object it needs,
// copies the buffers in, dispatches between two timestamps, waits, copies the
// read-back buffers out and destroys everything again. A grid beyond the
// device's maxComputeWorkGroupCount, an empty buffer ("<kind> buffer <i> is
// empty"), a buffer without data ("<kind> buffer <i> has no data"), a
// buffer larger than the device's maxStorageBufferRange
// (maxUniformBufferRange for a uniform buffer), or push constants that
// pushConstantsError refuses, is refused before anything is created.
ComputeResult runCompute(VulkanContext& context, SpirvCode shader, std::span<const ComputeBuffer> buffers,
                         std::uint32_t groupsX, std::uint32_t groupsY, PushConstants push = {});

// The same with one storage buffer that is read back.
ComputeResult runComputeOnBuffer(VulkanContext& context, SpirvCode shader, void* data, std::uint64_t bytes,
                                 DispatchGrid groups, PushConstants push = {});
// The same over one row of groupsX workgroups.
ComputeResult runComputeOnBuffer(VulkanContext& context, SpirvCode shader, void* data, std::uint64_t bytes,
                                 std::uint32_t groupsX, PushConstants push = {});

} // namespace qlmr
