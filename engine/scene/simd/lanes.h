#pragma once

// SIMD lanes: one float, int and mask type per lane count, specialised once
// per instruction set (lanes_scalar.h, lanes_sse2.h, lanes_avx2.h). Kernels
// are written once over vfloat<N>/vint<N>/vmask<N>; N = 1 is the scalar path.
//
// Every width implements the same set:
//   vmask: &, |, ^, ~, andNot, bits (movemask), any, all, none, count, lane,
//          asInt (-1 on set lanes, 0 on the others)
//   vfloat: + - * /, compares, isNan, min, max (second operand on NaN), abs,
//           sqrt, floor, select, keep (select against zero), asInt, toInt
//           (truncating), toFloat, load/store
//   vint:  + - * (low 32 bits), & | ^ andNot, << >> shiftRightLogical,
//          compares, min, max, maxZero (max with 0), mulU16 (the product of
//          lanes in [0, 65535]; other lanes get some value), select, keep,
//          masked gathers of 32-bit words, of 16-bit heights and of height
//          pairs, lookup16 into a 16-entry table
// Lane-wise results are bit-identical across widths.

#include <cstdint>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace qlmr::simd {

template <int N> struct vmask;
template <int N> struct vfloat;
template <int N> struct vint;

} // namespace qlmr::simd

#include "scene/simd/lanes_scalar.h"

#if defined(__SSE2__)
#include "scene/simd/lanes_sse2.h"
#define QLMR_HAVE_LANES4 1
#endif

#if defined(__AVX2__)
#include "scene/simd/lanes_avx2.h"
#define QLMR_HAVE_LANES8 1
#endif

#include "scene/simd/lanes_pair.h"

#ifndef QLMR_LANES
#define QLMR_LANES 1
#endif

namespace qlmr::simd {

// The lane count of this build (8 wide, 4 narrow).
inline constexpr int kLanes = QLMR_LANES;

template <int N> inline vfloat<N> clamp(vfloat<N> x, vfloat<N> lo, vfloat<N> hi) { return min(max(x, lo), hi); }
template <int N> inline vint<N> clamp(vint<N> x, vint<N> lo, vint<N> hi) { return min(max(x, lo), hi); }

// floor(log2(x)) for positive, normal x, read from the exponent field.
template <int N> inline vint<N> floorLog2(vfloat<N> x) {
    return (shiftRightLogical(asInt(x), 23) & vint<N>(0xFF)) - vint<N>(127);
}

// 2^e as an exact float for e in [-126, 127], built from the exponent field.
template <int N> inline vfloat<N> exp2Int(vint<N> e) { return asFloat((e + vint<N>(127)) << 23); }

// NaN lanes replaced by a value (an unordered compare).
template <int N> inline vfloat<N> nanTo(vfloat<N> x, vfloat<N> replacement) { return select(isNan(x), replacement, x); }

template <int N> inline vfloat<N>& operator+=(vfloat<N>& a, vfloat<N> b) { return a = a + b; }
template <int N> inline vfloat<N>& operator-=(vfloat<N>& a, vfloat<N> b) { return a = a - b; }
template <int N> inline vfloat<N>& operator*=(vfloat<N>& a, vfloat<N> b) { return a = a * b; }
template <int N> inline vint<N>& operator+=(vint<N>& a, vint<N> b) { return a = a + b; }
template <int N> inline vmask<N>& operator&=(vmask<N>& a, vmask<N> b) { return a = a & b; }
template <int N> inline vmask<N>& operator|=(vmask<N>& a, vmask<N> b) { return a = a | b; }

// Orders earlier non-temporal stores (vfloat::stream) before later stores,
// so another thread that synchronises afterwards sees them.
inline void streamFence()
{
#if defined(__SSE2__)
    _mm_sfence();
#endif
}

// The mask as 0.0 / 1.0 per lane (for counters kept in floats).
template <int N> inline vfloat<N> maskToOne(vmask<N> m) { return keep(m, vfloat<N>(1.0f)); }

} // namespace qlmr::simd

namespace qlmr {

// The lane types at this build's width.
using LaneFloat = simd::vfloat<simd::kLanes>;
using LaneInt = simd::vint<simd::kLanes>;
using LaneMask = simd::vmask<simd::kLanes>;

} // namespace qlmr
