#pragma once

#include <array>

#include "scene/vec3.h"

namespace qlmr {

// Where the demo scene builder put things, for the cameras that frame it
// (17 floats). The world is right-handed with +Y up; the terrain spans x and
// z in [-worldSize/2, worldSize/2], its u along +x and its v along -z.
struct DemoLayout {
    Vec3 padPosition{};  // pad centre on the terrain surface
    Vec3 shellCenter{};  // centre of the panelled box
    // The box's rotation as three column vectors: the world images of the
    // local x, y and z axes.
    std::array<Vec3, 3> shellAxes{Vec3{1.0f, 0.0f, 0.0f}, Vec3{0.0f, 1.0f, 0.0f}, Vec3{0.0f, 0.0f, 1.0f}};
    float worldSize = 256.0f;  // terrain width in metres
    float heightScale = 42.0f; // metres for normalised terrain height 1
};
static_assert(sizeof(DemoLayout) == 17 * sizeof(float), "DemoLayout is 17 floats");

} // namespace qlmr
