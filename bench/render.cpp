// One 1280 x 720 frame of a generated 2048 x 2048 terrain on every core:
// the full frame, the frame without shadows, and the primary march alone,
// so the three differences show where the time goes (march, shading,
// shadow rays). Counters: primary and shadow Mrays/s and ms per frame.

#include <benchmark/benchmark.h>

#include <cmath>
#include <cstdint>
#include <memory>
#include <vector>

#include "scene/packet_march.h"
#include "scene/tile_renderer.h"

namespace {

using namespace qlmr;

// Hashed value noise, a few octaves: hills with detail down to the texel.
float valueNoise(std::uint32_t x, std::uint32_t y, std::uint32_t seed)
{
    std::uint32_t h = x * 0x8DA6B343u ^ y * 0xD8163841u ^ seed * 0xCB1AB31Fu;
    h ^= h >> 13;
    h *= 0x5BD1E995u;
    h ^= h >> 15;
    return float(h & 0xFFFFu) / 65535.0f;
}

float smoothNoise(float u, float v, std::uint32_t period, std::uint32_t seed)
{
    const float x = u * float(period), y = v * float(period);
    const std::uint32_t ix = std::uint32_t(x), iy = std::uint32_t(y);
    float fx = x - float(ix), fy = y - float(iy);
    fx = fx * fx * (3.0f - 2.0f * fx);
    fy = fy * fy * (3.0f - 2.0f * fy);
    auto at = [&](std::uint32_t a, std::uint32_t b) { return valueNoise(a % period, b % period, seed); };
    const float top = at(ix, iy) + (at(ix + 1, iy) - at(ix, iy)) * fx;
    const float bottom = at(ix, iy + 1) + (at(ix + 1, iy + 1) - at(ix, iy + 1)) * fx;
    return top + (bottom - top) * fy;
}

struct World {
    Scene scene;
    std::unique_ptr<SceneTracer> tracer;
    std::unique_ptr<ThreadPool> pool;
    Camera camera;

    World()
    {
        const std::uint32_t n = 2048;
        std::vector<float> heights(std::size_t(n) * n);
        for (std::uint32_t y = 0; y < n; ++y)
            for (std::uint32_t x = 0; x < n; ++x) {
                const float u = float(x) / n, v = float(y) / n;
                float h = 0.0f, amplitude = 0.5f;
                std::uint32_t period = 8;
                for (int octave = 0; octave < 7; ++octave) {
                    h += amplitude * smoothNoise(u, v, period, octave);
                    amplitude *= 0.5f;
                    period *= 2;
                }
                heights[std::size_t(y) * n + x] = h;
            }
        DisplacementField field(n, n, std::span<const float>(heights), true);
        const std::uint32_t a = 1024;
        std::vector<std::uint32_t> albedo(std::size_t(a) * a);
        for (std::uint32_t y = 0; y < a; ++y)
            for (std::uint32_t x = 0; x < a; ++x) {
                const float h = heights[std::size_t(y * 2) * n + x * 2];
                const std::uint32_t g = 90 + std::uint32_t(h * 100.0f), r = 60 + std::uint32_t(h * 140.0f);
                albedo[std::size_t(y) * a + x] = 0xFF000000u | (50u << 16) | (g << 8) | r;
            }
        field.setAlbedo(a, a, albedo);
        const float groundMid = field.sampleHeight(0, 0.5f, 0.6f) * 42.0f;
        scene.addField(std::move(field));
        scene.addPrism(makePrism({-128.0f, 0.0f, 128.0f}, {1, 0, 0}, {0, 0, -1}, 256.0f, 256.0f, 42.0f, 0));
        scene.refreshPrisms();
        tracer = std::make_unique<SceneTracer>(scene, TraceSettings{});
        pool = std::make_unique<ThreadPool>();
        camera = Camera::lookAt({0.0f, groundMid + 14.0f, 30.0f}, {10.0f, groundMid - 6.0f, -60.0f}, {0, 1, 0}, 62.0f, 1280,
                                720);
    }
};

World& world()
{
    static World w;
    return w;
}

void reportFrame(benchmark::State& state, const FrameStats& total, std::int64_t frames)
{
    const double seconds = total.ms / 1000.0;
    state.counters["ms/frame"] = total.ms / double(frames);
    state.counters["primary_Mrays/s"] = double(total.primary) / seconds / 1e6;
    state.counters["shadow_Mrays/s"] = double(total.shadow) / seconds / 1e6;
    state.counters["hit_fraction"] = double(total.hits) / double(total.primary);
    state.counters["iters/ray"] = total.iters / double(total.primary);
    state.counters["threads"] = double(world().pool->workerCount() + 1);
}

void renderFrames(benchmark::State& state, const RenderSettings& settings)
{
    World& w = world();
    TileRenderer renderer(w.pool.get(), w.tracer.get());
    GBuffer frame;
    renderer.render(w.camera, settings, frame);  // size the G-buffer
    FrameStats total;
    std::int64_t frames = 0;
    for (auto _ : state) {
        const FrameStats s = renderer.render(w.camera, settings, frame);
        total.ms += s.ms;
        total.primary += s.primary;
        total.shadow += s.shadow;
        total.hits += s.hits;
        total.iters += s.iters;
        ++frames;
        benchmark::DoNotOptimize(frame.plane(GBuffer::ColorR));
    }
    reportFrame(state, total, frames);
}

void BM_RenderFrame(benchmark::State& state)
{
    renderFrames(state, RenderSettings{});
}

void BM_RenderFrameNoShadows(benchmark::State& state)
{
    RenderSettings settings;
    settings.shadows = false;
    renderFrames(state, settings);
}

// Primary rays and the march alone, tile by tile as the renderer does it.
void BM_PrimaryMarchOnly(benchmark::State& state)
{
    World& w = world();
    constexpr int N = simd::kLanes;
    using VF = simd::vfloat<N>;
    using VI = simd::vint<N>;
    TileRenderer renderer(w.pool.get(), w.tracer.get());
    const std::uint32_t tilesX = (w.camera.width + kTileSize - 1) / kTileSize;
    const std::uint32_t tilesY = (w.camera.height + kTileSize - 1) / kTileSize;
    renderer.prepareBins(w.camera, tilesX, tilesY);
    const VI lane = VI::laneIndex();
    const VF laneX = simd::toFloat(lane & VI(int(kPacketWidth) - 1));
    const VF laneY = simd::toFloat(lane >> (kPacketWidth == 4 ? 2 : 1));
    for (auto _ : state) {
        w.pool->run(tilesX * tilesY, [&](unsigned tile, unsigned) {
            const std::uint32_t x0 = (tile % tilesX) * kTileSize, y0 = (tile / tilesX) * kTileSize;
            HitPacketOf<N> hits;
            for (std::uint32_t y = y0; y < y0 + kTileSize && y < w.camera.height; y += kPacketHeight)
                for (std::uint32_t x = x0; x < x0 + kTileSize && x < w.camera.width; x += kPacketWidth) {
                    const VF px = VF(float(x)) + laneX, py = VF(float(y)) + laneY;
                    const RayPacketOf<N> rays = primaryRays<N>(w.camera, px, py);
                    tracePacket(*w.tracer, hits, rays, simd::vmask<N>(true), renderer.bins()[tile]);
                    benchmark::DoNotOptimize(hits.t);
                }
        });
    }
    state.counters["primary_Mrays/s"] = benchmark::Counter(double(w.camera.width) * w.camera.height * 1e-6,
                                                           benchmark::Counter::kIsIterationInvariantRate);
}

} // namespace

BENCHMARK(BM_RenderFrame)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(2.0);
BENCHMARK(BM_RenderFrameNoShadows)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(2.0);
BENCHMARK(BM_PrimaryMarchOnly)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(2.0);
