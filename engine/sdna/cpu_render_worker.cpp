#include "sdna/cpu_render_worker.h"

#include <algorithm>
#include <array>
#include <cmath>

#include "scene/vec3.h"
#include "sdna/brick_tracer.h"
#include "sdna/tracer.h"

namespace qlmr {

namespace {

std::array<float, 3> toArray(Vec3 v) { return {v.x, v.y, v.z}; }
Vec3 toVec(const std::array<float, 3>& a) { return {a[0], a[1], a[2]}; }

// The primary ray: through the job's brick cache when it has one (the cache
// carries its own copy of the program and pose), otherwise exactly.
SdnaHit tracePrimary(const SdnaRenderJob& job, const std::array<float, 3>& origin,
                     const std::array<float, 3>& direction, const SdnaTraceOptions& options,
                     const BonePose* pose, std::uint64_t poseCount) {
    if (job.bricks != nullptr) {
        SdnaHit hit;
        traceBricksLocal(hit, *job.bricks, origin, direction, 0.0f, 50.0f, options, 100000, nullptr,
                         job.brickMode);
        return hit;
    }
    return traceProgram(*job.program, origin, direction, 0.0f, 50.0f, options, pose, poseCount,
                        nullptr);
}

// Reinhard, clamp, sRGB curve, rounded to 8 bits. A channel that overflowed
// to infinity (a valid material may hold colours near the float limit) takes
// the curve's limit 1 instead of inf/inf, and a channel that is not a number
// becomes 0, so the byte conversion below always gets a value in range.
std::uint8_t encodeChannel(float c) {
    c = std::isinf(c) ? 1.0f : c / (c + 1.0f);
    c = c > 0.0f ? std::min(c, 1.0f) : 0.0f;
    c = c <= 0.0031308f ? 12.92f * c : 1.055f * std::pow(c, 0.41666666f) - 0.055f;
    return static_cast<std::uint8_t>(std::floor(c * 255.0f + 0.5f));
}

Vec3 skyColour(Vec3 direction) {
    const float a = std::max(direction.y, 0.0f) * 0.4f + 0.6f;
    const float g = std::max(0.2f - direction.y, 0.0f) * 0.3f;
    return {a * 0.55f + g * 0.9f, a * 0.7f + g * 0.8f, a * 0.95f + g * 0.6f};
}

}  // namespace

void cpuRenderWorker(SdnaRenderJob& job) {
    // A job filled by hand without a program or without one of its output
    // planes has nothing to trace or nowhere to write: it renders and counts
    // nothing, and leaves its rows to no one.
    if (job.program == nullptr || job.colour == nullptr || job.depth == nullptr || job.normal == nullptr ||
        job.steps == nullptr) {
        return;
    }
    const SdnaProgram& program = *job.program;
    const BonePose* pose = (job.pose != nullptr) ? *job.pose : nullptr;
    const std::uint64_t poseCount = (job.poseCount != nullptr) ? *job.poseCount : 0;
    const ProgramCamera& cam = job.camera;
    const std::uint32_t width = job.width;
    const std::uint32_t height = job.height;

    SdnaTraceOptions primary;
    primary.maxSteps = 256;
    primary.eps = 0.0001f;
    primary.epsPerDistance = cam.pixelSpread * 0.5f;
    primary.normals = true;

    SdnaTraceOptions shadow;
    shadow.maxSteps = 96;
    shadow.eps = 0.0005f;
    shadow.epsPerDistance = 0.0f;
    shadow.normals = true;

    const float sunNorm = std::sqrt(1.0125f);
    const Vec3 sun{0.5f / sunNorm, 0.8f / sunNorm, 0.35f / sunNorm};
    const SdnaMaterial fallbackMaterial{};
    const std::array<float, 3> origin = toArray(cam.position);

    std::uint64_t stepSum = 0;
    std::uint64_t uncertainSum = 0;
    for (;;) {
        const std::uint32_t row = job.nextRow.fetch_add(1);
        if (row >= height) break;
        const float v = (1.0f - 2.0f * (static_cast<float>(row) + 0.5f) / static_cast<float>(height)) *
                        cam.tanHalfFov;
        for (std::uint32_t x = 0; x < width; ++x) {
            const float u = (2.0f * (static_cast<float>(x) + 0.5f) / static_cast<float>(width) - 1.0f) *
                            cam.tanHalfFov * cam.aspect;
            const Vec3 ray = cam.forward + cam.right * u + cam.up * v;
            const Vec3 direction = ray / std::sqrt(std::max(dot(ray, ray), 1e-30f));
            const SdnaHit hit = tracePrimary(job, origin, toArray(direction), primary, pose, poseCount);

            Vec3 colour;
            if (hit.status != kSdnaMiss) {
                const Vec3 n = toVec(hit.normal);
                const float ndl = std::max(dot(n, sun), 0.0f);
                float lit = 1.0f;
                if (ndl > 0.0f) {
                    const Vec3 start = toVec(hit.position) + n * 0.002f;
                    const SdnaHit blocker = traceProgram(program, toArray(start), toArray(sun), 0.0f,
                                                         10.0f, shadow, pose, poseCount, nullptr);
                    lit = blocker.status == kSdnaMiss ? 1.0f : 0.0f;
                }
                const float sky = (n.y * 0.5f + 0.5f) * 0.35f;
                const Vec3 half = normalizeSafe(sun - direction);
                const SdnaMaterial& material = hit.material < program.materials.size()
                                                   ? program.materials[hit.material]
                                                   : fallbackMaterial;
                const float m = material.roughness;
                const float spec = std::pow(std::max(dot(n, half), 0.0f), 8.0f / std::max(0.05f, m));
                const float diffuse = lit * ndl * 1.2f;
                const Vec3 albedo{material.red, material.green, material.blue};
                const float highlight = spec * (1.0f - m) * 0.4f * lit;
                colour = {albedo.x * diffuse + albedo.x * sky * 0.45f + highlight,
                          albedo.y * diffuse + albedo.y * sky * 0.55f + highlight,
                          albedo.z * diffuse + albedo.z * sky * 0.75f + highlight};
            } else {
                colour = skyColour(direction);
            }

            const std::size_t index = static_cast<std::size_t>(row) * width + x;
            std::uint8_t* rgba = job.colour + index * 4;
            rgba[0] = encodeChannel(colour.x);
            rgba[1] = encodeChannel(colour.y);
            rgba[2] = encodeChannel(colour.z);
            rgba[3] = 255;
            const bool missed = hit.status == kSdnaMiss;
            job.depth[index] = missed ? 1e30f : hit.t;
            float* nm = job.normal + index * 4;
            nm[0] = hit.normal[0];
            nm[1] = hit.normal[1];
            nm[2] = hit.normal[2];
            nm[3] = missed ? 0.0f : static_cast<float>(hit.material);
            job.steps[index] = static_cast<float>(hit.steps);
            stepSum += hit.steps;
            if (hit.status == kSdnaUncertain) ++uncertainSum;
        }
    }
    job.totalSteps.fetch_add(stepSum);
    job.uncertainPixels.fetch_add(uncertainSum);
}

}  // namespace qlmr
