#pragma once
// A forward-mode dual number carrying a value and its derivatives with respect
// to the three coordinates of an input point. The shape-program interpreter
// runs on it to produce gradients along exactly the branches of the value.

#include <array>
#include <cmath>

namespace qlmr {

struct SdnaDual {
    float value = 0.0f;
    std::array<float, 3> d{};  // d(value)/dx, d(value)/dy, d(value)/dz

    SdnaDual() = default;
    // A constant: derivatives 0.
    SdnaDual(float v) : value(v) {}  // NOLINT: implicit on purpose, constants mix freely
    SdnaDual(float v, float dx, float dy, float dz) : value(v), d{dx, dy, dz} {}
};

// The input point seeded with the identity derivative.
inline std::array<SdnaDual, 3> seedPoint(const std::array<float, 3>& p) {
    return {SdnaDual(p[0], 1.0f, 0.0f, 0.0f), SdnaDual(p[1], 0.0f, 1.0f, 0.0f),
            SdnaDual(p[2], 0.0f, 0.0f, 1.0f)};
}

inline SdnaDual operator+(const SdnaDual& a, const SdnaDual& b) {
    return {a.value + b.value, a.d[0] + b.d[0], a.d[1] + b.d[1], a.d[2] + b.d[2]};
}
inline SdnaDual operator-(const SdnaDual& a, const SdnaDual& b) {
    return {a.value - b.value, a.d[0] - b.d[0], a.d[1] - b.d[1], a.d[2] - b.d[2]};
}
inline SdnaDual operator-(const SdnaDual& a) { return {-a.value, -a.d[0], -a.d[1], -a.d[2]}; }
inline SdnaDual operator*(const SdnaDual& a, const SdnaDual& b) {
    return {a.value * b.value, a.d[0] * b.value + a.value * b.d[0],
            a.d[1] * b.value + a.value * b.d[1], a.d[2] * b.value + a.value * b.d[2]};
}
inline SdnaDual operator/(const SdnaDual& a, const SdnaDual& b) {
    // The value is divided exactly as the plain float path divides it.
    const float q = a.value / b.value;
    return {q, (a.d[0] - q * b.d[0]) / b.value, (a.d[1] - q * b.d[1]) / b.value,
            (a.d[2] - q * b.d[2]) / b.value};
}
inline SdnaDual& operator+=(SdnaDual& a, const SdnaDual& b) { return a = a + b; }
inline SdnaDual& operator-=(SdnaDual& a, const SdnaDual& b) { return a = a - b; }
inline SdnaDual& operator*=(SdnaDual& a, const SdnaDual& b) { return a = a * b; }

// Comparisons look at the value only: branches follow the value's branches.
inline bool operator<(const SdnaDual& a, const SdnaDual& b) { return a.value < b.value; }
inline bool operator>(const SdnaDual& a, const SdnaDual& b) { return a.value > b.value; }
inline bool operator<=(const SdnaDual& a, const SdnaDual& b) { return a.value <= b.value; }
inline bool operator>=(const SdnaDual& a, const SdnaDual& b) { return a.value >= b.value; }

// The value part of any number type of the interpreter.
inline float valueOf(float v) { return v; }
inline double valueOf(double v) { return v; }
inline float valueOf(const SdnaDual& v) { return v.value; }

// sqrt with derivative 0 where the value is 0 (the length of a zero vector).
inline SdnaDual sqrt(const SdnaDual& a) {
    const float s = std::sqrt(a.value);
    if (!(s > 0.0f)) return {s, 0.0f, 0.0f, 0.0f};
    const float k = 0.5f / s;
    return {s, a.d[0] * k, a.d[1] * k, a.d[2] * k};
}

inline SdnaDual abs(const SdnaDual& a) { return a.value < 0.0f ? -a : a; }

}  // namespace qlmr
