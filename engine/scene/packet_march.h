#pragma once

// The packet march: rays of a packet walk the min/max bounds pyramid of every
// prism's field in lock step and intersect the bilinear patches at the finest
// level they may reach. Written once over the lane type; the library carries
// the build's width and, for tests, the one-lane scalar path (and 4 lanes in
// the 8-lane build).

#include <cstdint>
#include <span>
#include <vector>

#include "scene/height_field.h"
#include "scene/packets.h"
#include "scene/scene_tracer.h"
#include "scene/shadow_horizon.h"

namespace qlmr {

// Nearest hit of every active lane over the prisms of the list, in list
// order. `out` is reset first (mask clear, t = tmax, prism -1, counters 0);
// the per-lane iteration, descend and seed-step counters sum over the list.
template <int N>
void tracePacket(const SceneTracer& tracer, HitPacketOf<N>& out, const RayPacketOf<N>& rays, simd::vmask<N> active,
                 std::span<const uint32_t> prisms);

// Any-hit variant for shadow rays over [tmin, tmax]: a lane of `blocked` is
// set when a field blocks it. The list stops once every active lane is blocked.
// `horizons`, when given, holds one entry per scene prism (built for the
// rays' direction); they end unblocked lanes early without changing the mask.
template <int N>
void traceShadows(const SceneTracer& tracer, simd::vmask<N>& blocked, const RayPacketOf<N>& rays,
                  simd::vmask<N> active, std::span<const uint32_t> prisms,
                  std::span<const ShadowHorizon> horizons = {});

// Rays that share one direction, with origins in the box [originLo,
// originHi] and segments [tmin, tmax] no wider than [bundle tmin, bundle tmax].
struct RayBundle {
    Vec3 originLo, originHi;
    Vec3 dir;
    float tmin = 0.0f, tmax = 0.0f;
};

// The prisms of a list packed for testing many at once against rays of one
// direction (the sun's, for shadow rays). inReach keeps, in list order, the
// prisms that a ray of the bundle may enter: a prism left out is one where
// no such ray gets a segment (start <= end) in the march's own float
// arithmetic, so tracing the bundle's rays against the kept prisms gives
// the same result as against the whole list (for shadow rays the same
// blocked mask). A bundle of another direction, with NaN values or an empty
// origin box keeps every prism.
class PrismReach {
public:
    PrismReach() = default;
    PrismReach(const SceneTracer& tracer, Vec3 dir, std::span<const uint32_t> prisms);

    void inReach(const RayBundle& bundle, std::vector<uint32_t>& out) const;

private:
    Vec3 direction;
    std::vector<uint32_t> indices;
    std::vector<float> columns; // per group of lanes: every column, one vector each
};

// Moves hits on pixel-grid fields to the centre of their grid cell, with the
// height and normals of the snapped point; t is kept. Nothing happens unless
// the tracer's snap setting is on and some field has a pixel grid.
template <int N>
void snapHits(const SceneTracer& tracer, HitPacketOf<N>& hits);

// Per-lane height lookups around a cell of a level: the field view, each
// lane's level offset into the heights, its cell and its level size.
template <int N>
struct HeightGather {
    const FieldView* view = nullptr;
    simd::vint<N> levelOffset;
    simd::vint<N> ix, iy;
    simd::vint<N> width, height;
};

// Height / 65535 at (ix + dx, iy + dy) of every lane of the mask (0 on the
// others), wrapped with & (size - 1) on tiling fields, else clamped.
template <int N>
inline simd::vfloat<N> gatherHeights8(const HeightGather<N>& g, simd::vmask<N> lanes, int dx, int dy)
{
    using VI = simd::vint<N>;
    VI x = g.ix + VI(dx);
    VI y = g.iy + VI(dy);
    if (g.view->wrap) {
        x = x & (g.width - VI(1));
        y = y & (g.height - VI(1));
    } else {
        x = simd::clamp(x, VI(0), g.width - VI(1));
        y = simd::clamp(y, VI(0), g.height - VI(1));
    }
    const VI raw = simd::gatherU16(g.view->heights, g.levelOffset + simd::mulU16(y, g.width) + x, lanes);
    return simd::toFloat(raw) * simd::vfloat<N>(1.5259022e-5f);
}

// The same for every lane, into `out`.
template <int N>
inline void gatherHeights8(const HeightGather<N>& g, simd::vfloat<N>& out, int dx, int dy)
{
    out = gatherHeights8(g, simd::vmask<N>(true), dx, dy);
}

} // namespace qlmr
