#pragma once

#include <array>
#include <cstdint>
#include <vector>

#include "content/fluid.h"
#include "content/particles.h"
#include "content/relief_synthesis.h"
#include "scene/height_field.h"
#include "scene/scene.h"
#include "scene/vec3.h"

namespace qlmr {

class ThreadPool;

// Fixed storage for up to `capacity` particles and the simulation's view of
// it; the view always points into this pool's own arrays, also after a copy.
struct ParticlePool {
    explicit ParticlePool(size_t capacity);
    ParticlePool(const ParticlePool& other);
    ParticlePool& operator=(const ParticlePool& other);
    // A moved-from pool holds no storage and no particles, and its view
    // points at nothing, so stepping it cannot reach the pool it moved into.
    ParticlePool(ParticlePool&& other) noexcept;
    ParticlePool& operator=(ParticlePool&& other) noexcept;

    size_t capacity() const { return life.size(); }
    bool full() const { return particles.count >= capacity(); }
    // Appends one particle; false, with nothing stored, when the pool is full.
    bool add(Vec3 position, Vec3 velocity, float lifeSeconds);

    std::vector<float> positionX, positionY, positionZ;
    std::vector<float> velocityX, velocityY, velocityZ;
    std::vector<float> life;
    sim::Particles particles;

private:
    void bindView();
    void release();
};

// Something in flight towards the terrain; the caller fills the list. It
// retires at its impact, when its flight time is over without one (its
// target lies off the island), when it has left the island for good, or when
// its state is not finite.
struct Projectile {
    Vec3 position{};
    Vec3 velocity{};
    Vec3 target{};
    Vec3 direction{}; // x and z are the travel direction handed to the impact
    float remaining = 0.0f; // seconds of flight left
    bool active = true;
};

// The field rectangles that edits changed since the caller last uploaded.
struct PendingFieldUpdate {
    uint32_t field = 0;
    FieldUpdate heights{};
    AlbedoUpdate albedo{};
};

struct WaterSource {
    bool on = false;
    float u = 0.0f;
    float v = 0.0f;
};

// An 8 x 8 metre island (x and z from -4 to 4, y up) of generated terrain with
// a river, flowing water, standing sprite reliefs, impacts that cut craters,
// scorch the ground and throw debris, and particle trails. Every step records
// the field rectangles it changed in `pendingUpdates`, so that a GPU copy can
// be refreshed by rectangles. Driven from one thread; only the fluid and
// particle steps use the thread pool handed in.
class DioramaWorld {
public:
    static constexpr uint32_t kGridSize = 256;
    static constexpr size_t kTexels = size_t(kGridSize) * kGridSize;
    static constexpr size_t kPoolCapacity = 8000;
    enum PoolIndex { Debris = 0, HeavyDebris = 1, Splash = 2, Trail = 3 };

    DioramaWorld();

    // Stands a sprite on the terrain at (x, z), centred on x, its opaque
    // bottom row just below the ground; false, with nothing added, when its
    // relief would be larger than 256 nodes in either direction (also when
    // it would be larger than any field).
    bool placeSprite(const SpriteView& sprite, float x, float z);
    // Refreshes the render scene's prisms and makes the collision scene a deep
    // copy of the render scene. From then on every field edit that markDirty
    // records for the renderer is copied into the collision scene as well.
    void syncCollisionScene();

    // Terrain height in metres at world (x, z); off the island the edge's
    // height at any distance, NaN for a NaN position.
    float heightAt(float x, float z) const;
    void setWaterSource(bool on, float x, float z);
    // Crater, scorch, debris and (when moving over water) splash at (x, z);
    // (dirX, dirZ) is the horizontal travel direction, (0, 0) when still.
    void impact(float x, float z, float dirX, float dirZ);
    void emitTrail(const Projectile& projectile);
    // One simulation step of dt seconds. Projectiles fly and the water
    // source pours only when dt is above 0. A water grid of another size
    // than the terrain, and a dt of +infinity, throw as sim::fluidStep does,
    // before anything changes; a shadow mask of another size than the grid
    // shades nothing.
    void tick(float dt, ThreadPool* pool);
    // The scripted timeline (impacts, the water source) from t to t + dt,
    // then tick. A dt of +infinity throws before any event fires.
    void advance(float t, float dt, ThreadPool* pool);
    // Merges the changed rectangles of one field into pendingUpdates, and
    // copies what they cover into the collision scene's copy of the field;
    // either record may be null.
    void markDirty(uint32_t field, const FieldUpdate* heights, const AlbedoUpdate* albedo);
    // Recomputes the sun-shadow mask over a texel rectangle (ends exclusive),
    // creating the mask, fully lit, when there is none or when the one there
    // does not have one entry per texel.
    void updateShadowMask(int32_t x0, int32_t y0, int32_t x1, int32_t y1);

    Scene scene;          // fields 0 terrain, 1 water, then one per sprite
    Scene collisionScene; // what particles bounce off; empty until syncCollisionScene
    ReliefSynthesizer synthesizer;
    std::vector<uint32_t> baseColour;
    std::vector<float> wetness;
    std::vector<float> burn;
    std::vector<float> flash;
    std::array<float, 3> sunDirection{0.0f, 1.0f, 0.0f};
    std::vector<uint8_t> shadowMask;
    sim::FluidGrid water;
    std::array<ParticlePool, 4> pools;
    std::vector<Projectile> projectiles;
    WaterSource waterSource;
    uint32_t rngState = 42;
    uint32_t fluidSubsteps = 10;
    std::vector<PendingFieldUpdate> pendingUpdates;
    // The next contents of the fields, compared against them after each step.
    std::vector<uint16_t> waterHeights;
    std::vector<uint32_t> terrainAlbedo;
    std::vector<uint32_t> waterAlbedo;

private:
    float random();
    void stampCraters(float u, float v, bool moving, float dirX, float dirZ);
    void scorch(int32_t cx, int32_t cy, bool moving, float dirX, float dirZ);
    void flyProjectiles(float dt);
    void mirrorToCollisionScene(uint32_t field, const FieldUpdate* heights, const AlbedoUpdate* albedo);
    void refreshColours(float dt);
    void uploadChanges();
    static void refuseEndlessStep(float dt);
};

// Five octaves of value noise in [0, 1).
float worldNoise(float x, float y, uint32_t seed);
// Red, green and blue of a towards b by t (clamped to 0..1, NaN as 0), rounded; alpha 255.
uint32_t mixColour(uint32_t a, uint32_t b, float t);
// Grows `into` to cover `add`; an empty addition changes nothing.
void unionRect(FieldRect& into, const FieldRect& add);
// A 256 x 256 clamping field holding the relief's level-0 heights and albedo
// in its top-left corner, zeros elsewhere, with the relief's pixel grid.
DisplacementField padReliefField(const DisplacementField& relief);

} // namespace qlmr
