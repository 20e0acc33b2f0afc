#include "gpu/gpu_renderer.h"

#include "content/relief_synthesis.h"
#include "gpu/vulkan_test_support.h"
#include "scene/png_writer.h"
#include "scene/scene_tracer.h"
#include "scene/thread_pool.h"
#include "scene/tile_renderer.h"
#include "scene/tone_map.h"
#include "sdna/bounds_analysis.h"
#include "support/test_support.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <functional>
#include <limits>
#include <map>
#include <memory>
#include <random>

namespace qlmr {
namespace {

constexpr std::uint32_t kSize = 64;

DisplacementField makeField(std::uint32_t w, std::uint32_t h, const std::function<float(float, float)>& height,
                            bool clampEdges = true)
{
    std::vector<float> heights(std::size_t(w) * h);
    for (std::uint32_t y = 0; y < h; ++y)
        for (std::uint32_t x = 0; x < w; ++x)
            heights[std::size_t(y) * w + x] = height(float(x) / float(w), float(y) / float(h));
    return DisplacementField(w, h, std::span<const float>(heights), clampEdges);
}

// A checker of two colours, so albedo sampling and its level of detail show.
void setCheckerAlbedo(DisplacementField& field, std::uint32_t size, std::uint32_t a, std::uint32_t b)
{
    std::vector<std::uint32_t> rgba(std::size_t(size) * size);
    for (std::uint32_t y = 0; y < size; ++y)
        for (std::uint32_t x = 0; x < size; ++x)
            rgba[std::size_t(y) * size + x] = ((x / 4 + y / 4) & 1u) ? a : b;
    field.setAlbedo(size, size, rgba);
}

// Flat ground of one field format and a bump of another that throws a
// shadow on it: two field groups, shadow rays through the light grid.
Scene groundAndBump(float groundHeight)
{
    Scene scene;
    DisplacementField ground = makeField(64, 64, [&](float, float) { return groundHeight; });
    setCheckerAlbedo(ground, 64, 0xFF3070B0u, 0xFF80C0E0u);
    scene.addField(std::move(ground));
    DisplacementField bump = makeField(32, 32, [](float u, float v) {
        const float du = u - 0.5f, dv = v - 0.5f;
        return std::max(0.0f, 0.9f - 6.0f * (du * du + dv * dv));
    });
    setCheckerAlbedo(bump, 32, 0xFF2090D0u, 0xFF60A040u);
    scene.addField(std::move(bump));
    scene.addPrism(makePrism({-4, 0, 4}, {1, 0, 0}, {0, 0, -1}, 8, 8, 1, 0));
    scene.addPrism(makePrism({-1.5f, 0.2f, 1.0f}, {1, 0, 0}, {0, 0, -1}, 2, 2, 1.2f, 1));
    scene.refreshPrisms();
    return scene;
}

// Rolling hills on a tiling field, steep enough that the walk climbs and
// descends the pyramid, with a water surface over the valleys.
Scene hillsAndWater()
{
    Scene scene;
    DisplacementField hills = makeField(64, 64, [](float u, float v) {
        return 0.45f + 0.25f * std::sin(6.2831853f * 2.0f * u) * std::cos(6.2831853f * 3.0f * v);
    }, false);
    setCheckerAlbedo(hills, 64, 0xFF4080A0u, 0xFF90B0C0u);
    scene.addField(std::move(hills));
    DisplacementField water = makeField(16, 16, [](float, float) { return 0.5f; });
    std::vector<std::uint32_t> rgba(16 * 16, 0x80A06030u); // alpha 128: half depth
    water.setAlbedo(16, 16, rgba);
    scene.addField(std::move(water));
    scene.addPrism(makePrism({-4, 0, 4}, {1, 0, 0}, {0, 0, -1}, 8, 8, 1.2f, 0));
    Prism surface = makePrism({-4, 0.0f, 4}, {1, 0, 0}, {0, 0, -1}, 8, 8, 0.8f, 1);
    surface.waterDepthScale = 0.3f;
    scene.addPrism(surface);
    scene.refreshPrisms();
    return scene;
}

Camera testCamera() { return Camera::lookAt({0.5f, 3.0f, 6.0f}, {0, 0.3f, 0}, {0, 1, 0}, 55.0f, kSize, kSize); }

struct Comparison {
    double psnr = 0.0;
    int depthMismatches = 0;
    int normalMismatches = 0;
};

Comparison compare(const GpuFrame& gpu, const GBuffer& cpu)
{
    Comparison c;
    double squared = 0.0;
    for (std::uint32_t y = 0; y < gpu.height; ++y) {
        for (std::uint32_t x = 0; x < gpu.width; ++x) {
            const std::size_t i = std::size_t(y) * gpu.width + x;
            for (int k = 0; k < 3; ++k) {
                const double d = double(toneMap8(gpu.color[i * 4 + k])) -
                    double(toneMap8(cpu.at(GBuffer::ColorR + unsigned(k), x, y)));
                squared += d * d;
            }
            const float cpuDepth = cpu.at(GBuffer::Depth, x, y);
            const float gpuDepth = gpu.depth[i];
            const bool cpuHit = cpuDepth < 1e29f, gpuHit = gpuDepth < 1e29f;
            if (cpuHit != gpuHit || (cpuHit && std::fabs(cpuDepth - gpuDepth) > 1e-3f * cpuDepth)) {
                ++c.depthMismatches;
                continue;
            }
            if (cpuHit) {
                const float d = cpu.at(GBuffer::NormalX, x, y) * gpu.normal[i * 4] +
                    cpu.at(GBuffer::NormalY, x, y) * gpu.normal[i * 4 + 1] +
                    cpu.at(GBuffer::NormalZ, x, y) * gpu.normal[i * 4 + 2];
                if (d < 0.99f)
                    ++c.normalMismatches;
            }
        }
    }
    const double mse = squared / (3.0 * gpu.width * gpu.height);
    c.psnr = mse == 0.0 ? 99.0 : 10.0 * std::log10(65025.0 / mse);
    return c;
}

GBuffer renderOnCpu(const Scene& scene, const Camera& camera, const RenderSettings& settings,
                    const SdnaInstance* solid = nullptr)
{
    ThreadPool pool(2);
    const SceneTracer tracer(scene, TraceSettings{});
    TileRenderer renderer(&pool, &tracer);
    renderer.solid = solid;
    GBuffer frame;
    renderer.render(camera, settings, frame);
    return frame;
}

void saveSideBySide(const std::string& name, const GpuFrame& gpu, const GBuffer& cpu)
{
    // GPU on the left, CPU on the right.
    std::vector<std::uint8_t> rgba(std::size_t(gpu.width) * 2 * gpu.height * 4, 255);
    for (std::uint32_t y = 0; y < gpu.height; ++y)
        for (std::uint32_t x = 0; x < gpu.width; ++x)
            for (int k = 0; k < 3; ++k) {
                const std::size_t row = std::size_t(y) * gpu.width * 2;
                rgba[(row + x) * 4 + k] = toneMap8(gpu.color[(std::size_t(y) * gpu.width + x) * 4 + k]);
                rgba[(row + gpu.width + x) * 4 + k] = toneMap8(cpu.at(GBuffer::ColorR + unsigned(k), x, y));
            }
    writePng((test::artifactDir("gpu") / name).string(), gpu.width * 2, gpu.height, rgba);
}

class GpuRendererOnDevice : public test::OnDeviceTest {};

TEST_F(GpuRendererOnDevice, FieldScenesMatchTheCpuRenderer)
{
    struct Case {
        const char* name;
        Scene (*scene)();
        bool shadows;
        float normalRefine;
        float specular;
    };
    const Case cases[] = {
        {"flat_shadowed", [] { return groundAndBump(0.3f); }, true, 0.0f, 0.0f},
        {"flat_refined", [] { return groundAndBump(0.3f); }, false, 0.5f, 0.0f},
        {"hills_water", hillsAndWater, true, 0.0f, 0.4f},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const Scene scene = c.scene();
        RenderSettings settings;
        settings.shadows = c.shadows;
        settings.normalRefine = c.normalRefine;
        settings.specular = c.specular;
        GpuRenderer renderer;
        std::string error;
        ASSERT_TRUE(renderer.init(context, scene, &error)) << error;
        EXPECT_EQ(renderer.fieldGroupCount(), 2u);
        const GpuFrame gpu = renderer.render(testCamera(), settings, GpuViewData{});
        ASSERT_TRUE(gpu.ok) << gpu.error;
        ASSERT_EQ(gpu.color.size(), std::size_t(kSize) * kSize * 4);
        const GBuffer cpu = renderOnCpu(scene, testCamera(), settings);
        saveSideBySide(std::string("field_scene_") + c.name + ".png", gpu, cpu);
        const Comparison result = compare(gpu, cpu);
        RecordProperty(std::string("psnr_") + c.name, std::to_string(result.psnr));
        EXPECT_GT(result.psnr, 45.0);
        EXPECT_LE(result.depthMismatches, int(kSize * kSize / 100));
        EXPECT_LE(result.normalMismatches, int(kSize * kSize / 100));
    }
}

// Angle in degrees between two normals, each normalised.
double angleDegrees(const float* a, const float* b)
{
    const Vec3 x = normalizeSafe(Vec3{a[0], a[1], a[2]});
    const Vec3 y = normalizeSafe(Vec3{b[0], b[1], b[2]});
    return std::atan2(double(length(cross(x, y))), double(dot(x, y))) * 57.29578;
}

// The hit normals of a GPU frame against those of a CPU G-buffer: how many
// pixels both hit and how many of them differ by more than `degrees`.
struct NormalAgreement {
    int hits = 0;
    int over = 0;
};

NormalAgreement normalAgreement(const GpuFrame& gpu, const GBuffer& cpu, double degrees)
{
    NormalAgreement a;
    for (std::uint32_t y = 0; y < gpu.height; ++y)
        for (std::uint32_t x = 0; x < gpu.width; ++x) {
            const std::size_t i = std::size_t(y) * gpu.width + x;
            if (!(gpu.depth[i] < 1e29f) || !std::isfinite(cpu.at(GBuffer::Depth, x, y)))
                continue;
            const float c[3] = {cpu.at(GBuffer::NormalX, x, y), cpu.at(GBuffer::NormalY, x, y),
                                cpu.at(GBuffer::NormalZ, x, y)};
            ++a.hits;
            a.over += angleDegrees(&gpu.normal[i * 4], c) > degrees ? 1 : 0;
        }
    return a;
}

// The shading normal follows the trace setting on both sides: geometric
// (the bilinear patch), default (blended central differences) and cubic
// (the same blended with smoothstep weights), on a tiling and a clamping
// field. Each mode agrees with the processor's within a quarter of a degree,
// and the modes differ from each other on this relief, so a tracer that
// ignored the mode could not pass.
TEST_F(GpuRendererOnDevice, NormalModesFollowTheCpuTraceSetting)
{
    const std::pair<const char*, Scene (*)()> scenes[] = {{"hills", hillsAndWater},
                                                          {"bump", [] { return groundAndBump(0.3f); }}};
    const Camera camera = Camera::lookAt({0.5f, 2.2f, 3.0f}, {0.3f, 0.3f, 0}, {0, 1, 0}, 50.0f, kSize, kSize);
    for (const auto& [name, build] : scenes) {
        SCOPED_TRACE(name);
        const Scene scene = build();
        RenderSettings settings;
        GpuFrame frames[3];
        for (const std::uint8_t mode : {0, 1, 2}) {
            SCOPED_TRACE(int(mode));
            GpuRenderOptions options;
            options.modeFlag = mode == 2;
            GpuRenderer renderer;
            std::string error;
            ASSERT_TRUE(renderer.init(context, scene, &error, options)) << error;
            frames[mode] = renderer.render(camera, settings, GpuViewData{}, 1.0f, 0.0f, mode != 0);
            ASSERT_TRUE(frames[mode].ok) << frames[mode].error;

            ThreadPool pool(2);
            TraceSettings trace;
            trace.normalMode = mode;
            const SceneTracer tracer(scene, trace);
            TileRenderer cpuRenderer(&pool, &tracer);
            GBuffer cpu;
            cpuRenderer.render(camera, settings, cpu);
            saveSideBySide(std::string("normal_mode_") + name + "_" + std::to_string(mode) + ".png", frames[mode], cpu);
            const NormalAgreement agreement = normalAgreement(frames[mode], cpu, 0.25);
            ASSERT_GT(agreement.hits, int(kSize * kSize / 3));
            EXPECT_LE(agreement.over, agreement.hits / 1000) << "hits " << agreement.hits;
            EXPECT_GT(compare(frames[mode], cpu).psnr, 50.0);
        }
        for (const int mode : {0, 2}) {
            int differ = 0, hits = 0;
            for (std::size_t i = 0; i < frames[1].depth.size(); ++i) {
                if (!(frames[1].depth[i] < 1e29f))
                    continue;
                ++hits;
                differ += angleDegrees(&frames[1].normal[i * 4], &frames[mode].normal[i * 4]) > 0.5 ? 1 : 0;
            }
            EXPECT_GT(differ, hits / 20) << "mode " << mode << " against the default";
        }
    }
}

// One prism over x and z in [-2, 2], `depth` high, on a size x size field
// of one height everywhere.
Scene levelFieldScene(std::uint32_t size, float height, float depth)
{
    Scene scene;
    scene.addField(makeField(size, size, [height](float, float) { return height; }));
    scene.addPrism(makePrism({-2, 0, 2}, {1, 0, 0}, {0, 0, -1}, 4, 4, depth, 0));
    scene.refreshPrisms();
    return scene;
}

// A one-level field has a bounds image of one mip, from pyramid level 1.
TEST_F(GpuRendererOnDevice, SingleLevelFieldIsMarchedAtItsOneSample)
{
    const Scene scene = levelFieldScene(1, 0.25f, 1.0f);
    GpuRenderer renderer;
    std::string error;
    ASSERT_TRUE(renderer.init(context, scene, &error)) << error;
    const Camera camera = Camera::lookAt({0.3f, 2, 0.2f}, {0, 0, 0}, {0, 1, 0}, 40, 8, 8);
    const GpuFrame gpu = renderer.render(camera, RenderSettings{}, GpuViewData{});
    ASSERT_TRUE(gpu.ok) << gpu.error;
    const GBuffer cpu = renderOnCpu(scene, camera, RenderSettings{});
    const Comparison result = compare(gpu, cpu);
    EXPECT_EQ(result.depthMismatches, 0);
    EXPECT_GT(result.psnr, 45.0);
}

// A field of height 0 lies on its prism's bottom face, as the flat rim of a
// small baked shell does. Seen from below, every ray comes up through that
// face onto the surface; its height there rounds an ulp over or under the
// face, differently on the two sides. Wherever both sides hit, both report
// the bottom face's normal, not the surface normal pointing away.
TEST_F(GpuRendererOnDevice, SurfaceOnTheBottomFaceSeenFromBelowShowsTheFaceOnBothSides)
{
    const Scene scene = levelFieldScene(8, 0.0f, 0.5f);
    GpuRenderer renderer;
    std::string error;
    ASSERT_TRUE(renderer.init(context, scene, &error)) << error;
    const Camera camera = Camera::lookAt({0.7f, -3.1f, 1.3f}, {0.1f, 0, -0.2f}, {0, 1, 0}, 70, kSize, kSize);
    const GpuFrame gpu = renderer.render(camera, RenderSettings{}, GpuViewData{});
    ASSERT_TRUE(gpu.ok) << gpu.error;
    const GBuffer cpu = renderOnCpu(scene, camera, RenderSettings{});
    saveSideBySide("surface_on_bottom_face.png", gpu, cpu);
    const NormalAgreement agreement = normalAgreement(gpu, cpu, 5.0);
    ASSERT_GT(agreement.hits, int(kSize * kSize / 2));
    EXPECT_EQ(agreement.over, 0) << "hits " << agreement.hits;
    const float down[3] = {0.0f, -1.0f, 0.0f};
    int up = 0;
    for (std::size_t i = 0; i < gpu.depth.size(); ++i)
        up += gpu.depth[i] < 1e29f && angleDegrees(&gpu.normal[i * 4], down) > 5.0 ? 1 : 0;
    EXPECT_EQ(up, 0);
}

// Seen from above, a field of height 0 in a thin prism is met where each ray
// leaves the prism through its bottom face. The root tolerance, a share of
// the height range turned into t, is then below one rounding step of t, so
// without counting that crossing the floor shows holes, and differently on
// the two sides. Every pixel looks at the floor: both sides hit it
// everywhere, at the same depth.
TEST_F(GpuRendererOnDevice, FloorOnTheBottomFaceOfAThinPrismSeenFromAboveHasNoHoles)
{
    const Scene scene = levelFieldScene(8, 0.0f, 0.004f);
    GpuRenderer renderer;
    std::string error;
    ASSERT_TRUE(renderer.init(context, scene, &error)) << error;
    const Camera camera = Camera::lookAt({0.3f, 5.0f, 1.2f}, {0.1f, 0, 0.2f}, {0, 1, 0}, 30, kSize, kSize);
    const GpuFrame gpu = renderer.render(camera, RenderSettings{}, GpuViewData{});
    ASSERT_TRUE(gpu.ok) << gpu.error;
    const GBuffer cpu = renderOnCpu(scene, camera, RenderSettings{});
    int gpuHits = 0, cpuHits = 0;
    for (std::uint32_t y = 0; y < kSize; ++y)
        for (std::uint32_t x = 0; x < kSize; ++x) {
            gpuHits += gpu.depth[std::size_t(y) * kSize + x] < 1e29f ? 1 : 0;
            cpuHits += cpu.at(GBuffer::Depth, x, y) < 1e29f ? 1 : 0;
        }
    EXPECT_EQ(gpuHits, int(kSize * kSize));
    EXPECT_EQ(cpuHits, int(kSize * kSize));
    EXPECT_EQ(compare(gpu, cpu).depthMismatches, 0);
}

// Two rectangles are edited on the CPU but only the first one's record is
// handed to the renderer: the GPU image must show the first edit and not the
// second, which proves that exactly the named rectangles travel.
// With the seed pass the shell hull is rebuilt too: the raised block stands
// above the old hull, so a stale hull would start the walk past it.
TEST_F(GpuRendererOnDevice, UpdateFieldUploadsExactlyTheNamedRectangle)
{
  for (const bool seedPass : {false, true}) {
    SCOPED_TRACE(seedPass ? "seed pass" : "no seed pass");
    Scene scene = groundAndBump(0.3f);
    Scene firstOnly = groundAndBump(0.3f);
    GpuRenderer renderer;
    std::string error;
    GpuRenderOptions options;
    options.seedPass = seedPass;
    ASSERT_TRUE(renderer.init(context, scene, &error, options)) << error;
    const Camera camera = testCamera();
    const RenderSettings settings;
    const GpuFrame before = renderer.render(camera, settings, GpuViewData{});
    ASSERT_TRUE(before.ok) << before.error;

    const FieldRect first{8, 36, 24, 52}, second{40, 40, 56, 56};
    auto raise = [](DisplacementField& field, const FieldRect& rect) {
        const std::span<std::uint16_t> heights = field.baseHeights();
        for (std::uint32_t y = rect.y0; y < rect.y1; ++y)
            for (std::uint32_t x = rect.x0; x < rect.x1; ++x)
                heights[std::size_t(y) * field.width + x] = 50000;
        return field.updateRect(rect);
    };
    const FieldUpdate update = raise(scene.fields[0], first);
    raise(scene.fields[0], second);
    raise(firstOnly.fields[0], first);
    ASSERT_TRUE(renderer.updateField(0, update));
    // Every level's rectangle is staged: at least the level-0 heights.
    EXPECT_GE(renderer.lastUpdateBytes(), 16u * 16u * 2u);

    const GpuFrame after = renderer.render(camera, settings, GpuViewData{});
    ASSERT_TRUE(after.ok) << after.error;
    const GBuffer expected = renderOnCpu(firstOnly, camera, settings);
    const GBuffer both = renderOnCpu(scene, camera, settings);
    saveSideBySide("update_field.png", after, expected);
    const Comparison withFirst = compare(after, expected);
    EXPECT_GT(withFirst.psnr, 45.0);
    EXPECT_LE(withFirst.depthMismatches, int(kSize * kSize / 100));
    // The second edit is visible from the camera, so it would show if it travelled.
    EXPECT_GT(compare(after, both).depthMismatches, 40);
    EXPECT_GT(compare(after, renderOnCpu(groundAndBump(0.3f), camera, settings)).depthMismatches, 40);
  }
}

TEST_F(GpuRendererOnDevice, UpdateAlbedoChangesTheEditedColours)
{
    Scene scene = groundAndBump(0.3f);
    GpuRenderer renderer;
    std::string error;
    ASSERT_TRUE(renderer.init(context, scene, &error)) << error;
    const Camera camera = testCamera();
    const RenderSettings settings;

    DisplacementField& ground = scene.fields[0];
    const FieldRect rect{0, 0, 64, 32};
    std::uint32_t* texels = ground.albedoLevel(0);
    for (std::uint32_t y = rect.y0; y < rect.y1; ++y)
        for (std::uint32_t x = rect.x0; x < rect.x1; ++x)
            texels[std::size_t(y) * 64 + x] = 0xFF1020F0u;
    const AlbedoUpdate update = ground.updateAlbedoRect(rect);
    ASSERT_TRUE(renderer.updateAlbedo(0, update));
    EXPECT_GE(renderer.lastUpdateBytes(), 64u * 32u * 4u);

    const GpuFrame gpu = renderer.render(camera, settings, GpuViewData{});
    ASSERT_TRUE(gpu.ok) << gpu.error;
    const Comparison result = compare(gpu, renderOnCpu(scene, camera, settings));
    EXPECT_GT(result.psnr, 45.0);
}

// An update must name rectangles inside the field it is given for and
// inside the images uploaded for that field: the record of another field,
// or of a field whose heights or albedo changed size since the upload, is
// refused before any row is read, and the frame shows what it showed.
TEST_F(GpuRendererOnDevice, UpdatesOutsideTheUploadedFieldAreRefused)
{
    Scene scene = groundAndBump(0.3f); // fields of 64 x 64 and 32 x 32
    DisplacementField strip = makeField(16, 16, [](float, float) { return 0.2f; });
    strip.setAlbedo(32, 8, std::vector<std::uint32_t>(32 * 8, 0xFF808080u));
    scene.addField(std::move(strip));
    GpuRenderer renderer;
    std::string error;
    ASSERT_TRUE(renderer.init(context, scene, &error)) << error;
    const GpuFrame before = renderer.render(testCamera(), RenderSettings{}, GpuViewData{});
    ASSERT_TRUE(before.ok) << before.error;

    // The ground's whole-field record handed to the 32 x 32 bump.
    EXPECT_FALSE(renderer.updateField(1, scene.fields[0].planUpdate({0, 0, 64, 64})));
    EXPECT_EQ(renderer.lastUpdateBytes(), 0u);
    // The bump replaced by a field as wide but twice as tall.
    scene.fields[1] = makeField(32, 64, [](float, float) { return 0.9f; });
    EXPECT_FALSE(renderer.updateField(1, scene.fields[1].planUpdate({0, 0, 32, 64})));
    EXPECT_EQ(renderer.lastUpdateBytes(), 0u);
    // The strip's 32 x 8 albedo turned into 8 x 32: as many levels, another shape.
    const AlbedoUpdate turned = scene.fields[2].setAlbedo(8, 32, std::vector<std::uint32_t>(8 * 32, 0xFF0000FFu));
    ASSERT_EQ(turned.levels, 6u);
    EXPECT_FALSE(renderer.updateAlbedo(2, turned));
    EXPECT_EQ(renderer.lastUpdateBytes(), 0u);
    // A field added to the scene after the upload has no layer to update.
    scene.addField(makeField(16, 16, [](float, float) { return 0.2f; }));
    scene.fields[3].setAlbedo(16, 16, std::vector<std::uint32_t>(16 * 16, 0xFF808080u));
    EXPECT_FALSE(renderer.updateField(3, scene.fields[3].planUpdate({0, 0, 16, 16})));
    EXPECT_FALSE(renderer.updateAlbedo(3, scene.fields[3].updateAlbedoRect({0, 0, 16, 16})));
    EXPECT_EQ(renderer.lastUpdateBytes(), 0u);

    const GpuFrame after = renderer.render(testCamera(), RenderSettings{}, GpuViewData{});
    ASSERT_TRUE(after.ok) << after.error;
    EXPECT_EQ(after.color, before.color);
    EXPECT_EQ(after.depth, before.depth);
}

TEST_F(GpuRendererOnDevice, EmptyUpdatesSucceedWithoutStaging)
{
    const Scene scene = groundAndBump(0.3f);
    GpuRenderer renderer;
    std::string error;
    ASSERT_TRUE(renderer.init(context, scene, &error)) << error;
    EXPECT_TRUE(renderer.updateField(0, FieldUpdate{}));
    EXPECT_TRUE(renderer.updateAlbedo(0, AlbedoUpdate{}));
    EXPECT_EQ(renderer.lastUpdateBytes(), 0u);
    FieldUpdate nonEmpty;
    nonEmpty.levels = 1;
    nonEmpty.heightRects[0] = {0, 0, 1, 1};
    EXPECT_FALSE(renderer.updateField(2, nonEmpty)); // no such field
}

TEST_F(GpuRendererOnDevice, FieldsGroupByFormatInto256LayerArrays)
{
    Scene scene;
    for (int i = 0; i < 300; ++i)
        scene.addField(makeField(4, 4, [](float, float) { return 0.5f; }));
    scene.addField(makeField(4, 4, [](float, float) { return 0.5f; }, false)); // wraps: a format of its own
    scene.addPrism(makePrism({0, 0, 0}, {1, 0, 0}, {0, 0, -1}, 1, 1, 1, 300));
    scene.refreshPrisms();
    GpuRenderer renderer;
    std::string error;
    ASSERT_TRUE(renderer.init(context, scene, &error)) << error;
    ASSERT_EQ(renderer.fieldGroupCount(), 3u);
    EXPECT_EQ(renderer.groupLayerCount(0), 256u);
    EXPECT_EQ(renderer.groupLayerCount(1), 44u);
    EXPECT_EQ(renderer.groupLayerCount(2), 1u);
    EXPECT_EQ(renderer.fieldGroup(299), 1u);
    EXPECT_EQ(renderer.fieldLayer(299), 43u);
    const PrismFieldRecord& record = renderer.prismFieldRecords()[0];
    EXPECT_EQ(record.words[0], 2u); // layer 0 of group 2
    EXPECT_EQ(record.words[1], 2u);
    EXPECT_EQ(record.words[3], 3u | 1u << 8); // three levels, wrapping
}

TEST_F(GpuRendererOnDevice, NineFieldFormatsAreMoreThanTheSlots)
{
    Scene scene;
    for (std::uint32_t i = 0; i < 9; ++i)
        scene.addField(makeField(2u << (i % 5), 2u << (i / 5), [](float, float) { return 0.1f; }));
    GpuRenderer renderer;
    std::string error;
    EXPECT_FALSE(renderer.init(context, scene, &error));
    EXPECT_EQ(error, "more distinct field formats than QLMR_MAX_FIELDS slots");
}

SdnaProgram ballAndBox();

// A renderer whose init failed made no field images, buffers or pipeline:
// uploads, a solid and frames are refused instead of recording copies into
// images that do not exist.
TEST_F(GpuRendererOnDevice, RendererWhoseInitFailedRefusesUpdatesSolidsAndFrames)
{
    Scene scene;
    for (std::uint32_t i = 0; i < 9; ++i) {
        DisplacementField field = makeField(2u << (i % 5), 2u << (i / 5), [](float, float) { return 0.1f; });
        field.setAlbedo(field.width, field.height,
                        std::vector<std::uint32_t>(std::size_t(field.width) * field.height, 0xFF808080u));
        scene.addField(std::move(field));
    }
    GpuRenderer renderer;
    std::string error;
    GpuRenderOptions options;
    options.solid = true;
    ASSERT_FALSE(renderer.init(context, scene, &error, options));
    EXPECT_FALSE(renderer.updateField(0, scene.fields[0].planUpdate({0, 0, 1, 1})));
    EXPECT_FALSE(renderer.updateAlbedo(0, scene.fields[0].updateAlbedoRect({0, 0, 1, 1})));
    EXPECT_EQ(renderer.lastUpdateBytes(), 0u);
    const SdnaProgram program = ballAndBox();
    SdnaInstance instance;
    instance.program = &program;
    EXPECT_FALSE(renderer.setSolid(&instance));
    EXPECT_FALSE(renderer.solidPresent());
    const GpuFrame frame = renderer.render(testCamera(), RenderSettings{}, GpuViewData{});
    EXPECT_FALSE(frame.ok);
    EXPECT_EQ(renderer.outputImages(16, 16), nullptr);
}

// A renderer is initialised once. A second init, after a success or a
// failure, is refused and leaves the first one's upload in use (it used to
// stack the scene's fields on the first init's groups and drop its objects).
TEST_F(GpuRendererOnDevice, SecondInitIsRefusedAndTheFirstStaysInUse)
{
    const Scene scene = groundAndBump(0.3f);
    GpuRenderer renderer;
    std::string error;
    ASSERT_TRUE(renderer.init(context, scene, &error)) << error;
    const GpuFrame first = renderer.render(testCamera(), RenderSettings{}, GpuViewData{});
    ASSERT_TRUE(first.ok) << first.error;
    EXPECT_FALSE(renderer.init(context, scene, &error));
    EXPECT_EQ(error, "the renderer is already initialised");
    EXPECT_EQ(renderer.fieldGroupCount(), 2u);
    EXPECT_EQ(renderer.fieldLayer(0), 0u);
    EXPECT_EQ(renderer.groupLayerCount(0), 1u);
    const GpuFrame again = renderer.render(testCamera(), RenderSettings{}, GpuViewData{});
    ASSERT_TRUE(again.ok) << again.error;
    EXPECT_EQ(again.color, first.color);
    EXPECT_EQ(again.depth, first.depth);

    Scene tooMany;
    for (std::uint32_t i = 0; i < 9; ++i)
        tooMany.addField(makeField(2u << (i % 5), 2u << (i / 5), [](float, float) { return 0.1f; }));
    GpuRenderer failed;
    ASSERT_FALSE(failed.init(context, tooMany, &error));
    EXPECT_FALSE(failed.init(context, scene, &error));
    EXPECT_EQ(error, "the renderer is already initialised");
    EXPECT_FALSE(failed.render(testCamera(), RenderSettings{}, GpuViewData{}).ok);
}

TEST(GpuRenderer, RendererNeverInitialisedRefusesEveryRequest)
{
    GpuRenderer renderer;
    EXPECT_EQ(renderer.outputImages(16, 8), nullptr);
    const GpuFrame frame = renderer.render(testCamera(), RenderSettings{}, GpuViewData{});
    EXPECT_FALSE(frame.ok);
    EXPECT_EQ(frame.error, "frame resources");
    // Without a frame for the failure it is told by the result alone.
    EXPECT_FALSE(renderer.recordFrame(testCamera(), RenderSettings{}, GpuViewData{}, 1.0f, 0.0f, true, true, nullptr));
    const GpuFrame none = renderer.finishFrame();
    EXPECT_FALSE(none.ok);
    EXPECT_TRUE(none.error.empty());
    EXPECT_FALSE(renderer.updateField(0, FieldUpdate{}));
    EXPECT_FALSE(renderer.setSolid(nullptr));
    EXPECT_FALSE(renderer.buildShellRaster());
    EXPECT_FALSE(renderer.pointOutsidePrism(0, Vec3{0.0f, 0.0f, 0.0f}));
    EXPECT_EQ(renderer.prismSeedLevels(testCamera()), std::vector<std::int32_t>{-1});
    GpuBuffer buffer;
    EXPECT_FALSE(renderer.createBuffer(&buffer, 64, VK_BUFFER_USAGE_STORAGE_BUFFER_BIT));
    EXPECT_FALSE(renderer.ensureBufferCapacity(&buffer, 64, VK_BUFFER_USAGE_STORAGE_BUFFER_BIT));
    EXPECT_EQ(buffer.buffer, VK_NULL_HANDLE);
    renderer.destroyBuffer(&buffer);
    GpuImage image;
    EXPECT_FALSE(renderer.createImage(&image, VK_FORMAT_R8G8B8A8_UNORM, 4, 4, 1, VK_IMAGE_USAGE_SAMPLED_BIT, 0));
    EXPECT_EQ(renderer.beginOneShot(), VK_NULL_HANDLE);
    EXPECT_FALSE(renderer.submitOneShot(VK_NULL_HANDLE));
    EXPECT_FALSE(renderer.ensurePrismBuffer());
    EXPECT_FALSE(renderer.ensureSolidBuffers());
}

// Buffers have at least 16 bytes and grow to half as much again as asked;
// one that is large enough is kept as it is.
TEST_F(GpuRendererOnDevice, BuffersGrowByHalfAgainAndAreKeptWhileLargeEnough)
{
    const Scene scene = groundAndBump(0.3f);
    GpuRenderer renderer;
    std::string error;
    ASSERT_TRUE(renderer.init(context, scene, &error)) << error;
    const VkBufferUsageFlags usage = VK_BUFFER_USAGE_STORAGE_BUFFER_BIT;
    GpuBuffer small;
    ASSERT_TRUE(renderer.createBuffer(&small, 3, usage));
    EXPECT_EQ(small.size, 16u);
    EXPECT_NE(small.mapped, nullptr);
    renderer.destroyBuffer(&small);
    EXPECT_EQ(small.buffer, VK_NULL_HANDLE);

    GpuBuffer grown;
    struct Step {
        std::uint64_t asked;
        std::uint64_t size;
        bool kept;
    };
    for (const Step step : {Step{100, 150, false}, Step{150, 150, true}, Step{120, 150, true}, Step{151, 226, false},
                            Step{5, 226, true}}) {
        SCOPED_TRACE(step.asked);
        const VkBuffer before = grown.buffer;
        ASSERT_TRUE(renderer.ensureBufferCapacity(&grown, step.asked, usage));
        EXPECT_EQ(grown.size, step.size);
        // A replaced buffer may reuse the old handle's value, so only the
        // kept one is checked by handle.
        if (step.kept)
            EXPECT_EQ(grown.buffer, before);
        EXPECT_NE(grown.mapped, nullptr);
    }
    renderer.destroyBuffer(&grown);

    GpuImage layered;
    ASSERT_TRUE(renderer.createImage(&layered, VK_FORMAT_R8G8B8A8_UNORM, 8, 4, 2, VK_IMAGE_USAGE_SAMPLED_BIT, 3));
    EXPECT_NE(layered.view, VK_NULL_HANDLE);
    EXPECT_GT(layered.size, 0u);
    renderer.destroyImage(&layered);
    EXPECT_EQ(layered.image, VK_NULL_HANDLE);

    const VkCommandBuffer commands = renderer.beginOneShot();
    ASSERT_NE(commands, VK_NULL_HANDLE);
    EXPECT_TRUE(renderer.submitOneShot(commands));
    EXPECT_TRUE(renderer.ensureSolidBuffers());
    EXPECT_TRUE(renderer.ensurePrismBuffer());
    EXPECT_EQ(renderer.prismBufferBytes(), 2u * 176u);
}

TEST_F(GpuRendererOnDevice, SceneWithoutPrismsKeepsOnePrismRecord)
{
    Scene scene;
    scene.addField(makeField(8, 8, [](float, float) { return 0.1f; }));
    GpuRenderer renderer;
    std::string error;
    ASSERT_TRUE(renderer.init(context, scene, &error)) << error;
    EXPECT_EQ(renderer.prismBufferBytes(), 176u);
    // Nothing to hit: every pixel is sky.
    const GpuFrame frame = renderer.render(Camera::lookAt({0, 1, 3}, {0, 0, 0}, {0, 1, 0}, 60, 9, 7), RenderSettings{},
                                           GpuViewData{});
    ASSERT_TRUE(frame.ok) << frame.error;
    for (const float depth : frame.depth)
        EXPECT_TRUE(std::isinf(depth));
}

// An empty frame or one wider or taller than the device's images is
// refused before any image is made (an empty extent crashed the driver),
// with and without the seed pass; the next frame of a valid size renders.
TEST_F(GpuRendererOnDevice, FramesWithoutValidImageSizesAreRefused)
{
    const Scene scene = groundAndBump(0.3f);
    const std::uint32_t past = context.maxImageDimension2D + 1;
    for (const bool seedPass : {false, true}) {
        SCOPED_TRACE(seedPass ? "seed pass" : "no seed pass");
        GpuRenderOptions options;
        options.seedPass = seedPass;
        GpuRenderer renderer;
        std::string error;
        ASSERT_TRUE(renderer.init(context, scene, &error, options)) << error;
        for (const auto& [w, h] : {std::pair{0u, 16u}, std::pair{16u, 0u}, std::pair{past, 2u}, std::pair{2u, past}}) {
            SCOPED_TRACE(testing::Message() << w << "x" << h);
            const GpuFrame frame = renderer.render(Camera::lookAt({0.5f, 3, 6}, {0, 0.3f, 0}, {0, 1, 0}, 55, w, h),
                                                   RenderSettings{}, GpuViewData{});
            EXPECT_FALSE(frame.ok);
            EXPECT_EQ(frame.error, "frame resources");
            const GpuFrame next = renderer.render(testCamera(), RenderSettings{}, GpuViewData{});
            ASSERT_TRUE(next.ok) << next.error;
            EXPECT_EQ(next.depth.size(), std::size_t(kSize) * kSize);
        }
    }
}

// A field wider than the device's images cannot be uploaded.
TEST_F(GpuRendererOnDevice, FieldPastTheDeviceImageSizeFailsInit)
{
    Scene scene;
    scene.addField(makeField(64, 16, [](float, float) { return 0.5f; }));
    const std::uint32_t deviceLimit = context.maxImageDimension2D;
    context.maxImageDimension2D = 32;
    GpuRenderer renderer;
    std::string error;
    EXPECT_FALSE(renderer.init(context, scene, &error));
    EXPECT_EQ(error, "field images");
    context.maxImageDimension2D = deviceLimit;
}

// An empty scene has no tile lists, light lists or shell vertices: every
// tracer (and the seed pass) draws the sky, and nothing is copied from the
// empty lists (a null pointer even for zero bytes, which the undefined-
// behaviour sanitizer reports).
TEST_F(GpuRendererOnDevice, SceneWithoutFieldsRendersTheCpuSky)
{
    const Scene scene;
    const std::pair<const char*, GpuRenderOptions> cases[] = {
        {"default", {}},
        {"seed pass", [] { GpuRenderOptions o; o.seedPass = true; return o; }()},
        {"trace only", [] { GpuRenderOptions o; o.traceOnly = true; return o; }()},
    };
    const GBuffer cpu = renderOnCpu(scene, testCamera(), RenderSettings{});
    for (const auto& [name, options] : cases) {
        SCOPED_TRACE(name);
        GpuRenderer renderer;
        std::string error;
        ASSERT_TRUE(renderer.init(context, scene, &error, options)) << error;
        const GpuFrame gpu = renderer.render(testCamera(), RenderSettings{}, GpuViewData{});
        ASSERT_TRUE(gpu.ok) << gpu.error;
        const Comparison result = compare(gpu, cpu);
        EXPECT_EQ(result.depthMismatches, 0);
        EXPECT_GT(result.psnr, 45.0);
    }
}

// Without albedo the field reads one grey texel of 180; the trace-only
// tracer shows the unlit albedo, which with fog off is exactly that grey.
TEST_F(GpuRendererOnDevice, TraceOnlyShowsTheGreyOfAFieldWithoutAlbedo)
{
    Scene scene;
    scene.addField(makeField(16, 16, [](float, float) { return 0.5f; }));
    scene.addPrism(makePrism({-2, 0, 2}, {1, 0, 0}, {0, 0, -1}, 4, 4, 1, 0));
    scene.refreshPrisms();
    GpuRenderer renderer;
    std::string error;
    GpuRenderOptions options;
    options.traceOnly = true;
    ASSERT_TRUE(renderer.init(context, scene, &error, options)) << error;
    RenderSettings settings;
    settings.fogDensity = 0.0f;
    const Camera camera = Camera::lookAt({0, 3, 0.01f}, {0, 0, 0}, {0, 1, 0}, 40, 16, 16);
    const GpuFrame frame = renderer.render(camera, settings, GpuViewData{});
    ASSERT_TRUE(frame.ok) << frame.error;
    for (std::size_t i = 0; i < frame.depth.size(); ++i) {
        // The plane lies 2.5 below the eye: t = 2.5 / -dir.y along each pixel's ray.
        const RayPacketOf<1> ray = primaryRays<1>(camera, simd::vfloat<1>(float(i % 16)), simd::vfloat<1>(float(i / 16)));
        ASSERT_NEAR(frame.depth[i], 2.5f / -ray.dirY.lane(0), 1e-3f) << i;
        EXPECT_NEAR(frame.color[i * 4], 180.0f / 255.0f, 1e-3f);
        EXPECT_NEAR(frame.normal[i * 4 + 1], 1.0f, 1e-3f);
    }
}

TEST_F(GpuRendererOnDevice, OutputImagesAreCachedForTwoSizesReplacedInTurn)
{
    const Scene scene = groundAndBump(0.3f);
    GpuRenderer renderer;
    std::string error;
    ASSERT_TRUE(renderer.init(context, scene, &error)) << error;
    GpuOutputImages* a = renderer.outputImages(16, 8);
    GpuOutputImages* b = renderer.outputImages(8, 16);
    ASSERT_TRUE(a && b);
    EXPECT_NE(a, b);
    EXPECT_EQ(renderer.outputImages(16, 8), a); // a hit
    // The replace index alternates whatever the hits: D replaces A's entry.
    GpuOutputImages* d = renderer.outputImages(4, 4);
    EXPECT_EQ(d, a);
    EXPECT_EQ(d->width, 4u);
    EXPECT_EQ(renderer.outputImages(8, 16), b);
}

// A record reused for another buffer or image has its old one released:
// the validation run of these tests reports any object the device still
// holds when it is destroyed.
TEST_F(GpuRendererOnDevice, RecordsReusedForANewObjectReleaseTheOldOne)
{
    const Scene scene = groundAndBump(0.3f);
    GpuRenderer renderer;
    std::string error;
    ASSERT_TRUE(renderer.init(context, scene, &error)) << error;
    GpuBuffer buffer;
    for (const std::uint64_t bytes : {32u, 100u}) {
        ASSERT_TRUE(renderer.createBuffer(&buffer, bytes, VK_BUFFER_USAGE_STORAGE_BUFFER_BIT));
        EXPECT_EQ(buffer.size, bytes);
    }
    renderer.destroyBuffer(&buffer);
    GpuImage image;
    for (const std::uint32_t layers : {0u, 3u})
        ASSERT_TRUE(renderer.createImage(&image, VK_FORMAT_R8G8B8A8_UNORM, 4, 4, 1, VK_IMAGE_USAGE_SAMPLED_BIT, layers));
    renderer.destroyImage(&image);
    EXPECT_EQ(image.image, VK_NULL_HANDLE);
}

// The pending frame writes its entry's images and is read back from its
// buffers: replacing that entry finishes the frame first instead of pulling
// them from under it.
TEST_F(GpuRendererOnDevice, ReplacingThePendingFramesImagesFinishesItFirst)
{
    const Scene scene = groundAndBump(0.3f);
    GpuRenderer renderer;
    std::string error;
    ASSERT_TRUE(renderer.init(context, scene, &error)) << error;
    const GpuFrame reference = renderer.render(testCamera(), RenderSettings{}, GpuViewData{});
    ASSERT_TRUE(reference.ok) << reference.error;

    GpuFrame failed;
    ASSERT_TRUE(renderer.recordFrame(testCamera(), RenderSettings{}, GpuViewData{}, 1.0f, 0.0f, true, true, &failed))
        << failed.error;
    ASSERT_NE(renderer.outputImages(8, 4), nullptr);  // the other entry: the frame stays pending
    ASSERT_NE(renderer.outputImages(4, 8), nullptr);  // the frame's own entry
    const GpuFrame afterwards = renderer.finishFrame();
    EXPECT_FALSE(afterwards.ok);  // nothing was pending any more
    EXPECT_TRUE(afterwards.error.empty());

    const GpuFrame again = renderer.render(testCamera(), RenderSettings{}, GpuViewData{});
    ASSERT_TRUE(again.ok) << again.error;
    EXPECT_EQ(again.color, reference.color);
    EXPECT_EQ(again.depth, reference.depth);
}

// The tracer reads the prism of every index in a tile's bin: bins that do
// not fit the frame (another camera size, or indices of another scene's
// prisms) are replaced by the renderer's own, so the image is the one
// rendered without bins.
TEST_F(GpuRendererOnDevice, TileBinsThatDoNotFitTheFrameAreBinnedAnew)
{
    const Scene scene = groundAndBump(0.3f);
    GpuRenderer renderer;
    std::string error;
    ASSERT_TRUE(renderer.init(context, scene, &error)) << error;
    const Camera camera = testCamera();
    const GpuFrame reference = renderer.render(camera, RenderSettings{}, GpuViewData{});
    ASSERT_TRUE(reference.ok) << reference.error;
    const std::size_t tiles = std::size_t((kSize + 15) / 16) * ((kSize + 15) / 16);
    const std::uint32_t prisms = std::uint32_t(scene.prisms.size());
    struct Case {
        const char* name;
        std::vector<std::vector<std::uint32_t>> bins;
    };
    const Case cases[] = {
        {"index one past the last prism", std::vector<std::vector<std::uint32_t>>(tiles, {0, prisms})},
        {"index far past the prisms", std::vector<std::vector<std::uint32_t>>(tiles, {100000000u})},
        {"bins of another tile grid", std::vector<std::vector<std::uint32_t>>(tiles + 1, {0})},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const GpuFrame frame = renderer.render(camera, RenderSettings{}, GpuViewData{&c.bins, {}});
        ASSERT_TRUE(frame.ok) << frame.error;
        EXPECT_EQ(frame.color, reference.color);
        EXPECT_EQ(frame.depth, reference.depth);
    }
}

TEST_F(GpuRendererOnDevice, FrameHookSeesTheOutputImagesAndFramesOfTwoSizesAlternate)
{
    const Scene scene = groundAndBump(0.3f);
    GpuRenderer renderer;
    std::string error;
    ASSERT_TRUE(renderer.init(context, scene, &error)) << error;
    int hookCalls = 0;
    GpuViewData view;
    view.frameHook = [&](VkCommandBuffer commands, const GpuOutputImages& images) {
        EXPECT_NE(commands, VK_NULL_HANDLE);
        EXPECT_NE(images.color.image, VK_NULL_HANDLE);
        ++hookCalls;
    };
    for (const std::uint32_t width : {17u, 32u, 17u}) {
        const Camera camera = Camera::lookAt({0.5f, 3.0f, 6.0f}, {0, 0.3f, 0}, {0, 1, 0}, 55.0f, width, 12);
        const GpuFrame frame = renderer.render(camera, RenderSettings{}, view);
        ASSERT_TRUE(frame.ok) << frame.error;
        EXPECT_EQ(frame.depth.size(), std::size_t(width) * 12);
        EXPECT_GE(frame.gpuMs, 0.0);
    }
    EXPECT_EQ(hookCalls, 3);
    // Without read-back nothing is copied out.
    const GpuFrame quiet = renderer.render(testCamera(), RenderSettings{}, GpuViewData{}, 1.0f, 0.0f, false, false);
    ASSERT_TRUE(quiet.ok);
    EXPECT_TRUE(quiet.color.empty());
}

// A deliberate hazard for the validation run (tests/gpu/run_with_validation.cmake),
// which runs it alone with QLMR_SYNC_CANARY set and requires the layer to
// report it: proof that synchronization validation is on there. The frame
// hook copies the colour image out right after the tracer's barrier, which
// makes the image visible to compute work only, not to transfers.
TEST_F(GpuRendererOnDevice, SynchronizationHazardCanary)
{
    if (!std::getenv("QLMR_SYNC_CANARY"))
        GTEST_SKIP() << "only the validation run asks for the hazard";
    const Scene scene = groundAndBump(0.3f);
    GpuRenderer renderer;
    std::string error;
    ASSERT_TRUE(renderer.init(context, scene, &error)) << error;
    GpuViewData view;
    view.frameHook = [&](VkCommandBuffer commands, const GpuOutputImages& images) {
        VkBufferImageCopy region{};
        region.imageSubresource.aspectMask = VK_IMAGE_ASPECT_COLOR_BIT;
        region.imageSubresource.layerCount = 1;
        region.imageExtent = {images.width, images.height, 1};
        context.vk.vkCmdCopyImageToBuffer(commands, images.color.image, VK_IMAGE_LAYOUT_GENERAL,
                                          images.colorReadback.buffer, 1, &region);
    };
    const GpuFrame frame = renderer.render(testCamera(), RenderSettings{}, view);
    ASSERT_TRUE(frame.ok) << frame.error;
}

TEST_F(GpuRendererOnDevice, SetSolidWritesThePresentFlagOnlyWithTheSolidOption)
{
    const Scene scene = groundAndBump(0.3f);
    GpuRenderer renderer;
    std::string error;
    ASSERT_TRUE(renderer.init(context, scene, &error)) << error;
    SdnaProgram program;
    program.instructions.resize(2);
    SdnaInstance instance;
    instance.program = &program;
    EXPECT_TRUE(renderer.setSolid(&instance));
    EXPECT_FALSE(renderer.solidPresent()); // not initialised for a solid
    EXPECT_TRUE(renderer.setSolid(nullptr));
    EXPECT_FALSE(renderer.solidPresent());
}

// Eight prisms stacked over one flat field, seen from straight above: every
// screen tile and every light cell lists all eight, so the lists outgrow the
// prism buffer.
Scene stackedPrisms()
{
    Scene scene;
    scene.addField(makeField(16, 16, [](float, float) { return 0.4f; }));
    for (int i = 0; i < 8; ++i)
        scene.addPrism(makePrism({-4, 0, 4}, {1, 0, 0}, {0, 0, -1}, 8, 8, 1, 0));
    scene.refreshPrisms();
    return scene;
}

// Every buffer the tracer binds must fit the device's storage range. The
// limit is lowered on the opened context to one byte below what each buffer
// of this scene needs, in the order the renderer checks them; at the largest
// size the frame renders as it does under the device's own limit.
TEST_F(GpuRendererOnDevice, BuffersPastTheDeviceBindingRangeAreRefused)
{
    const Scene scene = stackedPrisms();
    const Camera camera = Camera::lookAt({0, 6, 0.01f}, {0, 0, 0}, {0, 1, 0}, 50, 128, 128);
    const RenderSettings settings;
    std::vector<std::vector<std::uint32_t>> bins;
    binPrisms(scene.prisms, camera, 8, 8, bins);
    std::vector<gpu::Range> tileRanges, lightRanges;
    std::vector<std::uint32_t> tileLists, lightLists;
    flattenBins(bins, tileRanges, tileLists);
    gpu::LightGridHeader header;
    buildLightGrid(scene.prisms, settings.sunDir, lightRanges, lightLists, header);
    const std::uint64_t prismBytes = 8 * sizeof(gpu::Prism);
    const std::uint64_t tileListBytes = tileLists.size() * 4;
    const std::uint64_t lightGridBytes = sizeof(header) + lightRanges.size() * sizeof(gpu::Range);
    const std::uint64_t lightListBytes = lightLists.size() * 4;
    // The scene is built so that each list is the largest buffer so far.
    ASSERT_GT(tileListBytes, std::max<std::uint64_t>(prismBytes, tileRanges.size() * sizeof(gpu::Range)));
    ASSERT_GT(lightGridBytes, tileListBytes);
    ASSERT_GT(lightListBytes, lightGridBytes);

    GpuRenderer unlimited;
    std::string error;
    ASSERT_TRUE(unlimited.init(context, scene, &error)) << error;
    const GpuFrame reference = unlimited.render(camera, settings, GpuViewData{});
    ASSERT_TRUE(reference.ok) << reference.error;

    auto exceeds = [](const std::string& name, std::uint64_t bytes) {
        return name + " of " + std::to_string(bytes) + " bytes exceeds the device limit of " +
            std::to_string(bytes - 1) + " bytes";
    };
    struct Case {
        std::uint64_t limit;
        std::string initError, frameError;
    };
    const Case cases[] = {
        {prismBytes - 1, exceeds("prism buffer", prismBytes), ""},
        {tileListBytes - 1, "", "frame resources: " + exceeds("tile list buffer", tileListBytes)},
        {lightGridBytes - 1, "", "light bins: " + exceeds("light grid buffer", lightGridBytes)},
        {lightListBytes - 1, "", "light bins: " + exceeds("light list buffer", lightListBytes)},
        {lightListBytes, "", ""},
    };
    const std::uint32_t deviceLimit = context.maxStorageBufferRange;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.limit);
        ASSERT_LE(c.limit, deviceLimit);
        context.maxStorageBufferRange = std::uint32_t(c.limit);
        GpuRenderer renderer;
        error.clear();
        const bool initialised = renderer.init(context, scene, &error);
        EXPECT_EQ(error, c.initError);
        if (!initialised)
            continue;
        const GpuFrame frame = renderer.render(camera, settings, GpuViewData{});
        EXPECT_EQ(frame.error, c.frameError);
        EXPECT_EQ(frame.ok, c.frameError.empty());
        if (frame.ok) {
            EXPECT_EQ(frame.color, reference.color);
            EXPECT_EQ(frame.depth, reference.depth);
        }
        // A refused frame leaves the renderer usable once the lists fit.
        context.maxStorageBufferRange = deviceLimit;
        const GpuFrame after = renderer.render(camera, settings, GpuViewData{});
        ASSERT_TRUE(after.ok) << after.error;
        EXPECT_EQ(after.color, reference.color);
    }
    context.maxStorageBufferRange = deviceLimit;
}

// A program whose stream the device cannot bind is refused and leaves the
// solid as it was.
TEST_F(GpuRendererOnDevice, SetSolidRefusesAProgramPastTheDeviceBindingRange)
{
    const Scene scene = groundAndBump(0.3f);
    GpuRenderer renderer;
    std::string error;
    GpuRenderOptions options;
    options.solid = true;
    ASSERT_TRUE(renderer.init(context, scene, &error, options)) << error;
    SdnaProgram program;
    program.instructions.resize(40);
    SdnaInstance instance;
    instance.program = &program;
    const std::uint32_t deviceLimit = context.maxStorageBufferRange;
    context.maxStorageBufferRange = 40 * 48 - 1;
    EXPECT_FALSE(renderer.setSolid(&instance));
    EXPECT_FALSE(renderer.solidPresent());
    context.maxStorageBufferRange = 40 * 48;
    EXPECT_TRUE(renderer.setSolid(&instance));
    EXPECT_TRUE(renderer.solidPresent());
    context.maxStorageBufferRange = deviceLimit;
}

SdnaInstruction instruction(SdnaOp op, std::uint16_t material, std::initializer_list<float> p)
{
    SdnaInstruction ins;
    ins.op = op;
    ins.material = material;
    std::copy(p.begin(), p.end(), ins.p.begin());
    return ins;
}

// A ball and a rounded box of two materials, with a third material index
// past the table on a small sphere (it reads the default material).
SdnaProgram ballAndBox()
{
    SdnaProgram program;
    program.instructions = {
        instruction(SdnaOp::Sphere, 0, {0, 0, 0, 0.5f}),
        instruction(SdnaOp::Box, 1, {0.6f, 0.1f, 0, 0.3f, 0.25f, 0.3f, 0.05f}),
        instruction(SdnaOp::Union, 0, {}),
        instruction(SdnaOp::Sphere, 5, {-0.3f, 0.45f, 0.2f, 0.18f}),
        instruction(SdnaOp::Union, 0, {}),
    };
    program.materials = {{0.9f, 0.3f, 0.2f, 0.5f}, {0.2f, 0.7f, 0.3f, 0.5f}};
    program.boundsMin = {-0.55f, -0.55f, -0.55f};
    program.boundsMax = {0.96f, 0.66f, 0.55f};
    return program;
}

// The solid object beside the fields: primary hits in front of and behind
// the terrain, its shadow on the ground, the terrain's shadow on it, and
// its reflection and depth under the water surface, with the program stream
// plain and with culling records.
TEST_F(GpuRendererOnDevice, SolidObjectBesideTheFieldsMatchesTheCpuRenderer)
{
    const SdnaProgram program = ballAndBox();
    const ProgramBounds bounds = analyzeProgramBounds(program, 1);
    ASSERT_FALSE(bounds.records.empty());
    struct Case {
        const char* name;
        const ProgramBounds* bounds;
    };
    const Case cases[] = {{"plain", nullptr}, {"culled", &bounds}};
    const Scene scene = hillsAndWater();
    RenderSettings settings;
    settings.specular = 0.3f;
    // One renderer for both streams: setSolid replaces everything it copied.
    GpuRenderer renderer;
    std::string error;
    GpuRenderOptions options;
    options.solid = true;
    ASSERT_TRUE(renderer.init(context, scene, &error, options)) << error;
    const GBuffer withoutSolid = renderOnCpu(scene, testCamera(), settings);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        SdnaInstance instance;
        instance.program = &program;
        instance.rotation = {0.0f, 0.2588190f, 0.0f, 0.9659258f}; // 30 degrees about y
        instance.translation = {0.2f, 0.8f, 2.0f};
        instance.scale = 1.1f;
        instance.bounds = c.bounds;
        ASSERT_TRUE(renderer.setSolid(&instance));
        EXPECT_TRUE(renderer.solidPresent());
        const GpuFrame gpu = renderer.render(testCamera(), settings, GpuViewData{});
        ASSERT_TRUE(gpu.ok) << gpu.error;
        const GBuffer cpu = renderOnCpu(scene, testCamera(), settings, &instance);
        saveSideBySide(std::string("solid_") + c.name + ".png", gpu, cpu);
        const Comparison result = compare(gpu, cpu);
        RecordProperty(std::string("psnr_solid_") + c.name, std::to_string(result.psnr));
        EXPECT_GT(result.psnr, 45.0);
        EXPECT_LE(result.depthMismatches, int(kSize * kSize / 100));
        EXPECT_LE(result.normalMismatches, int(kSize * kSize / 100));
        // The object covers enough of the image that leaving it out would fail.
        EXPECT_GT(compare(gpu, withoutSolid).depthMismatches, 200);
    }
    // Cleared, the same renderer draws the fields alone.
    ASSERT_TRUE(renderer.setSolid(nullptr));
    EXPECT_FALSE(renderer.solidPresent());
    const GpuFrame cleared = renderer.render(testCamera(), settings, GpuViewData{});
    ASSERT_TRUE(cleared.ok) << cleared.error;
    EXPECT_LE(compare(cleared, withoutSolid).depthMismatches, int(kSize * kSize / 100));
}

// A host-visible buffer the tests copy images into.
class ReadbackBuffer {
public:
    ReadbackBuffer(VulkanContext& context, VkDeviceSize bytes) : context(context)
    {
        VkBufferCreateInfo create{};
        create.sType = VK_STRUCTURE_TYPE_BUFFER_CREATE_INFO;
        create.size = bytes;
        create.usage = VK_BUFFER_USAGE_TRANSFER_DST_BIT;
        context.vk.vkCreateBuffer(context.device, &create, nullptr, &buffer);
        VkMemoryRequirements requirements{};
        context.vk.vkGetBufferMemoryRequirements(context.device, buffer, &requirements);
        VkMemoryAllocateInfo allocate{};
        allocate.sType = VK_STRUCTURE_TYPE_MEMORY_ALLOCATE_INFO;
        allocate.allocationSize = requirements.size;
        allocate.memoryTypeIndex = std::uint32_t(context.findMemoryType(
            requirements.memoryTypeBits, VK_MEMORY_PROPERTY_HOST_VISIBLE_BIT | VK_MEMORY_PROPERTY_HOST_COHERENT_BIT));
        context.vk.vkAllocateMemory(context.device, &allocate, nullptr, &memory);
        context.vk.vkBindBufferMemory(context.device, buffer, memory, 0);
        context.vk.vkMapMemory(context.device, memory, 0, VK_WHOLE_SIZE, 0, &mapped);
    }
    ~ReadbackBuffer()
    {
        context.vk.vkUnmapMemory(context.device, memory);
        context.vk.vkDestroyBuffer(context.device, buffer, nullptr);
        context.vk.vkFreeMemory(context.device, memory, nullptr);
    }
    const float* floats() const { return static_cast<const float*>(mapped); }

    VulkanContext& context;
    VkBuffer buffer = VK_NULL_HANDLE;
    VkDeviceMemory memory = VK_NULL_HANDLE;
    void* mapped = nullptr;
};

// A frame hook that copies the seed-depth image out after the tracer.
GpuViewData seedDepthCopy(VulkanContext& context, const ReadbackBuffer& target, std::uint32_t width,
                          std::uint32_t height)
{
    GpuViewData view;
    view.frameHook = [&context, &target, width, height](VkCommandBuffer commands, const GpuOutputImages& images) {
        VkImageMemoryBarrier barrier{};
        barrier.sType = VK_STRUCTURE_TYPE_IMAGE_MEMORY_BARRIER;
        barrier.srcAccessMask = VK_ACCESS_COLOR_ATTACHMENT_WRITE_BIT | VK_ACCESS_SHADER_READ_BIT;
        barrier.dstAccessMask = VK_ACCESS_TRANSFER_READ_BIT;
        barrier.oldLayout = VK_IMAGE_LAYOUT_GENERAL;
        barrier.newLayout = VK_IMAGE_LAYOUT_GENERAL;
        barrier.srcQueueFamilyIndex = barrier.dstQueueFamilyIndex = VK_QUEUE_FAMILY_IGNORED;
        barrier.image = images.seedDepth.image;
        barrier.subresourceRange = {VK_IMAGE_ASPECT_COLOR_BIT, 0, 1, 0, 1};
        context.vk.vkCmdPipelineBarrier(commands,
                                        VK_PIPELINE_STAGE_COLOR_ATTACHMENT_OUTPUT_BIT |
                                            VK_PIPELINE_STAGE_COMPUTE_SHADER_BIT,
                                        VK_PIPELINE_STAGE_TRANSFER_BIT, 0, 0, nullptr, 0, nullptr, 1, &barrier);
        VkBufferImageCopy region{};
        region.imageSubresource = {VK_IMAGE_ASPECT_COLOR_BIT, 0, 0, 1};
        region.imageExtent = {width, height, 1};
        context.vk.vkCmdCopyImageToBuffer(commands, images.seedDepth.image, VK_IMAGE_LAYOUT_GENERAL, target.buffer, 1,
                                          &region);
    };
    return view;
}

// Pixels whose hit, depth (relative 1e-4) or colour (8-bit) differ between two GPU frames.
int framesDiffer(const GpuFrame& a, const GpuFrame& b)
{
    int count = 0;
    for (std::size_t i = 0; i < a.depth.size(); ++i) {
        const bool hitA = a.depth[i] < 1e29f, hitB = b.depth[i] < 1e29f;
        bool differs = hitA != hitB || (hitA && std::fabs(a.depth[i] - b.depth[i]) > 1e-4f * a.depth[i]);
        for (int k = 0; k < 3; ++k)
            differs = differs || std::abs(int(toneMap8(a.color[i * 4 + k])) - int(toneMap8(b.color[i * 4 + k]))) > 1;
        count += differs ? 1 : 0;
    }
    return count;
}

// A solid placed without a pose list but with a pose count poses every bone
// as the identity, as the processor does: the same image as with no count.
TEST_F(GpuRendererOnDevice, SolidWithoutPosesDrawsItsBonesAtTheIdentity)
{
    SdnaProgram program = ballAndBox();
    SdnaInstruction bone = instruction(SdnaOp::PushBone, 0, {});
    bone.bone = 1;
    program.instructions.insert(program.instructions.begin(), bone);
    program.instructions.insert(program.instructions.end() - 1, instruction(SdnaOp::Pop, 0, {}));
    program.boneCount = 2;
    const Scene scene = hillsAndWater();
    GpuRenderer renderer;
    std::string error;
    GpuRenderOptions options;
    options.solid = true;
    ASSERT_TRUE(renderer.init(context, scene, &error, options)) << error;
    const GpuFrame fieldsOnly = renderer.render(testCamera(), RenderSettings{}, GpuViewData{});
    ASSERT_TRUE(fieldsOnly.ok) << fieldsOnly.error;
    SdnaInstance instance;
    instance.program = &program;
    instance.translation = {0.2f, 0.8f, 2.0f};
    GpuFrame frames[2];
    for (const std::uint64_t poseCount : {0u, 2u}) {
        instance.poseCount = poseCount;
        ASSERT_TRUE(renderer.setSolid(&instance));
        frames[poseCount / 2] = renderer.render(testCamera(), RenderSettings{}, GpuViewData{});
        ASSERT_TRUE(frames[poseCount / 2].ok) << frames[poseCount / 2].error;
    }
    EXPECT_GT(framesDiffer(frames[0], fieldsOnly), 200);
    EXPECT_EQ(framesDiffer(frames[1], frames[0]), 0);
}

// The seed pass only moves where each seeded prism's walk begins: the image
// is the one without it. The hull it rasterizes is conservative (the seed
// distance never exceeds the traced depth) and covers the surface it wraps.
// A camera under the ground or in the bump's box seeds neither prism.
TEST_F(GpuRendererOnDevice, SeedPassGivesTheSameImageAndAConservativeSeed)
{
    struct Case {
        const char* name;
        Scene (*scene)();
        Vec3 eye, target;
        bool seeded;
    };
    const Case cases[] = {
        {"ground_and_bump", [] { return groundAndBump(0.3f); }, {0.5f, 3.0f, 6.0f}, {0, 0.3f, 0}, true},
        {"hills_water", hillsAndWater, {0.5f, 3.0f, 6.0f}, {0, 0.3f, 0}, true},
        {"hills_low_in_the_box", hillsAndWater, {0.3f, 1.05f, 2.5f}, {0, 0.3f, -2.0f}, true},
        {"under_the_ground", [] { return groundAndBump(0.3f); }, {0.0f, 0.1f, 0.0f}, {2.0f, 0.25f, -2.0f}, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const Scene scene = c.scene();
        const Camera camera = Camera::lookAt(c.eye, c.target, {0, 1, 0}, 55.0f, kSize, kSize);
        RenderSettings settings;
        settings.specular = 0.3f;
        GpuRenderer plain, seeded;
        std::string error;
        ASSERT_TRUE(plain.init(context, scene, &error)) << error;
        GpuRenderOptions options;
        options.seedPass = true;
        ASSERT_TRUE(seeded.init(context, scene, &error, options)) << error;
        ASSERT_TRUE(seeded.shellRasterBuilt());

        for (const std::int32_t level : plain.prismSeedLevels(camera))
            EXPECT_EQ(level, -1);
        const std::vector<std::int32_t> levels = seeded.prismSeedLevels(camera);
        ASSERT_EQ(levels.size(), scene.prisms.size());
        for (std::size_t i = 0; i < levels.size(); ++i)
            EXPECT_EQ(levels[i], c.seeded ? std::int32_t(seeded.shellRecords()[i].level) : -1) << "prism " << i;

        const ReadbackBuffer seedDepth(context, VkDeviceSize(kSize) * kSize * 4);
        const GpuFrame without = plain.render(camera, settings, GpuViewData{});
        const GpuFrame with = seeded.render(camera, settings, seedDepthCopy(context, seedDepth, kSize, kSize));
        ASSERT_TRUE(without.ok) << without.error;
        ASSERT_TRUE(with.ok) << with.error;
        EXPECT_EQ(framesDiffer(without, with), 0);
        // The seeded image still matches the CPU reference.
        const Comparison result = compare(with, renderOnCpu(scene, camera, settings));
        EXPECT_GT(result.psnr, 45.0);
        EXPECT_LE(result.depthMismatches, int(kSize * kSize / 100));

        int hits = 0, covered = 0;
        for (std::size_t i = 0; i < with.depth.size(); ++i) {
            const float seed = seedDepth.floats()[i];
            if (!c.seeded) {
                EXPECT_EQ(seed, 1e30f) << i; // nothing drawn: the clear value
                continue;
            }
            if (!(with.depth[i] < 1e29f))
                continue;
            ++hits;
            if (seed < 1e29f) {
                ++covered;
                EXPECT_LE(seed, with.depth[i] * (1.0f + 1e-4f)) << i;
            }
        }
        if (c.seeded) {
            EXPECT_GT(hits, 0);
            EXPECT_GE(covered, hits - int(kSize)) << "the hull leaves hit pixels unseeded";
        }
    }
}

// A pixel-art field: hits snap to the centres of 4 x 4 sample cells (the
// offsets shift the grid), with the height and a smoothed normal there, and
// the albedo is read at the cell centre, as on the processor.
TEST_F(GpuRendererOnDevice, PixelGridFieldSnapsHitsAsTheCpuRenderer)
{
    Scene scene;
    DisplacementField relief = makeField(64, 64, [](float u, float v) {
        return 0.35f + 0.2f * std::sin(6.2831853f * 5.0f * u) * std::sin(6.2831853f * 4.0f * v + 0.4f);
    });
    std::mt19937 random(11);
    std::vector<std::uint32_t> rgba(64 * 64);
    for (std::uint32_t& texel : rgba)
        texel = 0xFF000000u | (random() & 0x00FFFFFFu);
    relief.setAlbedo(64, 64, rgba);
    relief.pixelGrid = 4;
    relief.pixelGridOffsetX = 1;
    relief.pixelGridOffsetY = -2;
    scene.addField(std::move(relief));
    scene.addPrism(makePrism({-4, 0, 4}, {1, 0, 0}, {0, 0, -1}, 8, 8, 1.2f, 0));
    scene.refreshPrisms();
    GpuRenderer renderer;
    std::string error;
    GpuRenderOptions snapping;
    snapping.snapToPixelGrid = true;
    ASSERT_TRUE(renderer.init(context, scene, &error, snapping)) << error;
    const PrismFieldRecord& record = renderer.prismFieldRecords()[0];
    EXPECT_EQ(record.words[1], 6u | 1u << 8);  // log2 width, offset x
    EXPECT_EQ(record.words[2], 6u | 2u << 8);  // log2 height, offset -2 modulo 4
    EXPECT_EQ(record.words[3], 7u | 2u << 8 | std::uint32_t(QLMR_FIELD_SNAP_HITS_BIT) | 4u << 16);

    RenderSettings settings;
    settings.normalRefine = 0.5f; // skipped on pixel-grid fields
    const GpuFrame gpu = renderer.render(testCamera(), settings, GpuViewData{});
    ASSERT_TRUE(gpu.ok) << gpu.error;
    const GBuffer cpu = renderOnCpu(scene, testCamera(), settings);
    saveSideBySide("pixel_grid.png", gpu, cpu);
    const Comparison result = compare(gpu, cpu);
    RecordProperty("psnr_pixel_grid", std::to_string(result.psnr));
    EXPECT_GT(result.psnr, 45.0);
    EXPECT_LE(result.depthMismatches, int(kSize * kSize / 100));
    EXPECT_LE(result.normalMismatches, int(kSize * kSize / 100));
}

// What the CPU kernels know of one pixel: the inputs of the GPU debug views.
struct CpuPixel {
    int prism = -1;
    int level = 0;
    float u = 0, v = 0, lod = -1;
    float albedo[3] = {0, 0, 0};
};

CpuPixel cpuPixel(const SceneTracer& tracer, const Camera& camera, const RenderSettings& settings, int x, int y)
{
    using VF = simd::vfloat<1>;
    const RayPacketOf<1> rays = primaryRays<1>(camera, VF(float(x)), VF(float(y)));
    PacketResult<1> result;
    renderPacket<1>(tracer, nullptr, rays, simd::vmask<1>(true), tracer.allPrisms, settings, result);
    const HitPacketOf<1>& hit = result.record;
    SurfacePacketOf<1> surface;
    fetchSurface<1>(tracer, surface, hit, rays);
    CpuPixel p;
    p.prism = hit.prism.v;
    if (p.prism < 0)
        return p;
    p.level = hit.level.v;
    p.u = hit.u.v;
    p.v = hit.v.v;
    p.albedo[0] = surface.albedoR.v;
    p.albedo[1] = surface.albedoG.v;
    p.albedo[2] = surface.albedoB.v;
    const Prism& prism = tracer.scene->prisms[std::size_t(p.prism)];
    const Vec3 d{rays.dirX.v, rays.dirY.v, rays.dirZ.v};
    const float cosine = std::fabs(dot(Vec3{hit.normalX.v, hit.normalY.v, hit.normalZ.v}, d) /
                                   std::sqrt(std::max(dot(d, d), 1e-30f)));
    const float footprint = rays.coneSpread.v * hit.t.v + rays.coneRadius.v;
    p.lod = std::log2(std::max((footprint / std::max(cosine, 0.2f)) / prism.albedoTexelSize, 1e-6f));
    return p;
}

// Two flat fields of different formats side by side, each with a checker
// albedo of 4 x 4 texel blocks in two known colours.
constexpr std::uint32_t kBlockColors[2][2] = {{0xFF3070B0u, 0xFF80C0E0u}, {0xFF2090D0u, 0xFF60A040u}};

Scene twoFlatFields()
{
    Scene scene;
    DisplacementField left = makeField(64, 64, [](float, float) { return 0.3f; });
    setCheckerAlbedo(left, 64, kBlockColors[0][0], kBlockColors[0][1]);
    scene.addField(std::move(left));
    DisplacementField right = makeField(32, 32, [](float, float) { return 0.5f; });
    setCheckerAlbedo(right, 32, kBlockColors[1][0], kBlockColors[1][1]);
    scene.addField(std::move(right));
    scene.addPrism(makePrism({-4, 0, 2}, {1, 0, 0}, {0, 0, -1}, 4, 4, 1, 0));
    scene.addPrism(makePrism({0, 0, 2}, {1, 0, 0}, {0, 0, -1}, 4, 4, 1, 1));
    scene.refreshPrisms();
    return scene;
}

// Level-0 albedo of the checker at (u, v) when both texels of the bilinear
// fetch (columns floor(u * size) and the next, rows likewise) lie in one
// block, else false.
bool blockAlbedo(std::uint32_t field, std::uint32_t size, float u, float v, float rgb[3])
{
    const float x = u * float(size), y = v * float(size);
    const float fx = std::fmod(x, 4.0f), fy = std::fmod(y, 4.0f);
    if (fx < 0.05f || fx > 2.95f || fy < 0.05f || fy > 2.95f)
        return false;
    const std::uint32_t bx = std::uint32_t(x) / 4, by = std::uint32_t(y) / 4;
    const std::uint32_t color = kBlockColors[field][(bx + by) & 1u ? 0 : 1];
    for (int k = 0; k < 3; ++k)
        rgb[k] = float((color >> (8 * k)) & 255u) / 255.0f;
    return true;
}

// Each debug view holds its documented values of the field hit (-1 where no
// field is hit), and every view's fourth colour channel is the CPU's cost.
TEST_F(GpuRendererOnDevice, DebugViewsHoldTheFieldHitValues)
{
    const Scene scene = twoFlatFields();
    GpuRenderer renderer;
    std::string error;
    ASSERT_TRUE(renderer.init(context, scene, &error)) << error;
    ASSERT_EQ(renderer.fieldGroupCount(), 2u);
    const SceneTracer tracer(scene, TraceSettings{});
    const std::uint32_t albedoSizes[2] = {64, 32};
    struct View {
        const char* name;
        Camera camera;
    };
    const View views[] = {
        {"near", Camera::lookAt({0.3f, 2.5f, 3.5f}, {0, 0.3f, 0}, {0, 1, 0}, 60, 32, 32)},
        {"far", Camera::lookAt({0.2f, 14.0f, 7.0f}, {0, 0, 0}, {0, 1, 0}, 40, 32, 32)},
    };
    const int modes[] = {0, 8, 10, 11, 12, 13, 14};
    bool sawCoarseLod = false, sawBothFields[2] = {false, false};
    for (const View& view : views) {
        SCOPED_TRACE(view.name);
        const Camera& camera = view.camera;
        RenderSettings settings;
        std::map<int, GpuFrame> frames;
        for (const int mode : modes) {
            settings.debugView = std::uint32_t(mode);
            frames[mode] = renderer.render(camera, settings, GpuViewData{});
            ASSERT_TRUE(frames[mode].ok) << frames[mode].error;
        }
        settings.debugView = 0;
        const GBuffer cpu = renderOnCpu(scene, camera, settings);
        int coverageMismatches = 0;
        for (int y = 0; y < 32; ++y) {
            for (int x = 0; x < 32; ++x) {
                SCOPED_TRACE(testing::Message() << "pixel " << x << "," << y);
                const std::size_t i = (std::size_t(y) * 32 + std::size_t(x)) * 4;
                const float cost = cpu.at(GBuffer::Cost, unsigned(x), unsigned(y));
                for (const int mode : modes)
                    EXPECT_EQ(frames[mode].color[i + 3], cost) << "mode " << mode;

                const CpuPixel c = cpuPixel(tracer, camera, settings, x, y);
                const float* prismView = &frames[12].color[i];
                if (float(c.prism) != prismView[0]) {
                    ++coverageMismatches;
                    continue;
                }
                if (c.prism < 0) {
                    for (const int mode : {8, 10, 11, 12, 13, 14})
                        for (int k = 0; k < 3; ++k)
                            EXPECT_EQ(frames[mode].color[i + std::size_t(k)], -1.0f) << "mode " << mode;
                    continue;
                }
                const std::uint32_t field = scene.prisms[std::size_t(c.prism)].fieldIndex;
                sawBothFields[field] = true;
                sawCoarseLod |= c.lod > 1.5f;
                EXPECT_EQ(prismView[1], float(c.level));
                const float* slotView = &frames[13].color[i];
                EXPECT_EQ(slotView[0], float(renderer.fieldGroup(field)));
                EXPECT_EQ(slotView[1], float(renderer.fieldLayer(field)));
                EXPECT_EQ(slotView[2], float(tracer.views[field].levels));
                EXPECT_NEAR(frames[11].color[i], c.u, 1e-3f);
                EXPECT_NEAR(frames[11].color[i + 1], c.v, 1e-3f);
                EXPECT_NEAR(frames[14].color[i], c.lod, 1e-2f);
                for (int k = 0; k < 3; ++k)
                    EXPECT_NEAR(frames[8].color[i + std::size_t(k)], c.albedo[k], 3e-3f) << "channel " << k;
                float block[3];
                if (blockAlbedo(field, albedoSizes[field], c.u, c.v, block)) {
                    for (int k = 0; k < 3; ++k)
                        EXPECT_NEAR(frames[10].color[i + std::size_t(k)], block[k], 2e-3f) << "channel " << k;
                }
            }
        }
        EXPECT_LE(coverageMismatches, 8);
    }
    // The far view reads coarse albedo levels, so mode 8 and mode 10 differ there.
    EXPECT_TRUE(sawCoarseLod);
    EXPECT_TRUE(sawBothFields[0] && sawBothFields[1]);
}

TEST_F(GpuRendererOnDevice, PointOutsidePrism)
{
    const Scene scene = groundAndBump(0.3f);
    GpuRenderer renderer;
    std::string error;
    ASSERT_TRUE(renderer.init(context, scene, &error)) << error;
    EXPECT_TRUE(renderer.pointOutsidePrism(0, {0, 5, 0}));     // far above the box
    EXPECT_TRUE(renderer.pointOutsidePrism(0, {0, 0.6f, 0}));  // in the box, above the ground
    EXPECT_FALSE(renderer.pointOutsidePrism(0, {0, 0.1f, 0})); // under the ground
    EXPECT_FALSE(renderer.pointOutsidePrism(7, {0, 0, 0}));    // no such prism
    // A point that is not provably inside the box counts as outside: one
    // that is not a number, or one at infinity (whose local coordinates
    // take NaN from infinity times zero).
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const float inf = std::numeric_limits<float>::infinity();
    EXPECT_TRUE(renderer.pointOutsidePrism(0, {nan, 0.1f, 0}));
    EXPECT_TRUE(renderer.pointOutsidePrism(0, {0, 0.1f, nan}));
    EXPECT_TRUE(renderer.pointOutsidePrism(0, {inf, 0.1f, 0}));
    EXPECT_TRUE(renderer.pointOutsidePrism(0, {0, -inf, 0}));
}

// Whether a point is above the coarse hull does not depend on whether the
// seed pass built the hull: a renderer without it finds the same corners.
TEST_F(GpuRendererOnDevice, PointOutsidePrismIsTheSameWithAndWithoutTheBuiltHull)
{
    std::mt19937 random(11);
    std::uniform_real_distribution<float> spread(0.0f, 1.0f);
    Scene scene;
    std::vector<float> heights(64 * 64);
    for (float& h : heights)
        h = spread(random) < 0.05f ? 0.9f : 0.2f * spread(random); // low ground, sparse spikes
    scene.addField(DisplacementField(64, 64, std::span<const float>(heights), true));
    scene.addPrism(makePrism({-2, 0, 2}, {1, 0, 0}, {0, 0, -1}, 4, 4, 1, 0));
    scene.refreshPrisms();
    GpuRenderer withoutHull, withHull;
    std::string error;
    ASSERT_TRUE(withoutHull.init(context, scene, &error)) << error;
    GpuRenderOptions seeded;
    seeded.seedPass = true;
    ASSERT_TRUE(withHull.init(context, scene, &error, seeded)) << error;
    ASSERT_TRUE(withHull.shellRecords()[0].present());
    int outside = 0, inside = 0;
    for (int i = 0; i < 4000; ++i) {
        const Vec3 point{-2.0f + 4.0f * spread(random), 1.0f * spread(random), 2.0f - 4.0f * spread(random)};
        const bool expected = withHull.pointOutsidePrism(0, point);
        ASSERT_EQ(withoutHull.pointOutsidePrism(0, point), expected) << point.x << " " << point.y << " " << point.z;
        (expected ? outside : inside) += 1;
    }
    EXPECT_GT(outside, 100);
    EXPECT_GT(inside, 100);
}


// A sprite relief as the pixel-art scenes build it (4 nodes per sprite
// pixel, the grid offset by the sprite's frame): a GPU told to snap agrees
// with the processor renderer snapping too, a reference traced without the
// snap differs in the normals of whole cells, and a GPU told not to snap
// agrees with that one. A comparison of pixel-art scenes needs the same
// setting on both sides.
TEST_F(GpuRendererOnDevice, SpriteReliefAgreesWithTheCpuReferenceOfTheSameSnapSetting)
{
    constexpr std::uint32_t kSpriteW = 13, kSpriteH = 11;
    std::mt19937 random(5);
    std::vector<std::uint32_t> sprite(kSpriteW * kSpriteH, 0u);
    for (std::uint32_t y = 1; y + 1 < kSpriteH; ++y)
        for (std::uint32_t x = 1; x + 2 < kSpriteW; ++x)
            sprite[y * kSpriteW + x] = 0xFF000000u | (random() & 0x00FFFFFFu);
    ReliefSettings reliefSettings;
    reliefSettings.nodesPerPixel = 4;
    reliefSettings.bevelRadius = 2.0f;
    ReliefSynthesizer synthesizer(reliefSettings);
    const std::uint16_t flat = 0;
    DisplacementField relief(1, 1, std::span<const std::uint16_t>(&flat, 1), true);
    const ReliefInfo info =
        synthesizer.synthesize(SpriteView{sprite.data(), sprite.size(), kSpriteW, kSpriteH, 0}, relief);
    ASSERT_EQ(relief.pixelGrid, 4u);
    const auto modulo = [](std::int32_t o) { return std::uint32_t(((o % 4) + 4) % 4); };

    Scene scene;
    scene.addField(std::move(relief));
    scene.addPrism(makePrism({-3, 0, 3}, {1, 0, 0}, {0, 0, -1}, 6, 6, 1.0f, 0));
    scene.refreshPrisms();
    GpuRenderer renderer;
    std::string error;
    GpuRenderOptions snapping;
    snapping.snapToPixelGrid = true;
    ASSERT_TRUE(renderer.init(context, scene, &error, snapping)) << error;
    const PrismFieldRecord& record = renderer.prismFieldRecords()[0];
    EXPECT_EQ(record.words[1] >> 8, modulo(info.gridOffsetX));
    EXPECT_EQ(record.words[2] >> 8, modulo(info.gridOffsetY));
    EXPECT_EQ(record.words[3] >> 16, 4u);

    const Camera camera = Camera::lookAt({0.8f, 3.5f, 4.5f}, {0, 0.4f, 0}, {0, 1, 0}, 50.0f, kSize, kSize);
    RenderSettings settings;
    const GpuFrame gpu = renderer.render(camera, settings, GpuViewData{});
    ASSERT_TRUE(gpu.ok) << gpu.error;
    int hits = 0;
    for (const float depth : gpu.depth)
        hits += depth < 1e29f ? 1 : 0;
    ASSERT_GT(hits, int(kSize * kSize / 4));

    const GBuffer snapped = renderOnCpu(scene, camera, settings);
    saveSideBySide("sprite_relief.png", gpu, snapped);
    const Comparison agree = compare(gpu, snapped);
    EXPECT_GT(agree.psnr, 45.0);
    EXPECT_LE(agree.depthMismatches, hits / 100);
    EXPECT_LE(agree.normalMismatches, hits / 100);

    ThreadPool pool(2);
    TraceSettings unsnappedTrace;
    unsnappedTrace.snapToPixelGrid = false;
    const SceneTracer tracer(scene, unsnappedTrace);
    TileRenderer cpu(&pool, &tracer);
    GBuffer unsnapped;
    cpu.render(camera, settings, unsnapped);
    const Comparison differ = compare(gpu, unsnapped);
    RecordProperty("normal_mismatches_unsnapped", std::to_string(differ.normalMismatches));
    EXPECT_GT(differ.normalMismatches, hits / 20);

    GpuRenderer plainRenderer;
    ASSERT_TRUE(plainRenderer.init(context, scene, &error)) << error;
    EXPECT_EQ(plainRenderer.prismFieldRecords()[0].words[3] & QLMR_FIELD_SNAP_HITS_BIT, 0u);
    EXPECT_NE(record.words[3] & QLMR_FIELD_SNAP_HITS_BIT, 0u);
    const GpuFrame plain = plainRenderer.render(camera, settings, GpuViewData{});
    ASSERT_TRUE(plain.ok) << plain.error;
    const Comparison plainAgree = compare(plain, unsnapped);
    EXPECT_GT(plainAgree.psnr, 45.0);
    EXPECT_LE(plainAgree.depthMismatches, hits / 100);
    EXPECT_LE(plainAgree.normalMismatches, hits / 100);
}

} // namespace
} // namespace qlmr
