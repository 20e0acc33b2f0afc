// How one-dimensional kernels are dispatched: the grid that keeps every axis
// within the device's workgroup limit, the one-shot run's refusal of a grid
// beyond it, and every linear kernel covering each item exactly once when
// its groups are laid out in several rows.
#include "gpu/dispatch_grid.h"

#include "gpu/embedded_shaders.h"
#include "gpu/one_shot_compute.h"
#include "gpu/temporal_upscale.h"
#include "gpu/vulkan_test_support.h"

#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <cstdint>
#include <string>
#include <vector>

namespace qlmr {
namespace {

// ---- the grid (processor only) -----------------------------------------------

struct GridCase {
    std::uint64_t groups;
    std::uint32_t maxX;
    DispatchGrid expected;
};

class LinearGridTable : public ::testing::TestWithParam<GridCase> {};

TEST_P(LinearGridTable, StaysWithinTheRowLimitAndWastesAtMostOneGroupPerRow)
{
    const GridCase& c = GetParam();
    const DispatchGrid grid = linearGrid(c.groups, {c.maxX, 65535, 65535});
    EXPECT_EQ(grid, c.expected);
    EXPECT_LE(grid.x, c.maxX);
    EXPECT_GE(std::uint64_t(grid.x) * grid.y, c.groups);
    EXPECT_LT(std::uint64_t(grid.x) * grid.y - c.groups, std::uint64_t(grid.y));
}

INSTANTIATE_TEST_SUITE_P(
    Grids, LinearGridTable,
    ::testing::Values(GridCase{0, 65535, {0, 1}}, GridCase{1, 65535, {1, 1}}, GridCase{65535, 65535, {65535, 1}},
                      // One group over the Vulkan minimum: two rows of half.
                      GridCase{65536, 65535, {32768, 2}}, GridCase{65600, 65535, {32800, 2}},
                      // qlmr-gpu --sculpt 4200000: 65625 groups.
                      GridCase{65625, 65535, {32813, 2}},
                      // The largest image, 16384 x 16384 pixels.
                      GridCase{4194304, 65535, {64528, 65}}, GridCase{7, 3, {3, 3}}, GridCase{9, 3, {3, 3}},
                      GridCase{10, 3, {3, 4}}));

TEST(LinearDispatch, RoundsItemsUpToWholeGroups)
{
    EXPECT_EQ(groupCount(0, QLMR_LINEAR_GROUP), 0u);
    EXPECT_EQ(groupCount(1, QLMR_LINEAR_GROUP), 1u);
    EXPECT_EQ(groupCount(64, QLMR_LINEAR_GROUP), 1u);
    EXPECT_EQ(groupCount(65, QLMR_LINEAR_GROUP), 2u);
    // No wrap-around near the top of the unsigned range.
    EXPECT_EQ(groupCount(0xFFFFFFFFu, QLMR_LINEAR_GROUP), 0x4000000u);
}

// ---- the device's limit, on the fake loader ---------------------------------------

class FakeDispatchTest : public test::FakeVulkanTest {};

TEST_F(FakeDispatchTest, TheGridFollowsTheOpenedDevicesLimit)
{
    config().maxComputeWorkGroupCount[0] = 1000;
    config().maxComputeWorkGroupCount[1] = 20;
    openDevice();
    EXPECT_EQ(context.maxComputeWorkGroupCount, (std::array<std::uint32_t, 3>{1000, 20, 65535}));
    EXPECT_EQ(linearDispatch(context, 64 * 1000), (DispatchGrid{1000, 1}));
    EXPECT_EQ(linearDispatch(context, 64 * 1000 + 1), (DispatchGrid{501, 2}));

    std::uint32_t words[16] = {};
    const DispatchGrid grid = linearDispatch(context, 64 * 2500);
    ASSERT_TRUE(runComputeOnBuffer(context, deviceSmokeShader(), words, sizeof words, grid).ok);
    EXPECT_EQ(log().groupsX, 834u);
    EXPECT_EQ(log().groupsY, 3u);
}

TEST_F(FakeDispatchTest, AGridBeyondTheLimitIsRefusedBeforeAnythingIsCreated)
{
    config().maxComputeWorkGroupCount[0] = 1000;
    config().maxComputeWorkGroupCount[1] = 20;
    openDevice();
    std::uint32_t words[16] = {};
    for (const DispatchGrid grid : {DispatchGrid{1001, 1}, DispatchGrid{1000, 21}}) {
        const ComputeResult run = runComputeOnBuffer(context, deviceSmokeShader(), words, sizeof words, grid);
        EXPECT_FALSE(run.ok);
        EXPECT_EQ(run.error, "dispatch of " + std::to_string(grid.x) + " x " + std::to_string(grid.y) +
                                 " workgroups exceeds the device limit of 1000 x 20");
    }
    EXPECT_EQ(log().dispatches, 0u);
    EXPECT_EQ(log().shaderModulesCreated, 0u);
    EXPECT_EQ(log().liveObjects, 2);  // the instance and the device
}

// ---- the kernels on the device ----------------------------------------------------

class DispatchGridOnDevice : public test::OnDeviceTest {};

std::vector<Texel4> rampImage(int width, int height)
{
    std::vector<Texel4> image(std::size_t(width) * height);
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x)
            image[std::size_t(y) * width + x] = {0.05f * x, 0.07f * y, 0.01f * (x + y), 2.0f + 0.5f * float(x % 3)};
    return image;
}

// With the row limit lowered to 3 groups the runs below launch several rows
// of groups; each kernel must rebuild its item index from the grid, so the
// results equal those of a single row.
TEST_F(DispatchGridOnDevice, LinearKernelsGiveTheSameResultsInSeveralRows)
{
    const std::array<std::uint32_t, 3> deviceLimit = context.maxComputeWorkGroupCount;
    const std::array<std::uint32_t, 3> threeGroupsPerRow{3, deviceLimit[1], deviceLimit[2]};

    // Upscale: 30 x 20 output pixels, 10 groups, so 4 rows of 3 with 2 spare.
    const std::vector<Texel4> low = rampImage(15, 10);
    for (const UpscaleMode mode : {UpscaleMode::bilinear, UpscaleMode::edge}) {
        std::vector<Texel4> oneRow, rows;
        context.maxComputeWorkGroupCount = deviceLimit;
        ASSERT_TRUE(runUpscaleKernel(context, low, 15, 10, 30, 20, mode, 0.03f, oneRow).ok);
        context.maxComputeWorkGroupCount = threeGroupsPerRow;
        ASSERT_EQ(linearDispatch(context, 30 * 20), (DispatchGrid{3, 4}));
        ASSERT_TRUE(runUpscaleKernel(context, low, 15, 10, 30, 20, mode, 0.03f, rows).ok);
        ASSERT_EQ(rows.size(), oneRow.size());
        for (std::size_t i = 0; i < rows.size(); ++i)
            for (int c = 0; c < 4; ++c)
                ASSERT_EQ(rows[i][c], oneRow[i][c]) << "pixel " << i << " channel " << c;
    }

    // Temporal: 26 x 20 pixels, a history to reproject and fresh samples.
    {
        const std::uint32_t w = 26, h = 20;
        const std::size_t pixels = std::size_t(w) * h, halfPixels = std::size_t(w / 2) * (h / 2);
        std::vector<Texel4> data(halfPixels + 2 * pixels, Texel4{});
        const std::vector<Texel4> half = rampImage(int(w / 2), int(h / 2));
        const std::vector<Texel4> history = rampImage(int(w), int(h));
        std::copy(half.begin(), half.end(), data.begin());
        std::copy(history.begin(), history.end(), data.begin() + std::ptrdiff_t(halfPixels));
        const Camera camera = Camera::lookAt({0.0f, 1.0f, 3.0f}, {0.0f, 0.0f, 0.0f}, {0.0f, 1.0f, 0.0f}, 50.0f, w, h);
        const TemporalPush push = packTemporalPush(camera, temporalJitter(1), temporalCamera(camera), true, true);
        std::vector<Texel4> oneRow = data, rows = data;
        context.maxComputeWorkGroupCount = deviceLimit;
        ASSERT_TRUE(runTemporalKernel(context, oneRow, w, h, push).ok);
        context.maxComputeWorkGroupCount = threeGroupsPerRow;
        ASSERT_EQ(linearDispatch(context, pixels), (DispatchGrid{3, 3}));
        ASSERT_TRUE(runTemporalKernel(context, rows, w, h, push).ok);
        for (std::size_t i = halfPixels + pixels; i < data.size(); ++i)
            for (int c = 0; c < 4; ++c)
                ASSERT_EQ(rows[i][c], oneRow[i][c]) << "pixel " << i - halfPixels - pixels << " channel " << c;
    }

    // The device smoke kernel: 1000 words, 16 groups, 6 rows of 3; the words
    // past the count keep their sentinel.
    {
        struct SmokePush {
            std::uint32_t count, salt, rounds;
        } push{1000, 5, 0};
        std::vector<std::uint32_t> words(1100, 0xC0FFEE11u);
        context.maxComputeWorkGroupCount = threeGroupsPerRow;
        ASSERT_TRUE(runComputeOnBuffer(context, deviceSmokeShader(), words.data(), words.size() * 4,
                                       linearDispatch(context, push.count), {&push, sizeof push})
                        .ok);
        for (std::uint32_t i = 0; i < words.size(); ++i)
            ASSERT_EQ(words[i], i < 1000 ? i * i + 5 : 0xC0FFEE11u) << i;
    }
}

// 4100 x 1024 output pixels need 65600 workgroups of 64, more than the
// 65535 per axis that Vulkan guarantees; the run (under the validation layer
// in CI) must stay within the device's limit and still write every pixel.
TEST_F(DispatchGridOnDevice, UpscaleBeyondTheGuaranteedGroupLimitWritesEveryPixel)
{
    constexpr std::uint32_t kWidth = 4100, kHeight = 1024;
    ASSERT_GT(groupCount(kWidth * kHeight, QLMR_LINEAR_GROUP), 65535u);
    const std::vector<Texel4> low(4, Texel4{0.25f, 0.5f, 0.75f, 3.0f});
    std::vector<Texel4> out;
    const ComputeResult run =
        runUpscaleKernel(context, low, 2, 2, kWidth, kHeight, UpscaleMode::bilinear, 0.03f, out);
    ASSERT_TRUE(run.ok) << run.error;
    ASSERT_EQ(out.size(), std::size_t(kWidth) * kHeight);
    // The kernel writes w = 1 with the colour; the buffer starts as zeros.
    std::size_t wrong = 0;
    for (const Texel4& pixel : out)
        wrong += pixel[3] != 1.0f || std::fabs(pixel[0] - 0.25f) > 1e-6f || std::fabs(pixel[1] - 0.5f) > 1e-6f ||
                std::fabs(pixel[2] - 0.75f) > 1e-6f;
    EXPECT_EQ(wrong, 0u);
}

} // namespace
} // namespace qlmr
