#include "scene/surface_shading.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>

#include "scene/packet_march.h"
#include "sdna/tracer.h"

namespace qlmr {

namespace {

template <int N>
struct Lanes {
    float f[N];
};

template <int N>
Lanes<N> lanesOf(simd::vfloat<N> v)
{
    Lanes<N> out;
    v.store(out.f);
    return out;
}

template <int N>
std::array<std::int32_t, N> intLanesOf(simd::vint<N> v)
{
    std::array<std::int32_t, N> out;
    v.store(out.data());
    return out;
}

template <int N>
simd::vfloat<N> fromLanes(const float* f)
{
    return simd::vfloat<N>::load(f);
}

// Colour of a program material; out-of-range indices (a program that skipped
// validation) read as the default material.
Vec3 materialColor(const SdnaProgram& program, std::uint16_t index)
{
    const SdnaMaterial m = index < program.materials.size() ? program.materials[index] : SdnaMaterial{};
    return {m.red, m.green, m.blue};
}

// The solid object's lit colour seen in a reflection (no shadow test).
Vec3 reflectedSolidColor(Vec3 color, Vec3 n, const RenderSettings& s)
{
    const float sky = 0.45f * n.y + 0.55f;
    const float sun = std::max(dot(n, s.sunDir), 0.0f);
    return {color.x * (sky * s.ambient.x + sun * s.sunColor.x), color.y * (sky * s.ambient.y + sun * s.sunColor.y),
            color.z * (sky * s.ambient.z + sun * s.sunColor.z)};
}

} // namespace

// ---- surface fetch

// ---- field lookups on lanes

namespace {

// Index on a level of `size` samples: clamped to the edge or wrapped.
template <int N>
simd::vint<N> edgeIndex(simd::vint<N> i, simd::vint<N> size, bool clamp)
{
    using VI = simd::vint<N>;
    return clamp ? simd::clamp(i, VI(0), size - VI(1)) : (i & (size - VI(1)));
}

LevelTable albedoTable(const DisplacementField& f)
{
    LevelTable t;
    for (std::uint32_t l = 0; l < f.albedoLevels() && l < kMaxFieldLevels; ++l) {
        t.width[l] = std::int32_t(f.albedoLevelWidth(l));
        t.height[l] = std::int32_t(f.albedoLevelHeight(l));
        t.offset[l] = std::int32_t(f.albedoOffsets[l]);
    }
    return t;
}

LevelTable heightTable(const DisplacementField& f)
{
    LevelTable t;
    for (std::uint32_t l = 0; l < f.levels; ++l) {
        t.width[l] = std::int32_t(f.levelWidth(l));
        t.height[l] = std::int32_t(f.levelHeight(l));
        t.offset[l] = std::int32_t(f.heightOffsets[l]);
    }
    return t;
}

} // namespace

FieldLevelTables fieldLevelTables(const DisplacementField& field)
{
    return {albedoTable(field), heightTable(field)};
}

namespace {

// The four texel indices and the fractions of a bilinear lookup on each
// lane's level, with the field's edge rule.
template <int N>
struct BilinearTaps {
    simd::vint<N> i00, i10, i01, i11;
    simd::vfloat<N> fx, fy;
};

template <int N>
BilinearTaps<N> bilinearTaps(const LevelTable& table, bool clamp, simd::vint<N> level,
                             simd::vfloat<N> u, simd::vfloat<N> v)
{
    using VF = simd::vfloat<N>;
    using VI = simd::vint<N>;
    // Levels are below 16: table reads without a gather (every lane reads
    // its entry; the taps of lanes outside the caller's mask are not loaded).
    const VI lw = simd::lookup16(table.width, level);
    const VI lh = simd::lookup16(table.height, level);
    const VI offset = simd::lookup16(table.offset, level);
    const VF x = simd::toFloat(lw) * u;
    const VF y = simd::toFloat(lh) * v;
    const VF flx = simd::floor(x);
    const VF fly = simd::floor(y);
    const VI ix = simd::toInt(flx), iy = simd::toInt(fly);
    const VI x0 = edgeIndex(ix, lw, clamp), x1 = edgeIndex(ix + VI(1), lw, clamp);
    const VI row0 = offset + simd::mulU16(edgeIndex(iy, lh, clamp), lw);
    const VI row1 = offset + simd::mulU16(edgeIndex(iy + VI(1), lh, clamp), lw);
    return {row0 + x0, row0 + x1, row1 + x0, row1 + x1, x - flx, y - fly};
}

} // namespace

namespace {

template <int N>
AlbedoLanes<N> sampleAlbedoLevelLanes(const DisplacementField& f, const LevelTable& table, simd::vmask<N> lanes,
                                      simd::vint<N> level, simd::vfloat<N> u, simd::vfloat<N> v)
{
    using VF = simd::vfloat<N>;
    using VI = simd::vint<N>;
    const BilinearTaps<N> taps = bilinearTaps(table, f.clampEdges, level, u, v);
    const VF fx = taps.fx, fy = taps.fy;
    const std::uint32_t* texels = f.albedo.data();
    const VI c00 = simd::gather(texels, taps.i00, lanes);
    const VI c10 = simd::gather(texels, taps.i10, lanes);
    const VI c01 = simd::gather(texels, taps.i01, lanes);
    const VI c11 = simd::gather(texels, taps.i11, lanes);
    const VF gx = VF(1.0f) - fx, gy = VF(1.0f) - fy;
    AlbedoLanes<N> out;
    for (int k = 0; k < 4; ++k) {
        const int shift = 8 * k;
        const VI byte(0xFF);
        const VF a00 = simd::toFloat(simd::shiftRightLogical(c00, shift) & byte);
        const VF a10 = simd::toFloat(simd::shiftRightLogical(c10, shift) & byte);
        const VF a01 = simd::toFloat(simd::shiftRightLogical(c01, shift) & byte);
        const VF a11 = simd::toFloat(simd::shiftRightLogical(c11, shift) & byte);
        out.c[k] = ((a11 * fx + a01 * gx) * fy + (a10 * fx + a00 * gx) * gy) * VF(0.003921569f);
    }
    return out;
}

// The two albedo levels around `lod`, blended; `table` is the field's albedo
// level table, built once by the caller instead of once per lookup.
template <int N>
AlbedoLanes<N> sampleAlbedoLanes(const DisplacementField& f, const LevelTable& table, simd::vmask<N> lanes,
                                 simd::vfloat<N> u, simd::vfloat<N> v, simd::vfloat<N> lod)
{
    using VF = simd::vfloat<N>;
    using VI = simd::vint<N>;
    AlbedoLanes<N> out;
    if (f.albedoWidth == 0) {
        out.c[0] = out.c[1] = out.c[2] = VF(0.7f);
        out.c[3] = VF(1.0f);
        return out;
    }
    const VI top(std::int32_t(f.albedoLevels()) - 1);
    lod = simd::clamp(simd::nanTo(lod, VF(0.0f)), VF(0.0f), simd::toFloat(top));
    const VI l0 = simd::toInt(lod);
    const VI l1 = simd::min(l0 + VI(1), top);
    const VF t = lod - simd::toFloat(l0);
    out = sampleAlbedoLevelLanes(f, table, lanes, l0, u, v);
    const simd::vmask<N> blend = lanes & (t > VF(0.0f)) & (l1 != l0);
    if (simd::none(blend))
        return out;
    const AlbedoLanes<N> c1 = sampleAlbedoLevelLanes(f, table, blend, l1, u, v);
    for (int k = 0; k < 4; ++k)
        out.c[k] = simd::select(blend, out.c[k] + (c1.c[k] - out.c[k]) * t, out.c[k]);
    return out;
}

template <int N>
simd::vfloat<N> sampleHeightLanes(const DisplacementField& f, const LevelTable& table, simd::vmask<N> lanes,
                                  simd::vint<N> level, simd::vfloat<N> u, simd::vfloat<N> v)
{
    using VF = simd::vfloat<N>;
    const BilinearTaps<N> taps = bilinearTaps(table, f.clampEdges, level, u, v);
    const VF fx = taps.fx, fy = taps.fy;
    const std::uint16_t* heights = f.heights.data();
    const VF scale(1.5259022e-5f);
    const VF h00 = simd::toFloat(simd::gatherU16(heights, taps.i00, lanes)) * scale;
    const VF h10 = simd::toFloat(simd::gatherU16(heights, taps.i10, lanes)) * scale;
    const VF h01 = simd::toFloat(simd::gatherU16(heights, taps.i01, lanes)) * scale;
    const VF h11 = simd::toFloat(simd::gatherU16(heights, taps.i11, lanes)) * scale;
    const VF gx = VF(1.0f) - fx;
    return (h00 * gx + h10 * fx) * (VF(1.0f) - fy) + (h01 * gx + h11 * fx) * fy;
}

} // namespace

template <int N>
AlbedoLanes<N> sampleAlbedoLanes(const DisplacementField& f, simd::vmask<N> lanes, simd::vfloat<N> u,
                                 simd::vfloat<N> v, simd::vfloat<N> lod)
{
    return sampleAlbedoLanes(f, albedoTable(f), lanes, u, v, lod);
}

template <int N>
simd::vfloat<N> sampleHeightLanes(const DisplacementField& f, simd::vmask<N> lanes, simd::vint<N> level,
                                  simd::vfloat<N> u, simd::vfloat<N> v)
{
    return sampleHeightLanes(f, heightTable(f), lanes, level, u, v);
}

// ---- surface fetch

namespace {

// The surface fetch; without `withMaterial` the material stays 0 (the
// shading never reads it, so the frame does not look it up).
template <int N>
void fetchSurfaceOf(const SceneTracer& tracer, SurfacePacketOf<N>& out, const HitPacketOf<N>& hits,
                    const RayPacketOf<N>& rays, std::span<const FieldLevelTables> tables, bool withMaterial)
{
    using VF = simd::vfloat<N>;
    using VI = simd::vint<N>;
    using VM = simd::vmask<N>;
    out.albedoR = VF(0.0f);
    out.albedoG = VF(0.0f);
    out.albedoB = VF(0.0f);
    out.cavity = VF(1.0f);
    out.material = VI(0);
    out.waterDepth = VF(0.0f);
    out.waterFlag = VF(0.0f);
    const VM fieldHits = hits.mask & (hits.prism >= VI(0));
    const unsigned hitBits = simd::bits(fieldHits);
    if (hitBits == 0)
        return;

    // Per-lane prism constants. A packet's hits are nearly always on one
    // prism: then each is one broadcast value (the same arithmetic, lane by
    // lane); otherwise they are gathered lane by lane.
    const Scene& scene = *tracer.scene;
    VF albedoTexel, heightScale, coarseCell, depthScale;
    VI coarse, fieldLane;
    const int firstHit = __builtin_ctz(hitBits);
    const int firstPrism = hits.prism.lane(firstHit);
    if (simd::none(simd::andNot(fieldHits, hits.prism == VI(firstPrism)))) {
        const Prism& p = scene.prisms[std::size_t(firstPrism)];
        const DisplacementField& field = scene.fields[p.fieldIndex];
        const VI coarseLevel = simd::min(simd::maxZero(hits.level) + VI(3), VI(std::int32_t(field.levels) - 1));
        albedoTexel = simd::select(fieldHits, VF(p.albedoTexelSize), VF(1.0f));
        heightScale = simd::select(fieldHits, VF(length(p.axisH)), VF(1.0f));
        depthScale = simd::select(fieldHits, VF(p.waterDepthScale), VF(0.0f));
        coarse = simd::select(fieldHits, coarseLevel, VI(0));
        // 2^level built in the exponent field (levels are below 16).
        coarseCell = simd::select(fieldHits, simd::exp2Int(coarseLevel) * VF(p.heightTexelSize), VF(1.0f));
        fieldLane = simd::select(fieldHits, VI(std::int32_t(p.fieldIndex)), VI(-1));
    } else {
        const auto prism = intLanesOf(hits.prism);
        const auto level = intLanesOf(hits.level);
        float texel[N], scale[N], cell[N], depth[N];
        std::int32_t coarseLevel[N], fieldOf[N];
        int lastPrism = -1;
        const Prism* p = nullptr;
        const DisplacementField* field = nullptr;
        float lastScale = 0.0f;
        for (int i = 0; i < N; ++i) {
            texel[i] = scale[i] = cell[i] = 1.0f;
            depth[i] = 0.0f;
            coarseLevel[i] = 0;
            fieldOf[i] = -1;
            if (!((hitBits >> i) & 1u))
                continue;
            if (prism[i] != lastPrism) {
                lastPrism = prism[i];
                p = &scene.prisms[lastPrism];
                field = &scene.fields[p->fieldIndex];
                lastScale = length(p->axisH);
            }
            fieldOf[i] = std::int32_t(p->fieldIndex);
            texel[i] = p->albedoTexelSize;
            scale[i] = lastScale;
            depth[i] = p->waterDepthScale;
            const std::uint32_t levelHere =
                std::min<std::uint32_t>(std::uint32_t(std::max(level[i], 0)) + 3u, field->levels - 1);
            coarseLevel[i] = std::int32_t(levelHere);
            cell[i] = std::bit_cast<float>((levelHere + 127u) << 23) * p->heightTexelSize;
        }
        albedoTexel = VF::load(texel);
        heightScale = VF::load(scale);
        coarseCell = VF::load(cell);
        depthScale = VF::load(depth);
        coarse = VI::load(coarseLevel);
        fieldLane = VI::load(fieldOf);
    }

    // Albedo level of detail from the footprint widened by the slant.
    const VF len2 = rays.dirX * rays.dirX + rays.dirY * rays.dirY + rays.dirZ * rays.dirZ;
    const VF cosine = simd::abs((hits.normalX * rays.dirX + hits.normalY * rays.dirY + hits.normalZ * rays.dirZ) /
                                simd::sqrt(simd::max(len2, VF(1e-30f))));
    const VF footprint = rays.coneSpread * hits.t + rays.coneRadius;
    Lanes<N> lod = lanesOf(simd::max((footprint / simd::max(cosine, VF(0.2f))) / albedoTexel, VF(1e-6f)));
    // The sampler clamps the level of detail to [0, top]: where the ratio is
    // at most 1 its logarithm is at most 0 and the finest level is read
    // whatever its value, so the library call is left out there.
    for (int i = 0; i < N; ++i)
        lod.f[i] = (hitBits >> i) & 1u && lod.f[i] > 1.0f ? std::log2(lod.f[i]) : 0.0f;
    const VF lodA = VF::load(lod.f);

    // One pass per field that the packet's lanes hit (nearly always one).
    VF r(0.0f), g(0.0f), b(0.0f), alpha(0.0f), coarseHeight(0.0f);
    VI material(0);
    VM remaining = fieldHits;
    while (simd::any(remaining)) {
        const std::int32_t fieldIndex = fieldLane.lane(__builtin_ctz(simd::bits(remaining)));
        const DisplacementField& f = scene.fields[std::size_t(fieldIndex)];
        FieldLevelTables own;
        if (tables.empty())
            own = fieldLevelTables(f);
        const FieldLevelTables& levelTables = tables.empty() ? own : tables[std::size_t(fieldIndex)];
        const VM lanes = remaining & (fieldLane == VI(fieldIndex));
        remaining = simd::andNot(remaining, lanes);

        // Albedo and material are read at the centre of the pixel-grid cell.
        VF su = hits.u, sv = hits.v;
        if (f.pixelGrid != 0) {
            Lanes<N> gu = lanesOf(su), gv = lanesOf(sv);
            for (int i = 0; i < N; ++i)
                if (lanes.lane(i))
                    f.snapToPixelGrid(gu.f[i], gv.f[i]);
            su = VF::load(gu.f);
            sv = VF::load(gv.f);
        }
        const AlbedoLanes<N> albedo = sampleAlbedoLanes(f, levelTables.albedo, lanes, su, sv, lodA);
        r = simd::select(lanes, albedo.c[0], r);
        g = simd::select(lanes, albedo.c[1], g);
        b = simd::select(lanes, albedo.c[2], b);
        alpha = simd::select(lanes, albedo.c[3], alpha);
        if (withMaterial && !f.materials.empty()) {
            const Lanes<N> gu = lanesOf(su), gv = lanesOf(sv);
            std::int32_t bytes[N];
            material.store(bytes);
            for (int i = 0; i < N; ++i)
                if (lanes.lane(i))
                    bytes[i] = f.materialAt(gu.f[i], gv.f[i]);
            material = VI::load(bytes);
        }
        const VF coarseHere = sampleHeightLanes(f, levelTables.height, lanes, coarse, hits.u, hits.v);
        coarseHeight = simd::select(lanes, coarseHere, coarseHeight);
    }
    out.albedoR = r;
    out.albedoG = g;
    out.albedoB = b;
    out.material = material;

    // Water depth from the albedo alpha on water prisms.
    const VM water = depthScale > VF(0.0f);
    out.waterDepth = simd::select(water, depthScale * alpha, VF(0.0f));
    out.waterFlag = simd::select(water, VF(1.0f), VF(0.0f));

    // Cavity: terrain below its coarse surroundings darkens, bumps never brighten.
    const VF cavity =
        simd::clamp((hits.h - coarseHeight) * heightScale * VF(0.8f) / coarseCell + VF(1.0f), VF(0.35f), VF(1.0f));
    out.cavity = simd::select(fieldHits, cavity, VF(1.0f));
}

} // namespace

template <int N>
void fetchSurface(const SceneTracer& tracer, SurfacePacketOf<N>& out, const HitPacketOf<N>& hits,
                  const RayPacketOf<N>& rays, std::span<const FieldLevelTables> tables)
{
    fetchSurfaceOf(tracer, out, hits, rays, tables, true);
}

// ---- the solid object

template <int N>
void traceSolid(const SdnaInstance& solid, const RayPacketOf<N>& rays, simd::vmask<N> valid, HitPacketOf<N>& hits,
                SurfacePacketOf<N>& surface, const RenderSettings& settings, LaneVec3<N>& reflection,
                simd::vmask<N>& reflectionMask)
{
    using VF = simd::vfloat<N>;
    reflection = {VF(0.0f), VF(0.0f), VF(0.0f)};
    reflectionMask = simd::vmask<N>(false);
    const unsigned validBits = simd::bits(valid);
    if (validBits == 0 || solid.program == nullptr)
        return;

    const unsigned hitBits = simd::bits(hits.mask);
    const Lanes<N> ox = lanesOf(rays.originX), oy = lanesOf(rays.originY), oz = lanesOf(rays.originZ);
    const Lanes<N> dx = lanesOf(rays.dirX), dy = lanesOf(rays.dirY), dz = lanesOf(rays.dirZ);
    const Lanes<N> spread = lanesOf(rays.coneSpread);
    Lanes<N> t = lanesOf(hits.t), px = lanesOf(hits.posX), py = lanesOf(hits.posY), pz = lanesOf(hits.posZ);
    Lanes<N> nx = lanesOf(hits.normalX), ny = lanesOf(hits.normalY), nz = lanesOf(hits.normalZ);
    Lanes<N> gx = lanesOf(hits.offsetNormalX), gy = lanesOf(hits.offsetNormalY), gz = lanesOf(hits.offsetNormalZ);
    Lanes<N> iterations = lanesOf(hits.iterations);
    Lanes<N> ar = lanesOf(surface.albedoR), ag = lanesOf(surface.albedoG), ab = lanesOf(surface.albedoB);
    Lanes<N> cavity = lanesOf(surface.cavity), depth = lanesOf(surface.waterDepth), flag = lanesOf(surface.waterFlag);
    Lanes<N> rr = lanesOf(reflection.x), rg = rr, rb = rr;
    auto prism = intLanesOf(hits.prism);
    auto level = intLanesOf(hits.level);
    unsigned solidBits = 0;
    unsigned reflectBits = 0;

    const SdnaProgram& program = *solid.program;
    for (int i = 0; i < N; ++i) {
        if (!((validBits >> i) & 1u))
            continue;
        const std::array<float, 3> origin{ox.f[i], oy.f[i], oz.f[i]};
        const std::array<float, 3> dir{dx.f[i], dy.f[i], dz.f[i]};
        const SdnaTraceOptions primary{256, 0.0001f, 0.5f * spread.f[i], true};
        const SdnaHit s = traceInstance(solid, origin, dir, 0.0f, 1e30f, primary);
        iterations.f[i] += float(s.steps);
        const bool fieldHit = ((hitBits >> i) & 1u) != 0;

        if (s.status != kSdnaMiss && (!fieldHit || s.t < t.f[i])) {
            solidBits |= 1u << i;
            t.f[i] = s.t;
            px.f[i] = s.position[0];
            py.f[i] = s.position[1];
            pz.f[i] = s.position[2];
            nx.f[i] = gx.f[i] = s.normal[0];
            ny.f[i] = gy.f[i] = s.normal[1];
            nz.f[i] = gz.f[i] = s.normal[2];
            prism[i] = -1;
            level[i] = 0;
            const Vec3 c = materialColor(program, s.material);
            ar.f[i] = c.x;
            ag.f[i] = c.y;
            ab.f[i] = c.z;
            cavity.f[i] = 1.0f;
            depth.f[i] = 0.0f;
            flag.f[i] = 0.0f;
            continue;
        }
        if (!fieldHit || flag.f[i] < 0.5f)
            continue;

        // A water surface in front of the solid object (or no object on this ray).
        const Vec3 n{nx.f[i], ny.f[i], nz.f[i]};
        const Vec3 d{dx.f[i], dy.f[i], dz.f[i]};
        const float nd = dot(n, d);
        if (s.status != kSdnaMiss) {
            const float seen = (s.t - t.f[i]) * std::max(0.05f, std::fabs(nd));
            if (depth.f[i] > seen) {
                depth.f[i] = seen;
                const Vec3 c = materialColor(program, s.material);
                ar.f[i] = c.x;
                ag.f[i] = c.y;
                ab.f[i] = c.z;
            }
        }
        const float offset = std::max(2.0f * spread.f[i] * t.f[i], 0.01f);
        const std::array<float, 3> reflOrigin{px.f[i] + gx.f[i] * offset, py.f[i] + gy.f[i] * offset,
                                              pz.f[i] + gz.f[i] * offset};
        const std::array<float, 3> reflDir{d.x - 2.0f * nd * n.x, d.y - 2.0f * nd * n.y, d.z - 2.0f * nd * n.z};
        const SdnaTraceOptions mirror{96, 0.0005f, 0.0f, true};
        const SdnaHit m = traceInstance(solid, reflOrigin, reflDir, 0.0f, 10000.0f, mirror);
        if (m.status != kSdnaMiss) {
            reflectBits |= 1u << i;
            const Vec3 c = reflectedSolidColor(materialColor(program, m.material),
                                               Vec3{m.normal[0], m.normal[1], m.normal[2]}, settings);
            rr.f[i] = c.x;
            rg.f[i] = c.y;
            rb.f[i] = c.z;
        }
    }

    hits.mask = hits.mask | simd::vmask<N>::fromBits(solidBits);
    hits.t = fromLanes<N>(t.f);
    hits.posX = fromLanes<N>(px.f);
    hits.posY = fromLanes<N>(py.f);
    hits.posZ = fromLanes<N>(pz.f);
    hits.normalX = fromLanes<N>(nx.f);
    hits.normalY = fromLanes<N>(ny.f);
    hits.normalZ = fromLanes<N>(nz.f);
    hits.offsetNormalX = fromLanes<N>(gx.f);
    hits.offsetNormalY = fromLanes<N>(gy.f);
    hits.offsetNormalZ = fromLanes<N>(gz.f);
    hits.prism = simd::vint<N>::load(prism.data());
    hits.level = simd::vint<N>::load(level.data());
    hits.iterations = fromLanes<N>(iterations.f);
    surface.albedoR = fromLanes<N>(ar.f);
    surface.albedoG = fromLanes<N>(ag.f);
    surface.albedoB = fromLanes<N>(ab.f);
    surface.cavity = fromLanes<N>(cavity.f);
    surface.waterDepth = fromLanes<N>(depth.f);
    surface.waterFlag = fromLanes<N>(flag.f);
    reflection = {fromLanes<N>(rr.f), fromLanes<N>(rg.f), fromLanes<N>(rb.f)};
    reflectionMask = simd::vmask<N>::fromBits(reflectBits);
}

// ---- normal refinement

template <int N>
LaneVec3<N> refineNormals(const SceneTracer& tracer, const HitPacketOf<N>& hits, simd::vmask<N> lanes, float weight)
{
    LaneVec3<N> result{hits.normalX, hits.normalY, hits.normalZ};
    const unsigned laneBits = simd::bits(lanes & hits.mask);
    if (!(weight > 0.0f) || laneBits == 0)
        return result;

    const auto prism = intLanesOf(hits.prism);
    const auto level = intLanesOf(hits.level);
    const Lanes<N> u = lanesOf(hits.u), v = lanesOf(hits.v);
    Lanes<N> nx = lanesOf(result.x), ny = lanesOf(result.y), nz = lanesOf(result.z);
    const Scene& scene = *tracer.scene;
    for (int i = 0; i < N; ++i) {
        if (!((laneBits >> i) & 1u) || prism[i] < 0)
            continue;
        const Prism& p = scene.prisms[prism[i]];
        const DisplacementField& field = scene.fields[p.fieldIndex];
        if (field.pixelGrid != 0)
            continue;
        const std::uint32_t lr = std::min<std::uint32_t>(std::uint32_t(std::max(level[i], 0)) + 2u, field.levels - 1);
        const float du = 1.0f / float(std::max(field.width >> lr, 1u));
        const float dv = 1.0f / float(std::max(field.height >> lr, 1u));
        const float gu = (field.sampleHeight(lr, u.f[i] + du, v.f[i]) - field.sampleHeight(lr, u.f[i] - du, v.f[i])) /
            (2.0f * du);
        const float gv = (field.sampleHeight(lr, u.f[i], v.f[i] + dv) - field.sampleHeight(lr, u.f[i], v.f[i] - dv)) /
            (2.0f * dv);
        const Vec3 tu = p.axisU + p.axisH * gu;
        const Vec3 tv = p.axisV + p.axisH * gv;
        const Vec3 hitNormal{nx.f[i], ny.f[i], nz.f[i]};
        Vec3 n = normalizeSafe(cross(tu, tv));
        if (dot(n, hitNormal) < 0.0f)
            n = -n;
        const Vec3 blended = normalizeSafe(hitNormal * (1.0f - weight) + n * weight);
        nx.f[i] = blended.x;
        ny.f[i] = blended.y;
        nz.f[i] = blended.z;
    }
    return {fromLanes<N>(nx.f), fromLanes<N>(ny.f), fromLanes<N>(nz.f)};
}

// ---- sun visibility

template <int N>
simd::vfloat<N> traceSolidShadow(const SdnaInstance& solid, const RayPacketOf<N>& shadowRays, simd::vmask<N> lanes,
                                 Vec3 sunDir, simd::vfloat<N> visibility)
{
    const unsigned laneBits = simd::bits(lanes);
    if (laneBits == 0 || solid.program == nullptr)
        return visibility;
    const Lanes<N> ox = lanesOf(shadowRays.originX), oy = lanesOf(shadowRays.originY), oz = lanesOf(shadowRays.originZ);
    Lanes<N> vis = lanesOf(visibility);
    const SdnaTraceOptions options{96, 0.0005f, 0.0f, false};
    const std::array<float, 3> dir{sunDir.x, sunDir.y, sunDir.z};
    for (int i = 0; i < N; ++i) {
        if (!((laneBits >> i) & 1u))
            continue;
        const SdnaHit s = traceInstance(solid, {ox.f[i], oy.f[i], oz.f[i]}, dir, 0.0f, 10000.0f, options);
        if (s.status != kSdnaMiss)
            vis.f[i] = 0.0f;
    }
    return fromLanes<N>(vis.f);
}

// ---- lighting

template <int N>
LaneVec3<N> lightTerrain(const LaneVec3<N>& dir, const LaneVec3<N>& normal, const LaneVec3<N>& albedo,
                         simd::vfloat<N> cavity, simd::vfloat<N> visibility, const RenderSettings& s)
{
    using VF = simd::vfloat<N>;
    const LaneVec3<N> sunDir = splat<N>(s.sunDir);
    const VF ndl = simd::max(dot(normal, sunDir), VF(0.0f));
    const VF sun = ndl * visibility;
    const VF sunTerm = sun * (VF(0.6f) + VF(0.4f) * cavity);
    const VF skyTerm = cavity * (VF(0.55f) + VF(0.45f) * normal.y);
    LaneVec3<N> c{albedo.x * (sunTerm * VF(s.sunColor.x) + skyTerm * VF(s.ambient.x)),
                  albedo.y * (sunTerm * VF(s.sunColor.y) + skyTerm * VF(s.ambient.y)),
                  albedo.z * (sunTerm * VF(s.sunColor.z) + skyTerm * VF(s.ambient.z))};
    if (s.specular > 0.0f) {
        const LaneVec3<N> view{-dir.x, -dir.y, -dir.z};
        const LaneVec3<N> sum{sunDir.x + view.x, sunDir.y + view.y, sunDir.z + view.z};
        const VF inv = VF(1.0f) / simd::sqrt(simd::max(dot(sum, sum), VF(1e-30f)));
        const LaneVec3<N> half{sum.x * inv, sum.y * inv, sum.z * inv};
        const VF a = powTwoPower(simd::max(dot(normal, half), VF(0.0f)), 3);
        const VF rough = simd::clamp(VF(s.roughness) + VF(0.3f) * (VF(1.0f) - cavity), VF(0.15f), VF(0.95f));
        const VF a4 = powTwoPower(a, 2);
        const VF lobe = a + (a4 - a) * (VF(1.0f) - rough);
        const VF m = VF(1.0f) - simd::max(dot(normal, view), VF(0.0f));
        const VF m5 = powTwoPower(m, 2) * m;
        const VF fresnel = VF(0.04f) + VF(0.96f) * m5;
        const VF spec = lobe * fresnel * VF(s.specular) * ndl * visibility * cavity;
        c.x += spec * VF(s.sunColor.x);
        c.y += spec * VF(s.sunColor.y);
        c.z += spec * VF(s.sunColor.z);
    }
    return c;
}

template <int N>
LaneVec3<N> shadePacket(const LaneVec3<N>& dir, const LaneVec3<N>& normal, const LaneVec3<N>& albedo,
                        simd::vfloat<N> sun, simd::vfloat<N> waterDepth, simd::vfloat<N> visibility,
                        const RenderSettings& s, const LaneVec3<N>& reflection, simd::vmask<N> reflectionMask)
{
    using VF = simd::vfloat<N>;
    const VF sky = VF(0.55f) + VF(0.45f) * normal.y;
    const LaneVec3<N> light{sun * VF(s.sunColor.x) + sky * VF(s.ambient.x), sun * VF(s.sunColor.y) + sky * VF(s.ambient.y),
                            sun * VF(s.sunColor.z) + sky * VF(s.ambient.z)};
    return shadePacket(dir, normal, albedo, light, waterDepth, visibility, s, reflection, reflectionMask);
}

template <int N>
LaneVec3<N> shadePacket(const LaneVec3<N>& dir, const LaneVec3<N>& normal, const LaneVec3<N>& albedo,
                        const LaneVec3<N>& light, simd::vfloat<N> waterDepth, simd::vfloat<N> visibility,
                        const RenderSettings& s, const LaneVec3<N>& reflection, simd::vmask<N> reflectionMask)
{
    using VF = simd::vfloat<N>;
    const VF dn = dot(dir, normal);
    const VF c = simd::max(simd::abs(dn), VF(0.05f));
    const VF m = VF(1.0f) - c;
    const VF fresnel = VF(0.02f) + VF(0.98f) * (powTwoPower(m, 2) * m);

    const LaneVec3<N> r{dir.x - VF(2.0f) * dn * normal.x, dir.y - VF(2.0f) * dn * normal.y,
                        dir.z - VF(2.0f) * dn * normal.z};
    const VF glow = visibility * sunGlow(simd::max(dot(r, splat<N>(s.sunDir)), VF(0.0f)));
    const LaneVec3<N> g = skyGradient(r.y, s);
    LaneVec3<N> reflected{g.x + glow * VF(s.sunColor.x), g.y + glow * VF(s.sunColor.y), g.z + glow * VF(s.sunColor.z)};
    reflected = select(reflectionMask, reflection, reflected);

    // Beer-Lambert absorption along the path down and back up; the factors
    // are the per-channel absorption times log2(e).
    const VF path = (VF(1.0f) + VF(1.0f) / c) * waterDepth;
    const VF tr = exp2Poly(-(path * VF(0.6492127f)));
    const VF tg = exp2Poly(-(path * VF(0.10820213f)));
    const VF tb = exp2Poly(-(path * VF(0.050494324f)));
    const LaneVec3<N> body{albedo.x * light.x * tr + light.x * VF(0.012f) * (VF(1.0f) - tr),
                           albedo.y * light.y * tg + light.y * VF(0.04f) * (VF(1.0f) - tg),
                           albedo.z * light.z * tb + light.z * VF(0.05f) * (VF(1.0f) - tb)};
    const VF keep = VF(1.0f) - fresnel;
    return {body.x * keep + reflected.x * fresnel, body.y * keep + reflected.y * fresnel,
            body.z * keep + reflected.z * fresnel};
}

// ---- the whole packet

template <int N>
int shadeHits(const SceneTracer& tracer, const SdnaInstance* solid, const RayPacketOf<N>& rays, simd::vmask<N> valid,
              HitPacketOf<N>& hits, const RenderSettings& s, LaneVec3<N>& color,
              std::span<const FieldLevelTables> tables, const std::vector<std::uint32_t>* shadowPrisms,
              std::span<const ShadowHorizon> horizons)
{
    using VF = simd::vfloat<N>;
    using VM = simd::vmask<N>;
    SurfacePacketOf<N> surface;
    // The material byte reaches no colour: it is not looked up here.
    fetchSurfaceOf(tracer, surface, hits, rays, tables, false);

    LaneVec3<N> reflection{VF(0.0f), VF(0.0f), VF(0.0f)};
    VM reflectionMask(false);
    if (solid != nullptr)
        traceSolid(*solid, rays, valid, hits, surface, s, reflection, reflectionMask);

    const VM hit = hits.mask & valid;
    const VM water = hit & (surface.waterFlag > VF(0.5f));
    const LaneVec3<N> dir{rays.dirX, rays.dirY, rays.dirZ};
    const LaneVec3<N> normal = s.normalRefine > 0.0f
        ? refineNormals(tracer, hits, simd::andNot(hit, water), s.normalRefine)
        : LaneVec3<N>{hits.normalX, hits.normalY, hits.normalZ};

    // Sun visibility: only lanes whose march normal faces the sun cast a ray.
    const LaneVec3<N> sunDir = splat<N>(s.sunDir);
    VF visibility(1.0f);
    int shadowRays = 0;
    const SunRays<N> cast = s.shadows ? sunRays(hits, rays, valid, s) : SunRays<N>{};
    if (s.shadows && simd::any(cast.lit)) {
        VM blocked(false);
        traceShadows(tracer, blocked, cast.rays, cast.lit,
                     std::span<const uint32_t>(shadowPrisms != nullptr ? *shadowPrisms : tracer.allPrisms),
                     horizons);
        blocked = blocked & cast.lit;
        visibility = simd::select(blocked, VF(0.0f), visibility);
        if (solid != nullptr)
            visibility = traceSolidShadow(*solid, cast.rays, simd::andNot(cast.lit, blocked), s.sunDir, visibility);
        shadowRays = simd::count(cast.lit);
    }

    const LaneVec3<N> albedo{surface.albedoR, surface.albedoG, surface.albedoB};
    LaneVec3<N> c = lightTerrain(dir, normal, albedo, surface.cavity, visibility, s);
    if (simd::any(water)) {
        const VF sun = simd::max(dot(normal, sunDir), VF(0.0f)) * visibility;
        const LaneVec3<N> w =
            shadePacket(dir, normal, albedo, sun, surface.waterDepth, visibility, s, reflection, reflectionMask);
        c = select(water, w, c);
    }

    const VF transmittance = fogTransmittance(rays.originY, hits.t, rays.dirY, s);
    const VF fogged = VF(1.0f) - transmittance;
    const LaneVec3<N> fog{c.x * transmittance + VF(s.skyHorizon.x) * fogged, c.y * transmittance + VF(s.skyHorizon.y) * fogged,
                          c.z * transmittance + VF(s.skyHorizon.z) * fogged};
    color = simd::all(hit) ? fog : select(hit, fog, skyColor(dir, s));
    return shadowRays;
}

// ---- the widths the library carries

#define QLMR_SHADING_INSTANTIATE(N)                                                                                   \
    template AlbedoLanes<N> sampleAlbedoLanes<N>(const DisplacementField&, simd::vmask<N>, simd::vfloat<N>,             \
                                                 simd::vfloat<N>, simd::vfloat<N>);                                    \
    template simd::vfloat<N> sampleHeightLanes<N>(const DisplacementField&, simd::vmask<N>, simd::vint<N>,              \
                                                  simd::vfloat<N>, simd::vfloat<N>);                                   \
    template void fetchSurface<N>(const SceneTracer&, SurfacePacketOf<N>&, const HitPacketOf<N>&,                      \
                                  const RayPacketOf<N>&, std::span<const FieldLevelTables>);                           \
    template void traceSolid<N>(const SdnaInstance&, const RayPacketOf<N>&, simd::vmask<N>, HitPacketOf<N>&,           \
                                SurfacePacketOf<N>&, const RenderSettings&, LaneVec3<N>&, simd::vmask<N>&);           \
    template LaneVec3<N> refineNormals<N>(const SceneTracer&, const HitPacketOf<N>&, simd::vmask<N>, float);           \
    template simd::vfloat<N> traceSolidShadow<N>(const SdnaInstance&, const RayPacketOf<N>&, simd::vmask<N>, Vec3,     \
                                                 simd::vfloat<N>);                                                     \
    template LaneVec3<N> shadePacket<N>(const LaneVec3<N>&, const LaneVec3<N>&, const LaneVec3<N>&, simd::vfloat<N>,   \
                                        simd::vfloat<N>, simd::vfloat<N>, const RenderSettings&, const LaneVec3<N>&,   \
                                        simd::vmask<N>);                                                               \
    template LaneVec3<N> shadePacket<N>(const LaneVec3<N>&, const LaneVec3<N>&, const LaneVec3<N>&,                    \
                                        const LaneVec3<N>&, simd::vfloat<N>, simd::vfloat<N>, const RenderSettings&,   \
                                        const LaneVec3<N>&, simd::vmask<N>);                                           \
    template LaneVec3<N> lightTerrain<N>(const LaneVec3<N>&, const LaneVec3<N>&, const LaneVec3<N>&, simd::vfloat<N>,  \
                                         simd::vfloat<N>, const RenderSettings&);                                      \
    template int shadeHits<N>(const SceneTracer&, const SdnaInstance*, const RayPacketOf<N>&, simd::vmask<N>,          \
                              HitPacketOf<N>&, const RenderSettings&, LaneVec3<N>&,                            \
                              std::span<const FieldLevelTables>, const std::vector<std::uint32_t>*,        \
                              std::span<const ShadowHorizon>);

QLMR_SHADING_INSTANTIATE(1)
#if QLMR_LANES != 1
QLMR_SHADING_INSTANTIATE(QLMR_LANES)
#endif
#if QLMR_PASS_PACKETS > 1
QLMR_SHADING_INSTANTIATE(QLMR_LANES * QLMR_PASS_PACKETS)
#endif

#undef QLMR_SHADING_INSTANTIATE

} // namespace qlmr
