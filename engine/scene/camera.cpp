#include "scene/camera.h"

#include <algorithm>
#include <cmath>
#include <stdexcept>

#include "content/demo_layout.h"

namespace qlmr {

Camera Camera::lookAt(Vec3 eye, Vec3 target, Vec3 up, float fovDegrees, uint32_t width, uint32_t height)
{
    Camera camera;
    camera.position = eye;
    camera.forward = normalizeSafe(target - eye);
    camera.right = normalizeSafe(cross(camera.forward, up));
    camera.up = cross(camera.right, camera.forward);
    camera.tanHalfFov = std::tan(fovDegrees * 0.5f * 3.1415927f / 180.0f);
    camera.aspect = float(width) / float(height);
    camera.width = width;
    camera.height = height;
    return camera;
}

float Camera::pixelSpread(const Camera& camera) { return 2.0f * camera.tanHalfFov / float(camera.height); }

ProgramCamera programCamera(Vec3 eye, Vec3 target, uint32_t width, uint32_t height)
{
    ProgramCamera camera;
    camera.position = eye;
    camera.forward = normalizeSafe(target - eye);
    // forward x (0, 1, 0)
    camera.right = normalizeSafe(Vec3{-camera.forward.z, 0.0f, camera.forward.x});
    camera.up = cross(camera.right, camera.forward);
    camera.tanHalfFov = std::tan(0.375f);
    camera.aspect = float(width) / float(height);
    camera.pixelSpread = 2.0f * camera.tanHalfFov / float(height);
    return camera;
}

ProgramCamera programCamera(const std::pair<Vec3, Vec3>& eyeTarget, uint32_t width, uint32_t height)
{
    return programCamera(eyeTarget.first, eyeTarget.second, width, height);
}

Vec3 orbitEye(float t)
{
    const float a = 0.7f * t + 0.55f;
    return {9.5f * std::sin(a), 6.35f, 9.5f * std::cos(a)};
}

std::vector<ViewPreset> makeViewPresets(const std::vector<DisplacementField>& fields, const DemoLayout& layout)
{
    if (fields.empty()) {
        throw std::invalid_argument("view presets need the terrain field");
    }
    const DisplacementField& terrain = fields[0];
    const Vec3 p = layout.padPosition;
    const Vec3 q = layout.shellCenter;
    const Vec3 a0 = layout.shellAxes[0];
    const Vec3 a1 = layout.shellAxes[1];
    const Vec3 a2 = layout.shellAxes[2];
    const float s = layout.worldSize;
    const float k = layout.heightScale;

    // The wide eye stays 1.8 above the ground under it (the terrain spans x
    // from -S/2 to S/2, its v running from z = S/2 towards -z) and at least
    // 3.4 above the pad.
    const float wideX = p.x - 10.0f;
    const float wideZ = p.z + 24.0f;
    // The ground is read at u = (S/2 + P.x - 10) / S, summed from the left.
    const float u = std::clamp((s / 2.0f + p.x - 10.0f) / s, 0.0f, 1.0f);
    const float v = std::clamp((s / 2.0f - wideZ) / s, 0.0f, 1.0f);
    const float wideY = std::max(terrain.sampleHeight(0, u, v) * k + 1.8f, p.y + 3.4f);

    std::vector<ViewPreset> presets;
    presets.push_back({"wide", {wideX, wideY, wideZ}, {p.x + 3.0f, p.y + 2.2f, p.z - 10.0f}, 62.0f, true});
    presets.push_back(
        {"close", {p.x - 3.2f, p.y + 1.25f, p.z - 6.5f}, {p.x + 1.2f, p.y + 0.55f, p.z - 14.6f}, 55.0f, true});
    presets.push_back({"aerial", {p.x - 40.0f, p.y + 55.0f, p.z + 70.0f}, {p.x, p.y, p.z - 30.0f}, 55.0f, true});
    presets.push_back({"corner", q + 3.6f * a0 + 1.2f * a1 + 3.0f * a2, q + 1.5f * a0 + 1.8f * a1 + 1.5f * a2, 40.0f,
                       false});
    return presets;
}

} // namespace qlmr
