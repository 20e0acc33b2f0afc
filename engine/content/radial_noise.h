#pragma once

#include <cstdint>

#include "scene/vec3.h"

namespace qlmr {

// A sphere displaced along its radius by fractal 3D value noise.
struct RadialSourceParams {
    float radius = 1.0f;
    float amplitude = 0.12f;  // largest displacement
    float frequency = 1.6f;   // of the first octave, per unit of direction
    std::int32_t octaves = 7; // at least 1
    std::uint32_t seed = 1;
};

// Throws std::invalid_argument naming the setting when the parameters
// cannot describe a surface: `octaves` below 1 leaves the noise without a
// normalisation (0 / 0). Every entry point that marches or bakes the source
// checks this first.
void checkRadialSourceParams(const RadialSourceParams& params);

// Radial displacement in direction d (unit length). Only the first
// octaveLimit octaves are evaluated, but the normalisation counts all of
// them, so a lower limit gives a smaller, smoother displacement of the same
// scale. Octaves from the third on are partly ridged.
float radialNoise(const RadialSourceParams& params, Vec3 d, int octaveLimit);
// The same with the direction as three plain floats x, y, z.
float radialNoise(const RadialSourceParams& params, const float (&d)[3], int octaveLimit);

// Signed distance estimate to the displaced sphere with every octave:
// negative inside, -radius at the origin of space.
float radialDistance(const RadialSourceParams& params, Vec3 p);
// The same with the point as three plain floats x, y, z.
float radialDistance(const RadialSourceParams& params, const float (&p)[3]);

} // namespace qlmr
