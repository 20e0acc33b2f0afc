#include "demo_settings.h"

#include <gtest/gtest.h>

namespace qlmr {
namespace {

TEST(DemoSettings, NormalModeGeometricWinsOverCubic)
{
    struct Case {
        bool geometric, cubic;
        unsigned mode;
    };
    const Case cases[] = {{false, false, 1}, {true, false, 0}, {false, true, 2}, {true, true, 0}};
    for (const Case& c : cases) {
        DemoOptions o;
        o.geometricNormals = c.geometric;
        o.cubicNormals = c.cubic;
        EXPECT_EQ(demoTraceSettings(o).normalMode, c.mode) << c.geometric << c.cubic;
    }
}

TEST(DemoSettings, OptionsReachTheMarchAndTheShadows)
{
    DemoOptions o;
    o.lod = false;
    o.lodBias = 1.25f;
    o.start = 2;
    o.startOffset = 3;
    o.seedOracle = true;
    o.shellLog2 = 4;
    o.shadows = false;
    const TraceSettings t = demoTraceSettings(o);
    EXPECT_EQ(t.maxSteps, 512u);
    EXPECT_FALSE(t.lod);
    EXPECT_EQ(t.lodBias, 1.25f);
    EXPECT_EQ(t.start, 2);
    EXPECT_EQ(t.startOffset, 3u);
    EXPECT_TRUE(t.seedOracle);
    EXPECT_EQ(t.shellLog2, 4u);
    EXPECT_TRUE(t.snapToPixelGrid);

    const RenderSettings r = demoRenderSettings(o);
    const RenderSettings defaults;
    EXPECT_FALSE(r.shadows);
    EXPECT_EQ(r.sunDir, defaults.sunDir);
    EXPECT_EQ(r.fogDensity, defaults.fogDensity);
    EXPECT_TRUE(demoRenderSettings(DemoOptions{}).shadows);
}

TEST(DemoSettings, DefaultOptionsGiveTheDefaultMarch)
{
    const TraceSettings t = demoTraceSettings(DemoOptions{});
    const TraceSettings defaults;
    EXPECT_EQ(t.lod, defaults.lod);
    EXPECT_EQ(t.lodBias, defaults.lodBias);
    EXPECT_EQ(t.normalMode, defaults.normalMode);
    EXPECT_EQ(t.start, defaults.start);
    EXPECT_EQ(t.startOffset, defaults.startOffset);
    EXPECT_EQ(t.shellLog2, defaults.shellLog2);
}

// The offset is unsigned: a negative --start-offset wraps to a huge value,
// which reaches the march as it is (the march starts it at the top level).
TEST(DemoSettings, StartOffsetsReachTheMarchUnchanged)
{
    for (const std::uint32_t offset : {0u, 15u, 2147483647u, 2147483648u, 4294967295u}) {
        DemoOptions o;
        o.startOffset = offset;
        EXPECT_EQ(demoTraceSettings(o).startOffset, offset);
    }
}

// Likewise a negative or huge --shell-log2 reaches the march as it is (the
// march seeds it at the lowest seed level).
TEST(DemoSettings, ShellLevelLimitsReachTheMarchUnchanged)
{
    for (const std::uint32_t shellLog2 : {0u, 16u, 2147483647u, 2147483648u, 4294967295u}) {
        DemoOptions o;
        o.shellLog2 = shellLog2;
        EXPECT_EQ(demoTraceSettings(o).shellLog2, shellLog2);
    }
}

} // namespace
} // namespace qlmr
