// The shape-program kernel with distance bricks: primary rays step through
// the brick cache and hand over to the exact program near the surface;
// shadow rays trace the exact program. Included by sdna_bricks.comp (the
// walk in single precision) and sdna_bricks_f64.comp (in double precision,
// as the processor walks; QLMR_BRICK_WALK_F64 defined).

#include "../sdna_gpu_layout.h"

layout(local_size_x = QLMR_SDNA_GROUP_SIZE, local_size_y = QLMR_SDNA_GROUP_SIZE, local_size_z = 1) in;

#include "sdna_bindings.glsl"

layout(std430, set = 0, binding = QLMR_SDNA_BINDING_BRICK_GRID) readonly buffer SdnaBrickGrid {
    uvec2 sdnaBrickGrid[];
};
layout(std430, set = 0, binding = QLMR_SDNA_BINDING_BRICK_DATA) readonly buffer SdnaBrickData {
    uint sdnaBrickWords[];
};
layout(std140, set = 0, binding = QLMR_SDNA_BINDING_BRICK_PARAMS) uniform SdnaBrickParams {
    QLMR_SDNA_BRICK_PARAMS_MEMBERS
} sdnaBricks;

#include "sdna_eval.glsl"
#include "sdna_bricks.glsl"

SdnaTraceHit sdnaPrimaryTrace(vec3 origin, vec3 direction, float epsPerDistance)
{
    return sdnaTraceBricks(origin, direction, 0.0, 50.0, 256u, 0.0001, epsPerDistance, 100000u);
}

#include "sdna_render.glsl"

void main()
{
    sdnaRenderPixel(gl_GlobalInvocationID.xy);
}
