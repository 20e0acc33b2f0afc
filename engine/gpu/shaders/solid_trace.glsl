// The solid object of the field tracer: a placed shape program (rotation,
// translation, uniform scale) sphere-traced with the shape-program
// evaluator, as the CPU renderer traces its solid object beside the fields.
#ifndef QLMR_SOLID_TRACE_GLSL
#define QLMR_SOLID_TRACE_GLSL

#include "../sdna_gpu_layout.h"

layout(std430, binding = QLMR_BINDING_SDNA_CODE) readonly buffer SdnaCode {
    SdnaInstr sdnaCode[];
};
layout(std430, binding = QLMR_BINDING_SDNA_POSE) readonly buffer SdnaPose {
    vec4 sdnaPose[];
};
layout(std140, binding = QLMR_BINDING_SDNA_PROGRAM) uniform SdnaProgramUniforms {
    QLMR_SDNA_PROGRAM_UNIFORMS_MEMBERS
} sdnaProg;
layout(std140, binding = QLMR_BINDING_SOLID) uniform SolidUniforms {
    vec4 q;      // rotation quaternion x, y, z, w
    vec4 ts;     // translation, scale
    uvec4 flags; // present, culling records, material count
} solid;
layout(std430, binding = QLMR_BINDING_SOLID_MATERIALS) readonly buffer SolidMaterials {
    vec4 solidMaterials[];
};

#include "sdna_eval.glsl"

bool solidPresent() { return solid.flags.x != 0u; }

// Rotation of v by q itself: brings a program-space vector back out.
precise vec3 solidRotateForward(vec4 q, vec3 v)
{
    const vec3 u = q.xyz;
    const vec3 c = sdnaCrossC(u, v);
    return v + c * (2.0 * q.w) + sdnaCrossC(u, c) * 2.0;
}

// Traces the world ray o + d t through the placed program: the ray goes into
// program space, the hit distance, position and normal come back out.
precise SdnaTraceHit traceSolidInstance(vec3 origin, vec3 dir, float tmin, float tmax, uint maxSteps, float eps,
                                float epsPerDistance, bool normals)
{
    const float s = solid.ts.w;
    const float inverseScale = 1.0 / s;
    const vec3 rotated = sdnaRotateConj(solid.q, origin - solid.ts.xyz);
    const vec3 localOrigin = rotated * inverseScale;
    const vec3 localDir = sdnaRotateConj(solid.q, dir);
    SdnaTraceHit hit = sdnaTrace(localOrigin, localDir, tmin / s, tmax / s, maxSteps, eps, epsPerDistance, normals,
                                 solid.flags.y != 0u);
    if (hit.status != QLMR_SDNA_STATUS_MISS) {
        hit.t = s * hit.t;
        hit.position = origin + dir * hit.t;
        hit.normal = solidRotateForward(solid.q, hit.normal);
    }
    return hit;
}

// Colour of a program material; indices past the table read as the default.
vec3 solidMaterialColor(uint index)
{
    return index < solid.flags.z ? solidMaterials[index].rgb : vec3(0.8);
}

// The solid object's lit colour seen in a reflection (no shadow test).
precise vec3 reflectedSolidColor(vec3 color, vec3 n)
{
    const float sky = 0.45 * n.y + 0.55;
    const float sun = max(dot(n, frame.sunDir.xyz), 0.0);
    return color * (sky * frame.ambient.xyz + sun * frame.sunColor.xyz);
}

#endif
