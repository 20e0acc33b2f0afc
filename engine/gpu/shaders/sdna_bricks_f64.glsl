// The brick walk in double precision: the processor's cached tracer step for
// step, with its roundings (double arithmetic, results rounded down or up to
// single precision where it rounds them), so the GPU hands over to the exact
// program at the t the processor does. Every result is `precise`: a fused
// multiply-add would round differently from the processor. Included by
// sdna_bricks.glsl with QLMR_BRICK_WALK_F64; needs shaderFloat64.

#ifndef QLMR_SDNA_BRICKS_F64_GLSL
#define QLMR_SDNA_BRICKS_F64_GLSL

// The neighbours of a float towards -infinity and +infinity (NaN stays NaN).
float sdnaNextBelow(float f)
{
    if (isnan(f) || f == -sdnaPositiveInfinity())
        return f;
    if (f == 0.0)
        return -uintBitsToFloat(1u);
    uint bits = floatBitsToUint(f);
    return uintBitsToFloat(f > 0.0 ? bits - 1u : bits + 1u);
}

float sdnaNextAbove(float f)
{
    return -sdnaNextBelow(-f);
}

// The largest float not above v, and the smallest not below it.
float sdnaRoundDown(double v)
{
    float f = float(v);
    return double(f) > v ? sdnaNextBelow(f) : f;
}

float sdnaRoundUp(double v)
{
    float f = float(v);
    return double(f) < v ? sdnaNextAbove(f) : f;
}

bool sdnaFinite64(double v) { return !isinf(v) && !isnan(v); }

// The cached distance at `point` read from `block`: -infinity outside the
// grid, the stored value of a far or not-built block, otherwise the
// trilinear interpolation of the brick's samples in double precision,
// rounded down.
float sdnaBrickSample(ivec3 block, dvec3 point)
{
    uvec3 size = sdnaBricks.dims.xyz;
    if (any(lessThan(block, ivec3(0))) || any(greaterThanEqual(uvec3(block), size)))
        return -sdnaPositiveInfinity();
    uvec2 entry = sdnaBrickGrid[sdnaBrickEntryIndex(block)];
    if (entry.x >= QLMR_BRICK_NOT_BUILT)
        return uintBitsToFloat(entry.y);
    uint samples = entry.x * QLMR_BRICK_RECORD_WORDS + 2u;
    ivec3 base;
    precise dvec3 frac;
    for (int a = 0; a < 3; ++a) {
        precise double s = (point[a] - double(sdnaProg.lo[a])) / double(sdnaBricks.params.x) -
                           8.0lf * double(block[a]) - 0.5lf;
        s = min(max(s, 0.0lf), 7.0lf);
        double whole = floor(s);
        base[a] = int(whole);
        frac[a] = s - whole;
    }
    precise double sum = 0.0lf;
    for (int dz = 0; dz < 2; ++dz) {
        precise double wz = dz == 1 ? frac.z : 1.0lf - frac.z;
        if (wz == 0.0lf)
            continue;
        for (int dy = 0; dy < 2; ++dy) {
            precise double wy = dy == 1 ? frac.y : 1.0lf - frac.y;
            if (wy == 0.0lf)
                continue;
            for (int dx = 0; dx < 2; ++dx) {
                precise double wx = dx == 1 ? frac.x : 1.0lf - frac.x;
                if (wx == 0.0lf)
                    continue;
                uint i = uint((base.x + dx) + 8 * ((base.y + dy) + 8 * (base.z + dz)));
                sum += wx * wy * wz * double(sdnaBrickSampleValue(samples, i));
            }
        }
    }
    return sdnaRoundDown(sum);
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

    double lipschitz = double(sdnaBricks.params.y);
    dvec3 ad = dvec3(abs(d));
    dvec3 ao = dvec3(abs(o));
    precise double margin = (max(abs(double(tnear)), abs(double(tfar))) * max(max(ad.x, ad.y), ad.z) +
                             max(max(ao.x, ao.y), ao.z) + 1.0lf) *
                            (1.0lf / 524288.0lf) * lipschitz;

    // Three-dimensional digital differential analyser over the blocks.
    precise double edge = 8.0lf * double(cellSize);
    ivec3 block;
    ivec3 stepDir;
    precise dvec3 nextBoundary;
    precise dvec3 boundaryGap;
    double infinity = double(sdnaPositiveInfinity());
    for (int a = 0; a < 3; ++a) {
        double lo = double(sdnaProg.lo[a]);
        double oa = double(o[a]);
        double da = double(d[a]);
        precise double cell = (oa + da * double(tnear) - lo) / edge;
        double b = floor(cell);
        if (cell == b && da < 0.0lf)
            b -= 1.0lf;
        b = min(max(b, 0.0lf), double(size[a]) - 1.0lf);
        block[a] = int(b);
        if (abs(da) < 1e-20lf) {
            stepDir[a] = 0;
            nextBoundary[a] = infinity;
            boundaryGap[a] = infinity;
        } else {
            stepDir[a] = da > 0.0lf ? 1 : -1;
            precise double face = lo + (b + (da > 0.0lf ? 1.0lf : 0.0lf)) * edge;
            nextBoundary[a] = (face - oa) / da;
            boundaryGap[a] = edge / abs(da);
        }
    }

    float t = tnear;
    for (;;) {
        if (++steps > stepLimit)
            return sdnaUncertainAt(o, d, t, steps);
        double leave = min(min(nextBoundary.x, nextBoundary.y), nextBoundary.z);
        double exitT = min(leave, double(tfar));
        // The hit threshold at the far end of the block, two steps above.
        precise double rawThreshold = max(exitT, double(t)) * double(epsPerDistance) + double(eps);
        float threshold = sdnaNextAbove(sdnaNextAbove(sdnaRoundUp(rawThreshold)));
        precise double stepFloor = double(threshold) + margin;

        uvec2 entry = sdnaBrickGrid[sdnaBrickEntryIndex(block)];
        if (entry.x == QLMR_BRICK_NOT_BUILT)
            return sdnaBrickRefine(o, d, t, tmin, tmax, maxSteps, eps, epsPerDistance, steps, stepLimit);
        if (double(uintBitsToFloat(entry.y)) <= stepFloor) {
            for (;;) {
                if (++steps > stepLimit)
                    return sdnaUncertainAt(o, d, t, steps);
                precise dvec3 point = dvec3(o) + dvec3(d) * double(t);
                double value = double(sdnaBrickSample(block, point));
                precise double rawStep = (value - stepFloor) / lipschitz;
                float step = sdnaRoundDown(rawStep);
                if (!(step > 0.0) || !sdnaFinite(step))
                    return sdnaBrickRefine(o, d, t, tmin, tmax, maxSteps, eps, epsPerDistance, steps, stepLimit);
                precise double rawNext = double(t) + double(step);
                float next = sdnaRoundDown(rawNext);
                if (next == t)
                    return sdnaBrickRefine(o, d, t, tmin, tmax, maxSteps, eps, epsPerDistance, steps, stepLimit);
                if (double(next) >= exitT)
                    break;
                t = next;
            }
        }

        if (!sdnaFinite64(leave))
            return sdnaMissAfter(steps);
        for (int a = 0; a < 3; ++a) {
            if (nextBoundary[a] != leave)
                continue;
            block[a] += stepDir[a];
            nextBoundary[a] += boundaryGap[a];
            if (block[a] < 0 || block[a] >= int(size[a]))
                return sdnaMissAfter(steps);
        }
        float entryT = sdnaRoundDown(leave);
        if (entryT > tfar)
            return sdnaMissAfter(steps);
        t = max(t, entryT);
    }
}

#endif // QLMR_SDNA_BRICKS_F64_GLSL
