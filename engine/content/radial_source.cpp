#include "content/radial_source.h"

#include <algorithm>
#include <cmath>

namespace qlmr {

namespace {

constexpr int bisectionSteps = 40;

// A channel in [0, 1] as a byte, rounded; NaN (a shade from parameters that
// are not numbers) clamps to 0 like any value below the range.
std::uint8_t unitToByte(float v)
{
    const float unit = v > 0.0f ? std::min(v, 1.0f) : 0.0f;
    return static_cast<std::uint8_t>(std::round(unit * 255.0f));
}

} // namespace

float radialStepBound(const RadialSourceParams& params)
{
    // The noise's slope grows with the amplitude-weighted mean frequency of
    // its octaves; the displacement acts on a sphere of at least
    // radius - amplitude.
    float weightedFrequency = 0.0f;
    float weights = 0.0f;
    float a = 1.0f;
    float f = params.frequency;
    for (int i = 0; i < params.octaves; ++i) {
        weightedFrequency += a * f;
        weights += a;
        a *= 0.5f;
        f *= 2.0f;
    }
    const float mean = weightedFrequency / weights;
    return params.amplitude * mean * 6.5f * 1.6f / std::max(params.radius - params.amplitude, 0.001f) + 1.0f;
}

namespace {

// The march of radialExit for an origin whose distance is already known.
float exitFrom(const RadialSourceParams& params, Vec3 o, float originDistance, Vec3 d, float maxT)
{
    if (originDistance >= 0.0f) {
        return 0.0f;
    }
    if (maxT <= 0.0f) {
        return maxT;
    }
    const float k = radialStepBound(params);
    const float minStep = params.radius * 1e-5f;
    float t = 0.0f;
    float tPrev = 0.0f;
    for (;;) {
        const float distance = radialDistance(params, o + d * t);
        if (distance >= 0.0f) {
            break;
        }
        // A NaN distance or step would never reach maxT, and neither would a
        // step too small to change t: the ray cannot be followed any further.
        const float next = t + std::max(-distance / k, minStep);
        if (!std::isfinite(distance) || !(next > t)) {
            return maxT;
        }
        tPrev = t;
        t = next;
        if (t >= maxT) {
            return maxT;
        }
    }
    float lo = tPrev;
    float hi = t;
    for (int step = 0; step < bisectionSteps; ++step) {
        const float mid = (lo + hi) / 2.0f;
        // Once lo and hi are neighbouring floats the midpoint is one of
        // them and every further step would leave both as they are.
        if (mid == lo || mid == hi) {
            break;
        }
        if (radialDistance(params, o + d * mid) >= 0.0f) {
            hi = mid;
        } else {
            lo = mid;
        }
    }
    return hi;
}

} // namespace

float radialExit(const RadialSourceParams& params, Vec3 o, Vec3 d, float maxT)
{
    return exitFrom(params, o, radialDistance(params, o), d, maxT);
}

void RadialSource::sample(BakeHit& out, const float origin[3], const float dir[3], float maxT, bool wantColor) const
{
    const Vec3 o{origin[0], origin[1], origin[2]};
    const Vec3 d{dir[0], dir[1], dir[2]};
    out = BakeHit{};
    const float originDistance = radialDistance(*params, o);
    out.originOutside = originDistance >= 0.0f;
    out.t = exitFrom(*params, o, originDistance, d, maxT);
    if (!wantColor) {
        return;
    }
    const Vec3 p = o + d * out.t;
    const float grain = std::sin(91.0f * p.x) * std::sin(77.0f * p.y) * std::sin(63.0f * p.z);
    const float displacement = radialNoise(*params, normalizeSafe(p), params->octaves);
    const float s = std::clamp(displacement * 0.5f / std::max(params->amplitude, 1e-6f) + 0.5f, 0.0f, 1.0f);
    out.color[0] = unitToByte(0.22f + 0.2f * s + 0.04f * grain);
    out.color[1] = unitToByte(0.19f + 0.16f * s + 0.03f * grain);
    out.color[2] = unitToByte(0.16f + 0.12f * s);
}

float RadialSource::maxDistance(float inset) const { return (inset + params->amplitude) * 4.0f + params->radius * 0.5f; }

ShellBakeStats bakeRadialShells(Scene& scene, const QuadCage& cage, const RadialSourceParams& params,
                                const ShellBakeOptions& options, ThreadPool& pool)
{
    const RadialSource source(params);
    return bakeShells(scene, cage, source, options, pool);
}

} // namespace qlmr
