#include <gtest/gtest.h>

#include <cmath>

#include "chapter_readings.h"
#include "machine_probe.h"

namespace qlmr {
namespace {

// Lines as qlmr-demo prints them with the launcher's arguments.
const std::vector<std::string> kDemoOutput = {
    "Quillmere reference renderer | SIMD: SSE2 (4 lanes) | threads: 8 | packet 2x2 | tile 16",
    "generating fields...",
    "scene: 5 fields, 34 prisms, 11.3 M instanced surface cells",
    "memory: heights 13.0 MB + bounds 6.5 MB (+ albedo/material 30.9 MB) vs. equivalent indexed mesh ~602 MB",
    "[wide  ]    91.9 ms | 9.28 Mrays/s (primary 518400, shadow 334004) | hits 64.9% | primary iters 14.4 "
    "(descends 7.7, seed 0.0) | avg bin 1.3",
    "[close ]   123.9 ms | 7.30 Mrays/s (primary 518400, shadow 385497) | hits 82.2% | primary iters 25.3 "
    "(descends 13.4, seed 0.0) | avg bin 5.0",
    "JSON {\"view\":\"close\",\"ms\":123.900,\"primary\":518400,\"shadow\":385497,\"iters\":25.3000}",
    "[aerial]    99.3 ms | 8.84 Mrays/s (primary 518400, shadow 359376) | hits 73.7% | primary iters 13.8 "
    "(descends 8.4, seed 0.0) | avg bin 1.1",
    "[corner]   111.9 ms | 5.51 Mrays/s (primary 518400, shadow 98554) | hits 81.4% | primary iters 27.2 "
    "(descends 13.3, seed 0.0) | avg bin 2.8",
    "images written to ./",
};

TEST(ChapterReadings, DemoViewLinesAndLastMemoryLine) {
    DemoReadings readings = readDemoLines(kDemoOutput);
    EXPECT_EQ(readings.frameTimes, (std::vector<double>{91.9, 123.9, 99.3, 111.9}));
    EXPECT_DOUBLE_EQ(readings.heightsMegabytes, 13.0);

    std::vector<std::string> twoMemoryLines = kDemoOutput;
    twoMemoryLines.push_back("memory: heights 2.5 MB + bounds 1.0 MB");
    twoMemoryLines.push_back(" memory: heights 99 MB"); // does not begin with the marker
    EXPECT_DOUBLE_EQ(readDemoLines(twoMemoryLines).heightsMegabytes, 2.5);

    readings = readDemoLines({"[wide  ] 12.0 ms Mrays", "unknown option: --x"});
    EXPECT_TRUE(readings.frameTimes.empty());
    EXPECT_TRUE(std::isnan(readings.heightsMegabytes));
}

TEST(ChapterReadings, TerrainFrameTimesNeedBothMarkers) {
    const std::vector<std::string> lines = {
        "valley frame 0: GPU 4.25 ms, CPU 200 ms",
        "valley frame 1: GPU 3.75 ms, 12 rays",
        "overview GPU 9 ms total",      // no " ms,"
        "GPU 0: fake (discrete), 1 ms,", // " GPU " needs a blank in front
    };
    EXPECT_EQ(readTerrainFrameTimes(lines), (std::vector<double>{4.25, 3.75}));
}

TEST(ChapterReadings, SdnaCritterAndTurntableLines) {
    SdnaReadings readings = readSdnaLines({
        "loading critter.qlmr",
        "critter: 57 instructions, 11 bones, 3120 bytes",
        "turntable: 36 frames 640x360, 85.5 ms per frame",
        " critter: 1 instructions, 1 bones, 1 bytes",
    });
    EXPECT_DOUBLE_EQ(readings.instructions, 57);
    EXPECT_DOUBLE_EQ(readings.fileBytes, 3120);
    EXPECT_DOUBLE_EQ(readings.cpuFrameMs, 85.5);

    readings = readSdnaLines({"could not start /x/qlmr-sdna"});
    EXPECT_TRUE(std::isnan(readings.instructions));
    EXPECT_TRUE(std::isnan(readings.fileBytes));
    EXPECT_TRUE(std::isnan(readings.cpuFrameMs));
}

// qlmr-gpu --sdna with two devices; only the chosen one's section counts.
const std::vector<std::string> kGpuSdnaOutput = {
    "sdna: critter.qlmr, 57 instructions",
    "CPU reference: 3 views",
    "== Integrated Thing",
    "  [front] GPU    0.50 ms (CPU  310.0 ms, x620) | PSNR 30.00 dB, 9 px differ (max 3)",
    "== Big Card",
    "  [front] GPU    2.00 ms (CPU  310.0 ms, x155) | PSNR 71.20 dB, 3 px differ (max 1)",
    "  [side ] GPU    6.00 ms (CPU  300.0 ms, x50) | PSNR 65.50 dB, 4 px differ (max 1)",
    "  [top  ] GPU    4.00 ms (CPU  290.0 ms, x72) | PSNR 80.00 dB, 1 px differ (max 1)",
    "verdict: ok",
    "== Big Card 2",
    "  [front] GPU    1.00 ms (CPU  310.0 ms, x310) | PSNR 10.00 dB, 999 px differ (max 50)",
};

TEST(ChapterReadings, GpuComparisonReadsOnlyTheChosenDevicesSection) {
    GpuComparison comparison = readGpuComparison(kGpuSdnaOutput, "Big Card");
    EXPECT_DOUBLE_EQ(comparison.gpuMs, 4.0); // median of 2, 6, 4
    EXPECT_DOUBLE_EQ(comparison.psnr, 65.5); // the smallest

    comparison = readGpuComparison(kGpuSdnaOutput, "Integrated Thing");
    EXPECT_DOUBLE_EQ(comparison.gpuMs, 0.5);
    EXPECT_DOUBLE_EQ(comparison.psnr, 30.0);

    comparison = readGpuComparison(kGpuSdnaOutput, "Missing Card");
    EXPECT_TRUE(std::isnan(comparison.gpuMs));
    EXPECT_TRUE(std::isnan(comparison.psnr));
}

TEST(ChapterReadings, GpuComparisonReadsAnExactMatchAsZero) {
    const GpuComparison comparison = readGpuComparison(
        {"== Card", "  [front] GPU    2.00 ms (CPU 1.0 ms, x0) | PSNR exact, 0 px differ (max 0)"}, "Card");
    EXPECT_DOUBLE_EQ(comparison.gpuMs, 2.0);
    EXPECT_DOUBLE_EQ(comparison.psnr, 0.0);
}

TEST(ChapterReadings, SynthesisTimeFromTheLastSprite64LineAtOneNodePerPixel) {
    const std::vector<std::string> lines = {
        "synthesis (median of 20):",
        "  sprite 64x64           S=1 field   64x64    0.412 ms  (pixels 0.010, distance 0.200, relief 0.100, "
        "pyramid 0.102)",
        "  sprite 64x64           S=2 field  128x128   1.500 ms  (pixels 0.010, distance 0.900, relief 0.400, "
        "pyramid 0.190)",
        "  frame 320x180          S=1 field  512x256   9.000 ms  (pixels 1.000, distance 5.000, relief 2.000, "
        "pyramid 1.000)",
    };
    EXPECT_DOUBLE_EQ(readSynthesisMs(lines), 0.412);
    EXPECT_TRUE(std::isnan(readSynthesisMs({"  frame 320x180 S=1 field 1.0 ms"})));
}

TEST(ChapterReadings, DioramaMeanLine) {
    const DioramaReadings readings = readDioramaLines({
        "frame 149",
        "mean per frame: simulation 3.25 ms, render 41.5 ms",
    });
    EXPECT_DOUBLE_EQ(readings.simulationMs, 3.25);
    EXPECT_DOUBLE_EQ(readings.renderMs, 41.5);
    EXPECT_TRUE(std::isnan(readDioramaLines({"total: simulation 3 render 4"}).simulationMs));
}

// Device lines exactly as qlmr-vkinfo prints them in text mode.
TEST(DeviceLines, ReadsEveryComputeCapableDeviceLine) {
    const std::vector<std::string> lines = {
        "GPU 0: Intel(R) UHD Graphics 770 (ADL-S GT1) (integrated), Vulkan 1.3.260, subgroup 32, max workgroup "
        "1024, compute yes",
        "  smoke rounds=0  : ok, 0.512 ms GPU",
        "  smoke rounds=256: ok, 2.100 ms GPU, ~511 G int-ops/s",
        "GPU 1: NVIDIA GeForce RTX 4070 (discrete), Vulkan 1.3.277, subgroup 32, max workgroup 1024, compute yes",
        "GPU 2: Software (cpu), Vulkan 1.3.230, subgroup 8, max workgroup 1024, compute no",
        "GPU 3: Odd Device, compute yes",
        "Vulkan unavailable: Vulkan loader not found",
    };
    const std::vector<DetectedGpu> devices = readDeviceLines(lines);
    ASSERT_EQ(devices.size(), 3u);
    EXPECT_EQ(devices[0].index, 0);
    EXPECT_EQ(devices[0].name, "Intel(R) UHD Graphics 770");
    EXPECT_EQ(devices[0].version, "Vulkan 1.3.260");
    EXPECT_FALSE(devices[0].discrete);
    EXPECT_EQ(devices[1].index, 1);
    EXPECT_EQ(devices[1].name, "NVIDIA GeForce RTX 4070");
    EXPECT_EQ(devices[1].version, "Vulkan 1.3.277");
    EXPECT_TRUE(devices[1].discrete);
    EXPECT_EQ(devices[2].index, 3);
    EXPECT_EQ(devices[2].name, "Odd Device, compute yes"); // no " (": to the end of the line
    EXPECT_EQ(devices[2].version, "");
}

TEST(DeviceLines, ChoiceIsTheFirstDiscreteElseTheFirstDevice) {
    auto device = [](int index, bool discrete) {
        DetectedGpu gpu;
        gpu.index = index;
        gpu.name = "device " + std::to_string(index);
        gpu.discrete = discrete;
        return gpu;
    };
    struct Case {
        std::vector<DetectedGpu> devices;
        int chosen; // -1: none
    };
    const Case cases[] = {
        {{}, -1},
        {{device(0, false)}, 0},
        {{device(0, false), device(1, true)}, 1},
        {{device(4, true), device(7, true)}, 4},
        {{device(0, false), device(1, false), device(2, true), device(3, true)}, 2},
    };
    for (const Case& c : cases) {
        const std::optional<DetectedGpu> chosen = chooseGpu(c.devices);
        if (c.chosen < 0) {
            EXPECT_FALSE(chosen.has_value());
        } else {
            ASSERT_TRUE(chosen.has_value());
            EXPECT_EQ(chosen->index, c.chosen);
        }
    }
}

TEST(DeviceLines, ADiscreteDeviceWithoutComputeIsNeverChosen) {
    const std::vector<DetectedGpu> devices = readDeviceLines({
        "GPU 0: Big Card (discrete), Vulkan 1.3.0, subgroup 32, max workgroup 1024, compute no",
        "GPU 1: Small Card (integrated), Vulkan 1.2.0, subgroup 32, max workgroup 1024, compute yes",
    });
    const std::optional<DetectedGpu> chosen = chooseGpu(devices);
    ASSERT_TRUE(chosen.has_value());
    EXPECT_EQ(chosen->name, "Small Card");
}

} // namespace
} // namespace qlmr
