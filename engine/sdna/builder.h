#pragma once

#include "sdna/program.h"

#include <array>
#include <concepts>
#include <cstdint>
#include <string>
#include <vector>

namespace qlmr {

// A bounding box of one value on a program's stack; a plane's is unbounded.
struct SdnaBox {
    std::array<float, 3> min{};
    std::array<float, 3> max{};
    bool unbounded = false;
};

// The box of two spheres (a, radiusA) and (b, radiusB): per axis
// min(a - radiusA, b - radiusB) to max(a + radiusA, b + radiusB).
SdnaBox segmentBounds(const std::array<float, 3>& a, float radiusA, const std::array<float, 3>& b, float radiusB);

// Composes an SdnaProgram one instruction per call, keeping a bounding box
// for every value on the program's stack so that finish() can give the
// program its bounds without any analysis. Appends never fail; misuse is
// reported by finish() through the validator.
class SdnaBuilder {
public:
    using Vec3 = std::array<float, 3>;

    // A rigid frame: x' = (1/scale) * rotate(conjugate(rotation), x - translation).
    struct Transform {
        std::array<float, 4> rotation{0.0f, 0.0f, 0.0f, 1.0f}; // quaternion x, y, z, w
        Vec3 translation{0.0f, 0.0f, 0.0f};
        float scale = 1.0f;
    };

    SdnaBuilder& sphere(Vec3 centre, float radius, std::uint16_t material = 0);
    SdnaBuilder& capsule(Vec3 a, Vec3 b, float radius, std::uint16_t material = 0);
    SdnaBuilder& taperedCapsule(Vec3 a, float radiusA, Vec3 b, float radiusB, std::uint16_t material = 0);
    SdnaBuilder& ellipsoid(Vec3 centre, Vec3 radii, std::uint16_t material = 0);
    SdnaBuilder& box(Vec3 centre, Vec3 halfExtents, float cornerRadius, std::uint16_t material = 0);
    SdnaBuilder& plane(Vec3 normal, float offset, std::uint16_t material = 0);
    // op is one of Union, SmoothUnion, Intersect, Subtract; blend goes to p[0].
    SdnaBuilder& combine(SdnaOp op, float blend = 0.0f);
    // The same, with the opcode given as its byte (32 to 35).
    SdnaBuilder& combine(std::uint8_t opcode, float blend = 0.0f) { return combine(static_cast<SdnaOp>(opcode), blend); }
    SdnaBuilder& offset(float amount);
    SdnaBuilder& onion(float thickness);
    SdnaBuilder& pushTransform(const Transform& transform);
    SdnaBuilder& pushTransform(const std::array<float, 4>& rotation, Vec3 translation, float scale)
    {
        return pushTransform(Transform{rotation, translation, scale});
    }
    SdnaBuilder& pushBone(std::uint32_t bone);
    SdnaBuilder& pop();

    // Appends a material and returns its index.
    std::uint16_t material(const SdnaMaterial& material);
    // The same from red, green, blue and roughness in an array. A template
    // so that a braced list of four numbers still picks the overload above.
    template <typename Rgba>
        requires std::same_as<Rgba, std::array<float, 4>>
    std::uint16_t material(const Rgba& rgba)
    {
        return material(SdnaMaterial{rgba[0], rgba[1], rgba[2], rgba[3]});
    }
    // Explicit program bounds, used instead of the box stack.
    SdnaBuilder& bounds(Vec3 min, Vec3 max);
    // How much a box leaving a bone frame grows on every side (default 0).
    void setBoneMargin(float margin) { boneMargin = margin; }

    // Completes the program: adds the default material when there is none,
    // sets the bounds, validates, and on success moves the program into out
    // and starts over with an empty program (the bone margin is kept). On
    // failure the program under construction is kept as it is.
    bool finish(SdnaProgram& out, std::string& error);
    // The same with the error string passed by address (never null).
    bool finish(SdnaProgram& out, std::string* error) { return finish(out, *error); }

    // The program under construction, for inspection.
    const SdnaProgram& program() const { return building; }

private:
    struct Frame {
        Transform transform;
        bool bone = false;
    };

    SdnaBuilder& append(SdnaOp op, std::array<float, 8> p, std::uint16_t material = 0, std::uint32_t bone = 0);
    SdnaBuilder& pushBox(Vec3 min, Vec3 max);
    void growTop(float amount);
    void reset();

    SdnaProgram building;
    std::vector<SdnaBox> boxes;
    std::vector<Frame> frames;
    float boneMargin = 0.0f;
    bool explicitBounds = false;
    Vec3 explicitMin{};
    Vec3 explicitMax{};
};

} // namespace qlmr
