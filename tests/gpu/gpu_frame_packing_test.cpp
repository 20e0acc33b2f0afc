#include "gpu/gpu_frame_packing.h"
#include "gpu/shell_raster.h"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstring>
#include <limits>
#include <random>

namespace qlmr {
namespace {

float readFloat(const void* base, std::size_t offset)
{
    float value;
    std::memcpy(&value, static_cast<const std::uint8_t*>(base) + offset, 4);
    return value;
}

std::int32_t readInt(const void* base, std::size_t offset)
{
    std::int32_t value;
    std::memcpy(&value, static_cast<const std::uint8_t*>(base) + offset, 4);
    return value;
}

TEST(GpuFramePacking, FrameUniformsCarryCameraSettingsAndWordsAtTheirOffsets)
{
    const Camera camera = Camera::lookAt({1, 2, 3}, {0, 0, 0}, {0, 1, 0}, 50.0f, 17, 9);
    RenderSettings s;
    s.fogBaseHeight = 0.25f;
    s.fogFalloff = 0.5f;
    s.debugView = 3;
    s.fogDensity = 0.02f;
    s.fogSphere = {1, 2, 3, 4};
    s.specular = 0.3f;
    s.roughness = 0.7f;
    s.normalRefine = 0.1f;
    FrameWords words;
    words.seedPass = true;
    words.value0 = 2.0f;
    words.value1 = -1.5f;
    words.mode = 2;
    words.prismCount = 5;
    const gpu::FrameUniforms u = packFrameUniforms(camera, s, words);
    const void* b = &u;

    EXPECT_EQ(readFloat(b, 0), camera.position.x);
    EXPECT_EQ(readFloat(b, 12), 1.0f); // seed pass runs
    EXPECT_EQ(readFloat(b, 28), 0.25f);
    EXPECT_FLOAT_EQ(readFloat(b, 32), camera.right.x * camera.tanHalfFov * camera.aspect);
    EXPECT_EQ(readFloat(b, 44), 0.5f);
    EXPECT_FLOAT_EQ(readFloat(b, 52), camera.up.y * camera.tanHalfFov);
    EXPECT_EQ(readFloat(b, 60), 3.0f);
    EXPECT_EQ(readFloat(b, 64), s.sunDir.x);
    EXPECT_EQ(readFloat(b, 92), 0.02f);
    EXPECT_FLOAT_EQ(readFloat(b, 108), Camera::pixelSpread(camera) * 2.0f);
    EXPECT_EQ(readFloat(b, 124), -1.5f);
    EXPECT_EQ(readFloat(b, 140), 2.0f);
    EXPECT_EQ(readInt(b, 144), 17);
    EXPECT_EQ(readInt(b, 148), 9);
    EXPECT_EQ(readInt(b, 152), 2); // 17 pixels are two tiles across
    EXPECT_EQ(readInt(b, 156), 5);
    EXPECT_EQ(readFloat(b, 172), 4.0f);
    EXPECT_EQ(readFloat(b, 176), 0.3f);
    EXPECT_EQ(readFloat(b, 180), 0.7f);
    EXPECT_EQ(readFloat(b, 184), 0.1f);
    EXPECT_EQ(readFloat(b, 188), 0.0f);
}

TEST(GpuFramePacking, FrameWordsGivenOneByOnePackTheSameRecord)
{
    const Camera camera = Camera::lookAt({1, 2, 3}, {0, 0, 0}, {0, 1, 0}, 50.0f, 33, 7);
    const RenderSettings s;
    for (const FrameWords words : {FrameWords{}, FrameWords{true, 2.0f, -1.5f, 2, 5},
                                   FrameWords{false, 0.5f, 0.25f, 1, 70000}}) {
        const FrameUniforms record = packFrameUniforms(camera, s, words);
        const FrameUniforms oneByOne =
            packFrameUniforms(camera, s, words.seedPass, words.value0, words.value1, words.mode, words.prismCount);
        EXPECT_EQ(std::memcmp(&record, &oneByOne, sizeof(FrameUniforms)), 0) << words.prismCount;
        EXPECT_EQ(oneByOne.camPos.w, words.seedPass ? 1.0f : 0.0f);
        EXPECT_EQ(oneByOne.ambient.w, float(words.mode));
        EXPECT_EQ(oneByOne.dims.w, std::int32_t(words.prismCount));
    }
}

TEST(GpuFramePacking, ShadowModeWord)
{
    struct Case {
        bool shadows, altShadows;
        float word;
    };
    for (const Case c : {Case{true, false, 1.0f}, Case{true, true, 1.0f}, Case{false, true, 2.0f},
                         Case{false, false, 0.0f}}) {
        RenderSettings s;
        s.shadows = c.shadows;
        s.altShadows = c.altShadows;
        EXPECT_EQ(packFrameUniforms(Camera{}, s, FrameWords{}).sunDir.w, c.word) << c.shadows << c.altShadows;
    }
}

TEST(GpuFramePacking, DispatchCoversTheImageInGroupsAndTiles)
{
    EXPECT_EQ(groupCount(17, QLMR_IMAGE_GROUP), 3u);
    EXPECT_EQ(groupCount(16, QLMR_IMAGE_GROUP), 2u);
    EXPECT_EQ(groupCount(17, QLMR_TILE_SIZE), 2u);
    EXPECT_EQ(groupCount(0, QLMR_IMAGE_GROUP), 0u);
}

// The kernels take world-to-local and normal transforms as dot products with
// the packed rows; they must give what the CPU's column form gives.
TEST(GpuFramePacking, PrismRowsReproduceTheCpuTransforms)
{
    std::mt19937 rng(7);
    std::uniform_real_distribution<float> any(-2.0f, 2.0f);
    Prism p = makePrism({0.5f, -1.0f, 2.0f}, {1.0f, 0.2f, 0.1f}, {-0.1f, 0.1f, 1.0f}, 3.0f, 2.0f, 0.7f, 0);
    p.uMin = 0.1f;
    p.uMax = 0.9f;
    p.vMin = 0.2f;
    p.vMax = 0.8f;
    p.hMin = -0.5f;
    p.hMax = 1.5f;
    p.sideNormalsOff = true;
    p.waterDepthScale = 0.25f;
    updatePrism(p, 64, 32, 128);
    const PrismFieldRecord record{{(3u << 4) | 2u, 6, 5, 7u | 1u << 8}};
    gpu::Prism g;
    packGpuPrisms(std::span<const Prism>(&p, 1), std::span<const PrismFieldRecord>(&record, 1), &g);

    for (int i = 0; i < 20; ++i) {
        const Vec3 d{any(rng), any(rng), any(rng)};
        const Vec3 cpuLocal = p.toLocal[0] * d.x + p.toLocal[1] * d.y + p.toLocal[2] * d.z;
        const Vec3 cpuNormal = p.normalM[0] * d.x + p.normalM[1] * d.y + p.normalM[2] * d.z;
        const gpu::Float4* rows[2] = {g.toLocal, g.normalM};
        const Vec3 expected[2] = {cpuLocal, cpuNormal};
        for (int m = 0; m < 2; ++m)
            for (int r = 0; r < 3; ++r) {
                const gpu::Float4& row = rows[m][r];
                EXPECT_FLOAT_EQ(row.x * d.x + row.y * d.y + row.z * d.z, expected[m][r]);
            }
    }
    EXPECT_EQ(g.origin.w, p.heightTexelSize);
    EXPECT_EQ(g.axisU.w, p.albedoTexelSize);
    EXPECT_EQ(g.axisV.w, 0.9f);
    EXPECT_EQ(g.axisH.w, 0.8f);
    EXPECT_EQ(g.toLocal[0].w, 0.1f);
    EXPECT_EQ(g.toLocal[1].w, 0.2f);
    EXPECT_EQ(g.toLocal[2].w, -0.5f);
    EXPECT_EQ(g.normalM[0].w, 1.5f);
    EXPECT_EQ(g.normalM[1].w, 1.0f);
    EXPECT_EQ(g.normalM[2].w, 0.25f);
    EXPECT_EQ(g.info.x, 0x32);
    EXPECT_EQ(g.info.y, 6);
    EXPECT_EQ(g.info.z, 5);
    EXPECT_EQ(g.info.w, 7 | 256);
}

TEST(GpuFramePacking, FlattenedBinsListEveryBinInOrder)
{
    std::mt19937 rng(3);
    std::vector<std::vector<std::uint32_t>> bins(40);
    for (auto& bin : bins) {
        const int count = int(rng() % 4); // some bins stay empty
        for (int k = 0; k < count; ++k)
            bin.push_back(rng() % 100);
    }
    std::vector<gpu::Range> ranges;
    std::vector<std::uint32_t> lists{99, 98}; // cleared first
    flattenBins(bins, ranges, lists);
    ASSERT_EQ(ranges.size(), bins.size());
    std::uint32_t expectedFirst = 0;
    for (std::size_t i = 0; i < bins.size(); ++i) {
        EXPECT_EQ(ranges[i].first, expectedFirst);
        ASSERT_EQ(ranges[i].count, bins[i].size());
        for (std::uint32_t k = 0; k < ranges[i].count; ++k)
            EXPECT_EQ(lists[ranges[i].first + k], bins[i][k]);
        expectedFirst += ranges[i].count;
    }
    EXPECT_EQ(lists.size(), expectedFirst);
}

// Cell of a point as the kernel computes it.
int lightCellOf(const gpu::LightGridHeader& h, Vec3 point)
{
    const float x = dot(point, Vec3{h.lightAxisX.x, h.lightAxisX.y, h.lightAxisX.z});
    const float y = dot(point, Vec3{h.lightAxisY.x, h.lightAxisY.y, h.lightAxisY.z});
    const int cells = int(h.lightGrid.w);
    const int cx = std::clamp(int(std::floor((x - h.lightGrid.x) * h.lightGrid.z)), 0, cells - 1);
    const int cy = std::clamp(int(std::floor((y - h.lightGrid.y) * h.lightGrid.z)), 0, cells - 1);
    return cy * cells + cx;
}

// A shadow ray projects to one point of the light plane: the cell of any
// point inside a prism must list that prism, or a blocker would be missed.
TEST(GpuFramePacking, LightCellOfEveryPointInsideAPrismListsIt)
{
    std::mt19937 rng(11);
    std::uniform_real_distribution<float> unit(0.0f, 1.0f);
    std::vector<Prism> prisms;
    for (int i = 0; i < 12; ++i) {
        Prism p = makePrism({unit(rng) * 20 - 10, unit(rng) * 2, unit(rng) * 20 - 10}, {1, 0, unit(rng) - 0.5f},
                            {0, 0, -1}, 1 + unit(rng) * 4, 1 + unit(rng) * 4, 0.2f + unit(rng), 0);
        updatePrism(p, 16, 16, 0);
        prisms.push_back(p);
    }
    for (const Vec3 sun : {Vec3{-0.79f, 0.4f, 0.46f}, Vec3{0.1f, 0.99f, 0.0f}, Vec3{0.0f, -1.0f, 0.0f}}) {
        std::vector<gpu::Range> ranges;
        std::vector<std::uint32_t> lists;
        gpu::LightGridHeader header;
        buildLightGrid(prisms, sun, ranges, lists, header);
        ASSERT_EQ(ranges.size(), std::size_t(QLMR_LIGHT_CELLS * QLMR_LIGHT_CELLS));
        EXPECT_EQ(header.lightGrid.w, float(QLMR_LIGHT_CELLS));
        for (std::uint32_t i = 0; i < prisms.size(); ++i) {
            const auto corners = prismCorners(prisms[i]);
            for (int k = 0; k < 30; ++k) {
                const float a = unit(rng), b = unit(rng), c = unit(rng);
                const Vec3 point = corners[0] + (corners[1] - corners[0]) * a + (corners[2] - corners[0]) * b +
                    (corners[4] - corners[0]) * c;
                const gpu::Range r = ranges[std::size_t(lightCellOf(header, point))];
                const auto begin = lists.begin() + r.first;
                EXPECT_NE(std::find(begin, begin + r.count, i), begin + r.count) << "prism " << i;
            }
        }
    }
}

// A sun direction that is not a number (a light computed from a zero
// vector) or prisms out at the float range give cell coordinates no int can
// hold; each prism still lands in valid cells and every range stays inside
// the list.
TEST(GpuFramePacking, LightGridOfNonFiniteInputsStaysWithinTheGrid)
{
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const float inf = std::numeric_limits<float>::infinity();
    auto prismAt = [](Vec3 origin) {
        Prism p = makePrism(origin, {1, 0, 0}, {0, 0, -1}, 2, 2, 1, 0);
        updatePrism(p, 16, 16, 0);
        return p;
    };
    const std::vector<Prism> ordinary{prismAt({-1, 0, 1}), prismAt({3, 0, 1})};
    // Two prisms so far apart that the extent overflows to infinity.
    const std::vector<Prism> farApart{prismAt({-3e38f, 0, 0}), prismAt({3e38f, 0, 0})};
    struct Case {
        const char* name;
        const std::vector<Prism>* prisms;
        Vec3 sun;
    };
    const Case cases[] = {
        {"NaN sun", &ordinary, {nan, nan, nan}},
        {"sun with one NaN", &ordinary, {0.3f, nan, 0.2f}},
        {"infinite sun", &ordinary, {inf, 1.0f, 0.0f}},
        {"prisms at the float range", &farApart, {0.0f, 1.0f, 0.0f}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<gpu::Range> ranges;
        std::vector<std::uint32_t> lists;
        gpu::LightGridHeader header;
        buildLightGrid(*c.prisms, c.sun, ranges, lists, header);
        ASSERT_EQ(ranges.size(), std::size_t(QLMR_LIGHT_CELLS * QLMR_LIGHT_CELLS));
        std::vector<int> listed(c.prisms->size(), 0);
        for (const gpu::Range r : ranges) {
            ASSERT_LE(std::uint64_t(r.first) + r.count, lists.size());
            for (std::uint32_t k = 0; k < r.count; ++k) {
                ASSERT_LT(lists[r.first + k], c.prisms->size());
                ++listed[lists[r.first + k]];
            }
        }
        for (const int count : listed)
            EXPECT_GE(count, 1);
    }
}

TEST(GpuFramePacking, LightAxesArePerpendicularAndAvoidTheSunDirection)
{
    struct Case {
        Vec3 sun;
        Vec3 reference;
    };
    for (const Case c : {Case{{-0.72f, 0.36f, 0.42f}, {0, 1, 0}}, Case{{0.2f, 0.95f, 0.1f}, {1, 0, 0}},
                         Case{{0.0f, 1.0f, 0.0f}, {1, 0, 0}}}) {
        std::vector<gpu::Range> ranges;
        std::vector<std::uint32_t> lists;
        gpu::LightGridHeader h;
        buildLightGrid({}, c.sun, ranges, lists, h);
        const Vec3 d = normalizeSafe(c.sun);
        const Vec3 x{h.lightAxisX.x, h.lightAxisX.y, h.lightAxisX.z};
        const Vec3 y{h.lightAxisY.x, h.lightAxisY.y, h.lightAxisY.z};
        EXPECT_NEAR(length(x), 1.0f, 1e-5f);
        EXPECT_NEAR(length(y), 1.0f, 1e-5f);
        EXPECT_NEAR(dot(x, d), 0.0f, 1e-5f);
        EXPECT_NEAR(dot(y, d), 0.0f, 1e-5f);
        EXPECT_NEAR(dot(x, c.reference), 0.0f, 1e-5f); // X = d x reference
        EXPECT_EQ(h.lightAxisX.w, 0.0f);
        for (const gpu::Range r : ranges)
            EXPECT_EQ(r.count, 0u);
    }
}

// Slow reference: sign * mantissa * 2^exponent with ldexp.
float referenceHalf(std::uint16_t h)
{
    const float sign = (h & 0x8000u) ? -1.0f : 1.0f;
    const int exponent = (h >> 10) & 0x1F;
    const int mantissa = h & 0x3FF;
    if (exponent == 0)
        return sign * std::ldexp(float(mantissa), -24);
    if (exponent == 31)
        return mantissa == 0 ? sign * INFINITY : NAN;
    return sign * std::ldexp(float(1024 + mantissa), exponent - 25);
}

TEST(GpuFramePacking, HalfToFloatIsExactForEveryValue)
{
    for (std::uint32_t h = 0; h < 65536; ++h) {
        const float got = halfToFloat(std::uint16_t(h));
        const float want = referenceHalf(std::uint16_t(h));
        if (std::isnan(want)) {
            ASSERT_TRUE(std::isnan(got)) << h;
            // The payload is kept in the top mantissa bits.
            EXPECT_EQ(std::bit_cast<std::uint32_t>(got) & 0x7FFFFFu, (h & 0x3FFu) << 13) << h;
        } else {
            ASSERT_EQ(std::bit_cast<std::uint32_t>(got), std::bit_cast<std::uint32_t>(want)) << h;
        }
    }
}

// ---- the shell hull of the seed pass

TEST(ShellHull, LevelIsShellLevelsAboveTheCoarsestWithinTheBoundsLevels)
{
    EXPECT_EQ(shellLevel(11, 6), 4u); // a 1024 x 1024 field: a 64 x 64 grid of cells
    EXPECT_EQ(shellLevel(8, 6), 1u);
    EXPECT_EQ(shellLevel(3, 6), 1u);  // never below the first bounds level
    EXPECT_EQ(shellLevel(2, 0), 1u);  // never above the last
    EXPECT_EQ(shellLevel(11, 0), 10u);
}

// Seeded random fields: the hull's top over every level-0 sample lies at or
// above the sample, so no surface point can be nearer than the hull.
TEST(ShellHull, TopLiesAboveEverySampleAndTheHullIsClosed)
{
    std::mt19937 random(7);
    for (int round = 0; round < 4; ++round) {
        const std::uint32_t w = 16u << (round % 3), h = 32u >> (round % 2);
        std::uniform_real_distribution<float> height(0.0f, 1.0f);
        std::vector<float> heights(std::size_t(w) * h);
        for (float& value : heights)
            value = height(random);
        Scene scene;
        scene.addField(DisplacementField(w, h, heights, round % 2 == 0));
        scene.addField(DisplacementField(1, 1, std::vector<float>{0.5f}, true)); // one level: no hull
        scene.addPrism(makePrism({1, 2, 3}, {1, 0, 0}, {0, 0, -1}, 4, 2, 1.5f, 0));
        scene.addPrism(makePrism({0, 0, 0}, {1, 0, 0}, {0, 0, -1}, 1, 1, 1, 1));
        scene.refreshPrisms();
        const std::uint32_t shellLevels = round % 3;
        std::vector<ShellRecord> records;
        std::vector<ShellVertex> vertices;
        buildShellMesh(scene, shellLevels, records, vertices);
        ASSERT_EQ(records.size(), 2u);
        EXPECT_FALSE(records[1].present());
        EXPECT_EQ(records[1].vertexCount, 0u);

        const ShellRecord& shell = records[0];
        const DisplacementField& field = scene.fields[0];
        ASSERT_EQ(shell.level, shellLevel(field.levels, shellLevels));
        const std::uint32_t gw = shell.gridWidth, gh = shell.gridHeight;
        EXPECT_EQ(gw, field.levelWidth(shell.level));
        EXPECT_EQ(gh, field.levelHeight(shell.level));
        // Top, four walls and the bottom, six vertices per quad.
        EXPECT_EQ(shell.vertexCount, (gw * gh + 2 * (gw + gh) + 1) * 6);
        EXPECT_EQ(shell.firstVertex + shell.vertexCount, vertices.size());
        for (std::uint32_t i = shell.firstVertex; i < shell.firstVertex + shell.vertexCount; ++i)
            EXPECT_EQ(vertices[i].prism, 0u);

        for (std::uint32_t y = 0; y < h; ++y) {
            for (std::uint32_t x = 0; x < w; ++x) {
                // Sample (x, y) at u = x / w; in cell coordinates of the hull grid.
                const float gx = float(x) * float(gw) / float(w), gy = float(y) * float(gh) / float(h);
                const std::uint32_t cx = std::min(std::uint32_t(gx), gw - 1), cy = std::min(std::uint32_t(gy), gh - 1);
                const float s = gx - float(cx), r = gy - float(cy);
                const float c00 = shell.corner(cx, cy), c10 = shell.corner(cx + 1, cy);
                const float c01 = shell.corner(cx, cy + 1), c11 = shell.corner(cx + 1, cy + 1);
                // The two triangles (00, 10, 11) and (00, 11, 01) of the cell.
                const float top = s >= r ? c00 + (c10 - c00) * s + (c11 - c10) * r
                                         : c00 + (c11 - c01) * s + (c01 - c00) * r;
                ASSERT_GE(top + 1e-5f, field.texelHeight(0, std::int32_t(x), std::int32_t(y)))
                    << "round " << round << " sample " << x << ", " << y;
            }
        }
        // Every vertex lies in the prism's local box of heights 0 to 1.
        const Prism& p = scene.prisms[0];
        for (std::uint32_t i = shell.firstVertex; i < shell.firstVertex + shell.vertexCount; ++i) {
            const Vec3 d = Vec3{vertices[i].position[0], vertices[i].position[1], vertices[i].position[2]} - p.origin;
            const float hl = d.x * p.toLocal[0].z + d.y * p.toLocal[1].z + d.z * p.toLocal[2].z;
            EXPECT_GE(hl, -1e-5f);
            EXPECT_LE(hl, 1.0f + 1e-5f);
        }
    }
}

} // namespace
} // namespace qlmr
