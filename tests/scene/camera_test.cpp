#include "content/demo_layout.h"
#include "scene/camera.h"

#include <algorithm>
#include <cmath>
#include <gtest/gtest.h>
#include <stdexcept>
#include <span>
#include <string>
#include <vector>

namespace qlmr {
namespace {

void expectVecNear(Vec3 actual, Vec3 expected, float tolerance)
{
    EXPECT_NEAR(actual.x, expected.x, tolerance);
    EXPECT_NEAR(actual.y, expected.y, tolerance);
    EXPECT_NEAR(actual.z, expected.z, tolerance);
}

TEST(Camera, DefaultLooksDownMinusZ)
{
    const Camera camera;
    EXPECT_EQ(camera.position, (Vec3{0, 0, 0}));
    EXPECT_EQ(camera.forward, (Vec3{0, 0, -1}));
    EXPECT_EQ(camera.right, (Vec3{1, 0, 0}));
    EXPECT_EQ(camera.up, (Vec3{0, 1, 0}));
    EXPECT_FLOAT_EQ(camera.tanHalfFov, std::tan(3.14159265f / 6.0f));
    EXPECT_EQ(camera.aspect, 1.0f);
    EXPECT_EQ(camera.width, 1u);
    EXPECT_EQ(camera.height, 1u);
}

TEST(Camera, LookAtBuildsAnOrthonormalBasisAndPixelSpread)
{
    const Camera camera = Camera::lookAt({3, 4, 5}, {-7, 1, -20}, {0, 1, 0}, 62.0f, 1280, 720);
    EXPECT_EQ(camera.position, (Vec3{3, 4, 5}));
    expectVecNear(camera.forward, normalizeSafe(Vec3{-10, -3, -25}), 1e-6f);
    EXPECT_NEAR(length(camera.right), 1.0f, 1e-6f);
    EXPECT_NEAR(length(camera.up), 1.0f, 1e-5f);
    EXPECT_NEAR(dot(camera.right, camera.forward), 0.0f, 1e-6f);
    EXPECT_NEAR(dot(camera.up, camera.forward), 0.0f, 1e-6f);
    EXPECT_NEAR(camera.right.y, 0.0f, 1e-7f); // level horizon
    EXPECT_GT(camera.up.y, 0.0f);
    EXPECT_FLOAT_EQ(camera.aspect, 1.7777778f);
    EXPECT_FLOAT_EQ(camera.tanHalfFov, std::tan(31.0f * 3.1415927f / 180.0f));
    EXPECT_FLOAT_EQ(Camera::pixelSpread(camera), 2.0f * std::tan(31.0f * 3.1415927f / 180.0f) / 720.0f);
    EXPECT_EQ(camera.width, 1280u);
    EXPECT_EQ(camera.height, 720u);
}

TEST(Camera, EyeOnTargetGivesZeroVectorsNotNaN)
{
    const Camera camera = Camera::lookAt({1, 1, 1}, {1, 1, 1}, {0, 1, 0}, 60.0f, 4, 4);
    for (const Vec3& v : {camera.forward, camera.right, camera.up}) {
        EXPECT_FALSE(std::isnan(v.x) || std::isnan(v.y) || std::isnan(v.z));
        EXPECT_EQ(v, (Vec3{0, 0, 0}));
    }
}

TEST(Camera, ProgramCameraHasAFixedFieldOfView)
{
    const ProgramCamera camera = programCamera({0, 2, 6}, {0, 0.5f, 0}, 640, 480);
    expectVecNear(camera.forward, normalizeSafe(Vec3{0, -1.5f, -6}), 1e-6f);
    expectVecNear(camera.right, {1, 0, 0}, 1e-6f);
    expectVecNear(camera.up, cross(camera.right, camera.forward), 0.0f);
    EXPECT_GT(camera.up.y, 0.0f);
    EXPECT_FLOAT_EQ(camera.tanHalfFov, std::tan(0.375f));
    EXPECT_FLOAT_EQ(camera.aspect, 640.0f / 480.0f);
    EXPECT_FLOAT_EQ(camera.pixelSpread, 2.0f * std::tan(0.375f) / 480.0f);
    const ProgramCamera paired = programCamera(std::pair<Vec3, Vec3>{{0, 2, 6}, {0, 0.5f, 0}}, 640, 480);
    EXPECT_EQ(paired.forward, camera.forward);
}

TEST(Camera, OrbitEyeCirclesAtFixedHeight)
{
    const Vec3 start = orbitEye(0.0f);
    EXPECT_FLOAT_EQ(start.x, 9.5f * std::sin(0.55f));
    EXPECT_FLOAT_EQ(start.z, 9.5f * std::cos(0.55f));
    EXPECT_EQ(start.y, 6.35f);
    const Vec3 later = orbitEye(1.0f);
    EXPECT_NEAR(std::hypot(later.x, later.z), 9.5f, 1e-5f);
    EXPECT_NEAR(std::atan2(later.x, later.z) - std::atan2(start.x, start.z), 0.7f, 1e-5f);
}

// A 4x4 terrain whose only raised column is the given one (height 1).
DisplacementField ridgeField(int column, bool clamp)
{
    std::vector<uint16_t> heights(16, 0);
    for (int y = 0; y < 4; ++y) heights[y * 4 + column] = 65535;
    return DisplacementField(4, 4, std::span<const uint16_t>(heights), clamp);
}

TEST(ViewPresets, FrameTheDemoLayout)
{
    std::vector<DisplacementField> fields;
    fields.push_back(ridgeField(2, true));
    DemoLayout layout;
    // Puts the wide eye at x = 0, z = 0: u = v = 0.5, on the ridge.
    layout.padPosition = {10.0f, 0.0f, -24.0f};
    layout.shellCenter = {5.0f, 6.0f, 7.0f};
    layout.shellAxes = {Vec3{0, 0, 1}, Vec3{0, 1, 0}, Vec3{-1, 0, 0}};
    const std::vector<ViewPreset> presets = makeViewPresets(fields, layout);
    ASSERT_EQ(presets.size(), 4u);
    const char* names[] = {"wide", "close", "aerial", "corner"};
    const float fovs[] = {62, 55, 55, 40};
    const bool debug[] = {true, true, true, false};
    for (int i = 0; i < 4; ++i) {
        EXPECT_EQ(std::string(presets[i].name), names[i]);
        EXPECT_EQ(presets[i].fovDegrees, fovs[i]);
        EXPECT_EQ(presets[i].debugImages, debug[i]);
    }
    expectVecNear(presets[0].eye, {0.0f, 42.0f + 1.8f, 0.0f}, 1e-5f);
    expectVecNear(presets[0].target, {13.0f, 2.2f, -34.0f}, 1e-5f);
    expectVecNear(presets[1].eye, {6.8f, 1.25f, -30.5f}, 1e-5f);
    expectVecNear(presets[1].target, {11.2f, 0.55f, -38.6f}, 1e-5f);
    expectVecNear(presets[2].eye, {-30.0f, 55.0f, 46.0f}, 1e-5f);
    expectVecNear(presets[2].target, {10.0f, 0.0f, -54.0f}, 1e-5f);
    // Q + 3.6 A0 + 1.2 A1 + 3.0 A2 and Q + 1.5 A0 + 1.8 A1 + 1.5 A2.
    expectVecNear(presets[3].eye, {2.0f, 7.2f, 10.6f}, 1e-5f);
    expectVecNear(presets[3].target, {3.5f, 7.8f, 8.5f}, 1e-5f);
}

TEST(ViewPresets, WideEyeStaysAboveThePadAndUsesClampedCoordinates)
{
    DemoLayout layout;
    layout.padPosition = {10.0f, 100.0f, -24.0f};
    std::vector<DisplacementField> fields;
    fields.push_back(ridgeField(2, true));
    EXPECT_NEAR(makeViewPresets(fields, layout)[0].eye.y, 103.4f, 1e-4f);

    // Far right of the world: u clamps to 1, which on a tiling field wraps
    // onto column 0. Unclamped, u would land between columns 1 and 2 (flat).
    std::vector<DisplacementField> tiled;
    tiled.push_back(ridgeField(0, false));
    layout.padPosition = {1000.0f, -10.0f, -24.0f};
    EXPECT_NEAR(makeViewPresets(tiled, layout)[0].eye.y, 43.8f, 1e-4f);
}

TEST(ViewPresets, WideEyeSamplesTheGroundUnderItsOwnX)
{
    // A steep ramp along x, so that the last bit of u shows in the height:
    // the eye's u is (S/2 + P.x - 10) / S, summed from the left.
    std::vector<uint16_t> ramp(2 * 2);
    ramp[1] = ramp[3] = 65535;
    std::vector<DisplacementField> fields;
    fields.push_back(DisplacementField(2, 2, std::span<const uint16_t>(ramp), true));
    DemoLayout layout;
    layout.worldSize = 256.0f;
    layout.heightScale = 4096.0f;
    for (const float padX : {0.0274f, 0.0411f, 0.0548f, 0.1233f, 0.137f}) {
        layout.padPosition = {padX, -1000.0f, -30.72f};
        const float s = layout.worldSize;
        const float u = std::clamp((s / 2.0f + padX - 10.0f) / s, 0.0f, 1.0f);
        const float v = std::clamp((s / 2.0f - (-30.72f + 24.0f)) / s, 0.0f, 1.0f);
        const float expected = fields[0].sampleHeight(0, u, v) * layout.heightScale + 1.8f;
        EXPECT_EQ(makeViewPresets(fields, layout)[0].eye.y, expected) << "pad x " << padX;
    }
}

TEST(ViewPresets, NeedAField)
{
    const std::vector<DisplacementField> none;
    EXPECT_THROW(makeViewPresets(none, DemoLayout{}), std::invalid_argument);
}

} // namespace
} // namespace qlmr
