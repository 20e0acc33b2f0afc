#include "sdna/critter.h"

#include "sdna/builder.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace qlmr {

SdnaProgram buildCritter(bool base)
{
    SdnaBuilder b;
    const std::uint16_t fur = b.material({0.72f, 0.42f, 0.18f, 0.7f});
    const std::uint16_t belly = b.material({0.92f, 0.86f, 0.74f, 0.7f});
    const std::uint16_t dark = b.material({0.08f, 0.06f, 0.05f, 0.4f});
    const std::uint16_t ground = b.material({0.30f, 0.42f, 0.22f, 0.9f});

    // Body, belly and neck.
    b.taperedCapsule({-0.45f, 0.55f, 0.0f}, 0.2f, {0.4f, 0.6f, 0.0f}, 0.24f, fur)
        .taperedCapsule({-0.4f, 0.45f, 0.0f}, 0.14f, {0.35f, 0.5f, 0.0f}, 0.16f, belly)
        .combine(SdnaOp::SmoothUnion, 0.12f)
        .taperedCapsule({0.45f, 0.7f, 0.0f}, 0.11f, {0.78f, 0.95f, 0.0f}, 0.13f, fur)
        .combine(SdnaOp::SmoothUnion, 0.1f);

    // Head, in a frame turned by -0.35 radians about z.
    const float halfTurn = -0.175f;
    SdnaBuilder::Transform head;
    head.rotation = {0.0f, 0.0f, std::sin(halfTurn), std::cos(halfTurn)};
    head.translation = {0.9f, 1.0f, 0.0f};
    head.scale = 1.0f;
    b.pushTransform(head)
        .ellipsoid({0.0f, 0.0f, 0.0f}, {0.22f, 0.15f, 0.14f}, fur)
        .ellipsoid({0.18f, -0.06f, 0.0f}, {0.12f, 0.07f, 0.07f}, belly)
        .combine(SdnaOp::SmoothUnion, 0.05f)
        .sphere({0.27f, -0.05f, 0.0f}, 0.035f, dark)
        .combine(SdnaOp::Union)
        .taperedCapsule({-0.03f, 0.1f, 0.08f}, 0.045f, {-0.06f, 0.26f, 0.11f}, 0.012f, fur)
        .combine(SdnaOp::SmoothUnion, 0.03f)
        .taperedCapsule({-0.03f, 0.1f, -0.08f}, 0.045f, {-0.06f, 0.26f, -0.11f}, 0.012f, fur)
        .combine(SdnaOp::SmoothUnion, 0.03f)
        .sphere({0.12f, 0.04f, 0.1f}, 0.03f, dark)
        .combine(SdnaOp::Union)
        .sphere({0.12f, 0.04f, -0.1f}, 0.03f, dark)
        .combine(SdnaOp::Union)
        .pop()
        .combine(SdnaOp::SmoothUnion, 0.06f);

    // Tail.
    b.taperedCapsule({-0.55f, 0.65f, 0.0f}, 0.07f, {-1.05f, 0.95f, 0.05f}, 0.035f, fur)
        .combine(SdnaOp::SmoothUnion, 0.08f)
        .sphere({-1.08f, 0.97f, 0.05f}, 0.05f, belly)
        .combine(SdnaOp::SmoothUnion, 0.04f);

    // Legs: thigh, shin and hoof, each on its own bone.
    for (std::uint32_t leg = 0; leg < 4; ++leg) {
        const float px = kCritterHips[leg][0];
        const float py = kCritterHips[leg][1];
        const float pz = kCritterHips[leg][2];
        b.pushBone(leg)
            .taperedCapsule({px, py, pz}, 0.085f, {px + 0.02f, py - 0.24f, pz}, 0.055f, fur)
            .taperedCapsule({px + 0.02f, py - 0.24f, pz}, 0.055f, {px, py - 0.44f, pz}, 0.045f, fur)
            .combine(SdnaOp::SmoothUnion, 0.04f)
            .sphere({px + 0.02f, py - 0.45f, pz}, 0.055f, dark)
            .combine(SdnaOp::SmoothUnion, 0.02f)
            .pop()
            .combine(SdnaOp::SmoothUnion, 0.05f);
    }

    if (base)
        b.box({0.0f, -0.25f, 0.0f}, {2.5f, 0.25f, 2.5f}, 0.0f, ground).combine(SdnaOp::Union);

    SdnaProgram program;
    std::string error;
    if (!b.finish(program, error)) {
        std::fprintf(stderr, "builder: %s\n", error.c_str());
        std::exit(1);
    }
    return program;
}

std::vector<BonePose> critterPose(std::uint32_t boneCount, float angle)
{
    std::vector<BonePose> poses(boneCount);
    for (std::uint32_t bone = 0; bone < 4 && bone < boneCount; ++bone) {
        const float x = (bone == 0 || bone == 3) ? angle : -angle;
        const float c = std::cos(x);
        const float s = std::sin(x);
        const float px = kCritterHips[bone][0];
        const float py = kCritterHips[bone][1];
        BonePose& pose = poses[bone];
        pose.rotation = {0.0f, 0.0f, std::sin(x / 2.0f), std::cos(x / 2.0f)};
        // pivot - R(x) * pivot keeps the hip point where it is.
        pose.position = {px - (c * px - s * py), py - (s * px + c * py), 0.0f};
        pose.scale = 1.0f;
    }
    return poses;
}

} // namespace qlmr
