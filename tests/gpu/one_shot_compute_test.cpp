#include "vulkan_test_support.h"

#include "gpu/embedded_shaders.h"
#include "gpu/one_shot_compute.h"
#include "qlmr_test_shaders/buffer_probe_comp.h"

#include <gtest/gtest.h>

#include <cstring>
#include <iterator>
#include <limits>
#include <random>
#include <vector>

namespace qlmr {
namespace {

using test::FakeVulkanTest;
using test::OnDeviceTest;

// The smoke kernel's rule, written out independently of the program that uses it.
std::uint32_t expectedSmokeWord(std::uint32_t i, std::uint32_t salt, std::uint32_t rounds)
{
    if (rounds == 0)
        return i * i + salt;
    std::uint32_t h = i;
    for (std::uint32_t l = 0; l < rounds; ++l)
        h = (h ^ (h >> 15)) * 739982445u + l;
    return h;
}

struct SmokePush {
    std::uint32_t count;
    std::uint32_t salt;
    std::uint32_t rounds;
};

SpirvCode probeShader()
{
    return {test_shaders::buffer_probe_comp, std::size(test_shaders::buffer_probe_comp)};
}

// The probe kernel's uniform block (std140: four u32 in a row).
struct ProbeParams {
    std::uint32_t count;
    std::uint32_t scale;
    std::uint32_t offset;
    std::uint32_t rowWidth;
};

// ---- on the machine's device ---------------------------------------------

TEST_F(OnDeviceTest, SmokeKernelWritesEveryWord)
{
    // count is not a multiple of 64 and the buffer is longer than count: the
    // last group's extra invocations and the words past count stay untouched.
    constexpr std::uint32_t kCount = 100003;
    constexpr std::uint32_t kWords = kCount + 77;
    constexpr std::uint32_t kSentinel = 0xC0FFEE11u;
    for (std::uint32_t rounds : {0u, 1u, 37u}) {
        SCOPED_TRACE(rounds);
        std::vector<std::uint32_t> words(kWords, kSentinel);
        const SmokePush push{kCount, 11, rounds};
        const ComputeResult result = runComputeOnBuffer(context, deviceSmokeShader(), words.data(),
                                                        words.size() * 4, linearDispatch(context, kCount),
                                                        {&push, sizeof push});
        ASSERT_TRUE(result.ok) << result.error;
        EXPECT_TRUE(result.error.empty());
        std::uint32_t wrong = 0;
        for (std::uint32_t i = 0; i < kCount; ++i)
            wrong += words[i] != expectedSmokeWord(i, 11, rounds);
        EXPECT_EQ(wrong, 0u);
        for (std::uint32_t i = kCount; i < kWords; ++i)
            EXPECT_EQ(words[i], kSentinel) << i;
        EXPECT_GE(result.bufferBytes, std::uint64_t{kWords} * 4);
        EXPECT_GE(result.gpuMs, 0.0);
        EXPECT_GT(result.hostMs, 0.0);
        EXPECT_LE(result.deviceLocalBytes, result.bufferBytes);
    }
}

TEST_F(OnDeviceTest, UniformStorageAndReadBackFlags)
{
    constexpr std::uint32_t kRowWidth = 128;  // two groups per row
    constexpr std::uint32_t kRows = 3;
    constexpr std::uint32_t kCount = kRowWidth * kRows - 5;
    std::mt19937 random(77);
    std::vector<std::uint32_t> input(kRowWidth * kRows);
    for (std::uint32_t& v : input)
        v = static_cast<std::uint32_t>(random());
    const std::vector<std::uint32_t> inputBefore = input;
    std::vector<std::uint32_t> output(input.size(), 0xFFFFFFFFu);
    ProbeParams params{kCount, 2654435761u, 12345, kRowWidth};

    const ComputeBuffer buffers[] = {
        {&params, sizeof params, false, true},
        {input.data(), input.size() * 4, false, false},  // cleared on the device, not read back
        {output.data(), output.size() * 4, true, false},
    };
    const ComputeResult result = runCompute(context, probeShader(), buffers, kRowWidth / 64, kRows);
    ASSERT_TRUE(result.ok) << result.error;
    EXPECT_EQ(input, inputBefore);
    for (std::uint32_t i = 0; i < output.size(); ++i) {
        const std::uint32_t row = i / kRowWidth;
        const std::uint32_t expected = i < kCount ? input[i] * params.scale + params.offset + row : 0xFFFFFFFFu;
        ASSERT_EQ(output[i], expected) << "word " << i;
    }
}

TEST_F(OnDeviceTest, ReadBackOfTheClearedInput)
{
    // The same kernel, now reading the input back: the device cleared it.
    std::vector<std::uint32_t> input(64, 5u);
    std::vector<std::uint32_t> output(64, 0u);
    ProbeParams params{64, 1, 0, 64};
    const ComputeBuffer buffers[] = {
        {&params, sizeof params, false, true},
        {input.data(), input.size() * 4, true, false},
        {output.data(), output.size() * 4, true, false},
    };
    const ComputeResult result = runCompute(context, probeShader(), buffers, 1, 1);
    ASSERT_TRUE(result.ok) << result.error;
    EXPECT_EQ(input, std::vector<std::uint32_t>(64, 0u));
    EXPECT_EQ(output, std::vector<std::uint32_t>(64, 5u));
}

// ---- on the fake loader ----------------------------------------------------

// Without a device nothing is allocated and the caller's data stays as it was.
TEST(OneShotCompute, NeedsAnOpenedDevice)
{
    VulkanContext context;
    std::uint32_t word = 0x5EEDF00Du;
    const ComputeResult result = runComputeOnBuffer(context, deviceSmokeShader(), &word, 4, DispatchGrid{1});
    EXPECT_FALSE(result.ok);
    EXPECT_NE(result.error.find("device"), std::string::npos) << result.error;
    EXPECT_EQ(result.bufferBytes, 0u);
    EXPECT_EQ(word, 0x5EEDF00Du);
}

class FakeComputeTest : public FakeVulkanTest {
protected:
    void SetUp() override
    {
        FakeVulkanTest::SetUp();
        if (!HasFatalFailure())
            openDevice();
    }

    // Three buffers: a uniform, a storage input and a read-back storage output.
    // A dataless input points at nothing.
    ComputeResult runThreeBuffers(PushConstants push = {}, bool datalessInput = false)
    {
        const ComputeBuffer buffers[] = {
            {uniformData.data(), uniformData.size(), false, true},
            {datalessInput ? nullptr : inputData.data(), inputData.size(), false, false},
            {outputData.data(), outputData.size(), true, false},
        };
        return runCompute(context, deviceSmokeShader(), buffers, 7, 3, push);
    }

    // A refused run created and dispatched nothing and wrote nothing back.
    void expectNothingRan(const ComputeResult& result, std::uint32_t modulesBefore, std::uint32_t dispatchesBefore)
    {
        EXPECT_EQ(log().shaderModulesCreated, modulesBefore);
        EXPECT_EQ(log().dispatches, dispatchesBefore);
        EXPECT_EQ(result.bufferBytes, 0u);
        EXPECT_EQ(outputData, std::vector<std::uint8_t>(64, 0x33));
    }

    std::vector<std::uint8_t> uniformData = std::vector<std::uint8_t>(16, 0x11);
    std::vector<std::uint8_t> inputData = std::vector<std::uint8_t>(64, 0x22);
    std::vector<std::uint8_t> outputData = std::vector<std::uint8_t>(64, 0x33);
};

TEST_F(FakeComputeTest, ReadsBackOnlyFlaggedBuffers)
{
    config().submitFillByte = 0x5A;
    const ComputeResult result = runThreeBuffers();
    ASSERT_TRUE(result.ok) << result.error;
    EXPECT_EQ(uniformData, std::vector<std::uint8_t>(16, 0x11));
    EXPECT_EQ(inputData, std::vector<std::uint8_t>(64, 0x22));
    EXPECT_EQ(outputData, std::vector<std::uint8_t>(64, 0x5A));
    EXPECT_EQ(log().dispatches, 1u);
    EXPECT_EQ(log().groupsX, 7u);
    EXPECT_EQ(log().groupsY, 3u);
    EXPECT_EQ(log().groupsZ, 1u);
    EXPECT_EQ(log().layoutBindings, 3u);
    EXPECT_EQ(log().storagePoolSize, 2u);
    EXPECT_EQ(log().uniformPoolSize, 1u);
    EXPECT_EQ(log().liveObjects, 2);  // everything but the instance and device is gone
    EXPECT_EQ(log().mappedBlocks, 0);
    EXPECT_EQ(log().nullHandleUses, 0u);
}

TEST_F(FakeComputeTest, PoolSizesNeverZero)
{
    std::uint32_t words[4] = {};
    const ComputeBuffer onlyUniform[] = {{words, 16, false, true}, {words, 16, false, true}};
    ASSERT_TRUE(runCompute(context, deviceSmokeShader(), onlyUniform, 1, 1).ok);
    EXPECT_EQ(log().storagePoolSize, 1u);
    EXPECT_EQ(log().uniformPoolSize, 2u);
    // The one-buffer form: one read-back storage buffer over groupsX x 1 x 1.
    config().submitFillByte = 0x6B;
    ASSERT_TRUE(runComputeOnBuffer(context, deviceSmokeShader(), words, 16, 5u).ok);
    EXPECT_EQ(log().storagePoolSize, 1u);
    EXPECT_EQ(log().uniformPoolSize, 1u);
    EXPECT_EQ(log().groupsX, 5u);
    EXPECT_EQ(log().groupsY, 1u);
    for (const std::uint32_t word : words)
        EXPECT_EQ(word, 0x6B6B6B6Bu);
}

TEST_F(FakeComputeTest, PushConstantsOnlyWhenGiven)
{
    ASSERT_TRUE(runThreeBuffers().ok);
    EXPECT_EQ(log().pushRanges, 0u);
    EXPECT_EQ(log().pushCommands, 0u);
    const SmokePush push{1, 2, 3};
    ASSERT_TRUE(runThreeBuffers({&push, sizeof push}).ok);
    EXPECT_EQ(log().pushRanges, 1u);
    EXPECT_EQ(log().pushRangeSize, 12u);
    EXPECT_EQ(log().pushCommands, 1u);
    EXPECT_EQ(log().pushBytes, 12u);
}

TEST_F(FakeComputeTest, GpuTimeScalesWithTheTimestampPeriod)
{
    context.destroy();
    config().timestampPeriod = 2.5f;
    config().timestampTicks = 4000;
    openDevice();
    ComputeResult result = runThreeBuffers();
    ASSERT_TRUE(result.ok) << result.error;
    EXPECT_DOUBLE_EQ(result.gpuMs, 4000 * 2.5 * 1e-6);

    // The tick difference is taken modulo 2^64.
    config().timestampStart = std::numeric_limits<std::uint64_t>::max() - 9;
    config().timestampTicks = 30;
    result = runThreeBuffers();
    ASSERT_TRUE(result.ok) << result.error;
    EXPECT_DOUBLE_EQ(result.gpuMs, 30 * 2.5 * 1e-6);
}

TEST_F(FakeComputeTest, UnreadableTimestampsLeaveGpuTimeZero)
{
    config().queryResultsResult = VK_NOT_READY;
    config().submitFillByte = 0x44;
    const ComputeResult result = runThreeBuffers();
    ASSERT_TRUE(result.ok) << result.error;
    EXPECT_EQ(result.gpuMs, 0.0);
    EXPECT_EQ(outputData, std::vector<std::uint8_t>(64, 0x44));
}

TEST_F(FakeComputeTest, CountsBufferAndDeviceLocalBytes)
{
    ComputeResult result = runThreeBuffers();
    ASSERT_TRUE(result.ok);
    EXPECT_EQ(result.bufferBytes, 3u * 4096u);  // the fake's allocation size per buffer
    EXPECT_EQ(result.deviceLocalBytes, 0u);

    context.destroy();
    config().hostVisibleDeviceLocal = 1;
    openDevice();
    result = runThreeBuffers();
    ASSERT_TRUE(result.ok);
    EXPECT_EQ(result.deviceLocalBytes, 3u * 4096u);
}

TEST_F(FakeComputeTest, NonCoherentHostMemoryIsRefused)
{
    context.destroy();
    config().hostCoherent = 0;
    openDevice();
    const ComputeResult result = runThreeBuffers();
    EXPECT_FALSE(result.ok);
    EXPECT_EQ(result.error, "host-visible memory failed (VkResult -8)");
    EXPECT_EQ(result.bufferBytes, 0u);
    EXPECT_EQ(log().liveObjects, 2);
}

// Buffers are bound whole, so one larger than the device lets a binding
// cover is refused before anything is created; one exactly at the limit runs.
TEST_F(FakeComputeTest, BuffersBeyondTheDevicesBindingRangeAreRefused)
{
    struct Case {
        std::uint32_t storageRange, uniformRange;
        const char* error;  // empty: the run succeeds
    };
    const Case cases[] = {
        {64, 16, ""},
        {63, 16, "storage buffer 1 of 64 bytes exceeds the device limit of 63 bytes"},
        {64, 15, "uniform buffer 0 of 16 bytes exceeds the device limit of 15 bytes"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.storageRange) + " / " + std::to_string(c.uniformRange));
        context.destroy();
        config().maxStorageBufferRange = c.storageRange;
        config().maxUniformBufferRange = c.uniformRange;
        openDevice();
        EXPECT_EQ(context.maxStorageBufferRange, c.storageRange);
        EXPECT_EQ(context.maxUniformBufferRange, c.uniformRange);
        const std::uint32_t modulesBefore = log().shaderModulesCreated;
        const std::uint32_t dispatchesBefore = log().dispatches;
        config().submitFillByte = 0x5A;
        outputData.assign(64, 0x33);
        const ComputeResult result = runThreeBuffers();
        EXPECT_EQ(result.error, c.error);
        EXPECT_EQ(result.ok, c.error[0] == '\0');
        if (!result.ok)
            expectNothingRan(result, modulesBefore, dispatchesBefore);
        EXPECT_EQ(log().liveObjects, 2);
    }
}

// Vulkan has no buffer of 0 bytes (lavapipe crashed on one): an empty
// buffer is refused by its kind and position before anything is created.
TEST_F(FakeComputeTest, EmptyBuffersAreRefused)
{
    struct Case {
        bool emptyUniform, emptyInput;
        const char* error;
    };
    const Case cases[] = {
        {false, true, "storage buffer 1 is empty"},
        {true, false, "uniform buffer 0 is empty"},
        {true, true, "uniform buffer 0 is empty"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.error);
        uniformData.assign(c.emptyUniform ? 0 : 16, 0x11);
        inputData.assign(c.emptyInput ? 0 : 64, 0x22);
        outputData.assign(64, 0x33);
        config().submitFillByte = 0x5A;
        const std::uint32_t modulesBefore = log().shaderModulesCreated;
        const ComputeResult result = runThreeBuffers();
        EXPECT_FALSE(result.ok);
        EXPECT_EQ(result.error, c.error);
        EXPECT_EQ(result.bufferBytes, 0u);
        EXPECT_EQ(log().shaderModulesCreated, modulesBefore);
        EXPECT_EQ(log().dispatches, 0u);
        EXPECT_EQ(outputData, std::vector<std::uint8_t>(64, 0x33));
        EXPECT_EQ(log().liveObjects, 2);
    }
}

// Buffer and push bytes are copied by the host and the driver from the
// caller's pointer: a buffer without data, or push constants without data,
// of a size that is not whole words or beyond the device's limit, crashed
// or overran the driver's push block. Each is refused before anything is
// created; push constants exactly at the limit run.
TEST_F(FakeComputeTest, DatalessBuffersAndUnpushableConstantsAreRefused)
{
    const std::uint32_t words[64] = {};
    struct Case {
        const char* name;
        bool datalessInput;
        PushConstants push;
        std::uint32_t pushLimit;
        const char* error;  // empty: the run succeeds
    };
    const Case cases[] = {
        {"dataless input", true, {}, 128, "storage buffer 1 has no data"},
        {"dataless push", false, {nullptr, 12}, 128, "push constants of 12 bytes have no data"},
        {"part of a word", false, {words, 10}, 128, "push constants of 10 bytes are not a multiple of 4 bytes"},
        {"past the limit", false, {words, 132}, 128, "push constants of 132 bytes exceed the device limit of 128 bytes"},
        {"at the limit", false, {words, 128}, 128, ""},
        {"a larger limit", false, {words, 132}, 256, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        context.destroy();
        config().maxPushConstantsSize = c.pushLimit;
        openDevice();
        EXPECT_EQ(context.maxPushConstantsSize, c.pushLimit);
        const std::uint32_t modulesBefore = log().shaderModulesCreated;
        const std::uint32_t dispatchesBefore = log().dispatches;
        config().submitFillByte = 0x5A;
        outputData.assign(64, 0x33);
        const ComputeResult result = runThreeBuffers(c.push, c.datalessInput);
        EXPECT_EQ(result.error, c.error);
        EXPECT_EQ(result.ok, c.error[0] == '\0');
        if (!result.ok)
            expectNothingRan(result, modulesBefore, dispatchesBefore);
        else
            EXPECT_EQ(log().pushBytes, c.push.bytes);
        EXPECT_EQ(log().liveObjects, 2);
    }
}

struct FailingCall {
    const char* call;
    std::uint32_t after;            // successful calls before the failing one
    std::uint64_t bufferBytes;      // counted when the run ends
};

class FakeComputeFailure : public FakeComputeTest, public ::testing::WithParamInterface<FailingCall> {};

TEST_P(FakeComputeFailure, ReleasesEverythingAndReportsTheCall)
{
    const FailingCall& c = GetParam();
    std::strcpy(config().failCall, c.call);
    config().failAfter = c.after;
    config().failResult = VK_ERROR_OUT_OF_HOST_MEMORY;
    config().submitFillByte = 0x77;  // a read-back after a failure would show it
    const ComputeResult result = runThreeBuffers();
    EXPECT_FALSE(result.ok);
    EXPECT_EQ(result.error, std::string(c.call) + " failed (VkResult -1)");
    EXPECT_EQ(result.bufferBytes, c.bufferBytes);
    EXPECT_EQ(outputData, std::vector<std::uint8_t>(64, 0x33));
    EXPECT_EQ(log().liveObjects, 2);
    EXPECT_EQ(log().mappedBlocks, 0);
    EXPECT_EQ(log().nullHandleUses, 0u);
    EXPECT_EQ(log().shaderModulesCreated, log().shaderModulesDestroyed);

    // The context is still usable afterwards.
    config().failCall[0] = '\0';
    EXPECT_TRUE(runThreeBuffers().ok);
}

INSTANTIATE_TEST_SUITE_P(Calls, FakeComputeFailure,
                         ::testing::Values(FailingCall{"vkCreateBuffer", 0, 0}, FailingCall{"vkCreateBuffer", 2, 8192},
                                           FailingCall{"vkAllocateMemory", 1, 4096},
                                           FailingCall{"vkBindBufferMemory", 0, 4096},
                                           FailingCall{"vkMapMemory", 2, 3 * 4096},
                                           FailingCall{"vkCreateShaderModule", 0, 3 * 4096},
                                           FailingCall{"vkCreateDescriptorSetLayout", 0, 3 * 4096},
                                           FailingCall{"vkCreatePipelineLayout", 0, 3 * 4096},
                                           FailingCall{"vkCreateComputePipelines", 0, 3 * 4096},
                                           FailingCall{"vkCreateDescriptorPool", 0, 3 * 4096},
                                           FailingCall{"vkAllocateDescriptorSets", 0, 3 * 4096},
                                           FailingCall{"vkCreateQueryPool", 0, 3 * 4096},
                                           FailingCall{"vkCreateCommandPool", 0, 3 * 4096},
                                           FailingCall{"vkAllocateCommandBuffers", 0, 3 * 4096},
                                           FailingCall{"vkBeginCommandBuffer", 0, 3 * 4096},
                                           FailingCall{"vkEndCommandBuffer", 0, 3 * 4096},
                                           FailingCall{"vkCreateFence", 0, 3 * 4096},
                                           FailingCall{"vkQueueSubmit", 0, 3 * 4096},
                                           FailingCall{"vkWaitForFences", 0, 3 * 4096}),
                         [](const ::testing::TestParamInfo<FailingCall>& info) {
                             return std::string(info.param.call) + "_after_" + std::to_string(info.param.after);
                         });

} // namespace
} // namespace qlmr
