#include "sdna/tracer.h"

#include <cmath>

#include "sdna/evaluator.h"
#include "sdna/program_interpreter.h"

namespace qlmr {

namespace {

using Vec3 = std::array<float, 3>;

Vec3 pointAlong(const Vec3& o, const Vec3& d, float t) {
    return {o[0] + d[0] * t, o[1] + d[1] * t, o[2] + d[2] * t};
}

// Fills a hit or uncertain result from the last evaluation.
SdnaHit finishHit(const SdnaProgram& program, std::uint8_t status, float t, const Vec3& position,
                  const SdnaSample& sample, std::uint32_t steps, const SdnaTraceOptions& options,
                  const BonePose* pose, std::uint64_t poseCount, const ProgramBounds* bounds) {
    SdnaHit hit;
    hit.hit = status == kSdnaHit;
    hit.status = status;
    hit.t = t;
    hit.position = position;
    hit.material = sample.material;
    hit.distance = sample.distance;
    hit.steps = steps;
    if (options.normals) {
        const SdnaGradientSample g =
            evaluateGradient(program, seedPoint(position), pose, poseCount, bounds);
        const float len = std::sqrt(g.gradient[0] * g.gradient[0] + g.gradient[1] * g.gradient[1] +
                                    g.gradient[2] * g.gradient[2]);
        if (len > 0.0f && std::isfinite(len)) {
            hit.normal = {g.gradient[0] / len, g.gradient[1] / len, g.gradient[2] / len};
        } else {
            hit.normal = {0.0f, 1.0f, 0.0f};
        }
    }
    return hit;
}

SdnaHit missAfter(std::uint32_t steps) {
    SdnaHit miss;
    miss.steps = steps;
    return miss;
}

}  // namespace

float taperedCapsuleDistance(const std::array<float, 3>& x, const std::array<float, 3>& a,
                             float ra, const std::array<float, 3>& b, float rb) {
    using sdna_detail::Vec;
    return sdna_detail::taperedCapsule(Vec<float>{x[0], x[1], x[2]}, Vec<float>{a[0], a[1], a[2]},
                                       ra, Vec<float>{b[0], b[1], b[2]}, rb);
}

bool clipToProgramBox(const SdnaProgram& program, const std::array<float, 3>& origin,
                      const std::array<float, 3>& direction, float& tnear, float& tfar) {
    for (int axis = 0; axis < 3; ++axis) {
        const float o = origin[axis];
        const float d = direction[axis];
        const float lo = program.boundsMin[axis];
        const float hi = program.boundsMax[axis];
        if (std::fabs(d) < 1e-20f) {
            if (o < lo || o > hi) return false;
            continue;
        }
        const float t1 = (lo - o) / d;
        const float t2 = (hi - o) / d;
        tnear = std::fmax(tnear, std::fmin(t1, t2));
        tfar = std::fmin(tfar, std::fmax(t1, t2));
    }
    return tnear <= tfar;
}

SdnaHit traceProgram(const SdnaProgram& program, const std::array<float, 3>& origin,
                     const std::array<float, 3>& direction, float tmin, float tmax,
                     const SdnaTraceOptions& options, const BonePose* pose,
                     std::uint64_t poseCount, const ProgramBounds* bounds) {
    float tnear = tmin;
    float tfar = tmax;
    const bool inBox = clipToProgramBox(program, origin, direction, tnear, tfar);
    if (!inBox || options.maxSteps == 0) return missAfter(0);

    float t = tnear;
    std::uint32_t steps = 0;
    for (;;) {
        const Vec3 position = pointAlong(origin, direction, t);
        const SdnaSample sample = evaluateProgram(program, position, pose, poseCount, bounds);
        ++steps;
        const float distance = sample.distance;
        if (!std::isfinite(distance)) {
            return finishHit(program, kSdnaUncertain, t, position, sample, steps, options, pose,
                             poseCount, bounds);
        }
        if (distance < t * options.epsPerDistance + options.eps) {
            return finishHit(program, kSdnaHit, t, position, sample, steps, options, pose,
                             poseCount, bounds);
        }
        if (t + distance > tfar) return missAfter(steps);
        if (steps == options.maxSteps) {
            return finishHit(program, kSdnaUncertain, t, position, sample, steps, options, pose,
                             poseCount, bounds);
        }
        t += distance;
    }
}

SdnaHit traceInstance(const SdnaInstance& instance, const std::array<float, 3>& origin,
                      const std::array<float, 3>& direction, float tmin, float tmax,
                      const SdnaTraceOptions& options) {
    if (instance.program == nullptr) return missAfter(0);
    const float s = instance.scale;
    const float inverseScale = 1.0f / s;
    const Vec3 offset{origin[0] - instance.translation[0], origin[1] - instance.translation[1],
                      origin[2] - instance.translation[2]};
    const Vec3 rotated = quatRotate(instance.rotation, offset);
    const Vec3 localOrigin{rotated[0] * inverseScale, rotated[1] * inverseScale,
                           rotated[2] * inverseScale};
    const Vec3 localDirection = quatRotate(instance.rotation, direction);
    SdnaHit hit = traceProgram(*instance.program, localOrigin, localDirection, tmin / s, tmax / s,
                               options, instance.pose, instance.poseCount, instance.bounds);
    if (hit.status != kSdnaMiss) {
        hit.t = s * hit.t;
        hit.position = pointAlong(origin, direction, hit.t);
        hit.normal = quatRotateForward(instance.rotation, hit.normal);
    }
    return hit;
}

}  // namespace qlmr
