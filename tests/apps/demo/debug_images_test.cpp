#include "debug_images.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <random>

namespace qlmr {
namespace {

constexpr float kInf = std::numeric_limits<float>::infinity();

// Plane index of pixel (x, y), written out from the packet layout rather
// than taken from the G-buffer, so a wrong addressing shows up.
std::size_t packetOrderIndex(const GBuffer& g, unsigned x, unsigned y)
{
    const unsigned pw = QLMR_LANES / 2;
    const unsigned packet = (y / 2) * g.packetsPerRow + x / pw;
    return std::size_t(packet) * QLMR_LANES + (y % 2) * pw + x % pw;
}

TEST(NormalImage, MissesAreBlackAndNormalsMapToBytes)
{
    struct Case {
        float t, nx, ny, nz;
        Rgba8 expected;
    };
    const Case cases[] = {
        {kInf, 0.3f, 0.9f, 0.1f, {0, 0, 0, 255}},
        {-kInf, 0.0f, 1.0f, 0.0f, {0, 0, 0, 255}},
        {std::nanf(""), 0.0f, 1.0f, 0.0f, {0, 0, 0, 255}},
        {12.5f, 0.0f, 1.0f, 0.0f, {128, 255, 128, 255}}, // 127.5 rounds away from zero
        {1.0f, -1.0f, 0.0f, 1.0f, {0, 128, 255, 255}},
        {3.0f, 0.6f, -0.5f, 0.0f, {204, 64, 128, 255}},  // 0.8*255 = 204, 0.25*255 = 63.75
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.t << " " << c.nx << " " << c.ny << " " << c.nz);
        EXPECT_EQ(normalColor(c.t, c.nx, c.ny, c.nz), c.expected);
    }
}

TEST(CostImage, StopsFallEveryFortyCostUnits)
{
    struct Case {
        float cost;
        Rgba8 expected;
    };
    const Case cases[] = {
        {0.0f, {13, 13, 89, 255}},     // 0.05, 0.05, 0.35
        {40.0f, {0, 179, 230, 255}},   // 0, 0.7, 0.9
        {80.0f, {26, 217, 51, 255}},   // 0.1, 0.85, 0.2
        {120.0f, {255, 230, 0, 255}},  // 1, 0.9, 0
        {160.0f, {242, 26, 13, 255}},  // 0.95, 0.1, 0.05
        {5000.0f, {242, 26, 13, 255}}, // capped at the last stop
        {20.0f, {6, 96, 159, 255}},    // half way from stop 0 to stop 1
        {std::nanf(""), {13, 13, 89, 255}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.cost);
        EXPECT_EQ(costColor(c.cost, 160.0f), c.expected);
    }
}

// The ramp written as the plain piecewise-linear function it is.
Rgba8 referenceCost(double cost, double scale)
{
    static const double stops[5][3] = {
        {0.05, 0.05, 0.35}, {0.0, 0.7, 0.9}, {0.1, 0.85, 0.2}, {1.0, 0.9, 0.0}, {0.95, 0.1, 0.05}};
    const double position = std::min(cost / scale, 1.0) * 4.0;
    int segment = 0;
    while (segment < 3 && position >= segment + 1)
        ++segment;
    const double f = position - segment;
    Rgba8 out{0, 0, 0, 255};
    for (int ch = 0; ch < 3; ++ch)
        out[ch] = static_cast<std::uint8_t>(
            std::lround((stops[segment][ch] + (stops[segment + 1][ch] - stops[segment][ch]) * f) * 255.0));
    return out;
}

TEST(CostImage, FollowsThePiecewiseRampForRandomCosts)
{
    std::mt19937 random(20261210);
    std::uniform_real_distribution<float> costs(0.0f, 400.0f);
    std::uniform_real_distribution<float> scales(10.0f, 300.0f);
    for (int i = 0; i < 2000; ++i) {
        const float cost = costs(random);
        const float scale = i % 2 ? 160.0f : scales(random);
        const Rgba8 got = costColor(cost, scale);
        const Rgba8 want = referenceCost(cost, scale);
        SCOPED_TRACE(testing::Message() << "cost " << cost << " scale " << scale);
        for (int ch = 0; ch < 3; ++ch)
            EXPECT_NEAR(got[ch], want[ch], 1); // float against double rounding
        EXPECT_EQ(got[3], 255);
    }
}

// A frame of odd size, so the last packet column and row are partly outside.
class DebugImageFrame : public testing::Test {
protected:
    void SetUp() override
    {
        frame.resize(7, 5);
        for (unsigned p = 0; p < GBuffer::kPlaneCount; ++p)
            for (std::size_t i = 0; i < frame.planeSize(); ++i)
                frame.plane(p)[i] = 0.0f;
        for (unsigned y = 0; y < frame.height; ++y) {
            for (unsigned x = 0; x < frame.width; ++x) {
                const std::size_t i = packetOrderIndex(frame, x, y);
                frame.plane(GBuffer::Depth)[i] = (x + y) % 3 == 0 ? kInf : 1.0f + x;
                frame.plane(GBuffer::NormalX)[i] = -1.0f + 0.25f * x;
                frame.plane(GBuffer::NormalY)[i] = 1.0f - 0.4f * y;
                frame.plane(GBuffer::NormalZ)[i] = 0.1f * (x - y);
                frame.plane(GBuffer::Cost)[i] = 10.0f * x + 37.0f * y;
            }
        }
    }

    GBuffer frame;
};

TEST_F(DebugImageFrame, NormalImageIsRowMajorFromTheTop)
{
    const std::vector<std::uint8_t> image = normalsImage(frame);
    ASSERT_EQ(image.size(), std::size_t(7) * 5 * 4);
    for (unsigned y = 0; y < 5; ++y) {
        for (unsigned x = 0; x < 7; ++x) {
            const std::size_t i = packetOrderIndex(frame, x, y);
            const Rgba8 want = normalColor(frame.plane(0)[i], frame.plane(1)[i], frame.plane(2)[i], frame.plane(3)[i]);
            const std::uint8_t* got = &image[(std::size_t(y) * 7 + x) * 4];
            EXPECT_EQ((Rgba8{got[0], got[1], got[2], got[3]}), want) << x << "," << y;
        }
    }
}

TEST_F(DebugImageFrame, CostImageIsRowMajorFromTheTop)
{
    const std::vector<std::uint8_t> image = costImage(frame, kDemoCostScale);
    ASSERT_EQ(image.size(), std::size_t(7) * 5 * 4);
    for (unsigned y = 0; y < 5; ++y) {
        for (unsigned x = 0; x < 7; ++x) {
            const Rgba8 want = costColor(10.0f * x + 37.0f * y, 160.0f);
            const std::uint8_t* got = &image[(std::size_t(y) * 7 + x) * 4];
            EXPECT_EQ((Rgba8{got[0], got[1], got[2], got[3]}), want) << x << "," << y;
        }
    }
}

TEST(DebugImages, EmptyFrameGivesEmptyImages)
{
    GBuffer empty;
    EXPECT_TRUE(normalsImage(empty).empty());
    EXPECT_TRUE(costImage(empty, 160.0f).empty());
}

} // namespace
} // namespace qlmr
