// The height-field march of one ray: the walk over a prism field's min/max
// bounds pyramid down to the leaf level the ray footprint allows, and the
// bilinear patch intersection there. The same steps as the CPU packet march,
// one ray per invocation.
//
// The arithmetic of the tracers is `precise` (SPIR-V NoContraction) through
// the functions' results and in/out records: the processor reference rounds
// every product and every sum on its own, and a multiply-add fused by the
// shader compiler or a driver would move roots, patch heights and normals by
// an ulp, enough to flip a hit at a cell edge.
#ifndef QLMR_MARCH_GLSL
#define QLMR_MARCH_GLSL

#include "field_access.glsl"

#define QLMR_INF uintBitsToFloat(0x7f800000u)
const float kDirectionFloor = 8.271806e-25; // 2^-80

struct Ray {
    vec3 origin;
    vec3 dir;
    float tmin;
    float tmax;
    float coneRadius;
    float coneSpread;
};

struct Hit {
    bool found;
    float t;
    vec3 pos;
    vec3 normal;        // shading normal
    vec3 offsetNormal;  // geometric normal, for secondary ray origins
    vec3 uvh;
    int prism;
    int level;
    float iterations;
};

// The ray in a prism's local (u, v, h) space, clipped to its box.
struct LocalRay {
    vec3 o;
    vec3 d;
    vec3 inv;
    ivec2 stepDir;
    ivec2 exitEdge;
    float tEnter;
    float tLeave;
    int entryAxis;
    bool entersBottom;  // comes in through the bottom face, going up
    bool leavesBottom;  // goes out through the bottom face, going down
    float bottom;       // the box's lowest h
};

float floorLog2(float x) { return float(((floatBitsToInt(x) >> 23) & 255) - 127); }
int floorLog2i(float x) { return ((floatBitsToInt(x) >> 23) & 255) - 127; }

float inverseDirection(float d)
{
    const float m = max(abs(d), kDirectionFloor);
    return 1.0 / (d >= 0.0 ? m : -m);
}

precise vec3 toLocalVector(Prism p, vec3 d)
{
    return vec3(d.x * p.toLocal[0].x + d.y * p.toLocal[0].y + d.z * p.toLocal[0].z,
                d.x * p.toLocal[1].x + d.y * p.toLocal[1].y + d.z * p.toLocal[1].z,
                d.x * p.toLocal[2].x + d.y * p.toLocal[2].y + d.z * p.toLocal[2].z);
}

precise LocalRay localRay(Ray ray, Prism p)
{
    LocalRay r;
    r.o = toLocalVector(p, ray.origin - p.origin.xyz);
    r.d = toLocalVector(p, ray.dir);
    r.inv = vec3(inverseDirection(r.d.x), inverseDirection(r.d.y), inverseDirection(r.d.z));
    r.stepDir = ivec2(r.d.x >= 0.0 ? 1 : -1, r.d.y >= 0.0 ? 1 : -1);
    r.exitEdge = ivec2(r.d.x >= 0.0 ? 1 : 0, r.d.y >= 0.0 ? 1 : 0);
    const float u0 = (p.toLocal[0].w - r.o.x) * r.inv.x, u1 = (p.axisV.w - r.o.x) * r.inv.x;
    const float v0 = (p.toLocal[1].w - r.o.y) * r.inv.y, v1 = (p.axisH.w - r.o.y) * r.inv.y;
    const float h0 = (p.toLocal[2].w - r.o.z) * r.inv.z, h1 = (p.normalM[0].w - r.o.z) * r.inv.z;
    const float nearU = min(u0, u1), nearV = min(v0, v1), nearH = min(h0, h1);
    r.tEnter = max(max(nearU, nearV), nearH);
    r.tLeave = min(min(max(u0, u1), max(v0, v1)), max(h0, h1));
    r.entryAxis = nearU == r.tEnter ? 0 : (nearV == r.tEnter ? 1 : 2);
    r.entersBottom = r.entryAxis == 2 && r.d.z > 0.0;
    r.leavesBottom = r.d.z < 0.0 && r.tLeave == h0;
    r.bottom = p.toLocal[2].w;
    return r;
}

struct LevelSize {
    float w, h, invW, invH;
    int wi, hi;
};

LevelSize levelSize(FieldDesc f, int level)
{
    const int ew = max(f.log2W - level, 0);
    const int eh = max(f.log2H - level, 0);
    LevelSize s;
    s.w = ldexp(1.0, ew);
    s.h = ldexp(1.0, eh);
    s.invW = ldexp(1.0, -ew);
    s.invH = ldexp(1.0, -eh);
    s.wi = 1 << ew;
    s.hi = 1 << eh;
    return s;
}

precise int cellAt(float o, float d, float t, float size, float lo, float hi)
{
    return int(clamp(floor((o + t * d) * size), lo, hi));
}

// The four corner heights of a cell: h00, h10, h01, h11.
vec4 cornerHeights(FieldDesc f, int level, int ix, int iy, LevelSize s)
{
    int x1 = ix + 1, y1 = iy + 1;
    if (f.wrap != 0) {
        x1 = x1 & (s.wi - 1);
        y1 = y1 & (s.hi - 1);
    } else {
        x1 = min(x1, s.wi - 1);
        y1 = min(y1, s.hi - 1);
    }
    const int layer = f.layer;
    return vec4(fetchHeightTexel(f.index, ivec3(ix, iy, layer), level).r,
                fetchHeightTexel(f.index, ivec3(x1, iy, layer), level).r,
                fetchHeightTexel(f.index, ivec3(ix, y1, layer), level).r,
                fetchHeightTexel(f.index, ivec3(x1, y1, layer), level).r);
}

// The segment, level of detail and start level of a ray in one prism.
// entry is where the segment begins in the prism's box; c, where the walk
// begins, moves past it only with a seed.
struct PrismSetup {
    LocalRay r;
    bool takesPart;
    float entry, c, end;
    int lodLevel, lodFloor, startLevel;
};

precise int walkStartLevel(LocalRay r, FieldDesc f, float c, float end)
{
    const float len = max(end - c, 0.0);
    const float spanU = abs(r.d.x) * len * float(1 << f.log2W);
    const float spanV = abs(r.d.y) * len * float(1 << f.log2H);
    return floorLog2i(max(max(spanU, spanV), 1.0));
}

precise PrismSetup setupPrism(Prism p, FieldDesc f, Ray ray, float tLimit, float lodScale)
{
    PrismSetup ps;
    ps.r = localRay(ray, p);
    ps.entry = max(ps.r.tEnter, ray.tmin);
    ps.c = ps.entry;
    ps.end = min(ps.r.tLeave, tLimit);
    ps.takesPart = ps.c <= ps.end;
    const float x = (max(ps.c, 0.0) * ray.coneSpread + ray.coneRadius) * lodScale / p.origin.w;
    ps.lodLevel = floorLog2i(max(x, 1e-30));
    const int top = f.levels - 1;
    ps.lodFloor = min(top, max(ps.lodLevel, 0));
    ps.startLevel = walkStartLevel(ps.r, f, ps.c, ps.end);
    return ps;
}

// The shell seed: no hit of a seeded prism lies nearer than the hull the
// seed pass rasterized, so its walk may begin just before the seed
// distance. The level of detail stays that of the prism entry, so seeding
// moves only where the walk starts. False when the prism cannot be hit.
bool applySeed(inout precise PrismSetup ps, FieldDesc f, float seedT)
{
    const float start = seedT - max(1e-3 * seedT, 1e-3);
    if (start > ps.end)
        return false;
    if (start > ps.c) {
        ps.c = start;
        ps.startLevel = walkStartLevel(ps.r, f, ps.c, ps.end);
    }
    return true;
}

// Two hits this close (relative) are a tie as far as the seed goes: far
// above the rounding that tells a seeded walk's hit from the unseeded one's.
const float kSeedTie = 1e-5;

bool seedNearTie(float a, float b)
{
    return abs(a - b) <= kSeedTie * max(a, b);
}

// What a walk leaves when it stops.
struct WalkOutcome {
    bool found;
    float t;
    int level;
    int ix, iy;
    bool underAtEntry;  // on or under the surface where the ray enters the prism
    bool underAtStart;  // on or under the surface where the walk began
};

// The walk shared by primary and shadow rays. March mode stops at the first
// leaf hit; shadow mode also stops at a node lying wholly above the ray.
precise WalkOutcome runWalk(FieldDesc f, LocalRay r, PrismSetup ps, bool shadowMode, inout float iterations)
{
    WalkOutcome result;
    result.found = false;
    result.t = QLMR_INF;
    result.level = 0;
    result.ix = 0;
    result.iy = 0;
    result.underAtEntry = false;
    result.underAtStart = false;

    const int top = f.levels - 1;
    const bool hasBounds = f.levels >= 2;
    const float prismStart = ps.entry;
    int level = min(max(ps.lodFloor, ps.startLevel), top);
    float c = ps.c;
    const float end = ps.end;
    LevelSize s = levelSize(f, level);
    int ix = cellAt(r.o.x, r.d.x, c, s.w, 0.0, s.w - 1.0);
    int iy = cellAt(r.o.y, r.d.y, c, s.h, 0.0, s.h - 1.0);

    for (int step = 0; step < QLMR_MAX_STEPS; ++step) {
        iterations += 1.0;
        s = levelSize(f, level);

        const float tx = (float(ix + r.exitEdge.x) * s.invW - r.o.x) * r.inv.x;
        const float ty = (float(iy + r.exitEdge.y) * s.invH - r.o.y) * r.inv.y;
        const float tCell = min(tx, ty);
        const float tOut = max(min(tCell, end), c);

        const bool leaf = level <= ps.lodFloor;
        const bool nodeLane = shadowMode ? level >= 1 : !leaf;

        bool candidate = false;
        float tTop = QLMR_INF;
        bool aboveRay = false;
        if (hasBounds && nodeLane) {
            const vec2 node = boundsAt(f, level, ix, iy);
            const float maxH = node.y;
            const float rayAtC = r.o.z + c * r.d.z;
            tTop = r.d.z < 0.0 ? max(c, (maxH - r.o.z) * r.inv.z) : (rayAtC <= maxH ? c : QLMR_INF);
            candidate = tTop <= tOut;
            if (shadowMode) {
                const float rayAtOut = r.o.z + tOut * r.d.z;
                aboveRay = c < tOut && rayAtC < node.x && rayAtOut < node.x;
            }
        }

        bool leafHit = false;
        float tauHit = QLMR_INF;
        bool underNow = false;
        if (leaf) {
            const vec4 k4 = cornerHeights(f, level, ix, iy, s);
            const float s0 = (r.o.x + c * r.d.x) * s.w - float(ix);
            const float r0 = (r.o.y + c * r.d.y) * s.h - float(iy);
            const float ds = r.d.x * s.w;
            const float dr = r.d.y * s.h;
            const float ea = k4.y - k4.x;
            const float eb = k4.z - k4.x;
            const float twist = k4.x - k4.y - k4.z + k4.w;
            const float f0 = (r.o.z + c * r.d.z) - (k4.x + ea * s0 + eb * r0 + twist * s0 * r0);
            const float f1 = r.d.z - ea * ds - eb * dr - twist * (ds * r0 + dr * s0);
            const float f2 = -twist * ds * dr;
            const float disc = f1 * f1 - 4.0 * f2 * f0;
            const float root = sqrt(max(disc, 0.0));
            const float q = f1 >= 0.0 ? -0.5 * (f1 + root) : -0.5 * (f1 - root);
            float ra = q / f2;
            float rb = f0 / q;
            ra = isnan(ra) ? QLMR_INF : ra;
            rb = isnan(rb) ? QLMR_INF : rb;
            const float small = min(ra, rb), large = max(ra, rb);
            const float tauMax = tOut - c;
            const float eps = 2e-5 / max(abs(dr) + abs(ds) + abs(r.d.z), kDirectionFloor);
            const bool discOk = disc >= 0.0;
            const bool smallOk = discOk && small >= -eps && small <= tauMax + eps;
            const bool largeOk = discOk && large >= -eps && large <= tauMax + eps;
            const float counted = smallOk ? small : large;
            const bool under = f0 <= 0.0;
            tauHit = under ? 0.0 : ((smallOk || largeOk) ? clamp(counted, 0.0, tauMax) : QLMR_INF);
            // A ray above the surface at c that leaves the prism through its
            // bottom face in this cell, on or under the surface there, has
            // crossed the surface on the way, exactly once, even when rounding
            // put both roots past the tolerance (which a thin prism far away
            // makes smaller than one rounding step of t): it takes the root
            // nearest the segment, clamped into it.
            if (r.leavesBottom && tOut == r.tLeave && tauHit == QLMR_INF) {
                // Only compared, never stored: marked precise on its own.
                precise const float s1 = (r.o.x + tOut * r.d.x) * s.w - float(ix);
                precise const float r1 = (r.o.y + tOut * r.d.y) * s.h - float(iy);
                precise const float patchAtExit = k4.x + ea * s1 + eb * r1 + twist * s1 * r1;
                if (patchAtExit >= r.bottom) {
                    const float smallOff = max(-small, small - tauMax);
                    const float largeOff = max(-large, large - tauMax);
                    tauHit = clamp(smallOff <= largeOff ? small : large, 0.0, tauMax);
                }
            }
            leafHit = tauHit <= tauMax;
            // A ray that comes up through the bottom face and meets the
            // surface right there is on it, whether its height at the face
            // rounds an ulp under or over: a surface lying on the bottom
            // face (height 0) would otherwise get the face's normal or the
            // opposite surface normal by the rounding alone.
            underNow = under || (r.entersBottom && c == r.tEnter && tauHit == 0.0);
        }

        bool stopped;
        bool descend;
        if (!shadowMode) {
            if (leafHit) {
                result.found = true;
                result.t = c + tauHit;
                result.level = level;
                result.ix = ix;
                result.iy = iy;
                result.underAtEntry = c == prismStart && underNow;
                result.underAtStart = c == ps.c && underNow;
            }
            stopped = leafHit;
            descend = candidate && !leaf;
        } else {
            const bool blocked = aboveRay || leafHit;
            result.found = result.found || blocked;
            stopped = blocked;
            descend = candidate && !leaf && !blocked;
        }
        if (stopped)
            break;

        if (descend) {
            // Into the child of the old cell that contains the point at tTop.
            const int child = level - 1;
            const LevelSize cs = levelSize(f, child);
            const bool halvesU = child < f.log2W;
            const bool halvesV = child < f.log2H;
            const int loU = halvesU ? ix + ix : ix;
            const int loV = halvesV ? iy + iy : iy;
            const int hiU = halvesU ? loU + 1 : loU;
            const int hiV = halvesV ? loV + 1 : loV;
            ix = cellAt(r.o.x, r.d.x, tTop, cs.w, float(loU), float(hiU));
            iy = cellAt(r.o.y, r.d.y, tTop, cs.h, float(loV), float(hiV));
            level = child;
            c = tTop;
            continue;
        }

        const int ax = ix + (tx == tCell ? r.stepDir.x : 0);
        const int ay = iy + (ty == tCell ? r.stepDir.y : 0);
        const bool outside = ax < 0 || ax >= s.wi || ay < 0 || ay >= s.hi;
        if (end <= tCell || outside)
            break;
        // Up one level when the step crossed into another parent.
        const bool halvesU = level < f.log2W;
        const bool halvesV = level < f.log2H;
        const int pxOld = halvesU ? ix >> 1 : ix, pxNew = halvesU ? ax >> 1 : ax;
        const int pyOld = halvesV ? iy >> 1 : iy, pyNew = halvesV ? ay >> 1 : ay;
        const bool ascend = level < top && (pxOld != pxNew || pyOld != pyNew);
        c = tOut;
        ix = ascend ? pxNew : ax;
        iy = ascend ? pyNew : ay;
        level = ascend ? level + 1 : level;
    }
    return result;
}

precise vec3 normalizeFloored(vec3 v) { return v / sqrt(max(v.x * v.x + v.y * v.y + v.z * v.z, 1e-30)); }

precise vec3 worldNormal(Prism p, vec3 n)
{
    return normalizeFloored(vec3(n.x * p.normalM[0].x + n.y * p.normalM[0].y + n.z * p.normalM[0].z,
                                 n.x * p.normalM[1].x + n.y * p.normalM[1].y + n.z * p.normalM[1].z,
                                 n.x * p.normalM[2].x + n.y * p.normalM[2].y + n.z * p.normalM[2].z));
}

// Height / 65535 at (bx + dx, by + dy), wrapped or clamped to the level.
float blockHeight(FieldDesc f, int level, int bx, int by, int dx, int dy, LevelSize s)
{
    int x = bx + dx, y = by + dy;
    if (f.wrap != 0) {
        x = x & (s.wi - 1);
        y = y & (s.hi - 1);
    } else {
        x = clamp(x, 0, s.wi - 1);
        y = clamp(y, 0, s.hi - 1);
    }
    return fetchHeightTexel(f.index, ivec3(x, y, f.layer), level).r;
}

// Fills the hit record when this prism's hit is nearer than the one held.
void recordHit(Prism p, int prismIndex, FieldDesc f, PrismSetup ps, Ray ray, WalkOutcome hit, inout precise Hit best)
{
    if (!hit.found || !(hit.t <= best.t))
        return;
    const LocalRay r = ps.r;
    const float t = hit.t;
    const int level = hit.level;
    const LevelSize s = levelSize(f, level);
    const float u = r.o.x + t * r.d.x;
    const float v = r.o.y + t * r.d.y;
    const float rayH = r.o.z + t * r.d.z;

    const int cx = clamp(hit.ix, 0, s.wi - 1);
    const int cy = clamp(hit.iy, 0, s.hi - 1);
    const float sCell = clamp(u * s.w - float(cx), 0.0, 1.0);
    const float rCell = clamp(v * s.h - float(cy), 0.0, 1.0);
    const vec4 k4 = cornerHeights(f, level, cx, cy, s);
    const float ea = k4.y - k4.x;
    const float eb = k4.z - k4.x;
    const float twist = k4.x - k4.y - k4.z + k4.w;
    const float patchH = k4.x + ea * sCell + eb * rCell + twist * sCell * rCell;
    const float h = hit.underAtEntry ? rayH : patchH;
    const float gradU = (ea + twist * rCell) * s.w;
    const float gradV = (eb + twist * sCell) * s.h;

    // Shading gradient over a 2 x 2 block kept inside the level on clamping
    // fields, by the frame's normal mode: 1 (default) blends the central
    // differences at the block's corners bilinearly, 2 (cubic) with
    // smoothstep weights, 0 and any other value take the bilinear patch of
    // the block itself (geometric).
    int bx = cx, by = cy;
    float sb = sCell, rb = rCell;
    if (f.wrap == 0) {
        bx = clamp(cx, 0, max(s.wi, 2) - 2);
        by = clamp(cy, 0, max(s.hi, 2) - 2);
        sb = clamp(u * s.w - float(bx), 0.0, 1.0);
        rb = clamp(v * s.h - float(by), 0.0, 1.0);
    }
    const int normalMode = int(frame.ambient.w);
    const float b00 = blockHeight(f, level, bx, by, 0, 0, s), b10 = blockHeight(f, level, bx, by, 1, 0, s);
    const float b01 = blockHeight(f, level, bx, by, 0, 1, s), b11 = blockHeight(f, level, bx, by, 1, 1, s);
    float shadeU, shadeV;
    if (normalMode == 1 || normalMode == 2) {
        const float gu00 = (b10 - blockHeight(f, level, bx, by, -1, 0, s)) * 0.5;
        const float gu10 = (blockHeight(f, level, bx, by, 2, 0, s) - b00) * 0.5;
        const float gu01 = (b11 - blockHeight(f, level, bx, by, -1, 1, s)) * 0.5;
        const float gu11 = (blockHeight(f, level, bx, by, 2, 1, s) - b01) * 0.5;
        const float gv00 = (b01 - blockHeight(f, level, bx, by, 0, -1, s)) * 0.5;
        const float gv10 = (b11 - blockHeight(f, level, bx, by, 1, -1, s)) * 0.5;
        const float gv01 = (blockHeight(f, level, bx, by, 0, 2, s) - b00) * 0.5;
        const float gv11 = (blockHeight(f, level, bx, by, 1, 2, s) - b10) * 0.5;
        const float ws = normalMode == 2 ? (3.0 - 2.0 * sb) * (sb * sb) : sb;
        const float wr = normalMode == 2 ? (3.0 - 2.0 * rb) * (rb * rb) : rb;
        shadeU = ((gu00 * (1.0 - ws) + gu10 * ws) * (1.0 - wr) + (gu01 * (1.0 - ws) + gu11 * ws) * wr) * s.w;
        shadeV = ((gv00 * (1.0 - ws) + gv10 * ws) * (1.0 - wr) + (gv01 * (1.0 - ws) + gv11 * ws) * wr) * s.h;
    } else {
        const float bt = b00 - b10 - b01 + b11;
        shadeU = ((b10 - b00) + bt * rb) * s.w;
        shadeV = ((b01 - b00) + bt * sb) * s.h;
    }

    vec3 n = vec3(-shadeU, -shadeV, 1.0);
    vec3 g = vec3(-gradU, -gradV, 1.0);

    // Side faces: a ray that begins under the surface reports the face it
    // came through (or its own reverse direction when it started inside).
    if (p.normalM[1].w == 0.0) {
        const bool throughTopDown = r.entryAxis == 2 && r.d.z < 0.0;
        if (hit.underAtEntry && !throughTopDown) {
            const bool inside = r.tEnter < ray.tmin;
            vec3 face;
            for (int axis = 0; axis < 3; ++axis) {
                const float d = r.d[axis];
                const float outward = d >= 0.0 ? -1.0 : 1.0;
                face[axis] = inside ? -d : (r.entryAxis == axis ? outward : 0.0);
            }
            n = face;
            g = face;
        }
    }

    best.found = true;
    best.t = t;
    best.normal = worldNormal(p, n);
    best.offsetNormal = worldNormal(p, g);
    best.pos = p.origin.xyz + u * p.axisU.xyz + v * p.axisV.xyz + h * p.axisH.xyz;
    best.uvh = vec3(u, v, h);
    best.prism = prismIndex;
    best.level = level;
}

// Nearest hit over the prisms of one screen tile's bin, in bin order.
// seedT is the pixel's seed distance (1e30 and above: none).
precise Hit tracePrimary(Ray ray, uvec2 range, float lodScale, float seedT)
{
    Hit best;
    best.found = false;
    best.t = ray.tmax;
    best.pos = vec3(0.0);
    best.normal = vec3(0.0);
    best.offsetNormal = vec3(0.0);
    best.uvh = vec3(0.0);
    best.prism = -1;
    best.level = 0;
    best.iterations = 0.0;
    // Whether the held hit was walked otherwise than the unseeded trace
    // walks it (seeded, or looking past the limit), and the limit its prism
    // would have had there, so that a tie can walk it again.
    bool bestApart = false;
    float bestLimit = ray.tmax;
    for (uint i = 0u; i < range.y; ++i) {
        const int index = int(tileList[range.x + i]);
        const Prism p = prisms[index];
        const FieldDesc f = decodeField(p.info);
        const bool seedable = seedT < 1e29 && prismSeedLevel[index] >= 0;
        // A seeded walk rounds its hit a hair apart from the unseeded one,
        // so a hit that ties with the held one may fall just past it: such
        // walks look a little further, and ties are settled below.
        const bool widen = best.found && (seedable || bestApart);
        PrismSetup ps = setupPrism(p, f, ray, widen ? best.t * (1.0 + 2.0 * kSeedTie) : best.t, lodScale);
        if (!ps.takesPart)
            continue;
        bool seeded = false;
        const int entryLevel = ps.startLevel;
        // The hull of shell level L bounds the surface at levels 0 to L
        // only: a walk that ends on a coarser level starts at its entry.
        if (seedable && prismSeedLevel[index] >= ps.lodFloor) {
            if (!applySeed(ps, f, seedT))
                continue;
            seeded = ps.c != ps.entry;
        }
        WalkOutcome hit = runWalk(f, ps.r, ps, false, best.iterations);
        // A seeded walk that begins on or under the surface took its seed
        // from a hull behind the hit (the hull in front of it lay nearer
        // than the raster's near plane): the surface was reached before the
        // seed, so the walk goes again from the entry.
        if (seeded && hit.found && hit.underAtStart) {
            ps.c = ps.entry;
            ps.startLevel = entryLevel;
            hit = runWalk(f, ps.r, ps, false, best.iterations);
            seeded = false;
        }
        bool apart = seeded || widen;
        // Two prisms hit at one distance (a seam of two surfaces): both are
        // walked again as the unseeded trace walks them, so the tie goes
        // its way.
        if (hit.found && best.found && (apart || bestApart) && seedNearTie(hit.t, best.t)) {
            if (bestApart) {
                const int held = best.prism;
                const Prism hp = prisms[held];
                const FieldDesc hf = decodeField(hp.info);
                const PrismSetup hps = setupPrism(hp, hf, ray, bestLimit, lodScale);
                const WalkOutcome again = runWalk(hf, hps.r, hps, false, best.iterations);
                if (again.found) {
                    best.t = bestLimit;
                    recordHit(hp, held, hf, hps, ray, again, best);
                }
                bestApart = false;
            }
            ps = setupPrism(p, f, ray, best.t, lodScale);
            hit.found = false;
            if (ps.takesPart)
                hit = runWalk(f, ps.r, ps, false, best.iterations);
            apart = false;
        }
        if (hit.found && hit.t <= best.t) {
            bestApart = apart;
            bestLimit = best.t;
        }
        recordHit(p, index, f, ps, ray, hit, best);
    }
    return best;
}

// A hit on a pixel-grid field moves to the centre of its grid cell: the
// height there, and both normals from a smoothed gradient one cell to each
// side. The distance stays as the walk found it; a snapped height below the
// prism's box leaves the hit unchanged.
void snapHit(inout precise Hit hit)
{
    if (!hit.found || hit.prism < 0)
        return;
    const Prism p = prisms[hit.prism];
    const FieldDesc f = decodeField(p.info);
    if (f.pixelGrid == 0 || f.snapHits == 0)
        return;
    const vec2 uv = snapToPixelGrid(f, hit.uvh.xy);
    const float u = uv.x, v = uv.y;
    const float h = sampleHeight(f, 0, u, v);
    if (h < p.toLocal[2].w)
        return;
    const float n = float(f.gridSize);
    const float su = n / float(1 << f.log2W);
    const float sv = n / float(1 << f.log2H);
    const float hpp = sampleHeight(f, 0, u + su, v + sv), hmp = sampleHeight(f, 0, u - su, v + sv);
    const float hp0 = sampleHeight(f, 0, u + su, v), hm0 = sampleHeight(f, 0, u - su, v);
    const float hpm = sampleHeight(f, 0, u + su, v - sv), hmm = sampleHeight(f, 0, u - su, v - sv);
    const float h0p = sampleHeight(f, 0, u, v + sv), h0m = sampleHeight(f, 0, u, v - sv);
    const float gradU = (3.0 * (hpp - hmp) + 10.0 * (hp0 - hm0) + 3.0 * (hpm - hmm)) / (32.0 * su);
    const float gradV = (3.0 * (hpp - hpm) + 10.0 * (h0p - h0m) + 3.0 * (hmp - hmm)) / (32.0 * sv);
    const vec3 normal = worldNormal(p, vec3(-gradU, -gradV, 1.0));
    hit.normal = normal;
    hit.offsetNormal = normal;
    hit.uvh = vec3(u, v, h);
    hit.pos = p.origin.xyz + u * p.axisU.xyz + v * p.axisV.xyz + h * p.axisH.xyz;
}

// Whether any prism of the shadow ray's light cell blocks it.
bool traceShadow(Ray ray, float lodScale)
{
    const vec2 q = vec2(dot(ray.origin, lightAxisX.xyz), dot(ray.origin, lightAxisY.xyz));
    const int cells = int(lightGrid.w);
    const ivec2 cell = clamp(ivec2(floor((q - lightGrid.xy) * lightGrid.z)), ivec2(0), ivec2(cells - 1));
    const uvec2 range = lightRange[cell.y * cells + cell.x];
    float unused = 0.0;
    for (uint i = 0u; i < range.y; ++i) {
        const Prism p = prisms[lightList[range.x + i]];
        const FieldDesc f = decodeField(p.info);
        const PrismSetup ps = setupPrism(p, f, ray, ray.tmax, lodScale);
        if (!ps.takesPart)
            continue;
        if (runWalk(f, ps.r, ps, true, unused).found)
            return true;
    }
    return false;
}

#endif
