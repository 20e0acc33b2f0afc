// Body of the field tracers: one invocation per pixel, the primary ray of
// the camera marched through the prisms of its screen tile and shaded.
// Includers define QLMR_TRACE_LIT as 1 (lit) or 0 (trace only), and
// QLMR_TRACE_SOLID as 1 for the tracer with a solid object.
#extension GL_GOOGLE_include_directive : require

#ifndef QLMR_TRACE_SOLID
#define QLMR_TRACE_SOLID 0
#endif

#include "gpu_layout.h"
#if QLMR_TRACE_SOLID
#include "solid_trace.glsl"
#endif
#include "shading.glsl"

layout(local_size_x = QLMR_IMAGE_GROUP, local_size_y = QLMR_IMAGE_GROUP, local_size_z = 1) in;

void main()
{
    const ivec2 pixel = ivec2(gl_GlobalInvocationID.xy);
    const int width = frame.dims.x, height = frame.dims.y;
    if (pixel.x >= width || pixel.y >= height)
        return;

    const float sx = (float(pixel.x) + 0.5) * 2.0 / float(width) - 1.0;
    const float sy = 1.0 - (float(pixel.y) + 0.5) * 2.0 / float(height);
    const vec3 d = frame.camForward.xyz + sx * frame.camRight.xyz + sy * frame.camUp.xyz;
    Ray ray;
    ray.origin = frame.camPos.xyz;
    ray.dir = d / sqrt(max(dot(d, d), 1e-30));
    ray.tmin = 0.0;
    ray.tmax = 1e30;
    ray.coneRadius = 0.0;
    ray.coneSpread = frame.skyZenith.w;
    // The second frame value is a level-of-detail bias, as a power of two.
    const float lodScale = exp2(frame.skyHorizon.w);

    const int tile = (pixel.y / QLMR_TILE_SIZE) * frame.dims.z + pixel.x / QLMR_TILE_SIZE;
    // The shell raster pass left the distance to the nearest hull here.
    const float seedT = frame.camPos.w == 1.0 ? imageLoad(seedDepth, pixel).r : 1e30;
    Hit hit = tracePrimary(ray, tileRange[tile], lodScale, seedT);
    snapHit(hit);
    const vec3 color = shadeHit(hit, ray, lodScale, QLMR_TRACE_LIT != 0);

    imageStore(outColor, pixel, vec4(color, 1.0));
    imageStore(outDepth, pixel, vec4(hit.found ? hit.t : QLMR_INF));
    imageStore(outNormal, pixel, hit.found ? vec4(hit.normal, float(hit.level)) : vec4(0.0));
}
