#pragma once

// Ray and hit packets: structure-of-arrays records of N lanes, one lane per
// pixel (or shadow ray). The build's packets are RayPacket / HitPacket; the
// width-templated forms let tests run the same kernels at 1, 4 and 8 lanes.

#include "scene/simd/lanes.h"

// Packets per kernel pass of the tile renderer (see kPacketsPerPass); a
// macro so that the sources can instantiate the kernels at the pass width.
#ifndef QLMR_PASS_PACKETS
#define QLMR_PASS_PACKETS 2
#endif

namespace qlmr {

template <int N>
struct RayPacketOf {
    simd::vfloat<N> originX, originY, originZ;
    simd::vfloat<N> dirX, dirY, dirZ;
    simd::vfloat<N> tmin;
    simd::vfloat<N> tmax;
    simd::vfloat<N> coneRadius; // footprint radius at the origin
    simd::vfloat<N> coneSpread; // footprint growth per unit of t
};

template <int N>
struct HitPacketOf {
    simd::vmask<N> mask;          // lanes with a hit
    simd::vfloat<N> t;            // hit distance; the ray's tmax without a hit
    simd::vfloat<N> posX, posY, posZ;
    simd::vfloat<N> normalX, normalY, normalZ;       // shading normal (world, unit)
    simd::vfloat<N> offsetNormalX, offsetNormalY, offsetNormalZ; // geometric normal, for secondary ray origins
    simd::vfloat<N> u, v, h;      // local coordinates of the hit
    simd::vint<N> prism;          // prism index, -1 without a hit
    simd::vint<N> level;          // pyramid level of the hit, 0 without a hit
    simd::vfloat<N> iterations, descends, seedSteps; // summed over the prisms marched
};

// Packets the tile renderer runs through the kernels together, as one lane
// group of kPassLanes: a walk step waits on its gathers, and the steps of the
// other packets of the pass, independent of it, fill that time.
inline constexpr int kPacketsPerPass = QLMR_PASS_PACKETS;
inline constexpr int kPassLanes = simd::kLanes * kPacketsPerPass;

// A lane mask of the build's packet width: every lane all-ones or all-zero.
// Mask8(true) sets every lane, Mask8(false) clears them.
using Mask8 = simd::vmask<simd::kLanes>;

using RayPacket = RayPacketOf<simd::kLanes>;
using HitPacket = HitPacketOf<simd::kLanes>;

} // namespace qlmr
