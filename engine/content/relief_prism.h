#pragma once

#include <cstdint>

#include "content/relief_synthesis.h"
#include "scene/scene.h"
#include "scene/vec3.h"

namespace qlmr {

// Places a synthesized relief in the world. `anchor` is where the corner of
// sprite pixel (0, 0) lies on the plinth; `right` and `down` are the world
// directions of the sprite's columns and rows and `normal` the direction the
// relief rises in; one sprite pixel measures `pixelSize`, and the height
// range is stretched by `depthScale`. The local box cuts every outside node
// away (it lies below the plinth), or, for a kept frame, holds the whole
// sprite rectangle. The prism's derived words are those of a fresh prism
// until the scene refreshes it.
Prism reliefPrism(const ReliefInfo& info, std::uint32_t fieldIndex, Vec3 anchor, Vec3 right, Vec3 down,
                  Vec3 normal, float pixelSize, float depthScale);
// The same with the four vectors as three plain floats x, y, z each.
Prism reliefPrism(const ReliefInfo& info, std::uint32_t fieldIndex, const float (&anchor)[3],
                  const float (&right)[3], const float (&down)[3], const float (&normal)[3], float pixelSize,
                  float depthScale);

// The back-to-back twin of a relief prism: same plinth plane, the relief
// rising on the other side.
Prism mirroredPrism(const Prism& front, const ReliefInfo& info);

} // namespace qlmr
