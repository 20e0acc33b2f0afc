#include "demo_report.h"

#include "scene/scene.h"
#include "scene/tile_renderer.h"

#include <gtest/gtest.h>

#include <vector>

namespace qlmr {
namespace {

TEST(DemoReport, BannerNamesTheBuildsInstructionSet)
{
    const DemoBuild build = demoBuild();
#if QLMR_LANES == 8
    EXPECT_EQ(formatBanner(build, 8),
              "Quillmere reference renderer | SIMD: AVX2 (8 lanes) | threads: 8 | packet 4x2 | tile 16\n");
#else
    EXPECT_EQ(formatBanner(build, 8),
              "Quillmere reference renderer | SIMD: SSE2 (4 lanes) | threads: 8 | packet 2x2 | tile 16\n");
#endif
}

TEST(DemoReport, SceneAndMemoryLinesKeepTheirWording)
{
    SceneFigures f;
    f.fields = 5;
    f.prisms = 34;
    f.instancedCells = 2048.0 * 2048 + 24 * 512.0 * 512; // 10.485760 M
    f.heightBytes = 8u * 1048576 + 419430;               // 8.4 MB
    f.boundsBytes = 11u * 1048576 / 2;                   // 5.5 MB
    f.otherBytes = 3u * 1048576 / 4;                     // 0.75 MB prints 0.8
    EXPECT_EQ(formatSceneLine(f), "scene: 5 fields, 34 prisms, 10.5 M instanced surface cells\n");
    // 10485760 cells * 56 bytes = 560 MB.
    EXPECT_EQ(formatMemoryLine(f), "memory: heights 8.4 MB + bounds 5.5 MB (+ albedo/material 0.8 MB) vs. "
                                   "equivalent indexed mesh ~560 MB\n");
}

TEST(DemoReport, FormatTextHandlesLongAndEmptyResults)
{
    const std::string long_text(5000, 'x');
    EXPECT_EQ(formatText("%s|", long_text.c_str()), long_text + "|");
    EXPECT_EQ(formatText("%s", ""), "");
}

TEST(DemoReport, ViewAndJsonLinesFromTheBestFrame)
{
    FrameStats best;
    best.ms = 12.345;
    best.primary = 1000;
    best.shadow = 600;
    best.hits = 875;
    best.iters = 23456.0;
    best.descends = 4321.0;
    best.seed = 12.0;
    best.avgBin = 3.25;
    // 1600 rays in 12.345 ms; hits 87.5 %; per primary 23.456, 4.321, 0.012.
    EXPECT_EQ(formatViewLine("wide", best), "[wide  ]    12.3 ms | 0.13 Mrays/s (primary 1000, shadow 600) | hits 87.5% | "
                                            "primary iters 23.5 (descends 4.3, seed 0.0) | avg bin 3.2\n");
    EXPECT_EQ(formatJsonLine("wide", best), "JSON {\"view\":\"wide\",\"ms\":12.345,\"primary\":1000,\"shadow\":600,"
                                            "\"iters\":23.4560,\"descends\":4.3210,\"seed\":0.0120,\"hits\":0.8750}\n");
    // Names of six letters fill the brackets; long frames widen the field.
    best.ms = 123456.75;
    EXPECT_EQ(formatViewLine("corner", best).substr(0, 21), "[corner] 123456.8 ms ");
}

DisplacementField flatField(std::uint32_t width, std::uint32_t height)
{
    const std::vector<float> heights(std::size_t(width) * height, 0.25f);
    return DisplacementField(width, height, heights, true);
}

TEST(DemoReport, MeasureSceneCountsSharedFieldsOncePerPrism)
{
    Scene scene;
    scene.fields.push_back(flatField(64, 32));
    scene.fields.push_back(flatField(16, 16));
    const std::vector<std::uint32_t> albedo(16 * 16, 0xFF336699u);
    scene.fields[1].setAlbedo(16, 16, albedo);
    scene.fields[1].setMaterials(std::vector<std::uint8_t>(16 * 16, 3));
    for (std::uint32_t field : {1u, 0u, 1u, 1u}) {
        Prism prism;
        prism.fieldIndex = field;
        scene.prisms.push_back(prism);
    }
    const SceneFigures f = measureScene(scene);
    EXPECT_EQ(f.fields, 2u);
    EXPECT_EQ(f.prisms, 4u);
    EXPECT_EQ(f.instancedCells, 64.0 * 32 + 3 * 16.0 * 16);
    std::uint64_t heights = 0, bounds = 0, total = 0;
    for (const DisplacementField& field : scene.fields) {
        heights += field.heightBytes();
        bounds += field.boundsBytes();
        total += field.memoryBytes();
    }
    EXPECT_EQ(f.heightBytes, heights);
    EXPECT_EQ(f.boundsBytes, bounds);
    EXPECT_EQ(f.otherBytes, total - heights - bounds);
    // At least the level-0 albedo words and the material bytes are "other".
    EXPECT_GE(f.otherBytes, 16u * 16 * 4 + 16 * 16);
}

TEST(DemoReport, MeasureSceneOfAnEmptyScene)
{
    const SceneFigures f = measureScene(Scene{});
    EXPECT_EQ(f.fields, 0u);
    EXPECT_EQ(f.prisms, 0u);
    EXPECT_EQ(f.instancedCells, 0.0);
    EXPECT_EQ(f.heightBytes + f.boundsBytes + f.otherBytes, 0u);
}

} // namespace
} // namespace qlmr
