#include "content/particles.h"

#include <algorithm>
#include <cmath>
#include <stdexcept>

#include "scene/thread_pool.h"

namespace qlmr::sim {
namespace {

constexpr size_t kChunkParticles = 2048;
constexpr float kUnitsToHeight = 1.5259022e-5f; // 1 / 65535

// The two neighbouring level-0 indices a bilinear fetch starting at the
// whole texel coordinate `floorValue` reads, by the field's edge rule, as
// DisplacementField::texel finds them: clamped into the grid or wrapped by
// the (power-of-two) size. The coordinate is brought near the grid while it
// is still a float, so a local box far wider than the field cannot overflow
// the conversion: a clamping field reads its edge beyond it, and fmod, exact
// for whole floats, keeps the column a tiling field wraps onto.
struct TexelPair {
    int64_t first;
    int64_t second;
};

inline TexelPair texelPair(float floorValue, uint32_t size, bool clamp)
{
    const int64_t last = int64_t(size) - 1;
    if (clamp) {
        const int64_t i = int64_t(std::clamp(floorValue, -1.0f, float(size)));
        return {std::clamp<int64_t>(i, 0, last), std::clamp<int64_t>(i + 1, 0, last)};
    }
    const int64_t i = int64_t(std::fmod(floorValue, float(size))) & last;
    return {i, (i + 1) & last};
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
    // No surface at a coordinate beyond float range (a box without bounds).
    if (!std::isfinite(x) || !std::isfinite(y)) {
        return;
    }
    const float floorX = std::floor(x);
    const float floorY = std::floor(y);
    const float fx = x - floorX;
    const float fy = y - floorY;
    const bool clamp = field.clampEdges;
    const TexelPair columns = texelPair(floorX, field.width, clamp);
    const TexelPair rows = texelPair(floorY, field.height, clamp);
    const uint16_t* row0 = field.heights.data() + rows.first * field.width;
    const uint16_t* row1 = field.heights.data() + rows.second * field.width;
    const int64_t c0 = columns.first;
    const int64_t c1 = columns.second;
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

// Every prism's field must exist before any particle reads it; checked on
// the caller, where the exception can reach it, before anything moves.
void checkFieldIndices(const Scene& scene)
{
    for (const Prism& prism : scene.prisms) {
        if (prism.fieldIndex >= scene.fields.size()) {
            throw std::out_of_range("invalid vector subscript");
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
        // Thrown before the particle is stored, so it stays as it was.
        if (prism.fieldIndex >= scene.fields.size()) {
            throw std::out_of_range("invalid vector subscript");
        }
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
    checkFieldIndices(scene);
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
