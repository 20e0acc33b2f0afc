#pragma once
// The shape-program interpreter, written once over its number type:
// float for point evaluation, SdnaDual for gradients, double for the
// distance bricks. Every instantiation takes exactly the same branches, decided
// on the values, so the three evaluators cannot drift apart.
//
// The number type T needs +, -, *, / (also with constants converted to T),
// comparisons, sqrt and abs found by argument lookup or in std, and valueOf.

#include <array>
#include <cmath>
#include <cstdint>

#include "sdna/dual.h"
#include "sdna/program.h"

namespace qlmr::sdna_detail {

template <typename T>
struct Vec {
    T x, y, z;
};

template <typename T>
inline Vec<T> operator+(const Vec<T>& a, const Vec<T>& b) { return {a.x + b.x, a.y + b.y, a.z + b.z}; }
template <typename T>
inline Vec<T> operator-(const Vec<T>& a, const Vec<T>& b) { return {a.x - b.x, a.y - b.y, a.z - b.z}; }
template <typename T>
inline Vec<T> operator*(const Vec<T>& a, const T& s) { return {a.x * s, a.y * s, a.z * s}; }
template <typename T>
inline Vec<T> operator/(const Vec<T>& a, const Vec<T>& b) { return {a.x / b.x, a.y / b.y, a.z / b.z}; }
template <typename T>
inline T dot(const Vec<T>& a, const Vec<T>& b) { return a.x * b.x + a.y * b.y + a.z * b.z; }
template <typename T>
inline Vec<T> cross(const Vec<T>& a, const Vec<T>& b) {
    return {a.y * b.z - a.z * b.y, a.z * b.x - a.x * b.z, a.x * b.y - a.y * b.x};
}
template <typename T>
inline T squareRoot(const T& v) {
    using std::sqrt;
    return sqrt(v);
}
template <typename T>
inline T absolute(const T& v) {
    using std::abs;
    return abs(v);
}
template <typename T>
inline T length(const Vec<T>& v) { return squareRoot(dot(v, v)); }

// min and max with std's tie rule (the first argument on a tie).
template <typename T>
inline T minOf(const T& a, const T& b) { return b < a ? b : a; }
template <typename T>
inline T maxOf(const T& a, const T& b) { return a < b ? b : a; }

// -1, 0 or 1 as a constant of the number type (no derivative).
template <typename T>
inline T signOf(const T& v) {
    return T(valueOf(v) > 0 ? 1.0f : (valueOf(v) < 0 ? -1.0f : 0.0f));
}

template <typename T>
inline Vec<T> constant(const float* p) { return {T(p[0]), T(p[1]), T(p[2])}; }

// Rotation of v by the conjugate of q (x, y, z, w): u = -(q.xyz),
// c = u x v, v + 2 q.w c + 2 (u x c). Passing u = +(q.xyz) rotates forward.
template <typename T>
inline Vec<T> rotateByAxis(const Vec<T>& u, const T& w, const Vec<T>& v) {
    const Vec<T> c = cross(u, v);
    const T two(2.0f);
    return v + c * (two * w) + cross(u, c) * two;
}

template <typename T>
inline Vec<T> quatRotateConjugate(const float* q, const Vec<T>& v) {
    return rotateByAxis(Vec<T>{T(-q[0]), T(-q[1]), T(-q[2])}, T(q[3]), v);
}

// Distance to the convex hull of spheres (a, ra) and (b, rb).
template <typename T>
T taperedCapsule(const Vec<T>& x, const Vec<T>& a, const T& ra, const Vec<T>& b, const T& rb) {
    const Vec<T> e = b - a;
    const T l2 = dot(e, e);
    const T rr = ra - rb;
    const T a2 = l2 - rr * rr;
    if (valueOf(l2) < 1e-10f || valueOf(a2) <= 0) {
        return minOf(length(x - a) - ra, length(x - b) - rb);
    }
    const Vec<T> v = x - a;
    const T y = dot(v, e);
    const T z = y - l2;
    const Vec<T> w = v * l2 - e * y;
    const T x2 = dot(w, w);
    const T y2 = y * y * l2;
    const T z2 = z * z * l2;
    const T k = signOf(rr) * rr * rr * x2;
    if (signOf(z) * a2 * z2 > k) return squareRoot(x2 + z2) / l2 - rb;
    if (signOf(y) * a2 * y2 < k) return squareRoot(x2 + y2) / l2 - ra;
    return (squareRoot(x2 * a2 / l2) + y * rr) / l2 - ra;
}

template <typename T>
struct StackValue {
    T distance;
    std::uint16_t material;
};

template <typename T>
struct Frame {
    Vec<T> point;
    T scale;
};

// A bone's pose, or the identity when the pose list does not reach it.
inline const BonePose& poseOfBone(const BonePose* pose, std::uint64_t poseCount,
                                  std::uint32_t bone) {
    static constexpr BonePose kIdentity{};
    return (pose != nullptr && bone < poseCount) ? pose[bone] : kIdentity;
}

// The point moved into a posed bone's space: (1/s) rotate*(q, x - position).
template <typename T>
inline Vec<T> intoBone(const BonePose& bp, const Vec<T>& x) {
    const T inverseScale = T(1.0f) / T(bp.scale);
    return quatRotateConjugate(bp.rotation.data(), x - constant<T>(bp.position.data())) *
           inverseScale;
}

// The culling test: true when the record's subtree cannot change the value
// of its combinator, whose left operand is `top`. Runs on plain values.
template <typename T>
inline bool cullRecord(const BoundRecord& rec, const Vec<T>& framePoint, const T& top,
                       const BonePose* pose, std::uint64_t poseCount) {
    using S = decltype(valueOf(top));
    Vec<S> p{valueOf(framePoint.x), valueOf(framePoint.y), valueOf(framePoint.z)};
    S w = 1;
    if (rec.bone != kSdnaNoBone) {
        const BonePose& bp = poseOfBone(pose, poseCount, rec.bone);
        p = intoBone(bp, p);
        w = S(bp.scale);
    }
    const S lower = (length(p - constant<S>(rec.centre.data())) - S(rec.radius)) * (w * S(rec.scale));
    const S topValue = valueOf(top);
    const S limit = rec.subtract ? -topValue : topValue + S(rec.slack);
    return lower > 0 && lower >= limit;
}

template <typename T>
struct Result {
    T distance;
    std::uint16_t material;
};

template <typename T>
inline void push(int& depth, StackValue<T>& top, StackValue<T>* below, const StackValue<T>& value) {
    below[depth] = top;
    top = value;
    ++depth;
}

template <typename T>
Result<T> interpret(const SdnaProgram& program, const Vec<T>& point, const BonePose* pose,
                    std::uint64_t poseCount, const ProgramBounds* bounds) {
    // The top value lives in `top`; the values below it are spilled to
    // `below`, value k at slot k + 1 (slot 0 takes the empty top of the first
    // push). Keeping the top out of memory shortens the chain of combinators.
    StackValue<T> top{T(0.0f), 0};
    StackValue<T> below[kSdnaMaxValues + 1];
    Frame<T> frames[kSdnaMaxFrames + 1];
    frames[0] = {point, T(1.0f)};
    int depth = 0;  // values on the stack, the top included
    int frame = 0;  // index of the innermost frame
    // The innermost frame's point, kept in locals so stores to the value
    // stack do not force it to be reloaded.
    Vec<T> x = point;

    const SdnaInstruction* code = program.instructions.data();
    const std::uint32_t count = static_cast<std::uint32_t>(program.instructions.size());
    const std::int32_t* recordOf = nullptr;
    std::uint32_t recordOfCount = 0;
    std::size_t recordCount = 0;
    if (bounds != nullptr) {
        recordOf = bounds->recordOf.data();
        recordOfCount = static_cast<std::uint32_t>(bounds->recordOf.size());
        recordCount = bounds->records.size();
    }

    std::uint32_t i = 0;
    while (i < count) {
        // A table filled by hand may name a record it does not hold, or one
        // that jumps back: such an entry is not a record (reading it would
        // go past the list, and jumping back would never end).
        if (i < recordOfCount && recordOf[i] >= 0 && depth > 0 &&
            static_cast<std::size_t>(recordOf[i]) < recordCount &&
            bounds->records[static_cast<std::size_t>(recordOf[i])].end > i) {
            const BoundRecord& rec = bounds->records[static_cast<std::size_t>(recordOf[i])];
            if (cullRecord(rec, x, top.distance, pose, poseCount)) {
                i = rec.end;
                continue;
            }
        }
        const SdnaInstruction& ins = code[i];
        const float* p = ins.p.data();
        switch (ins.op) {
        case SdnaOp::Sphere:
            push(depth, top, below, {length(x - constant<T>(p)) - T(p[3]), ins.material});
            break;
        case SdnaOp::Capsule: {
            const Vec<T> a = constant<T>(p);
            const Vec<T> e = constant<T>(p + 3) - a;
            const Vec<T> v = x - a;
            const T ee = dot(e, e);
            T d;
            if (valueOf(ee) != 0) {
                T h = dot(v, e) / ee;
                if (h < T(0.0f)) {
                    h = T(0.0f);
                } else if (h > T(1.0f)) {
                    h = T(1.0f);
                }
                d = length(v - e * h) - T(p[6]);
            } else {
                d = length(v) - T(p[6]);
            }
            push(depth, top, below, {d, ins.material});
            break;
        }
        case SdnaOp::TaperedCapsule:
            push(depth, top, below, {taperedCapsule(x, constant<T>(p), T(p[3]), constant<T>(p + 4), T(p[7])),
                               ins.material});
            break;
        case SdnaOp::Ellipsoid: {
            const float smallest = minOf(minOf(p[3], p[4]), p[5]);
            const T d = (length((x - constant<T>(p)) / constant<T>(p + 3)) - T(1.0f)) * T(smallest);
            push(depth, top, below, {d, ins.material});
            break;
        }
        case SdnaOp::Box: {
            const Vec<T> q = x - constant<T>(p);
            const Vec<T> d = Vec<T>{absolute(q.x), absolute(q.y), absolute(q.z)} - constant<T>(p + 3);
            const T zero(0.0f);
            const Vec<T> outside{maxOf(d.x, zero), maxOf(d.y, zero), maxOf(d.z, zero)};
            const T inside = minOf(maxOf(maxOf(d.x, d.y), d.z), zero);
            push(depth, top, below, {length(outside) + inside - T(p[6]), ins.material});
            break;
        }
        case SdnaOp::Plane:
            push(depth, top, below, {dot(x, constant<T>(p)) - T(p[3]), ins.material});
            break;
        case SdnaOp::Union: {
            --depth;
            const StackValue<T> b = top;
            StackValue<T>& a = top;
            a = below[depth];
            if (b.distance < a.distance) a = b;
            break;
        }
        case SdnaOp::SmoothUnion: {
            --depth;
            const StackValue<T> b = top;
            StackValue<T>& a = top;
            a = below[depth];
            const float k = p[0];
            if (!(k > 0.0f)) {
                if (a.distance > b.distance) a = b;
                break;
            }
            // abs(a - b) as (a - b) * sign(a - b): the same value, and a
            // derivative that vanishes on an exact tie.
            const T diff = a.distance - b.distance;
            T h = T(k) - diff * signOf(diff);
            if (h < T(0.0f)) h = T(0.0f);
            h = h / T(k);
            const bool takeB = b.distance <= a.distance;
            const T smaller = takeB ? b.distance : a.distance;
            a.distance = smaller - h * h * T(k) / T(4.0f);
            if (takeB) a.material = b.material;
            break;
        }
        case SdnaOp::Intersect: {
            --depth;
            const StackValue<T> b = top;
            StackValue<T>& a = top;
            a = below[depth];
            if (b.distance > a.distance) a = b;
            break;
        }
        case SdnaOp::Subtract: {
            --depth;
            const StackValue<T> b = top;
            StackValue<T>& a = top;
            a = below[depth];
            const T negated = -b.distance;
            if (negated > a.distance) a = {negated, b.material};
            break;
        }
        case SdnaOp::Offset:
            top.distance = top.distance - T(p[0]);
            break;
        case SdnaOp::Onion:
            top.distance = absolute(top.distance) - T(p[0]);
            break;
        case SdnaOp::PushTransform: {
            const T inverseScale = T(1.0f) / T(p[7]);
            ++frame;
            x = quatRotateConjugate(p, x - constant<T>(p + 4)) * inverseScale;
            frames[frame] = {x, T(p[7])};
            break;
        }
        case SdnaOp::PushBone: {
            const BonePose& bp = poseOfBone(pose, poseCount, ins.bone);
            ++frame;
            x = intoBone(bp, x);
            frames[frame] = {x, T(bp.scale)};
            break;
        }
        case SdnaOp::Pop:
            top.distance = top.distance * frames[frame].scale;
            --frame;
            x = frames[frame].point;
            break;
        default:
            // Repeat, the experimental unary and unknown opcodes change nothing.
            break;
        }
        ++i;
    }
    return {top.distance, top.material};
}

}  // namespace qlmr::sdna_detail
