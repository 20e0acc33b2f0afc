// The shape-program interpreter over one number type, included by
// sdna_eval.glsl once per type: SDNA_T (the number), SDNA_V (a point),
// SDNA_CONST (a float as a constant number) and SDNA_INTERPRET (the
// function's name) are defined by the includer. Both instances take the
// same branches, decided on the values.

// Rotation of v by the conjugate of q: u = -q.xyz, c = u x v,
// v + 2 q.w c + 2 (u x c).
precise SDNA_V sdnaRotateConj(vec4 q, SDNA_V v)
{
    vec3 u = -q.xyz;
    SDNA_V c = sdnaCrossC(u, v);
    return v + c * (2.0 * q.w) + sdnaCrossC(u, c) * 2.0;
}

// The point moved into a posed bone's space: (1/s) rotate*(q, x - position).
precise SDNA_V sdnaIntoBone(vec4 rotation, vec4 positionScale, SDNA_V x)
{
    float inverseScale = 1.0 / positionScale.w;
    return sdnaRotateConj(rotation, sdnaSubC(x, positionScale.xyz)) * inverseScale;
}

// Distance to the convex hull of spheres (a, ra) and (b, rb).
precise SDNA_T sdnaTaperedCapsule(SDNA_V x, vec3 a, float ra, vec3 b, float rb)
{
    vec3 e = b - a;
    float l2 = sdnaDot(e, e);
    float rr = ra - rb;
    float a2 = l2 - rr * rr;
    if (l2 < 1e-10 || a2 <= 0.0)
        return sdnaMin(sdnaLength(sdnaSubC(x, a)) - SDNA_CONST(ra), sdnaLength(sdnaSubC(x, b)) - SDNA_CONST(rb));
    SDNA_V v = sdnaSubC(x, a);
    SDNA_T y = sdnaDot(v, e);
    SDNA_T z = y - SDNA_CONST(l2);
    SDNA_V w = v * l2 - sdnaScaleC(e, y);
    SDNA_T x2 = sdnaDot(w, w);
    SDNA_T y2 = sdnaMul(y, y) * l2;
    SDNA_T z2 = sdnaMul(z, z) * l2;
    SDNA_T k = (sdnaSign(rr) * rr * rr) * x2;
    if (sdnaSign(sdnaVal(z)) * a2 * sdnaVal(z2) > sdnaVal(k))
        return sdnaSqrt(x2 + z2) / l2 - SDNA_CONST(rb);
    if (sdnaSign(sdnaVal(y)) * a2 * sdnaVal(y2) < sdnaVal(k))
        return sdnaSqrt(x2 + y2) / l2 - SDNA_CONST(ra);
    return (sdnaSqrt(x2 * a2 / l2) + y * rr) / l2 - SDNA_CONST(ra);
}

#ifndef QLMR_SDNA_CULL_TEST
#define QLMR_SDNA_CULL_TEST
// The culling test of the record at stream entry `entry`: true when its
// subtree cannot change the value of its combinator, whose left operand is
// `top`. Runs on plain values.
bool sdnaCullRecord(uint entry, vec3 framePoint, float top)
{
    SdnaInstr rec = sdnaCode[entry];
    vec3 p = framePoint;
    float w = 1.0;
    if (rec.head.y != QLMR_SDNA_NO_BONE) {
        vec4 rotation;
        vec4 positionScale;
        sdnaPoseOf(rec.head.y, rotation, positionScale);
        p = sdnaIntoBone(rotation, positionScale, p);
        w = positionScale.w;
    }
    float lower = (sdnaLength(p - rec.p0.xyz) - rec.p0.w) * (w * rec.p1.x);
    float limit = rec.head.z != 0u ? -top : top + rec.p1.y;
    return lower > 0.0 && lower >= limit;
}
#endif

// Runs the program at `point`; with `cull` the culling records are honoured.
void SDNA_INTERPRET(SDNA_V point, bool cull, out precise SDNA_T outDistance, out uint outMaterial)
{
    SDNA_T values[QLMR_SDNA_MAX_VALUES];
    uint materials[QLMR_SDNA_MAX_VALUES];
    SDNA_V framePoints[QLMR_SDNA_MAX_FRAMES + 1];
    float frameScales[QLMR_SDNA_MAX_FRAMES + 1];
    framePoints[0] = point;
    frameScales[0] = 1.0;
    int depth = 0;       // values on the stack
    int frameIndex = 0;  // the innermost frame
    SDNA_V x = point;    // the innermost frame's point

    uint count = sdnaProg.dims.x;
    uint i = 0u;
    while (i < count) {
        SdnaInstr ins = sdnaCode[i];
        if (cull && ins.head.z != 0u && depth > 0) {
            if (sdnaCullRecord(ins.head.z, sdnaVal3(x), sdnaVal(values[depth - 1]))) {
                i = sdnaCode[ins.head.z].head.x;
                continue;
            }
        }
        uint op = ins.head.x & 0xFFu;
        uint material = ins.head.x >> 16;
        vec4 p0 = ins.p0;
        vec4 p1 = ins.p1;
        // The validator keeps the stacks within their sizes; the clamps only
        // keep a broken program from writing outside them.
        int slot = min(depth, QLMR_SDNA_MAX_VALUES - 1);
        switch (op) {
        case QLMR_OP_SPHERE:
            values[slot] = sdnaLength(sdnaSubC(x, p0.xyz)) - SDNA_CONST(p0.w);
            materials[slot] = material;
            depth = slot + 1;
            break;
        case QLMR_OP_CAPSULE: {
            vec3 a = p0.xyz;
            vec3 e = vec3(p0.w, p1.x, p1.y) - a;
            SDNA_V v = sdnaSubC(x, a);
            float ee = sdnaDot(e, e);
            SDNA_T d;
            if (ee != 0.0) {
                SDNA_T h = sdnaDot(v, e) / ee;
                if (sdnaVal(h) < 0.0)
                    h = SDNA_CONST(0.0);
                else if (sdnaVal(h) > 1.0)
                    h = SDNA_CONST(1.0);
                d = sdnaLength(v - sdnaScaleC(e, h)) - SDNA_CONST(p1.z);
            } else {
                d = sdnaLength(v) - SDNA_CONST(p1.z);
            }
            values[slot] = d;
            materials[slot] = material;
            depth = slot + 1;
            break;
        }
        case QLMR_OP_TAPERED_CAPSULE:
            values[slot] = sdnaTaperedCapsule(x, p0.xyz, p0.w, p1.xyz, p1.w);
            materials[slot] = material;
            depth = slot + 1;
            break;
        case QLMR_OP_ELLIPSOID: {
            vec3 r = vec3(p0.w, p1.x, p1.y);
            float smallest = sdnaMin(sdnaMin(r.x, r.y), r.z);
            values[slot] = (sdnaLength(sdnaDivC(sdnaSubC(x, p0.xyz), r)) - SDNA_CONST(1.0)) * smallest;
            materials[slot] = material;
            depth = slot + 1;
            break;
        }
        case QLMR_OP_BOX: {
            SDNA_V d = sdnaSubC(sdnaAbs3(sdnaSubC(x, p0.xyz)), vec3(p0.w, p1.x, p1.y));
            SDNA_T zero = SDNA_CONST(0.0);
            SDNA_V outside = sdnaMake3(sdnaMax(d[0], zero), sdnaMax(d[1], zero), sdnaMax(d[2], zero));
            SDNA_T inside = sdnaMin(sdnaMax(sdnaMax(d[0], d[1]), d[2]), zero);
            values[slot] = sdnaLength(outside) + inside - SDNA_CONST(p1.z);
            materials[slot] = material;
            depth = slot + 1;
            break;
        }
        case QLMR_OP_PLANE:
            values[slot] = sdnaDot(x, p0.xyz) - SDNA_CONST(p0.w);
            materials[slot] = material;
            depth = slot + 1;
            break;
        case QLMR_OP_UNION:
            if (depth >= 2) {
                --depth;
                if (sdnaVal(values[depth]) < sdnaVal(values[depth - 1])) {
                    values[depth - 1] = values[depth];
                    materials[depth - 1] = materials[depth];
                }
            }
            break;
        case QLMR_OP_SMOOTH_UNION:
            if (depth >= 2) {
                --depth;
                SDNA_T a = values[depth - 1];
                SDNA_T b = values[depth];
                float k = p0.x;
                if (!(k > 0.0)) {
                    if (sdnaVal(a) > sdnaVal(b)) {
                        values[depth - 1] = b;
                        materials[depth - 1] = materials[depth];
                    }
                    break;
                }
                // abs(a - b) as (a - b) sign(a - b): the same value, and a
                // derivative that vanishes on an exact tie.
                SDNA_T diff = a - b;
                SDNA_T h = SDNA_CONST(k) - diff * sdnaSign(sdnaVal(diff));
                if (sdnaVal(h) < 0.0)
                    h = SDNA_CONST(0.0);
                h = h / k;
                bool takeB = sdnaVal(b) <= sdnaVal(a);
                SDNA_T smaller = takeB ? b : a;
                values[depth - 1] = smaller - sdnaMul(h, h) * k / 4.0;
                if (takeB)
                    materials[depth - 1] = materials[depth];
            }
            break;
        case QLMR_OP_INTERSECT:
            if (depth >= 2) {
                --depth;
                if (sdnaVal(values[depth]) > sdnaVal(values[depth - 1])) {
                    values[depth - 1] = values[depth];
                    materials[depth - 1] = materials[depth];
                }
            }
            break;
        case QLMR_OP_SUBTRACT:
            if (depth >= 2) {
                --depth;
                SDNA_T negated = -values[depth];
                if (sdnaVal(negated) > sdnaVal(values[depth - 1])) {
                    values[depth - 1] = negated;
                    materials[depth - 1] = materials[depth];
                }
            }
            break;
        case QLMR_OP_OFFSET:
            if (depth > 0)
                values[depth - 1] = values[depth - 1] - SDNA_CONST(p0.x);
            break;
        case QLMR_OP_ONION:
            if (depth > 0)
                values[depth - 1] = sdnaAbs(values[depth - 1]) - SDNA_CONST(p0.x);
            break;
        case QLMR_OP_PUSH_TRANSFORM: {
            float inverseScale = 1.0 / p1.w;
            frameIndex = min(frameIndex + 1, QLMR_SDNA_MAX_FRAMES);
            x = sdnaRotateConj(p0, sdnaSubC(x, p1.xyz)) * inverseScale;
            framePoints[frameIndex] = x;
            frameScales[frameIndex] = p1.w;
            break;
        }
        case QLMR_OP_PUSH_BONE: {
            vec4 rotation;
            vec4 positionScale;
            sdnaPoseOf(ins.head.y, rotation, positionScale);
            frameIndex = min(frameIndex + 1, QLMR_SDNA_MAX_FRAMES);
            x = sdnaIntoBone(rotation, positionScale, x);
            framePoints[frameIndex] = x;
            frameScales[frameIndex] = positionScale.w;
            break;
        }
        case QLMR_OP_POP:
            if (depth > 0)
                values[depth - 1] = values[depth - 1] * frameScales[frameIndex];
            frameIndex = max(frameIndex - 1, 0);
            x = framePoints[frameIndex];
            break;
        default:
            // Repeat, the experimental unary and unknown opcodes change nothing.
            break;
        }
        ++i;
    }
    if (depth > 0) {
        outDistance = values[depth - 1];
        outMaterial = materials[depth - 1];
    } else {
        outDistance = SDNA_CONST(0.0);
        outMaterial = 0u;
    }
}
