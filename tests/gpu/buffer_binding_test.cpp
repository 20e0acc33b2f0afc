#include "gpu/gpu_resources.h"

#include <gtest/gtest.h>

namespace qlmr {
namespace {

// A context without a device carries the least ranges every device offers:
// 1 << 27 storage bytes and 16384 uniform bytes.
TEST(BufferBinding, WholeBuffersBindUpToTheDeviceRange)
{
    const VulkanContext context;
    struct Case {
        std::uint64_t size;
        bool uniform;
        VkDeviceSize range;
    };
    const Case cases[] = {
        {16, false, VK_WHOLE_SIZE},
        {1u << 27, false, VK_WHOLE_SIZE},
        // Grown half as much again past the range: bound up to the range.
        {(1u << 27) + (1u << 26), false, 1u << 27},
        {16384, true, VK_WHOLE_SIZE},
        {16385, true, 16384},
        {16385, false, VK_WHOLE_SIZE},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.size << (c.uniform ? " uniform" : " storage"));
        GpuBuffer buffer;
        buffer.buffer = reinterpret_cast<VkBuffer>(std::uintptr_t(0x40));
        buffer.size = c.size;
        const VkDescriptorBufferInfo info = wholeBufferBinding(context, buffer, c.uniform);
        EXPECT_EQ(info.buffer, buffer.buffer);
        EXPECT_EQ(info.offset, 0u);
        EXPECT_EQ(info.range, c.range);
    }
}

TEST(BufferBinding, DataPastTheRangeIsRefusedWithItsSizeAndTheLimit)
{
    const VulkanContext context;
    EXPECT_EQ(bufferBindingError(context, "tile list buffer", 1u << 27, false), "");
    EXPECT_EQ(bufferBindingError(context, "tile list buffer", (1u << 27) + 1, false),
              "tile list buffer of 134217729 bytes exceeds the device limit of 134217728 bytes");
    EXPECT_EQ(bufferBindingError(context, "uniform buffer 2", 16385, true),
              "uniform buffer 2 of 16385 bytes exceeds the device limit of 16384 bytes");
}

} // namespace
} // namespace qlmr
