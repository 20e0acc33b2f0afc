#pragma once

// Turns a marched packet into colours: surface fetch (albedo, material,
// cavity, water depth), the optional solid object, normal refinement, sun
// visibility, terrain and water lighting, height fog and sky. Written once
// over the lane width; the library carries the build's width and the
// one-lane path that tests use as the per-pixel oracle.

#include <cstdint>
#include <span>
#include <vector>

#include "scene/packets.h"
#include "scene/scene_tracer.h"
#include "scene/settings.h"
#include "scene/shadow_horizon.h"
#include "scene/simd/lanes.h"
#include "sdna/program.h"

namespace qlmr {

// Three lane vectors: a direction, normal or colour per lane.
template <int N>
struct LaneVec3 {
    simd::vfloat<N> x, y, z;
};

template <int N>
inline LaneVec3<N> splat(Vec3 v)
{
    return {simd::vfloat<N>(v.x), simd::vfloat<N>(v.y), simd::vfloat<N>(v.z)};
}

template <int N>
inline simd::vfloat<N> dot(const LaneVec3<N>& a, const LaneVec3<N>& b)
{
    return a.x * b.x + a.y * b.y + a.z * b.z;
}

template <int N>
inline LaneVec3<N> select(simd::vmask<N> m, const LaneVec3<N>& a, const LaneVec3<N>& b)
{
    return {simd::select(m, a.x, b.x), simd::select(m, a.y, b.y), simd::select(m, a.z, b.z)};
}

// Per-lane surface record filled by fetchSurface.
template <int N>
struct SurfacePacketOf {
    simd::vfloat<N> albedoR, albedoG, albedoB; // 0 without a hit
    simd::vfloat<N> cavity;                    // darkening in [0.35, 1]; 1 without a hit
    simd::vint<N> material;                    // the field's material byte; 0 without a hit
    simd::vfloat<N> waterDepth;                // 0 unless the prism is water
    simd::vfloat<N> waterFlag;                 // 1 on water prisms, else 0
};

using SurfacePacket = SurfacePacketOf<simd::kLanes>;

// ---- exponentials without a library call

// 2^x for x clamped to [-126, 0]: a degree-5 polynomial for the fraction
// times the integer power built in the exponent field.
template <int N>
inline simd::vfloat<N> exp2Poly(simd::vfloat<N> x)
{
    using VF = simd::vfloat<N>;
    x = simd::clamp(x, VF(-126.0f), VF(0.0f));
    const VF n = simd::floor(x);
    const VF f = x - n;
    const VF p = VF(1.0f) +
        f * (VF(0.6931472f) + f * (VF(0.2402265f) + f * (VF(0.05550411f) + f * (VF(0.009618129f) + f * VF(0.0013333558f)))));
    return p * simd::exp2Int(simd::toInt(n));
}

// exp(y) for y <= 0 (larger y saturate at 1).
template <int N>
inline simd::vfloat<N> expNonPositive(simd::vfloat<N> y)
{
    return exp2Poly(y * simd::vfloat<N>(1.442695f));
}

// x^(2^k) by k squarings.
template <int N>
inline simd::vfloat<N> powTwoPower(simd::vfloat<N> x, int k)
{
    for (int i = 0; i < k; ++i)
        x = x * x;
    return x;
}

// ---- sky and fog

// Sun glow around the sun direction: 6 c^512 + 0.12 c^8.
template <int N>
inline simd::vfloat<N> sunGlow(simd::vfloat<N> c)
{
    const simd::vfloat<N> c8 = powTwoPower(c, 3);
    const simd::vfloat<N> c512 = powTwoPower(c8, 6);
    return simd::vfloat<N>(6.0f) * c512 + simd::vfloat<N>(0.12f) * c8;
}

// Zenith-to-horizon gradient by the square root of the clamped height of d,
// without the sun glow.
template <int N>
inline LaneVec3<N> skyGradient(simd::vfloat<N> dirY, const RenderSettings& s)
{
    using VF = simd::vfloat<N>;
    const VF k = simd::sqrt(simd::min(simd::max(dirY, VF(0.0f)), VF(1.0f)));
    return {VF(s.skyZenith.x - s.skyHorizon.x) * k + VF(s.skyHorizon.x),
            VF(s.skyZenith.y - s.skyHorizon.y) * k + VF(s.skyHorizon.y),
            VF(s.skyZenith.z - s.skyHorizon.z) * k + VF(s.skyHorizon.z)};
}

// Sky colour seen along the unit direction d.
template <int N>
inline LaneVec3<N> skyColor(const LaneVec3<N>& d, const RenderSettings& s)
{
    using VF = simd::vfloat<N>;
    const VF glow = sunGlow(simd::max(dot(d, splat<N>(s.sunDir)), VF(0.0f)));
    const LaneVec3<N> g = skyGradient(d.y, s);
    return {g.x + glow * VF(s.sunColor.x), g.y + glow * VF(s.sunColor.y), g.z + glow * VF(s.sunColor.z)};
}

// Transmittance of the height fog over distance t from an origin at height
// originY along a ray whose direction has height dirY.
template <int N>
inline simd::vfloat<N> fogTransmittance(simd::vfloat<N> originY, simd::vfloat<N> t, simd::vfloat<N> dirY,
                                        const RenderSettings& s)
{
    using VF = simd::vfloat<N>;
    // Uniform fog: with no falloff a and b below are 0 and g and exp(-a) are
    // exactly 1, so this is the same value without the two extra exponentials.
    if (s.fogFalloff == 0.0f)
        return expNonPositive(-(VF(s.fogDensity) * t));
    const VF falloff(s.fogFalloff);
    const VF y0 = originY - VF(s.fogBaseHeight);
    const VF a = simd::max(falloff * simd::min(y0, y0 + t * dirY), VF(-40.0f));
    const VF b = falloff * simd::abs(t * dirY);
    // (1 - e^-b) / b, by its series where the quotient would cancel.
    const VF series = VF(1.0f) - b * (VF(0.5f) - b * (VF(1.0f / 6.0f) - b / VF(24.0f)));
    const VF quotient = (VF(1.0f) - expNonPositive(-b)) / b;
    const VF g = simd::select(b < VF(0.1f), series, quotient);
    // exp(-a): a below 0 is taken as the reciprocal of exp(a), so the
    // polynomial only ever sees non-positive arguments.
    const VF expMinusA = simd::select(a < VF(0.0f), VF(1.0f) / expNonPositive(a), expNonPositive(-a));
    return expNonPositive(-(VF(s.fogDensity) * t * expMinusA * g));
}

// ---- field lookups on lanes (the same arithmetic as the field's own samplers)

// Sizes and first indices of every level of a field, for per-lane gathers.
struct LevelTable {
    std::int32_t width[kMaxFieldLevels] = {};
    std::int32_t height[kMaxFieldLevels] = {};
    std::int32_t offset[kMaxFieldLevels] = {};
};

// A field's albedo and height level tables. The tile renderer builds them
// once per frame for every field so that packets do not rebuild them.
struct FieldLevelTables {
    LevelTable albedo;
    LevelTable height;
};

FieldLevelTables fieldLevelTables(const DisplacementField& field);

template <int N>
struct AlbedoLanes {
    simd::vfloat<N> c[4]; // red, green, blue, alpha in 0..1
};

// DisplacementField::sampleAlbedo for the lanes of the mask (others read nothing).
template <int N>
AlbedoLanes<N> sampleAlbedoLanes(const DisplacementField& field, simd::vmask<N> lanes, simd::vfloat<N> u,
                                 simd::vfloat<N> v, simd::vfloat<N> lod);

// DisplacementField::sampleHeight at a per-lane level.
template <int N>
simd::vfloat<N> sampleHeightLanes(const DisplacementField& field, simd::vmask<N> lanes, simd::vint<N> level,
                                  simd::vfloat<N> u, simd::vfloat<N> v);

// ---- packet operations (steps in the order the tile renderer calls them)

// Albedo, material, cavity and water depth of every hit lane. `tables` holds
// the level tables of every scene field by field index; when empty they are
// built per call.
template <int N>
void fetchSurface(const SceneTracer& tracer, SurfacePacketOf<N>& out, const HitPacketOf<N>& hits,
                  const RayPacketOf<N>& rays, std::span<const FieldLevelTables> tables = {});

// Traces the solid object for the valid lanes: nearer solid hits replace the
// field hit; water lanes in front of it see it through the water and get its
// reflection (reflection colour and mask out).
template <int N>
void traceSolid(const SdnaInstance& solid, const RayPacketOf<N>& rays, simd::vmask<N> valid, HitPacketOf<N>& hits,
                SurfacePacketOf<N>& surface, const RenderSettings& settings, LaneVec3<N>& reflection,
                simd::vmask<N>& reflectionMask);

// Shading normals blended towards the normal of a coarser height gradient;
// lanes outside the mask, solid hits, water and pixel-grid fields keep the
// hit normal.
template <int N>
LaneVec3<N> refineNormals(const SceneTracer& tracer, const HitPacketOf<N>& hits, simd::vmask<N> lanes, float weight);

// The same with the refined normal written to three lane vectors.
template <int N>
inline void refineNormals(const SceneTracer& tracer, simd::vfloat<N>& normalX, simd::vfloat<N>& normalY,
                          simd::vfloat<N>& normalZ, const HitPacketOf<N>& hits, simd::vmask<N> lanes, float weight)
{
    const LaneVec3<N> n = refineNormals(tracer, hits, lanes, weight);
    normalX = n.x;
    normalY = n.y;
    normalZ = n.z;
}

// Visibility with the lanes that the solid object blocks towards the sun set to 0.
template <int N>
simd::vfloat<N> traceSolidShadow(const SdnaInstance& solid, const RayPacketOf<N>& shadowRays, simd::vmask<N> lanes,
                                 Vec3 sunDir, simd::vfloat<N> visibility);

// Water colour of every lane: transmitted body colour and Fresnel-weighted
// reflection (of the sky, or of the solid object where reflectionMask is set).
// `light`: the light reaching the water, sun share plus sky share.
template <int N>
LaneVec3<N> shadePacket(const LaneVec3<N>& dir, const LaneVec3<N>& normal, const LaneVec3<N>& albedo,
                        const LaneVec3<N>& light, simd::vfloat<N> waterDepth, simd::vfloat<N> visibility,
                        const RenderSettings& settings, const LaneVec3<N>& reflection, simd::vmask<N> reflectionMask);

// The same with the light made from the lit sun share `sun` (N.L times the
// visibility): sun * sun colour + (0.55 + 0.45 N.y) * ambient, without the
// cavity factor the terrain gets.
template <int N>
LaneVec3<N> shadePacket(const LaneVec3<N>& dir, const LaneVec3<N>& normal, const LaneVec3<N>& albedo,
                        simd::vfloat<N> sun, simd::vfloat<N> waterDepth, simd::vfloat<N> visibility,
                        const RenderSettings& settings, const LaneVec3<N>& reflection, simd::vmask<N> reflectionMask);

// Terrain lighting: sun with visibility, sky light, optional specular.
template <int N>
LaneVec3<N> lightTerrain(const LaneVec3<N>& dir, const LaneVec3<N>& normal, const LaneVec3<N>& albedo,
                         simd::vfloat<N> cavity, simd::vfloat<N> visibility, const RenderSettings& settings);

// The shadow rays of a shaded packet: from every valid hit lane whose march
// normal faces the sun, lifted off the surface along the offset normal by
// max(0.01, twice the primary footprint), towards the sun over [0, 10000].
template <int N>
struct SunRays {
    RayPacketOf<N> rays;
    simd::vmask<N> lit; // the lanes that cast one
};

template <int N>
inline SunRays<N> sunRays(const HitPacketOf<N>& hits, const RayPacketOf<N>& primary, simd::vmask<N> valid,
                          const RenderSettings& s)
{
    using VF = simd::vfloat<N>;
    const LaneVec3<N> sunDir = splat<N>(s.sunDir);
    const LaneVec3<N> marchNormal{hits.normalX, hits.normalY, hits.normalZ};
    SunRays<N> out;
    out.lit = hits.mask & valid & (dot(marchNormal, sunDir) > VF(0.0f));
    const VF footprint = primary.coneSpread * hits.t;
    const VF offset = simd::max(VF(0.01f), VF(2.0f) * footprint);
    RayPacketOf<N>& shadow = out.rays;
    shadow.originX = hits.posX + hits.offsetNormalX * offset;
    shadow.originY = hits.posY + hits.offsetNormalY * offset;
    shadow.originZ = hits.posZ + hits.offsetNormalZ * offset;
    shadow.dirX = sunDir.x;
    shadow.dirY = sunDir.y;
    shadow.dirZ = sunDir.z;
    shadow.tmin = VF(0.0f);
    shadow.tmax = VF(10000.0f);
    shadow.coneRadius = footprint;
    shadow.coneSpread = VF(0.0f);
    return out;
}

// The final linear colour of a marched (and snapped) packet: everything
// above in order, then fog on hits and sky on the other lanes. `hits` takes
// the solid object's hits. Returns the number of shadow rays cast. `tables`
// as for fetchSurface. `shadowPrisms`: the prisms the shadow rays are traced
// against, in the scene's order; null for all of them. A caller may leave
// out prisms that none of the packet's shadow rays can enter (see
// PrismReach), which changes nothing but the time taken; so may the shadow
// horizons of every scene prism for the sun's direction (`horizons`).
template <int N>
int shadeHits(const SceneTracer& tracer, const SdnaInstance* solid, const RayPacketOf<N>& rays, simd::vmask<N> valid,
              HitPacketOf<N>& hits, const RenderSettings& settings, LaneVec3<N>& color,
              std::span<const FieldLevelTables> tables = {},
              const std::vector<std::uint32_t>* shadowPrisms = nullptr,
              std::span<const ShadowHorizon> horizons = {});

} // namespace qlmr
