#pragma once

// One-lane specialisation: plain float, int and bool. It is the same march
// compiled as a scalar path, and the oracle that the wide widths are held to,
// so every operation mirrors the x86 vector instruction it stands for
// (minps/maxps operand order, cvttps overflow value, floor keeping the sign).

#include <cmath>
#include <cstdint>
#include <cstring>

namespace qlmr::simd {

template <>
struct vmask<1> {
    static constexpr int size = 1;
    bool m = false;

    vmask() = default;
    explicit vmask(bool all) : m(all) {}
    static vmask fromBits(unsigned bits) { return vmask((bits & 1u) != 0); }
    bool lane(int) const { return m; }
};

inline vmask<1> operator&(vmask<1> a, vmask<1> b) { return vmask<1>(a.m && b.m); }
inline vmask<1> operator|(vmask<1> a, vmask<1> b) { return vmask<1>(a.m || b.m); }
inline vmask<1> operator^(vmask<1> a, vmask<1> b) { return vmask<1>(a.m != b.m); }
inline vmask<1> operator~(vmask<1> a) { return vmask<1>(!a.m); }
inline vmask<1> andNot(vmask<1> a, vmask<1> b) { return vmask<1>(a.m && !b.m); }
inline unsigned bits(vmask<1> a) { return a.m ? 1u : 0u; }
inline bool any(vmask<1> a) { return a.m; }
inline bool all(vmask<1> a) { return a.m; }
inline bool none(vmask<1> a) { return !a.m; }
inline int count(vmask<1> a) { return a.m ? 1 : 0; }

template <>
struct vfloat<1> {
    static constexpr int size = 1;
    float v = 0.0f;

    vfloat() = default;
    vfloat(float x) : v(x) {}
    static vfloat load(const float* p) { return vfloat(p[0]); }
    void store(float* p) const { p[0] = v; }
    void stream(float* p) const { p[0] = v; }
    float lane(int) const { return v; }
    void setLane(int, float x) { v = x; }
};

template <>
struct vint<1> {
    static constexpr int size = 1;
    std::int32_t v = 0;

    vint() = default;
    vint(std::int32_t x) : v(x) {}
    static vint load(const std::int32_t* p) { return vint(p[0]); }
    static vint laneIndex() { return vint(0); }
    void store(std::int32_t* p) const { p[0] = v; }
    std::int32_t lane(int) const { return v; }
    void setLane(int, std::int32_t x) { v = x; }
};

// ---- float lanes
inline vfloat<1> operator+(vfloat<1> a, vfloat<1> b) { return a.v + b.v; }
inline vfloat<1> operator-(vfloat<1> a, vfloat<1> b) { return a.v - b.v; }
inline vfloat<1> operator*(vfloat<1> a, vfloat<1> b) { return a.v * b.v; }
inline vfloat<1> operator/(vfloat<1> a, vfloat<1> b) { return a.v / b.v; }
inline vfloat<1> operator-(vfloat<1> a) { return -a.v; }

inline vmask<1> operator<(vfloat<1> a, vfloat<1> b) { return vmask<1>(a.v < b.v); }
inline vmask<1> operator<=(vfloat<1> a, vfloat<1> b) { return vmask<1>(a.v <= b.v); }
inline vmask<1> operator>(vfloat<1> a, vfloat<1> b) { return vmask<1>(a.v > b.v); }
inline vmask<1> operator>=(vfloat<1> a, vfloat<1> b) { return vmask<1>(a.v >= b.v); }
inline vmask<1> operator==(vfloat<1> a, vfloat<1> b) { return vmask<1>(a.v == b.v); }
inline vmask<1> operator!=(vfloat<1> a, vfloat<1> b) { return vmask<1>(!(a.v == b.v)); }
inline vmask<1> isNan(vfloat<1> a) { return vmask<1>(a.v != a.v); }

// minps / maxps: the second operand wins when either is NaN.
inline vfloat<1> min(vfloat<1> a, vfloat<1> b) { return a.v < b.v ? a.v : b.v; }
inline vfloat<1> max(vfloat<1> a, vfloat<1> b) { return a.v > b.v ? a.v : b.v; }
inline vfloat<1> abs(vfloat<1> a) { return std::fabs(a.v); }
inline vfloat<1> sqrt(vfloat<1> a) { return std::sqrt(a.v); }
inline vfloat<1> floor(vfloat<1> a) { return std::floor(a.v); }
inline vfloat<1> select(vmask<1> m, vfloat<1> a, vfloat<1> b) { return m.m ? a : b; }
inline vfloat<1> keep(vmask<1> m, vfloat<1> a) { return m.m ? a : vfloat<1>(0.0f); }

inline vint<1> asInt(vfloat<1> a) {
    std::int32_t i;
    std::memcpy(&i, &a.v, 4);
    return i;
}
inline vfloat<1> asFloat(vint<1> a) {
    float f;
    std::memcpy(&f, &a.v, 4);
    return f;
}
// cvttps2dq: out-of-range and NaN inputs give INT32_MIN.
inline vint<1> toInt(vfloat<1> a) {
    if (!(a.v >= -2147483648.0f && a.v < 2147483648.0f)) return INT32_MIN;
    return static_cast<std::int32_t>(a.v);
}
inline vfloat<1> toFloat(vint<1> a) { return static_cast<float>(a.v); }

// ---- integer lanes (two's complement wrap, as the vector units do)
inline std::int32_t wrapInt(std::uint32_t x) { return static_cast<std::int32_t>(x); }
inline vint<1> operator+(vint<1> a, vint<1> b) { return wrapInt(std::uint32_t(a.v) + std::uint32_t(b.v)); }
inline vint<1> operator-(vint<1> a, vint<1> b) { return wrapInt(std::uint32_t(a.v) - std::uint32_t(b.v)); }
inline vint<1> operator*(vint<1> a, vint<1> b) { return wrapInt(std::uint32_t(a.v) * std::uint32_t(b.v)); }
inline vint<1> operator&(vint<1> a, vint<1> b) { return a.v & b.v; }
inline vint<1> operator|(vint<1> a, vint<1> b) { return a.v | b.v; }
inline vint<1> operator^(vint<1> a, vint<1> b) { return a.v ^ b.v; }
inline vint<1> andNot(vint<1> a, vint<1> b) { return a.v & ~b.v; }
inline vint<1> operator<<(vint<1> a, int n) { return wrapInt(std::uint32_t(a.v) << n); }
inline vint<1> operator>>(vint<1> a, int n) { return a.v >> n; }
inline vint<1> shiftRightLogical(vint<1> a, int n) { return wrapInt(std::uint32_t(a.v) >> n); }

inline vmask<1> operator==(vint<1> a, vint<1> b) { return vmask<1>(a.v == b.v); }
inline vmask<1> operator!=(vint<1> a, vint<1> b) { return vmask<1>(a.v != b.v); }
inline vmask<1> operator<(vint<1> a, vint<1> b) { return vmask<1>(a.v < b.v); }
inline vmask<1> operator>(vint<1> a, vint<1> b) { return vmask<1>(a.v > b.v); }
inline vmask<1> operator<=(vint<1> a, vint<1> b) { return vmask<1>(a.v <= b.v); }
inline vmask<1> operator>=(vint<1> a, vint<1> b) { return vmask<1>(a.v >= b.v); }
inline vint<1> maxZero(vint<1> a) { return a.v > 0 ? a : vint<1>(0); }
inline vint<1> mulU16(vint<1> a, vint<1> b) { return wrapInt(std::uint32_t(a.v) * std::uint32_t(b.v)); }
inline vint<1> min(vint<1> a, vint<1> b) { return a.v < b.v ? a : b; }
inline vint<1> max(vint<1> a, vint<1> b) { return a.v > b.v ? a : b; }
inline vint<1> select(vmask<1> m, vint<1> a, vint<1> b) { return m.m ? a : b; }
inline vint<1> keep(vmask<1> m, vint<1> a) { return m.m ? a : vint<1>(0); }
inline vint<1> asInt(vmask<1> m) { return m.m ? -1 : 0; }

// Gathers read only the lanes of the mask; the others come back 0.
inline vint<1> gather(const std::int32_t* base, vint<1> index, vmask<1> m) { return m.m ? base[index.v] : 0; }
inline vint<1> gather(const std::uint32_t* base, vint<1> index, vmask<1> m) {
    return m.m ? static_cast<std::int32_t>(base[index.v]) : 0;
}
inline vint<1> gatherU16(const std::uint16_t* base, vint<1> index, vmask<1> m) {
    return m.m ? static_cast<std::int32_t>(base[index.v]) : 0;
}

// Two neighbouring heights in one word: base[index] low, base[index + 1] high.
inline vint<1> gatherPairU16(const std::uint16_t* base, vint<1> index, vmask<1> m) {
    return m.m ? static_cast<std::int32_t>(std::uint32_t(base[index.v]) | (std::uint32_t(base[index.v + 1]) << 16)) : 0;
}
// Entry i & 15 of a 16-entry table, every lane.
inline vint<1> lookup16(const std::int32_t* table, vint<1> index) { return table[index.v & 15]; }

} // namespace qlmr::simd
