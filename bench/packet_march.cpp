// Packet march throughput on one core: a 1024 x 1024 random field under a
// 256 x 256 camera, primary rays (nearest hit) and sun shadow rays (any hit),
// at the build's lane width and on the one-lane scalar path.

#include <benchmark/benchmark.h>

#include <cmath>
#include <cstdint>
#include <memory>
#include <random>
#include <vector>

#include "scene/packet_march.h"
#include "scene/scene.h"
#include "scene/scene_tracer.h"

namespace {

using namespace qlmr;

constexpr uint32_t kFieldSize = 1024;
constexpr int kImage = 256;

// Uniform noise (every node a candidate) or value noise summed over octaves
// (a terrain-like surface).
DisplacementField randomField(bool smooth)
{
    std::mt19937 rng(2024);
    std::uniform_real_distribution<float> unit(0.0f, 1.0f);
    std::vector<float> heights(std::size_t(kFieldSize) * kFieldSize, 0.0f);
    if (!smooth) {
        for (float& h : heights) h = unit(rng);
    } else {
        float amplitude = 0.5f;
        for (uint32_t cell = 256; cell >= 2; cell /= 2, amplitude *= 0.55f) {
            const uint32_t n = kFieldSize / cell;
            std::vector<float> lattice(std::size_t(n) * n);
            for (float& v : lattice) v = unit(rng);
            for (uint32_t y = 0; y < kFieldSize; ++y) {
                for (uint32_t x = 0; x < kFieldSize; ++x) {
                    const float fx = float(x) / float(cell), fy = float(y) / float(cell);
                    const uint32_t x0 = uint32_t(fx) % n, y0 = uint32_t(fy) % n;
                    const uint32_t x1 = (x0 + 1) % n, y1 = (y0 + 1) % n;
                    const float sx = fx - std::floor(fx), sy = fy - std::floor(fy);
                    const float a = lattice[y0 * n + x0] + (lattice[y0 * n + x1] - lattice[y0 * n + x0]) * sx;
                    const float b = lattice[y1 * n + x0] + (lattice[y1 * n + x1] - lattice[y1 * n + x0]) * sx;
                    heights[std::size_t(y) * kFieldSize + x] += amplitude * (a + (b - a) * sy);
                }
            }
        }
    }
    return DisplacementField(kFieldSize, kFieldSize, std::span<const float>(heights), false);
}

struct BenchScene {
    Scene scene;
    std::unique_ptr<SceneTracer> tracer;
    std::vector<Vec3> origins, dirs;
    float spread = 0.0f;
};

BenchScene& benchScene(bool smooth)
{
    static std::unique_ptr<BenchScene> cache[2];
    std::unique_ptr<BenchScene>& slot = cache[smooth ? 1 : 0];
    if (slot) return *slot;
    slot = std::make_unique<BenchScene>();
    BenchScene& s = *slot;
    s.scene.addField(randomField(smooth));
    s.scene.addPrism(makePrism({-128.0f, 0.0f, 128.0f}, {1, 0, 0}, {0, 0, -1}, 256.0f, 256.0f, 24.0f, 0));
    s.scene.refreshPrisms();
    s.tracer = std::make_unique<SceneTracer>(s.scene, TraceSettings{});
    // A camera above the near edge looking across the field.
    const Vec3 eye{0.0f, 40.0f, 150.0f};
    const Vec3 forward = normalizeSafe(Vec3{0.0f, -22.0f, -150.0f});
    const Vec3 right = normalizeSafe(cross(forward, Vec3{0, 1, 0}));
    const Vec3 up = cross(right, forward);
    const float tanHalf = std::tan(0.5f * 60.0f * 3.1415927f / 180.0f);
    s.spread = 2.0f * tanHalf / float(kImage);
    for (int py = 0; py < kImage; ++py) {
        for (int px = 0; px < kImage; ++px) {
            const float sx = ((float(px) + 0.5f) * 2.0f / float(kImage) - 1.0f) * tanHalf;
            const float sy = (1.0f - (float(py) + 0.5f) * 2.0f / float(kImage)) * tanHalf;
            s.origins.push_back(eye);
            s.dirs.push_back(normalizeSafe(forward + right * sx + up * sy));
        }
    }
    return s;
}

template <int N>
RayPacketOf<N> packet(const BenchScene& s, std::size_t base)
{
    RayPacketOf<N> p;
    for (int l = 0; l < N; ++l) {
        const Vec3 o = s.origins[base + l], d = s.dirs[base + l];
        p.originX.setLane(l, o.x);
        p.originY.setLane(l, o.y);
        p.originZ.setLane(l, o.z);
        p.dirX.setLane(l, d.x);
        p.dirY.setLane(l, d.y);
        p.dirZ.setLane(l, d.z);
    }
    p.tmin = simd::vfloat<N>(0.0f);
    p.tmax = simd::vfloat<N>(1e30f);
    p.coneRadius = simd::vfloat<N>(0.0f);
    p.coneSpread = simd::vfloat<N>(s.spread);
    return p;
}

template <int N>
void primaryRays(benchmark::State& state)
{
    const BenchScene& s = benchScene(state.range(0) != 0);
    std::vector<RayPacketOf<N>> packets;
    for (std::size_t base = 0; base + N <= s.origins.size(); base += N) packets.push_back(packet<N>(s, base));
    double iterations = 0, hits = 0;
    for (const RayPacketOf<N>& p : packets) {
        HitPacketOf<N> h;
        tracePacket(*s.tracer, h, p, simd::vmask<N>(true), s.tracer->allPrisms);
        for (int l = 0; l < N; ++l) iterations += h.iterations.lane(l);
        hits += count(h.mask);
    }
    for (auto _ : state) {
        for (const RayPacketOf<N>& p : packets) {
            HitPacketOf<N> h;
            tracePacket(*s.tracer, h, p, simd::vmask<N>(true), s.tracer->allPrisms);
            benchmark::DoNotOptimize(h.t);
        }
    }
    const double rays = double(packets.size()) * N;
    state.SetItemsProcessed(int64_t(state.iterations()) * int64_t(rays));
    state.counters["iters/ray"] = iterations / rays;
    state.counters["hit%"] = 100.0 * hits / rays;
}

// Shadow rays from the primary hits towards the default sun direction.
template <int N>
void shadowRays(benchmark::State& state)
{
    const BenchScene& s = benchScene(state.range(0) != 0);
    const Vec3 sun = normalizeSafe(Vec3{-0.72f, 0.36f, 0.42f});
    std::vector<RayPacketOf<N>> packets;
    std::vector<simd::vmask<N>> masks;
    for (std::size_t base = 0; base + N <= s.origins.size(); base += N) {
        const RayPacketOf<N> p = packet<N>(s, base);
        HitPacketOf<N> h;
        tracePacket(*s.tracer, h, p, simd::vmask<N>(true), s.tracer->allPrisms);
        RayPacketOf<N> sh;
        const simd::vfloat<N> f = p.coneSpread * h.t;
        const simd::vfloat<N> lift = max(f * simd::vfloat<N>(2.0f), simd::vfloat<N>(0.01f));
        sh.originX = h.posX + h.offsetNormalX * lift;
        sh.originY = h.posY + h.offsetNormalY * lift;
        sh.originZ = h.posZ + h.offsetNormalZ * lift;
        sh.dirX = simd::vfloat<N>(sun.x);
        sh.dirY = simd::vfloat<N>(sun.y);
        sh.dirZ = simd::vfloat<N>(sun.z);
        sh.tmin = simd::vfloat<N>(0.0f);
        sh.tmax = simd::vfloat<N>(10000.0f);
        sh.coneRadius = f;
        sh.coneSpread = simd::vfloat<N>(0.0f);
        packets.push_back(sh);
        masks.push_back(h.mask);
    }
    int64_t rays = 0;
    for (const auto& m : masks) rays += count(m);
    for (auto _ : state) {
        for (std::size_t i = 0; i < packets.size(); ++i) {
            simd::vmask<N> blocked;
            traceShadows(*s.tracer, blocked, packets[i], masks[i], s.tracer->allPrisms);
            benchmark::DoNotOptimize(blocked);
        }
    }
    state.SetItemsProcessed(int64_t(state.iterations()) * rays);
}

// Argument: 0 uniform noise, 1 smooth value noise.
BENCHMARK(primaryRays<simd::kLanes>)->Name("PrimaryRays/lanes")->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);
BENCHMARK(primaryRays<1>)->Name("PrimaryRays/scalar")->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);
BENCHMARK(shadowRays<simd::kLanes>)->Name("ShadowRays/lanes")->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);
BENCHMARK(shadowRays<1>)->Name("ShadowRays/scalar")->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);

} // namespace
