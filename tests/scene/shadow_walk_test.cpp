// The packet shadow walk may take shortcuts (the opening descent of a ray
// that starts on the surface is not walked one level at a time), but its
// masks must be exactly those of the plain walk. The reference here walks
// one ray one step at a time in the packet walk's own arithmetic, the same
// operations in the same order, with no shortcut at all.

#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <span>
#include <vector>

#include "scene/packet_march.h"
#include "scene/packets.h"
#include "scene/scene.h"
#include "scene/scene_tracer.h"
#include "scene/shadow_fixtures.h"

namespace qlmr {
namespace {

using namespace shadow_test;

constexpr float kHeightScale = 1.5259022e-5f; // 1 / 65535
constexpr float kInf = std::numeric_limits<float>::infinity();

// The vector units' min and max: the second operand when either is NaN.
float vmin(float a, float b) { return a < b ? a : b; }
float vmax(float a, float b) { return a > b ? a : b; }
float vclamp(float x, float lo, float hi) { return vmin(vmax(x, lo), hi); }

// The truncating conversion: out of range and NaN give INT32_MIN.
std::int32_t truncate(float x)
{
    if (!(x >= -2147483648.0f && x < 2147483648.0f)) return std::numeric_limits<std::int32_t>::min();
    return std::int32_t(x);
}

int floorLog2(float x)
{
    return int((std::bit_cast<std::uint32_t>(x) >> 23) & 0xFFu) - 127;
}

float inverseDirection(float d)
{
    const float m = vmax(std::fabs(d), 0x1p-80f);
    return 1.0f / (d >= 0.0f ? m : -m);
}

struct Level {
    float w, h, invW, invH;
    int wi, hi;
};

Level levelOf(const FieldView& view, int level)
{
    const int ew = std::max(int(view.log2Width) - level, 0), eh = std::max(int(view.log2Height) - level, 0);
    return {std::ldexp(1.0f, ew), std::ldexp(1.0f, eh), std::ldexp(1.0f, -ew), std::ldexp(1.0f, -eh), 1 << ew,
            1 << eh};
}

int cellAt(float o, float d, float t, float size, float lo, float hi)
{
    return truncate(vclamp((o + t * d) * size, lo, hi));
}

// One prism's walk of one shadow ray: true when it is blocked.
bool walkPrism(const SceneTracer& tracer, const Prism& p, const ShadowRay& ray, float lodScale)
{
    const TraceSettings& set = tracer.settings;
    const FieldView& view = tracer.views[p.fieldIndex];
    const float dx = ray.origin.x - p.origin.x, dy = ray.origin.y - p.origin.y, dz = ray.origin.z - p.origin.z;
    const Vec3 &m0 = p.toLocal[0], &m1 = p.toLocal[1], &m2 = p.toLocal[2];
    const float ou = dx * m0.x + dy * m1.x + dz * m2.x;
    const float ov = dx * m0.y + dy * m1.y + dz * m2.y;
    const float oh = dx * m0.z + dy * m1.z + dz * m2.z;
    const float du = ray.dir.x * m0.x + ray.dir.y * m1.x + ray.dir.z * m2.x;
    const float dv = ray.dir.x * m0.y + ray.dir.y * m1.y + ray.dir.z * m2.y;
    const float dh = ray.dir.x * m0.z + ray.dir.y * m1.z + ray.dir.z * m2.z;
    const float iu = inverseDirection(du), iv = inverseDirection(dv), ih = inverseDirection(dh);
    const int stepU = du >= 0.0f ? 1 : -1, stepV = dv >= 0.0f ? 1 : -1;
    const int exitU = du >= 0.0f ? 1 : 0, exitV = dv >= 0.0f ? 1 : 0;
    const float u0 = (p.uMin - ou) * iu, u1 = (p.uMax - ou) * iu;
    const float v0 = (p.vMin - ov) * iv, v1 = (p.vMax - ov) * iv;
    const float h0 = (p.hMin - oh) * ih, h1 = (p.hMax - oh) * ih;
    const float tEnter = vmax(vmax(vmin(u0, u1), vmin(v0, v1)), vmin(h0, h1));
    const float tLeave = vmin(vmin(vmax(u0, u1), vmax(v0, v1)), vmax(h0, h1));

    float c = vmax(tEnter, ray.tmin);
    const float end = vmin(tLeave, ray.tmax);
    const float largest = std::numeric_limits<float>::max();
    for (const float x : {ou, ov, oh, du, dv, dh})
        if (!(std::fabs(x) <= largest)) return false;
    if (!(c <= end)) return false;

    const int top = int(view.levels) - 1;
    const int lodLevel =
        set.lod ? floorLog2(vmax((vmax(c, 0.0f) * ray.spread + ray.radius) * lodScale / p.heightTexelSize, 1e-30f))
                : 0;
    const int lodFloor = std::min(top, std::max(lodLevel, 0));
    const int offset = int(std::min(set.startOffset, kTopStartOffset));
    int startLevel;
    if (set.start == 0) {
        startLevel = top;
    } else if (set.start == 2) {
        startLevel = lodLevel + offset;
    } else {
        const float len = vmax(end - c, 0.0f);
        const float spanU = std::fabs(du) * len * float(1u << view.log2Width);
        const float spanV = std::fabs(dv) * len * float(1u << view.log2Height);
        startLevel = offset + floorLog2(vmax(vmax(spanU, spanV), 1.0f));
    }
    int level = std::min(std::max(lodFloor, startLevel), top);
    Level s = levelOf(view, level);
    int ix = cellAt(ou, du, c, s.w, 0.0f, s.w - 1.0f);
    int iy = cellAt(ov, dv, c, s.h, 0.0f, s.h - 1.0f);

    const Level leafSize = levelOf(view, lodFloor);
    const float leafDs = du * leafSize.w, leafDr = dv * leafSize.h;
    const float leafEps = 2e-5f / vmax(std::fabs(leafDr) + std::fabs(leafDs) + std::fabs(dh), 0x1p-80f);
    const bool hasBounds = view.levels >= 2;

    for (std::uint32_t step = 0; step < set.maxSteps; ++step) {
        s = levelOf(view, level);
        const float tx = (float(ix + exitU) * s.invW - ou) * iu;
        const float ty = (float(iy + exitV) * s.invH - ov) * iv;
        const float tCell = vmin(tx, ty);
        const float tOut = vmax(vmin(tCell, end), c);
        const bool leaf = level <= lodFloor;

        bool candidate = false, aboveRay = false;
        float tTop = kInf;
        if (hasBounds && level >= 1) {
            const std::uint32_t node =
                view.bounds[view.boundsOffsets[std::size_t(level)] + std::uint32_t(iy * s.wi + ix)];
            const float maxH = float(node >> 16) * kHeightScale, minH = float(node & 0xFFFFu) * kHeightScale;
            const float rayAtC = oh + c * dh;
            tTop = dh < 0.0f ? vmax(c, (maxH - oh) * ih) : (rayAtC <= maxH ? c : kInf);
            candidate = tTop <= tOut;
            const float rayAtOut = oh + tOut * dh;
            aboveRay = c < tOut && rayAtC < minH && rayAtOut < minH;
        }

        bool leafHit = false;
        if (leaf) {
            const std::uint32_t offsetH = view.heightOffsets[std::size_t(level)];
            int x1 = ix + 1, y1 = iy + 1;
            if (view.wrap) {
                x1 &= leafSize.wi - 1;
                y1 &= leafSize.hi - 1;
            } else {
                x1 = std::min(x1, leafSize.wi - 1);
                y1 = std::min(y1, leafSize.hi - 1);
            }
            auto height = [&](int x, int y) {
                return float(view.heights[offsetH + std::uint32_t(y * leafSize.wi + x)]) * kHeightScale;
            };
            const float k00 = height(ix, iy), k10 = height(x1, iy), k01 = height(ix, y1), k11 = height(x1, y1);
            const float s0 = (ou + c * du) * leafSize.w - float(ix);
            const float r0 = (ov + c * dv) * leafSize.h - float(iy);
            const float ea = k10 - k00, eb = k01 - k00;
            const float twist = k00 - k10 - k01 + k11;
            const float f0 = (oh + c * dh) - (k00 + ea * s0 + eb * r0 + twist * s0 * r0);
            const float f1 = dh - ea * leafDs - eb * leafDr - twist * (leafDs * r0 + leafDr * s0);
            const float f2 = -twist * leafDs * leafDr;
            const float disc = f1 * f1 - 4.0f * f2 * f0;
            const float root = std::sqrt(vmax(disc, 0.0f));
            const float q = f1 >= 0.0f ? -0.5f * (f1 + root) : -0.5f * (f1 - root);
            const float qa = q / f2, qb = f0 / q;
            const float ra = std::isnan(qa) ? kInf : qa, rb = std::isnan(qb) ? kInf : qb;
            const float small = vmin(ra, rb), large = vmax(ra, rb);
            const float tauMax = tOut - c;
            const bool discOk = disc >= 0.0f;
            const bool smallOk = discOk && small >= -leafEps && small <= tauMax + leafEps;
            const bool largeOk = discOk && large >= -leafEps && large <= tauMax + leafEps;
            const float counted = smallOk ? small : large;
            const float tauHit = f0 <= 0.0f ? 0.0f : (smallOk || largeOk ? vclamp(counted, 0.0f, tauMax) : kInf);
            leafHit = tauHit <= tauMax;
        }
        if (aboveRay || leafHit) return true;

        if (candidate && !leaf) {
            const Level cs = levelOf(view, level - 1);
            const float loU = float(ix + ix), loV = float(iy + iy);
            ix = cellAt(ou, du, tTop, cs.w, loU, vmin(loU + 1.0f, cs.w - 1.0f));
            iy = cellAt(ov, dv, tTop, cs.h, loV, vmin(loV + 1.0f, cs.h - 1.0f));
            c = tTop;
            level -= 1;
            continue;
        }
        const int ax = ix + (tx == tCell ? stepU : 0);
        const int ay = iy + (ty == tCell ? stepV : 0);
        const bool outside = ax < 0 || ax >= s.wi || ay < 0 || ay >= s.hi;
        if (end <= tCell || outside) return false;
        const bool sameParent = (((ix ^ ax) | (iy ^ ay)) >> 1) == 0;
        const bool ascend = level < top && !sameParent;
        ix = ascend ? ax >> 1 : ax;
        iy = ascend ? ay >> 1 : ay;
        c = tOut;
        if (ascend) ++level;
    }
    return false; // the step budget ran out: not blocked
}

bool referenceBlocked(const SceneTracer& tracer, const ShadowRay& ray)
{
    const float lodScale = tracer.settings.lod ? std::exp2(tracer.settings.lodBias) : 1.0f;
    for (const std::uint32_t index : tracer.allPrisms)
        if (walkPrism(tracer, tracer.scene->prisms[index], ray, lodScale)) return true;
    return false;
}

// Shadow rays as the renderer casts them: from on or just above the
// surface towards a sun (high, low, straight up), with footprints from a
// point to many cells; plus rays from anywhere in the boxes, in any
// direction (falling ones included), and with clipped segments.
std::vector<ShadowRay> shadowRays(const Scene& scene, int count, std::mt19937& rng)
{
    const Vec3 suns[] = {normalizeSafe(Vec3{-0.72f, 0.36f, 0.42f}), normalizeSafe(Vec3{0.3f, 0.06f, -0.95f}),
                         Vec3{0.0f, 1.0f, 0.0f}};
    std::uniform_real_distribution<float> unit(0.0f, 1.0f);
    std::vector<ShadowRay> rays;
    for (int i = 0; i < count; ++i) {
        const Prism& p = scene.prisms[std::size_t(i % 2)];
        const DisplacementField& field = scene.fields[p.fieldIndex];
        const float u = unit(rng) * 1.2f - 0.1f, v = unit(rng) * 1.2f - 0.1f;
        const float surface = field.sampleHeight(0, std::clamp(u, 0.0f, 1.0f), std::clamp(v, 0.0f, 1.0f));
        const float lift = i % 4 == 0 ? 0.0f : (i % 4 == 1 ? 0.002f : unit(rng) * 0.05f);
        const float h = i % 9 == 8 ? unit(rng) * 1.2f : surface + lift;
        ShadowRay r;
        r.origin = localToWorld(p, u, v, h);
        r.dir = i % 7 == 6 ? normalizeSafe(Vec3{unit(rng) - 0.5f, unit(rng) - 0.5f, unit(rng) - 0.5f})
                           : suns[std::size_t(i) % std::size(suns)];
        r.radius = i % 3 == 0 ? 0.0f : unit(rng) * unit(rng) * 0.5f;
        r.spread = i % 5 == 0 ? unit(rng) * 0.01f : 0.0f;
        if (i % 11 == 10) r.tmin = unit(rng);
        if (i % 13 == 12) r.tmax = r.tmin + unit(rng) * 3.0f;
        rays.push_back(r);
    }
    return rays;
}

struct WalkCase {
    FieldShape shape;
    std::uint8_t start;
    std::uint32_t startOffset;
    bool lod;
};

const WalkCase kCases[] = {
    {{256, 256, false, Relief::Hills}, 1, 0, true},     {{256, 256, true, Relief::Hills}, 0, 0, true},
    {{512, 512, false, Relief::Terraces}, 1, 0, true},  {{128, 128, true, Relief::Terraces}, 2, 3, true},
    {{64, 64, false, Relief::Noise}, 1, 2, true},       {{128, 32, true, Relief::Hills}, 1, 0, true},
    {{32, 128, false, Relief::Noise}, 0, 0, false},     {{256, 256, false, Relief::Hills}, 2, 300, false},
    {{16, 1, false, Relief::Noise}, 1, 0, true},        {{64, 64, false, Relief::Flat}, 1, 0, true},
};

class ShadowWalk : public ::testing::TestWithParam<WalkCase> {};

// Every width's mask is the step-by-step walk's, ray for ray, with step
// budgets from plenty down to ones that end walks during their opening
// descent or right after it.
TEST_P(ShadowWalk, MasksEqualTheStepByStepWalk)
{
    const WalkCase& wc = GetParam();
    std::mt19937 rng(9001u + wc.shape.w * 7u + wc.shape.h + wc.start);
    const Scene scene = makeScene(wc.shape, rng);
    const std::vector<ShadowRay> rays = shadowRays(scene, 2000, rng);
    int blocked = 0, total = 0;
    for (const std::uint32_t maxSteps : {512u, 12u, 7u, 4u, 2u, 1u}) {
        TraceSettings settings;
        settings.maxSteps = maxSteps;
        settings.start = wc.start;
        settings.startOffset = wc.startOffset;
        settings.lod = wc.lod;
        const SceneTracer tracer(scene, settings);
        std::vector<int> expected(rays.size());
        for (std::size_t i = 0; i < rays.size(); ++i)
            expected[i] = referenceBlocked(tracer, rays[i]) ? 1 : 0;
        const std::vector<int> widths[] = {shadowMask<1>(tracer, rays, {}), shadowMask<simd::kLanes>(tracer, rays, {}),
                                           shadowMask<kPassLanes>(tracer, rays, {})};
        for (const std::vector<int>& got : widths)
            for (std::size_t i = 0; i < rays.size(); ++i)
                ASSERT_EQ(got[i], expected[i]) << "maxSteps " << maxSteps << ", ray " << i;
        if (maxSteps == 512u) {
            for (const int b : expected)
                blocked += b;
            total += int(rays.size());
        }
    }
    // The rays see both outcomes (a flat field cannot block rays above it).
    if (wc.shape.relief != Relief::Flat) {
        EXPECT_GT(blocked, total / 20);
        EXPECT_LT(blocked, total * 19 / 20);
    }
}

INSTANTIATE_TEST_SUITE_P(Fields, ShadowWalk, ::testing::ValuesIn(kCases));

} // namespace
} // namespace qlmr
