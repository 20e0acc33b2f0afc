#pragma once

#include <cstddef>

#include "scene/scene.h"
#include "scene/vec3.h"

namespace qlmr {
class ThreadPool;
}

namespace qlmr::sim {

// Non-owning structure-of-arrays view of point particles: `count` live ones
// in the first entries of seven caller-owned arrays. The step writes through
// the pointers and changes `count`.
struct Particles {
    size_t count = 0;
    float* positionX = nullptr;
    float* positionY = nullptr;
    float* positionZ = nullptr;
    float* velocityX = nullptr;
    float* velocityY = nullptr;
    float* velocityZ = nullptr;
    float* life = nullptr; // remaining seconds
};

struct ParticleSettings {
    Vec3 gravity{0.0f, -9.81f, 0.0f}; // metres per second squared
    float restitution = 0.3f;          // share of the normal speed kept, reversed, at a collision
    float friction = 0.4f;             // share of the tangential speed removed at a collision
};

// Ages every particle by dt, moves the ones still alive under gravity and
// bounces them off every solid prism of the scene (water prisms, whose
// waterDepthScale is above 0, are no floor), then removes the expired ones
// by moving the last live particle into each freed slot (survivors change
// order). With a pool and more than 2048 particles the motion runs in chunks
// of 2048 on the pool; the results are the same either way. Returns the new
// count, also stored in `particles.count`. A prism whose field index lies
// past the scene's fields throws std::out_of_range "invalid vector
// subscript" before any particle ages or moves.
size_t step(const Scene& scene, Particles& particles, float dt, const ParticleSettings& settings, ThreadPool* pool);

// Explicit Euler motion of particle `index` (velocity first, then position
// with the new velocity), then, solid prism by solid prism in scene order, a particle
// that ends inside a prism's box below its surface is put back onto the
// surface and, when moving into it, loses the normal speed to restitution
// and the tangential speed to friction. Far outside a field (a local box
// wider than it) the surface follows the field's edge rule at any distance.
// Throws std::out_of_range "invalid vector subscript", leaving the particle
// as it was, for a prism whose field is missing.
void integrateParticle(const Scene& scene, Particles& particles, size_t index, float dt,
                       const ParticleSettings& settings);

} // namespace qlmr::sim
