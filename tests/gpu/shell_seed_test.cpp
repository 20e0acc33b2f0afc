// The shell raster seed pass only moves where the tracer's walks begin: with
// and without it every pixel hits the same prism at the same depth.

#include "content/demo_scene.h"
#include "content/quad_cage.h"
#include "content/radial_source.h"
#include "content/shell_bake.h"
#include "gpu/gpu_renderer.h"
#include "gpu/vulkan_test_support.h"
#include "scene/camera.h"
#include "scene/gbuffer.h"
#include "scene/scene_tracer.h"
#include "scene/thread_pool.h"
#include "scene/tile_renderer.h"
#include "support/test_support.h"

#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

namespace qlmr {
namespace {

// Per pixel: the depth (+infinity on a miss) and the hit prism (-1 on a miss).
struct Hits {
    std::vector<float> depth;
    std::vector<int> prism;
};

// Debug view 12 carries the hit prism's index in its first channel; the
// depth image holds the hit distance whatever the view.
Hits traceHits(GpuRenderer& renderer, const Camera& camera)
{
    RenderSettings settings;
    settings.debugView = 12;
    const GpuFrame frame = renderer.render(camera, settings, GpuViewData{});
    EXPECT_TRUE(frame.ok) << frame.error;
    Hits hits;
    if (!frame.ok)
        return hits;
    hits.depth = frame.depth;
    hits.prism.resize(frame.depth.size());
    for (std::size_t i = 0; i < hits.prism.size(); ++i)
        hits.prism[i] = frame.depth[i] < 1e29f ? int(std::lround(frame.color[i * 4])) : -1;
    return hits;
}

// Renders with both renderers and reports every pixel whose hit prism
// differs or whose depth differs by more than a relative 1e-5 (a hundredth
// of the scene comparison's depth limit); returns the number of hits.
int expectSameHits(GpuRenderer& plain, GpuRenderer& seeded, const Camera& camera)
{
    const Hits without = traceHits(plain, camera);
    const Hits with = traceHits(seeded, camera);
    const std::size_t pixels = std::size_t(camera.width) * camera.height;
    EXPECT_EQ(without.depth.size(), pixels);
    EXPECT_EQ(with.depth.size(), pixels);
    if (without.depth.size() != pixels || with.depth.size() != pixels)
        return 0;
    int hits = 0, prismChanged = 0, depthChanged = 0;
    for (std::size_t i = 0; i < pixels; ++i) {
        hits += without.prism[i] >= 0 ? 1 : 0;
        const std::string where = "pixel (" + std::to_string(i % camera.width) + "," +
            std::to_string(i / camera.width) + "): ";
        if (with.prism[i] != without.prism[i]) {
            if (++prismChanged <= 3)
                ADD_FAILURE() << where << "prism " << without.prism[i] << " at " << without.depth[i]
                              << " without the seed, prism " << with.prism[i] << " at " << with.depth[i] << " with it";
        } else if (without.prism[i] >= 0 && std::fabs(with.depth[i] - without.depth[i]) > 1e-5f * without.depth[i]) {
            if (++depthChanged <= 3)
                ADD_FAILURE() << where << "prism " << without.prism[i] << " at " << without.depth[i]
                              << " without the seed, at " << with.depth[i] << " with it";
        }
    }
    EXPECT_EQ(prismChanged, 0) << "pixels whose hit prism the seed changed";
    EXPECT_EQ(depthChanged, 0) << "pixels whose depth the seed changed";
    return hits;
}

class ShellSeedOnDevice : public test::OnDeviceTest {
protected:
    // The scene on two renderers, one without and one with the seed pass.
    void initWithAndWithoutSeed(const Scene& scene)
    {
        std::string error;
        ASSERT_TRUE(plain.init(context, scene, &error)) << error;
        GpuRenderOptions options;
        options.seedPass = true;
        ASSERT_TRUE(seeded.init(context, scene, &error, options)) << error;
    }

    GpuRenderer plain;
    GpuRenderer seeded;
};

// A 64 x 64 field of gentle waves: base + amplitude sin(fx x) cos(fy y).
DisplacementField wavyField(float base, float amplitude, float fx, float fy)
{
    std::vector<float> heights(64 * 64);
    for (std::uint32_t y = 0; y < 64; ++y)
        for (std::uint32_t x = 0; x < 64; ++x)
            heights[y * 64 + x] = base + amplitude * std::sin(float(x) * fx) * std::cos(float(y) * fy);
    return DisplacementField(64, 64, std::span<const float>(heights), true);
}

// Every view of the demo scene at small sizes. The shell prisms are small
// there, so their walks end on coarse levels of detail whose surface rises
// above the hull of the finer shell level: a seed taken from that hull
// started the walk past the hit (and sometimes past the prism).
TEST_F(ShellSeedOnDevice, SeedPassKeepsEveryHitOfTheDemoScene)
{
    Scene scene;
    ThreadPool pool(2);
    const DemoLayout layout = buildDemoScene(scene, 256, true, pool);
    const std::vector<ViewPreset> views = makeViewPresets(scene.fields, layout);

    ASSERT_NO_FATAL_FAILURE(initWithAndWithoutSeed(scene));
    ASSERT_TRUE(seeded.shellRasterBuilt());

    for (const ViewPreset& view : views) {
        for (const auto& [width, height] : {std::pair{320u, 180u}, std::pair{192u, 108u}}) {
            SCOPED_TRACE(std::string(view.name) + " " + std::to_string(width) + "x" + std::to_string(height));
            const Camera camera = Camera::lookAt(view.eye, view.target, {0, 1, 0}, view.fovDegrees, width, height);
            EXPECT_GT(expectSameHits(plain, seeded, camera), int(width * height / 4));
        }
    }
}

// The baked radial shells: hundreds of prisms whose surfaces meet at the
// seams of the cage, where two prisms are hit at the same distance. The
// seeded walk rounds its hit a hair apart from the walk from the entry, so
// a tie must still go the way it goes without the seed.
TEST_F(ShellSeedOnDevice, SeedPassKeepsEveryHitOfTheBakedShells)
{
    Scene scene;
    ThreadPool pool;
    ShellBakeOptions bake;
    bake.resolution = 64;
    bake.innerExtent = 0.02f;
    const RadialSourceParams params;
    bakeRadialShells(scene, radialSourceCage(8, params, 2, 0.03f), params, bake, pool);
    scene.refreshPrisms();

    ASSERT_NO_FATAL_FAILURE(initWithAndWithoutSeed(scene));
    const std::pair<Vec3, Vec3> views[] = {{{2.1f, 1.2f, 2.6f}, {0.0f, 0.0f, 0.0f}},
                                           {{0.35f, 0.25f, 1.45f}, {-0.35f, 0.15f, 0.6f}}};
    for (const auto& [eye, target] : views) {
        const Camera camera = Camera::lookAt(eye, target, {0, 1, 0}, 40.0f, 320, 180);
        EXPECT_GT(expectSameHits(plain, seeded, camera), 320 * 180 / 20);
    }
}

// A prism whose box reaches past its field's unit square (the clamped edge
// heights carry on outside it) has parts that no shell hull wraps: a ray
// that hits the surface there would take its seed from the hull behind.
TEST_F(ShellSeedOnDevice, BoxesReachingPastTheHullAreNotSeeded)
{
    Scene scene;
    scene.addField(wavyField(0.6f, 0.3f, 0.3f, 0.2f));
    Prism wide = makePrism({-4, 0, 4}, {1, 0, 0}, {0, 0, -1}, 8, 8, 1, 0);
    wide.uMin = -0.5f;
    wide.uMax = 1.5f;
    scene.addPrism(wide);
    Prism inside = makePrism({13, 0, 4}, {1, 0, 0}, {0, 0, -1}, 8, 8, 1, 0);
    scene.addPrism(inside);
    scene.refreshPrisms();

    ASSERT_NO_FATAL_FAILURE(initWithAndWithoutSeed(scene));

    const Camera camera = Camera::lookAt({-9.0f, 4.0f, 6.0f}, {2.0f, 0.5f, 0.0f}, {0, 1, 0}, 60.0f, 96, 64);
    const std::vector<std::int32_t> levels = seeded.prismSeedLevels(camera);
    ASSERT_EQ(levels.size(), 2u);
    EXPECT_EQ(levels[0], -1) << "the box reaches past the hull";
    EXPECT_EQ(levels[1], std::int32_t(seeded.shellRecords()[1].level));
    EXPECT_GT(expectSameHits(plain, seeded, camera), 96 * 64 / 4);
}

// A camera a hair above a field, looking along it: the ground is hit
// nearer than the seed pass's near plane, so the hull in front of it is
// clipped and the pixel's seed is a hull surface far behind the hit. The
// walk begun there is already under the surface; it must not be taken for
// a ray that started inside the prism under it (the reversed view
// direction as normal, the seed as depth): the hit stays the one the walk
// from the prism's entry finds, on the CPU reference with its seed pass as
// on the GPU without one.
TEST_F(ShellSeedOnDevice, SeedBehindANearHitKeepsTheHitOfTheWalkFromTheEntry)
{
    Scene scene;
    scene.addField(wavyField(0.5f, 0.01f, 0.4f, 0.3f));
    scene.addPrism(makePrism({-4, 0, 4}, {1, 0, 0}, {0, 0, -1}, 8, 8, 1, 0));
    scene.refreshPrisms();
    ASSERT_NO_FATAL_FAILURE(initWithAndWithoutSeed(scene));
    TraceSettings oracle;
    oracle.seedOracle = true;
    const SceneTracer tracer(scene, oracle);
    ThreadPool pool(2);
    TileRenderer cpu(&pool, &tracer);

    // The camera over a texel corner, just above the hull there.
    const float top = 0.51f;
    for (const float above : {2e-4f, 1e-3f}) {
        SCOPED_TRACE(above);
        const Camera camera =
            Camera::lookAt({0.0f, top + above, 0.0f}, {3.0f, top - 0.2f, -3.0f}, {0, 1, 0}, 50.0f, 64, 48);
        ASSERT_GE(seeded.prismSeedLevels(camera)[0], 0) << "the camera is above the hull";
        const RenderSettings settings;
        const GpuFrame without = plain.render(camera, settings, GpuViewData{});
        const GpuFrame with = seeded.render(camera, settings, GpuViewData{});
        ASSERT_TRUE(without.ok && with.ok) << without.error << with.error;
        GBuffer reference;
        cpu.render(camera, settings, reference);

        int nearHits = 0, normalChanged = 0, depthChanged = 0;
        for (std::uint32_t y = 0; y < camera.height; ++y) {
            for (std::uint32_t x = 0; x < camera.width; ++x) {
                const std::size_t i = std::size_t(y) * camera.width + x;
                const float depth = reference.at(GBuffer::Depth, x, y);
                if (depth >= 1e29f)
                    continue;
                nearHits += depth < 0.05f ? 1 : 0;
                const float normal[3] = {reference.at(GBuffer::NormalX, x, y), reference.at(GBuffer::NormalY, x, y),
                                         reference.at(GBuffer::NormalZ, x, y)};
                for (const GpuFrame* frame : {&without, &with}) {
                    const char* which = frame == &with ? "with the seed" : "without it";
                    const float* n = &frame->normal[i * 4];
                    if (n[0] * normal[0] + n[1] * normal[1] + n[2] * normal[2] < 0.99f && ++normalChanged <= 3)
                        ADD_FAILURE() << "pixel (" << x << "," << y << ") " << which << ": normal (" << n[0] << ", "
                                      << n[1] << ", " << n[2] << "), on the CPU (" << normal[0] << ", " << normal[1]
                                      << ", " << normal[2] << ")";
                    if (std::fabs(frame->depth[i] - depth) > 1e-3f * depth && ++depthChanged <= 3)
                        ADD_FAILURE() << "pixel (" << x << "," << y << ") " << which << ": depth " << frame->depth[i]
                                      << ", on the CPU " << depth;
                }
            }
        }
        EXPECT_GT(nearHits, 64 * 48 / 10) << "hits nearer than the seed pass's near plane";
        EXPECT_EQ(normalChanged, 0);
        EXPECT_EQ(depthChanged, 0);
    }
}

// The seed pass is recorded on the context's one queue: on a device whose
// compute family has no graphics the renderer with the seed pass is not set
// up, and says why, before it makes anything.
class ShellSeedFakeTest : public test::FakeVulkanTest {};

TEST_F(ShellSeedFakeTest, ComputeOnlyQueueRefusesTheSeedPass)
{
    config().families[0].flags = VK_QUEUE_COMPUTE_BIT | VK_QUEUE_TRANSFER_BIT;
    openDevice();
    const std::int64_t before = log().liveObjects;
    Scene scene;
    scene.addField(DisplacementField(8, 8, std::span<const float>(std::vector<float>(64, 0.5f)), true));
    scene.addPrism(makePrism({0, 0, 0}, {1, 0, 0}, {0, 0, -1}, 1, 1, 1, 0));
    scene.refreshPrisms();
    {
        GpuRenderer renderer;
        GpuRenderOptions options;
        options.seedPass = true;
        std::string error;
        EXPECT_FALSE(renderer.init(context, scene, &error, options));
        EXPECT_EQ(error, "shell raster setup: no queue family with graphics and compute");
    }
    EXPECT_EQ(log().liveObjects, before);
    EXPECT_EQ(log().submits, 0u);
}

} // namespace
} // namespace qlmr
