#version 450
#extension GL_GOOGLE_include_directive : require

// Sculpt probe: the arch program blended into the wavy surface
// y = h(x, z) at a list of points, "add" as the smooth union of the solid
// below the surface with the program, "carve" as the smooth subtraction of
// the program from it. The host passes h with each point, so the kernel and
// the reference share it exactly.

#include "../../../engine/gpu/sdna_gpu_layout.h"
#include "../../../engine/gpu/shaders/linear_dispatch.h"

layout(std430, set = 0, binding = 0) readonly buffer SdnaCode {
    SdnaInstr sdnaCode[];
};
layout(std430, set = 0, binding = 1) readonly buffer SdnaPose {
    vec4 sdnaPose[];
};
layout(std140, set = 0, binding = 2) uniform SdnaProgramUniforms {
    QLMR_SDNA_PROGRAM_UNIFORMS_MEMBERS
} sdnaProg;
layout(std430, set = 0, binding = 3) readonly buffer Points {
    vec4 points[];
};
layout(std430, set = 0, binding = 4) writeonly buffer Distances {
    float distances[];
};
layout(std140, set = 0, binding = 5) uniform SculptProbe {
    uvec4 dims;   // point count, operation (0 add, 1 carve), 0, 0
    vec4 params;  // blend width k, 0, 0, 0
} probe;

#include "../../../engine/gpu/shaders/sdna_eval.glsl"

float sculptSmoothMin(float a, float b, float k)
{
    float m = min(a, b);
    if (k <= 0.0)
        return m;
    float h = max(k - abs(a - b), 0.0) / k;
    return m - h * h * k / 4.0;
}

void main()
{
    uint i = linearItem();
    if (i >= probe.dims.x)
        return;
    vec4 p = points[i];
    uint material;
    float s = sdnaEvaluate(p.xyz, false, material);
    float surface = (p.y - p.w) / sqrt(1.25);
    float k = probe.params.x;
    distances[i] = probe.dims.y == 0u ? sculptSmoothMin(surface, s, k) : -sculptSmoothMin(-surface, s, k);
}
