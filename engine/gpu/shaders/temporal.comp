#version 450
#extension GL_GOOGLE_include_directive : require

// Temporal accumulation: every frame samples one full-resolution pixel of
// each 2 x 2 block (the jitter slot); the other three are looked up in the
// previous history by reprojecting their estimated world point into the
// previous camera, or, when the history disagrees, filled from the nearest
// fresh samples of similar depth. One invocation per full-resolution pixel.

#include "linear_dispatch.h"
#include "reconstruct.glsl"

layout(push_constant) uniform Push {
    vec4 curPos;     // w: full width
    vec4 curFwd;     // w: full height
    vec4 curRight;   // right * tanHalfFov * aspect; w: jitter x
    vec4 curUp;      // up * tanHalfFov; w: jitter y
    vec4 prevPos;    // w: 1 when a history exists
    vec4 prevFwd;    // w: 1 to clamp the history to the fresh samples
    vec4 prevRightP; // right / (tanHalfFov * aspect); w: depth tolerance
    vec4 prevUpP;    // up / tanHalfFov
} pc;

// Half-resolution samples (rgb, w = hit distance), then the previous history,
// then the new history, each in row-major order.
layout(std430, set = 0, binding = 0) buffer Data {
    vec4 d[];
};

int W, H, lowW, lowH;

vec4 low(ivec2 c)
{
    c = clamp(c, ivec2(0), max(ivec2(lowW, lowH) - 1, ivec2(0)));
    vec4 s = d[c.y * lowW + c.x];
    return vec4(s.rgb, finiteDepth(s.w));
}

vec4 prevHist(ivec2 c)
{
    c = clamp(c, ivec2(0), ivec2(W, H) - 1);
    vec4 s = d[lowW * lowH + c.y * W + c.x];
    return vec4(s.rgb, finiteDepth(s.w));
}

void main()
{
    W = int(pc.curPos.w);
    H = int(pc.curFwd.w);
    lowW = W / 2;
    lowH = H / 2;
    int id = int(linearItem());
    if (id >= W * H)
        return;
    int outIndex = lowW * lowH + W * H + id;
    ivec2 p = ivec2(id % W, id / W);
    ivec2 b = p / 2;
    ivec2 slot = ivec2(int(pc.curRight.w), int(pc.curUp.w));
    vec4 fresh = low(b);
    if (p - 2 * b == slot) {
        d[outIndex] = fresh;
        return;
    }

    float tEst = fresh.w;
    vec2 size = vec2(W, H);
    vec2 ndc = ((vec2(p) + 0.5) / size) * 2.0 - 1.0;
    vec3 dir = normalize(pc.curFwd.xyz + pc.curRight.xyz * ndc.x - pc.curUp.xyz * ndc.y);
    bool sky = tEst >= 1e29;
    vec3 world = pc.curPos.xyz + dir * min(tEst, 100000.0);
    float tol = pc.prevRightP.w;
    bool accepted = false;
    vec3 color = vec3(0.0);

    if (pc.prevPos.w > 0.5) {
        vec3 v = world - pc.prevPos.xyz;
        float z = dot(v, pc.prevFwd.xyz);
        if (z > 0.0001) {
            vec2 q = vec2(dot(v, pc.prevRightP.xyz), -dot(v, pc.prevUpP.xyz)) / z;
            vec2 pp = (q + 1.0) * 0.5 * size - 0.5;
            if (all(greaterThanEqual(pp, vec2(-0.5))) && all(lessThan(pp, size - 0.5))) {
                // Nearest history pixel, halves rounded up.
                vec4 hn = prevHist(ivec2(floor(pp + 0.5)));
                float expected = length(world - pc.prevPos.xyz);
                bool hSky = hn.w >= 1e29;
                accepted = sky ? hSky : (!hSky && abs(hn.w - expected) <= tol * expected);
                if (accepted) {
                    vec2 fl = floor(pp);
                    ivec2 i0 = ivec2(fl);
                    vec2 f = pp - fl;
                    vec3 sum = vec3(0.0);
                    float weightSum = 0.0;
                    for (int y = -1; y <= 2; ++y) {
                        float wy = catmullRom(float(y) - f.y);
                        for (int x = -1; x <= 2; ++x) {
                            float w = catmullRom(float(x) - f.x) * wy;
                            sum += prevHist(i0 + ivec2(x, y)).rgb * w;
                            weightSum += w;
                        }
                    }
                    vec3 h00 = prevHist(i0).rgb, h10 = prevHist(i0 + ivec2(1, 0)).rgb;
                    vec3 h01 = prevHist(i0 + ivec2(0, 1)).rgb, h11 = prevHist(i0 + ivec2(1, 1)).rgb;
                    color = clamp(sum / weightSum, min(min(h00, h10), min(h01, h11)),
                                  max(max(h00, h10), max(h01, h11)));
                    if (pc.prevFwd.w > 0.5) {
                        vec3 lo = vec3(1e30), hi = vec3(-1e30);
                        for (int y = -1; y <= 1; ++y)
                            for (int x = -1; x <= 1; ++x) {
                                vec3 s = low(b + ivec2(x, y)).rgb;
                                lo = min(lo, s);
                                hi = max(hi, s);
                            }
                        color = clamp(color, lo, hi);
                    }
                }
            }
        }
    }

    if (!accepted) {
        vec2 lp = ((vec2(p) + 0.5) - vec2(slot) - 0.5) * 0.5;
        vec2 fl = floor(lp);
        ivec2 l0 = ivec2(fl);
        vec2 f = lp - fl;
        vec4 s00 = low(l0), s10 = low(l0 + ivec2(1, 0)), s01 = low(l0 + ivec2(0, 1)), s11 = low(l0 + ivec2(1, 1));
        float scale = tol * max(tEst, 0.001);
        float a00 = depthAwareWeight((1.0 - f.x) * (1.0 - f.y), s00.w, tEst, scale);
        float a10 = depthAwareWeight(f.x * (1.0 - f.y), s10.w, tEst, scale);
        float a01 = depthAwareWeight((1.0 - f.x) * f.y, s01.w, tEst, scale);
        float a11 = depthAwareWeight(f.x * f.y, s11.w, tEst, scale);
        color = (s00.rgb * a00 + s10.rgb * a10 + s01.rgb * a01 + s11.rgb * a11) / (a00 + a10 + a01 + a11);
    }
    d[outIndex] = vec4(color, tEst);
}
