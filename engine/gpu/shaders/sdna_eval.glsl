// The shape-program evaluator of the GPU kernels: point evaluation, forward-
// mode gradients and sphere tracing of the program stream, with the CPU
// evaluator's semantics instruction for instruction. Results are `precise`
// (no fused multiply-adds), so each step rounds as the processor's does.
//
// The including shader declares, before this file:
//   buffer SdnaCode { SdnaInstr sdnaCode[]; }         the program stream
//   buffer SdnaPose { vec4 sdnaPose[]; }              two vec4 per bone pose
//   uniform SdnaProgramUniforms { ... } sdnaProg;     dims, lo, hi
// An instruction whose head.z is not 0 starts a culling record, stored at
// that entry of the stream.

#ifndef QLMR_SDNA_EVAL_GLSL
#define QLMR_SDNA_EVAL_GLSL

#define QLMR_SDNA_MAX_VALUES 32
#define QLMR_SDNA_MAX_FRAMES 16
#define QLMR_SDNA_NO_BONE 0xFFFFFFFFu

#define QLMR_OP_SPHERE 1u
#define QLMR_OP_CAPSULE 2u
#define QLMR_OP_TAPERED_CAPSULE 3u
#define QLMR_OP_ELLIPSOID 4u
#define QLMR_OP_BOX 5u
#define QLMR_OP_PLANE 6u
#define QLMR_OP_UNION 32u
#define QLMR_OP_SMOOTH_UNION 33u
#define QLMR_OP_INTERSECT 34u
#define QLMR_OP_SUBTRACT 35u
#define QLMR_OP_OFFSET 64u
#define QLMR_OP_ONION 65u
#define QLMR_OP_PUSH_TRANSFORM 96u
#define QLMR_OP_PUSH_BONE 97u
#define QLMR_OP_POP 98u

// ---- numbers ---------------------------------------------------------------
// The interpreter runs on two number types: float for values and vec4 for
// dual numbers (value, d/dx, d/dy, d/dz). Points are vec3 and mat3x4 (one
// dual per column). The overloads below give both the same operations; sums,
// differences and products with plain floats are the language's own.

float sdnaVal(float a) { return a; }
float sdnaVal(vec4 a) { return a.x; }
vec3 sdnaVal3(vec3 v) { return v; }
vec3 sdnaVal3(mat3x4 v) { return vec3(v[0].x, v[1].x, v[2].x); }

precise float sdnaMul(float a, float b) { return a * b; }
precise vec4 sdnaMul(vec4 a, vec4 b) { return vec4(a.x * b.x, a.yzw * b.x + a.x * b.yzw); }

// The root of a dual has derivative 0 where its value is 0.
float sdnaSqrt(float a) { return sqrt(a); }
precise vec4 sdnaSqrt(vec4 a)
{
    float s = sqrt(a.x);
    if (!(s > 0.0))
        return vec4(s, 0.0, 0.0, 0.0);
    return vec4(s, a.yzw * (0.5 / s));
}

float sdnaAbs(float a) { return abs(a); }
vec4 sdnaAbs(vec4 a) { return a.x < 0.0 ? -a : a; }
vec3 sdnaAbs3(vec3 v) { return abs(v); }
mat3x4 sdnaAbs3(mat3x4 v) { return mat3x4(sdnaAbs(v[0]), sdnaAbs(v[1]), sdnaAbs(v[2])); }

// min and max that return the first argument on a tie.
float sdnaMin(float a, float b) { return b < a ? b : a; }
vec4 sdnaMin(vec4 a, vec4 b) { return b.x < a.x ? b : a; }
float sdnaMax(float a, float b) { return a < b ? b : a; }
vec4 sdnaMax(vec4 a, vec4 b) { return a.x < b.x ? b : a; }

precise float sdnaDot(vec3 a, vec3 b) { return a.x * b.x + a.y * b.y + a.z * b.z; }
precise vec4 sdnaDot(mat3x4 a, mat3x4 b) { return sdnaMul(a[0], b[0]) + sdnaMul(a[1], b[1]) + sdnaMul(a[2], b[2]); }
precise vec4 sdnaDot(mat3x4 a, vec3 c) { return a[0] * c.x + a[1] * c.y + a[2] * c.z; }

precise float sdnaLength(vec3 v) { return sdnaSqrt(sdnaDot(v, v)); }
precise vec4 sdnaLength(mat3x4 v) { return sdnaSqrt(sdnaDot(v, v)); }

// Point minus a constant point, componentwise by a constant point, and a
// constant vector scaled by a number.
vec3 sdnaSubC(vec3 v, vec3 c) { return v - c; }
precise mat3x4 sdnaSubC(mat3x4 v, vec3 c)
{
    return mat3x4(v[0] - vec4(c.x, 0.0, 0.0, 0.0), v[1] - vec4(c.y, 0.0, 0.0, 0.0), v[2] - vec4(c.z, 0.0, 0.0, 0.0));
}
vec3 sdnaDivC(vec3 v, vec3 c) { return v / c; }
mat3x4 sdnaDivC(mat3x4 v, vec3 c) { return mat3x4(v[0] / c.x, v[1] / c.y, v[2] / c.z); }
vec3 sdnaScaleC(vec3 c, float s) { return c * s; }
precise mat3x4 sdnaScaleC(vec3 c, vec4 s) { return mat3x4(s * c.x, s * c.y, s * c.z); }

// Constant vector u crossed with a point.
precise vec3 sdnaCrossC(vec3 u, vec3 v) { return vec3(u.y * v.z - u.z * v.y, u.z * v.x - u.x * v.z, u.x * v.y - u.y * v.x); }
precise mat3x4 sdnaCrossC(vec3 u, mat3x4 v)
{
    return mat3x4(u.y * v[2] - u.z * v[1], u.z * v[0] - u.x * v[2], u.x * v[1] - u.y * v[0]);
}

vec3 sdnaMake3(float a, float b, float c) { return vec3(a, b, c); }
mat3x4 sdnaMake3(vec4 a, vec4 b, vec4 c) { return mat3x4(a, b, c); }

// -1, 0 or 1.
float sdnaSign(float v) { return v > 0.0 ? 1.0 : (v < 0.0 ? -1.0 : 0.0); }

// ---- poses and culling -----------------------------------------------------

// A bone's pose (quaternion; position and scale), or the identity when the
// pose list does not reach it.
void sdnaPoseOf(uint bone, out vec4 rotation, out vec4 positionScale)
{
    if (bone < sdnaProg.dims.y) {
        rotation = sdnaPose[2u * bone];
        positionScale = sdnaPose[2u * bone + 1u];
    } else {
        rotation = vec4(0.0, 0.0, 0.0, 1.0);
        positionScale = vec4(0.0, 0.0, 0.0, 1.0);
    }
}

// ---- the interpreter, once per number type ---------------------------------

#define SDNA_T float
#define SDNA_V vec3
#define SDNA_CONST(c) (c)
#define SDNA_INTERPRET sdnaInterpretValue
#include "sdna_interpret.glsl"
#undef SDNA_T
#undef SDNA_V
#undef SDNA_CONST
#undef SDNA_INTERPRET

#define SDNA_T vec4
#define SDNA_V mat3x4
#define SDNA_CONST(c) vec4((c), 0.0, 0.0, 0.0)
#define SDNA_INTERPRET sdnaInterpretDual
#include "sdna_interpret.glsl"
#undef SDNA_T
#undef SDNA_V
#undef SDNA_CONST
#undef SDNA_INTERPRET

// The program's distance and material at a point.
precise float sdnaEvaluate(vec3 point, bool cull, out uint material)
{
    float distance;
    sdnaInterpretValue(point, cull, distance, material);
    return distance;
}

// The distance and its gradient (x, yzw) at a point.
precise vec4 sdnaEvaluateGradient(vec3 point, bool cull, out uint material)
{
    mat3x4 seeded = mat3x4(vec4(point.x, 1.0, 0.0, 0.0), vec4(point.y, 0.0, 1.0, 0.0), vec4(point.z, 0.0, 0.0, 1.0));
    vec4 distance;
    sdnaInterpretDual(seeded, cull, distance, material);
    return distance;
}

// ---- sphere tracing ----------------------------------------------------------

struct SdnaTraceHit {
    uint status;  // QLMR_SDNA_STATUS_*
    float t;
    vec3 position;
    vec3 normal;
    uint material;
    uint steps;
    float distance;
};

SdnaTraceHit sdnaMissAfter(uint steps)
{
    return SdnaTraceHit(QLMR_SDNA_STATUS_MISS, 0.0, vec3(0.0), vec3(0.0), 0u, steps, 0.0);
}

bool sdnaFinite(float v) { return !isinf(v) && !isnan(v); }

precise SdnaTraceHit sdnaFinishHit(uint status, float t, vec3 position, float distance, uint material, uint steps,
                           bool normals, bool cull)
{
    SdnaTraceHit hit = SdnaTraceHit(status, t, position, vec3(0.0), material, steps, distance);
    if (normals) {
        uint gradientMaterial;
        vec3 g = sdnaEvaluateGradient(position, cull, gradientMaterial).yzw;
        float len = sqrt(g.x * g.x + g.y * g.y + g.z * g.z);
        hit.normal = (len > 0.0 && sdnaFinite(len)) ? g / len : vec3(0.0, 1.0, 0.0);
    }
    return hit;
}

// Clips the ray o + d t, t in [tnear, tfar], to the program box; false when
// it misses. Parallel to the slabs the faces themselves count as inside.
bool sdnaClipToBox(vec3 o, vec3 d, inout precise float tnear, inout precise float tfar)
{
    for (int axis = 0; axis < 3; ++axis) {
        float lo = sdnaProg.lo[axis];
        float hi = sdnaProg.hi[axis];
        if (abs(d[axis]) < 1e-20) {
            if (o[axis] < lo || o[axis] > hi)
                return false;
            continue;
        }
        float t1 = (lo - o[axis]) / d[axis];
        float t2 = (hi - o[axis]) / d[axis];
        tnear = max(tnear, min(t1, t2));
        tfar = min(tfar, max(t1, t2));
    }
    return !(tnear > tfar);
}

// Sphere-traces the ray o + d t, t in [tmin, tmax], inside the program box.
precise SdnaTraceHit sdnaTrace(vec3 o, vec3 d, float tmin, float tmax, uint maxSteps, float eps, float epsPerDistance,
                       bool normals, bool cull)
{
    float tnear = tmin;
    float tfar = tmax;
    if (!sdnaClipToBox(o, d, tnear, tfar) || maxSteps == 0u)
        return sdnaMissAfter(0u);

    float t = tnear;
    uint steps = 0u;
    for (;;) {
        vec3 position = o + d * t;
        uint material;
        float distance = sdnaEvaluate(position, cull, material);
        ++steps;
        if (!sdnaFinite(distance))
            return sdnaFinishHit(QLMR_SDNA_STATUS_UNCERTAIN, t, position, distance, material, steps, normals, cull);
        precise const float threshold = t * epsPerDistance + eps;
        if (distance < threshold)
            return sdnaFinishHit(QLMR_SDNA_STATUS_HIT, t, position, distance, material, steps, normals, cull);
        if (t + distance > tfar)
            return sdnaMissAfter(steps);
        if (steps == maxSteps)
            return sdnaFinishHit(QLMR_SDNA_STATUS_UNCERTAIN, t, position, distance, material, steps, normals, cull);
        t += distance;
    }
}

#endif // QLMR_SDNA_EVAL_GLSL
