#include "demo_report.h"

#include <gtest/gtest.h>

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

} // namespace
} // namespace qlmr
