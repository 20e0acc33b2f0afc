#version 450
#extension GL_GOOGLE_include_directive : require

// Spatial upscaling of one low-resolution frame: bilinear, or edge-aware
// where the four nearest low-resolution depths disagree. One invocation per
// output pixel.

#include "linear_dispatch.h"
#include "reconstruct.glsl"

layout(push_constant) uniform Push {
    ivec2 lowSize;
    ivec2 outSize;
    uint mode;           // 0 bilinear, 1 edge
    float edgeTolerance;
} pc;

// The low-resolution pixels (rgb, w = depth), then the output pixels.
layout(std430, set = 0, binding = 0) buffer Data {
    vec4 px[];
};

vec4 low(ivec2 c)
{
    c = clamp(c, ivec2(0), max(pc.lowSize - 1, ivec2(0)));
    vec4 s = px[c.y * pc.lowSize.x + c.x];
    return vec4(s.rgb, finiteDepth(s.w));
}

void main()
{
    int id = int(linearItem());
    if (id >= pc.outSize.x * pc.outSize.y)
        return;
    ivec2 o = ivec2(id % pc.outSize.x, id / pc.outSize.x);
    vec2 lp = (vec2(o) + 0.5) * vec2(pc.lowSize) / vec2(pc.outSize) - 0.5;
    vec2 fl = floor(lp);
    ivec2 i0 = ivec2(fl);
    vec2 f = lp - fl;
    vec4 c00 = low(i0);
    vec4 c10 = low(i0 + ivec2(1, 0));
    vec4 c01 = low(i0 + ivec2(0, 1));
    vec4 c11 = low(i0 + ivec2(1, 1));
    float w00 = (1.0 - f.x) * (1.0 - f.y);
    float w10 = f.x * (1.0 - f.y);
    float w01 = (1.0 - f.x) * f.y;
    float w11 = f.x * f.y;

    vec3 color;
    if (pc.mode == 0u) {
        color = c00.rgb * w00 + c10.rgb * w10 + c01.rgb * w01 + c11.rgb * w11;
    } else {
        float dMin = min(min(c00.w, c10.w), min(c01.w, c11.w));
        float dMax = max(max(c00.w, c10.w), max(c01.w, c11.w));
        if (dMax > dMin * (1.0 + pc.edgeTolerance)) {
            // An edge: blend only the corners on the nearest corner's side.
            bool right = f.x >= 0.5, down = f.y >= 0.5;
            float dRef = down ? (right ? c11.w : c01.w) : (right ? c10.w : c00.w);
            // A zero depth only comes from empty input; keep the weights finite.
            float scale = pc.edgeTolerance * max(dRef, 0.001);
            float a00 = depthAwareWeight(w00, c00.w, dRef, scale);
            float a10 = depthAwareWeight(w10, c10.w, dRef, scale);
            float a01 = depthAwareWeight(w01, c01.w, dRef, scale);
            float a11 = depthAwareWeight(w11, c11.w, dRef, scale);
            color = (c00.rgb * a00 + c10.rgb * a10 + c01.rgb * a01 + c11.rgb * a11) / (a00 + a10 + a01 + a11);
        } else {
            vec3 sum = vec3(0.0);
            float weightSum = 0.0;
            for (int y = -1; y <= 2; ++y) {
                float wy = catmullRom(float(y) - f.y);
                for (int x = -1; x <= 2; ++x) {
                    float w = catmullRom(float(x) - f.x) * wy;
                    sum += low(i0 + ivec2(x, y)).rgb * w;
                    weightSum += w;
                }
            }
            vec3 lo = min(min(c00.rgb, c10.rgb), min(c01.rgb, c11.rgb));
            vec3 hi = max(max(c00.rgb, c10.rgb), max(c01.rgb, c11.rgb));
            color = clamp(sum / weightSum, lo, hi);
        }
    }
    px[pc.lowSize.x * pc.lowSize.y + id] = vec4(color, 1.0);
}
