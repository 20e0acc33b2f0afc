#include "content/particles.h"

#include <cmath>
#include <cstdint>
#include <cstring>
#include <gtest/gtest.h>
#include <limits>
#include <random>
#include <stdexcept>
#include <vector>

#include "scene/thread_pool.h"

namespace qlmr::sim {
namespace {

// Caller-side storage behind a Particles view, as the particle pools keep it.
struct ParticleStore {
    std::vector<float> px, py, pz, vx, vy, vz, life;

    void add(Vec3 p, Vec3 v, float seconds)
    {
        px.push_back(p.x);
        py.push_back(p.y);
        pz.push_back(p.z);
        vx.push_back(v.x);
        vy.push_back(v.y);
        vz.push_back(v.z);
        life.push_back(seconds);
    }
    Particles view()
    {
        return {px.size(), px.data(), py.data(), pz.data(), vx.data(), vy.data(), vz.data(), life.data()};
    }
    Vec3 position(size_t i) const { return {px[i], py[i], pz[i]}; }
    Vec3 velocity(size_t i) const { return {vx[i], vy[i], vz[i]}; }
    bool operator==(const ParticleStore&) const = default;
};

// The diorama's frame: an 8 x 8 metre square centred on the origin in the XZ
// plane, 1.6 metres of height along +Y (a left-handed axis set).
Prism groundPrism(uint32_t fieldIndex)
{
    Prism prism;
    prism.origin = {-4.0f, 0.0f, -4.0f};
    prism.axisU = {8.0f, 0.0f, 0.0f};
    prism.axisV = {0.0f, 0.0f, 8.0f};
    prism.axisH = {0.0f, 1.6f, 0.0f};
    prism.fieldIndex = fieldIndex;
    return prism;
}

Scene sceneWith(uint32_t size, const std::vector<uint16_t>& heights)
{
    Scene scene;
    scene.addField(DisplacementField(size, size, std::span<const uint16_t>(heights), true));
    scene.addPrism(groundPrism(0));
    scene.refreshPrisms();
    return scene;
}

constexpr uint16_t kFlatLevel = 32768;
const float kFlatY = 1.6f * (float(kFlatLevel) * 1.5259022e-5f);

Scene flatScene() { return sceneWith(64, std::vector<uint16_t>(64 * 64, kFlatLevel)); }

ParticleSettings noGravity(float restitution, float friction)
{
    ParticleSettings settings;
    settings.gravity = {0.0f, 0.0f, 0.0f};
    settings.restitution = restitution;
    settings.friction = friction;
    return settings;
}

TEST(ParticleStep, EmptySetReturnsZeroWithoutTouchingArrays)
{
    const Scene scene = flatScene();
    Particles none; // every pointer null
    ThreadPool pool(2);
    EXPECT_EQ(step(scene, none, 0.1f, ParticleSettings{}, &pool), 0u);
    EXPECT_EQ(none.count, 0u);
}

// v_n = v0 + n dt g and p_n = p0 + n dt v0 + dt^2 g n (n + 1) / 2: each
// position update uses the velocity already advanced by that step.
TEST(ParticleStep, FallsFreelyByExplicitEulerWithoutPrisms)
{
    const Scene empty;
    ParticleStore store;
    const Vec3 p0{1.0f, 20.0f, -2.0f};
    const Vec3 v0{0.5f, 3.0f, -1.0f};
    store.add(p0, v0, 5.0f);
    ParticleSettings settings;
    settings.gravity = {0.25f, -9.81f, 1.0f};
    Particles particles = store.view();
    const float dt = 0.1f;
    const int n = 10;
    for (int i = 0; i < n; ++i) {
        ASSERT_EQ(step(empty, particles, dt, settings, nullptr), 1u);
    }
    const float t = n * dt;
    const float drop = dt * dt * n * (n + 1) / 2.0f;
    const Vec3 expectedV = v0 + settings.gravity * t;
    const Vec3 expectedP = p0 + v0 * t + settings.gravity * drop;
    for (int axis = 0; axis < 3; ++axis) {
        EXPECT_NEAR(store.velocity(0)[axis], expectedV[axis], 1e-4f) << "axis " << axis;
        EXPECT_NEAR(store.position(0)[axis], expectedP[axis], 1e-4f) << "axis " << axis;
    }
    EXPECT_NEAR(store.life[0], 4.0f, 1e-5f);
}

struct BounceCase {
    float restitution;
    float friction;
    Vec3 velocity; // on arrival, pointing into the ground
};

class ParticleBounce : public ::testing::TestWithParam<BounceCase> {};

// On level ground the normal is +Y: the vertical speed is reversed and scaled
// by the restitution, the horizontal speed loses the friction share, and the
// particle ends exactly on the surface.
TEST_P(ParticleBounce, FlatGroundReflectsNormalSpeedAndDampsTangentialSpeed)
{
    const BounceCase c = GetParam();
    const Scene scene = flatScene();
    ParticleStore store;
    store.add({0.3f, kFlatY + 0.01f, -0.7f}, c.velocity, 1.0f);
    Particles particles = store.view();
    const float dt = 0.05f;
    step(scene, particles, dt, noGravity(c.restitution, c.friction), nullptr);

    EXPECT_NEAR(store.vx[0], c.velocity.x * (1.0f - c.friction), 1e-5f);
    EXPECT_NEAR(store.vy[0], -c.velocity.y * c.restitution, 1e-5f);
    EXPECT_NEAR(store.vz[0], c.velocity.z * (1.0f - c.friction), 1e-5f);
    EXPECT_FLOAT_EQ(store.py[0], kFlatY);
    EXPECT_NEAR(store.px[0], 0.3f + dt * c.velocity.x, 1e-5f);
    EXPECT_NEAR(store.pz[0], -0.7f + dt * c.velocity.z, 1e-5f);
}

INSTANTIATE_TEST_SUITE_P(Settings, ParticleBounce,
                         ::testing::Values(BounceCase{0.3f, 0.4f, {1.0f, -2.0f, 0.0f}},
                                           BounceCase{0.3f, 0.4f, {-0.5f, -4.0f, 1.5f}},
                                           BounceCase{1.0f, 0.0f, {0.2f, -1.0f, -0.2f}},
                                           BounceCase{0.0f, 1.0f, {2.0f, -3.0f, 1.0f}}));

TEST(ParticleStep, BelowTheSurfaceButRisingIsLiftedAndKeepsItsVelocity)
{
    const Scene scene = flatScene();
    ParticleStore store;
    const Vec3 v{0.4f, 0.5f, -0.1f};
    store.add({0.0f, kFlatY - 0.2f, 0.0f}, v, 1.0f);
    Particles particles = store.view();
    step(scene, particles, 0.02f, noGravity(0.3f, 0.4f), nullptr);
    EXPECT_EQ(store.velocity(0), v);
    EXPECT_FLOAT_EQ(store.py[0], kFlatY);
}

struct SlopeCase {
    bool alongU;  // the ground rises along x (u) or along z (v)
    Vec3 normal;  // expected unit normal of the ramp
};

class ParticleSlope : public ::testing::TestWithParam<SlopeCase> {};

// A ramp rising 256 units per sample: 1.6 * 256/65535 metres over 8/64
// metres, a slope of 0.05. A perfectly elastic, frictionless particle falling
// straight down leaves along the mirror image about the ramp's normal, which
// shows that the normal goes through the prism's normal matrix correctly.
TEST_P(ParticleSlope, RampReflectsAboutItsNormal)
{
    const SlopeCase c = GetParam();
    const uint32_t size = 64;
    std::vector<uint16_t> heights(size * size);
    for (uint32_t y = 0; y < size; ++y) {
        for (uint32_t x = 0; x < size; ++x) {
            heights[y * size + x] = uint16_t(16384 + 256 * (c.alongU ? x : y));
        }
    }
    const Scene scene = sceneWith(size, heights);
    const float groundY = scene.fields[0].sampleHeight(0, 0.5f + 0.3f / 8.0f, 0.5f + 0.2f / 8.0f) * 1.6f;
    ParticleStore store;
    store.add({0.3f, groundY + 0.001f, 0.2f}, {0.0f, -1.0f, 0.0f}, 1.0f);
    Particles particles = store.view();
    step(scene, particles, 0.01f, noGravity(1.0f, 0.0f), nullptr);

    const Vec3 n = normalizeSafe(c.normal);
    const Vec3 in{0.0f, -1.0f, 0.0f};
    const Vec3 expected = in - n * (2.0f * dot(n, in));
    for (int axis = 0; axis < 3; ++axis) {
        EXPECT_NEAR(store.velocity(0)[axis], expected[axis], 1e-4f) << "axis " << axis;
    }
    EXPECT_NEAR(store.py[0], groundY, 1e-4f);
}

INSTANTIATE_TEST_SUITE_P(Ramps, ParticleSlope,
                         ::testing::Values(SlopeCase{true, {-0.05f, 1.0f, 0.0f}},
                                           SlopeCase{false, {0.0f, 1.0f, -0.05f}}),
                         [](const auto& info) { return info.param.alongU ? "RisingAlongU" : "RisingAlongV"; });

// Only the prism's local box is solid: beyond uMax the particle falls on.
TEST(ParticleStep, OutsideThePrismBoxNothingCollides)
{
    Scene scene = flatScene();
    scene.prisms[0].uMax = 0.5f;
    scene.refreshPrisms();
    ParticleStore store;
    store.add({-1.0f, kFlatY + 0.001f, 0.0f}, {0.0f, -1.0f, 0.0f}, 1.0f); // u = 0.375: inside
    store.add({1.0f, kFlatY + 0.001f, 0.0f}, {0.0f, -1.0f, 0.0f}, 1.0f);  // u = 0.625: outside
    Particles particles = store.view();
    step(scene, particles, 0.01f, noGravity(0.3f, 0.4f), nullptr);
    EXPECT_FLOAT_EQ(store.py[0], kFlatY);
    EXPECT_NEAR(store.vy[0], 0.3f, 1e-6f);
    EXPECT_NEAR(store.py[1], kFlatY - 0.009f, 1e-5f);
    EXPECT_EQ(store.vy[1], -1.0f);
}

// Water is no floor: a particle falls through a water prism's surface (held
// a quarter metre above the ground here) and comes to rest on the terrain below it.
TEST(ParticleStep, WaterPrismsAreNoFloor)
{
    Scene scene = flatScene();
    const uint16_t waterLevel = uint16_t(kFlatLevel + 10240); // 0.25 m higher
    scene.addField(DisplacementField(64, 64, std::span<const uint16_t>(std::vector<uint16_t>(64 * 64, waterLevel)),
                                     true));
    Prism water = groundPrism(1);
    water.waterDepthScale = 7.5f;
    scene.addPrism(water);
    scene.refreshPrisms();
    const float waterY = 1.6f * (float(waterLevel) * 1.5259022e-5f);

    ParticleStore store;
    store.add({0.5f, waterY - 0.01f, 0.5f}, {0.0f, -1.0f, 0.0f}, 10.0f); // just under the water surface
    store.add({-0.5f, waterY + 0.1f, 0.3f}, {0.0f, 0.0f, 0.0f}, 10.0f);  // above it, falling in
    Particles particles = store.view();
    ParticleSettings settings;
    for (int k = 0; k < 200; ++k) {
        step(scene, particles, 0.01f, settings, nullptr);
    }
    for (size_t i = 0; i < 2; ++i) {
        EXPECT_NEAR(store.py[i], kFlatY, 1e-3f) << "particle " << i;
    }
}

// Past the last sample column the surface follows the field's edge rule: a
// tiling field blends towards column 0 (a high ridge), a clamping one stays
// at the last column's level (0).
TEST(ParticleStep, SurfaceBeyondTheLastColumnFollowsTheEdgeRule)
{
    for (const bool clamp : {true, false}) {
        std::vector<uint16_t> heights(4 * 4, 0);
        for (uint32_t y = 0; y < 4; ++y) {
            heights[y * 4] = 60000;
        }
        Scene scene;
        scene.addField(DisplacementField(4, 4, std::span<const uint16_t>(heights), clamp));
        scene.addPrism(groundPrism(0));
        scene.refreshPrisms();
        ParticleStore store;
        const float startY = 0.4f * 1.6f; // u = 0.875: halfway between column 3 and the one after it
        store.add({3.0f, startY, 0.0f}, {0.0f, 0.0f, 0.0f}, 1.0f);
        Particles particles = store.view();
        step(scene, particles, 0.01f, noGravity(0.3f, 0.4f), nullptr);
        const float expected = clamp ? startY : 0.5f * (60000.0f * 1.5259022e-5f) * 1.6f;
        EXPECT_NEAR(store.py[0], expected, 1e-5f) << (clamp ? "clamping" : "tiling");
    }
}

// A local box far wider than the field: 1024 columns, one raised column,
// the box reaching two million fields to either side along u (one metre
// per u). Far out the surface still follows the edge rule: a clamping field
// continues its edge columns, a tiling one the column the position wraps
// onto, with texel coordinates beyond the 32-bit range.
TEST(ParticleStep, FarBeyondTheFieldTheSurfaceFollowsTheEdgeRule)
{
    constexpr uint32_t kWidth = 1024;
    constexpr uint16_t kRaised = 60000;
    const float raisedY = float(kRaised) * 1.5259022e-5f;
    struct Case {
        bool clamp;
        uint32_t raisedColumn;
        float x; // world x = u, so the texel coordinate is 1024x
        bool lifted;
    };
    const Case cases[] = {
        {false, 256, 2097152.25f, true},   // texel 2^31 + 256 wraps onto column 256
        {false, 256, -2097151.75f, true},  // texel -(2^31) + 256 as well
        {false, 0, 2097152.25f, false},    // and not onto column 0
        {true, kWidth - 1, 2097152.25f, true}, // the last column, far to the right
        {true, kWidth - 1, -2097152.0f, false}, // column 0 far to the left
        {true, 0, -2097152.0f, true},
    };
    for (const Case& c : cases) {
        std::vector<uint16_t> heights(kWidth * 2, 0);
        heights[c.raisedColumn] = kRaised;
        heights[kWidth + c.raisedColumn] = kRaised;
        Scene scene;
        scene.addField(DisplacementField(kWidth, 2, std::span<const uint16_t>(heights), c.clamp));
        Prism prism;
        prism.axisU = {1.0f, 0.0f, 0.0f};
        prism.axisV = {0.0f, 0.0f, 1.0f};
        prism.axisH = {0.0f, 1.0f, 0.0f};
        prism.uMin = -4194304.0f;
        prism.uMax = 4194304.0f;
        scene.addPrism(prism);
        scene.refreshPrisms();
        ParticleStore store;
        store.add({c.x, 0.5f, 0.25f}, {0.0f, 0.0f, 0.0f}, 1.0f);
        Particles particles = store.view();
        step(scene, particles, 0.01f, noGravity(0.3f, 0.4f), nullptr);
        EXPECT_EQ(store.px[0], c.x);
        EXPECT_NEAR(store.py[0], c.lifted ? raisedY : 0.5f, 1e-6f)
            << (c.clamp ? "clamping" : "tiling") << ", raised column " << c.raisedColumn << ", x " << c.x;
    }
}

// A prism whose field is missing is refused before any particle ages or
// moves, by the step and by the single-particle update alike.
TEST(ParticleStep, PrismWithoutItsFieldIsRefusedBeforeAnythingMoves)
{
    Scene scene = flatScene();
    scene.prisms[0].fieldIndex = 1;
    ParticleStore store;
    store.add({0.0f, kFlatY - 0.1f, 0.0f}, {0.0f, -1.0f, 0.0f}, 1.0f);
    const ParticleStore before = store;
    Particles particles = store.view();
    for (const bool single : {false, true}) {
        try {
            if (single) {
                integrateParticle(scene, particles, 0, 0.01f, ParticleSettings{});
            } else {
                step(scene, particles, 0.01f, ParticleSettings{}, nullptr);
            }
            ADD_FAILURE() << "no exception";
        } catch (const std::out_of_range& e) {
            EXPECT_STREQ(e.what(), "invalid vector subscript");
        }
        EXPECT_TRUE(store == before);
        EXPECT_EQ(particles.count, 1u);
    }
}

TEST(ParticleStep, ExpiredParticleIsRemovedWithoutMoving)
{
    const Scene scene = flatScene();
    ParticleStore store;
    const Vec3 p{0.5f, 3.0f, 0.5f};
    const Vec3 v{1.0f, -2.0f, 0.0f};
    store.add(p, v, 0.01f);
    Particles particles = store.view();
    EXPECT_EQ(step(scene, particles, 0.02f, ParticleSettings{}, nullptr), 0u);
    EXPECT_EQ(particles.count, 0u);
    EXPECT_EQ(store.position(0), p);
    EXPECT_EQ(store.velocity(0), v);
    EXPECT_EQ(store.life[0], 0.01f - 0.02f);
}

// Each freed slot takes the last live particle: with particles 0..5 and 1, 3
// and 5 (a NaN life) expiring, slot 1 gets 4 and the survivors read 0, 4, 2.
TEST(ParticleStep, SurvivorsAreCompactedFromTheEnd)
{
    const Scene empty;
    ParticleStore store;
    const float lives[] = {1.0f, 0.01f, 1.0f, 0.01f, 1.0f, std::numeric_limits<float>::quiet_NaN()};
    for (int i = 0; i < 6; ++i) {
        store.add({float(i), 0.0f, 0.0f}, {0.0f, 0.0f, 0.0f}, lives[i]);
    }
    Particles particles = store.view();
    ASSERT_EQ(step(empty, particles, 0.02f, noGravity(0.3f, 0.4f), nullptr), 3u);
    EXPECT_EQ(store.px[0], 0.0f);
    EXPECT_EQ(store.px[1], 4.0f);
    EXPECT_EQ(store.px[2], 2.0f);
    for (int i = 0; i < 3; ++i) {
        EXPECT_FLOAT_EQ(store.life[i], 0.98f);
    }
}

// Rolling hills, 64 samples a side, smooth enough to bounce on.
Scene hillScene()
{
    const uint32_t size = 64;
    std::vector<uint16_t> heights(size * size);
    for (uint32_t y = 0; y < size; ++y) {
        for (uint32_t x = 0; x < size; ++x) {
            const float h = 0.4f + 0.15f * std::sin(float(x) * 0.3f) * std::cos(float(y) * 0.2f);
            heights[y * size + x] = uint16_t(std::lround(h * 65535.0f));
        }
    }
    Scene scene = sceneWith(size, heights);
    // A tilted slab floating above part of the hills, so particles meet two prisms.
    Prism slab = makePrism({-1.0f, 1.2f, -1.0f}, {1.0f, 0.3f, 0.0f}, {0.0f, 0.0f, -1.0f}, 2.0f, 2.0f, 0.2f, 0);
    scene.addPrism(slab);
    scene.refreshPrisms();
    return scene;
}

ParticleStore randomRain(size_t count, uint32_t seed)
{
    std::mt19937 rng(seed);
    std::uniform_real_distribution<float> across(-3.9f, 3.9f);
    std::uniform_real_distribution<float> up(0.7f, 1.6f);
    std::uniform_real_distribution<float> speed(-2.0f, 2.0f);
    std::uniform_real_distribution<float> life(0.05f, 1.5f);
    ParticleStore store;
    for (size_t i = 0; i < count; ++i) {
        store.add({across(rng), up(rng), across(rng)}, {speed(rng), speed(rng), speed(rng)}, life(rng));
    }
    return store;
}

ParticleStore runRain(const Scene& scene, const ParticleStore& start, ThreadPool* pool, size_t& count)
{
    ParticleStore store = start;
    Particles particles = store.view();
    for (int i = 0; i < 8; ++i) {
        step(scene, particles, 1.0f / 60.0f, ParticleSettings{}, pool);
    }
    count = particles.count;
    return store;
}

// Chunks of 2048 on any number of workers give the calling thread's result
// bit for bit, around the chunk threshold and well above it.
TEST(ParticleStep, PoolAndCallerAgreeBitForBit)
{
    const Scene scene = hillScene();
    ThreadPool one(1);
    ThreadPool eight(8);
    for (const size_t count : {size_t(2048), size_t(2049), size_t(12000)}) {
        const ParticleStore start = randomRain(count, uint32_t(count));
        size_t callerCount = 0;
        const ParticleStore caller = runRain(scene, start, nullptr, callerCount);
        EXPECT_LT(callerCount, count) << "nothing expired";
        EXPECT_GT(callerCount, 0u);
        size_t againCount = 0;
        EXPECT_TRUE(runRain(scene, start, nullptr, againCount) == caller) << count;
        for (ThreadPool* pool : {&one, &eight}) {
            size_t pooledCount = 0;
            const ParticleStore pooled = runRain(scene, start, pool, pooledCount);
            EXPECT_EQ(pooledCount, callerCount) << count;
            EXPECT_TRUE(pooled == caller) << count << " particles, " << pool->workerCount() << " workers";
        }
    }
}

// Raining onto the hills for two seconds: whatever the speed, no particle
// inside the terrain prism ends a step below its surface.
TEST(ParticleStep, NeverEndsBelowTheTerrain)
{
    Scene scene = hillScene();
    scene.prisms.resize(1); // the terrain alone, so nothing else moves a particle afterwards
    const Prism& prism = scene.prisms[0];
    const DisplacementField& field = scene.fields[0];
    ParticleStore store = randomRain(4000, 5);
    for (float& life : store.life) {
        life = 10.0f;
    }
    Particles particles = store.view();
    size_t landed = 0;
    for (int frame = 0; frame < 120; ++frame) {
        ASSERT_EQ(step(scene, particles, 1.0f / 60.0f, ParticleSettings{}, nullptr), store.px.size());
        for (size_t i = 0; i < particles.count; ++i) {
            const Vec3 d = store.position(i) - prism.origin;
            const Vec3 local = prism.toLocal[0] * d.x + prism.toLocal[1] * d.y + prism.toLocal[2] * d.z;
            if (local.x < 0.0f || local.x > 1.0f || local.y < 0.0f || local.y > 1.0f) {
                continue;
            }
            const float surface = field.sampleHeight(0, local.x, local.y);
            ASSERT_GE(local.z, surface - 1e-5f) << "particle " << i << " frame " << frame;
            landed += local.z < surface + 1e-5f;
        }
    }
    EXPECT_GT(landed, 1000u) << "the rain never reached the ground";
}

} // namespace
} // namespace qlmr::sim
