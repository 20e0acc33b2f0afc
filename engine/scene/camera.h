#pragma once

#include <cstdint>
#include <utility>
#include <vector>

#include "scene/height_field.h"
#include "scene/vec3.h"

namespace qlmr {

struct DemoLayout;

// A pinhole camera. World up is +Y; the default sits at the origin looking
// along -Z with a 60 degree vertical field of view.
struct Camera {
    Vec3 position{0.0f, 0.0f, 0.0f};
    Vec3 forward{0.0f, 0.0f, -1.0f};
    Vec3 right{1.0f, 0.0f, 0.0f};
    Vec3 up{0.0f, 1.0f, 0.0f};
    float tanHalfFov = 0.57735026f;
    float aspect = 1.0f;
    uint32_t width = 1;
    uint32_t height = 1;

    static Camera lookAt(Vec3 eye, Vec3 target, Vec3 up, float fovDegrees, uint32_t width, uint32_t height);
    // Angular width of one pixel (2 tanHalfFov / height), the footprint growth
    // the level of detail works from.
    static float pixelSpread(const Camera& camera);
};

// The camera of the shape-program runs: fixed 0.75 radian vertical field of view.
struct ProgramCamera {
    Vec3 position{};
    Vec3 forward{};
    Vec3 right{};
    Vec3 up{};
    float tanHalfFov = 0.0f;
    float aspect = 1.0f;
    float pixelSpread = 0.0f;
};

ProgramCamera programCamera(Vec3 eye, Vec3 target, uint32_t width, uint32_t height);
// The same with eye and target given as one pair.
ProgramCamera programCamera(const std::pair<Vec3, Vec3>& eyeTarget, uint32_t width, uint32_t height);

// Eye of the orbiting diorama views: radius 9.5 around +Y at height 6.35.
Vec3 orbitEye(float t);

// A named view.
struct ViewPreset {
    const char* name = "";
    Vec3 eye{};
    Vec3 target{};
    float fovDegrees = 60.0f;
    bool debugImages = false; // also write the normal and cost images
};

// "wide", "close", "aerial" and "corner", framed on the demo scene; the
// terrain is fields[0]. Throws std::invalid_argument when there is no field.
std::vector<ViewPreset> makeViewPresets(const std::vector<DisplacementField>& fields, const DemoLayout& layout);

} // namespace qlmr
