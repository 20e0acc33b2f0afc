#pragma once

// Lane groups wider than the instruction set's own vectors: N lanes held as
// two halves of N / 2, every operation applied to both. The kernels run a
// group of packets in one pass this way (16 lanes on AVX2, 8 on SSE2), so
// the processor overlaps the dependent chains of two packets (a walk step
// waits on its gathers; two independent steps hide each other's latency).
// Every operation is lane-wise, so a lane's result is the same bits as in
// the narrower group. Included by lanes.h after the native widths.

#include <cstdint>

namespace qlmr::simd {

// The primary templates: the native widths (1, 4 and 8) are specialised.
template <int N>
struct vmask {
    static constexpr int size = N;
    static constexpr bool paired = true;
    vmask<N / 2> lo, hi;

    vmask() = default;
    explicit vmask(bool all) : lo(all), hi(all) {}
    vmask(vmask<N / 2> l, vmask<N / 2> h) : lo(l), hi(h) {}
    static vmask fromBits(unsigned b) {
        return {vmask<N / 2>::fromBits(b & ((1u << (N / 2)) - 1u)), vmask<N / 2>::fromBits(b >> (N / 2))};
    }
    bool lane(int i) const { return i < N / 2 ? lo.lane(i) : hi.lane(i - N / 2); }
};

template <int N>
struct vfloat {
    static constexpr int size = N;
    static constexpr bool paired = true;
    vfloat<N / 2> lo, hi;

    vfloat() = default;
    vfloat(float x) : lo(x), hi(x) {}
    vfloat(vfloat<N / 2> l, vfloat<N / 2> h) : lo(l), hi(h) {}
    static vfloat load(const float* p) { return {vfloat<N / 2>::load(p), vfloat<N / 2>::load(p + N / 2)}; }
    void store(float* p) const {
        lo.store(p);
        hi.store(p + N / 2);
    }
    void stream(float* p) const {
        lo.stream(p);
        hi.stream(p + N / 2);
    }
    float lane(int i) const { return i < N / 2 ? lo.lane(i) : hi.lane(i - N / 2); }
    void setLane(int i, float x) {
        if (i < N / 2)
            lo.setLane(i, x);
        else
            hi.setLane(i - N / 2, x);
    }
};

template <int N>
struct vint {
    static constexpr int size = N;
    static constexpr bool paired = true;
    vint<N / 2> lo, hi;

    vint() = default;
    vint(std::int32_t x) : lo(x), hi(x) {}
    vint(vint<N / 2> l, vint<N / 2> h) : lo(l), hi(h) {}
    static vint load(const std::int32_t* p) { return {vint<N / 2>::load(p), vint<N / 2>::load(p + N / 2)}; }
    static vint laneIndex() {
        const vint<N / 2> first = vint<N / 2>::laneIndex();
        return {first, first + vint<N / 2>(N / 2)};
    }
    void store(std::int32_t* p) const {
        lo.store(p);
        hi.store(p + N / 2);
    }
    std::int32_t lane(int i) const { return i < N / 2 ? lo.lane(i) : hi.lane(i - N / 2); }
    void setLane(int i, std::int32_t x) {
        if (i < N / 2)
            lo.setLane(i, x);
        else
            hi.setLane(i - N / 2, x);
    }
};

// Widths made of two halves (the native specialisations have no `paired`).
template <int N>
concept PairedLanes = requires { vmask<N>::paired; };

// ---- masks
template <int N> requires PairedLanes<N>
inline vmask<N> operator&(vmask<N> a, vmask<N> b) { return {a.lo & b.lo, a.hi & b.hi}; }
template <int N> requires PairedLanes<N>
inline vmask<N> operator|(vmask<N> a, vmask<N> b) { return {a.lo | b.lo, a.hi | b.hi}; }
template <int N> requires PairedLanes<N>
inline vmask<N> operator^(vmask<N> a, vmask<N> b) { return {a.lo ^ b.lo, a.hi ^ b.hi}; }
template <int N> requires PairedLanes<N>
inline vmask<N> operator~(vmask<N> a) { return {~a.lo, ~a.hi}; }
template <int N> requires PairedLanes<N>
inline vmask<N> andNot(vmask<N> a, vmask<N> b) { return {andNot(a.lo, b.lo), andNot(a.hi, b.hi)}; }
template <int N> requires PairedLanes<N>
inline unsigned bits(vmask<N> a) { return bits(a.lo) | (bits(a.hi) << (N / 2)); }
template <int N> requires PairedLanes<N>
inline bool any(vmask<N> a) { return bits(a) != 0; }
template <int N> requires PairedLanes<N>
inline bool all(vmask<N> a) { return bits(a) == (N == 32 ? ~0u : (1u << N) - 1u); }
template <int N> requires PairedLanes<N>
inline bool none(vmask<N> a) { return bits(a) == 0; }
template <int N> requires PairedLanes<N>
inline int count(vmask<N> a) { return __builtin_popcount(bits(a)); }

// ---- float lanes
template <int N> requires PairedLanes<N>
inline vfloat<N> operator+(vfloat<N> a, vfloat<N> b) { return {a.lo + b.lo, a.hi + b.hi}; }
template <int N> requires PairedLanes<N>
inline vfloat<N> operator-(vfloat<N> a, vfloat<N> b) { return {a.lo - b.lo, a.hi - b.hi}; }
template <int N> requires PairedLanes<N>
inline vfloat<N> operator*(vfloat<N> a, vfloat<N> b) { return {a.lo * b.lo, a.hi * b.hi}; }
template <int N> requires PairedLanes<N>
inline vfloat<N> operator/(vfloat<N> a, vfloat<N> b) { return {a.lo / b.lo, a.hi / b.hi}; }
template <int N> requires PairedLanes<N>
inline vfloat<N> operator-(vfloat<N> a) { return {-a.lo, -a.hi}; }

template <int N> requires PairedLanes<N>
inline vmask<N> operator<(vfloat<N> a, vfloat<N> b) { return {a.lo < b.lo, a.hi < b.hi}; }
template <int N> requires PairedLanes<N>
inline vmask<N> operator<=(vfloat<N> a, vfloat<N> b) { return {a.lo <= b.lo, a.hi <= b.hi}; }
template <int N> requires PairedLanes<N>
inline vmask<N> operator>(vfloat<N> a, vfloat<N> b) { return {a.lo > b.lo, a.hi > b.hi}; }
template <int N> requires PairedLanes<N>
inline vmask<N> operator>=(vfloat<N> a, vfloat<N> b) { return {a.lo >= b.lo, a.hi >= b.hi}; }
template <int N> requires PairedLanes<N>
inline vmask<N> operator==(vfloat<N> a, vfloat<N> b) { return {a.lo == b.lo, a.hi == b.hi}; }
template <int N> requires PairedLanes<N>
inline vmask<N> operator!=(vfloat<N> a, vfloat<N> b) { return {a.lo != b.lo, a.hi != b.hi}; }
template <int N> requires PairedLanes<N>
inline vmask<N> isNan(vfloat<N> a) { return {isNan(a.lo), isNan(a.hi)}; }

template <int N> requires PairedLanes<N>
inline vfloat<N> min(vfloat<N> a, vfloat<N> b) { return {min(a.lo, b.lo), min(a.hi, b.hi)}; }
template <int N> requires PairedLanes<N>
inline vfloat<N> max(vfloat<N> a, vfloat<N> b) { return {max(a.lo, b.lo), max(a.hi, b.hi)}; }
template <int N> requires PairedLanes<N>
inline vfloat<N> abs(vfloat<N> a) { return {abs(a.lo), abs(a.hi)}; }
template <int N> requires PairedLanes<N>
inline vfloat<N> sqrt(vfloat<N> a) { return {sqrt(a.lo), sqrt(a.hi)}; }
template <int N> requires PairedLanes<N>
inline vfloat<N> floor(vfloat<N> a) { return {floor(a.lo), floor(a.hi)}; }
template <int N> requires PairedLanes<N>
inline vfloat<N> keep(vmask<N> m, vfloat<N> a) { return {keep(m.lo, a.lo), keep(m.hi, a.hi)}; }
template <int N> requires PairedLanes<N>
inline vfloat<N> select(vmask<N> m, vfloat<N> a, vfloat<N> b) {
    return {select(m.lo, a.lo, b.lo), select(m.hi, a.hi, b.hi)};
}

template <int N> requires PairedLanes<N>
inline vint<N> asInt(vfloat<N> a) { return {asInt(a.lo), asInt(a.hi)}; }
template <int N> requires PairedLanes<N>
inline vfloat<N> asFloat(vint<N> a) { return {asFloat(a.lo), asFloat(a.hi)}; }
template <int N> requires PairedLanes<N>
inline vint<N> toInt(vfloat<N> a) { return {toInt(a.lo), toInt(a.hi)}; }
template <int N> requires PairedLanes<N>
inline vfloat<N> toFloat(vint<N> a) { return {toFloat(a.lo), toFloat(a.hi)}; }

// ---- integer lanes
template <int N> requires PairedLanes<N>
inline vint<N> operator+(vint<N> a, vint<N> b) { return {a.lo + b.lo, a.hi + b.hi}; }
template <int N> requires PairedLanes<N>
inline vint<N> operator-(vint<N> a, vint<N> b) { return {a.lo - b.lo, a.hi - b.hi}; }
template <int N> requires PairedLanes<N>
inline vint<N> operator*(vint<N> a, vint<N> b) { return {a.lo * b.lo, a.hi * b.hi}; }
template <int N> requires PairedLanes<N>
inline vint<N> operator&(vint<N> a, vint<N> b) { return {a.lo & b.lo, a.hi & b.hi}; }
template <int N> requires PairedLanes<N>
inline vint<N> operator|(vint<N> a, vint<N> b) { return {a.lo | b.lo, a.hi | b.hi}; }
template <int N> requires PairedLanes<N>
inline vint<N> operator^(vint<N> a, vint<N> b) { return {a.lo ^ b.lo, a.hi ^ b.hi}; }
template <int N> requires PairedLanes<N>
inline vint<N> andNot(vint<N> a, vint<N> b) { return {andNot(a.lo, b.lo), andNot(a.hi, b.hi)}; }
template <int N> requires PairedLanes<N>
inline vint<N> operator<<(vint<N> a, int n) { return {a.lo << n, a.hi << n}; }
template <int N> requires PairedLanes<N>
inline vint<N> operator>>(vint<N> a, int n) { return {a.lo >> n, a.hi >> n}; }
template <int N> requires PairedLanes<N>
inline vint<N> shiftRightLogical(vint<N> a, int n) { return {shiftRightLogical(a.lo, n), shiftRightLogical(a.hi, n)}; }

template <int N> requires PairedLanes<N>
inline vmask<N> operator==(vint<N> a, vint<N> b) { return {a.lo == b.lo, a.hi == b.hi}; }
template <int N> requires PairedLanes<N>
inline vmask<N> operator!=(vint<N> a, vint<N> b) { return {a.lo != b.lo, a.hi != b.hi}; }
template <int N> requires PairedLanes<N>
inline vmask<N> operator<(vint<N> a, vint<N> b) { return {a.lo < b.lo, a.hi < b.hi}; }
template <int N> requires PairedLanes<N>
inline vmask<N> operator>(vint<N> a, vint<N> b) { return {a.lo > b.lo, a.hi > b.hi}; }
template <int N> requires PairedLanes<N>
inline vmask<N> operator<=(vint<N> a, vint<N> b) { return {a.lo <= b.lo, a.hi <= b.hi}; }
template <int N> requires PairedLanes<N>
inline vmask<N> operator>=(vint<N> a, vint<N> b) { return {a.lo >= b.lo, a.hi >= b.hi}; }
template <int N> requires PairedLanes<N>
inline vint<N> min(vint<N> a, vint<N> b) { return {min(a.lo, b.lo), min(a.hi, b.hi)}; }
template <int N> requires PairedLanes<N>
inline vint<N> max(vint<N> a, vint<N> b) { return {max(a.lo, b.lo), max(a.hi, b.hi)}; }
template <int N> requires PairedLanes<N>
inline vint<N> maxZero(vint<N> a) { return {maxZero(a.lo), maxZero(a.hi)}; }
template <int N> requires PairedLanes<N>
inline vint<N> mulU16(vint<N> a, vint<N> b) { return {mulU16(a.lo, b.lo), mulU16(a.hi, b.hi)}; }
template <int N> requires PairedLanes<N>
inline vint<N> keep(vmask<N> m, vint<N> a) { return {keep(m.lo, a.lo), keep(m.hi, a.hi)}; }
template <int N> requires PairedLanes<N>
inline vint<N> asInt(vmask<N> m) { return {asInt(m.lo), asInt(m.hi)}; }
template <int N> requires PairedLanes<N>
inline vint<N> select(vmask<N> m, vint<N> a, vint<N> b) { return {select(m.lo, a.lo, b.lo), select(m.hi, a.hi, b.hi)}; }

template <int N> requires PairedLanes<N>
inline vint<N> gather(const std::int32_t* base, vint<N> index, vmask<N> m) {
    return {gather(base, index.lo, m.lo), gather(base, index.hi, m.hi)};
}
template <int N> requires PairedLanes<N>
inline vint<N> gather(const std::uint32_t* base, vint<N> index, vmask<N> m) {
    return {gather(base, index.lo, m.lo), gather(base, index.hi, m.hi)};
}
template <int N> requires PairedLanes<N>
inline vint<N> gatherU16(const std::uint16_t* base, vint<N> index, vmask<N> m) {
    return {gatherU16(base, index.lo, m.lo), gatherU16(base, index.hi, m.hi)};
}
template <int N> requires PairedLanes<N>
inline vint<N> gatherPairU16(const std::uint16_t* base, vint<N> index, vmask<N> m) {
    return {gatherPairU16(base, index.lo, m.lo), gatherPairU16(base, index.hi, m.hi)};
}
template <int N> requires PairedLanes<N>
inline vint<N> lookup16(const std::int32_t* table, vint<N> index) {
    return {lookup16(table, index.lo), lookup16(table, index.hi)};
}

} // namespace qlmr::simd
