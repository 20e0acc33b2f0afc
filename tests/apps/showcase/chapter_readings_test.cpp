#include <gtest/gtest.h>

#include <cmath>

#include "chapter_readings.h"
#include "chapters.h"
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

TEST(ChapterReadings, GpuComparisonReadsAnExactMatchAsInfinity) {
    const std::string exact = "| PSNR exact, 0 px differ (max 0)";
    // Identical images everywhere: the best match, not 0 dB.
    GpuComparison comparison =
        readGpuComparison({"== Card", "  [front] GPU    2.00 ms (CPU 1.0 ms, x0) " + exact,
                           "  [back ] GPU    3.00 ms (CPU 1.0 ms, x0) " + exact},
                          "Card");
    EXPECT_DOUBLE_EQ(comparison.gpuMs, 3.0);
    EXPECT_TRUE(std::isinf(comparison.psnr) && comparison.psnr > 0) << comparison.psnr;

    // One exact view among measured ones: the smallest measured value, in
    // either order.
    comparison = readGpuComparison({"== Card", "  [front] GPU 2.00 ms " + exact,
                                    "  [side ] GPU 4.00 ms | PSNR 64.60 dB, 4 px differ (max 1)"},
                                   "Card");
    EXPECT_DOUBLE_EQ(comparison.psnr, 64.6);
    comparison = readGpuComparison({"== Card", "  [side ] GPU 4.00 ms | PSNR 64.60 dB, 4 px differ (max 1)",
                                    "  [front] GPU 2.00 ms " + exact},
                                   "Card");
    EXPECT_DOUBLE_EQ(comparison.psnr, 64.6);
}

// Lines exactly as this machine's qlmr-vkinfo and qlmr-gpu --sdna print them
// on lavapipe, whose name holds " (" itself.
TEST(ChapterReadings, LavapipeIsMatchedByItsWholeName) {
    const std::vector<DetectedGpu> devices = readDeviceLines({
        "GPU 0: llvmpipe (LLVM 15.0.6, 256 bits) (cpu), Vulkan 1.3.230, subgroup 8, max workgroup 1024, compute yes",
        "  smoke rounds=0  : ok, 2.386 ms GPU",
        "  smoke rounds=256: ok, 147.149 ms GPU, ~7 G int-ops/s",
    });
    ASSERT_EQ(devices.size(), 1u);
    EXPECT_EQ(devices[0].name, "llvmpipe (LLVM 15.0.6, 256 bits)");
    EXPECT_EQ(devices[0].version, "Vulkan 1.3.230");
    EXPECT_FALSE(devices[0].discrete);

    const GpuComparison comparison = readGpuComparison(
        {
            "critter.qlmr: 59 instructions, 4 materials, 4 bones; 640x360, best of 5 frames",
            "  CPU [front]   751.0 ms (8.9 steps per pixel)",
            "== llvmpipe (LLVM 15.0.6, 256 bits)",
            "  [front] GPU 4415.60 ms (CPU  751.0 ms, x0) | PSNR exact, 0 px differ (max 0) | coverage mismatch "
            "0.0000% | depth rel 0.0e+00 | normal 0.000 deg (>5: 0.000%) | material mismatch 0 | color off 0.000% | "
            "steps GPU 8.90 CPU 8.90",
            "  [front ] levels (sdna): hit PASS (coverage 0.0000% <= 0.0100%, depth rel 0.0e+00 <= 1e-05, normal >5 "
            "deg 0.000% <= 0.010%, material 0 <= 0) | image PASS (999.0 dB >= 90)",
            "  [back ] GPU 5085.18 ms (CPU  846.1 ms, x0) | PSNR exact, 0 px differ (max 0)",
            "  [posed] GPU 2956.10 ms (CPU  682.3 ms, x0) | PSNR exact, 0 px differ (max 0)",
        },
        devices[0].name);
    EXPECT_DOUBLE_EQ(comparison.gpuMs, 4415.60);
    EXPECT_TRUE(std::isinf(comparison.psnr) && comparison.psnr > 0);
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
    EXPECT_EQ(devices[0].name, "Intel(R) UHD Graphics 770 (ADL-S GT1)"); // the whole name, up to the class
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

TEST(DeviceLines, ADeviceWhoseSmokeTestFailedIsNeverChosen) {
    const std::string discrete =
        "GPU 0: Big Card (discrete), Vulkan 1.3.0, subgroup 32, max workgroup 1024, compute yes";
    const std::string integrated =
        "GPU 1: Small Card (integrated), Vulkan 1.2.0, subgroup 32, max workgroup 1024, compute yes";
    struct Case {
        const char* name;
        std::vector<std::string> underDiscrete; // what qlmr-vkinfo printed below the discrete card
        const char* chosen;
    };
    const Case cases[] = {
        {"both runs ok",
         {"  smoke rounds=0  : ok, 0.5 ms GPU", "  smoke rounds=256: ok, 2.0 ms GPU, ~511 G int-ops/s"},
         "Big Card"},
        {"wrong results at rounds 0", {"  smoke rounds=0  : MISMATCH, 0.5 ms GPU"}, "Small Card"},
        {"wrong results at rounds 256",
         {"  smoke rounds=0  : ok, 0.5 ms GPU", "  smoke rounds=256: MISMATCH, 2.0 ms GPU, ~511 G int-ops/s"},
         "Small Card"},
        {"the compute run failed", {"  compute: vkQueueSubmit failed (VkResult -4)"}, "Small Card"},
        {"the device did not open", {"  device: no compute queue with timestamps"}, "Small Card"},
    };
    for (const Case& c : cases) {
        std::vector<std::string> lines = {discrete};
        lines.insert(lines.end(), c.underDiscrete.begin(), c.underDiscrete.end());
        lines.push_back(integrated);
        lines.push_back("  smoke rounds=0  : ok, 0.9 ms GPU");
        const std::optional<DetectedGpu> chosen = chooseGpu(readDeviceLines(lines));
        ASSERT_TRUE(chosen.has_value()) << c.name;
        EXPECT_EQ(chosen->name, c.chosen) << c.name;
    }

    // A failure printed under a device without compute belongs to that
    // device, not to the usable one before it.
    const std::vector<DetectedGpu> devices = readDeviceLines({
        integrated,
        "GPU 2: Other (discrete), Vulkan 1.3.0, subgroup 32, max workgroup 1024, compute no",
        "  device: no compute queue with timestamps",
    });
    ASSERT_EQ(devices.size(), 1u);
    EXPECT_EQ(devices[0].name, "Small Card");

    // Every device failed: none is chosen.
    EXPECT_FALSE(chooseGpu(readDeviceLines({discrete, "  compute: out of memory"})).has_value());
}

TEST(DeviceLines, TheNameEndsAtTheClassGroupWhateverItHolds) {
    struct Case {
        const char* line;
        const char* name;
        bool discrete;
    };
    const Case cases[] = {
        {"GPU 0: Card (rev 2) (discrete), Vulkan 1.3.0, subgroup 32, max workgroup 1024, compute yes",
         "Card (rev 2)", true},
        {"GPU 0: Odd (discrete) name (integrated), Vulkan 1.3.0, subgroup 32, max workgroup 1024, compute yes",
         "Odd (discrete) name", false},
        {"GPU 0: Virt (virtual), Vulkan 1.1.0, subgroup 4, max workgroup 128, compute yes", "Virt", false},
        {"GPU 0: Thing (x) (other), Vulkan 1.1.0, subgroup 4, max workgroup 128, compute yes", "Thing (x)", false},
        // Without a class group the name ends at the first " (", as before.
        {"GPU 0: Plain (weird, compute yes", "Plain", false},
    };
    for (const Case& c : cases) {
        const std::vector<DetectedGpu> devices = readDeviceLines({c.line});
        ASSERT_EQ(devices.size(), 1u) << c.line;
        EXPECT_EQ(devices[0].name, c.name) << c.line;
        EXPECT_EQ(devices[0].discrete, c.discrete) << c.line;
    }
}

// Asset paths go to the children as single words, relative to the child's
// own folder, and never in a form a child could take for an option.
TEST(AssetPaths, RelativeToTheChildAndNeverLikeAnOption) {
    struct Case {
        const char* asset;
        const char* workDirectory;
        const char* word;
    };
    const Case cases[] = {
        {"/r/assets/critter.qlmr", "/r/report/work/creature", "../../../assets/critter.qlmr"},
        {"/r/a\" --width \"7/sprites/x.png", "/r/report/work/pixels", "../../../a\" --width \"7/sprites/x.png"},
        {"/r/report/work/-assets/x.png", "/r/report/work", "./-assets/x.png"},
        {"/r/report/work/--out", "/r/report/work", "./--out"},
        {"/r/report/work/assets/-x.png", "/r/report/work", "assets/-x.png"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(assetPathArgument(c.asset, c.workDirectory), c.word) << c.asset;
}

} // namespace
} // namespace qlmr
