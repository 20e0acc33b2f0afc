#pragma once

#include <cstdint>

#include "content/quad_cage.h"
#include "scene/scene.h"

namespace qlmr {

struct ShellAssetOptions {
    float depth = 0.16f;    // the prisms' height in world units
    bool fadeEdges = false; // use a copy of the field that fades to 0 at its borders
    float border = 0.06f;   // the fade width, a fraction of the field size
};

// Lays one existing field over every quad of the cage: one prism per quad,
// based on the quad, its height axis along U x V. With fadeEdges a faded
// copy of the field is appended first and used instead, so neighbouring
// shells meet at height 0. Returns the index of the field the prisms use.
// The caller refreshes the scene's prisms afterwards.
//
// Throws std::out_of_range "invalid vector subscript" for a field (when
// fading) or vertex index out of range, and std::invalid_argument for a quad
// that is not a flat parallelogram or that has no area. Prisms of earlier
// quads, and the faded field, stay in the scene.
std::uint32_t makeShellAsset(Scene& scene, const QuadCage& cage, std::uint32_t fieldIndex,
                             const ShellAssetOptions& options);

} // namespace qlmr
