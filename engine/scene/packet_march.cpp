#include "scene/packet_march.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>

namespace qlmr {
namespace {

using simd::vfloat;
using simd::vint;
using simd::vmask;

constexpr float kHeightScale = 1.5259022e-5f; // 1 / 65535
constexpr float kDirectionFloor = 0x1p-80f;
constexpr float kInf = std::numeric_limits<float>::infinity();

// What a walk does with the outcome of a step.
enum class WalkMode {
    Seed,   // stop at the first candidate node at or below the seed level
    March,  // stop at the first leaf hit
    Shadow, // stop at the first leaf hit or node wholly above the ray
};

// The ray of every lane in a prism's local (u, v, h) space, clipped to its box.
template <int N>
struct LocalRays {
    vfloat<N> ou, ov, oh;    // origin
    vfloat<N> du, dv, dh;    // direction
    vfloat<N> iu, iv, ih;    // inverse direction, zero components floored at 2^-80
    vint<N> stepU, stepV;    // +1 / -1 cell step
    vint<N> exitU, exitV;    // 1 when the far cell edge is the +1 edge
    vfloat<N> tEnter, tLeave;
    vint<N> entryAxis;       // 0 u, 1 v, 2 h
    vmask<N> entersBottom;   // comes in through the bottom face, going up
    vmask<N> leavesBottom;   // goes out through the bottom face, going down
    float bottom = 0.0f;     // the box's lowest h
};

// Per-field constants of the walk, broadcast once per prism.
template <int N>
struct FieldLanes {
    const FieldView* view = nullptr;
    int levels = 1;
    vint<N> log2W, log2H, top;
};

// Lane state of a walk.
template <int N>
struct Walk {
    vmask<N> walking;
    vint<N> level;
    vint<N> ix, iy;
    vfloat<N> c;
    vfloat<N> end;
};

// What the walk leaves per lane when it stops.
template <int N>
struct WalkOutcome {
    vmask<N> found;        // leaf hit, seed, or blocked, by mode
    vfloat<N> t;           // hit t (March) or seed t (Seed)
    vint<N> level;
    vint<N> ix, iy;
    vmask<N> underAtEntry; // March: the ray started on or under the patch
};

// 1 / d per lane with zero components floored at 2^-80 (keeping the sign).
template <int N>
vfloat<N> inverseDirection(vfloat<N> d)
{
    const vfloat<N> m = max(abs(d), vfloat<N>(kDirectionFloor));
    return vfloat<N>(1.0f) / select(d >= vfloat<N>(0.0f), m, -m);
}

template <int N>
LocalRays<N> localRays(const RayPacketOf<N>& rays, const Prism& p)
{
    using VF = vfloat<N>;
    LocalRays<N> r;
    const VF dx = rays.originX - VF(p.origin.x);
    const VF dy = rays.originY - VF(p.origin.y);
    const VF dz = rays.originZ - VF(p.origin.z);
    const Vec3& m0 = p.toLocal[0];
    const Vec3& m1 = p.toLocal[1];
    const Vec3& m2 = p.toLocal[2];
    r.ou = dx * VF(m0.x) + dy * VF(m1.x) + dz * VF(m2.x);
    r.ov = dx * VF(m0.y) + dy * VF(m1.y) + dz * VF(m2.y);
    r.oh = dx * VF(m0.z) + dy * VF(m1.z) + dz * VF(m2.z);
    r.du = rays.dirX * VF(m0.x) + rays.dirY * VF(m1.x) + rays.dirZ * VF(m2.x);
    r.dv = rays.dirX * VF(m0.y) + rays.dirY * VF(m1.y) + rays.dirZ * VF(m2.y);
    r.dh = rays.dirX * VF(m0.z) + rays.dirY * VF(m1.z) + rays.dirZ * VF(m2.z);

    r.iu = inverseDirection(r.du);
    r.iv = inverseDirection(r.dv);
    r.ih = inverseDirection(r.dh);
    const vmask<N> posU = r.du >= VF(0.0f);
    const vmask<N> posV = r.dv >= VF(0.0f);
    r.stepU = select(posU, vint<N>(1), vint<N>(-1));
    r.stepV = select(posV, vint<N>(1), vint<N>(-1));
    r.exitU = select(posU, vint<N>(1), vint<N>(0));
    r.exitV = select(posV, vint<N>(1), vint<N>(0));

    const VF u0 = (VF(p.uMin) - r.ou) * r.iu, u1 = (VF(p.uMax) - r.ou) * r.iu;
    const VF v0 = (VF(p.vMin) - r.ov) * r.iv, v1 = (VF(p.vMax) - r.ov) * r.iv;
    const VF h0 = (VF(p.hMin) - r.oh) * r.ih, h1 = (VF(p.hMax) - r.oh) * r.ih;
    const VF nearU = min(u0, u1), nearV = min(v0, v1), nearH = min(h0, h1);
    r.tEnter = max(max(nearU, nearV), nearH);
    r.tLeave = min(min(max(u0, u1), max(v0, v1)), max(h0, h1));
    r.entryAxis = select(nearU == r.tEnter, vint<N>(0), select(nearV == r.tEnter, vint<N>(1), vint<N>(2)));
    r.entersBottom = (r.entryAxis == vint<N>(2)) & (r.dh > VF(0.0f));
    r.leavesBottom = (r.dh < VF(0.0f)) & (r.tLeave == h0);
    r.bottom = p.hMin;
    return r;
}

template <int N>
FieldLanes<N> fieldLanes(const FieldView& view)
{
    FieldLanes<N> f;
    f.view = &view;
    f.levels = int(view.levels);
    f.log2W = vint<N>(int(view.log2Width));
    f.log2H = vint<N>(int(view.log2Height));
    f.top = vint<N>(int(view.levels) - 1);
    return f;
}

// Level sizes as exact floats: 2^max(log2 - level, 0), and their inverses.
// The small helpers of a walk step are forced inline: at the pass width a
// call passes its lane vectors through memory.
template <int N>
struct LevelSize {
    vfloat<N> w, h, invW, invH;
    vint<N> wi, hi;
};

template <int N>
[[gnu::always_inline]] inline LevelSize<N> levelSize(const FieldLanes<N>& f, vint<N> level)
{
    const vint<N> ew = maxZero(f.log2W - level);
    const vint<N> eh = maxZero(f.log2H - level);
    LevelSize<N> s;
    s.w = simd::exp2Int(ew);
    s.h = simd::exp2Int(eh);
    s.invW = simd::exp2Int(vint<N>(0) - ew);
    s.invH = simd::exp2Int(vint<N>(0) - eh);
    s.wi = toInt(s.w);
    s.hi = toInt(s.h);
    return s;
}

// The cell of a level containing the local point at t, floor((o + t d) size),
// clamped into [lo, hi]. With integral 0 <= lo <= hi the floor can be left
// to the truncating conversion: a value at or above lo is not negative, so
// truncating it (or hi) is its floor (or hi); one below lo, NaN included,
// clamps to lo either way.
template <int N>
[[gnu::always_inline]] inline vint<N> cellAt(vfloat<N> o, vfloat<N> d, vfloat<N> t, vfloat<N> size, vfloat<N> lo,
                                             vfloat<N> hi)
{
    return toInt(simd::clamp((o + t * d) * size, lo, hi));
}

// The four corner heights of cell (ix, iy) of each lane's level.
template <int N>
struct Corners {
    vfloat<N> h00, h10, h01, h11;
};

// Each row's two corners come from one paired load; lanes whose right
// neighbour wraps or clamps (the last column, one-column levels) load it apart.
// Inlined into the walk step: as a call its lane vectors go through memory.
template <int N>
[[gnu::always_inline]] inline Corners<N> cornerHeights(const FieldLanes<N>& f, vint<N> level, vint<N> ix,
                                                       vint<N> iy, const LevelSize<N>& s, vmask<N> lanes)
{
    using VI = vint<N>;
    const FieldView& view = *f.view;
    const VI offset = simd::lookup16(reinterpret_cast<const std::int32_t*>(view.heightOffsets.data()), level);
    VI x1 = ix + VI(1), y1 = iy + VI(1);
    if (view.wrap) {
        x1 = x1 & (s.wi - VI(1));
        y1 = y1 & (s.hi - VI(1));
    } else {
        x1 = min(x1, s.wi - VI(1));
        y1 = min(y1, s.hi - VI(1));
    }
    // Cell indices and level sizes are at most 2^15 (16 levels).
    const VI row0 = offset + mulU16(iy, s.wi);
    const VI row1 = offset + mulU16(y1, s.wi);
    const VI pair0 = gatherPairU16(view.heights, row0 + ix, lanes);
    const VI pair1 = gatherPairU16(view.heights, row1 + ix, lanes);
    VI h10 = simd::shiftRightLogical(pair0, 16);
    VI h11 = simd::shiftRightLogical(pair1, 16);
    const vmask<N> edge = lanes & (x1 != ix + VI(1));
    if (any(edge)) {
        h10 = select(edge, gatherU16(view.heights, row0 + x1, edge), h10);
        h11 = select(edge, gatherU16(view.heights, row1 + x1, edge), h11);
    }
    const simd::vfloat<N> scale(kHeightScale);
    return {toFloat(pair0 & VI(0xFFFF)) * scale, toFloat(h10) * scale, toFloat(pair1 & VI(0xFFFF)) * scale,
            toFloat(h11) * scale};
}

// gatherHeights8 at (ix + dx, iy + dy) and (ix + dx + 1, iy + dy) in one
// paired load; lanes where the edge rule does not put the second sample
// right after the first (last column, one-column levels) load it apart.
template <int N>
[[gnu::always_inline]] inline void gatherHeightPair(const HeightGather<N>& g, vmask<N> lanes, int dx, int dy,
                                                    vfloat<N>& first, vfloat<N>& second)
{
    using VI = vint<N>;
    VI x0 = g.ix + VI(dx), x1 = g.ix + VI(dx + 1), y = g.iy + VI(dy);
    if (g.view->wrap) {
        x0 = x0 & (g.width - VI(1));
        x1 = x1 & (g.width - VI(1));
        y = y & (g.height - VI(1));
    } else {
        x0 = simd::clamp(x0, VI(0), g.width - VI(1));
        x1 = simd::clamp(x1, VI(0), g.width - VI(1));
        y = simd::clamp(y, VI(0), g.height - VI(1));
    }
    const VI row = g.levelOffset + mulU16(y, g.width);
    const VI pair = gatherPairU16(g.view->heights, row + x0, lanes);
    VI high = simd::shiftRightLogical(pair, 16);
    const vmask<N> apart = lanes & (x1 != x0 + VI(1));
    if (any(apart))
        high = select(apart, gatherU16(g.view->heights, row + x1, apart), high);
    const vfloat<N> scale(kHeightScale);
    first = toFloat(pair & VI(0xFFFF)) * scale;
    second = toFloat(high) * scale;
}

// The shadow horizon of a prism as the walk reads it, and the lanes it may end.
template <int N>
struct HorizonLanes {
    const ShadowHorizon* horizon = nullptr;
    vmask<N> lanes;
};

// Shadow lanes the horizon serves: those whose local direction is the one
// it was built for, whose leaves lie at or below its level and whose origin
// lies near the prism (|o| <= 1.5 on every axis), which keeps the float
// error of their points and heights within the horizon's margin.
template <int N>
HorizonLanes<N> horizonLanes(const ShadowHorizon* horizon, const LocalRays<N>& r, vmask<N> lanes, vint<N> lodFloor)
{
    using VF = vfloat<N>;
    HorizonLanes<N> h;
    if (horizon == nullptr || horizon->empty()) return h;
    const VF near(1.5f);
    h.lanes = lanes & (r.du == VF(horizon->du)) & (r.dv == VF(horizon->dv)) & (r.dh == VF(horizon->dh)) &
              (lodFloor <= vint<N>(horizon->level)) & (abs(r.ou) <= near) & (abs(r.ov) <= near) &
              (abs(r.oh) <= near);
    if (any(h.lanes)) h.horizon = horizon;
    return h;
}

// Lanes of `asked` whose ray, at the walk's current c, stands above the
// clear height of the horizon cell under it (inside the unit square only:
// outside it the walk's cells are clamped edge cells).
template <int N>
[[gnu::always_inline]] inline vmask<N> clearOfField(const HorizonLanes<N>& h, const LocalRays<N>& r, vmask<N> asked,
                                                    vfloat<N> c)
{
    using VF = vfloat<N>;
    using VI = vint<N>;
    const ShadowHorizon& horizon = *h.horizon;
    const VF u = r.ou + c * r.du;
    const VF v = r.ov + c * r.dv;
    const VF zero(0.0f), one(1.0f);
    const vmask<N> inside = asked & (u >= zero) & (u <= one) & (v >= zero) & (v <= one);
    if (none(inside)) return inside;
    // u, v >= 0: truncation is the floor.
    const VI cx = min(toInt(u * VF(float(horizon.cellsU))), VI(int(horizon.cellsU) - 1));
    const VI cy = min(toInt(v * VF(float(horizon.cellsV))), VI(int(horizon.cellsV) - 1));
    const auto* heights = reinterpret_cast<const std::int32_t*>(horizon.clearHeight.data());
    const VF clear = asFloat(gather(heights, mulU16(cy, VI(int(horizon.cellsU))) + cx, inside));
    return inside & (r.oh + c * r.dh > clear);
}

// The walk over the bounds pyramid, shared by the seed pass, the march and
// the shadow rays; `mode` decides what ends a lane. `lodFloor` is the finest
// level a lane may reach (its leaf level), `seedLevel` the seed pass's level.
// Shadow walks with a horizon end the lanes it clears, unblocked, when they
// climb into a coarser level (at the c of their next step).
// `stepsTaken` is how many steps each lane has already made outside this
// loop (the shadow walk's skipped opening descent): they count against its
// step budget just as the loop's own steps do.
template <WalkMode mode, int N>
void runWalk(const FieldLanes<N>& f, const LocalRays<N>& r, Walk<N>& w, WalkOutcome<N>& out, vint<N> lodFloor,
             vint<N> seedLevel, vfloat<N> prismStart, std::uint32_t maxSteps, vfloat<N>& stepCounter,
             vfloat<N>* descendCounter, const HorizonLanes<N>& horizon = {}, vint<N> stepsTaken = vint<N>(0))
{
    using VF = vfloat<N>;
    using VI = vint<N>;
    using VM = vmask<N>;
    const FieldView& view = *f.view;
    const bool hasBounds = f.levels >= 2;
    const auto* boundsOffsets = reinterpret_cast<const std::int32_t*>(view.boundsOffsets.data());

    // A lane's leaves all lie on its lodFloor: it starts at or above it,
    // descends only from above it and never goes below. So the leaf level's
    // sizes, the patch slopes along u and v and the root tolerance are the
    // same at every leaf step of the lane.
    const LevelSize<N> leafSize = levelSize(f, lodFloor);
    const VF leafDs = r.du * leafSize.w;
    const VF leafDr = r.dv * leafSize.h;
    const VF leafEps = VF(2e-5f) / max(abs(leafDr) + abs(leafDs) + abs(r.dh), VF(kDirectionFloor));

    for (std::uint32_t step = 0; step < maxSteps; ++step) {
        // Steps taken before the loop are fewer than the levels (at most
        // 15): only the last few loop steps can find a lane's budget spent.
        if constexpr (mode == WalkMode::Shadow) {
            if (maxSteps - step <= kMaxFieldLevels) w.walking = w.walking & (stepsTaken < VI(int(maxSteps - step)));
        }
        const VM walking = w.walking;
        if (none(walking)) break;
        stepCounter += simd::maskToOne(walking);

        const VI level = w.level;
        const LevelSize<N> s = levelSize(f, level);
        const VF c = w.c;

        // Cell exit.
        const VF tx = (toFloat(w.ix + r.exitU) * s.invW - r.ou) * r.iu;
        const VF ty = (toFloat(w.iy + r.exitV) * s.invH - r.ov) * r.iv;
        const VF tCell = min(tx, ty);
        const VF tOut = max(min(tCell, w.end), c);

        // The seed pass stops on nodes only; level 0 is always a leaf otherwise.
        const VM leaf = mode == WalkMode::Seed ? VM(false) : walking & (level <= lodFloor);
        const VM nodeLanes = mode == WalkMode::Shadow ? walking & (level >= VI(1)) : andNot(walking, leaf);

        // Node top from the bounds pyramid (level 0 has no nodes).
        VM candidate;
        VF tTop(kInf);
        VM aboveRay; // Shadow: the whole node lies above the ray over the step
        if (hasBounds && any(nodeLanes)) {
            const VI nodeIndex = simd::lookup16(boundsOffsets, level) + mulU16(w.iy, s.wi) + w.ix;
            const VI node = gather(view.bounds, nodeIndex, nodeLanes);
            const VF maxH = toFloat(simd::shiftRightLogical(node, 16)) * VF(kHeightScale);
            const VF rayAtC = r.oh + c * r.dh;
            tTop = select(r.dh < VF(0.0f), max(c, (maxH - r.oh) * r.ih), select(rayAtC <= maxH, c, VF(kInf)));
            candidate = nodeLanes & (tTop <= tOut);
            if constexpr (mode == WalkMode::Shadow) {
                const VF minH = toFloat(node & VI(0xFFFF)) * VF(kHeightScale);
                const VF rayAtOut = r.oh + tOut * r.dh;
                aboveRay = nodeLanes & (c < tOut) & (rayAtC < minH) & (rayAtOut < minH);
            }
        }

        // Leaf: the bilinear patch of the cell's four corners.
        VM leafHit;
        VF tauHit;
        VM underNow;
        if constexpr (mode != WalkMode::Seed) {
            if (any(leaf)) {
                const Corners<N> k4 = cornerHeights(f, level, w.ix, w.iy, leafSize, leaf);
                const VF s0 = (r.ou + c * r.du) * leafSize.w - toFloat(w.ix);
                const VF r0 = (r.ov + c * r.dv) * leafSize.h - toFloat(w.iy);
                const VF ds = leafDs;
                const VF dr = leafDr;
                const VF ea = k4.h10 - k4.h00;
                const VF eb = k4.h01 - k4.h00;
                const VF twist = k4.h00 - k4.h10 - k4.h01 + k4.h11;
                const VF f0 = (r.oh + c * r.dh) - (k4.h00 + ea * s0 + eb * r0 + twist * s0 * r0);
                const VF f1 = r.dh - ea * ds - eb * dr - twist * (ds * r0 + dr * s0);
                const VF f2 = -twist * ds * dr;
                const VF disc = f1 * f1 - VF(4.0f) * f2 * f0;
                const VF root = sqrt(max(disc, VF(0.0f)));
                const VF q = select(f1 >= VF(0.0f), VF(-0.5f) * (f1 + root), VF(-0.5f) * (f1 - root));
                const VF ra = simd::nanTo(q / f2, VF(kInf));
                const VF rb = simd::nanTo(f0 / q, VF(kInf));
                const VF small = min(ra, rb), large = max(ra, rb);
                const VF tauMax = tOut - c;
                const VF eps = leafEps;
                const VM discOk = disc >= VF(0.0f);
                const VM smallOk = discOk & (small >= -eps) & (small <= tauMax + eps);
                const VM largeOk = discOk & (large >= -eps) & (large <= tauMax + eps);
                const VF counted = select(smallOk, small, large);
                const VM under = f0 <= VF(0.0f);
                tauHit = select(under, VF(0.0f),
                                select(smallOk | largeOk, simd::clamp(counted, VF(0.0f), tauMax), VF(kInf)));
                // A ray above the surface at c that leaves the prism through
                // its bottom face in this cell, on or under the surface there,
                // has crossed the surface on the way, exactly once, even when
                // rounding put both roots past the tolerance: the tolerance is
                // a fixed share of the height range, which a thin prism far
                // away makes smaller than one rounding step of t, and a
                // surface lying on the bottom face would show holes wherever
                // t rounds the wrong way. Such a lane takes the root nearest
                // the segment, clamped into it.
                const VM leavesHere = leaf & r.leavesBottom & (tOut == r.tLeave) & (tauHit == VF(kInf));
                if (any(leavesHere)) {
                    const VF s1 = (r.ou + tOut * r.du) * leafSize.w - toFloat(w.ix);
                    const VF r1 = (r.ov + tOut * r.dv) * leafSize.h - toFloat(w.iy);
                    const VF patchAtExit = k4.h00 + ea * s1 + eb * r1 + twist * s1 * r1;
                    const VM crossed = leavesHere & (patchAtExit >= VF(r.bottom));
                    const VF smallOff = max(-small, small - tauMax);
                    const VF largeOff = max(-large, large - tauMax);
                    const VF nearest = select(smallOff <= largeOff, small, large);
                    tauHit = select(crossed, simd::clamp(nearest, VF(0.0f), tauMax), tauHit);
                }
                leafHit = leaf & (tauHit <= tauMax);
                // A ray that comes up through the bottom face and meets the
                // surface right there is on it, whether its height at the
                // face rounds an ulp under (f0 <= 0) or over (a root within
                // the tolerance behind): a surface lying on the bottom face
                // (height 0) would otherwise get the face's normal or the
                // opposite surface normal by the rounding alone.
                const VM onBottom = r.entersBottom & (c == r.tEnter) & (tauHit == VF(0.0f));
                underNow = under | onBottom;
                // A lane hits once (and stops): most steps record nothing.
                if constexpr (mode == WalkMode::March) {
                    if (any(leafHit)) {
                        out.found |= leafHit;
                        out.t = select(leafHit, c + tauHit, out.t);
                        out.level = select(leafHit, level, out.level);
                        out.ix = select(leafHit, w.ix, out.ix);
                        out.iy = select(leafHit, w.iy, out.iy);
                        out.underAtEntry =
                            (leafHit & (c == prismStart) & underNow) | andNot(out.underAtEntry, leafHit);
                    }
                }
            }
        }

        // Outcomes.
        VM stopped;
        VM descend;
        if constexpr (mode == WalkMode::Seed) {
            const VM seeded = candidate & (level <= seedLevel);
            out.found |= seeded;
            out.t = select(seeded, tTop, out.t);
            out.level = select(seeded, level, out.level);
            stopped = seeded;
            descend = andNot(candidate, seeded);
        } else if constexpr (mode == WalkMode::March) {
            stopped = leafHit; // recorded with the leaf test
            descend = andNot(candidate, leaf);
        } else {
            const VM blocked = aboveRay | leafHit;
            out.found |= blocked;
            stopped = blocked;
            descend = andNot(andNot(candidate, leaf), blocked);
        }
        const VM advance = andNot(andNot(walking, stopped), descend);

        if (descendCounter) *descendCounter += simd::maskToOne(descend);

        // A lane that stops is never read again: its outcome is in `out`,
        // every later step masks it out and the caller drops the walk. So
        // each walking lane takes the values of the one move it makes
        // (descend or advance) and stopped lanes take whatever comes.
        VI newLevel = level;
        VI newIx = w.ix;
        VI newIy = w.iy;
        VF newC = c;
        VM keepWalking = andNot(walking, stopped);

        if (any(descend)) {
            // Into the child of the old cell that contains the point at tTop.
            // The children are [2 ix, 2 ix + 1] along an axis that halves;
            // along one that does not, the level is one cell wide (ix = 0)
            // and the clamp to the child level's last cell makes them [0, 0].
            const VI child = level - VI(1);
            const LevelSize<N> cs = levelSize(f, child);
            const VF loU = toFloat(w.ix + w.ix), loV = toFloat(w.iy + w.iy);
            const VF hiU = min(loU + VF(1.0f), cs.w - VF(1.0f)), hiV = min(loV + VF(1.0f), cs.h - VF(1.0f));
            newIx = cellAt(r.ou, r.du, tTop, cs.w, loU, hiU);
            newIy = cellAt(r.ov, r.dv, tTop, cs.h, loV, hiV);
            newC = tTop;
            newLevel = newLevel + asInt(descend); // one level down (set lanes are -1)
        }

        if (any(advance)) {
            const VI ax = w.ix + keep(tx == tCell, r.stepU);
            const VI ay = w.iy + keep(ty == tCell, r.stepV);
            const VM outside = (ax < VI(0)) | (ax >= s.wi) | (ay < VI(0)) | (ay >= s.hi);
            const VM leaves = advance & ((w.end <= tCell) | outside);
            // Up one level when the step crossed into another parent: the
            // parent index is index >> 1 along an axis that halves going up.
            // Along one that does not the level is one cell wide, so a lane
            // that stays inside has ix = ax = 0 and the shift changes nothing.
            // Two indices have the same parent when they agree above bit 0.
            const VM sameParent = (((w.ix ^ ax) | (w.iy ^ ay)) >> 1) == VI(0);
            const VM ascend = andNot(andNot(advance, leaves) & (level < f.top), sameParent);
            const VI advanceIx = select(ascend, ax >> 1, ax);
            const VI advanceIy = select(ascend, ay >> 1, ay);
            if (any(descend)) {
                newIx = select(advance, advanceIx, newIx);
                newIy = select(advance, advanceIy, newIy);
                newC = select(advance, tOut, newC);
            } else {
                newIx = advanceIx;
                newIy = advanceIy;
                newC = tOut;
            }
            newLevel = newLevel - asInt(ascend); // one level up
            keepWalking = andNot(keepWalking, leaves);
            // A lane climbs the pyramid while its ray stands above the
            // nodes it crosses; only then can it have cleared the field.
            if constexpr (mode == WalkMode::Shadow) {
                if (horizon.horizon != nullptr) {
                    const VM asked = keepWalking & ascend & horizon.lanes;
                    if (any(asked)) keepWalking = andNot(keepWalking, clearOfField(horizon, r, asked, tOut));
                }
            }
        }

        w.level = newLevel;
        w.ix = newIx;
        w.iy = newIy;
        w.c = newC;
        w.walking = keepWalking;
    }
}

// How many levels above its leaf level a shadow walk's opening is checked.
// Rays start a little above the surface, so their descent nearly always
// ends a few levels above the leaves; six reads cover nine in ten of them.
constexpr int kOpeningProbes = 6;

// A shadow ray starts at the surface, so its walk opens by descending, at
// its start c, from the start level until a node's bounds no longer hold
// the ray there: a rising (or level) ray descends a node when it stands at
// or under the node's top at c, and one under the node's bottom there would
// end blocked instead. Node bounds nest, a child's within its parent's, so
// when the ray at c lies within the bounds of a node, it lies within those
// of every coarser node above it and the walk descends all of them. Each
// descend takes the child holding the point at c, and cells of power-of-two
// levels nest the same way, so the walk arrives in the cell holding that
// point one level below the finest such node. This reads the nodes of the
// few levels above each lane's leaf level at once and puts every lane whose
// ray lies within one of them where its descent would arrive: the result
// is that of the step-by-step walk. The skipped steps still count against
// the step budget: they are returned per lane, for the walk to add. Falling
// rays keep the whole walk: their node tops are met past c, not at it.
template <int N>
vint<N> skipOpeningDescent(const FieldLanes<N>& f, const LocalRays<N>& r, Walk<N>& w, vint<N> lodFloor)
{
    using VF = vfloat<N>;
    using VI = vint<N>;
    const vmask<N> asked = w.walking & (w.level > lodFloor) & (r.dh >= VF(0.0f));
    if (none(asked)) return VI(0);
    const FieldView& view = *f.view;
    const auto* boundsOffsets = reinterpret_cast<const std::int32_t*>(view.boundsOffsets.data());
    const VF rayAtC = r.oh + w.c * r.dh;
    // The reads are independent of each other: their latencies overlap.
    VI arrival = w.level;
    for (int k = kOpeningProbes; k >= 1; --k) {
        const VI probe = min(lodFloor + VI(k), w.level);
        const LevelSize<N> s = levelSize(f, probe);
        const VI nx = cellAt(r.ou, r.du, w.c, s.w, VF(0.0f), s.w - VF(1.0f));
        const VI ny = cellAt(r.ov, r.dv, w.c, s.h, VF(0.0f), s.h - VF(1.0f));
        const VI node = gather(view.bounds, simd::lookup16(boundsOffsets, probe) + mulU16(ny, s.wi) + nx, asked);
        const VF maxH = toFloat(simd::shiftRightLogical(node, 16)) * VF(kHeightScale);
        const VF minH = toFloat(node & VI(0xFFFF)) * VF(kHeightScale);
        const vmask<N> within = asked & (rayAtC <= maxH) & (rayAtC >= minH);
        arrival = select(within, probe - VI(1), arrival);
    }
    const vmask<N> skip = arrival < w.level;
    if (none(skip)) return VI(0);
    const LevelSize<N> s = levelSize(f, arrival);
    const VI skipped = w.level - arrival;
    w.ix = select(skip, cellAt(r.ou, r.du, w.c, s.w, VF(0.0f), s.w - VF(1.0f)), w.ix);
    w.iy = select(skip, cellAt(r.ov, r.dv, w.c, s.h, VF(0.0f), s.h - VF(1.0f)), w.iy);
    w.level = arrival;
    return skipped;
}

// The segment, level of detail and start level of one prism for every lane.
template <int N>
struct PrismSetup {
    LocalRays<N> r;
    vmask<N> takesPart;
    vfloat<N> c, end;
    vint<N> lodLevel, lodFloor, startLevel;
};

// `lodScale` is 2^lodBias, computed once per packet rather than per prism.
template <int N>
PrismSetup<N> setupPrism(const SceneTracer& tracer, const Prism& p, const FieldLanes<N>& f,
                         const RayPacketOf<N>& rays, vmask<N> lanes, vfloat<N> tLimit, float lodScale)
{
    using VF = vfloat<N>;
    using VI = vint<N>;
    const TraceSettings& set = tracer.settings;
    const FieldView& view = *f.view;
    PrismSetup<N> ps;
    ps.r = localRays(rays, p);
    ps.c = max(ps.r.tEnter, rays.tmin);
    ps.end = min(ps.r.tLeave, tLimit);
    // A singular prism frame (a zero size, parallel axes) or a ray beyond the
    // float range gives local rays with infinite or NaN parts. The min and
    // max above would hide them in a finite segment, and the walk would then
    // spend its whole step budget on meaningless cells: such lanes stay out.
    const VF largest(std::numeric_limits<float>::max());
    const vmask<N> finite = (abs(ps.r.ou) <= largest) & (abs(ps.r.ov) <= largest) & (abs(ps.r.oh) <= largest) &
                            (abs(ps.r.du) <= largest) & (abs(ps.r.dv) <= largest) & (abs(ps.r.dh) <= largest);
    ps.takesPart = lanes & finite & (ps.c <= ps.end);
    if (none(ps.takesPart)) return ps;

    if (set.lod) {
        const VF bias(lodScale);
        const VF x = (max(ps.c, VF(0.0f)) * rays.coneSpread + rays.coneRadius) * bias / VF(p.heightTexelSize);
        ps.lodLevel = simd::floorLog2(max(x, VF(1e-30f)));
    } else {
        ps.lodLevel = VI(0);
    }
    ps.lodFloor = min(f.top, max(ps.lodLevel, VI(0)));

    // Every offset from kTopStartOffset up starts at the top level; capped,
    // the offset cannot wrap the signed level arithmetic below.
    const VI offset(int(std::min(set.startOffset, kTopStartOffset)));
    if (set.start == 0) {
        ps.startLevel = f.top;
    } else if (set.start == 2) {
        ps.startLevel = ps.lodLevel + offset;
    } else {
        const VF len = max(ps.end - ps.c, VF(0.0f));
        const VF spanU = abs(ps.r.du) * len * VF(float(1u << view.log2Width));
        const VF spanV = abs(ps.r.dv) * len * VF(float(1u << view.log2Height));
        ps.startLevel = offset + simd::floorLog2(max(max(spanU, spanV), VF(1.0f)));
    }
    return ps;
}

// Starts a walk at each lane's level, in the cell containing the point at c.
template <int N>
Walk<N> startWalk(const FieldLanes<N>& f, const LocalRays<N>& r, vmask<N> lanes, vint<N> level, vfloat<N> c,
                  vfloat<N> end)
{
    const LevelSize<N> s = levelSize(f, level);
    Walk<N> w;
    w.walking = lanes;
    w.level = level;
    w.c = c;
    w.end = end;
    w.ix = cellAt(r.ou, r.du, c, s.w, vfloat<N>(0.0f), s.w - vfloat<N>(1.0f));
    w.iy = cellAt(r.ov, r.dv, c, s.h, vfloat<N>(0.0f), s.h - vfloat<N>(1.0f));
    return w;
}

template <int N>
void normalizeInto(vfloat<N> x, vfloat<N> y, vfloat<N> z, vfloat<N>& ox, vfloat<N>& oy, vfloat<N>& oz)
{
    const vfloat<N> len = sqrt(max(x * x + y * y + z * z, vfloat<N>(1e-30f)));
    ox = x / len;
    oy = y / len;
    oz = z / len;
}

// Local normal to world through the prism's normal matrix, normalised.
template <int N>
void worldNormal(const Prism& p, vfloat<N> nu, vfloat<N> nv, vfloat<N> nh, vfloat<N>& ox, vfloat<N>& oy,
                 vfloat<N>& oz)
{
    using VF = vfloat<N>;
    const Vec3& c0 = p.normalM[0];
    const Vec3& c1 = p.normalM[1];
    const Vec3& c2 = p.normalM[2];
    const VF x = nu * VF(c0.x) + nv * VF(c1.x) + nh * VF(c2.x);
    const VF y = nu * VF(c0.y) + nv * VF(c1.y) + nh * VF(c2.y);
    const VF z = nu * VF(c0.z) + nv * VF(c1.z) + nh * VF(c2.z);
    normalizeInto(x, y, z, ox, oy, oz);
}

// Fills the hit record of the lanes that hit this prism nearer than before.
template <int N>
void recordHits(const SceneTracer& tracer, const Prism& p, std::uint32_t prismIndex, const FieldLanes<N>& f,
                const PrismSetup<N>& ps, const RayPacketOf<N>& rays, const WalkOutcome<N>& hit, HitPacketOf<N>& out)
{
    using VF = vfloat<N>;
    using VI = vint<N>;
    using VM = vmask<N>;
    const LocalRays<N>& r = ps.r;
    const VM lanes = hit.found & (hit.t <= out.t);
    if (none(lanes)) return;

    const VF t = hit.t;
    const VI level = hit.level;
    const LevelSize<N> s = levelSize(f, level);
    const VF u = r.ou + t * r.du;
    const VF v = r.ov + t * r.dv;
    const VF rayH = r.oh + t * r.dh;

    // The patch cell, and the 2 x 2 block of the shading gradient kept
    // inside the level on clamping fields (max(size, 2) - 2 keeps the range
    // valid on one-cell-wide levels).
    const VI cx = simd::clamp(hit.ix, VI(0), s.wi - VI(1));
    const VI cy = simd::clamp(hit.iy, VI(0), s.hi - VI(1));
    const VF sCell = simd::clamp(u * s.w - toFloat(cx), VF(0.0f), VF(1.0f));
    const VF rCell = simd::clamp(v * s.h - toFloat(cy), VF(0.0f), VF(1.0f));
    VI bx = cx, by = cy;
    VF sb = sCell, rb = rCell;
    if (!f.view->wrap) {
        bx = simd::clamp(cx, VI(0), max(s.wi, VI(2)) - VI(2));
        by = simd::clamp(cy, VI(0), max(s.hi, VI(2)) - VI(2));
        sb = simd::clamp(u * s.w - toFloat(bx), VF(0.0f), VF(1.0f));
        rb = simd::clamp(v * s.h - toFloat(by), VF(0.0f), VF(1.0f));
    }
    HeightGather<N> g;
    g.view = f.view;
    g.levelOffset = simd::lookup16(reinterpret_cast<const std::int32_t*>(f.view->heightOffsets.data()), level);
    g.ix = bx;
    g.iy = by;
    g.width = s.wi;
    g.height = s.hi;

    // The block's rows -1 to 2, in pairs of neighbours: columns -1 to 2 of
    // rows 0 and 1 (the central difference along u) and columns 0 and 1 of
    // rows -1 and 2 (along v); the geometric mode reads only the block.
    const int mode = tracer.settings.normalMode;
    const bool central = mode == 1 || mode == 2;
    VF b00, b10, b01, b11, left0, right0, left1, right1;
    if (central) {
        gatherHeightPair(g, lanes, -1, 0, left0, b00);
        gatherHeightPair(g, lanes, 1, 0, b10, right0);
        gatherHeightPair(g, lanes, -1, 1, left1, b01);
        gatherHeightPair(g, lanes, 1, 1, b11, right1);
    } else {
        gatherHeightPair(g, lanes, 0, 0, b00, b10);
        gatherHeightPair(g, lanes, 0, 1, b01, b11);
    }

    // Geometric patch at the hit cell: the block itself, except where the
    // block was moved inside the level.
    Corners<N> k4{b00, b10, b01, b11};
    const VM moved = lanes & ((bx != cx) | (by != cy));
    if (any(moved)) {
        const Corners<N> own = cornerHeights(f, level, cx, cy, s, moved);
        k4 = {select(moved, own.h00, b00), select(moved, own.h10, b10), select(moved, own.h01, b01),
              select(moved, own.h11, b11)};
    }
    const VF ea = k4.h10 - k4.h00;
    const VF eb = k4.h01 - k4.h00;
    const VF twist = k4.h00 - k4.h10 - k4.h01 + k4.h11;
    const VF patchH = k4.h00 + ea * sCell + eb * rCell + twist * sCell * rCell;
    const VF h = select(hit.underAtEntry, rayH, patchH);
    const VF gradU = (ea + twist * rCell) * s.w;
    const VF gradV = (eb + twist * sCell) * s.h;

    VF shadeU, shadeV;
    if (central) {
        VF above0, above1, below0, below1;
        gatherHeightPair(g, lanes, 0, -1, above0, above1);
        gatherHeightPair(g, lanes, 0, 2, below0, below1);
        const VF half(0.5f);
        const VF gu00 = (b10 - left0) * half;
        const VF gu10 = (right0 - b00) * half;
        const VF gu01 = (b11 - left1) * half;
        const VF gu11 = (right1 - b01) * half;
        const VF gv00 = (b01 - above0) * half;
        const VF gv10 = (b11 - above1) * half;
        const VF gv01 = (below0 - b00) * half;
        const VF gv11 = (below1 - b10) * half;
        VF ws = sb, wr = rb;
        if (mode == 2) {
            ws = (VF(3.0f) - VF(2.0f) * sb) * (sb * sb);
            wr = (VF(3.0f) - VF(2.0f) * rb) * (rb * rb);
        }
        const VF one(1.0f);
        shadeU = ((gu00 * (one - ws) + gu10 * ws) * (one - wr) + (gu01 * (one - ws) + gu11 * ws) * wr) * s.w;
        shadeV = ((gv00 * (one - ws) + gv10 * ws) * (one - wr) + (gv01 * (one - ws) + gv11 * ws) * wr) * s.h;
    } else {
        const VF bt = b00 - b10 - b01 + b11;
        shadeU = ((b10 - b00) + bt * rb) * s.w;
        shadeV = ((b01 - b00) + bt * sb) * s.h;
    }

    VF nu = -shadeU, nv = -shadeV, nh(1.0f);
    VF gu = -gradU, gv = -gradV, gh(1.0f);

    // Side faces: a ray that begins under the surface reports the face it
    // came through (or its own reverse direction when it started inside).
    if (!p.sideNormalsOff) {
        const VM throughTopDown = (r.entryAxis == VI(2)) & (r.dh < VF(0.0f));
        const VM side = andNot(hit.underAtEntry, throughTopDown);
        if (any(side & lanes)) {
            const VM inside = r.tEnter < rays.tmin;
            auto face = [&](VF d, int axis) {
                const VF outward = select(d >= VF(0.0f), VF(-1.0f), VF(1.0f));
                return select(inside, -d, select(r.entryAxis == VI(axis), outward, VF(0.0f)));
            };
            const VF fu = face(r.du, 0), fv = face(r.dv, 1), fh = face(r.dh, 2);
            nu = select(side, fu, nu);
            nv = select(side, fv, nv);
            nh = select(side, fh, nh);
            gu = select(side, fu, gu);
            gv = select(side, fv, gv);
            gh = select(side, fh, gh);
        }
    }

    VF nx, ny, nz, ox, oy, oz;
    worldNormal(p, nu, nv, nh, nx, ny, nz);
    worldNormal(p, gu, gv, gh, ox, oy, oz);
    const VF px = VF(p.origin.x) + u * VF(p.axisU.x) + v * VF(p.axisV.x) + h * VF(p.axisH.x);
    const VF py = VF(p.origin.y) + u * VF(p.axisU.y) + v * VF(p.axisV.y) + h * VF(p.axisH.y);
    const VF pz = VF(p.origin.z) + u * VF(p.axisU.z) + v * VF(p.axisV.z) + h * VF(p.axisH.z);

    out.mask |= lanes;
    out.t = select(lanes, t, out.t);
    out.posX = select(lanes, px, out.posX);
    out.posY = select(lanes, py, out.posY);
    out.posZ = select(lanes, pz, out.posZ);
    out.normalX = select(lanes, nx, out.normalX);
    out.normalY = select(lanes, ny, out.normalY);
    out.normalZ = select(lanes, nz, out.normalZ);
    out.offsetNormalX = select(lanes, ox, out.offsetNormalX);
    out.offsetNormalY = select(lanes, oy, out.offsetNormalY);
    out.offsetNormalZ = select(lanes, oz, out.offsetNormalZ);
    out.u = select(lanes, u, out.u);
    out.v = select(lanes, v, out.v);
    out.h = select(lanes, h, out.h);
    out.prism = select(lanes, VI(int(prismIndex)), out.prism);
    out.level = select(lanes, level, out.level);
}

} // namespace

template <int N>
void tracePacket(const SceneTracer& tracer, HitPacketOf<N>& out, const RayPacketOf<N>& rays, simd::vmask<N> active,
                 std::span<const uint32_t> prisms)
{
    using VF = vfloat<N>;
    using VI = vint<N>;
    using VM = vmask<N>;
    out = HitPacketOf<N>{};
    out.t = rays.tmax;
    out.prism = VI(-1);

    const TraceSettings& set = tracer.settings;
    const float lodScale = set.lod ? std::exp2(set.lodBias) : 1.0f;
    for (const std::uint32_t index : prisms) {
        const Prism& p = tracer.scene->prisms[index];
        const FieldLanes<N> f = fieldLanes<N>(tracer.views[p.fieldIndex]);
        PrismSetup<N> ps = setupPrism(tracer, p, f, rays, active, out.t, lodScale);
        if (none(ps.takesPart)) continue;
        const VF prismStart = ps.c;

        VM lanes = ps.takesPart;
        VF c = ps.c;
        VI startLevel = ps.startLevel;
        if (set.seedOracle && f.levels >= 2) {
            // The shell depth is unsigned: any depth reaching past level 1
            // means level 1, so the difference is taken wide and held there
            // instead of wrapping in signed 32-bit arithmetic.
            const std::int64_t maxLog2 = std::max(f.view->log2Width, f.view->log2Height);
            const int shellBase = int(std::max<std::int64_t>(maxLog2 - set.shellLog2, 1));
            const VI seedLevel = min(f.top, max(VI(shellBase), ps.lodLevel));
            Walk<N> w = startWalk(f, ps.r, lanes, f.top, c, ps.end);
            WalkOutcome<N> seed;
            runWalk<WalkMode::Seed>(f, ps.r, w, seed, ps.lodFloor, seedLevel, prismStart, set.maxSteps,
                                    out.seedSteps, &out.descends);
            lanes = seed.found;
            if (none(lanes)) continue;
            c = seed.t;
            startLevel = seed.level;
        }

        const VI level = min(max(ps.lodFloor, startLevel), f.top);
        Walk<N> w = startWalk(f, ps.r, lanes, level, c, ps.end);
        WalkOutcome<N> hit;
        runWalk<WalkMode::March>(f, ps.r, w, hit, ps.lodFloor, VI(0), prismStart, set.maxSteps, out.iterations,
                                 &out.descends);
        recordHits(tracer, p, index, f, ps, rays, hit, out);
    }
}

template <int N>
void traceShadows(const SceneTracer& tracer, simd::vmask<N>& blocked, const RayPacketOf<N>& rays,
                  simd::vmask<N> active, std::span<const uint32_t> prisms, std::span<const ShadowHorizon> horizons)
{
    using VF = vfloat<N>;
    using VI = vint<N>;
    blocked = vmask<N>(false);
    VF unusedCounter;
    const TraceSettings& set = tracer.settings;
    const float lodScale = set.lod ? std::exp2(set.lodBias) : 1.0f;
    for (const std::uint32_t index : prisms) {
        const vmask<N> open = andNot(active, blocked);
        if (none(open)) break;
        const Prism& p = tracer.scene->prisms[index];
        const FieldLanes<N> f = fieldLanes<N>(tracer.views[p.fieldIndex]);
        const PrismSetup<N> ps = setupPrism(tracer, p, f, rays, open, rays.tmax, lodScale);
        if (none(ps.takesPart)) continue;
        const VI level = min(max(ps.lodFloor, ps.startLevel), f.top);
        Walk<N> w = startWalk(f, ps.r, ps.takesPart, level, ps.c, ps.end);
        const VI skipped = f.levels >= 2 ? skipOpeningDescent(f, ps.r, w, ps.lodFloor) : VI(0);
        WalkOutcome<N> hit;
        const ShadowHorizon* horizon = index < horizons.size() ? &horizons[index] : nullptr;
        runWalk<WalkMode::Shadow>(f, ps.r, w, hit, ps.lodFloor, VI(0), ps.c, set.maxSteps, unusedCounter,
                                  static_cast<VF*>(nullptr), horizonLanes(horizon, ps.r, ps.takesPart, ps.lodFloor),
                                  skipped);
        blocked |= hit.found;
    }
}

// ---- prisms within reach of a bundle of rays

// The columns of PrismReach, kLanes prisms per vector (padding lanes repeat
// the last prism and are never reported).
enum ReachColumn : int {
    kOriginX, kOriginY, kOriginZ,
    kM0X, kM1X, kM2X, kM0Y, kM1Y, kM2Y, kM0Z, kM1Z, kM2Z, // toLocal, grouped by local axis
    kUMin, kUMax, kVMin, kVMax, kHMin, kHMax,
    kInvU, kInvV, kInvH,
    kReachColumns
};

PrismReach::PrismReach(const SceneTracer& tracer, Vec3 dir, std::span<const uint32_t> prisms)
    : direction(dir), indices(prisms.begin(), prisms.end())
{
    constexpr int N = simd::kLanes;
    using VF = vfloat<N>;
    const std::size_t groups = (indices.size() + N - 1) / N;
    columns.assign(groups * N * kReachColumns, 0.0f);
    for (std::size_t g = 0; g < groups; ++g) {
        float* group = columns.data() + g * N * kReachColumns;
        for (int lane = 0; lane < N; ++lane) {
            const std::size_t i = std::min(g * N + std::size_t(lane), indices.size() - 1);
            const Prism& p = tracer.scene->prisms[indices[i]];
            const float values[kInvU] = {p.origin.x, p.origin.y, p.origin.z, p.toLocal[0].x, p.toLocal[1].x,
                                         p.toLocal[2].x, p.toLocal[0].y, p.toLocal[1].y, p.toLocal[2].y,
                                         p.toLocal[0].z, p.toLocal[1].z, p.toLocal[2].z, p.uMin, p.uMax,
                                         p.vMin, p.vMax, p.hMin, p.hMax};
            for (int c = 0; c < kInvU; ++c)
                group[c * N + lane] = values[c];
        }
        // The local direction and its inverse exactly as localRays computes
        // them for a packet whose lanes all have this direction.
        const VF dx(dir.x), dy(dir.y), dz(dir.z);
        auto column = [&](int c) { return VF::load(group + c * N); };
        inverseDirection(dx * column(kM0X) + dy * column(kM1X) + dz * column(kM2X)).store(group + kInvU * N);
        inverseDirection(dx * column(kM0Y) + dy * column(kM1Y) + dz * column(kM2Y)).store(group + kInvV * N);
        inverseDirection(dx * column(kM0Z) + dy * column(kM1Z) + dz * column(kM2Z)).store(group + kInvH * N);
    }
}

namespace {

// Lane bounds of a float expression over the rays of a bundle. Rounding to
// nearest is monotone: x <= y gives fl(x + a) <= fl(y + a), fl(a - x) >=
// fl(a - y), and fl(x m) <= fl(y m) for m >= 0 (>= for m < 0). Evaluating
// localRays' own operations, in its order, on the end of each operand's
// range that makes the result smallest (largest) therefore bounds the value
// every ray of the bundle gets; min and max keep such bounds.
template <int N>
struct Bounds {
    vfloat<N> lo, hi;
};

template <int N>
Bounds<N> scaledBounds(Bounds<N> x, vfloat<N> m)
{
    const vmask<N> up = m >= vfloat<N>(0.0f);
    return {select(up, x.lo * m, x.hi * m), select(up, x.hi * m, x.lo * m)};
}

template <int N>
Bounds<N> operator+(Bounds<N> a, Bounds<N> b)
{
    return {a.lo + b.lo, a.hi + b.hi};
}

} // namespace

void PrismReach::inReach(const RayBundle& bundle, std::vector<uint32_t>& out) const
{
    constexpr int N = simd::kLanes;
    using VF = vfloat<N>;
    out.clear();
    bool usable = std::memcmp(&bundle.dir, &direction, sizeof(Vec3)) == 0 && !std::isnan(bundle.tmin) &&
                  !std::isnan(bundle.tmax);
    for (int axis = 0; axis < 3; ++axis)
        usable = usable && std::isfinite(bundle.originLo[axis]) && std::isfinite(bundle.originHi[axis]) &&
                 bundle.originLo[axis] <= bundle.originHi[axis];
    if (!usable) {
        out = indices;
        return;
    }
    const float inf = std::numeric_limits<float>::infinity();
    const std::size_t groups = (indices.size() + N - 1) / N;
    for (std::size_t g = 0; g < groups; ++g) {
        const float* group = columns.data() + g * N * kReachColumns;
        auto column = [&](int c) { return VF::load(group + c * N); };
        // localRays: dx = origin x - prism origin x, and so on.
        const Bounds<N> dx{VF(bundle.originLo.x) - column(kOriginX), VF(bundle.originHi.x) - column(kOriginX)};
        const Bounds<N> dy{VF(bundle.originLo.y) - column(kOriginY), VF(bundle.originHi.y) - column(kOriginY)};
        const Bounds<N> dz{VF(bundle.originLo.z) - column(kOriginZ), VF(bundle.originHi.z) - column(kOriginZ)};
        // localRays: o = dx m0 + dy m1 + dz m2, summed left to right.
        auto local = [&](int m0) {
            return scaledBounds(dx, column(m0)) + scaledBounds(dy, column(m0 + 1)) + scaledBounds(dz, column(m0 + 2));
        };
        const Bounds<N> o[3] = {local(kM0X), local(kM0Y), local(kM0Z)};
        // A bound that overflowed says nothing about the lanes: such a prism stays.
        vmask<N> finite(true);
        for (const Bounds<N>& b : o)
            finite &= (abs(b.lo) < VF(inf)) & (abs(b.hi) < VF(inf));
        // localRays: the crossings (plane - o) * inverse, near = min, far = max.
        VF nearLo(-inf), farHi(inf);
        for (int axis = 0; axis < 3; ++axis) {
            const VF inverse = column(kInvU + axis);
            const VF planeLo = column(kUMin + 2 * axis), planeHi = column(kUMax + 2 * axis);
            const Bounds<N> a = scaledBounds(Bounds<N>{planeLo - o[axis].hi, planeLo - o[axis].lo}, inverse);
            const Bounds<N> b = scaledBounds(Bounds<N>{planeHi - o[axis].hi, planeHi - o[axis].lo}, inverse);
            nearLo = max(nearLo, min(a.lo, b.lo));
            farHi = min(farHi, max(a.hi, b.hi));
        }
        // Every ray starts at c >= cLo and ends at end <= endHi; it enters
        // the prism only when c <= end.
        const VF cLo = max(nearLo, VF(bundle.tmin));
        const VF endHi = min(farHi, VF(bundle.tmax));
        const unsigned reach = bits(~finite | ~(cLo > endHi));
        for (int lane = 0; lane < N && g * N + std::size_t(lane) < indices.size(); ++lane)
            if ((reach >> lane) & 1u)
                out.push_back(indices[g * N + std::size_t(lane)]);
    }
}

template <int N>
void snapHits(const SceneTracer& tracer, HitPacketOf<N>& hits)
{
    if (!tracer.settings.snapToPixelGrid || !tracer.anyPixelGrid || none(hits.mask)) return;
    for (int lane = 0; lane < N; ++lane) {
        if (!hits.mask.lane(lane)) continue;
        const int prismIndex = hits.prism.lane(lane);
        if (prismIndex < 0) continue;
        const Prism& p = tracer.scene->prisms[std::size_t(prismIndex)];
        const DisplacementField& field = tracer.scene->fields[p.fieldIndex];
        float u = hits.u.lane(lane);
        float v = hits.v.lane(lane);
        if (!field.snapToPixelGrid(u, v)) continue;
        const float h = field.sampleHeight(0, u, v);
        if (h < p.hMin) continue;

        const float n = float(field.pixelGrid);
        const float su = n / float(field.width);
        const float sv = n / float(field.height);
        auto hs = [&](float x, float y) { return field.sampleHeight(0, x, y); };
        const float gradU = (3.0f * (hs(u + su, v + sv) - hs(u - su, v + sv)) + 10.0f * (hs(u + su, v) - hs(u - su, v)) +
                             3.0f * (hs(u + su, v - sv) - hs(u - su, v - sv))) /
                            (32.0f * su);
        const float gradV = (3.0f * (hs(u + su, v + sv) - hs(u + su, v - sv)) + 10.0f * (hs(u, v + sv) - hs(u, v - sv)) +
                             3.0f * (hs(u - su, v + sv) - hs(u - su, v - sv))) /
                            (32.0f * sv);
        const Vec3 normal =
            normalizeSafe(p.normalM[0] * -gradU + p.normalM[1] * -gradV + p.normalM[2] * 1.0f);
        const Vec3 position = p.origin + p.axisU * u + p.axisV * v + p.axisH * h;

        hits.normalX.setLane(lane, normal.x);
        hits.normalY.setLane(lane, normal.y);
        hits.normalZ.setLane(lane, normal.z);
        hits.offsetNormalX.setLane(lane, normal.x);
        hits.offsetNormalY.setLane(lane, normal.y);
        hits.offsetNormalZ.setLane(lane, normal.z);
        hits.u.setLane(lane, u);
        hits.v.setLane(lane, v);
        hits.h.setLane(lane, h);
        hits.posX.setLane(lane, position.x);
        hits.posY.setLane(lane, position.y);
        hits.posZ.setLane(lane, position.z);
    }
}

// The build's width, the scalar path, and 4 lanes where 8 are built too.
#define QLMR_INSTANTIATE_MARCH(N)                                                                                \
    template void tracePacket<N>(const SceneTracer&, HitPacketOf<N>&, const RayPacketOf<N>&, simd::vmask<N>,      \
                                 std::span<const uint32_t>);                                                     \
    template void traceShadows<N>(const SceneTracer&, simd::vmask<N>&, const RayPacketOf<N>&, simd::vmask<N>,     \
                                  std::span<const uint32_t>, std::span<const ShadowHorizon>);                    \
    template void snapHits<N>(const SceneTracer&, HitPacketOf<N>&);

QLMR_INSTANTIATE_MARCH(1)
#if QLMR_HAVE_LANES4
QLMR_INSTANTIATE_MARCH(4)
#endif
#if QLMR_HAVE_LANES8
QLMR_INSTANTIATE_MARCH(8)
#endif
#if QLMR_PASS_PACKETS > 1
QLMR_INSTANTIATE_MARCH(QLMR_LANES * QLMR_PASS_PACKETS)
#endif

} // namespace qlmr
