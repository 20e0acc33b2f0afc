#pragma once

#include <array>
#include <cstdint>
#include <vector>

#include "content/radial_noise.h"
#include "scene/vec3.h"

namespace qlmr {

// A closed surface made of quads, each of which becomes one shell. A quad
// lists its corners p0, p1, p2, p3 in order: p1 - p0 runs along U, p3 - p0
// along V, and U x V points out of the surface. Faces never share vertices.
struct QuadCage {
    std::vector<Vec3> vertices;
    std::vector<std::array<std::uint32_t, 4>> quads;
};

// The box of the given half extents, rotated by axes (the world images of
// the local x, y and z axes) and moved to centre. Its four sides are cut
// into `subdivisions` strips stacked along local y (none for 0 or 1); the
// top is one quad and the bottom is left out unless `bottom` is set.
QuadCage cageFromQuad(Vec3 centre, Vec3 halfExtents, const std::array<Vec3, 3>& axes, unsigned subdivisions,
                      bool bottom);
// The same box from plain floats: centre and half extents as x, y, z, the
// axes as three columns of three (the world images of local x, y and z).
QuadCage cageFromQuad(const float (&centre)[3], const float (&halfExtents)[3], const float (&axes)[9],
                      unsigned subdivisions, bool bottom);

// A cube projected onto a sphere with equal-angle spacing: 6 n^2 quads,
// (n + 1)^2 vertices per face. Empty for n < 1.
QuadCage cubeSphereCage(int resolution, float radius);

// The cube-sphere cage of radius 1 with every vertex moved onto the radial
// source's surface as seen through its first `octaves` noise octaves, then
// pulled in by `margin`, so the cage follows the coarse shape from inside.
QuadCage radialSourceCage(unsigned resolution, const RadialSourceParams& params, int octaves, float margin);

} // namespace qlmr
