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

// Debug views of the field hit, for probing one pixel: 8 albedo at the
// chosen level of detail, 10 albedo of level 0, 11 (u, v) of the hit,
// 12 (prism, pyramid level), 13 (texture slot, layer, level count),
// 14 (albedo level of detail). A pixel without a field hit (sky or the
// solid object) reads -1 in every channel.
bool isFieldDebugView(int mode) { return mode == 8 || (mode >= 10 && mode <= 14); }

// The unclamped level of detail of the albedo fetch: log2 of the ray
// footprint, widened at grazing angles, in albedo texels.
precise float albedoLod(Hit hit, Ray ray, Prism p)
{
    const float len2 = dot(ray.dir, ray.dir);
    const float cosine = abs(dot(hit.normal, ray.dir) / sqrt(max(len2, 1e-30)));
    const float footprint = ray.coneSpread * hit.t + ray.coneRadius;
    return log2(max((footprint / max(cosine, 0.2)) / p.axisU.w, 1e-6));
}

precise vec3 fieldDebugView(int mode, Hit hit, Ray ray)
{
    if (!hit.found || hit.prism < 0)
        return vec3(-1.0);
    const Prism p = prisms[hit.prism];
    const FieldDesc f = decodeField(p.info);
    const vec2 albedoUv = snapToPixelGrid(f, hit.uvh.xy);
    if (mode == 8)
        return sampleAlbedo(f, albedoUv.x, albedoUv.y, albedoLod(hit, ray, p)).rgb;
    if (mode == 10)
        return sampleAlbedoLevel(f, 0, albedoUv.x, albedoUv.y).rgb;
    if (mode == 11)
        return vec3(hit.uvh.xy, 0.0);
    if (mode == 12)
        return vec3(float(hit.prism), float(hit.level), 0.0);
    if (mode == 13)
        return vec3(float(f.index), float(f.layer), float(f.levels));
    return vec3(albedoLod(hit, ray, p), 0.0, 0.0);
}

void main()
{
    const ivec2 pixel = ivec2(gl_GlobalInvocationID.xy);
    const int width = frame.dims.x, height = frame.dims.y;
    if (pixel.x >= width || pixel.y >= height)
        return;

    const float sx = (float(pixel.x) + 0.5) * 2.0 / float(width) - 1.0;
    const float sy = 1.0 - (float(pixel.y) + 0.5) * 2.0 / float(height);
    precise const vec3 d = frame.camForward.xyz + sx * frame.camRight.xyz + sy * frame.camUp.xyz;
    precise Ray ray;
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
    vec3 color = shadeHit(hit, ray, lodScale, QLMR_TRACE_LIT != 0);
    const int debugView = int(frame.camUp.w);
    if (isFieldDebugView(debugView))
        color = fieldDebugView(debugView, hit, ray);

    // The fourth channel carries the ray's cost: march iterations plus the
    // solid object's trace steps, as the CPU cost plane.
    imageStore(outColor, pixel, vec4(color, hit.iterations));
    imageStore(outDepth, pixel, vec4(hit.found ? hit.t : QLMR_INF));
    imageStore(outNormal, pixel, hit.found ? vec4(hit.normal, float(hit.level)) : vec4(0.0));
}
