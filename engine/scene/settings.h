#pragma once

#include <array>
#include <cstdint>

#include "scene/vec3.h"

namespace qlmr {

// How rays are marched through the height fields.
struct TraceSettings {
    uint32_t maxSteps = 512;   // most walk steps per prism and pass
    bool lod = true;           // level of detail from the ray footprint
    float lodBias = 0.0f;      // added, as a power of two, to the footprint
    uint8_t normalMode = 1;    // 0 geometric, 1 default, 2 cubic
    uint8_t start = 1;         // start level: 0 top, 1 projected, 2 fixed
    uint32_t startOffset = 0;  // levels added to the start level (modes 1, 2)
    bool seedOracle = false;   // seed pass imitating the GPU's shell seed
    uint32_t shellLog2 = 6;    // seed level = largest log2 size minus this
    bool snapToPixelGrid = true;
};

// A start offset at which every walk starts at the top level: the level it
// is added to is at least -128 (the exponent of the smallest footprint) and
// a field has at most 16 levels. The march adds the offset in signed 32-bit
// arithmetic, so it caps larger offsets, which mean the same, to this one
// instead of letting them wrap to negative levels.
inline constexpr uint32_t kTopStartOffset = 256;

// How hits are lit, and what the sky and fog look like.
struct RenderSettings {
    // (-0.72, 0.36, 0.42) / sqrt(0.8244): unit vector towards the sun.
    Vec3 sunDir{-0.79298234f, 0.39649117f, 0.46257299f};
    Vec3 sunColor{2.5f, 2.3f, 2.0f};
    Vec3 skyZenith{0.2f, 0.38f, 0.75f};
    Vec3 skyHorizon{0.62f, 0.72f, 0.85f};
    Vec3 ambient{0.26f, 0.32f, 0.42f};
    float specular = 0.0f;       // no specular term unless above 0
    float roughness = 0.5f;
    float normalRefine = 0.0f;   // normal refinement off unless above 0
    float fogDensity = 0.0011f;
    float fogBaseHeight = 0.0f;
    float fogFalloff = 0.0f;     // 0 gives uniform fog
    std::array<float, 4> fogSphere{}; // read only by the GPU renderer
    bool shadows = true;
    bool altShadows = false;     // GPU only: shadow mode 2 when shadows is off
    uint32_t debugView = 0;      // GPU only: 0 is the normal image
};

} // namespace qlmr
