#pragma once

// The packet march: rays of a packet walk the min/max bounds pyramid of every
// prism's field in lock step and intersect the bilinear patches at the finest
// level they may reach. Written once over the lane type; the library carries
// the build's width and, for tests, the one-lane scalar path (and 4 lanes in
// the 8-lane build).

#include <cstdint>
#include <span>

#include "scene/height_field.h"
#include "scene/packets.h"
#include "scene/scene_tracer.h"

namespace qlmr {

// Nearest hit of every active lane over the prisms of the list, in list
// order. `out` is reset first (mask clear, t = tmax, prism -1, counters 0);
// the per-lane iteration, descend and seed-step counters sum over the list.
template <int N>
void tracePacket(const SceneTracer& tracer, HitPacketOf<N>& out, const RayPacketOf<N>& rays, simd::vmask<N> active,
                 std::span<const uint32_t> prisms);

// Any-hit variant for shadow rays over [tmin, tmax]: a lane of `blocked` is
// set when a field blocks it. The list stops once every active lane is blocked.
template <int N>
void traceShadows(const SceneTracer& tracer, simd::vmask<N>& blocked, const RayPacketOf<N>& rays,
                  simd::vmask<N> active, std::span<const uint32_t> prisms);

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
    const VI raw = simd::gatherU16(g.view->heights, g.levelOffset + y * g.width + x, lanes);
    return simd::toFloat(raw) * simd::vfloat<N>(1.5259022e-5f);
}

} // namespace qlmr
