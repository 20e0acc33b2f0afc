#include "content/particles.h"

#include <algorithm>
#include <cmath>

#include "scene/thread_pool.h"

namespace qlmr::sim {
namespace {

constexpr size_t kChunkParticles = 2048;
constexpr float kUnitsToHeight = 1.5259022e-5f; // 1 / 65535

// A level-0 index by the field's edge rule, as DisplacementField::texel
// finds it: clamped into the grid or wrapped by masking.
inline int64_t edgeIndex(int32_t i, uint32_t size, bool clamp)
{
    if (clamp) {
        return std::clamp<int64_t>(i, 0, int64_t(size) - 1);
    }
    return int64_t(uint32_t(i) & (size - 1));
}

bool insideBox(Vec3 p, Vec3 lo, Vec3 hi)
{
    return p.x >= lo.x && p.x <= hi.x && p.y >= lo.y && p.y <= hi.y && p.z >= lo.z && p.z <= hi.z;
}

// Puts a particle that sits below the prism's surface back onto it and
// reflects the part of its velocity that points into the surface.
void collideWithPrism(const Prism& prism, const DisplacementField& field, const ParticleSettings& settings,
                      Vec3& p, Vec3& v)
{
    if (!insideBox(p, prism.boundsMin, prism.boundsMax)) {
        return;
    }
    const Vec3 d = p - prism.origin;
    const Vec3 local = prism.toLocal[0] * d.x + prism.toLocal[1] * d.y + prism.toLocal[2] * d.z;
    const float u = local.x;
    const float w = local.y;
    const float h = local.z;
    if (!(u >= prism.uMin && u <= prism.uMax && w >= prism.vMin && w <= prism.vMax && h >= prism.hMin &&
          h <= prism.hMax)) {
        return;
    }

    const float width = float(field.width);
    const float height = float(field.height);
    const float x = u * width;
    const float y = w * height;
    const float floorX = std::floor(x);
    const float floorY = std::floor(y);
    const int32_t x0 = int32_t(floorX);
    const int32_t y0 = int32_t(floorY);
    const float fx = x - floorX;
    const float fy = y - floorY;
    const bool clamp = field.clampEdges;
    const int64_t c0 = edgeIndex(x0, field.width, clamp);
    const int64_t c1 = edgeIndex(x0 + 1, field.width, clamp);
    const uint16_t* row0 = field.heights.data() + edgeIndex(y0, field.height, clamp) * field.width;
    const uint16_t* row1 = field.heights.data() + edgeIndex(y0 + 1, field.height, clamp) * field.width;
    const float h00 = float(row0[c0]) * kUnitsToHeight;
    const float h10 = float(row0[c1]) * kUnitsToHeight;
    const float h01 = float(row1[c0]) * kUnitsToHeight;
    const float h11 = float(row1[c1]) * kUnitsToHeight;
    const float surface = (h00 + (h10 - h00) * fx) * (1.0f - fy) + (h01 + (h11 - h01) * fx) * fy;
    if (h >= surface) {
        return;
    }

    const float du = -(((1.0f - fy) * (h10 - h00) + fy * (h11 - h01)) * width);
    const float dv = -(((1.0f - fx) * (h01 - h00) + fx * (h11 - h10)) * height);
    const Vec3 n = normalizeSafe(prism.normalM[0] * du + prism.normalM[1] * dv + prism.normalM[2]);
    p = prism.origin + prism.axisU * u + prism.axisV * w + prism.axisH * surface;
    const float vn = dot(n, v);
    if (vn < 0.0f) {
        v = (v - n * vn) * (1.0f - settings.friction) - n * (vn * settings.restitution);
    }
}

void advanceRange(const Scene& scene, Particles& particles, size_t begin, size_t end, float dt,
                  const ParticleSettings& settings)
{
    for (size_t i = begin; i < end; ++i) {
        const float life = particles.life[i] - dt;
        particles.life[i] = life;
        // A particle whose life ran out this step stays where it is.
        if (life > 0.0f) {
            integrateParticle(scene, particles, i, dt, settings);
        }
    }
}

void moveParticle(Particles& particles, size_t from, size_t to)
{
    particles.positionX[to] = particles.positionX[from];
    particles.positionY[to] = particles.positionY[from];
    particles.positionZ[to] = particles.positionZ[from];
    particles.velocityX[to] = particles.velocityX[from];
    particles.velocityY[to] = particles.velocityY[from];
    particles.velocityZ[to] = particles.velocityZ[from];
    particles.life[to] = particles.life[from];
}

} // namespace

void integrateParticle(const Scene& scene, Particles& particles, size_t index, float dt,
                       const ParticleSettings& settings)
{
    Vec3 v{particles.velocityX[index], particles.velocityY[index], particles.velocityZ[index]};
    Vec3 p{particles.positionX[index], particles.positionY[index], particles.positionZ[index]};
    v = v + dt * settings.gravity;
    p = p + dt * v;
    for (const Prism& prism : scene.prisms) {
        // A water surface is no floor: what falls in sinks to the ground below.
        if (prism.waterDepthScale > 0.0f) {
            continue;
        }
        collideWithPrism(prism, scene.fields[prism.fieldIndex], settings, p, v);
    }
    particles.positionX[index] = p.x;
    particles.positionY[index] = p.y;
    particles.positionZ[index] = p.z;
    particles.velocityX[index] = v.x;
    particles.velocityY[index] = v.y;
    particles.velocityZ[index] = v.z;
}

size_t step(const Scene& scene, Particles& particles, float dt, const ParticleSettings& settings, ThreadPool* pool)
{
    const size_t count = particles.count;
    if (count == 0) {
        return 0;
    }
    // Small sets stay on the caller rather than waking the pool.
    if (pool != nullptr && count > kChunkParticles) {
        const unsigned chunks = unsigned((count + kChunkParticles - 1) / kChunkParticles);
        pool->run(chunks, [&](unsigned chunk, unsigned) {
            const size_t begin = size_t(chunk) * kChunkParticles;
            advanceRange(scene, particles, begin, std::min(begin + kChunkParticles, count), dt, settings);
        });
    } else {
        advanceRange(scene, particles, 0, count, dt, settings);
    }

    size_t live = count;
    size_t i = 0;
    while (i < live) {
        // A life that is not a number is not greater than 0 either.
        if (!(particles.life[i] > 0.0f)) {
            --live;
            moveParticle(particles, live, i);
        } else {
            ++i;
        }
    }
    particles.count = live;
    return live;
}

} // namespace qlmr::sim
