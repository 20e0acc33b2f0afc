#pragma once

// Four-lane specialisation on SSE2 alone: selects are and/andnot/or, floor
// is truncate-and-correct, 32-bit multiplies and gathers are emulated, so the
// narrow build runs on any x86-64 processor.

#include <emmintrin.h>

#include <cstdint>
#include <cstring>

namespace qlmr::simd {

template <>
struct vmask<4> {
    static constexpr int size = 4;
    __m128 m = _mm_setzero_ps();

    vmask() = default;
    explicit vmask(bool all) : m(all ? _mm_castsi128_ps(_mm_set1_epi32(-1)) : _mm_setzero_ps()) {}
    explicit vmask(__m128 x) : m(x) {}
    static vmask fromBits(unsigned b) {
        return vmask(_mm_castsi128_ps(_mm_set_epi32(b & 8 ? -1 : 0, b & 4 ? -1 : 0, b & 2 ? -1 : 0, b & 1 ? -1 : 0)));
    }
    bool lane(int i) const { return ((_mm_movemask_ps(m) >> i) & 1) != 0; }
};

inline vmask<4> operator&(vmask<4> a, vmask<4> b) { return vmask<4>(_mm_and_ps(a.m, b.m)); }
inline vmask<4> operator|(vmask<4> a, vmask<4> b) { return vmask<4>(_mm_or_ps(a.m, b.m)); }
inline vmask<4> operator^(vmask<4> a, vmask<4> b) { return vmask<4>(_mm_xor_ps(a.m, b.m)); }
inline vmask<4> operator~(vmask<4> a) { return vmask<4>(_mm_xor_ps(a.m, _mm_castsi128_ps(_mm_set1_epi32(-1)))); }
inline vmask<4> andNot(vmask<4> a, vmask<4> b) { return vmask<4>(_mm_andnot_ps(b.m, a.m)); }
inline unsigned bits(vmask<4> a) { return static_cast<unsigned>(_mm_movemask_ps(a.m)); }
inline bool any(vmask<4> a) { return bits(a) != 0; }
inline bool all(vmask<4> a) { return bits(a) == 0xFu; }
inline bool none(vmask<4> a) { return bits(a) == 0; }
inline int count(vmask<4> a) { return __builtin_popcount(bits(a)); }

template <>
struct vfloat<4> {
    static constexpr int size = 4;
    __m128 v = _mm_setzero_ps();

    vfloat() = default;
    vfloat(float x) : v(_mm_set1_ps(x)) {}
    vfloat(__m128 x) : v(x) {}
    static vfloat load(const float* p) { return vfloat(_mm_loadu_ps(p)); }
    void store(float* p) const { _mm_storeu_ps(p, v); }
    // Non-temporal store to a 16-byte aligned address (see streamFence).
    void stream(float* p) const { _mm_stream_ps(p, v); }
    float lane(int i) const {
        alignas(16) float t[4];
        _mm_store_ps(t, v);
        return t[i];
    }
    void setLane(int i, float x) {
        alignas(16) float t[4];
        _mm_store_ps(t, v);
        t[i] = x;
        v = _mm_load_ps(t);
    }
};

template <>
struct vint<4> {
    static constexpr int size = 4;
    __m128i v = _mm_setzero_si128();

    vint() = default;
    vint(std::int32_t x) : v(_mm_set1_epi32(x)) {}
    vint(__m128i x) : v(x) {}
    static vint load(const std::int32_t* p) { return vint(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p))); }
    static vint laneIndex() { return vint(_mm_set_epi32(3, 2, 1, 0)); }
    void store(std::int32_t* p) const { _mm_storeu_si128(reinterpret_cast<__m128i*>(p), v); }
    std::int32_t lane(int i) const {
        alignas(16) std::int32_t t[4];
        _mm_store_si128(reinterpret_cast<__m128i*>(t), v);
        return t[i];
    }
    void setLane(int i, std::int32_t x) {
        alignas(16) std::int32_t t[4];
        _mm_store_si128(reinterpret_cast<__m128i*>(t), v);
        t[i] = x;
        v = _mm_load_si128(reinterpret_cast<const __m128i*>(t));
    }
};

// ---- float lanes
inline vfloat<4> operator+(vfloat<4> a, vfloat<4> b) { return _mm_add_ps(a.v, b.v); }
inline vfloat<4> operator-(vfloat<4> a, vfloat<4> b) { return _mm_sub_ps(a.v, b.v); }
inline vfloat<4> operator*(vfloat<4> a, vfloat<4> b) { return _mm_mul_ps(a.v, b.v); }
inline vfloat<4> operator/(vfloat<4> a, vfloat<4> b) { return _mm_div_ps(a.v, b.v); }
inline vfloat<4> operator-(vfloat<4> a) { return _mm_xor_ps(a.v, _mm_set1_ps(-0.0f)); }

inline vmask<4> operator<(vfloat<4> a, vfloat<4> b) { return vmask<4>(_mm_cmplt_ps(a.v, b.v)); }
inline vmask<4> operator<=(vfloat<4> a, vfloat<4> b) { return vmask<4>(_mm_cmple_ps(a.v, b.v)); }
inline vmask<4> operator>(vfloat<4> a, vfloat<4> b) { return vmask<4>(_mm_cmplt_ps(b.v, a.v)); }
inline vmask<4> operator>=(vfloat<4> a, vfloat<4> b) { return vmask<4>(_mm_cmple_ps(b.v, a.v)); }
inline vmask<4> operator==(vfloat<4> a, vfloat<4> b) { return vmask<4>(_mm_cmpeq_ps(a.v, b.v)); }
inline vmask<4> operator!=(vfloat<4> a, vfloat<4> b) { return vmask<4>(_mm_cmpneq_ps(a.v, b.v)); }
inline vmask<4> isNan(vfloat<4> a) { return vmask<4>(_mm_cmpunord_ps(a.v, a.v)); }

inline vfloat<4> min(vfloat<4> a, vfloat<4> b) { return _mm_min_ps(a.v, b.v); }
inline vfloat<4> max(vfloat<4> a, vfloat<4> b) { return _mm_max_ps(a.v, b.v); }
inline vfloat<4> abs(vfloat<4> a) { return _mm_andnot_ps(_mm_set1_ps(-0.0f), a.v); }
inline vfloat<4> sqrt(vfloat<4> a) { return _mm_sqrt_ps(a.v); }
inline vfloat<4> select(vmask<4> m, vfloat<4> a, vfloat<4> b) {
    return _mm_or_ps(_mm_and_ps(m.m, a.v), _mm_andnot_ps(m.m, b.v));
}
inline vfloat<4> keep(vmask<4> m, vfloat<4> a) { return _mm_and_ps(m.m, a.v); }

// Truncate and correct. Magnitudes of 2^23 and above (and inf, NaN) are
// already integral and pass through; the sign bit is kept so -0 stays -0.
inline vfloat<4> floor(vfloat<4> a) {
    const __m128 sign = _mm_set1_ps(-0.0f);
    __m128 t = _mm_cvtepi32_ps(_mm_cvttps_epi32(a.v));
    t = _mm_sub_ps(t, _mm_and_ps(_mm_cmplt_ps(a.v, t), _mm_set1_ps(1.0f)));
    t = _mm_or_ps(t, _mm_and_ps(a.v, sign));
    const __m128 small = _mm_cmplt_ps(_mm_andnot_ps(sign, a.v), _mm_set1_ps(8388608.0f));
    return _mm_or_ps(_mm_and_ps(small, t), _mm_andnot_ps(small, a.v));
}

inline vint<4> asInt(vfloat<4> a) { return _mm_castps_si128(a.v); }
inline vfloat<4> asFloat(vint<4> a) { return _mm_castsi128_ps(a.v); }
inline vint<4> toInt(vfloat<4> a) { return _mm_cvttps_epi32(a.v); }
inline vfloat<4> toFloat(vint<4> a) { return _mm_cvtepi32_ps(a.v); }

// ---- integer lanes
inline vint<4> operator+(vint<4> a, vint<4> b) { return _mm_add_epi32(a.v, b.v); }
inline vint<4> operator-(vint<4> a, vint<4> b) { return _mm_sub_epi32(a.v, b.v); }
// Low 32 bits of the products from two 32x32->64 multiplies (no pmulld).
inline vint<4> operator*(vint<4> a, vint<4> b) {
    const __m128i even = _mm_mul_epu32(a.v, b.v);
    const __m128i odd = _mm_mul_epu32(_mm_srli_si128(a.v, 4), _mm_srli_si128(b.v, 4));
    return _mm_unpacklo_epi32(_mm_shuffle_epi32(even, _MM_SHUFFLE(0, 0, 2, 0)),
                              _mm_shuffle_epi32(odd, _MM_SHUFFLE(0, 0, 2, 0)));
}
inline vint<4> operator&(vint<4> a, vint<4> b) { return _mm_and_si128(a.v, b.v); }
inline vint<4> operator|(vint<4> a, vint<4> b) { return _mm_or_si128(a.v, b.v); }
inline vint<4> operator^(vint<4> a, vint<4> b) { return _mm_xor_si128(a.v, b.v); }
inline vint<4> andNot(vint<4> a, vint<4> b) { return _mm_andnot_si128(b.v, a.v); }
inline vint<4> operator<<(vint<4> a, int n) { return _mm_sll_epi32(a.v, _mm_cvtsi32_si128(n)); }
inline vint<4> operator>>(vint<4> a, int n) { return _mm_sra_epi32(a.v, _mm_cvtsi32_si128(n)); }
inline vint<4> shiftRightLogical(vint<4> a, int n) { return _mm_srl_epi32(a.v, _mm_cvtsi32_si128(n)); }

inline vmask<4> operator==(vint<4> a, vint<4> b) { return vmask<4>(_mm_castsi128_ps(_mm_cmpeq_epi32(a.v, b.v))); }
inline vmask<4> operator!=(vint<4> a, vint<4> b) { return ~(a == b); }
inline vmask<4> operator<(vint<4> a, vint<4> b) { return vmask<4>(_mm_castsi128_ps(_mm_cmplt_epi32(a.v, b.v))); }
inline vmask<4> operator>(vint<4> a, vint<4> b) { return vmask<4>(_mm_castsi128_ps(_mm_cmpgt_epi32(a.v, b.v))); }
inline vmask<4> operator<=(vint<4> a, vint<4> b) { return ~(a > b); }
inline vmask<4> operator>=(vint<4> a, vint<4> b) { return ~(a < b); }
inline vint<4> select(vmask<4> m, vint<4> a, vint<4> b) {
    const __m128i mi = _mm_castps_si128(m.m);
    return _mm_or_si128(_mm_and_si128(mi, a.v), _mm_andnot_si128(mi, b.v));
}
inline vint<4> keep(vmask<4> m, vint<4> a) { return _mm_and_si128(_mm_castps_si128(m.m), a.v); }
inline vint<4> asInt(vmask<4> m) { return _mm_castps_si128(m.m); }
inline vint<4> min(vint<4> a, vint<4> b) { return select(a < b, a, b); }
// max(a, 0): the sign spread over the lane clears negative lanes.
inline vint<4> maxZero(vint<4> a) { return _mm_andnot_si128(_mm_srai_epi32(a.v, 31), a.v); }
// a * b for lanes in [0, 65535]: the low and high halves of one 16-bit
// multiply (the upper 16 bits of both operands are zero).
inline vint<4> mulU16(vint<4> a, vint<4> b) {
    return _mm_or_si128(_mm_mullo_epi16(a.v, b.v), _mm_slli_epi32(_mm_mulhi_epu16(a.v, b.v), 16));
}
inline vint<4> max(vint<4> a, vint<4> b) { return select(a > b, a, b); }

// Per-lane scalar loads: SSE2 has no gather. Lanes outside the mask load
// entry 0 instead of their index (a mask with no lane set loads nothing) and
// come back 0; without a branch per lane the loads do not wait on the mask.
template <typename T>
inline vint<4> gatherLanes(const T* base, vint<4> index, vmask<4> m) {
    const __m128i mi = _mm_castps_si128(m.m);
    if (_mm_movemask_ps(m.m) == 0) return _mm_setzero_si128();
    alignas(16) std::int32_t idx[4];
    _mm_store_si128(reinterpret_cast<__m128i*>(idx), _mm_and_si128(index.v, mi));
    const __m128i v = _mm_set_epi32(static_cast<std::int32_t>(base[idx[3]]), static_cast<std::int32_t>(base[idx[2]]),
                                    static_cast<std::int32_t>(base[idx[1]]), static_cast<std::int32_t>(base[idx[0]]));
    return _mm_and_si128(v, mi);
}
inline vint<4> gather(const std::int32_t* base, vint<4> index, vmask<4> m) { return gatherLanes(base, index, m); }
inline vint<4> gather(const std::uint32_t* base, vint<4> index, vmask<4> m) { return gatherLanes(base, index, m); }
inline vint<4> gatherU16(const std::uint16_t* base, vint<4> index, vmask<4> m) { return gatherLanes(base, index, m); }

// Two neighbouring heights in one word: base[index] low, base[index + 1] high.
inline vint<4> gatherPairU16(const std::uint16_t* base, vint<4> index, vmask<4> m) {
    const __m128i mi = _mm_castps_si128(m.m);
    if (_mm_movemask_ps(m.m) == 0) return _mm_setzero_si128();
    alignas(16) std::int32_t idx[4];
    _mm_store_si128(reinterpret_cast<__m128i*>(idx), _mm_and_si128(index.v, mi));
    std::int32_t pair[4];
    for (int i = 0; i < 4; ++i) std::memcpy(&pair[i], base + idx[i], 4);
    return _mm_and_si128(_mm_loadu_si128(reinterpret_cast<const __m128i*>(pair)), mi);
}
// Entry i & 15 of a 16-entry table, every lane.
// Lanes usually share their level, so that case is one scalar load.
inline vint<4> lookup16(const std::int32_t* table, vint<4> index) {
    const __m128i i = _mm_and_si128(index.v, _mm_set1_epi32(15));
    const __m128i first = _mm_shuffle_epi32(i, 0);
    if (_mm_movemask_epi8(_mm_cmpeq_epi32(i, first)) == 0xFFFF) return _mm_set1_epi32(table[_mm_cvtsi128_si32(i)]);
    return gatherLanes(table, vint<4>(i), vmask<4>(true));
}

} // namespace qlmr::simd
