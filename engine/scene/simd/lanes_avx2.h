#pragma once

// Eight-lane specialisation on AVX2. FMA is available to the compiler but
// never used here: the build keeps multiply and add separate so this width
// rounds exactly like the four-lane and one-lane ones.

#include <immintrin.h>

#include <cstdint>

namespace qlmr::simd {

template <>
struct vmask<8> {
    static constexpr int size = 8;
    __m256 m = _mm256_setzero_ps();

    vmask() = default;
    explicit vmask(bool all) : m(all ? _mm256_castsi256_ps(_mm256_set1_epi32(-1)) : _mm256_setzero_ps()) {}
    explicit vmask(__m256 x) : m(x) {}
    static vmask fromBits(unsigned b) {
        const __m256i bit = _mm256_setr_epi32(1, 2, 4, 8, 16, 32, 64, 128);
        const __m256i sel = _mm256_and_si256(_mm256_set1_epi32(static_cast<int>(b)), bit);
        return vmask(_mm256_castsi256_ps(_mm256_cmpeq_epi32(sel, bit)));
    }
    bool lane(int i) const { return ((_mm256_movemask_ps(m) >> i) & 1) != 0; }
};

inline vmask<8> operator&(vmask<8> a, vmask<8> b) { return vmask<8>(_mm256_and_ps(a.m, b.m)); }
inline vmask<8> operator|(vmask<8> a, vmask<8> b) { return vmask<8>(_mm256_or_ps(a.m, b.m)); }
inline vmask<8> operator^(vmask<8> a, vmask<8> b) { return vmask<8>(_mm256_xor_ps(a.m, b.m)); }
inline vmask<8> operator~(vmask<8> a) {
    return vmask<8>(_mm256_xor_ps(a.m, _mm256_castsi256_ps(_mm256_set1_epi32(-1))));
}
inline vmask<8> andNot(vmask<8> a, vmask<8> b) { return vmask<8>(_mm256_andnot_ps(b.m, a.m)); }
inline unsigned bits(vmask<8> a) { return static_cast<unsigned>(_mm256_movemask_ps(a.m)); }
inline bool any(vmask<8> a) { return bits(a) != 0; }
inline bool all(vmask<8> a) { return bits(a) == 0xFFu; }
inline bool none(vmask<8> a) { return bits(a) == 0; }
inline int count(vmask<8> a) { return __builtin_popcount(bits(a)); }

template <>
struct vfloat<8> {
    static constexpr int size = 8;
    __m256 v = _mm256_setzero_ps();

    vfloat() = default;
    vfloat(float x) : v(_mm256_set1_ps(x)) {}
    vfloat(__m256 x) : v(x) {}
    static vfloat load(const float* p) { return vfloat(_mm256_loadu_ps(p)); }
    void store(float* p) const { _mm256_storeu_ps(p, v); }
    // Non-temporal store to a 32-byte aligned address (see streamFence).
    void stream(float* p) const { _mm256_stream_ps(p, v); }
    float lane(int i) const {
        alignas(32) float t[8];
        _mm256_store_ps(t, v);
        return t[i];
    }
    void setLane(int i, float x) {
        alignas(32) float t[8];
        _mm256_store_ps(t, v);
        t[i] = x;
        v = _mm256_load_ps(t);
    }
};

template <>
struct vint<8> {
    static constexpr int size = 8;
    __m256i v = _mm256_setzero_si256();

    vint() = default;
    vint(std::int32_t x) : v(_mm256_set1_epi32(x)) {}
    vint(__m256i x) : v(x) {}
    static vint load(const std::int32_t* p) { return vint(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(p))); }
    static vint laneIndex() { return vint(_mm256_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7)); }
    void store(std::int32_t* p) const { _mm256_storeu_si256(reinterpret_cast<__m256i*>(p), v); }
    std::int32_t lane(int i) const {
        alignas(32) std::int32_t t[8];
        _mm256_store_si256(reinterpret_cast<__m256i*>(t), v);
        return t[i];
    }
    void setLane(int i, std::int32_t x) {
        alignas(32) std::int32_t t[8];
        _mm256_store_si256(reinterpret_cast<__m256i*>(t), v);
        t[i] = x;
        v = _mm256_load_si256(reinterpret_cast<const __m256i*>(t));
    }
};

// ---- float lanes
inline vfloat<8> operator+(vfloat<8> a, vfloat<8> b) { return _mm256_add_ps(a.v, b.v); }
inline vfloat<8> operator-(vfloat<8> a, vfloat<8> b) { return _mm256_sub_ps(a.v, b.v); }
inline vfloat<8> operator*(vfloat<8> a, vfloat<8> b) { return _mm256_mul_ps(a.v, b.v); }
inline vfloat<8> operator/(vfloat<8> a, vfloat<8> b) { return _mm256_div_ps(a.v, b.v); }
inline vfloat<8> operator-(vfloat<8> a) { return _mm256_xor_ps(a.v, _mm256_set1_ps(-0.0f)); }

inline vmask<8> operator<(vfloat<8> a, vfloat<8> b) { return vmask<8>(_mm256_cmp_ps(a.v, b.v, _CMP_LT_OQ)); }
inline vmask<8> operator<=(vfloat<8> a, vfloat<8> b) { return vmask<8>(_mm256_cmp_ps(a.v, b.v, _CMP_LE_OQ)); }
inline vmask<8> operator>(vfloat<8> a, vfloat<8> b) { return vmask<8>(_mm256_cmp_ps(a.v, b.v, _CMP_GT_OQ)); }
inline vmask<8> operator>=(vfloat<8> a, vfloat<8> b) { return vmask<8>(_mm256_cmp_ps(a.v, b.v, _CMP_GE_OQ)); }
inline vmask<8> operator==(vfloat<8> a, vfloat<8> b) { return vmask<8>(_mm256_cmp_ps(a.v, b.v, _CMP_EQ_OQ)); }
inline vmask<8> operator!=(vfloat<8> a, vfloat<8> b) { return vmask<8>(_mm256_cmp_ps(a.v, b.v, _CMP_NEQ_UQ)); }
inline vmask<8> isNan(vfloat<8> a) { return vmask<8>(_mm256_cmp_ps(a.v, a.v, _CMP_UNORD_Q)); }

inline vfloat<8> min(vfloat<8> a, vfloat<8> b) { return _mm256_min_ps(a.v, b.v); }
inline vfloat<8> max(vfloat<8> a, vfloat<8> b) { return _mm256_max_ps(a.v, b.v); }
inline vfloat<8> abs(vfloat<8> a) { return _mm256_andnot_ps(_mm256_set1_ps(-0.0f), a.v); }
inline vfloat<8> sqrt(vfloat<8> a) { return _mm256_sqrt_ps(a.v); }
inline vfloat<8> floor(vfloat<8> a) { return _mm256_floor_ps(a.v); }
inline vfloat<8> select(vmask<8> m, vfloat<8> a, vfloat<8> b) { return _mm256_blendv_ps(b.v, a.v, m.m); }
inline vfloat<8> keep(vmask<8> m, vfloat<8> a) { return _mm256_and_ps(m.m, a.v); }

inline vint<8> asInt(vfloat<8> a) { return _mm256_castps_si256(a.v); }
inline vfloat<8> asFloat(vint<8> a) { return _mm256_castsi256_ps(a.v); }
inline vint<8> toInt(vfloat<8> a) { return _mm256_cvttps_epi32(a.v); }
inline vfloat<8> toFloat(vint<8> a) { return _mm256_cvtepi32_ps(a.v); }

// ---- integer lanes
inline vint<8> operator+(vint<8> a, vint<8> b) { return _mm256_add_epi32(a.v, b.v); }
inline vint<8> operator-(vint<8> a, vint<8> b) { return _mm256_sub_epi32(a.v, b.v); }
inline vint<8> operator*(vint<8> a, vint<8> b) { return _mm256_mullo_epi32(a.v, b.v); }
inline vint<8> operator&(vint<8> a, vint<8> b) { return _mm256_and_si256(a.v, b.v); }
inline vint<8> operator|(vint<8> a, vint<8> b) { return _mm256_or_si256(a.v, b.v); }
inline vint<8> operator^(vint<8> a, vint<8> b) { return _mm256_xor_si256(a.v, b.v); }
inline vint<8> andNot(vint<8> a, vint<8> b) { return _mm256_andnot_si256(b.v, a.v); }
inline vint<8> operator<<(vint<8> a, int n) { return _mm256_sll_epi32(a.v, _mm_cvtsi32_si128(n)); }
inline vint<8> operator>>(vint<8> a, int n) { return _mm256_sra_epi32(a.v, _mm_cvtsi32_si128(n)); }
inline vint<8> shiftRightLogical(vint<8> a, int n) { return _mm256_srl_epi32(a.v, _mm_cvtsi32_si128(n)); }

inline vmask<8> operator==(vint<8> a, vint<8> b) { return vmask<8>(_mm256_castsi256_ps(_mm256_cmpeq_epi32(a.v, b.v))); }
inline vmask<8> operator!=(vint<8> a, vint<8> b) { return ~(a == b); }
inline vmask<8> operator>(vint<8> a, vint<8> b) { return vmask<8>(_mm256_castsi256_ps(_mm256_cmpgt_epi32(a.v, b.v))); }
inline vmask<8> operator<(vint<8> a, vint<8> b) { return b > a; }
inline vmask<8> operator<=(vint<8> a, vint<8> b) { return ~(a > b); }
inline vmask<8> operator>=(vint<8> a, vint<8> b) { return ~(b > a); }
inline vint<8> min(vint<8> a, vint<8> b) { return _mm256_min_epi32(a.v, b.v); }
inline vint<8> max(vint<8> a, vint<8> b) { return _mm256_max_epi32(a.v, b.v); }
inline vint<8> maxZero(vint<8> a) { return _mm256_max_epi32(a.v, _mm256_setzero_si256()); }
inline vint<8> mulU16(vint<8> a, vint<8> b) { return _mm256_mullo_epi32(a.v, b.v); }
inline vint<8> select(vmask<8> m, vint<8> a, vint<8> b) {
    return _mm256_castps_si256(_mm256_blendv_ps(_mm256_castsi256_ps(b.v), _mm256_castsi256_ps(a.v), m.m));
}
inline vint<8> keep(vmask<8> m, vint<8> a) { return _mm256_and_si256(_mm256_castps_si256(m.m), a.v); }
inline vint<8> asInt(vmask<8> m) { return _mm256_castps_si256(m.m); }

// Hardware gathers; lanes outside the mask are not read and come back 0.
inline vint<8> gather(const std::int32_t* base, vint<8> index, vmask<8> m) {
    return _mm256_mask_i32gather_epi32(_mm256_setzero_si256(), reinterpret_cast<const int*>(base), index.v,
                                       _mm256_castps_si256(m.m), 4);
}
inline vint<8> gather(const std::uint32_t* base, vint<8> index, vmask<8> m) {
    return gather(reinterpret_cast<const std::int32_t*>(base), index, m);
}
// 32-bit loads at 2-byte strides, keeping the low half: the field's 8 zero
// entries of padding cover the two bytes read past the last height.
inline vint<8> gatherU16(const std::uint16_t* base, vint<8> index, vmask<8> m) {
    const __m256i words = _mm256_mask_i32gather_epi32(_mm256_setzero_si256(), reinterpret_cast<const int*>(base),
                                                      index.v, _mm256_castps_si256(m.m), 2);
    return _mm256_and_si256(words, _mm256_set1_epi32(0xFFFF));
}

// Two neighbouring heights in one word: base[index] low, base[index + 1] high.
inline vint<8> gatherPairU16(const std::uint16_t* base, vint<8> index, vmask<8> m) {
    return _mm256_mask_i32gather_epi32(_mm256_setzero_si256(), reinterpret_cast<const int*>(base), index.v,
                                       _mm256_castps_si256(m.m), 2);
}
// Entry i & 15 of a 16-entry table, every lane: two permutes and a blend.
inline vint<8> lookup16(const std::int32_t* table, vint<8> index) {
    const __m256i i = _mm256_and_si256(index.v, _mm256_set1_epi32(15));
    const __m256i lo = _mm256_permutevar8x32_epi32(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(table)), i);
    const __m256i hi =
        _mm256_permutevar8x32_epi32(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(table + 8)), i);
    return _mm256_blendv_epi8(lo, hi, _mm256_cmpgt_epi32(i, _mm256_set1_epi32(7)));
}

} // namespace qlmr::simd
