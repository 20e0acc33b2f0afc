// Surface fetch, sun visibility, terrain and water lighting, height fog and
// sky for one traced ray: the CPU shading steps, one ray per invocation.
// Results are `precise`, as in march.glsl, so they round as the reference does.
#ifndef QLMR_SHADING_GLSL
#define QLMR_SHADING_GLSL

#include "march.glsl"

// 2^x for x clamped to [-126, 0]: a degree-5 polynomial for the fraction
// times the integer power.
precise float exp2Poly(float x)
{
    x = clamp(x, -126.0, 0.0);
    const float n = floor(x);
    const float f = x - n;
    const float p = 1.0 + f * (0.6931472 + f * (0.2402265 + f * (0.05550411 + f * (0.009618129 + f * 0.0013333558))));
    return p * ldexp(1.0, int(n));
}

precise float expNonPositive(float y) { return exp2Poly(y * 1.442695); }

precise float powTwoPower(float x, int k)
{
    for (int i = 0; i < k; ++i)
        x = x * x;
    return x;
}

precise float sunGlow(float c)
{
    const float c8 = powTwoPower(c, 3);
    const float c512 = powTwoPower(c8, 6);
    return 6.0 * c512 + 0.12 * c8;
}

precise vec3 skyGradient(float dirY)
{
    const float k = sqrt(min(max(dirY, 0.0), 1.0));
    return (frame.skyZenith.xyz - frame.skyHorizon.xyz) * k + frame.skyHorizon.xyz;
}

precise vec3 skyColor(vec3 d)
{
    const float glow = sunGlow(max(dot(d, frame.sunDir.xyz), 0.0));
    return skyGradient(d.y) + glow * frame.sunColor.xyz;
}

precise float fogTransmittance(float originY, float t, float dirY)
{
    const float density = frame.sunColor.w;
    const float baseHeight = frame.camForward.w;
    const float falloff = frame.camRight.w;
    const float y0 = originY - baseHeight;
    const float a = max(falloff * min(y0, y0 + t * dirY), -40.0);
    const float b = falloff * abs(t * dirY);
    const float series = 1.0 - b * (0.5 - b * (1.0 / 6.0 - b / 24.0));
    const float quotient = (1.0 - expNonPositive(-b)) / b;
    const float g = b < 0.1 ? series : quotient;
    const float expMinusA = a < 0.0 ? 1.0 / expNonPositive(a) : expNonPositive(-a);
    return expNonPositive(-(density * t * expMinusA * g));
}

struct Surface {
    vec3 albedo;
    float cavity;
    float waterDepth;
    bool water;
};

precise Surface fetchSurface(Hit hit, Ray ray)
{
    Surface s;
    s.albedo = vec3(0.0);
    s.cavity = 1.0;
    s.waterDepth = 0.0;
    s.water = false;
    if (!hit.found || hit.prism < 0)
        return s;
    const Prism p = prisms[hit.prism];
    const FieldDesc f = decodeField(p.info);

    const float len2 = dot(ray.dir, ray.dir);
    const float cosine = abs(dot(hit.normal, ray.dir) / sqrt(max(len2, 1e-30)));
    const float footprint = ray.coneSpread * hit.t + ray.coneRadius;
    const float lodArgument = max((footprint / max(cosine, 0.2)) / p.axisU.w, 1e-6);
    // Albedo is read at the centre of the pixel-grid cell.
    const vec2 albedoUv = snapToPixelGrid(f, hit.uvh.xy);
    const vec4 albedo = sampleAlbedo(f, albedoUv.x, albedoUv.y, log2(lodArgument));
    s.albedo = albedo.rgb;

    const float depthScale = p.normalM[2].w;
    s.water = depthScale > 0.0;
    s.waterDepth = s.water ? depthScale * albedo.a : 0.0;

    // Cavity: terrain below its coarse surroundings darkens, bumps never brighten.
    const int coarseLevel = min(max(hit.level, 0) + 3, f.levels - 1);
    const float coarseCell = ldexp(1.0, coarseLevel) * p.origin.w;
    const float coarseHeight = sampleHeight(f, coarseLevel, hit.uvh.x, hit.uvh.y);
    const float heightScale = length(p.axisH.xyz);
    s.cavity = clamp((hit.uvh.z - coarseHeight) * heightScale * 0.8 / coarseCell + 1.0, 0.35, 1.0);
    return s;
}

// Shading normal blended towards the normal of a coarser height gradient.
precise vec3 refineNormal(Hit hit, float weight)
{
    if (hit.prism < 0)
        return hit.normal;
    const Prism p = prisms[hit.prism];
    const FieldDesc f = decodeField(p.info);
    if (f.pixelGrid != 0)
        return hit.normal;
    const int lr = min(max(hit.level, 0) + 2, f.levels - 1);
    const float du = 1.0 / float(levelWidth(f, lr));
    const float dv = 1.0 / float(levelHeight(f, lr));
    const float u = hit.uvh.x, v = hit.uvh.y;
    const float gu = (sampleHeight(f, lr, u + du, v) - sampleHeight(f, lr, u - du, v)) / (2.0 * du);
    const float gv = (sampleHeight(f, lr, u, v + dv) - sampleHeight(f, lr, u, v - dv)) / (2.0 * dv);
    const vec3 tu = p.axisU.xyz + p.axisH.xyz * gu;
    const vec3 tv = p.axisV.xyz + p.axisH.xyz * gv;
    vec3 n = normalizeFloored(cross(tu, tv));
    if (dot(n, hit.normal) < 0.0)
        n = -n;
    return normalizeFloored(hit.normal * (1.0 - weight) + n * weight);
}

precise vec3 lightTerrain(vec3 dir, vec3 normal, vec3 albedo, float cavity, float visibility)
{
    const vec3 sunDir = frame.sunDir.xyz;
    const float ndl = max(dot(normal, sunDir), 0.0);
    const float sun = ndl * visibility;
    const float sunTerm = sun * (0.6 + 0.4 * cavity);
    const float skyTerm = cavity * (0.55 + 0.45 * normal.y);
    vec3 c = albedo * (sunTerm * frame.sunColor.xyz + skyTerm * frame.ambient.xyz);
    const float specular = frame.surface.x;
    if (specular > 0.0) {
        const vec3 view = -dir;
        const vec3 sum = sunDir + view;
        const vec3 halfway = sum * (1.0 / sqrt(max(dot(sum, sum), 1e-30)));
        const float a = powTwoPower(max(dot(normal, halfway), 0.0), 3);
        const float rough = clamp(frame.surface.y + 0.3 * (1.0 - cavity), 0.15, 0.95);
        const float a4 = powTwoPower(a, 2);
        const float lobe = a + (a4 - a) * (1.0 - rough);
        const float m = 1.0 - max(dot(normal, view), 0.0);
        const float m5 = powTwoPower(m, 2) * m;
        const float fresnel = 0.04 + 0.96 * m5;
        c += lobe * fresnel * specular * ndl * visibility * cavity * frame.sunColor.xyz;
    }
    return c;
}

precise vec3 shadeWater(vec3 dir, vec3 normal, vec3 albedo, float sun, float waterDepth, float visibility, bool reflects,
               vec3 reflection)
{
    const float sky = 0.55 + 0.45 * normal.y;
    const vec3 light = sun * frame.sunColor.xyz + sky * frame.ambient.xyz;
    const float dn = dot(dir, normal);
    const float c = max(abs(dn), 0.05);
    const float m = 1.0 - c;
    const float fresnel = 0.02 + 0.98 * (powTwoPower(m, 2) * m);
    const vec3 r = dir - 2.0 * dn * normal;
    const float glow = visibility * sunGlow(max(dot(r, frame.sunDir.xyz), 0.0));
    const vec3 reflected = reflects ? reflection : skyGradient(r.y) + glow * frame.sunColor.xyz;
    // Beer-Lambert absorption down and back up; per-channel absorption times log2(e).
    const float path = (1.0 + 1.0 / c) * waterDepth;
    const vec3 tr = vec3(exp2Poly(-(path * 0.6492127)), exp2Poly(-(path * 0.10820213)), exp2Poly(-(path * 0.050494324)));
    const vec3 body = albedo * light * tr + light * vec3(0.012, 0.04, 0.05) * (1.0 - tr);
    return body * (1.0 - fresnel) + reflected * fresnel;
}

#if QLMR_TRACE_SOLID
// The solid object on the primary ray: a nearer solid hit replaces the field
// hit and its surface; a water surface in front of the object sees it through
// its depth and mirrors it.
void traceSolidPrimary(inout precise Hit hit, Ray ray, inout precise Surface surface, out bool reflects,
                       out precise vec3 reflection)
{
    reflects = false;
    reflection = vec3(0.0);
    if (!solidPresent())
        return;
    const SdnaTraceHit s = traceSolidInstance(ray.origin, ray.dir, 0.0, 1e30, 256u, 0.0001, 0.5 * ray.coneSpread, true);
    hit.iterations += float(s.steps);
    const bool fieldHit = hit.found;
    if (s.status != QLMR_SDNA_STATUS_MISS && (!fieldHit || s.t < hit.t)) {
        hit.found = true;
        hit.t = s.t;
        hit.pos = s.position;
        hit.normal = s.normal;
        hit.offsetNormal = s.normal;
        hit.prism = -1;
        hit.level = 0;
        surface.albedo = solidMaterialColor(s.material);
        surface.cavity = 1.0;
        surface.waterDepth = 0.0;
        surface.water = false;
        return;
    }
    if (!fieldHit || !surface.water)
        return;
    const vec3 n = hit.normal;
    const vec3 d = ray.dir;
    const float nd = dot(n, d);
    if (s.status != QLMR_SDNA_STATUS_MISS) {
        const float seen = (s.t - hit.t) * max(0.05, abs(nd));
        if (surface.waterDepth > seen) {
            surface.waterDepth = seen;
            surface.albedo = solidMaterialColor(s.material);
        }
    }
    const float offset = max(2.0 * ray.coneSpread * hit.t, 0.01);
    const vec3 origin = hit.pos + hit.offsetNormal * offset;
    const vec3 mirrored = d - 2.0 * nd * n;
    const SdnaTraceHit m = traceSolidInstance(origin, mirrored, 0.0, 10000.0, 96u, 0.0005, 0.0, true);
    if (m.status != QLMR_SDNA_STATUS_MISS) {
        reflects = true;
        reflection = reflectedSolidColor(solidMaterialColor(m.material), m.normal);
    }
}
#endif

// The final linear colour of a traced ray.
precise vec3 shadeHit(inout precise Hit hit, Ray ray, float lodScale, bool lit)
{
#if QLMR_TRACE_SOLID
    Surface surface = fetchSurface(hit, ray);
    bool reflects;
    vec3 reflection;
    traceSolidPrimary(hit, ray, surface, reflects, reflection);
    if (!hit.found)
        return skyColor(ray.dir);
#else
    if (!hit.found)
        return skyColor(ray.dir);
    const Surface surface = fetchSurface(hit, ray);
    const bool reflects = false;
    const vec3 reflection = vec3(0.0);
#endif
    const vec3 sunDir = frame.sunDir.xyz;
    const float refine = frame.surface.z;
    const vec3 normal = refine > 0.0 && !surface.water ? refineNormal(hit, refine) : hit.normal;

    float visibility = 1.0;
    if (lit && frame.sunDir.w == 1.0 && dot(hit.normal, sunDir) > 0.0) {
        const float footprint = ray.coneSpread * hit.t;
        const float offset = max(0.01, 2.0 * footprint);
        precise Ray shadow;
        shadow.origin = hit.pos + hit.offsetNormal * offset;
        shadow.dir = sunDir;
        shadow.tmin = 0.0;
        shadow.tmax = 10000.0;
        shadow.coneRadius = footprint;
        shadow.coneSpread = 0.0;
        if (traceShadow(shadow, lodScale))
            visibility = 0.0;
#if QLMR_TRACE_SOLID
        else if (solidPresent() &&
                 traceSolidInstance(shadow.origin, sunDir, 0.0, 10000.0, 96u, 0.0005, 0.0, false).status !=
                     QLMR_SDNA_STATUS_MISS)
            visibility = 0.0;
#endif
    }

    // Debug views: 1 albedo, 2 shading normal, 3 (cavity, sun visibility, water).
    const int debugView = int(frame.camUp.w);
    if (debugView == 1)
        return surface.albedo;
    if (debugView == 2)
        return normal;
    if (debugView == 3)
        return vec3(surface.cavity, visibility, surface.water ? 1.0 : 0.0);

    vec3 c;
    if (!lit) {
        c = surface.albedo;
    } else if (surface.water) {
        const float sun = max(dot(normal, sunDir), 0.0) * visibility;
        c = shadeWater(ray.dir, normal, surface.albedo, sun, surface.waterDepth, visibility, reflects, reflection);
    } else {
        c = lightTerrain(ray.dir, normal, surface.albedo, surface.cavity, visibility);
    }
    const float transmittance = fogTransmittance(ray.origin.y, hit.t, ray.dir.y);
    return c * transmittance + frame.skyHorizon.xyz * (1.0 - transmittance);
}

#endif
