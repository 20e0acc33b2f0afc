#include "scene/packet_march.h"
#include "scene/surface_shading.h"
#include "sdna/tracer.h"

#include <cmath>
#include <cstring>
#include <gtest/gtest.h>
#include <random>

namespace qlmr {
namespace {

constexpr int L = simd::kLanes;
using VF = simd::vfloat<L>;

VF lanesFrom(const float* values)
{
    return VF::load(values);
}

Vec3 randomUnit(std::mt19937& rng)
{
    std::normal_distribution<float> n(0.0f, 1.0f);
    return normalizeSafe(Vec3{n(rng), n(rng), n(rng)});
}

// ---- exponentials

TEST(SurfaceShading, PolynomialExp2TracksTheLibraryAndClamps)
{
    std::mt19937 rng(3);
    std::uniform_real_distribution<float> range(-130.0f, 0.0f);
    for (int i = 0; i < 4000; ++i) {
        float x[L];
        for (float& v : x)
            v = range(rng);
        const VF wide = exp2Poly(lanesFrom(x));
        for (int l = 0; l < L; ++l) {
            const double expected = std::exp2(std::max(double(x[l]), -126.0));
            // A Taylor polynomial of degree 5: within 1e-4 relative over a whole octave.
            EXPECT_NEAR(wide.lane(l), expected, 1e-4 * expected) << "x = " << x[l];
            // The lane width does not change a bit.
            const float one = exp2Poly(simd::vfloat<1>(x[l])).lane(0);
            const float lane = wide.lane(l);
            EXPECT_EQ(std::memcmp(&one, &lane, 4), 0);
        }
    }
    EXPECT_EQ(exp2Poly(simd::vfloat<1>(0.0f)).lane(0), 1.0f);
    EXPECT_EQ(exp2Poly(simd::vfloat<1>(3.0f)).lane(0), 1.0f);
    EXPECT_EQ(exp2Poly(simd::vfloat<1>(-1000.0f)).lane(0), std::ldexp(1.0f, -126));  // normal, not denormal
    EXPECT_NEAR(expNonPositive(simd::vfloat<1>(-1.0f)).lane(0), std::exp(-1.0), 1e-4 * std::exp(-1.0));
}

// ---- fog and sky

// Transmittance by integrating the density along the ray (Simpson, double).
double integratedFog(double originY, double t, double dirY, const RenderSettings& s)
{
    const int steps = 2000;
    auto density = [&](double d) { return s.fogDensity * std::exp(-s.fogFalloff * (originY + d * dirY - s.fogBaseHeight)); };
    double sum = density(0) + density(t);
    for (int i = 1; i < steps; ++i)
        sum += density(t * i / steps) * (i % 2 ? 4.0 : 2.0);
    return std::exp(-sum * t / (3.0 * steps));
}

TEST(SurfaceShading, HeightFogMatchesTheIntegratedDensity)
{
    std::mt19937 rng(11);
    std::uniform_real_distribution<float> unit(0.0f, 1.0f);
    for (int i = 0; i < 500; ++i) {
        RenderSettings s;
        s.fogDensity = 0.001f + 0.05f * unit(rng);
        s.fogFalloff = i % 5 == 0 ? 0.0f : 0.4f * unit(rng);
        s.fogBaseHeight = 10.0f * unit(rng) - 5.0f;
        const float originY = 30.0f * unit(rng) - 5.0f;
        const float t = 200.0f * unit(rng) + 0.01f;
        const float dirY = 2.0f * unit(rng) - 1.0f;
        const float got = fogTransmittance(simd::vfloat<1>(originY), simd::vfloat<1>(t), simd::vfloat<1>(dirY), s).lane(0);
        const double expected = integratedFog(originY, t, dirY, s);
        EXPECT_NEAR(got, expected, 1e-5 + 3e-4 * expected)
            << "y " << originY << " t " << t << " dy " << dirY << " k " << s.fogFalloff;
    }
    // No falloff: plain exp(-density t).
    RenderSettings s;
    EXPECT_NEAR(fogTransmittance(simd::vfloat<1>(3.0f), simd::vfloat<1>(100.0f), simd::vfloat<1>(-0.3f), s).lane(0),
                std::exp(-0.0011 * 100.0), 1e-4);
}

TEST(SurfaceShading, SkyRunsFromHorizonToZenithWithTheSunGlow)
{
    RenderSettings s;
    s.sunDir = {1.0f, 0.0f, 0.0f};  // on the horizon, behind the views below
    auto sky = [&](Vec3 d) {
        const LaneVec3<1> c = skyColor(splat<1>(d), s);
        return Vec3{c.x.lane(0), c.y.lane(0), c.z.lane(0)};
    };
    const Vec3 up = sky({0, 1, 0});
    EXPECT_NEAR(up.x, s.skyZenith.x, 1e-6f);
    EXPECT_NEAR(up.y, s.skyZenith.y, 1e-6f);
    EXPECT_NEAR(up.z, s.skyZenith.z, 1e-6f);
    EXPECT_EQ(sky({-0.6f, -0.8f, 0.0f}), s.skyHorizon);
    EXPECT_EQ(sky({0.0f, 0.0f, -1.0f}), s.skyHorizon);
    // Into the sun: horizon plus the full glow of 6.12 times the sun colour.
    const Vec3 sun = sky({1, 0, 0});
    EXPECT_NEAR(sun.x, s.skyHorizon.x + 6.12f * s.sunColor.x, 1e-4f);
    EXPECT_NEAR(sun.z, s.skyHorizon.z + 6.12f * s.sunColor.z, 1e-4f);
}

// ---- lighting

Vec3 referenceTerrain(Vec3 d, Vec3 n, Vec3 albedo, double cav, double vis, const RenderSettings& s)
{
    const Vec3 l = s.sunDir;
    const double ndl = std::max(double(dot(n, l)), 0.0);
    const double sun = ndl * vis;
    const double sunTerm = sun * (0.6 + 0.4 * cav);
    const double skyTerm = cav * (0.55 + 0.45 * n.y);
    double spec = 0.0;
    if (s.specular > 0.0f) {
        const Vec3 v = -d;
        const Vec3 h = normalizeSafe(l + v);
        const double a = std::pow(std::max(double(dot(n, h)), 0.0), 8.0);
        const double rough = std::clamp(s.roughness + 0.3 * (1.0 - cav), 0.15, 0.95);
        const double lobe = a + (std::pow(a, 4.0) - a) * (1.0 - rough);
        const double fresnel = 0.04 + 0.96 * std::pow(1.0 - std::max(double(dot(n, v)), 0.0), 5.0);
        spec = lobe * fresnel * s.specular * ndl * vis * cav;
    }
    auto ch = [&](float a, float sc, float amb) { return float(a * (sunTerm * sc + skyTerm * amb) + spec * sc); };
    return {ch(albedo.x, s.sunColor.x, s.ambient.x), ch(albedo.y, s.sunColor.y, s.ambient.y),
            ch(albedo.z, s.sunColor.z, s.ambient.z)};
}

TEST(SurfaceShading, TerrainLightingMatchesTheFormulaWithAndWithoutSpecular)
{
    std::mt19937 rng(5);
    std::uniform_real_distribution<float> unit(0.0f, 1.0f);
    for (int i = 0; i < 2000; ++i) {
        RenderSettings s;
        s.specular = i % 2 ? 0.0f : 2.0f * unit(rng);
        s.roughness = unit(rng);
        const Vec3 d = randomUnit(rng), n = randomUnit(rng);
        const Vec3 albedo{unit(rng), unit(rng), unit(rng)};
        const float cav = 0.35f + 0.65f * unit(rng);
        const float vis = i % 3 == 0 ? 0.0f : 1.0f;
        const LaneVec3<1> c = lightTerrain(splat<1>(d), splat<1>(n), splat<1>(albedo), simd::vfloat<1>(cav),
                                           simd::vfloat<1>(vis), s);
        const Vec3 expected = referenceTerrain(d, n, albedo, cav, vis, s);
        EXPECT_NEAR(c.x.lane(0), expected.x, 1e-5f + 1e-5f * expected.x);
        EXPECT_NEAR(c.y.lane(0), expected.y, 1e-5f + 1e-5f * expected.y);
        EXPECT_NEAR(c.z.lane(0), expected.z, 1e-5f + 1e-5f * expected.z);
        if (dot(n, s.sunDir) <= 0.0f) {
            // Facing away from the sun: sky light alone.
            const double sky = cav * (0.55 + 0.45 * n.y);
            EXPECT_NEAR(c.x.lane(0), albedo.x * sky * s.ambient.x, 1e-5f);
        }
    }
}

// The light reaching the water from the lit sun share: no cavity factor.
Vec3 referenceWaterLight(Vec3 n, double sun, const RenderSettings& s)
{
    const double sky = 0.55 + 0.45 * n.y;
    double light[3];
    for (int i = 0; i < 3; ++i)
        light[i] = sun * s.sunColor[i] + sky * s.ambient[i];
    return {float(light[0]), float(light[1]), float(light[2])};
}

Vec3 referenceWater(Vec3 d, Vec3 n, Vec3 albedo, Vec3 lightColor, double depth, double vis, const RenderSettings& s,
                    const Vec3* reflection)
{
    const double c = std::max(std::fabs(double(dot(d, n))), 0.05);
    const double fresnel = 0.02 + 0.98 * std::pow(1.0 - c, 5.0);
    const Vec3 r = d - n * (2.0f * dot(d, n));
    const double rs = std::max(double(dot(r, s.sunDir)), 0.0);
    const double glow = 6.0 * std::pow(rs, 512.0) + 0.12 * std::pow(rs, 8.0);
    const double k = std::sqrt(std::clamp(double(r.y), 0.0, 1.0));
    const double kc[3] = {0.45, 0.075, 0.035}, sc[3] = {0.012, 0.04, 0.05};
    double out[3];
    for (int i = 0; i < 3; ++i) {
        const double light = lightColor[i];
        const double reflected = reflection ? (*reflection)[i]
                                            : (s.skyZenith[i] - s.skyHorizon[i]) * k + s.skyHorizon[i] + vis * glow * s.sunColor[i];
        const double tr = std::exp(-(1.0 + 1.0 / c) * depth * kc[i]);
        const double body = albedo[i] * light * tr + light * sc[i] * (1.0 - tr);
        out[i] = body * (1.0 - fresnel) + reflected * fresnel;
    }
    return {float(out[0]), float(out[1]), float(out[2])};
}

TEST(SurfaceShading, WaterShadingMatchesTheFormula)
{
    std::mt19937 rng(9);
    std::uniform_real_distribution<float> unit(0.0f, 1.0f);
    const RenderSettings s;
    for (int i = 0; i < 2000; ++i) {
        const Vec3 d = randomUnit(rng), n = randomUnit(rng);
        const Vec3 albedo{unit(rng), unit(rng), unit(rng)};
        const float sun = 2.0f * unit(rng), depth = 20.0f * unit(rng), vis = float(i % 2);
        const bool reflect = i % 3 == 0;
        const Vec3 reflection{unit(rng), unit(rng), unit(rng)};
        const LaneVec3<1> c = shadePacket(splat<1>(d), splat<1>(n), splat<1>(albedo), simd::vfloat<1>(sun),
                                          simd::vfloat<1>(depth), simd::vfloat<1>(vis), s, splat<1>(reflection),
                                          simd::vmask<1>(reflect));
        const Vec3 expected = referenceWater(d, n, albedo, referenceWaterLight(n, sun, s), depth, vis, s,
                                             reflect ? &reflection : nullptr);
        EXPECT_NEAR(c.x.lane(0), expected.x, 1e-4f + 2e-4f * expected.x) << i;
        EXPECT_NEAR(c.y.lane(0), expected.y, 1e-4f + 2e-4f * expected.y) << i;
        EXPECT_NEAR(c.z.lane(0), expected.z, 1e-4f + 2e-4f * expected.z) << i;
        // The same water under a light colour given by the caller.
        const Vec3 light{4.0f * unit(rng), 4.0f * unit(rng), 4.0f * unit(rng)};
        const LaneVec3<1> lit = shadePacket(splat<1>(d), splat<1>(n), splat<1>(albedo), splat<1>(light),
                                            simd::vfloat<1>(depth), simd::vfloat<1>(vis), s, splat<1>(reflection),
                                            simd::vmask<1>(reflect));
        const Vec3 underLight = referenceWater(d, n, albedo, light, depth, vis, s, reflect ? &reflection : nullptr);
        EXPECT_NEAR(lit.x.lane(0), underLight.x, 1e-4f + 2e-4f * underLight.x) << i;
        EXPECT_NEAR(lit.y.lane(0), underLight.y, 1e-4f + 2e-4f * underLight.y) << i;
        EXPECT_NEAR(lit.z.lane(0), underLight.z, 1e-4f + 2e-4f * underLight.z) << i;
    }
}

// ---- lane samplers against the field's own

TEST(SurfaceShading, LaneSamplersGiveTheFieldSamplersBits)
{
    struct Shape {
        std::uint32_t width, height, albedoWidth, albedoHeight;
        bool clamp;
    };
    const Shape shapes[] = {{16, 64, 32, 8, true}, {16, 64, 32, 8, false}, {1, 8, 1, 4, true},
                            {8, 1, 16, 1, false}, {64, 64, 128, 128, false}};
    std::mt19937 rng(17);
    std::uniform_real_distribution<float> coordinate(-0.6f, 1.6f), lodRange(-1.5f, 9.0f);
    for (const Shape& shape : shapes) {
        std::vector<std::uint16_t> heights(std::size_t(shape.width) * shape.height);
        for (std::uint16_t& h : heights)
            h = std::uint16_t(rng());
        DisplacementField field(shape.width, shape.height, std::span<const std::uint16_t>(heights), shape.clamp);
        std::vector<std::uint32_t> albedo(std::size_t(shape.albedoWidth) * shape.albedoHeight);
        for (std::uint32_t& a : albedo)
            a = std::uint32_t(rng());
        field.setAlbedo(shape.albedoWidth, shape.albedoHeight, albedo);
        for (int round = 0; round < 300; ++round) {
            float u[L], v[L], lod[L];
            std::int32_t level[L];
            for (int l = 0; l < L; ++l) {
                u[l] = coordinate(rng);
                v[l] = coordinate(rng);
                lod[l] = round % 7 == 0 ? float(int(lodRange(rng))) : lodRange(rng);
                level[l] = std::int32_t(rng() % field.levels);
            }
            const simd::vmask<L> all(true);
            const AlbedoLanes<L> a = sampleAlbedoLanes(field, all, VF::load(u), VF::load(v), VF::load(lod));
            const VF h = sampleHeightLanes(field, all, simd::vint<L>::load(level), VF::load(u), VF::load(v));
            for (int l = 0; l < L; ++l) {
                const std::array<float, 4> expected = field.sampleAlbedo(u[l], v[l], lod[l]);
                for (int k = 0; k < 4; ++k) {
                    const float got = a.c[k].lane(l);
                    EXPECT_EQ(std::memcmp(&got, &expected[k], 4), 0)
                        << "albedo channel " << k << " at " << u[l] << "," << v[l] << " lod " << lod[l] << ": "
                        << got << " vs " << expected[k];
                }
                const float expectedHeight = field.sampleHeight(std::uint32_t(level[l]), u[l], v[l]);
                const float gotHeight = h.lane(l);
                EXPECT_EQ(std::memcmp(&gotHeight, &expectedHeight, 4), 0)
                    << "height at level " << level[l] << ": " << gotHeight << " vs " << expectedHeight;
            }
        }
    }
    // Without albedo: the field's grey.
    std::vector<std::uint16_t> flat(4 * 4, 0);
    const DisplacementField bare(4, 4, std::span<const std::uint16_t>(flat), true);
    const AlbedoLanes<L> grey = sampleAlbedoLanes(bare, simd::vmask<L>(true), VF(0.5f), VF(0.5f), VF(0.0f));
    EXPECT_EQ(grey.c[0].lane(0), 0.7f);
    EXPECT_EQ(grey.c[3].lane(0), 1.0f);
}

// ---- surface fetch on marched hits

TEST(SurfaceShading, CavityStaysInRangeAndDarkensHollows)
{
    Scene scene;
    std::mt19937 rng(21);
    std::vector<std::uint16_t> heights(64 * 64);
    for (std::uint16_t& h : heights)
        h = std::uint16_t(rng() & 0xFFFF);
    scene.addField(DisplacementField(64, 64, std::span<const std::uint16_t>(heights), false));
    scene.addPrism(makePrism({0, 0, 0}, {1, 0, 0}, {0, 0, -1}, 16.0f, 16.0f, 3.0f, 0));
    scene.refreshPrisms();
    const SceneTracer tracer(scene, TraceSettings{});
    std::uniform_real_distribution<float> unit(0.0f, 1.0f);
    int darkened = 0, hits = 0;
    for (int i = 0; i < 300; ++i) {
        RayPacketOf<1> ray;
        const Vec3 target{16.0f * unit(rng), 0.0f, -16.0f * unit(rng)};
        const Vec3 origin{8.0f, 10.0f, 8.0f};
        const Vec3 d = normalizeSafe(target - origin);
        ray.originX = origin.x;
        ray.originY = origin.y;
        ray.originZ = origin.z;
        ray.dirX = d.x;
        ray.dirY = d.y;
        ray.dirZ = d.z;
        ray.tmin = 0.0f;
        ray.tmax = 1e30f;
        ray.coneRadius = 0.0f;
        ray.coneSpread = 0.002f;
        HitPacketOf<1> hit;
        tracePacket(tracer, hit, ray, simd::vmask<1>(true), std::span<const std::uint32_t>(tracer.allPrisms));
        SurfacePacketOf<1> surface;
        fetchSurface(tracer, surface, hit, ray);
        const float cavity = surface.cavity.lane(0);
        EXPECT_GE(cavity, 0.35f);
        EXPECT_LE(cavity, 1.0f);
        if (!simd::any(hit.mask)) {
            EXPECT_EQ(cavity, 1.0f);
            EXPECT_EQ(surface.albedoR.lane(0), 0.0f);
            continue;
        }
        ++hits;
        darkened += cavity < 1.0f;
        EXPECT_FLOAT_EQ(surface.albedoR.lane(0), 0.7f);  // no albedo: the field's grey
        EXPECT_EQ(surface.waterFlag.lane(0), 0.0f);
    }
    EXPECT_GT(hits, 200);
    EXPECT_GT(darkened, 0);
}

// ---- the solid object under and above water

SdnaProgram unitSphere(float red, float green, float blue)
{
    SdnaProgram program;
    SdnaInstruction sphere;
    sphere.op = SdnaOp::Sphere;
    sphere.p = {0, 0, 0, 1.0f, 0, 0, 0, 0};
    program.instructions.push_back(sphere);
    program.materials.push_back(SdnaMaterial{red, green, blue, 0.5f});
    program.boundsMin = {-1.01f, -1.01f, -1.01f};
    program.boundsMax = {1.01f, 1.01f, 1.01f};
    return program;
}

// A water hit at (0, 0, 0) with an upward normal, seen from above along `dir`.
struct WaterLane {
    RayPacketOf<1> ray;
    HitPacketOf<1> hit;
    SurfacePacketOf<1> surface;
    WaterLane(Vec3 dir, float t, float depth)
    {
        ray.originX = -dir.x * t;
        ray.originY = -dir.y * t;
        ray.originZ = -dir.z * t;
        ray.dirX = dir.x;
        ray.dirY = dir.y;
        ray.dirZ = dir.z;
        ray.tmin = 0.0f;
        ray.tmax = 1e30f;
        ray.coneRadius = 0.0f;
        ray.coneSpread = 0.001f;
        hit.mask = simd::vmask<1>(true);
        hit.t = t;
        hit.posX = hit.posY = hit.posZ = 0.0f;
        hit.normalX = hit.normalZ = hit.offsetNormalX = hit.offsetNormalZ = 0.0f;
        hit.normalY = hit.offsetNormalY = 1.0f;
        hit.prism = 0;
        hit.level = 0;
        surface.albedoR = surface.albedoG = surface.albedoB = 0.3f;
        surface.cavity = 1.0f;
        surface.material = 0;
        surface.waterDepth = depth;
        surface.waterFlag = 1.0f;
    }
};

TEST(SurfaceShading, SolidUnderWaterIsSeenThroughAShallowerDepth)
{
    const SdnaProgram program = unitSphere(0.9f, 0.2f, 0.1f);
    SdnaInstance solid;
    solid.program = &program;
    solid.translation = {0.0f, -1.5f, 0.0f};  // top of the sphere 0.5 under the surface
    const Vec3 dir{0.0f, -1.0f, 0.0f};
    WaterLane lane(dir, 10.0f, 4.0f);
    const RenderSettings s;
    LaneVec3<1> reflection;
    simd::vmask<1> reflectionMask;
    traceSolid(solid, lane.ray, simd::vmask<1>(true), lane.hit, lane.surface, s, reflection, reflectionMask);
    EXPECT_EQ(lane.hit.prism.lane(0), 0);  // the water stays the hit
    EXPECT_NEAR(lane.surface.waterDepth.lane(0), 0.5f, 1e-3f);
    EXPECT_EQ(lane.surface.albedoR.lane(0), 0.9f);
    EXPECT_EQ(lane.surface.albedoG.lane(0), 0.2f);
    EXPECT_FALSE(simd::any(reflectionMask));  // the mirror ray goes up, away from the sphere
    EXPECT_GT(lane.hit.iterations.lane(0), 0.0f);  // the solid's steps count as cost

    // A deep sphere leaves the water's own depth and colour.
    solid.translation = {0.0f, -20.0f, 0.0f};
    WaterLane deep(dir, 10.0f, 4.0f);
    traceSolid(solid, deep.ray, simd::vmask<1>(true), deep.hit, deep.surface, s, reflection, reflectionMask);
    EXPECT_EQ(deep.surface.waterDepth.lane(0), 4.0f);
    EXPECT_EQ(deep.surface.albedoR.lane(0), 0.3f);
}

TEST(SurfaceShading, SolidAboveWaterShowsInTheReflection)
{
    const SdnaProgram program = unitSphere(0.1f, 0.8f, 0.2f);
    SdnaInstance solid;
    solid.program = &program;
    // The view ray comes down at 45 degrees towards +x; its mirror image goes
    // up towards +x, where the sphere floats.
    const Vec3 dir = normalizeSafe(Vec3{1.0f, -1.0f, 0.0f});
    solid.translation = {5.0f, 5.0f, 0.0f};
    WaterLane lane(dir, 10.0f, 2.0f);
    const RenderSettings s;
    LaneVec3<1> reflection;
    simd::vmask<1> reflectionMask;
    traceSolid(solid, lane.ray, simd::vmask<1>(true), lane.hit, lane.surface, s, reflection, reflectionMask);
    ASSERT_TRUE(simd::any(reflectionMask));
    EXPECT_EQ(lane.surface.waterDepth.lane(0), 2.0f);  // nothing under the water
    // The mirror ray starts 2 * spread * t = 0.02 above the hit, along the offset normal.
    const Vec3 mirror{dir.x, -dir.y, dir.z};
    const SdnaHit m = traceInstance(solid, {0.0f, 0.02f, 0.0f}, {mirror.x, mirror.y, mirror.z}, 0.0f, 10000.0f,
                                    SdnaTraceOptions{96, 0.0005f, 0.0f, true});
    ASSERT_NE(m.status, kSdnaMiss);
    const Vec3 n{m.normal[0], m.normal[1], m.normal[2]};
    const float sky = 0.45f * n.y + 0.55f, sun = std::max(dot(n, s.sunDir), 0.0f);
    EXPECT_NEAR(reflection.y.lane(0), 0.8f * (sky * s.ambient.y + sun * s.sunColor.y), 1e-3f);

    // A sphere nearer than the water replaces the hit outright.
    solid.translation = {-4.0f, 4.0f, 0.0f};  // on the view ray, 4 sqrt(2) from the surface
    WaterLane blocked(dir, 10.0f, 2.0f);
    traceSolid(solid, blocked.ray, simd::vmask<1>(true), blocked.hit, blocked.surface, s, reflection, reflectionMask);
    EXPECT_EQ(blocked.hit.prism.lane(0), -1);
    EXPECT_EQ(blocked.hit.level.lane(0), 0);
    EXPECT_NEAR(blocked.hit.t.lane(0), 10.0f - 4.0f * std::sqrt(2.0f) - 1.0f, 1e-3f);
    EXPECT_EQ(blocked.surface.waterFlag.lane(0), 0.0f);
    EXPECT_EQ(blocked.surface.cavity.lane(0), 1.0f);
    EXPECT_EQ(blocked.surface.albedoG.lane(0), 0.8f);
    EXPECT_FALSE(simd::any(reflectionMask));
}

// ---- normal refinement

TEST(SurfaceShading, RefinementBlendsTowardsTheCoarseGradient)
{
    // A ramp h = u along a 2 x 2 x 1 prism: slope 0.5, normal (-0.5, 1, 0) normalised.
    Scene scene;
    std::vector<float> ramp(32 * 32);
    for (unsigned y = 0; y < 32; ++y)
        for (unsigned x = 0; x < 32; ++x)
            ramp[y * 32 + x] = float(x) / 32.0f;
    scene.addField(DisplacementField(32, 32, std::span<const float>(ramp), true));
    scene.addPrism(makePrism({0, 0, 0}, {1, 0, 0}, {0, 0, -1}, 2.0f, 2.0f, 1.0f, 0));
    scene.refreshPrisms();
    const SceneTracer tracer(scene, TraceSettings{});
    HitPacketOf<1> hit;
    hit.mask = simd::vmask<1>(true);
    hit.normalX = 0.0f;
    hit.normalY = 1.0f;
    hit.normalZ = 0.0f;
    hit.u = 0.5f;
    hit.v = 0.5f;
    hit.prism = 0;
    hit.level = 0;
    const Vec3 slope = normalizeSafe(Vec3{-0.5f, 1.0f, 0.0f});
    const LaneVec3<1> full = refineNormals(tracer, hit, simd::vmask<1>(true), 1.0f);
    EXPECT_NEAR(full.x.lane(0), slope.x, 1e-4f);
    EXPECT_NEAR(full.y.lane(0), slope.y, 1e-4f);
    const LaneVec3<1> half = refineNormals(tracer, hit, simd::vmask<1>(true), 0.5f);
    const Vec3 blended = normalizeSafe(Vec3{0, 1, 0} * 0.5f + slope * 0.5f);
    EXPECT_NEAR(half.x.lane(0), blended.x, 1e-4f);
    // Off, outside the mask, or on the solid object: the hit normal.
    for (const auto& n : {refineNormals(tracer, hit, simd::vmask<1>(true), 0.0f),
                          refineNormals(tracer, hit, simd::vmask<1>(false), 1.0f)})
        EXPECT_EQ(n.x.lane(0), 0.0f);
    // Written to three lane vectors: the same normal.
    simd::vfloat<1> nx, ny, nz;
    refineNormals(tracer, nx, ny, nz, hit, simd::vmask<1>(true), 1.0f);
    EXPECT_NEAR(nx.lane(0), slope.x, 1e-4f);
    EXPECT_NEAR(ny.lane(0), slope.y, 1e-4f);
    EXPECT_NEAR(nz.lane(0), slope.z, 1e-4f);
    hit.prism = -1;
    EXPECT_EQ(refineNormals(tracer, hit, simd::vmask<1>(true), 1.0f).x.lane(0), 0.0f);
}

TEST(SurfaceShading, RefinedNormalTurnedToTheSunIsLitWithoutAShadowRay)
{
    Scene scene;
    std::vector<float> ramp(32 * 32);
    for (unsigned y = 0; y < 32; ++y)
        for (unsigned x = 0; x < 32; ++x)
            ramp[y * 32 + x] = float(x) / 32.0f;
    scene.addField(DisplacementField(32, 32, std::span<const float>(ramp), true));
    scene.addPrism(makePrism({0, 0, 0}, {1, 0, 0}, {0, 0, -1}, 2.0f, 2.0f, 1.0f, 0));
    scene.refreshPrisms();
    const SceneTracer tracer(scene, TraceSettings{});

    // The march normal faces away from the sun; the ramp's normal faces it.
    const Vec3 marchNormal = normalizeSafe(Vec3{0.3f, 0.2f, -0.93f});
    RenderSettings s;
    ASSERT_LT(dot(marchNormal, s.sunDir), 0.0f);
    RayPacketOf<1> ray;
    ray.originX = 1.0f;
    ray.originY = 3.0f;
    ray.originZ = -1.0f;
    ray.dirX = 0.0f;
    ray.dirY = -1.0f;
    ray.dirZ = 0.0f;
    ray.tmin = 0.0f;
    ray.tmax = 1e30f;
    ray.coneRadius = 0.0f;
    ray.coneSpread = 0.001f;
    auto shade = [&](float weight, int& shadowRays) {
        HitPacketOf<1> hit;
        hit.mask = simd::vmask<1>(true);
        hit.t = 2.5f;
        hit.posX = 1.0f;
        hit.posY = 0.5f;
        hit.posZ = -1.0f;
        hit.normalX = hit.offsetNormalX = marchNormal.x;
        hit.normalY = hit.offsetNormalY = marchNormal.y;
        hit.normalZ = hit.offsetNormalZ = marchNormal.z;
        hit.u = hit.v = hit.h = 0.5f;
        hit.prism = 0;
        hit.level = 0;
        s.normalRefine = weight;
        LaneVec3<1> color;
        shadowRays = shadeHits(tracer, nullptr, ray, simd::vmask<1>(true), hit, s, color);
        return color.x.lane(0);
    };
    int raysOff = -1, raysOn = -1;
    const float off = shade(0.0f, raysOff);
    const float on = shade(1.0f, raysOn);
    EXPECT_EQ(raysOff, 0);
    EXPECT_EQ(raysOn, 0);
    // Fully refined: the ramp normal, sunlit with visibility 1.
    const Vec3 ramped = normalizeSafe(Vec3{-0.5f, 1.0f, 0.0f});
    const float fog = std::exp(-s.fogDensity * 2.5f);
    const float expected = 0.7f * (dot(ramped, s.sunDir) * s.sunColor.x + (0.55f + 0.45f * ramped.y) * s.ambient.x);
    EXPECT_NEAR(on, expected * fog + s.skyHorizon.x * (1.0f - fog), 1e-3f);
    EXPECT_GT(on, off + 0.5f);
}

} // namespace
} // namespace qlmr
