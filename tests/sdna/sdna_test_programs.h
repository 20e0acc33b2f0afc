#pragma once
// Small instruction makers and a seeded random program generator shared by
// the shape-program evaluator and tracer tests.

#include <array>
#include <cmath>
#include <cstdint>
#include <initializer_list>
#include <random>
#include <vector>

#include "sdna/program.h"

namespace qlmr::test {

inline SdnaInstruction instr(SdnaOp op, std::initializer_list<float> params = {},
                             std::uint16_t material = 0) {
    SdnaInstruction ins;
    ins.op = op;
    ins.material = material;
    int i = 0;
    for (float v : params) ins.p[i++] = v;
    return ins;
}

inline SdnaInstruction sphere(float cx, float cy, float cz, float r, std::uint16_t material = 0) {
    return instr(SdnaOp::Sphere, {cx, cy, cz, r}, material);
}

inline SdnaInstruction pushBone(std::uint32_t bone) {
    SdnaInstruction ins = instr(SdnaOp::PushBone);
    ins.bone = bone;
    return ins;
}

// Quaternion (x, y, z, w) of a rotation by `angle` about a unit axis.
inline std::array<float, 4> axisAngle(float ax, float ay, float az, float angle) {
    const float s = std::sin(angle * 0.5f);
    return {ax * s, ay * s, az * s, std::cos(angle * 0.5f)};
}

inline SdnaInstruction pushTransform(const std::array<float, 4>& q, float tx, float ty, float tz,
                                     float scale) {
    return instr(SdnaOp::PushTransform, {q[0], q[1], q[2], q[3], tx, ty, tz, scale});
}

// A program around the given instructions with `materialCount` distinct
// materials and a generous box.
inline SdnaProgram makeProgram(std::vector<SdnaInstruction> code, int materialCount = 4,
                               float halfBox = 10.0f) {
    SdnaProgram program;
    program.instructions = std::move(code);
    for (int i = 0; i < materialCount; ++i) {
        program.materials.push_back({0.2f + 0.2f * i, 0.5f, 0.9f - 0.2f * i, 0.3f + 0.1f * i});
    }
    program.boneCount = 4;
    program.boundsMin = {-halfBox, -halfBox, -halfBox};
    program.boundsMax = {halfBox, halfBox, halfBox};
    return program;
}

// A random valid program: nested subtrees of random primitives, combinators,
// unary operators, rigid frames and bone frames, within the stack limits.
// With nearUnit, every frame and pose quaternion has a squared length drawn
// from the whole range the validator accepts (0.9981 to 1.0019) instead of 1.
class RandomProgramMaker {
public:
    explicit RandomProgramMaker(std::uint32_t seed, bool nearUnit = false) : rng_(seed), nearUnit_(nearUnit) {}

    SdnaProgram make(int depth) {
        std::vector<SdnaInstruction> code;
        subtree(code, depth, 0);
        return makeProgram(std::move(code));
    }

    std::array<float, 3> point(float range) {
        return {uniform(-range, range), uniform(-range, range), uniform(-range, range)};
    }

    std::vector<BonePose> poses(int count) {
        std::vector<BonePose> out(static_cast<std::size_t>(count));
        for (BonePose& p : out) {
            p.rotation = frameQuaternion();
            p.position = point(1.0f);
            p.scale = uniform(0.5f, 2.0f);
        }
        return out;
    }

    float uniform(float lo, float hi) { return std::uniform_real_distribution<float>(lo, hi)(rng_); }
    int pick(int n) { return std::uniform_int_distribution<int>(0, n - 1)(rng_); }

    std::array<float, 4> unitQuaternion() {
        std::array<float, 4> q{uniform(-1, 1), uniform(-1, 1), uniform(-1, 1), uniform(-1, 1)};
        const float len = std::sqrt(q[0] * q[0] + q[1] * q[1] + q[2] * q[2] + q[3] * q[3]);
        for (float& c : q) c /= len;
        return q;
    }

    // The quaternion of a frame or a pose: of unit length, or near it with nearUnit.
    std::array<float, 4> frameQuaternion() {
        std::array<float, 4> q = unitQuaternion();
        if (nearUnit_) {
            const float stretch = std::sqrt(uniform(0.9981f, 1.0019f));
            for (float& c : q) c *= stretch;
        }
        return q;
    }

private:
    void primitive(std::vector<SdnaInstruction>& code) {
        const auto c = point(1.5f);
        const std::uint16_t m = static_cast<std::uint16_t>(pick(4));
        switch (pick(6)) {
        case 0: code.push_back(sphere(c[0], c[1], c[2], uniform(0.2f, 1.0f), m)); break;
        case 1: {
            const auto b = point(1.5f);
            code.push_back(instr(SdnaOp::Capsule, {c[0], c[1], c[2], b[0], b[1], b[2], uniform(0.1f, 0.5f)}, m));
            break;
        }
        case 2: {
            const auto b = point(1.5f);
            code.push_back(instr(SdnaOp::TaperedCapsule,
                                 {c[0], c[1], c[2], uniform(0.1f, 0.6f), b[0], b[1], b[2], uniform(0.1f, 0.6f)}, m));
            break;
        }
        case 3:
            code.push_back(instr(SdnaOp::Ellipsoid,
                                 {c[0], c[1], c[2], uniform(0.3f, 1.0f), uniform(0.3f, 1.0f), uniform(0.3f, 1.0f)}, m));
            break;
        case 4:
            code.push_back(instr(SdnaOp::Box, {c[0], c[1], c[2], uniform(0.2f, 0.8f), uniform(0.2f, 0.8f),
                                               uniform(0.2f, 0.8f), uniform(0.0f, 0.2f)}, m));
            break;
        default: {
            const auto q = unitQuaternion();
            code.push_back(instr(SdnaOp::Plane, {q[0] / std::sqrt(1 - q[3] * q[3]), q[1] / std::sqrt(1 - q[3] * q[3]),
                                                 q[2] / std::sqrt(1 - q[3] * q[3]), uniform(-1.0f, 1.0f)}, m));
            break;
        }
        }
    }

    void subtree(std::vector<SdnaInstruction>& code, int depth, int frames) {
        if (depth <= 0) {
            primitive(code);
            return;
        }
        const int kind = pick(10);
        if (kind < 6) {
            subtree(code, depth - 1, frames);
            subtree(code, depth - 1, frames);
            static constexpr SdnaOp kCombinators[] = {SdnaOp::Union, SdnaOp::SmoothUnion,
                                                      SdnaOp::Intersect, SdnaOp::Subtract};
            const SdnaOp op = kCombinators[pick(4)];
            code.push_back(instr(op, {op == SdnaOp::SmoothUnion ? uniform(-0.2f, 0.6f) : 0.0f}));
        } else if (kind < 8 && frames < kSdnaMaxFrames) {
            if (pick(2) == 0) {
                const auto t = point(0.5f);
                code.push_back(pushTransform(frameQuaternion(), t[0], t[1], t[2], uniform(0.5f, 2.0f)));
            } else {
                code.push_back(pushBone(static_cast<std::uint32_t>(pick(4))));
            }
            subtree(code, depth - 1, frames + 1);
            code.push_back(instr(SdnaOp::Pop));
        } else {
            subtree(code, depth - 1, frames);
            code.push_back(instr(pick(2) == 0 ? SdnaOp::Offset : SdnaOp::Onion, {uniform(0.0f, 0.2f)}));
        }
    }

    std::mt19937 rng_;
    bool nearUnit_ = false;
};

}  // namespace qlmr::test
