#include "scene/packet_march.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "scene/scene.h"
#include "scene/scene_tracer.h"

namespace qlmr {
namespace {

constexpr double kInfD = std::numeric_limits<double>::infinity();
constexpr float kInfF = std::numeric_limits<float>::infinity();

struct Ray {
    Vec3 origin;
    Vec3 dir;
    float tmin = 0.0f;
    float tmax = 1e30f;
    float radius = 0.0f;
    float spread = 0.0f;
};

template <int N>
RayPacketOf<N> packRays(const Ray* rays, int count)
{
    RayPacketOf<N> p;
    for (int l = 0; l < N; ++l) {
        const Ray& r = rays[std::min(l, count - 1)];
        p.originX.setLane(l, r.origin.x);
        p.originY.setLane(l, r.origin.y);
        p.originZ.setLane(l, r.origin.z);
        p.dirX.setLane(l, r.dir.x);
        p.dirY.setLane(l, r.dir.y);
        p.dirZ.setLane(l, r.dir.z);
        p.tmin.setLane(l, r.tmin);
        p.tmax.setLane(l, r.tmax);
        p.coneRadius.setLane(l, r.radius);
        p.coneSpread.setLane(l, r.spread);
    }
    return p;
}

// One lane of a hit packet, for comparisons.
struct LaneHit {
    bool hit = false;
    float t = 0, px = 0, py = 0, pz = 0, nx = 0, ny = 0, nz = 0, gx = 0, gy = 0, gz = 0, u = 0, v = 0, h = 0;
    int prism = -1, level = 0;
    float iterations = 0, descends = 0, seed = 0;
};

template <int N>
LaneHit laneOf(const HitPacketOf<N>& p, int l)
{
    LaneHit h;
    h.hit = p.mask.lane(l);
    h.t = p.t.lane(l);
    h.px = p.posX.lane(l);
    h.py = p.posY.lane(l);
    h.pz = p.posZ.lane(l);
    h.nx = p.normalX.lane(l);
    h.ny = p.normalY.lane(l);
    h.nz = p.normalZ.lane(l);
    h.gx = p.offsetNormalX.lane(l);
    h.gy = p.offsetNormalY.lane(l);
    h.gz = p.offsetNormalZ.lane(l);
    h.u = p.u.lane(l);
    h.v = p.v.lane(l);
    h.h = p.h.lane(l);
    h.prism = p.prism.lane(l);
    h.level = p.level.lane(l);
    h.iterations = p.iterations.lane(l);
    h.descends = p.descends.lane(l);
    h.seed = p.seedSteps.lane(l);
    return h;
}

bool sameBits(const LaneHit& a, const LaneHit& b)
{
    return a.hit == b.hit && a.prism == b.prism && a.level == b.level &&
           std::memcmp(&a.t, &b.t, sizeof(float) * 13) == 0 && a.iterations == b.iterations &&
           a.descends == b.descends && a.seed == b.seed;
}

// March every ray at width N, in packets with the given lanes active.
template <int N>
std::vector<LaneHit> marchAll(const SceneTracer& tracer, const std::vector<Ray>& rays, std::span<const uint32_t> list)
{
    std::vector<LaneHit> out(rays.size());
    for (std::size_t base = 0; base < rays.size(); base += N) {
        const int count = int(std::min<std::size_t>(N, rays.size() - base));
        const RayPacketOf<N> packet = packRays<N>(&rays[base], count);
        HitPacketOf<N> hits;
        tracePacket(tracer, hits, packet, simd::vmask<N>::fromBits((1u << count) - 1u), list);
        for (int l = 0; l < count; ++l) out[base + l] = laneOf(hits, l);
    }
    return out;
}

template <int N>
std::vector<int> shadowAll(const SceneTracer& tracer, const std::vector<Ray>& rays, std::span<const uint32_t> list)
{
    std::vector<int> out(rays.size());
    for (std::size_t base = 0; base < rays.size(); base += N) {
        const int count = int(std::min<std::size_t>(N, rays.size() - base));
        const RayPacketOf<N> packet = packRays<N>(&rays[base], count);
        simd::vmask<N> blocked;
        traceShadows(tracer, blocked, packet, simd::vmask<N>::fromBits((1u << count) - 1u), list);
        for (int l = 0; l < count; ++l) out[base + l] = blocked.lane(l) ? 1 : 0;
    }
    return out;
}

// ---- the reference: every cell of a level, in double precision ----

struct D3 {
    double x = 0, y = 0, z = 0;
};
D3 d3(Vec3 v) { return {v.x, v.y, v.z}; }
D3 sub(D3 a, D3 b) { return {a.x - b.x, a.y - b.y, a.z - b.z}; }
D3 crossD(D3 a, D3 b) { return {a.y * b.z - a.z * b.y, a.z * b.x - a.x * b.z, a.x * b.y - a.y * b.x}; }
double dotD(D3 a, D3 b) { return a.x * b.x + a.y * b.y + a.z * b.z; }

// The ray in the prism's local space, by Cramer's rule on its own axes.
struct LocalRay {
    double o[3];
    double d[3];
};

LocalRay toLocalRay(const Prism& p, const Ray& r)
{
    const D3 U = d3(p.axisU), V = d3(p.axisV), H = d3(p.axisH);
    const double det = dotD(U, crossD(V, H));
    auto solve = [&](D3 b) {
        return D3{dotD(b, crossD(V, H)) / det, dotD(U, crossD(b, H)) / det, dotD(U, crossD(V, b)) / det};
    };
    const D3 o = solve(sub(d3(r.origin), d3(p.origin)));
    const D3 d = solve(d3(r.dir));
    return {{o.x, o.y, o.z}, {d.x, d.y, d.z}};
}

// The ray's parameter range inside the prism's local box (empty: lo > hi).
void boxSegment(const Prism& p, const LocalRay& r, double& lo, double& hi, double& tEnter)
{
    const double mins[3] = {p.uMin, p.vMin, p.hMin};
    const double maxs[3] = {p.uMax, p.vMax, p.hMax};
    lo = -kInfD;
    hi = kInfD;
    for (int a = 0; a < 3; ++a) {
        if (r.d[a] == 0.0) {
            if (r.o[a] < mins[a] || r.o[a] > maxs[a]) lo = kInfD;
            continue;
        }
        double t0 = (mins[a] - r.o[a]) / r.d[a], t1 = (maxs[a] - r.o[a]) / r.d[a];
        if (t0 > t1) std::swap(t0, t1);
        lo = std::max(lo, t0);
        hi = std::min(hi, t1);
    }
    tEnter = lo;
}

// The first t in [c, end] where the ray is at or below the bilinear surface
// of `level` raised by `lift` (in local height units); +inf when none.
double firstContact(const DisplacementField& field, uint32_t level, const LocalRay& r, double c, double end,
                    double lift)
{
    const int w = int(field.levelWidth(level)), hgt = int(field.levelHeight(level));
    double best = kInfD;
    for (int y = 0; y < hgt; ++y) {
        for (int x = 0; x < w; ++x) {
            // Where the ray is over this cell.
            double ta = c, tb = end;
            const double cell[2] = {double(x), double(y)};
            const double size[2] = {double(w), double(hgt)};
            bool empty = false;
            for (int a = 0; a < 2 && !empty; ++a) {
                const double o = r.o[a] * size[a], d = r.d[a] * size[a];
                if (d == 0.0) {
                    if (o < cell[a] || o > cell[a] + 1) empty = true;
                    continue;
                }
                double t0 = (cell[a] - o) / d, t1 = (cell[a] + 1 - o) / d;
                if (t0 > t1) std::swap(t0, t1);
                ta = std::max(ta, t0);
                tb = std::min(tb, t1);
            }
            if (empty || ta > tb || ta >= best) continue;
            const double h00 = field.texelHeight(level, x, y), h10 = field.texelHeight(level, x + 1, y);
            const double h01 = field.texelHeight(level, x, y + 1), h11 = field.texelHeight(level, x + 1, y + 1);
            const double k = h00 - h10 - h01 + h11;
            // s(t) = s0 + s1 t, r(t) = r0 + r1 t; f(t) = ray height - surface - lift.
            const double s0 = r.o[0] * w - x, s1 = r.d[0] * w;
            const double r0 = r.o[1] * hgt - y, r1 = r.d[1] * hgt;
            const double A = r.o[2] - lift - (h00 + (h10 - h00) * s0 + (h01 - h00) * r0 + k * s0 * r0);
            const double B = r.d[2] - ((h10 - h00) * s1 + (h01 - h00) * r1 + k * (s0 * r1 + s1 * r0));
            const double C = -k * s1 * r1;
            auto f = [&](double t) { return A + B * t + C * t * t; };
            if (f(ta) <= 0) {
                best = std::min(best, ta);
                continue;
            }
            double roots[2];
            int n = 0;
            if (std::fabs(C) < 1e-300) {
                if (B != 0) roots[n++] = -A / B;
            } else {
                const double disc = B * B - 4 * A * C;
                if (disc >= 0) {
                    const double q = -0.5 * (B + std::copysign(std::sqrt(disc), B));
                    roots[n++] = q / C;
                    if (q != 0) roots[n++] = A / q;
                }
            }
            double first = kInfD;
            for (int i = 0; i < n; ++i)
                if (roots[i] >= ta && roots[i] <= tb) first = std::min(first, roots[i]);
            if (first == kInfD && f(tb) <= 0) first = tb;
            best = std::min(best, first);
        }
    }
    return best;
}

struct Reference {
    double early = kInfD; // contact with the surface raised by eps
    double late = kInfD;  // contact with the surface lowered by eps
    int earlyPrism = -1;
    int latePrism = -1;
    double earlyOther = kInfD; // nearest early contact of any other prism
    bool startsUnder = false; // the early contact is at the segment start
};

// Nearest contact over all prisms, surface raised and lowered by eps.
Reference reference(const Scene& scene, const Ray& ray, double eps, int levelOverride = -1)
{
    Reference ref;
    for (std::size_t i = 0; i < scene.prisms.size(); ++i) {
        const Prism& p = scene.prisms[i];
        const DisplacementField& field = scene.fields[p.fieldIndex];
        const LocalRay r = toLocalRay(p, ray);
        double lo, hi, tEnter;
        boxSegment(p, r, lo, hi, tEnter);
        const double c = std::max(lo, double(ray.tmin));
        const double end = std::min(hi, double(ray.tmax));
        if (!(c <= end)) continue;
        const uint32_t level = levelOverride < 0 ? 0u : uint32_t(levelOverride);
        const double e = firstContact(field, level, r, c, end, eps);
        const double l = firstContact(field, level, r, c, end, -eps);
        if (e < ref.early) {
            ref.earlyOther = ref.early;
            ref.early = e;
            ref.earlyPrism = int(i);
            ref.startsUnder = e == c;
        } else {
            ref.earlyOther = std::min(ref.earlyOther, e);
        }
        if (l < ref.late) {
            ref.late = l;
            ref.latePrism = int(i);
        }
    }
    return ref;
}

// ---- scenes and rays ----

enum class Surface { Noise, Smooth, Flat };

DisplacementField randomField(uint32_t w, uint32_t h, bool wrap, Surface kind, std::mt19937& rng)
{
    std::vector<uint16_t> heights(std::size_t(w) * h);
    std::uniform_int_distribution<int> any(0, 65535);
    std::uniform_real_distribution<float> phase(0.0f, 6.2831853f);
    const float p0 = phase(rng), p1 = phase(rng);
    for (uint32_t y = 0; y < h; ++y) {
        for (uint32_t x = 0; x < w; ++x) {
            uint16_t value = 30000;
            if (kind == Surface::Noise) {
                value = uint16_t(any(rng));
            } else if (kind == Surface::Smooth) {
                const float s = 0.5f + 0.25f * std::sin(6.2831853f * float(x) / float(w) + p0) +
                                0.2f * std::cos(6.2831853f * 2.0f * float(y) / float(h) + p1);
                value = uint16_t(std::lround(std::clamp(s, 0.0f, 1.0f) * 65535.0f));
            }
            heights[std::size_t(y) * w + x] = value;
        }
    }
    return DisplacementField(w, h, std::span<const uint16_t>(heights), !wrap);
}

struct FieldCase {
    uint32_t w, h;
    bool wrap;
    Surface kind;
};

// Small fields of every shape the march must handle: square, wide, tall,
// one level (1x1), n x 1 and 1 x n, noise and smooth, clamped and tiling.
const FieldCase kFieldCases[] = {
    {8, 8, false, Surface::Noise},   {8, 8, true, Surface::Noise},    {16, 4, true, Surface::Smooth},
    {4, 16, false, Surface::Noise},  {1, 1, false, Surface::Noise},   {8, 1, false, Surface::Noise},
    {1, 8, true, Surface::Smooth},   {32, 32, true, Surface::Smooth}, {2, 2, true, Surface::Noise},
    {16, 16, false, Surface::Smooth}, {32, 1, true, Surface::Noise},
};

Vec3 randomUnit(std::mt19937& rng)
{
    std::normal_distribution<float> n(0.0f, 1.0f);
    return normalizeSafe(Vec3{n(rng), n(rng), n(rng)});
}

// A scene with one or two prisms over a field; the first prism is axis
// aligned (so rays with exactly zero local components occur), the second
// rotated and overlapping it.
std::unique_ptr<Scene> makeScene(const FieldCase& fc, bool twoPrisms, std::mt19937& rng)
{
    auto scene = std::make_unique<Scene>();
    scene->addField(randomField(fc.w, fc.h, fc.wrap, fc.kind, rng));
    scene->addPrism(makePrism({-2.0f, 0.0f, 2.0f}, {1, 0, 0}, {0, 0, -1}, 4.0f, 4.0f, 1.5f, 0));
    if (twoPrisms) {
        scene->addField(randomField(8, 8, true, Surface::Smooth, rng));
        scene->addPrism(makePrism({-1.5f, 0.2f, 1.0f}, {0.9f, 0.1f, 0.3f}, {0.2f, 0.1f, -1.0f}, 3.0f, 3.5f, 1.0f, 1));
    }
    scene->refreshPrisms();
    return scene;
}

Vec3 localToWorld(const Prism& p, float u, float v, float h)
{
    return p.origin + p.axisU * u + p.axisV * v + p.axisH * h;
}

// Rays at random targets in the boxes: from outside, from inside, grazing the
// surface, parallel to local axes and through cell corners.
std::vector<Ray> randomRays(const Scene& scene, int count, std::mt19937& rng)
{
    std::uniform_real_distribution<float> unit(0.0f, 1.0f);
    std::uniform_int_distribution<int> pick(0, int(scene.prisms.size()) - 1);
    std::vector<Ray> rays;
    for (int i = 0; i < count; ++i) {
        const Prism& p = scene.prisms[std::size_t(pick(rng))];
        const DisplacementField& field = scene.fields[p.fieldIndex];
        Ray r;
        const int kind = i % 6;
        const float tu = unit(rng), tv = unit(rng);
        if (kind == 0 || kind == 1) { // from outside towards a point in the box
            const Vec3 target = localToWorld(p, tu, tv, unit(rng));
            r.origin = target + randomUnit(rng) * (2.0f + 6.0f * unit(rng));
            r.dir = normalizeSafe(target - r.origin);
        } else if (kind == 2) { // from inside the box
            r.origin = localToWorld(p, tu, tv, unit(rng));
            r.dir = randomUnit(rng);
        } else if (kind == 3) { // grazing: nearly level in local space, aimed at the surface
            const float hs = field.sampleHeight(0, tu, tv) + (unit(rng) - 0.5f) * 0.02f;
            const float a = 6.2831853f * unit(rng);
            const Vec3 target = localToWorld(p, tu, tv, hs);
            const Vec3 dirW =
                normalizeSafe(p.axisU * std::cos(a) + p.axisV * std::sin(a) + p.axisH * ((unit(rng) - 0.5f) * 0.01f));
            r.origin = target - dirW * (3.0f + 3.0f * unit(rng));
            r.dir = dirW;
        } else if (kind == 4) { // world axis directions (exactly zero local components on prism 0)
            const Vec3 target = localToWorld(scene.prisms[0], tu, tv, unit(rng));
            const int axis = int(unit(rng) * 3.0f) % 3;
            Vec3 d{0, 0, 0};
            d[axis] = unit(rng) < 0.5f ? -1.0f : 1.0f;
            if (unit(rng) < 0.5f) d[(axis + 1) % 3] = unit(rng) < 0.5f ? -0.5f : 0.5f;
            r.dir = normalizeSafe(d);
            r.origin = target - r.dir * 5.0f;
        } else { // diagonal through a cell corner of prism 0's field
            const Prism& p0 = scene.prisms[0];
            const DisplacementField& f0 = scene.fields[p0.fieldIndex];
            const float cu = std::floor(tu * float(f0.width)) / float(f0.width);
            const float cv = std::floor(tv * float(f0.height)) / float(f0.height);
            const Vec3 target = localToWorld(p0, cu, cv, unit(rng) * 0.5f);
            const Vec3 dirW = normalizeSafe(p0.axisU * (1.0f / float(f0.width)) + p0.axisV * (1.0f / float(f0.height)) -
                                            p0.axisH * unit(rng));
            r.origin = target - dirW * 2.0f;
            r.dir = dirW;
        }
        rays.push_back(r);
    }
    return rays;
}

// The offset normal the march should report: the bilinear patch's normal at
// (u, v) of a level, from its tangents in world space.
Vec3 patchNormal(const Prism& p, const DisplacementField& field, uint32_t level, double u, double v)
{
    const int w = int(field.levelWidth(level)), hgt = int(field.levelHeight(level));
    const int x = std::clamp(int(std::floor(u * w)), 0, w - 1), y = std::clamp(int(std::floor(v * hgt)), 0, hgt - 1);
    const double s = std::clamp(u * w - x, 0.0, 1.0), r = std::clamp(v * hgt - y, 0.0, 1.0);
    const double h00 = field.texelHeight(level, x, y), h10 = field.texelHeight(level, x + 1, y);
    const double h01 = field.texelHeight(level, x, y + 1), h11 = field.texelHeight(level, x + 1, y + 1);
    const double k = h00 - h10 - h01 + h11;
    const double du = ((h10 - h00) + k * r) * w, dv = ((h01 - h00) + k * s) * hgt;
    const D3 U = d3(p.axisU), V = d3(p.axisV), H = d3(p.axisH);
    const D3 tu{U.x + H.x * du, U.y + H.y * du, U.z + H.z * du};
    const D3 tv{V.x + H.x * dv, V.y + H.y * dv, V.z + H.z * dv};
    const D3 n = crossD(tu, tv);
    const double len = std::sqrt(dotD(n, n));
    return Vec3{float(n.x / len), float(n.y / len), float(n.z / len)};
}

// Distance of (u, v) from the nearest cell edge of a level, in cells.
double edgeDistance(const DisplacementField& field, uint32_t level, double u, double v)
{
    const double x = u * field.levelWidth(level), y = v * field.levelHeight(level);
    return std::min(std::fabs(x - std::round(x)), std::fabs(y - std::round(y)));
}

struct MarchSettingsCase {
    const char* name;
    uint8_t start;
    uint32_t startOffset;
    bool seedOracle;
    uint32_t shellLog2;
};

class MarchAgainstReference : public ::testing::TestWithParam<MarchSettingsCase> {};

// Nearest hits agree with the every-cell reference: the march's t lies
// between the contacts with the surface raised and lowered by a small eps,
// misses only where the lowered surface is never reached, the prism and the
// hit point match, and the offset normal is the patch normal.
TEST_P(MarchAgainstReference, NearestHitMatchesEveryCellReference)
{
    const MarchSettingsCase& sc = GetParam();
    std::mt19937 rng(1234);
    const double eps = 2e-4;
    int hits = 0, compared = 0, normalsChecked = 0;
    for (const FieldCase& fc : kFieldCases) {
        for (bool two : {false, true}) {
            auto scene = makeScene(fc, two, rng);
            TraceSettings settings;
            settings.lod = false;
            settings.start = sc.start;
            settings.startOffset = sc.startOffset;
            settings.seedOracle = sc.seedOracle;
            settings.shellLog2 = sc.shellLog2;
            settings.normalMode = 0;
            settings.maxSteps = 4096;
            const SceneTracer tracer(*scene, settings);
            const std::vector<Ray> rays = randomRays(*scene, 240, rng);
            const std::vector<LaneHit> got = marchAll<simd::kLanes>(tracer, rays, tracer.allPrisms);
            for (std::size_t i = 0; i < rays.size(); ++i) {
                const Ray& ray = rays[i];
                const Reference ref = reference(*scene, ray, eps);
                const LaneHit& m = got[i];
                const double tol = 1e-4 * (1.0 + (m.hit ? m.t : 0.0));
                SCOPED_TRACE(::testing::Message() << "field " << fc.w << "x" << fc.h << (fc.wrap ? " wrap" : " clamp")
                                                  << " prisms " << scene->prisms.size() << " ray " << i << " early "
                                                  << ref.early << " late " << ref.late << " march " << m.hit << " t "
                                                  << m.t);
                ++compared;
                if (!m.hit) {
                    ASSERT_EQ(ref.late, kInfD) << "march missed a hit";
                    ASSERT_EQ(m.t, ray.tmax);
                    ASSERT_EQ(m.prism, -1);
                    continue;
                }
                ++hits;
                ASSERT_NE(ref.early, kInfD) << "march hit where nothing is";
                ASSERT_GE(m.t + tol, ref.early);
                ASSERT_LE(m.t - tol, ref.late);
                ASSERT_EQ(m.level, 0);
                const Prism& p = scene->prisms[std::size_t(m.prism)];
                const Vec3 onRay = ray.origin + ray.dir * m.t;
                const Vec3 local = localToWorld(p, m.u, m.v, m.h);
                ASSERT_NEAR(onRay.x, local.x, 1e-3);
                ASSERT_NEAR(onRay.y, local.y, 1e-3);
                ASSERT_NEAR(onRay.z, local.z, 1e-3);
                ASSERT_NEAR(m.px, local.x, 1e-4);
                ASSERT_NEAR(m.py, local.y, 1e-4);
                ASSERT_NEAR(m.pz, local.z, 1e-4);
                const bool prismClear = ref.earlyOther - ref.late > 1e-3 && ref.earlyPrism == ref.latePrism;
                if (prismClear) {
                    EXPECT_EQ(m.prism, ref.earlyPrism);
                }
                // Normal: only where the contact is unambiguous (not grazing,
                // not at the box entry, away from the cell edges).
                const DisplacementField& field = scene->fields[p.fieldIndex];
                const bool clear = !ref.startsUnder && ref.late - ref.early < 1e-3 && prismClear &&
                                   edgeDistance(field, 0, m.u, m.v) > 1e-3;
                if (clear) {
                    const Vec3 n = patchNormal(p, field, 0, m.u, m.v);
                    EXPECT_GT(n.x * m.gx + n.y * m.gy + n.z * m.gz, 0.9999f);
                    ++normalsChecked;
                }
            }
        }
    }
    EXPECT_GT(hits, compared / 3);
    EXPECT_GT(normalsChecked, compared / 10);
}

INSTANTIATE_TEST_SUITE_P(
    StartModes, MarchAgainstReference,
    ::testing::Values(MarchSettingsCase{"projected", 1, 0, false, 6}, MarchSettingsCase{"top", 0, 0, false, 6},
                      MarchSettingsCase{"fixed", 2, 0, false, 6}, MarchSettingsCase{"fixedOffset3", 2, 3, false, 6},
                      MarchSettingsCase{"projectedOffset2", 1, 2, false, 6},
                      MarchSettingsCase{"seed", 1, 0, true, 2}, MarchSettingsCase{"seedShell0", 0, 0, true, 0}),
    [](const ::testing::TestParamInfo<MarchSettingsCase>& info) { return std::string(info.param.name); });

// Shading normals on a tilted plane are the plane's normal in every mode,
// away from the clamped border where the central differences shorten.
TEST(PacketMarch, ShadingNormalsOfAPlaneAreExactInEveryMode)
{
    const uint32_t w = 16;
    std::vector<uint16_t> heights(w * w);
    for (uint32_t y = 0; y < w; ++y)
        for (uint32_t x = 0; x < w; ++x) heights[y * w + x] = uint16_t(8000 + 2000 * x + 1000 * y);
    Scene scene;
    scene.addField(DisplacementField(w, w, std::span<const uint16_t>(heights), true));
    scene.addPrism(makePrism({0, 0, 0}, {1, 0, 0}, {0, 0, -1}, 4.0f, 4.0f, 2.0f, 0));
    scene.refreshPrisms();
    const Prism& p = scene.prisms[0];
    const Vec3 expect = patchNormal(p, scene.fields[0], 0, 0.5, 0.5);
    std::mt19937 rng(5);
    std::uniform_real_distribution<float> inner(3.5f / w, (w - 3.5f) / w);
    for (uint8_t mode : {0, 1, 2}) {
        TraceSettings settings;
        settings.lod = false;
        settings.normalMode = mode;
        const SceneTracer tracer(scene, settings);
        std::vector<Ray> rays;
        for (int i = 0; i < 64; ++i) {
            const float u = inner(rng), v = inner(rng);
            const Vec3 target = localToWorld(p, u, v, scene.fields[0].sampleHeight(0, u, v));
            Ray r;
            r.origin = target + Vec3{0.3f, 3.0f, 0.2f};
            r.dir = normalizeSafe(target - r.origin);
            rays.push_back(r);
        }
        const auto got = marchAll<simd::kLanes>(tracer, rays, tracer.allPrisms);
        for (const LaneHit& m : got) {
            ASSERT_TRUE(m.hit);
            EXPECT_NEAR(m.nx, expect.x, 2e-5) << "mode " << int(mode);
            EXPECT_NEAR(m.ny, expect.y, 2e-5) << "mode " << int(mode);
            EXPECT_NEAR(m.nz, expect.z, 2e-5) << "mode " << int(mode);
            EXPECT_NEAR(m.gy, expect.y, 2e-5);
        }
    }
}

// With level of detail on, a wide footprint stops the descent: the hit lies
// on the bilinear surface of the coarser level it reports, bracketed by that
// level's reference.
TEST(PacketMarch, LevelOfDetailHitsLieOnTheCoarserSurface)
{
    std::mt19937 rng(99);
    int coarse = 0, total = 0;
    for (const FieldCase& fc : {FieldCase{32, 32, true, Surface::Smooth}, FieldCase{16, 16, false, Surface::Noise},
                                FieldCase{32, 1, false, Surface::Noise}, FieldCase{16, 4, true, Surface::Smooth}}) {
        auto scene = makeScene(fc, false, rng);
        TraceSettings settings;
        settings.lod = true;
        settings.normalMode = 0;
        const SceneTracer tracer(*scene, settings);
        std::vector<Ray> rays = randomRays(*scene, 300, rng);
        std::uniform_real_distribution<float> spread(0.0f, 0.2f);
        for (Ray& r : rays) {
            r.spread = spread(rng);
            r.radius = spread(rng) * 0.5f;
        }
        const auto got = marchAll<simd::kLanes>(tracer, rays, tracer.allPrisms);
        const DisplacementField& field = scene->fields[0];
        const Prism& p = scene->prisms[0];
        for (std::size_t i = 0; i < rays.size(); ++i) {
            const LaneHit& m = got[i];
            const Reference ref = reference(*scene, rays[i], 2e-4, m.hit ? m.level : 0);
            if (!m.hit) continue; // a coarse level may miss what level 0 hits, and the reverse
            ++total;
            if (m.level > 0) ++coarse;
            ASSERT_LT(uint32_t(m.level), field.levels);
            // The level is the footprint's at the box entry.
            const LocalRay lr = toLocalRay(p, rays[i]);
            double lo, hi, te;
            boxSegment(p, lr, lo, hi, te);
            const double c = std::max(lo, 0.0);
            const double x = (c * rays[i].spread + rays[i].radius) / p.heightTexelSize;
            const double lodExact = std::log2(std::max(x, 1e-30));
            if (std::fabs(lodExact - std::round(lodExact)) > 1e-3) {
                const int expectLevel = std::clamp(int(std::floor(lodExact)), 0, int(field.levels) - 1);
                EXPECT_EQ(m.level, expectLevel) << "ray " << i;
            }
            EXPECT_GE(m.t + 1e-4 * (1 + m.t), ref.early) << "ray " << i;
            EXPECT_LE(m.t - 1e-4 * (1 + m.t), ref.late) << "ray " << i;
            if (!ref.startsUnder && ref.late - ref.early < 1e-3) {
                EXPECT_NEAR(m.h, field.sampleHeight(uint32_t(m.level), m.u, m.v), 1e-3) << "ray " << i;
            }
        }
    }
    EXPECT_GT(coarse, total / 4);
}

// Shadow rays are blocked exactly when the reference finds any contact in
// their segment (up to the eps band around the surface).
TEST(PacketMarch, ShadowAnyHitAgreesWithReference)
{
    std::mt19937 rng(4242);
    int blockedCount = 0, total = 0;
    for (const FieldCase& fc : kFieldCases) {
        for (bool two : {false, true}) {
            auto scene = makeScene(fc, two, rng);
            TraceSettings settings;
            settings.lod = false;
            settings.maxSteps = 4096;
            const SceneTracer tracer(*scene, settings);
            std::vector<Ray> rays = randomRays(*scene, 160, rng);
            std::uniform_real_distribution<float> unit(0.0f, 1.0f);
            for (Ray& r : rays) {
                r.tmin = unit(rng) < 0.3f ? unit(rng) * 3.0f : 0.0f;
                r.tmax = unit(rng) < 0.5f ? r.tmin + unit(rng) * 8.0f : 10000.0f;
            }
            const auto got = shadowAll<simd::kLanes>(tracer, rays, tracer.allPrisms);
            for (std::size_t i = 0; i < rays.size(); ++i) {
                const Reference ref = reference(*scene, rays[i], 2e-4);
                ++total;
                if (got[i]) {
                    ++blockedCount;
                    EXPECT_NE(ref.early, kInfD) << "blocked with nothing in the way, ray " << i;
                } else {
                    EXPECT_EQ(ref.late, kInfD) << "not blocked with a surface in the way, ray " << i;
                }
            }
        }
    }
    EXPECT_GT(blockedCount, total / 4);
    EXPECT_LT(blockedCount, total);
}

// ---- prisms within reach of a bundle of rays ----

// Prisms scattered around the origin, of every orientation: axis aligned
// (zero entries in the local matrix), turned, flipped and stretched.
std::unique_ptr<Scene> scatteredPrisms(std::mt19937& rng, const FieldCase& fc = {16, 16, false, Surface::Noise})
{
    auto scene = std::make_unique<Scene>();
    scene->addField(randomField(fc.w, fc.h, fc.wrap, fc.kind, rng));
    scene->addField(randomField(8, 8, true, Surface::Smooth, rng));
    std::uniform_real_distribution<float> pos(-12.0f, 12.0f), size(0.5f, 4.0f);
    scene->addPrism(makePrism({-2.0f, 0.0f, 2.0f}, {1, 0, 0}, {0, 0, -1}, 4.0f, 4.0f, 1.5f, 0));
    scene->addPrism(makePrism({5.0f, 1.0f, -3.0f}, {0, 0, 1}, {1, 0, 0}, 2.0f, 3.0f, 1.0f, 1));
    for (int i = 0; i < 10; ++i) {
        const Vec3 u = randomUnit(rng);
        const Vec3 v = normalizeSafe(cross(u, randomUnit(rng)));
        scene->addPrism(makePrism({pos(rng), pos(rng), pos(rng)}, u, v, size(rng), size(rng), size(rng), i % 2));
    }
    scene->refreshPrisms();
    return scene;
}

// Whether a ray gets a segment in the prism: the march counts an iteration
// for every lane that takes part in a prism's walk.
bool entersPrism(const SceneTracer& tracer, const Ray& ray, uint32_t prism)
{
    const uint32_t list[1] = {prism};
    return marchAll<1>(tracer, {ray}, list)[0].iterations > 0.0f;
}

struct BundleCase {
    RayBundle bundle;
    std::vector<Ray> rays; // rays of the bundle: the box corners first, then points inside
};

// Bundles anywhere, or aimed so that their rays pass a prism's face or edge
// closely (where a bound that is off by a rounding step would show).
BundleCase randomBundle(const Scene& scene, std::mt19937& rng, int kind)
{
    std::uniform_real_distribution<float> unit(0.0f, 1.0f), pos(-14.0f, 14.0f);
    BundleCase b;
    Vec3 dir = randomUnit(rng);
    if (kind % 4 == 1) { // along a world axis: local components exactly zero on aligned prisms
        dir = Vec3{0, 0, 0};
        dir[int(unit(rng) * 3.0f) % 3] = unit(rng) < 0.5f ? -1.0f : 1.0f;
    }
    const float extent = kind % 3 == 0 ? 0.0f : (kind % 3 == 1 ? 1e-3f : 4.0f) * unit(rng);
    Vec3 centre{pos(rng), pos(rng), pos(rng)};
    if (kind % 2 == 0) {
        const Prism& p = scene.prisms[std::size_t(kind / 2) % scene.prisms.size()];
        float local[3] = {p.uMin + (p.uMax - p.uMin) * unit(rng), p.vMin + (p.vMax - p.vMin) * unit(rng),
                          p.hMin + (p.hMax - p.hMin) * unit(rng)};
        const int face = int(unit(rng) * 3.0f) % 3, edge = (face + 1) % 3;
        local[face] = unit(rng) < 0.5f ? (face == 0 ? p.uMin : face == 1 ? p.vMin : p.hMin)
                                       : (face == 0 ? p.uMax : face == 1 ? p.vMax : p.hMax);
        if (kind % 6 == 0)
            local[edge] = edge == 0 ? p.uMax : edge == 1 ? p.vMax : p.hMax;
        centre = localToWorld(p, local[0], local[1], local[2]) - dir * (1.0f + 10.0f * unit(rng));
    }
    for (int a = 0; a < 3; ++a) {
        b.bundle.originLo[a] = centre[a] - extent * unit(rng);
        b.bundle.originHi[a] = centre[a] + extent * unit(rng);
    }
    b.bundle.dir = dir;
    b.bundle.tmin = unit(rng) < 0.7f ? 0.0f : 3.0f * unit(rng);
    b.bundle.tmax = unit(rng) < 0.5f ? 10000.0f : b.bundle.tmin + 12.0f * unit(rng);
    for (int i = 0; i < 20; ++i) {
        Ray r;
        for (int a = 0; a < 3; ++a) {
            const float lo = b.bundle.originLo[a], hi = b.bundle.originHi[a];
            r.origin[a] = i < 8 ? ((i >> a) & 1 ? hi : lo) : std::clamp(lo + (hi - lo) * unit(rng), lo, hi);
        }
        r.dir = dir;
        r.tmin = i % 2 ? b.bundle.tmin : b.bundle.tmin + (b.bundle.tmax - b.bundle.tmin) * 0.3f * unit(rng);
        r.tmax = i % 3 ? b.bundle.tmax : r.tmin + (b.bundle.tmax - r.tmin) * unit(rng);
        b.rays.push_back(r);
    }
    return b;
}

// A prism that the reach test leaves out is one that no ray of the bundle
// enters, by the march's own arithmetic: the box corners (the extreme
// origins), points inside, and narrower segments all get no walk there.
// The kept prisms are the list's own, in its order.
TEST(PrismReach, LeavesOutOnlyPrismsNoRayOfTheBundleEnters)
{
    std::mt19937 rng(9090);
    int dropped = 0, kept = 0, entered = 0;
    for (int sceneIndex = 0; sceneIndex < 4; ++sceneIndex) {
        auto scene = scatteredPrisms(rng);
        const SceneTracer tracer(*scene, TraceSettings{});
        for (int k = 0; k < 240; ++k) {
            const BundleCase b = randomBundle(*scene, rng, k);
            const PrismReach reach(tracer, b.bundle.dir, tracer.allPrisms);
            std::vector<uint32_t> inReach;
            reach.inReach(b.bundle, inReach);
            ASSERT_TRUE(std::is_sorted(inReach.begin(), inReach.end()));
            for (const uint32_t prism : tracer.allPrisms) {
                const bool keeps = std::find(inReach.begin(), inReach.end(), prism) != inReach.end();
                keeps ? ++kept : ++dropped;
                for (const Ray& r : b.rays) {
                    const bool enters = entersPrism(tracer, r, prism);
                    entered += enters ? 1 : 0;
                    if (!keeps) {
                        ASSERT_FALSE(enters) << "prism " << prism << " left out but entered from (" << r.origin.x
                                             << ", " << r.origin.y << ", " << r.origin.z << ")";
                    }
                }
            }
        }
    }
    // The test is not vacuous: most prisms are left out, some are entered.
    EXPECT_GT(dropped, 3 * kept);
    EXPECT_GT(entered, 1000);
}

// Against the kept prisms a bundle's shadow rays are blocked exactly as
// against the whole list, lane for lane, at every width, over every field
// shape, clamped and tiling.
TEST(PrismReach, ShadowMasksAgainstTheKeptPrismsAreTheSame)
{
    std::mt19937 rng(31);
    int blocked = 0;
    for (const FieldCase& fc : kFieldCases) {
        auto scene = scatteredPrisms(rng, fc);
        const SceneTracer tracer(*scene, TraceSettings{});
        for (int k = 0; k < 40; ++k) {
            const BundleCase b = randomBundle(*scene, rng, k);
            const PrismReach reach(tracer, b.bundle.dir, tracer.allPrisms);
            std::vector<uint32_t> inReach;
            reach.inReach(b.bundle, inReach);
            const auto all = shadowAll<simd::kLanes>(tracer, b.rays, tracer.allPrisms);
            const auto some = shadowAll<simd::kLanes>(tracer, b.rays, inReach);
            const auto pass = shadowAll<kPassLanes>(tracer, b.rays, inReach);
            for (std::size_t i = 0; i < b.rays.size(); ++i) {
                ASSERT_EQ(all[i], some[i]) << "ray " << i;
                ASSERT_EQ(all[i], pass[i]) << "ray " << i;
                blocked += all[i];
            }
        }
    }
    EXPECT_GT(blocked, 50);
}

// A bundle the packed prisms were not built for (another direction), or one
// with NaN values or an empty box, keeps every prism.
TEST(PrismReach, ForeignOrBrokenBundlesKeepEveryPrism)
{
    std::mt19937 rng(5);
    auto scene = scatteredPrisms(rng);
    const SceneTracer tracer(*scene, TraceSettings{});
    const Vec3 sun = normalizeSafe(Vec3{-0.72f, 0.36f, 0.42f});
    const PrismReach reach(tracer, sun, tracer.allPrisms);
    RayBundle far;
    far.originLo = far.originHi = Vec3{1000.0f, 1000.0f, 1000.0f};
    far.dir = sun;
    far.tmax = 1.0f;
    std::vector<uint32_t> out;
    reach.inReach(far, out);
    EXPECT_TRUE(out.empty());
    std::vector<RayBundle> broken(4, far);
    broken[0].dir = Vec3{sun.x, sun.y, std::nextafter(sun.z, 1.0f)};
    broken[1].originLo.y = std::numeric_limits<float>::quiet_NaN();
    broken[2].tmax = std::numeric_limits<float>::quiet_NaN();
    broken[3].originLo.x = 1001.0f;
    for (const RayBundle& b : broken) {
        reach.inReach(b, out);
        EXPECT_EQ(out, tracer.allPrisms);
    }
}

// ---- analytic cases ----

struct FlatBox {
    Scene scene;
    explicit FlatBox(uint16_t height, bool sideNormalsOff = false)
    {
        std::vector<uint16_t> heights(8 * 8, height);
        scene.addField(DisplacementField(8, 8, std::span<const uint16_t>(heights), true));
        Prism p = makePrism({0, 0, 0}, {1, 0, 0}, {0, 0, -1}, 2.0f, 2.0f, 2.0f, 0);
        p.sideNormalsOff = sideNormalsOff;
        scene.addPrism(p);
        scene.refreshPrisms();
    }
};

LaneHit marchOne(const Scene& scene, const TraceSettings& settings, const Ray& ray)
{
    const SceneTracer tracer(scene, settings);
    return marchAll<simd::kLanes>(tracer, {ray}, tracer.allPrisms)[0];
}

struct FaceCase {
    const char* name;
    Vec3 origin;
    Vec3 dir;
    bool sideNormalsOff;
    uint16_t height;
    float t;      // expected hit distance
    Vec3 normal;  // expected shading and offset normal
};

// The prism spans x in [0, 2], y in [0, 2], z in [-2, 0]; the flat surface
// sits at y = 2 * height / 65535.
const FaceCase kFaceCases[] = {
    // Starting under the surface inside the box: hit at once, normal -d.
    {"insideUnder", {1.0f, 0.4f, -1.0f}, {0.6f, 0.0f, -0.8f}, false, 40000, 0.0f, {-0.6f, 0.0f, 0.8f}},
    // Entering through the side x = 0 below the surface: that face's normal.
    {"sideBelow", {-1.0f, 0.5f, -1.0f}, {1.0f, 0.0f, 0.0f}, false, 40000, 1.0f, {-1.0f, 0.0f, 0.0f}},
    // The same with side normals off: the surface normal.
    {"sideBelowOff", {-1.0f, 0.5f, -1.0f}, {1.0f, 0.0f, 0.0f}, true, 40000, 1.0f, {0.0f, 1.0f, 0.0f}},
    // Entering through the bottom going up: the bottom face's normal.
    {"bottom", {1.0f, -1.0f, -1.0f}, {0.0f, 1.0f, 0.0f}, false, 40000, 1.0f, {0.0f, -1.0f, 0.0f}},
    // Entering through the top going down onto a surface at the very top:
    // under at entry, but never a side normal.
    {"topDown", {1.0f, 3.0f, -1.0f}, {0.0f, -1.0f, 0.0f}, false, 65535, 1.0f, {0.0f, 1.0f, 0.0f}},
    // From above onto the flat surface at y = 1.
    {"fromAbove", {0.5f, 2.0f, -0.5f}, {0.0f, -1.0f, 0.0f}, false, 32768, 2.0f - 2.0f * 32768.0f / 65535.0f,
     {0.0f, 1.0f, 0.0f}},
};

class SideFaces : public ::testing::TestWithParam<FaceCase> {};

TEST_P(SideFaces, UnderAtEntryReportsTheFaceItCameThrough)
{
    const FaceCase& fc = GetParam();
    FlatBox box(fc.height, fc.sideNormalsOff);
    Ray ray;
    ray.origin = fc.origin;
    ray.dir = normalizeSafe(fc.dir);
    TraceSettings settings;
    settings.lod = false;
    for (uint8_t mode : {0, 1}) {
        settings.normalMode = mode;
        const LaneHit m = marchOne(box.scene, settings, ray);
        ASSERT_TRUE(m.hit);
        EXPECT_NEAR(m.t, fc.t, 1e-5);
        EXPECT_NEAR(m.nx, fc.normal.x, 1e-5);
        EXPECT_NEAR(m.ny, fc.normal.y, 1e-5);
        EXPECT_NEAR(m.nz, fc.normal.z, 1e-5);
        EXPECT_NEAR(m.gx, fc.normal.x, 1e-5);
        EXPECT_NEAR(m.gy, fc.normal.y, 1e-5);
        EXPECT_NEAR(m.gz, fc.normal.z, 1e-5);
        EXPECT_EQ(m.prism, 0);
    }
}

INSTANTIATE_TEST_SUITE_P(Faces, SideFaces, ::testing::ValuesIn(kFaceCases),
                         [](const ::testing::TestParamInfo<FaceCase>& info) { return std::string(info.param.name); });

// A surface lying on the bottom face (height 0, as on the flat rim of a
// small baked shell) is met by every ray that comes up through that face,
// right at its entry point. The ray's height there, worked out from its
// origin, lands an ulp above or below the face; either way a hit is on the
// face and reports the face's normal, never the surface normal that points
// away from the ray. (Whether the walk meets such a grazing surface at all
// is left to that rounding, as the bounds it skips by are exact heights.)
TEST(PacketMarch, RaysUpThroughABottomFaceOnTheSurfaceGetTheFaceNormal)
{
    FlatBox box(0);
    std::mt19937 rng(11);
    std::uniform_real_distribution<float> across(0.1f, 1.9f), tilt(-1.5f, 1.5f);
    TraceSettings settings;
    settings.lod = false;
    int checked = 0;
    for (const float distance : {0.7f, 1.9f, 4.3f}) {
        std::vector<Ray> rays;
        for (int i = 0; i < 64; ++i) {
            const Vec3 target{across(rng), 0.0f, -across(rng)};
            Ray ray;
            ray.dir = normalizeSafe(Vec3{tilt(rng), 1.0f, tilt(rng)});
            ray.origin = target - ray.dir * distance;
            rays.push_back(ray);
        }
        for (uint8_t mode : {0, 1}) {
            settings.normalMode = mode;
            const SceneTracer tracer(box.scene, settings);
            const std::vector<LaneHit> hits = marchAll<simd::kLanes>(tracer, rays, tracer.allPrisms);
            for (std::size_t i = 0; i < rays.size(); ++i) {
                SCOPED_TRACE("distance " + std::to_string(distance) + ", ray " + std::to_string(i));
                const LaneHit& m = hits[i];
                if (!m.hit) continue;
                ++checked;
                EXPECT_NEAR(m.t, distance, 1e-5f);
                EXPECT_NEAR(m.nx, 0.0f, 1e-6f);
                EXPECT_NEAR(m.ny, -1.0f, 1e-6f);
                EXPECT_NEAR(m.nz, 0.0f, 1e-6f);
                EXPECT_NEAR(m.gy, -1.0f, 1e-6f);
            }
        }
    }
    EXPECT_GT(checked, 3 * 2 * 64 / 2);
}

// The mirror case: a ray that comes down onto a surface lying on the bottom
// face leaves the prism right where it meets the surface. The root
// tolerance is a fixed share of the height range, so through a thin prism
// seen from a few units away (a small baked shell) it is below one rounding
// step of t, and the root lands past it about as often as not. Such a ray
// was above the surface where it entered and is on it at the bottom face,
// so it has met the surface: every ray must hit there, in the march and in
// the shadow walk, whatever the field's size.
TEST(PacketMarch, RaysDownOntoASurfaceOnTheBottomFaceOfAThinPrismHitIt)
{
    std::mt19937 rng(23);
    std::uniform_real_distribution<float> inside(0.02f, 0.98f), tilt(-0.8f, 0.8f);
    TraceSettings settings;
    settings.lod = false;
    int hits = 0, blocked = 0, total = 0;
    for (const uint32_t size : {1u, 2u, 8u}) {
        for (const float thickness : {0.004f, 0.05f}) {
            Scene scene;
            const std::vector<uint16_t> floor(std::size_t(size) * size, 0);
            scene.addField(DisplacementField(size, size, std::span<const uint16_t>(floor), true));
            scene.addPrism(makePrism({0.59f, -0.62f, 0.43f}, {0.18f, -0.1f, -0.46f}, {0.21f, 0.5f, 0.06f}, 0.5f,
                                     0.55f, thickness, 0));
            scene.refreshPrisms();
            const Prism& p = scene.prisms[0];
            const Vec3 up = normalizeSafe(p.axisH);
            const SceneTracer tracer(scene, settings);
            for (const float distance : {0.9f, 3.1f, 7.3f}) {
                std::vector<Ray> rays;
                for (int i = 0; i < 96; ++i) {
                    const Vec3 target = p.origin + p.axisU * inside(rng) + p.axisV * inside(rng);
                    Ray ray;
                    ray.dir = normalizeSafe(p.axisU * tilt(rng) + p.axisV * tilt(rng) - up);
                    ray.origin = target - ray.dir * distance;
                    rays.push_back(ray);
                }
                const std::vector<LaneHit> got = marchAll<simd::kLanes>(tracer, rays, tracer.allPrisms);
                const std::vector<int> shadow = shadowAll<simd::kLanes>(tracer, rays, tracer.allPrisms);
                for (std::size_t i = 0; i < rays.size(); ++i) {
                    SCOPED_TRACE("size " + std::to_string(size) + ", thickness " + std::to_string(thickness) +
                                 ", distance " + std::to_string(distance) + ", ray " + std::to_string(i));
                    ++total;
                    hits += got[i].hit;
                    blocked += shadow[i];
                    EXPECT_TRUE(got[i].hit);
                    EXPECT_TRUE(shadow[i]);
                    if (got[i].hit) {
                        EXPECT_NEAR(got[i].t, distance, 1e-5f * distance);
                        EXPECT_NEAR(got[i].h, 0.0f, 1e-6f);
                    }
                }
            }
        }
    }
    EXPECT_EQ(hits, total);
    EXPECT_EQ(blocked, total);
}

TEST(PacketMarch, ZeroStepsMeansNoHitAndNearerPrismWins)
{
    FlatBox box(30000);
    Ray down;
    down.origin = {1.0f, 5.0f, -1.0f};
    down.dir = {0.0f, -1.0f, 0.0f};
    TraceSettings settings;
    settings.maxSteps = 0;
    EXPECT_FALSE(marchOne(box.scene, settings, down).hit);

    // A second, higher copy of the box: the ray hits it first whatever the
    // list order, and the counters sum over both prisms.
    Prism higher = box.scene.prisms[0];
    higher.origin = {0.0f, 1.0f, 0.0f};
    box.scene.addPrism(higher);
    box.scene.refreshPrisms();
    settings.maxSteps = 512;
    const SceneTracer tracer(box.scene, settings);
    const std::vector<Ray> rays = {down};
    const uint32_t forward[] = {0, 1}, backward[] = {1, 0};
    const LaneHit a = marchAll<simd::kLanes>(tracer, rays, forward)[0];
    const LaneHit b = marchAll<simd::kLanes>(tracer, rays, backward)[0];
    const LaneHit only0 = marchAll<simd::kLanes>(tracer, rays, std::span<const uint32_t>(forward, 1))[0];
    ASSERT_TRUE(a.hit && b.hit && only0.hit);
    EXPECT_EQ(a.prism, 1);
    EXPECT_EQ(b.prism, 1);
    EXPECT_EQ(a.t, b.t);
    EXPECT_NEAR(a.t, 5.0f - 1.0f - 2.0f * 30000.0f / 65535.0f, 1e-5);
    EXPECT_GT(a.iterations, only0.iterations);
}

// Prisms whose frame cannot be inverted (a zero size, parallel axes, a
// non-finite origin) give local rays with infinite or NaN parts. Their lanes
// take no part: no step is spent on them, the nearest hit, the shadow mask
// and the counters are those of the list without them.
TEST(PacketMarch, SingularPrismsTakeNoStepAndChangeNothing)
{
    FlatBox box(30000);
    const Prism good = box.scene.prisms[0];
    Prism flat = makePrism({0, 0, 0}, {1, 0, 0}, {0, 0, -1}, 0.0f, 2.0f, 2.0f, 0);
    Prism parallel = good;
    parallel.axisV = parallel.axisU;
    Prism far = good;
    far.origin = {std::numeric_limits<float>::infinity(), 0.0f, 0.0f};
    for (const Prism& p : {flat, parallel, far}) box.scene.addPrism(p);
    box.scene.refreshPrisms();

    std::vector<Ray> rays;
    std::mt19937 rng(5);
    std::uniform_real_distribution<float> pos(0.2f, 1.8f), dir(-0.3f, 0.3f);
    for (int i = 0; i < 64; ++i) {
        Ray r;
        r.origin = {pos(rng), 3.0f, -pos(rng)};
        r.dir = normalizeSafe(Vec3{dir(rng), -1.0f, dir(rng)});
        rays.push_back(r);
    }
    TraceSettings settings;
    const SceneTracer tracer(box.scene, settings);
    const uint32_t goodOnly[] = {0};
    const uint32_t singular[] = {1, 2, 3};
    const uint32_t mixed[] = {1, 0, 2, 3};
    const auto reference = marchAll<simd::kLanes>(tracer, rays, goodOnly);
    const auto alone = marchAll<simd::kLanes>(tracer, rays, singular);
    const auto together = marchAll<simd::kLanes>(tracer, rays, mixed);
    int hits = 0;
    for (std::size_t i = 0; i < rays.size(); ++i) {
        SCOPED_TRACE(i);
        EXPECT_FALSE(alone[i].hit);
        EXPECT_EQ(alone[i].iterations, 0.0f);
        EXPECT_TRUE(sameBits(together[i], reference[i]));
        hits += reference[i].hit ? 1 : 0;
    }
    EXPECT_GT(hits, 32);

    // Shadow rays leaving the flat surface upwards, and ones under it.
    std::vector<Ray> up = rays;
    for (Ray& r : up) {
        r.origin.y = 0.2f;
        r.dir.y = -r.dir.y;
    }
    EXPECT_EQ(shadowAll<simd::kLanes>(tracer, up, mixed), shadowAll<simd::kLanes>(tracer, up, goodOnly));
    EXPECT_EQ(shadowAll<simd::kLanes>(tracer, rays, mixed), shadowAll<simd::kLanes>(tracer, rays, goodOnly));
    EXPECT_EQ(shadowAll<simd::kLanes>(tracer, rays, singular), std::vector<int>(rays.size(), 0));
}

TEST(PacketMarch, InactiveLanesAndMissesKeepTheResetRecord)
{
    FlatBox box(30000);
    TraceSettings settings;
    const SceneTracer tracer(box.scene, settings);
    Ray hitRay;
    hitRay.origin = {1.0f, 5.0f, -1.0f};
    hitRay.dir = {0.0f, -1.0f, 0.0f};
    hitRay.tmax = 77.0f;
    std::vector<Ray> rays(simd::kLanes, hitRay);
    const RayPacket packet = packRays<simd::kLanes>(rays.data(), simd::kLanes);
    HitPacket hits;
    tracePacket(tracer, hits, packet, LaneMask::fromBits(1u), tracer.allPrisms);
    EXPECT_TRUE(hits.mask.lane(0));
    for (int l = 1; l < simd::kLanes; ++l) {
        const LaneHit m = laneOf(hits, l);
        EXPECT_FALSE(m.hit);
        EXPECT_EQ(m.t, 77.0f);
        EXPECT_EQ(m.prism, -1);
        EXPECT_EQ(m.iterations, 0.0f);
        EXPECT_EQ(m.nx, 0.0f);
    }
}

// Neighbour heights of a cell, lane by lane: past the field's edge a tiling
// field wraps and a clamping one repeats its edge sample.
TEST(PacketMarch, GatherReadsNeighboursByTheFieldsEdgeRule)
{
    constexpr int L = simd::kLanes;
    std::vector<std::uint16_t> heights(16 * 16);
    for (unsigned i = 0; i < heights.size(); ++i)
        heights[i] = std::uint16_t(i * 97 + 5);
    struct Case {
        int ix, iy, dx, dy;
        unsigned wrapX, wrapY, clampX, clampY; // the sample read per edge rule
    };
    const Case cases[] = {
        {15, 0, 1, -1, 0, 15, 15, 0},  // past the right and top edges
        {0, 15, -1, 2, 15, 1, 0, 15},  // past the left and bottom edges
        {7, 8, 1, 0, 8, 8, 8, 8},      // inside: both rules agree
    };
    for (const bool clampEdges : {false, true}) {
        Scene scene;
        scene.addField(DisplacementField(16, 16, std::span<const std::uint16_t>(heights), clampEdges));
        scene.addPrism(makePrism({0, 0, 0}, {1, 0, 0}, {0, 0, -1}, 1.0f, 1.0f, 1.0f, 0));
        scene.refreshPrisms();
        const SceneTracer tracer(scene, TraceSettings{});
        for (const Case& c : cases) {
            HeightGather<L> g;
            g.view = &tracer.views[0];
            g.levelOffset = simd::vint<L>(std::int32_t(tracer.views[0].heightOffsets[0]));
            g.width = simd::vint<L>(16);
            g.height = simd::vint<L>(16);
            g.ix = simd::vint<L>(c.ix);
            g.iy = simd::vint<L>(c.iy);
            simd::vfloat<L> out;
            gatherHeights8(g, out, c.dx, c.dy);
            const unsigned x = clampEdges ? c.clampX : c.wrapX, y = clampEdges ? c.clampY : c.wrapY;
            const float expected = float(heights[y * 16 + x]) * 1.5259022e-5f;
            for (int l = 0; l < L; ++l)
                EXPECT_EQ(out.lane(l), expected) << (clampEdges ? "clamped" : "wrapped") << " cell " << c.ix << ","
                                                 << c.iy << " offset " << c.dx << "," << c.dy << " lane " << l;
        }
    }
}

// A field with a pixel grid: snapped hits sit at the centre of their grid
// cell, on the level-0 surface there, with t unchanged; without the snap
// setting nothing moves.
TEST(PacketMarch, SnapHitsMovesHitsToPixelCellCentres)
{
    std::mt19937 rng(3);
    Scene scene;
    DisplacementField field = randomField(16, 16, false, Surface::Smooth, rng);
    field.pixelGrid = 4;
    field.pixelGridOffsetX = 1;
    scene.addField(std::move(field));
    scene.addPrism(makePrism({0, 0, 0}, {1, 0, 0}, {0, 0, -1}, 4.0f, 4.0f, 1.0f, 0));
    scene.refreshPrisms();
    std::vector<Ray> rays = randomRays(scene, 64, rng);
    for (bool snap : {true, false}) {
        TraceSettings settings;
        settings.snapToPixelGrid = snap;
        const SceneTracer tracer(scene, settings);
        ASSERT_TRUE(tracer.anyPixelGrid);
        for (std::size_t base = 0; base < rays.size(); base += simd::kLanes) {
            const RayPacket packet = packRays<simd::kLanes>(&rays[base], simd::kLanes);
            HitPacket hits;
            tracePacket(tracer, hits, packet, LaneMask(true), tracer.allPrisms);
            const HitPacket before = hits;
            snapHits(tracer, hits);
            for (int l = 0; l < simd::kLanes; ++l) {
                const LaneHit a = laneOf(before, l), b = laneOf(hits, l);
                if (!snap || !a.hit) {
                    EXPECT_TRUE(sameBits(a, b));
                    continue;
                }
                float u = a.u, v = a.v;
                scene.fields[0].snapToPixelGrid(u, v);
                const float h = scene.fields[0].sampleHeight(0, u, v);
                EXPECT_EQ(b.t, a.t);
                EXPECT_EQ(b.u, u);
                EXPECT_EQ(b.v, v);
                EXPECT_EQ(b.h, h);
                const Vec3 pos = localToWorld(scene.prisms[0], u, v, h);
                EXPECT_NEAR(b.px, pos.x, 1e-5);
                EXPECT_NEAR(b.py, pos.y, 1e-5);
                EXPECT_NEAR(b.pz, pos.z, 1e-5);
                EXPECT_NEAR(b.nx * b.nx + b.ny * b.ny + b.nz * b.nz, 1.0f, 1e-5);
                EXPECT_EQ(b.nx, b.gx);
            }
        }
    }
}

// In a scene where only some fields have a pixel grid, the snap moves only
// the hits on those fields, and only where the surface at the cell centre
// lies inside the prism's box: a hit whose snapped height falls below the
// box's floor keeps what the march found.
TEST(PacketMarch, SnapHitsLeavesGridlessFieldsAndCellsBelowTheFloor)
{
    ASSERT_GE(simd::kLanes, 4);
    std::mt19937 rng(5);
    Scene scene;
    DisplacementField grid = randomField(16, 16, false, Surface::Smooth, rng);
    grid.pixelGrid = 4;
    scene.addField(std::move(grid));
    scene.addField(randomField(16, 16, false, Surface::Smooth, rng));
    scene.addPrism(makePrism({0, 0, 0}, {1, 0, 0}, {0, 0, -1}, 4.0f, 4.0f, 1.0f, 0));
    Prism raised = makePrism({0, 0, 0}, {1, 0, 0}, {0, 0, -1}, 4.0f, 4.0f, 1.0f, 0);
    raised.hMin = 2.0f;  // above every height of the field
    raised.hMax = 3.0f;
    scene.addPrism(raised);
    scene.addPrism(makePrism({5, 0, 0}, {1, 0, 0}, {0, 0, -1}, 4.0f, 4.0f, 1.0f, 1));
    scene.refreshPrisms();
    TraceSettings settings;
    settings.snapToPixelGrid = true;
    const SceneTracer tracer(scene, settings);
    ASSERT_TRUE(tracer.anyPixelGrid);

    // Lane k hits prism k at a point off its grid cell's centre; lane 3 has no hit.
    HitPacket hits;
    hits.mask = LaneMask::fromBits(0b111u);
    for (int l = 0; l < simd::kLanes; ++l) {
        const bool hit = l < 3;
        hits.t.setLane(l, hit ? 2.0f + float(l) : 1e30f);
        hits.u.setLane(l, 0.3f);
        hits.v.setLane(l, 0.55f);
        hits.h.setLane(l, 0.4f);
        hits.posX.setLane(l, 1.0f);
        hits.posY.setLane(l, 0.4f);
        hits.posZ.setLane(l, -2.0f);
        hits.normalY.setLane(l, 1.0f);
        hits.offsetNormalY.setLane(l, 1.0f);
        hits.prism.setLane(l, hit ? l : -1);
    }
    const HitPacket before = hits;
    snapHits(tracer, hits);

    const LaneHit moved = laneOf(hits, 0);
    float u = 0.3f, v = 0.55f;
    ASSERT_TRUE(scene.fields[0].snapToPixelGrid(u, v));
    ASSERT_NE(u, 0.3f);
    EXPECT_EQ(moved.u, u);
    EXPECT_EQ(moved.v, v);
    EXPECT_EQ(moved.h, scene.fields[0].sampleHeight(0, u, v));
    EXPECT_EQ(moved.t, 2.0f);
    for (int l = 1; l < simd::kLanes; ++l)
        EXPECT_TRUE(sameBits(laneOf(before, l), laneOf(hits, l))) << "lane " << l;
}

struct CounterCase {
    const char* name;
    uint8_t start;
    uint32_t startOffset;
    bool seed;
    uint32_t shellLog2;
    float iterations, descends, seedSteps;
};

// A vertical ray onto a flat 16 x 16 field (levels 0 to 4, level of detail
// off) descends one level per step from where the walk starts and hits at
// level 0, so the counters show where each start mode begins.
const CounterCase kCounterCases[] = {
    {"top", 0, 0, false, 6, 5, 4, 0},          {"fixedAtZero", 2, 0, false, 6, 1, 0, 0},
    {"fixedOffset2", 2, 2, false, 6, 3, 2, 0}, {"fixedOffsetClamped", 2, 9, false, 6, 5, 4, 0},
    {"projectedOffset3", 1, 3, false, 6, 4, 3, 0},
    // The offset is unsigned: past the signed range it still starts at the top.
    {"fixedOffsetHuge", 2, 4294967295u, false, 6, 5, 4, 0},
    {"fixedOffsetPastSigned", 2, 2147483648u, false, 6, 5, 4, 0},
    {"projectedOffsetHuge", 1, 4294967295u, false, 6, 5, 4, 0},
    // Seed level 2: the seed pass walks levels 4, 3, 2, the march 2, 1, 0.
    {"seedShell2", 0, 0, true, 2, 3, 4, 3},
    // Seed level never below 1.
    {"seedShell6", 0, 0, true, 6, 2, 4, 4},
    // The shell depth is unsigned: past the signed range it still means level 1.
    {"seedShellPastSigned", 0, 0, true, 2147483648u, 2, 4, 4},
    {"seedShellHuge", 0, 0, true, 4294967295u, 2, 4, 4},
};

// A flat 16 x 16 field (levels 0 to 4) on a 4 x 4 x 2 prism, and a
// vertical ray onto it.
Scene flatSixteen()
{
    Scene scene;
    std::vector<uint16_t> heights(16 * 16, 32768);
    scene.addField(DisplacementField(16, 16, std::span<const uint16_t>(heights), true));
    scene.addPrism(makePrism({0, 0, 0}, {1, 0, 0}, {0, 0, -1}, 4.0f, 4.0f, 2.0f, 0));
    scene.refreshPrisms();
    return scene;
}

Ray straightDown()
{
    Ray down;
    down.origin = {1.2f, 5.0f, -1.2f};
    down.dir = {0.0f, -1.0f, 0.0f};
    return down;
}

class MarchCounters : public ::testing::TestWithParam<CounterCase> {};

TEST_P(MarchCounters, WalkStartsWhereTheStartModeSays)
{
    const CounterCase& cc = GetParam();
    const Scene scene = flatSixteen();
    TraceSettings settings;
    settings.lod = false;
    settings.start = cc.start;
    settings.startOffset = cc.startOffset;
    settings.seedOracle = cc.seed;
    settings.shellLog2 = cc.shellLog2;
    const Ray down = straightDown();
    const LaneHit m = marchOne(scene, settings, down);
    ASSERT_TRUE(m.hit);
    EXPECT_EQ(m.level, 0);
    EXPECT_NEAR(m.t, 5.0f - 2.0f * 32768.0f / 65535.0f, 1e-5);
    EXPECT_EQ(m.iterations, cc.iterations);
    EXPECT_EQ(m.descends, cc.descends);
    EXPECT_EQ(m.seed, cc.seedSteps);
}

INSTANTIATE_TEST_SUITE_P(Starts, MarchCounters, ::testing::ValuesIn(kCounterCases),
                         [](const ::testing::TestParamInfo<CounterCase>& info) { return std::string(info.param.name); });

// The seed pass decides which lanes march a prism at all: a lane whose seed
// pass runs out of steps before it reaches the seed level misses the prism,
// though the walk alone, starting at level 0, hits it in one step.
TEST(PacketMarch, LaneWithoutASeedMissesWhatTheWalkAloneHits)
{
    const Scene scene = flatSixteen();
    TraceSettings settings;
    settings.lod = false;
    settings.start = 2;  // fixed at level 0
    settings.shellLog2 = 2;  // seed level 2: three steps down from level 4
    settings.maxSteps = 2;
    const Ray down = straightDown();

    settings.seedOracle = false;
    const LaneHit walk = marchOne(scene, settings, down);
    ASSERT_TRUE(walk.hit);
    EXPECT_EQ(walk.iterations, 1.0f);

    settings.seedOracle = true;
    const LaneHit seeded = marchOne(scene, settings, down);
    EXPECT_FALSE(seeded.hit);
    EXPECT_EQ(seeded.prism, -1);
    EXPECT_EQ(seeded.t, down.tmax);
    EXPECT_EQ(seeded.seed, 2.0f);
    EXPECT_EQ(seeded.iterations, 0.0f);

    // One more step reaches the seed, and the walk from there hits.
    settings.maxSteps = 3;
    const LaneHit enough = marchOne(scene, settings, down);
    ASSERT_TRUE(enough.hit);
    EXPECT_NEAR(enough.t, walk.t, 1e-5f);
}

// ---- widths agree ----

struct WidthCase {
    const char* name;
    bool lod;
    uint8_t normalMode;
    uint8_t start;
    bool seed;
};

class MarchWidths : public ::testing::TestWithParam<WidthCase> {};

// The build's width (and 4 lanes in the 8-lane build, and the tile
// renderer's pass of two packets) gives bit-identical hits, counters and
// shadow masks to the scalar path, packet by packet.
TEST_P(MarchWidths, EveryWidthMatchesTheScalarPathBitForBit)
{
    const WidthCase& wc = GetParam();
    std::mt19937 rng(77);
    for (const FieldCase& fc : kFieldCases) {
        auto scene = makeScene(fc, true, rng);
        TraceSettings settings;
        settings.lod = wc.lod;
        settings.normalMode = wc.normalMode;
        settings.start = wc.start;
        settings.seedOracle = wc.seed;
        settings.shellLog2 = 2;
        const SceneTracer tracer(*scene, settings);
        std::vector<Ray> rays = randomRays(*scene, 96, rng);
        std::uniform_real_distribution<float> spread(0.0f, 0.05f);
        for (Ray& r : rays) r.spread = spread(rng);
        const auto scalar = marchAll<1>(tracer, rays, tracer.allPrisms);
        const auto wide = marchAll<simd::kLanes>(tracer, rays, tracer.allPrisms);
        const auto shadowScalar = shadowAll<1>(tracer, rays, tracer.allPrisms);
        const auto shadowWide = shadowAll<simd::kLanes>(tracer, rays, tracer.allPrisms);
        for (std::size_t i = 0; i < rays.size(); ++i) {
            ASSERT_TRUE(sameBits(scalar[i], wide[i])) << "ray " << i << " t " << scalar[i].t << " vs " << wide[i].t;
            ASSERT_EQ(shadowScalar[i], shadowWide[i]) << "ray " << i;
        }
#if QLMR_HAVE_LANES8
        const auto four = marchAll<4>(tracer, rays, tracer.allPrisms);
        const auto shadowFour = shadowAll<4>(tracer, rays, tracer.allPrisms);
        for (std::size_t i = 0; i < rays.size(); ++i) {
            ASSERT_TRUE(sameBits(scalar[i], four[i])) << "ray " << i;
            ASSERT_EQ(shadowScalar[i], shadowFour[i]) << "ray " << i;
        }
#endif
        // The tile renderer's pass: two packets' lanes in one group.
        const auto pass = marchAll<kPassLanes>(tracer, rays, tracer.allPrisms);
        const auto shadowPass = shadowAll<kPassLanes>(tracer, rays, tracer.allPrisms);
        for (std::size_t i = 0; i < rays.size(); ++i) {
            ASSERT_TRUE(sameBits(scalar[i], pass[i])) << "ray " << i;
            ASSERT_EQ(shadowScalar[i], shadowPass[i]) << "ray " << i;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Settings, MarchWidths,
                         ::testing::Values(WidthCase{"defaults", true, 1, 1, false},
                                           WidthCase{"geometricNoLod", false, 0, 1, false},
                                           WidthCase{"cubicTop", true, 2, 0, false},
                                           WidthCase{"fixedSeed", true, 1, 2, true}),
                         [](const ::testing::TestParamInfo<WidthCase>& info) { return std::string(info.param.name); });

} // namespace
} // namespace qlmr
