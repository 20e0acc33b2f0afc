#version 450
#extension GL_GOOGLE_include_directive : require
// The plain shape-program kernel: every pixel sphere-traces the program
// stream directly (with its culling records, when the stream carries them).

#include "../sdna_gpu_layout.h"

layout(local_size_x = QLMR_SDNA_GROUP_SIZE, local_size_y = QLMR_SDNA_GROUP_SIZE, local_size_z = 1) in;

#include "sdna_bindings.glsl"
#include "sdna_eval.glsl"

SdnaTraceHit sdnaPrimaryTrace(vec3 origin, vec3 direction, float epsPerDistance)
{
    return sdnaTrace(origin, direction, 0.0, 50.0, 256u, 0.0001, epsPerDistance, true, true);
}

#include "sdna_render.glsl"

void main()
{
    sdnaRenderPixel(gl_GlobalInvocationID.xy);
}
