// Sphere tracing through the distance-brick cache, as the processor's cached
// tracer does it: a walk over the blocks of the grid, far blocks skipped
// whole, safe steps on the brick samples, and the exact program wherever the
// cache has nothing or is not sure. Needs sdna_eval.glsl and the brick
// buffers sdnaBrickGrid (uvec2: index, value bits), sdnaBrickWords (1032-byte
// records as u32) and sdnaBricks (dims, params).
//
// The processor walks in double precision. With QLMR_BRICK_WALK_F64 the walk
// and the brick samples are its double-precision steps (sdna_bricks_f64.glsl),
// so both hand over to the exact program at the same t. Without it the
// arithmetic is single precision, and the safety margin of every step is
// widened to cover it.

#ifndef QLMR_SDNA_BRICKS_GLSL
#define QLMR_SDNA_BRICKS_GLSL

#define QLMR_BRICK_FAR 0xFFFFFFFFu
#define QLMR_BRICK_NOT_BUILT 0xFFFFFFFEu
#define QLMR_BRICK_RECORD_WORDS 258u  // 1032 bytes: the 8-byte mask, then 512 binary16 samples

float sdnaPositiveInfinity() { return uintBitsToFloat(0x7F800000u); }

uint sdnaBrickEntryIndex(ivec3 block)
{
    uvec3 size = sdnaBricks.dims.xyz;
    return uint(block.x) + size.x * (uint(block.y) + size.y * uint(block.z));
}

// Sample i (x + 8 (y + 8 z)) of the brick whose samples begin at word
// `samples` of sdnaBrickWords.
float sdnaBrickSampleValue(uint samples, uint i)
{
    uint word = sdnaBrickWords[samples + i / 2u];
    return unpackHalf2x16(word >> (16u * (i & 1u))).x;
}

SdnaTraceHit sdnaUncertainAt(vec3 o, vec3 d, float t, uint steps)
{
    precise vec3 position = o + d * t;
    return SdnaTraceHit(QLMR_SDNA_STATUS_UNCERTAIN, t, position, vec3(0.0, 1.0, 0.0), 0u, steps,
                        sdnaPositiveInfinity());
}

// The hand-over to the exact program: from where the bricks stopped (brick
// mode 1) or the whole ray again.
SdnaTraceHit sdnaBrickRefine(vec3 o, vec3 d, float t, float tmin, float tmax, uint maxSteps, float eps,
                             float epsPerDistance, uint steps, uint stepLimit)
{
    if (steps >= stepLimit)
        return sdnaUncertainAt(o, d, t, steps);
    uint budget = min(stepLimit - steps, maxSteps);
    float from = sdnaBricks.params.z == 1.0 ? t : tmin;
    SdnaTraceHit hit = sdnaTrace(o, d, from, tmax, budget, eps, epsPerDistance, true, true);
    hit.steps += steps;
    return hit;
}

// What both walks do before stepping through the blocks: true with the
// result in `early` when the walk cannot run (bad input, a ray that misses
// the box, no steps allowed, no grid or no usable threshold), else false
// with tnear and tfar clipped to the box.
bool sdnaBrickWalkEndsEarly(vec3 o, vec3 d, float tmin, float tmax, uint maxSteps, float eps,
                            float epsPerDistance, uint stepLimit, out float tnear, out float tfar,
                            out SdnaTraceHit early)
{
    tnear = tmin;
    tfar = tmax;
    bool finiteInputs = sdnaFinite(o.x) && sdnaFinite(o.y) && sdnaFinite(o.z) && sdnaFinite(d.x) &&
                        sdnaFinite(d.y) && sdnaFinite(d.z) && sdnaFinite(tmin) && !isnan(tmax) &&
                        sdnaFinite(eps) && sdnaFinite(epsPerDistance);
    if (!(sdnaBricks.params.x > 0.0) || !finiteInputs || (d.x == 0.0 && d.y == 0.0 && d.z == 0.0)) {
        early = SdnaTraceHit(QLMR_SDNA_STATUS_UNCERTAIN, 0.0, vec3(0.0), vec3(0.0), 0u, 0u, sdnaPositiveInfinity());
        return true;
    }
    if (!sdnaClipToBox(o, d, tnear, tfar)) {
        early = sdnaMissAfter(0u);
        return true;
    }
    if (stepLimit == 0u || maxSteps == 0u) {
        early = sdnaUncertainAt(o, d, tnear, 0u);
        return true;
    }
    if (any(equal(sdnaBricks.dims.xyz, uvec3(0u))) || tnear < 0.0 || eps < 0.0 || epsPerDistance < 0.0) {
        early = sdnaBrickRefine(o, d, tnear, tmin, tmax, maxSteps, eps, epsPerDistance, 0u, stepLimit);
        return true;
    }
    early = sdnaMissAfter(0u);
    return false;
}

#ifdef QLMR_BRICK_WALK_F64
#include "sdna_bricks_f64.glsl"
#else

// The cached distance at `point` read from `block`: -infinity outside the
// grid, the stored value of a far or not-built block, otherwise the
// trilinear interpolation of the brick's samples.
float sdnaBrickSample(ivec3 block, vec3 point)
{
    uvec3 size = sdnaBricks.dims.xyz;
    if (any(lessThan(block, ivec3(0))) || any(greaterThanEqual(uvec3(block), size)))
        return -sdnaPositiveInfinity();
    uvec2 entry = sdnaBrickGrid[sdnaBrickEntryIndex(block)];
    if (entry.x >= QLMR_BRICK_NOT_BUILT)
        return uintBitsToFloat(entry.y);
    uint samples = entry.x * QLMR_BRICK_RECORD_WORDS + 2u;
    precise vec3 s = (point - sdnaProg.lo.xyz) / sdnaBricks.params.x - 8.0 * vec3(block) - 0.5;
    s = clamp(s, vec3(0.0), vec3(7.0));
    vec3 whole = floor(s);
    ivec3 base = ivec3(whole);
    precise vec3 frac = s - whole;
    precise float sum = 0.0;
    for (int dz = 0; dz < 2; ++dz) {
        precise float wz = dz == 1 ? frac.z : 1.0 - frac.z;
        if (wz == 0.0)
            continue;
        for (int dy = 0; dy < 2; ++dy) {
            precise float wy = dy == 1 ? frac.y : 1.0 - frac.y;
            if (wy == 0.0)
                continue;
            for (int dx = 0; dx < 2; ++dx) {
                precise float wx = dx == 1 ? frac.x : 1.0 - frac.x;
                if (wx == 0.0)
                    continue;
                uint i = uint((base.x + dx) + 8 * ((base.y + dy) + 8 * (base.z + dz)));
                sum += wx * wy * wz * sdnaBrickSampleValue(samples, i);
            }
        }
    }
    return sum;
}

SdnaTraceHit sdnaTraceBricks(vec3 o, vec3 d, float tmin, float tmax, uint maxSteps, float eps,
                             float epsPerDistance, uint stepLimit)
{
    float tnear;
    float tfar;
    SdnaTraceHit early;
    if (sdnaBrickWalkEndsEarly(o, d, tmin, tmax, maxSteps, eps, epsPerDistance, stepLimit, tnear, tfar, early))
        return early;

    float cellSize = sdnaBricks.params.x;
    uint steps = 0u;
    uvec3 size = sdnaBricks.dims.xyz;

    float lipschitz = sdnaBricks.params.y;
    vec3 ad = abs(d);
    vec3 ao = abs(o);
    // The processor's margin is 2^-19 of this scale; single precision takes 2^-16.
    precise float margin =
        (max(abs(tnear), abs(tfar)) * max(max(ad.x, ad.y), ad.z) + max(max(ao.x, ao.y), ao.z) + 1.0) *
        (1.0 / 65536.0) * lipschitz;

    float edge = 8.0 * cellSize;
    ivec3 block;
    ivec3 stepDir;
    precise vec3 nextBoundary;
    vec3 boundaryGap;
    for (int a = 0; a < 3; ++a) {
        float lo = sdnaProg.lo[a];
        precise float cell = (o[a] + d[a] * tnear - lo) / edge;
        float b = floor(cell);
        if (cell == b && d[a] < 0.0)
            b -= 1.0;
        b = clamp(b, 0.0, float(size[a]) - 1.0);
        block[a] = int(b);
        if (abs(d[a]) < 1e-20) {
            stepDir[a] = 0;
            nextBoundary[a] = sdnaPositiveInfinity();
            boundaryGap[a] = sdnaPositiveInfinity();
        } else {
            stepDir[a] = d[a] > 0.0 ? 1 : -1;
            precise float face = lo + (b + (d[a] > 0.0 ? 1.0 : 0.0)) * edge;
            nextBoundary[a] = (face - o[a]) / d[a];
            boundaryGap[a] = edge / abs(d[a]);
        }
    }

    float t = tnear;
    for (;;) {
        if (++steps > stepLimit)
            return sdnaUncertainAt(o, d, t, steps);
        float leave = min(min(nextBoundary.x, nextBoundary.y), nextBoundary.z);
        float exitT = min(leave, tfar);
        // The hit threshold at the far end of the block, a little above.
        precise float threshold = (max(exitT, t) * epsPerDistance + eps) * (1.0 + 1.0 / 1048576.0);
        precise float stepFloor = threshold + margin;

        uvec2 entry = sdnaBrickGrid[sdnaBrickEntryIndex(block)];
        if (entry.x == QLMR_BRICK_NOT_BUILT)
            return sdnaBrickRefine(o, d, t, tmin, tmax, maxSteps, eps, epsPerDistance, steps, stepLimit);
        if (uintBitsToFloat(entry.y) <= stepFloor) {
            for (;;) {
                if (++steps > stepLimit)
                    return sdnaUncertainAt(o, d, t, steps);
                precise vec3 point = o + d * t;
                float value = sdnaBrickSample(block, point);
                precise float step = (value - stepFloor) / lipschitz;
                if (!(step > 0.0) || !sdnaFinite(step))
                    return sdnaBrickRefine(o, d, t, tmin, tmax, maxSteps, eps, epsPerDistance, steps, stepLimit);
                precise float next = t + step;
                if (next == t)
                    return sdnaBrickRefine(o, d, t, tmin, tmax, maxSteps, eps, epsPerDistance, steps, stepLimit);
                if (next >= exitT)
                    break;
                t = next;
            }
        }

        if (isinf(leave))
            return sdnaMissAfter(steps);
        for (int a = 0; a < 3; ++a) {
            if (nextBoundary[a] != leave)
                continue;
            block[a] += stepDir[a];
            nextBoundary[a] += boundaryGap[a];
            if (block[a] < 0 || block[a] >= int(size[a]))
                return sdnaMissAfter(steps);
        }
        if (leave > tfar)
            return sdnaMissAfter(steps);
        t = max(t, leave);
    }
}

#endif // QLMR_BRICK_WALK_F64

#endif // QLMR_SDNA_BRICKS_GLSL
