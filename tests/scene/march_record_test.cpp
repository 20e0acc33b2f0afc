// The packet march, the shadow march and whole frames hold the exact bits
// that the step-by-step kernels gave before they were sped up (the recorded
// digests below). Rendering work may get faster; it may not change one bit
// of a hit record, a counter, a shadow mask or a G-buffer plane. Everything
// here is generated from an integer hash and basic float arithmetic, so the
// digests depend on nothing but the kernels.

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <iterator>
#include <span>
#include <vector>

#include "scene/packet_march.h"
#include "scene/scene.h"
#include "scene/scene_tracer.h"
#include "scene/thread_pool.h"
#include "scene/tile_renderer.h"

namespace qlmr {
namespace {

std::uint32_t mix(std::uint32_t x)
{
    x ^= x >> 16;
    x *= 0x7FEB352Du;
    x ^= x >> 15;
    x *= 0x846CA68Bu;
    x ^= x >> 16;
    return x;
}

// A deterministic stream of numbers.
struct Stream {
    std::uint32_t state;
    std::uint32_t next() { return mix(state++); }
    float unit() { return float(next() >> 8) * (1.0f / 16777216.0f); }
    float range(float lo, float hi) { return lo + (hi - lo) * unit(); }
};

// FNV-1a over the bytes of every value folded in.
struct Digest {
    std::uint64_t value = 1469598103934665603ull;
    void bytes(const void* data, std::size_t size)
    {
        const auto* p = static_cast<const unsigned char*>(data);
        for (std::size_t i = 0; i < size; ++i) {
            value ^= p[i];
            value *= 1099511628211ull;
        }
    }
    void f(float x) { bytes(&x, sizeof x); }
    void i(std::int32_t x) { bytes(&x, sizeof x); }
};

// Heights: noise, or a smooth integer ridge pattern, on every field shape
// the march handles (square, wide, tall, one level, one row or column).
DisplacementField field(std::uint32_t w, std::uint32_t h, bool wrap, bool noise, std::uint32_t seed)
{
    std::vector<std::uint16_t> heights(std::size_t(w) * h);
    for (std::uint32_t y = 0; y < h; ++y)
        for (std::uint32_t x = 0; x < w; ++x) {
            const std::uint32_t ridge = ((x * 5u + y * 3u + seed) % 16u) * 2600u + ((x ^ y) % 7u) * 900u;
            heights[std::size_t(y) * w + x] = std::uint16_t(noise ? mix(seed * 7919u + y * w + x) : 12000u + ridge);
        }
    return DisplacementField(w, h, std::span<const std::uint16_t>(heights), !wrap);
}

struct Shape {
    std::uint32_t w, h;
    bool wrap, noise;
};

const Shape kShapes[] = {{8, 8, false, true},  {8, 8, true, true},    {16, 4, true, false}, {4, 16, false, true},
                         {1, 1, false, true},  {8, 1, false, true},   {1, 8, true, false},  {32, 32, true, false},
                         {2, 2, true, true},   {16, 16, false, false}, {32, 1, true, true},  {64, 64, false, true}};

// An axis-aligned prism over the shape and a turned one over a small tiling
// field, overlapping it.
Scene sceneFor(const Shape& shape, std::uint32_t seed)
{
    Scene scene;
    scene.addField(field(shape.w, shape.h, shape.wrap, shape.noise, seed));
    scene.addField(field(8, 8, true, false, seed + 1));
    scene.addPrism(makePrism({-2.0f, 0.0f, 2.0f}, {1, 0, 0}, {0, 0, -1}, 4.0f, 4.0f, 1.5f, 0));
    scene.addPrism(makePrism({-1.5f, 0.2f, 1.0f}, {0.9f, 0.1f, 0.3f}, {0.2f, 0.1f, -1.0f}, 3.0f, 3.5f, 1.0f, 1));
    scene.refreshPrisms();
    return scene;
}

struct Ray {
    Vec3 origin, dir;
    float spread = 0.0f;
};

// Rays from outside and inside the boxes, nearly level grazing rays, rays
// along world axes (zero local components) and rays through cell corners.
std::vector<Ray> raysFor(const Scene& scene, Stream& s, int count)
{
    std::vector<Ray> rays;
    const Prism& p0 = scene.prisms[0];
    for (int i = 0; i < count; ++i) {
        const Prism& p = scene.prisms[std::size_t(s.next() % scene.prisms.size())];
        const Vec3 target =
            p.origin + p.axisU * s.unit() + p.axisV * s.unit() + p.axisH * s.range(0.0f, 1.0f);
        Ray r;
        switch (i % 5) {
        case 0:
            r.origin = target + Vec3{s.range(-6, 6), s.range(0.5f, 7), s.range(-6, 6)};
            r.dir = normalizeSafe(target - r.origin);
            break;
        case 1:
            r.origin = target;
            r.dir = normalizeSafe(Vec3{s.range(-1, 1), s.range(-1, 1), s.range(-1, 1)});
            break;
        case 2: {
            const Vec3 d = normalizeSafe(p.axisU * s.range(-1, 1) + p.axisV * s.range(-1, 1) +
                                         p.axisH * s.range(-0.01f, 0.01f));
            r.origin = target - d * s.range(2, 6);
            r.dir = d;
            break;
        }
        case 3: {
            Vec3 d{0, 0, 0};
            d[int(s.next() % 3)] = s.unit() < 0.5f ? -1.0f : 1.0f;
            r.dir = d;
            r.origin = target - d * 5.0f;
            break;
        }
        default: {
            const float cu = float(s.next() % 8) / 8.0f, cv = float(s.next() % 8) / 8.0f;
            const Vec3 corner = p0.origin + p0.axisU * cu + p0.axisV * cv + p0.axisH * s.range(0.0f, 0.5f);
            r.dir = normalizeSafe(p0.axisU * 0.125f + p0.axisV * 0.125f - p0.axisH * s.unit());
            r.origin = corner - r.dir * 2.0f;
            break;
        }
        }
        r.spread = i % 3 == 0 ? 0.0f : s.range(0.0f, 0.05f);
        rays.push_back(r);
    }
    return rays;
}

struct MarchCase {
    bool lod;
    std::uint8_t normalMode, start;
    std::uint32_t startOffset;
    bool seed;
    std::uint32_t maxSteps;
};

const MarchCase kCases[] = {{true, 1, 1, 0, false, 512}, {false, 0, 1, 0, false, 512}, {true, 2, 0, 0, false, 512},
                            {true, 1, 2, 1, true, 512},  {true, 1, 1, 0, false, 7}};

// The digest of every hit record and shadow mask of every case at width N.
template <int N>
std::uint64_t marchDigest(int& hitCount, int& blockedCount)
{
    Digest d;
    hitCount = blockedCount = 0;
    std::uint32_t seed = 1;
    for (const Shape& shape : kShapes) {
        const Scene scene = sceneFor(shape, seed++);
        for (const MarchCase& mc : kCases) {
            TraceSettings settings;
            settings.lod = mc.lod;
            settings.normalMode = mc.normalMode;
            settings.start = mc.start;
            settings.startOffset = mc.startOffset;
            settings.seedOracle = mc.seed;
            settings.shellLog2 = 2;
            settings.maxSteps = mc.maxSteps;
            const SceneTracer tracer(scene, settings);
            Stream s{seed * 1000u + mc.normalMode};
            const std::vector<Ray> rays = raysFor(scene, s, 80);
            for (std::size_t base = 0; base < rays.size(); base += N) {
                RayPacketOf<N> packet;
                unsigned activeBits = 0;
                for (int l = 0; l < N; ++l) {
                    // Everything about a ray follows its index, not its lane.
                    const std::size_t i = base + std::size_t(l);
                    const Ray& r = rays[i];
                    activeBits |= i % 7 == 3 ? 0u : 1u << l;
                    packet.originX.setLane(l, r.origin.x);
                    packet.originY.setLane(l, r.origin.y);
                    packet.originZ.setLane(l, r.origin.z);
                    packet.dirX.setLane(l, r.dir.x);
                    packet.dirY.setLane(l, r.dir.y);
                    packet.dirZ.setLane(l, r.dir.z);
                    packet.tmin.setLane(l, i % 4 == 3 ? 0.5f : 0.0f);
                    packet.tmax.setLane(l, i % 3 == 2 ? 6.0f : 1e30f);
                    packet.coneRadius.setLane(l, i % 2 ? 0.01f : 0.0f);
                    packet.coneSpread.setLane(l, r.spread);
                }
                const simd::vmask<N> active = simd::vmask<N>::fromBits(activeBits);
                HitPacketOf<N> hits;
                tracePacket(tracer, hits, packet, active, tracer.allPrisms);
                snapHits(tracer, hits);
                simd::vmask<N> blocked;
                traceShadows(tracer, blocked, packet, active, tracer.allPrisms);
                hitCount += simd::count(hits.mask);
                blockedCount += simd::count(blocked);
                for (int l = 0; l < N; ++l) {
                    d.i(hits.mask.lane(l) ? 1 : 0);
                    for (const simd::vfloat<N>* v : {&hits.t, &hits.posX, &hits.posY, &hits.posZ, &hits.normalX,
                                                     &hits.normalY, &hits.normalZ, &hits.offsetNormalX,
                                                     &hits.offsetNormalY, &hits.offsetNormalZ, &hits.u, &hits.v,
                                                     &hits.h, &hits.iterations, &hits.descends, &hits.seedSteps})
                        d.f(v->lane(l));
                    d.i(hits.prism.lane(l));
                    d.i(hits.level.lane(l));
                    d.i(blocked.lane(l) ? 1 : 0);
                }
            }
        }
    }
    return d.value;
}

// Recorded from the step-by-step kernels; the same at every width.
constexpr std::uint64_t kMarchDigest = 0xd84c53873b5f16f8ull;

TEST(RecordedWalk, MarchAndShadowMasksKeepTheirBits)
{
    int hits = 0, blocked = 0;
    EXPECT_EQ(marchDigest<1>(hits, blocked), kMarchDigest);
    // Not a digest of nothing: many rays hit, many are blocked, not all.
    const int rays = int(std::size(kShapes) * std::size(kCases)) * 80;
    EXPECT_GT(hits, rays / 5);
    EXPECT_LT(hits, rays);
    EXPECT_GT(blocked, rays / 5);
    EXPECT_EQ(marchDigest<simd::kLanes>(hits, blocked), kMarchDigest);
#if QLMR_PASS_PACKETS > 1
    EXPECT_EQ(marchDigest<kPassLanes>(hits, blocked), kMarchDigest);
#endif
}

// A frame with several prisms (the shadow rays' prism test drops some), a
// clamping terrain with albedo, a tiling bump field, water, fog and
// specular light, from three cameras.
std::uint64_t frameDigest(std::uint64_t& hits, std::uint64_t& shadowRays)
{
    hits = shadowRays = 0;
    Scene scene;
    DisplacementField terrain = field(64, 64, false, false, 3);
    std::vector<std::uint32_t> albedo(32 * 32);
    for (std::size_t i = 0; i < albedo.size(); ++i)
        albedo[i] = 0xFF000000u | (mix(std::uint32_t(i)) & 0x00FFFFFFu);
    terrain.setAlbedo(32, 32, albedo);
    scene.addField(std::move(terrain));
    scene.addField(field(16, 16, true, true, 4));
    DisplacementField water = field(8, 8, true, false, 5);
    std::vector<std::uint32_t> depth(8 * 8, 0x80406080u);
    water.setAlbedo(8, 8, depth);
    scene.addField(std::move(water));
    scene.addPrism(makePrism({-16.0f, 0.0f, 16.0f}, {1, 0, 0}, {0, 0, -1}, 32.0f, 32.0f, 5.0f, 0));
    Prism sheet = makePrism({-16.0f, 1.8f, 16.0f}, {1, 0, 0}, {0, 0, -1}, 32.0f, 12.0f, 0.2f, 2);
    sheet.waterDepthScale = 2.0f;
    scene.addPrism(sheet);
    for (int i = 0; i < 3; ++i)
        for (int j = 0; j < 3; ++j)
            scene.addPrism(makePrism({-4.0f + 2.5f * float(i), 3.5f, -3.0f - 2.5f * float(j)}, {1, 0, 0},
                                     {0, 0, -1}, 2.0f, 2.0f, 0.8f, 1));
    scene.refreshPrisms();

    const SceneTracer tracer(scene, TraceSettings{});
    ThreadPool pool(3);
    TileRenderer renderer(&pool, &tracer);
    RenderSettings lighting;
    lighting.specular = 0.4f;
    lighting.fogFalloff = 0.03f;
    const Camera cameras[] = {
        Camera::lookAt({-10.0f, 12.0f, 18.0f}, {0.0f, 2.0f, -2.0f}, {0, 1, 0}, 60.0f, 83, 47),
        Camera::lookAt({2.0f, 6.0f, 4.0f}, {-1.0f, 3.0f, -6.0f}, {0, 1, 0}, 50.0f, 64, 40),
        Camera::lookAt({0.0f, 40.0f, 1.0f}, {0.0f, 0.0f, 0.0f}, {0, 1, 0}, 70.0f, 48, 48)};
    Digest d;
    for (const Camera& camera : cameras) {
        GBuffer frame;
        const FrameStats stats = renderer.render(camera, lighting, frame);
        hits += stats.hits;
        shadowRays += stats.shadow;
        for (unsigned p = 0; p < GBuffer::kPlaneCount; ++p)
            for (unsigned y = 0; y < frame.height; ++y)
                for (unsigned x = 0; x < frame.width; ++x)
                    d.f(frame.at(p, x, y));
        for (const std::uint64_t n : {stats.primary, stats.shadow, stats.hits})
            d.bytes(&n, sizeof n);
        for (const double v : {stats.iters, stats.descends, stats.seed, stats.avgBin})
            d.bytes(&v, sizeof v);
    }
    return d.value;
}

constexpr std::uint64_t kFrameDigest = 0x2cc8400dd27efb2bull;

TEST(RecordedWalk, FramesKeepTheirBits)
{
    std::uint64_t hits = 0, shadowRays = 0;
    EXPECT_EQ(frameDigest(hits, shadowRays), kFrameDigest);
    EXPECT_GT(hits, 2000u);
    EXPECT_GT(shadowRays, 1000u);
}

} // namespace
} // namespace qlmr
