#include "scene/color_image.h"
#include "scene/png_writer.h"
#include "scene/tile_renderer.h"
#include "sdna/tracer.h"
#include "support/test_support.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <fstream>
#include <functional>
#include <gtest/gtest.h>
#include <limits>
#include <memory>
#include <random>

namespace qlmr {
namespace {

constexpr float kInf = std::numeric_limits<float>::infinity();

// ---- reference formulas, in double, written from the shading rules

struct Dir {
    double x, y, z;
};

Dir primaryDirection(const Camera& c, unsigned px, unsigned py)
{
    const double sx = ((px + 0.5) * 2.0 / c.width - 1.0) * c.tanHalfFov * c.aspect;
    const double sy = (1.0 - (py + 0.5) * 2.0 / c.height) * c.tanHalfFov;
    Dir d{c.forward.x + sx * c.right.x + sy * c.up.x, c.forward.y + sx * c.right.y + sy * c.up.y,
          c.forward.z + sx * c.right.z + sy * c.up.z};
    const double len = std::sqrt(d.x * d.x + d.y * d.y + d.z * d.z);
    return {d.x / len, d.y / len, d.z / len};
}

Vec3 referenceSky(const Dir& d, const RenderSettings& s)
{
    const double cs = std::max(d.x * s.sunDir.x + d.y * s.sunDir.y + d.z * s.sunDir.z, 0.0);
    const double glow = 6.0 * std::pow(cs, 512.0) + 0.12 * std::pow(cs, 8.0);
    const double k = std::sqrt(std::min(std::max(d.y, 0.0), 1.0));
    auto ch = [&](float zenith, float horizon, float sun) {
        return float((zenith - horizon) * k + horizon + glow * sun);
    };
    return {ch(s.skyZenith.x, s.skyHorizon.x, s.sunColor.x), ch(s.skyZenith.y, s.skyHorizon.y, s.sunColor.y),
            ch(s.skyZenith.z, s.skyHorizon.z, s.sunColor.z)};
}

// Terrain colour on an upward normal, cavity 1, no specular, then uniform fog.
Vec3 referenceFlatColor(double albedo, double t, double visibility, const RenderSettings& s)
{
    const double ndl = std::max(double(s.sunDir.y), 0.0);
    const double sun = ndl * visibility;
    const double fog = std::exp(-double(s.fogDensity) * t);
    auto ch = [&](float sunColor, float ambient, float horizon) {
        const double lit = albedo * (sun * sunColor + 1.0 * ambient);
        return float(lit * fog + horizon * (1.0 - fog));
    };
    return {ch(s.sunColor.x, s.ambient.x, s.skyHorizon.x), ch(s.sunColor.y, s.ambient.y, s.skyHorizon.y),
            ch(s.sunColor.z, s.ambient.z, s.skyHorizon.z)};
}

// ---- scenes

constexpr std::uint16_t kFlatSample = 32768;

// A flat 64 x 64 field lying in the XZ plane over x in [-32, 32], z in
// [-32, 32], heights along +Y scaled by 2.
Scene flatScene()
{
    Scene scene;
    std::vector<std::uint16_t> heights(64 * 64, kFlatSample);
    scene.addField(DisplacementField(64, 64, std::span<const std::uint16_t>(heights), true));
    scene.addPrism(makePrism({-32.0f, 0.0f, 32.0f}, {1, 0, 0}, {0, 0, -1}, 64.0f, 64.0f, 2.0f, 0));
    scene.refreshPrisms();
    return scene;
}

float flatSurfaceY()
{
    return 2.0f * (float(kFlatSample) * 1.5259022e-5f);
}

// Rolling terrain with albedo and materials, plus a second field as a small
// grid of prisms beside it, so bins hold several prisms and ties occur.
Scene terrainScene()
{
    Scene scene;
    const unsigned n = 128;
    std::vector<float> heights(n * n);
    for (unsigned y = 0; y < n; ++y)
        for (unsigned x = 0; x < n; ++x)
            heights[y * n + x] = 0.5f + 0.25f * std::sin(x * 0.11f) * std::cos(y * 0.07f) +
                0.1f * std::sin((x + 2 * y) * 0.31f);
    DisplacementField terrain(n, n, std::span<const float>(heights), true);
    std::vector<std::uint32_t> albedo(64 * 64);
    std::mt19937 rng(7);
    // Checkers of grass and soil with a little noise, so orientation shows.
    for (unsigned y = 0; y < 64; ++y)
        for (unsigned x = 0; x < 64; ++x) {
            const bool grass = ((x / 8) + (y / 8)) % 2 == 0;
            const std::uint32_t noise = rng() & 0x0F;
            const std::uint32_t r = (grass ? 0x50 : 0x90) + noise, g = (grass ? 0x90 : 0x70) + noise, b = 0x40 + noise;
            albedo[y * 64 + x] = 0xFF000000u | (b << 16) | (g << 8) | r;
        }
    terrain.setAlbedo(64, 64, albedo);
    scene.addField(std::move(terrain));

    std::vector<std::uint16_t> bumps(32 * 32);
    for (std::uint16_t& b : bumps)
        b = std::uint16_t(rng() & 0xFFFF);
    scene.addField(DisplacementField(32, 32, std::span<const std::uint16_t>(bumps), false));

    // A water sheet over part of the valleys: flat at y = 2, its depth from
    // the albedo alpha.
    std::vector<std::uint16_t> still(16 * 16, 32768);
    DisplacementField water(16, 16, std::span<const std::uint16_t>(still), true);
    std::vector<std::uint32_t> waterColor(16 * 16);
    for (unsigned i = 0; i < waterColor.size(); ++i)
        waterColor[i] = (std::uint32_t(0x60 + (i % 16) * 8) << 24) | 0x00806030u;
    water.setAlbedo(16, 16, waterColor);
    scene.addField(std::move(water));

    scene.addPrism(makePrism({-20.0f, 0.0f, 20.0f}, {1, 0, 0}, {0, 0, -1}, 40.0f, 40.0f, 4.0f, 0));
    Prism sheet = makePrism({-20.0f, 1.5f, 20.0f}, {1, 0, 0}, {0, 0, -1}, 40.0f, 30.0f, 1.0f, 2);
    sheet.waterDepthScale = 3.0f;
    scene.addPrism(sheet);
    for (int i = 0; i < 3; ++i)
        for (int j = 0; j < 3; ++j)
            scene.addPrism(makePrism({-3.0f + 2.0f * i, 3.0f, -6.0f - 2.0f * j}, {1, 0, 0}, {0, 0, -1}, 2.0f, 2.0f,
                                     0.6f, 1));
    scene.refreshPrisms();
    return scene;
}

// A unit sphere program, material 0 red.
SdnaProgram sphereProgram()
{
    SdnaProgram program;
    SdnaInstruction sphere;
    sphere.op = SdnaOp::Sphere;
    sphere.p = {0.0f, 0.0f, 0.0f, 1.0f, 0, 0, 0, 0};
    program.instructions.push_back(sphere);
    program.materials.push_back(SdnaMaterial{0.9f, 0.1f, 0.1f, 0.5f});
    program.boundsMin = {-1.01f, -1.01f, -1.01f};
    program.boundsMax = {1.01f, 1.01f, 1.01f};
    return program;
}

// Pixel nearest to the projection of a world point.
std::pair<int, int> projectToPixel(const Camera& c, Vec3 p)
{
    const Vec3 r = p - c.position;
    const float depth = dot(r, c.forward);
    const float sx = dot(r, c.right) / (depth * c.tanHalfFov * c.aspect);
    const float sy = dot(r, c.up) / (depth * c.tanHalfFov);
    return {int(std::floor((sx + 1.0f) * 0.5f * c.width)), int(std::floor((1.0f - sy) * 0.5f * c.height))};
}

void expectNear3(Vec3 actual, Vec3 expected, float tolerance, const std::string& where)
{
    EXPECT_NEAR(actual.x, expected.x, tolerance) << where;
    EXPECT_NEAR(actual.y, expected.y, tolerance) << where;
    EXPECT_NEAR(actual.z, expected.z, tolerance) << where;
}

Vec3 colorAt(const GBuffer& f, unsigned x, unsigned y)
{
    return {f.at(GBuffer::ColorR, x, y), f.at(GBuffer::ColorG, x, y), f.at(GBuffer::ColorB, x, y)};
}

bool planesIdentical(const GBuffer& a, const GBuffer& b, std::string& why)
{
    if (a.width != b.width || a.height != b.height)
        return why = "size", false;
    for (unsigned p = 0; p < GBuffer::kPlaneCount; ++p)
        for (unsigned y = 0; y < a.height; ++y)
            for (unsigned x = 0; x < a.width; ++x) {
                const float va = a.at(p, x, y), vb = b.at(p, x, y);
                if (std::memcmp(&va, &vb, sizeof(float)) != 0) {
                    why = "plane " + std::to_string(p) + " at " + std::to_string(x) + "," + std::to_string(y) +
                        ": " + std::to_string(va) + " vs " + std::to_string(vb);
                    return false;
                }
            }
    return true;
}

// ---- the flat field worked by hand

TEST(TileRenderer, FlatFieldMatchesTheAnalyticPlaneAndShading)
{
    struct Case {
        const char* name;
        float fogDensity;
    };
    const Case cases[] = {{"default fog", 0.0011f}, {"dense fog", 0.2f}};
    const Scene scene = flatScene();
    const SceneTracer tracer(scene, TraceSettings{});
    ThreadPool pool(3);
    TileRenderer renderer(&pool, &tracer);
    // Looking steeply down, so every pixel sees the field.
    const Camera camera = Camera::lookAt({0.5f, 6.0f, 0.0f}, {0.5f, 1.0f, -3.0f}, {0, 1, 0}, 60.0f, 45, 31);
    const float planeY = flatSurfaceY();
    for (const Case& c : cases) {
        RenderSettings settings;
        settings.fogDensity = c.fogDensity;
        GBuffer frame;
        const FrameStats stats = renderer.render(camera, settings, frame);
        EXPECT_EQ(stats.primary, 45u * 31u) << c.name;
        EXPECT_EQ(stats.hits, 45u * 31u) << c.name;
        EXPECT_EQ(stats.shadow, 45u * 31u) << c.name;  // every hit faces the sun
        EXPECT_GT(stats.iters, 0.0);
        EXPECT_DOUBLE_EQ(stats.avgBin, 1.0);
        for (unsigned y = 0; y < camera.height; ++y)
            for (unsigned x = 0; x < camera.width; ++x) {
                const std::string where = std::string(c.name) + " pixel " + std::to_string(x) + "," + std::to_string(y);
                const Dir d = primaryDirection(camera, x, y);
                const double t = (planeY - camera.position.y) / d.y;
                ASSERT_NEAR(frame.at(GBuffer::Depth, x, y), t, 2e-4 * t) << where;
                EXPECT_NEAR(frame.at(GBuffer::NormalX, x, y), 0.0f, 1e-6f) << where;
                EXPECT_NEAR(frame.at(GBuffer::NormalY, x, y), 1.0f, 1e-6f) << where;
                EXPECT_NEAR(frame.at(GBuffer::NormalZ, x, y), 0.0f, 1e-6f) << where;
                expectNear3(colorAt(frame, x, y), referenceFlatColor(0.7, t, 1.0, settings), 2e-4f, where);
                EXPECT_GT(frame.at(GBuffer::Cost, x, y), 0.0f) << where;
            }
        if (c.fogDensity > 0.1f) {
            // Far pixels are almost all horizon colour.
            expectNear3(colorAt(frame, 22, 0), settings.skyHorizon, 0.05f, "dense fog, top row");
        }
    }
}

TEST(TileRenderer, EmptySceneIsSkyEverywhereWithNothingCounted)
{
    const Scene scene;
    const SceneTracer tracer(scene, TraceSettings{});
    ThreadPool pool(2);
    TileRenderer renderer(&pool, &tracer);
    // Looking towards the sun from slightly below the horizon to above it,
    // so the glow and both gradient ends appear.
    const RenderSettings settings;
    const Vec3 target{settings.sunDir.x * 10.0f, 0.0f, settings.sunDir.z * 10.0f};
    const Camera camera = Camera::lookAt({0, 0, 0}, target, {0, 1, 0}, 90.0f, 37, 21);
    GBuffer frame;
    const FrameStats stats = renderer.render(camera, settings, frame);
    EXPECT_EQ(stats.primary, 37u * 21u);
    EXPECT_EQ(stats.hits, 0u);
    EXPECT_EQ(stats.shadow, 0u);
    EXPECT_EQ(stats.iters, 0.0);
    EXPECT_EQ(stats.descends, 0.0);
    EXPECT_EQ(stats.seed, 0.0);
    EXPECT_EQ(stats.avgBin, 0.0);
    for (unsigned y = 0; y < camera.height; ++y)
        for (unsigned x = 0; x < camera.width; ++x) {
            const std::string where = "pixel " + std::to_string(x) + "," + std::to_string(y);
            EXPECT_EQ(frame.at(GBuffer::Depth, x, y), kInf) << where;
            EXPECT_EQ(frame.at(GBuffer::NormalY, x, y), 0.0f) << where;
            EXPECT_EQ(frame.at(GBuffer::Cost, x, y), 0.0f) << where;
            EXPECT_EQ(frame.at(GBuffer::Level, x, y), 0.0f) << where;
            const Vec3 sky = referenceSky(primaryDirection(camera, x, y), settings);
            expectNear3(colorAt(frame, x, y), sky, 1e-4f * std::max(1.0f, sky.x), where);
        }
}

TEST(TileRenderer, LanesOutsideTheImageHoldMissValues)
{
    const Scene scene = flatScene();
    const SceneTracer tracer(scene, TraceSettings{});
    ThreadPool pool(2);
    TileRenderer renderer(&pool, &tracer);
    const Camera camera = Camera::lookAt({0.5f, 6.0f, 0.0f}, {0.5f, 1.0f, -3.0f}, {0, 1, 0}, 60.0f, 17, 5);
    GBuffer frame;
    const RenderSettings settings;
    renderer.render(camera, settings, frame);
    const unsigned paddedWidth = frame.packetsPerRow * kPacketWidth;
    const unsigned paddedHeight = frame.packetRows * 2;
    ASSERT_TRUE(paddedWidth > 17 || paddedHeight > 5);
    for (unsigned y = 0; y < paddedHeight; ++y)
        for (unsigned x = 0; x < paddedWidth; ++x) {
            if (x < 17 && y < 5) {
                EXPECT_LT(frame.at(GBuffer::Depth, x, y), 1e29f);
                continue;
            }
            EXPECT_EQ(frame.at(GBuffer::Depth, x, y), kInf) << x << "," << y;
            EXPECT_EQ(frame.at(GBuffer::NormalX, x, y), 0.0f);
            EXPECT_EQ(frame.at(GBuffer::NormalY, x, y), 0.0f);
            EXPECT_EQ(frame.at(GBuffer::NormalZ, x, y), 0.0f);
            EXPECT_EQ(frame.at(GBuffer::Cost, x, y), 0.0f);
            EXPECT_EQ(frame.at(GBuffer::Level, x, y), 0.0f);
            // The sky along the lane's own ray, even where that ray would
            // have met the field.
            const Vec3 sky = referenceSky(primaryDirection(camera, x, y), settings);
            expectNear3(colorAt(frame, x, y), sky, 1e-4f * std::max(1.0f, sky.x),
                        "outside lane " + std::to_string(x) + "," + std::to_string(y));
        }
}

TEST(TileRenderer, ZeroSizedCameraRendersNothing)
{
    const Scene scene = flatScene();
    const SceneTracer tracer(scene, TraceSettings{});
    ThreadPool pool(2);
    TileRenderer renderer(&pool, &tracer);
    const std::pair<std::uint32_t, std::uint32_t> sizes[] = {{0, 8}, {8, 0}, {0, 0}};
    for (const auto& [width, height] : sizes) {
        const std::string where = std::to_string(width) + "x" + std::to_string(height);
        // A frame rendered before at a real size gives its planes up.
        const Camera before = Camera::lookAt({0.5f, 6.0f, 0.0f}, {0.5f, 1.0f, -3.0f}, {0, 1, 0}, 60.0f, 24, 16);
        GBuffer frame;
        renderer.render(before, RenderSettings{}, frame);
        ASSERT_FALSE(renderer.bins().empty());
        Camera camera = before;
        camera.width = width;
        camera.height = height;
        const FrameStats stats = renderer.render(camera, RenderSettings{}, frame);
        EXPECT_EQ(stats.primary, 0u) << where;
        EXPECT_EQ(stats.hits, 0u) << where;
        EXPECT_EQ(stats.shadow, 0u) << where;
        EXPECT_EQ(stats.iters, 0.0) << where;
        EXPECT_EQ(stats.descends, 0.0) << where;
        EXPECT_EQ(stats.seed, 0.0) << where;
        EXPECT_EQ(stats.avgBin, 0.0) << where;
        EXPECT_TRUE(renderer.bins().empty()) << where;
        EXPECT_EQ(frame.width, width) << where;
        EXPECT_EQ(frame.height, height) << where;
        EXPECT_EQ(frame.planeSize(), 0u) << where;
        for (unsigned p = 0; p < GBuffer::kPlaneCount; ++p)
            EXPECT_EQ(frame.plane(p), nullptr) << where << " plane " << p;
    }
}

TEST(TileRenderer, SameSizeReusesThePlanesAndANewSizeReplacesThem)
{
    const Scene scene = flatScene();
    const SceneTracer tracer(scene, TraceSettings{});
    ThreadPool pool(2);
    TileRenderer renderer(&pool, &tracer);
    Camera camera = Camera::lookAt({0.5f, 6.0f, 0.0f}, {0.5f, 1.0f, -3.0f}, {0, 1, 0}, 60.0f, 24, 16);
    GBuffer frame;
    renderer.render(camera, RenderSettings{}, frame);
    const float* depth = frame.plane(GBuffer::Depth);
    const float first = frame.at(GBuffer::ColorR, 5, 5);
    renderer.render(camera, RenderSettings{}, frame);
    EXPECT_EQ(frame.plane(GBuffer::Depth), depth);
    EXPECT_EQ(frame.at(GBuffer::ColorR, 5, 5), first);
    EXPECT_EQ(renderer.bins().size(), 2u);
    camera = Camera::lookAt({0.5f, 6.0f, 0.0f}, {0.5f, 1.0f, -3.0f}, {0, 1, 0}, 60.0f, 40, 20);
    const FrameStats stats = renderer.render(camera, RenderSettings{}, frame);
    EXPECT_EQ(frame.width, 40u);
    EXPECT_EQ(frame.height, 20u);
    EXPECT_EQ(renderer.bins().size(), 3u * 2u);
    EXPECT_EQ(stats.primary, 800u);

    // The size fields are public: a buffer given the size by hand holds no
    // planes yet, and is rendered like a new one.
    GBuffer byHand;
    byHand.width = camera.width;
    byHand.height = camera.height;
    const FrameStats again = renderer.render(camera, RenderSettings{}, byHand);
    EXPECT_EQ(again.primary, 800u);
    std::string why;
    EXPECT_TRUE(planesIdentical(frame, byHand, why)) << why;
}

// The kernels read the tracer's views and prism list without bounds checks;
// a scene changed under its tracer, or a tracer whose public lists were set
// by hand, must be refused rather than have them read past the snapshot or
// through a replaced field's freed storage.
TEST(TileRenderer, RefusesAFrameOnceTheSceneChangedUnderItsTracer)
{
    auto smallField = [] { return DisplacementField(4, 4, std::vector<std::uint16_t>(16, 100), true); };
    auto smallPrism = [](std::uint32_t field) {
        return makePrism({-2.0f, 2.0f, 2.0f}, {1, 0, 0}, {0, 0, -1}, 4.0f, 4.0f, 1.0f, field);
    };
    struct Case {
        const char* name;
        std::function<void(Scene&, SceneTracer&)> change;
        bool fieldIndex; // refused as a missing field rather than a changed scene
    };
    const Case cases[] = {
        {"field and prism added",
         [&](Scene& s, SceneTracer&) {
             s.addPrism(smallPrism(std::uint32_t(s.addField(smallField()))));
             s.refreshPrisms();
         },
         false},
        {"prism added", [&](Scene& s, SceneTracer&) { s.addPrism(smallPrism(0)); s.refreshPrisms(); }, false},
        {"prism removed", [](Scene& s, SceneTracer&) { s.prisms.pop_back(); }, false},
        {"field replaced", [&](Scene& s, SceneTracer&) { s.fields[0] = smallField(); s.refreshPrisms(); }, false},
        {"field moved out", [](Scene& s, SceneTracer&) { DisplacementField taken = std::move(s.fields[0]); }, false},
        {"scene moved away", [](Scene& s, SceneTracer&) { Scene elsewhere = std::move(s); }, false},
        {"prism pointed at a missing field", [](Scene& s, SceneTracer&) { s.prisms[0].fieldIndex = 1; }, true},
        {"prism list naming a missing prism", [](Scene&, SceneTracer& t) { t.allPrisms[0] = 40000; }, true},
    };
    const Camera camera = Camera::lookAt({0.5f, 6.0f, 0.0f}, {0.5f, 1.0f, -3.0f}, {0, 1, 0}, 60.0f, 24, 16);
    const Camera other = Camera::lookAt({0.5f, 6.0f, 0.0f}, {0.5f, 1.0f, -3.0f}, {0, 1, 0}, 60.0f, 8, 8);
    ThreadPool pool(2);
    for (const Case& c : cases) {
        Scene scene = flatScene();
        SceneTracer tracer(scene, TraceSettings{});
        TileRenderer renderer(&pool, &tracer);
        GBuffer frame;
        renderer.render(camera, RenderSettings{}, frame);
        c.change(scene, tracer);
        try {
            renderer.render(other, RenderSettings{}, frame);
            ADD_FAILURE() << c.name << ": rendered";
        } catch (const std::out_of_range& e) {
            EXPECT_TRUE(c.fieldIndex) << c.name;
            EXPECT_STREQ(e.what(), "invalid vector subscript") << c.name;
        } catch (const std::invalid_argument& e) {
            EXPECT_FALSE(c.fieldIndex) << c.name;
            EXPECT_STREQ(e.what(), "scene changed after its tracer was built") << c.name;
        }
        // Refused before anything was touched.
        EXPECT_EQ(frame.width, camera.width) << c.name;
    }

    // Edits by rectangle and new heights keep the snapshot valid, and the
    // frame shows them.
    Scene scene = flatScene();
    const SceneTracer tracer(scene, TraceSettings{});
    TileRenderer renderer(&pool, &tracer);
    GBuffer frame;
    renderer.render(camera, RenderSettings{}, frame);
    const float before = frame.at(GBuffer::Depth, 12, 8);
    scene.fields[0].setHeights(std::vector<std::uint16_t>(64 * 64, 65535));
    renderer.render(camera, RenderSettings{}, frame);
    EXPECT_LT(frame.at(GBuffer::Depth, 12, 8), before);
}

// ---- determinism: pool sizes and lane widths

struct DeterminismScene {
    Scene scene = terrainScene();
    SdnaProgram program = sphereProgram();
    SdnaInstance solid;
    Camera camera = Camera::lookAt({-6.0f, 9.0f, 14.0f}, {1.0f, 2.0f, -6.0f}, {0, 1, 0}, 55.0f, 70, 46);
    DeterminismScene()
    {
        solid.program = &program;
        solid.translation = {0.0f, 4.5f, -2.0f};
        solid.scale = 1.3f;
    }
};

TEST(TileRenderer, PoolSizeDoesNotChangeTheFrame)
{
    DeterminismScene s;
    const SceneTracer tracer(s.scene, TraceSettings{});
    RenderSettings settings;
    settings.specular = 0.5f;
    settings.normalRefine = 0.4f;
    settings.fogFalloff = 0.05f;
    GBuffer frames[2];
    FrameStats stats[2];
    const unsigned threads[2] = {1, 8};
    for (int i = 0; i < 2; ++i) {
        ThreadPool pool(threads[i]);
        TileRenderer renderer(&pool, &tracer);
        renderer.solid = &s.solid;
        stats[i] = renderer.render(s.camera, settings, frames[i]);
    }
    std::string why;
    EXPECT_TRUE(planesIdentical(frames[0], frames[1], why)) << why;
    EXPECT_EQ(stats[0].primary, stats[1].primary);
    EXPECT_EQ(stats[0].hits, stats[1].hits);
    EXPECT_EQ(stats[0].shadow, stats[1].shadow);
    EXPECT_EQ(stats[0].iters, stats[1].iters);
    EXPECT_EQ(stats[0].descends, stats[1].descends);
    EXPECT_EQ(stats[0].seed, stats[1].seed);
    EXPECT_EQ(stats[0].avgBin, stats[1].avgBin);
    EXPECT_GT(stats[0].hits, 0u);
    EXPECT_LT(stats[0].hits, stats[0].primary);  // some sky too
    EXPECT_GT(stats[0].avgBin, 1.0);
}

// Every pixel traced alone on the one-lane path must give the bits the
// packet of this build stored. Both builds agree with the one-lane path,
// so they agree with each other. Without the solid object the renderer
// traces each pass's shadow rays only against the prisms they can reach;
// the one-lane path traces them against every prism.
TEST(TileRenderer, PacketsMatchTheOneLanePathBitForBit)
{
    DeterminismScene s;
    const SceneTracer tracer(s.scene, TraceSettings{});
    ThreadPool pool(4);
    for (const bool withSolid : {true, false}) {
        TileRenderer renderer(&pool, &tracer);
        const SdnaInstance* solid = withSolid ? &s.solid : nullptr;
        renderer.solid = solid;
        RenderSettings settings;
        settings.specular = 0.3f;
        settings.normalRefine = 0.5f;
        GBuffer frame;
        const FrameStats stats = renderer.render(s.camera, settings, frame);
        std::uint64_t shadowRays = 0;
        for (unsigned y = 0; y < frame.height; ++y)
            for (unsigned x = 0; x < frame.width; ++x) {
                const auto& bin =
                    renderer.bins()[(y / kTileSize) * ((frame.width + kTileSize - 1) / kTileSize) + x / kTileSize];
                const RayPacketOf<1> ray = primaryRays<1>(s.camera, float(x), float(y));
                PacketResult<1> one;
                renderPacket<1>(tracer, solid, ray, simd::vmask<1>(true), bin, settings, one);
                shadowRays += unsigned(one.shadowRays);
                for (unsigned p = 0; p < GBuffer::kPlaneCount; ++p) {
                    const float expected = one.planes[p].lane(0);
                    const float actual = frame.at(p, x, y);
                    ASSERT_EQ(std::memcmp(&expected, &actual, sizeof(float)), 0)
                        << "plane " << p << " at " << x << "," << y << ": " << actual << " vs one lane " << expected
                        << (withSolid ? " with" : " without") << " the solid";
                }
            }
        EXPECT_EQ(shadowRays, stats.shadow);
        EXPECT_GT(stats.shadow, stats.primary / 4);
    }
}

// The frame's counters are the planes summed over the pixels inside the
// image: lanes past the right and bottom edges count nowhere, the cost plane
// carries the solid object's steps as well as the march's, and avgBin is the
// mean size of the bins the frame left behind.
TEST(TileRenderer, CountersAreThePlanesSummedOverTheImage)
{
    DeterminismScene s;
    // Neither size a multiple of the packet or the tile.
    s.camera = Camera::lookAt({-6.0f, 9.0f, 14.0f}, {1.0f, 2.0f, -6.0f}, {0, 1, 0}, 55.0f, 53, 29);
    ASSERT_NE(s.camera.width % kPacketWidth, 0u);
    ASSERT_NE(s.camera.height % 2, 0u);
    TraceSettings trace;
    trace.seedOracle = true;
    trace.shellLog2 = 2;
    const SceneTracer tracer(s.scene, trace);
    ThreadPool pool(3);
    for (const bool withSolid : {false, true}) {
        TileRenderer renderer(&pool, &tracer);
        renderer.solid = withSolid ? &s.solid : nullptr;
        GBuffer frame;
        const FrameStats stats = renderer.render(s.camera, RenderSettings{}, frame);
        const char* where = withSolid ? "with the solid" : "without the solid";
        std::uint64_t hits = 0;
        double cost = 0.0;
        for (unsigned y = 0; y < frame.height; ++y)
            for (unsigned x = 0; x < frame.width; ++x) {
                hits += frame.at(GBuffer::Depth, x, y) < 1e29f;
                cost += frame.at(GBuffer::Cost, x, y);
            }
        EXPECT_EQ(stats.primary, 53u * 29u) << where;
        EXPECT_EQ(stats.hits, hits) << where;
        EXPECT_EQ(stats.iters, cost) << where;
        EXPECT_GT(stats.hits, 0u) << where;
        EXPECT_LT(stats.hits, stats.primary) << where;
        EXPECT_GT(stats.descends, 0.0) << where;
        EXPECT_GT(stats.seed, 0.0) << where;
        std::size_t binned = 0;
        for (const auto& bin : renderer.bins())
            binned += bin.size();
        ASSERT_EQ(renderer.bins().size(), 4u * 2u) << where;
        EXPECT_DOUBLE_EQ(stats.avgBin, double(binned) / 8.0) << where;
        EXPECT_GE(stats.ms, 0.0) << where;
    }
}

// A tile rendered on its own stores and counts its own pixels; one that the
// last binning did not make, or a frame whose planes do not hold its size,
// is left alone instead of reading a missing bin or writing through planes
// that are not there.
TEST(TileRenderer, TileCalledOnItsOwnNeedsItsBinAndPlanes)
{
    const Scene scene = flatScene();
    const SceneTracer tracer(scene, TraceSettings{});
    ThreadPool pool(2);
    // 40 x 20: 3 x 2 tiles, the last column 8 pixels wide, the last row 4 high.
    const Camera camera = Camera::lookAt({0.5f, 6.0f, 0.0f}, {0.5f, 1.0f, -3.0f}, {0, 1, 0}, 60.0f, 40, 20);
    const RenderSettings settings;

    GBuffer rendered;
    TileRenderer reference(&pool, &tracer);
    reference.render(camera, settings, rendered);
    // The whole image's frame, each tile stored again by itself.
    const std::pair<std::uint32_t, std::uint64_t> tiles[] = {{0, 256}, {2, 8 * 16}, {5, 8 * 4}};
    for (const auto& [tile, pixels] : tiles) {
        GBuffer frame;
        TileRenderer renderer(&pool, &tracer);
        renderer.render(camera, settings, frame);
        for (unsigned p = 0; p < GBuffer::kPlaneCount; ++p)
            std::fill(frame.plane(p), frame.plane(p) + frame.planeSize(), -1.0f);
        FrameStats slot;
        renderer.renderTile(tile, 3, camera, settings, frame, slot);
        EXPECT_EQ(slot.primary, pixels) << "tile " << tile;
        EXPECT_EQ(slot.hits, pixels) << "tile " << tile;
        const std::uint32_t x0 = (tile % 3) * 16, y0 = (tile / 3) * 16;
        for (std::uint32_t y = y0; y < std::min(y0 + 16, 20u); ++y)
            for (std::uint32_t x = x0; x < std::min(x0 + 16, 40u); ++x)
                EXPECT_EQ(frame.at(GBuffer::Depth, x, y), rendered.at(GBuffer::Depth, x, y)) << x << "," << y;
    }

    struct Case {
        const char* name;
        bool bins;         // the renderer has binned the camera
        std::uint32_t tile, tilesX;
        bool handSized;    // the frame's size and packet counts set by hand
    };
    const Case cases[] = {
        {"renderer never binned", false, 0, 3, false},
        {"tile past the bins", true, 6, 3, false},
        {"no tile columns", true, 0, 0, false},
        {"frame sized by hand", true, 0, 3, true},
    };
    for (const Case& c : cases) {
        TileRenderer renderer(&pool, &tracer);
        GBuffer frame;
        if (c.bins)
            renderer.render(camera, settings, frame);
        GBuffer handSized;
        handSized.width = camera.width;
        handSized.height = camera.height;
        handSized.packetsPerRow = (camera.width + kPacketWidth - 1) / kPacketWidth;
        handSized.packetRows = (camera.height + 1) / 2;
        GBuffer& target = c.handSized ? handSized : frame;
        if (!c.handSized && c.bins)
            for (unsigned p = 0; p < GBuffer::kPlaneCount; ++p)
                std::fill(frame.plane(p), frame.plane(p) + frame.planeSize(), -1.0f);
        FrameStats slot;
        renderer.renderTile(c.tile, c.tilesX, camera, settings, target, slot);
        EXPECT_EQ(slot.primary, 0u) << c.name;
        EXPECT_EQ(slot.hits, 0u) << c.name;
        EXPECT_EQ(slot.iters, 0.0) << c.name;
        if (!c.handSized && c.bins)
            EXPECT_EQ(frame.at(GBuffer::Depth, 0, 0), -1.0f) << c.name;
    }
}

// ---- binning

Camera binningCamera()
{
    Camera c;  // at the origin looking along -Z
    c.tanHalfFov = 1.0f;
    c.aspect = 1.0f;
    c.width = 64;
    c.height = 64;
    return c;
}

Prism boxPrism(Vec3 origin, float sx, float sy, float sz)
{
    // u along +X, v along +Y, h along +Z
    Prism p = makePrism(origin, {1, 0, 0}, {0, 1, 0}, sx, sy, sz, 0);
    updatePrism(p, 16, 16, 0);
    return p;
}

TEST(Binning, PrismsLandInTheTilesTheirBoxCovers)
{
    struct Case {
        const char* name;
        Prism prism;
        std::vector<std::pair<unsigned, unsigned>> tiles;  // (tx, ty); empty = none
        bool everyTile;
    };
    const Case cases[] = {
        {"behind the eye", boxPrism({-1, -1, 5}, 2, 2, 1), {}, false},
        {"straddling the near plane", boxPrism({-1, -1, -2}, 2, 2, 4), {}, true},
        {"left of the image", boxPrism({-100, -1, -10}, 5, 2, 1), {}, false},
        {"above the image", boxPrism({-1, 40, -10}, 2, 2, 1), {}, false},
        // x in [1, 3], y in [-1, 1], z in [-10.5, -9.5]: screen x 35.0..42.1, y 28.6..35.4
        {"small box", boxPrism({1, -1, -10.5f}, 2, 2, 1), {{2, 1}, {2, 2}}, false},
        // reaches past the right edge: clamped to the last column
        {"past the right edge", boxPrism({6, -1, -10.5f}, 30, 2, 1), {{3, 1}, {3, 2}}, false},
    };
    const Camera camera = binningCamera();
    for (const Case& c : cases) {
        std::vector<std::vector<std::uint32_t>> bins(3, std::vector<std::uint32_t>{99});  // stale content is cleared
        binPrisms({c.prism}, camera, 4, 4, bins);
        ASSERT_EQ(bins.size(), 16u) << c.name;
        for (unsigned ty = 0; ty < 4; ++ty)
            for (unsigned tx = 0; tx < 4; ++tx) {
                bool expected = c.everyTile;
                for (const auto& tile : c.tiles)
                    expected |= tile.first == tx && tile.second == ty;
                const auto& bin = bins[ty * 4 + tx];
                EXPECT_EQ(bin.size(), expected ? 1u : 0u) << c.name << " tile " << tx << "," << ty;
            }
    }
}

TEST(Binning, NearestBoxFirstAndTiesKeepIndexOrder)
{
    const Camera camera = binningCamera();
    // 0 and 2 both contain the eye (distance 0); 1 is far, 3 is near.
    // 4 and 5 are equally far copies side by side.
    std::vector<Prism> prisms = {
        boxPrism({-5, -5, -5}, 10, 10, 10),  // eye inside
        boxPrism({-1, -1, -40}, 2, 2, 1),
        boxPrism({-2, -2, -2}, 4, 4, 4),     // eye inside
        boxPrism({-1, -1, -8}, 2, 2, 1),
        boxPrism({-1, -1, -20}, 2, 2, 1),
        boxPrism({-1, -1, -20}, 2, 2, 1),
    };
    std::vector<std::vector<std::uint32_t>> bins;
    binPrisms(prisms, camera, 4, 4, bins);
    // Tile (1, 1) sees the centre of the image, where every box projects.
    const std::vector<std::uint32_t> expected = {0, 2, 3, 4, 5, 1};
    EXPECT_EQ(bins[1 * 4 + 1], expected);
    EXPECT_EQ(bins[2 * 4 + 2], expected);
    // Corners see only the two boxes around the eye.
    EXPECT_EQ(bins[0], (std::vector<std::uint32_t>{0, 2}));
}

TEST(Binning, AverageBinCountsAPrismOncePerBin)
{
    Scene scene;
    std::vector<std::uint16_t> heights(16 * 16, 0);
    scene.addField(DisplacementField(16, 16, std::span<const std::uint16_t>(heights), true));
    scene.addPrism(makePrism({1, -1, -10.5f}, {1, 0, 0}, {0, 1, 0}, 2, 2, 1, 0));
    scene.refreshPrisms();
    const SceneTracer tracer(scene, TraceSettings{});
    ThreadPool pool(1);
    TileRenderer renderer(&pool, &tracer);
    GBuffer frame;
    const FrameStats stats = renderer.render(binningCamera(), RenderSettings{}, frame);
    EXPECT_DOUBLE_EQ(stats.avgBin, 2.0 / 16.0);
}

// ---- the solid object

struct SolidScene {
    Scene scene = flatScene();
    SdnaProgram program = sphereProgram();
    SdnaInstance solid;
    Camera camera = Camera::lookAt({0.0f, 7.0f, 3.0f}, {1.0f, 1.0f, -5.0f}, {0, 1, 0}, 60.0f, 96, 64);
    SolidScene()
    {
        solid.program = &program;
        solid.translation = {0.0f, 2.6f, -4.0f};
    }
    Vec3 centre() const { return {solid.translation[0], solid.translation[1], solid.translation[2]}; }
};

TEST(TileRenderer, SolidObjectBesideAFieldIsTracedAndCastsAShadow)
{
    SolidScene s;
    const SceneTracer tracer(s.scene, TraceSettings{});
    ThreadPool pool(3);
    TileRenderer renderer(&pool, &tracer);
    renderer.solid = &s.solid;
    const RenderSettings settings;
    GBuffer frame;
    renderer.render(s.camera, settings, frame);

    // The pixel at the sphere's centre shows the sphere, traced by traceInstance.
    const auto [cx, cy] = projectToPixel(s.camera, s.centre());
    ASSERT_TRUE(cx >= 0 && cx < 96 && cy >= 0 && cy < 64);
    const Dir d = primaryDirection(s.camera, cx, cy);
    const SdnaTraceOptions options{256, 0.0001f, 0.5f * Camera::pixelSpread(s.camera), true};
    const std::array<float, 3> eye{s.camera.position.x, s.camera.position.y, s.camera.position.z};
    const SdnaHit direct = traceInstance(s.solid, eye, {float(d.x), float(d.y), float(d.z)}, 0.0f, 1e30f, options);
    ASSERT_NE(direct.status, kSdnaMiss);
    EXPECT_NEAR(frame.at(GBuffer::Depth, cx, cy), direct.t, 1e-4f * direct.t);
    EXPECT_NEAR(frame.at(GBuffer::NormalX, cx, cy), direct.normal[0], 1e-3f);
    EXPECT_NEAR(frame.at(GBuffer::NormalY, cx, cy), direct.normal[1], 1e-3f);
    EXPECT_EQ(frame.at(GBuffer::Level, cx, cy), 0.0f);
    // Red material: red dominates whatever the lighting.
    const Vec3 sphereColor = colorAt(frame, cx, cy);
    EXPECT_GT(sphereColor.x, 2.0f * sphereColor.y);
    // The pixel's cost is the solid's trace steps alone (no field was marched
    // to a hit in front of it, but the march still counts its iterations).
    EXPECT_GE(frame.at(GBuffer::Cost, cx, cy), float(direct.steps));

    // Where the ray towards the sun passes through the sphere's centre, the
    // field lies in the sphere's shadow: lit by the sky alone.
    const float planeY = flatSurfaceY();
    const Vec3 c = s.centre();
    const float along = (c.y - planeY) / settings.sunDir.y;
    const Vec3 shadowPoint = c - settings.sunDir * along;
    const auto [sx, sy] = projectToPixel(s.camera, shadowPoint);
    ASSERT_TRUE(sx >= 0 && sx < 96 && sy >= 0 && sy < 64);
    const Dir ds = primaryDirection(s.camera, sx, sy);
    const double t = (planeY - s.camera.position.y) / ds.y;
    EXPECT_NEAR(frame.at(GBuffer::Depth, sx, sy), t, 1e-4 * t);
    expectNear3(colorAt(frame, sx, sy), referenceFlatColor(0.7, t, 0.0, settings), 2e-4f, "in the solid's shadow");

    // Without shadows the same pixel is sunlit and no shadow ray is cast.
    RenderSettings noShadows = settings;
    noShadows.shadows = false;
    GBuffer lit;
    const FrameStats litStats = renderer.render(s.camera, noShadows, lit);
    EXPECT_EQ(litStats.shadow, 0u);
    expectNear3(colorAt(lit, sx, sy), referenceFlatColor(0.7, t, 1.0, settings), 2e-4f, "shadows off");

    // Without the solid object the sphere's pixel shows the field.
    renderer.solid = nullptr;
    GBuffer bare;
    renderer.render(s.camera, settings, bare);
    EXPECT_GT(bare.at(GBuffer::Depth, cx, cy), frame.at(GBuffer::Depth, cx, cy));
    EXPECT_LT(bare.at(GBuffer::Cost, cx, cy), frame.at(GBuffer::Cost, cx, cy));
}

// The solid-object steps taken through the renderer use its solid object,
// and do nothing while it has none.
TEST(TileRenderer, SolidStepsThroughTheRendererUseItsSolidObject)
{
    constexpr int L = simd::kLanes;
    using VF = simd::vfloat<L>;
    SolidScene s;
    const SceneTracer tracer(s.scene, TraceSettings{});
    ThreadPool pool(1);
    TileRenderer renderer(&pool, &tracer);
    const auto [cx, cy] = projectToPixel(s.camera, s.centre());
    const RayPacket rays = primaryRays<L>(s.camera, VF(float(cx)), VF(float(cy)));
    const std::vector<std::uint32_t> prisms{0};
    const RenderSettings settings;
    const Mask8 all(true);

    struct Outcome {
        HitPacket hits;
        SurfacePacket surface;
        VF reflectionR, reflectionG, reflectionB;
        Mask8 reflectionMask{true};
        VF visibility;
    };
    auto run = [&](const SdnaInstance* solid) {
        renderer.solid = solid;
        Outcome o;
        tracePacket(tracer, o.hits, rays, all, std::span<const std::uint32_t>(prisms));
        fetchSurface(tracer, o.surface, o.hits, rays);
        traceSolid(renderer, rays, all, o.hits, o.surface, settings, o.reflectionR, o.reflectionG, o.reflectionB,
                   o.reflectionMask);
        // Shadow rays from just under the sphere towards the sun.
        RayPacket shadow = rays;
        const Vec3 below = s.centre() - settings.sunDir * 3.0f;
        shadow.originX = VF(below.x);
        shadow.originY = VF(below.y);
        shadow.originZ = VF(below.z);
        shadow.dirX = VF(settings.sunDir.x);
        shadow.dirY = VF(settings.sunDir.y);
        shadow.dirZ = VF(settings.sunDir.z);
        o.visibility = traceSolidShadow(renderer, shadow, all, settings.sunDir, VF(1.0f));
        return o;
    };

    const Outcome with = run(&s.solid);
    const Outcome without = run(nullptr);
    for (int i = 0; i < L; ++i) {
        ASSERT_TRUE(with.hits.mask.lane(i)) << i;
        EXPECT_EQ(with.hits.prism.lane(i), -1) << i;
        EXPECT_LT(with.hits.t.lane(i), without.hits.t.lane(i)) << i;
        EXPECT_EQ(with.surface.albedoR.lane(i), 0.9f) << i;
        EXPECT_EQ(with.visibility.lane(i), 0.0f) << i;
        // Without a solid object: the field's hit, its albedo, full light.
        EXPECT_EQ(without.hits.prism.lane(i), 0) << i;
        EXPECT_FLOAT_EQ(without.surface.albedoR.lane(i), 0.7f) << i;
        EXPECT_EQ(without.visibility.lane(i), 1.0f) << i;
        for (const Outcome* o : {&with, &without}) {
            EXPECT_FALSE(o->reflectionMask.lane(i)) << i;
            EXPECT_EQ(o->reflectionR.lane(i), 0.0f) << i;
        }
    }
}

// ---- an image for a person to look at

TEST(TileRenderer, SmallSceneImageIsUprightAndUnmirrored)
{
    DeterminismScene s;
    // The sphere left of the view's centre, high in the sky region.
    s.camera = Camera::lookAt({0.0f, 8.0f, 16.0f}, {0.0f, 3.0f, -4.0f}, {0, 1, 0}, 60.0f, 320, 200);
    s.solid.translation = {-5.0f, 7.0f, 0.0f};
    const SceneTracer tracer(s.scene, TraceSettings{});
    ThreadPool pool(4);
    TileRenderer renderer(&pool, &tracer);
    renderer.solid = &s.solid;
    GBuffer frame;
    renderer.render(s.camera, RenderSettings{}, frame);
    const std::vector<std::uint8_t> rgba = colorImage(frame);
    const std::string path =
        (test::artifactDir("scene") / (std::string("renderer_scene_") + QLMR_TEST_VARIANT + ".png")).string();
    ASSERT_TRUE(writePng(path, frame.width, frame.height, rgba));
    // The nine planes in pixel order, so the two builds' frames can be
    // compared byte for byte (cmp renderer_scene_avx2.planes renderer_scene_sse2.planes).
    {
        std::vector<float> planes;
        for (unsigned p = 0; p < GBuffer::kPlaneCount; ++p)
            for (unsigned y = 0; y < frame.height; ++y)
                for (unsigned x = 0; x < frame.width; ++x)
                    planes.push_back(frame.at(p, x, y));
        std::ofstream out(test::artifactDir("scene") / (std::string("renderer_scene_") + QLMR_TEST_VARIANT + ".planes"),
                          std::ios::binary);
        out.write(reinterpret_cast<const char*>(planes.data()), std::streamsize(planes.size() * sizeof(float)));
        ASSERT_TRUE(out.good());
    }

    // Upright: the top row is sky, the bottom row terrain.
    for (unsigned x = 0; x < frame.width; ++x) {
        EXPECT_EQ(frame.at(GBuffer::Depth, x, 0), kInf) << "top row " << x;
        EXPECT_LT(frame.at(GBuffer::Depth, x, frame.height - 1), 1e29f) << "bottom row " << x;
    }
    // Unmirrored: the sphere, left of the camera, lands in the left half.
    const auto [px, py] = projectToPixel(s.camera, {-5.0f, 7.0f, 0.0f});
    ASSERT_LT(px, int(frame.width / 2));
    ASSERT_TRUE(px >= 0 && py >= 0 && py < int(frame.height));
    const std::uint8_t* pixel = &rgba[(std::size_t(py) * frame.width + px) * 4];
    EXPECT_GT(pixel[0], pixel[2]);  // red sphere, not blue sky
    EXPECT_LT(frame.at(GBuffer::Depth, px, py), 1e29f);
    EXPECT_EQ(frame.at(GBuffer::Depth, frame.width - 1 - px, py), kInf);
}

} // namespace
} // namespace qlmr
