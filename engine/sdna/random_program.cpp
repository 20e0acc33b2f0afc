#include "sdna/random_program.h"

#include <algorithm>
#include <cmath>
#include <stdexcept>
#include <string>

namespace qlmr {
namespace {

using Vec3 = SdnaBuilder::Vec3;

// Every draw is one generator word, taken in a fixed order, so a seed gives
// the same program wherever it runs.
class Draws {
public:
    explicit Draws(std::mt19937& generator) : generator_(generator) {}

    std::uint32_t word() { return static_cast<std::uint32_t>(generator_()); }
    // 24 random bits as a float in [0, 1).
    float unit() { return static_cast<float>(word() >> 8) * 0x1p-24f; }
    float uniform(float lo, float hi) { return unit() * (hi - lo) + lo; }
    Vec3 point(float range) {
        const float x = uniform(-range, range);
        const float y = uniform(-range, range);
        const float z = uniform(-range, range);
        return {x, y, z};
    }

private:
    std::mt19937& generator_;
};

// Each component divided by the length (not multiplied by its inverse,
// which rounds differently): the corpus must be the same bytes everywhere.
Vec3 normalised(const Vec3& v) {
    const float length = std::sqrt(std::max(v[0] * v[0] + v[1] * v[1] + v[2] * v[2], 1e-30f));
    return {v[0] / length, v[1] / length, v[2] / length};
}

class Generator {
public:
    Generator(std::mt19937& generator, SdnaBuilder& builder)
        : generator_(generator), draws_(generator), builder_(builder) {}

    void node(int depth) {
        const std::uint32_t frame = draws_.word() % 4;
        if (frame == 0) {
            builder_.pushTransform(randomInstanceTransform(generator_));
        } else if (frame == 1) {
            builder_.pushBone(draws_.word() % 3);
        }

        if (depth == 0) {
            leaf();
        } else {
            node(depth - 1);
            node(depth - 1);
            combinator();
        }

        if (draws_.word() % 4 == 0) builder_.offset(draws_.uniform(-0.1f, 0.1f));
        if (draws_.word() % 5 == 0) {
            const float thickness =
                draws_.word() % 3 == 0 ? 0.0001f : draws_.uniform(0.0f, 0.15f);
            builder_.onion(thickness);
        }

        if (frame == 0 || frame == 1) builder_.pop();
    }

private:
    void leaf() {
        const Vec3 a = draws_.point(0.7f);
        // Equal ends make degenerate capsules.
        const Vec3 b = draws_.word() % 5 == 0 ? a : draws_.point(0.7f);
        const float r = draws_.word() % 7 == 0 ? 0.0f : draws_.unit() * 0.7f + 0.1f;
        const auto material = static_cast<std::uint16_t>(draws_.word() & 1u);
        switch (draws_.word() % 6) {
        case 0:
            builder_.sphere(a, r, material);
            break;
        case 1:
            builder_.capsule(a, b, r, material);
            break;
        case 2:
            builder_.taperedCapsule(a, r, b, draws_.uniform(0.0f, 0.7f), material);
            break;
        case 3: {
            const float rx = draws_.uniform(0.1f, 0.9f);
            const float ry = draws_.uniform(0.1f, 0.9f);
            const float rz = draws_.uniform(0.1f, 0.9f);
            builder_.ellipsoid(a, {rx, ry, rz}, material);
            break;
        }
        case 4: {
            const float corner = draws_.uniform(0.0f, 0.1f);
            const float hy = draws_.uniform(0.0f, 0.7f);
            const float hz = draws_.uniform(0.0f, 0.7f);
            builder_.box(a, {r, hy, hz}, corner, material);
            break;
        }
        default: {
            const float offset = draws_.uniform(-0.5f, 0.5f);
            const float nx = draws_.uniform(0.2f, 1.0f);
            const float ny = draws_.uniform(0.2f, 1.0f);
            const float nz = draws_.uniform(0.2f, 1.0f);
            // Twice, so the squared length lands as close to 1 as floats allow.
            builder_.plane(normalised(normalised({nx, ny, nz})), offset, material);
            break;
        }
        }
    }

    void combinator() {
        switch (draws_.word() % 4) {
        case 0:
            builder_.combine(SdnaOp::Union);
            break;
        case 1: {
            // A blend of 1e-7 is a near-degenerate smooth union.
            const float k = draws_.word() % 3 == 0 ? 1e-7f : draws_.uniform(0.0f, 0.4f);
            builder_.combine(SdnaOp::SmoothUnion, k);
            break;
        }
        case 2:
            builder_.combine(SdnaOp::Intersect);
            break;
        default:
            builder_.combine(SdnaOp::Subtract);
            break;
        }
    }

    std::mt19937& generator_;
    Draws draws_;
    SdnaBuilder& builder_;
};

}  // namespace

SdnaBuilder::Transform randomInstanceTransform(std::mt19937& generator) {
    Draws draws(generator);
    const float angle = (draws.unit() * 6.0f - 3.0f) * 0.5f;
    SdnaBuilder::Transform t;
    t.rotation = {0.0f, std::sin(angle), 0.0f, std::cos(angle)};
    t.translation = draws.point(0.25f);
    const std::uint32_t w = draws.word() % 12;
    if (w == 0) {
        t.scale = 0.01f;
    } else if (w == 1) {
        t.scale = 100.0f;
    } else {
        t.scale = draws.unit() + 0.5f;
    }
    return t;
}

SdnaProgram finishGeneratedProgram(SdnaBuilder& builder) {
    SdnaProgram program;
    std::string error;
    if (!builder.finish(program, error)) throw std::runtime_error(error);
    return program;
}

RandomProgram randomProgram(std::uint32_t seed) {
    std::mt19937 generator(seed + 0x53444E41u);
    Draws draws(generator);
    SdnaBuilder builder;
    builder.material({0.7f, 0.25f, 0.1f, 0.5f});
    builder.material({0.1f, 0.4f, 0.8f, 0.7f});

    const int depth = static_cast<int>(draws.word() % 3) + 1;
    Generator(generator, builder).node(depth);

    // Clip the body to a fixed box so that planes and large frames stay bounded.
    builder.box({0.0f, 0.0f, 0.0f}, {2.0f, 2.0f, 2.0f}, 0.0f, 0);
    builder.combine(SdnaOp::Intersect);
    builder.bounds({-2.0f, -2.0f, -2.0f}, {2.0f, 2.0f, 2.0f});

    RandomProgram out;
    out.program = finishGeneratedProgram(builder);

    out.pose.reserve(out.program.boneCount);
    for (std::uint32_t bone = 0; bone < out.program.boneCount; ++bone) {
        const SdnaBuilder::Transform t = randomInstanceTransform(generator);
        BonePose pose;
        pose.rotation = t.rotation;
        pose.position = t.translation;
        pose.scale = t.scale;
        out.pose.push_back(pose);
    }

    if (seed % 17 == 0) {
        out.program.flags = kSdnaFlagExperimental;
        SdnaInstruction experimental;
        experimental.op = SdnaOp::Experimental;
        out.program.instructions.push_back(experimental);
    }
    return out;
}

}  // namespace qlmr
