#include "content/diorama_world.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <gtest/gtest.h>
#include <limits>
#include <memory>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "content/relief_prism.h"
#include "scene/png_writer.h"
#include "scene/thread_pool.h"
#include "support/test_support.h"

namespace qlmr {
namespace {

constexpr uint32_t kSize = DioramaWorld::kGridSize;
constexpr float kFrame = 1.0f / 15.0f;

uint32_t channelOf(uint32_t colour, int c) { return (colour >> (8 * c)) & 0xFFu; }

size_t texelOf(float x, float z)
{
    return size_t(int32_t(256.0f * (z * 0.125f + 0.5f))) * kSize + size_t(int32_t(256.0f * (x * 0.125f + 0.5f)));
}

template <typename T>
bool sameBytes(const std::vector<T>& a, const std::vector<T>& b)
{
    return a.size() == b.size() && (a.empty() || std::memcmp(a.data(), b.data(), a.size() * sizeof(T)) == 0);
}

// ---- helpers ----

TEST(DioramaHelpers, MixColourRoundsPerChannelAndClampsWeight)
{
    struct Case {
        uint32_t a, b;
        float t;
        uint32_t expected;
    };
    const Case cases[] = {
        {0x00000000u, 0x00FFFFFFu, 0.5f, 0xFF808080u},  // 127.5 rounds away from zero
        {0x00102030u, 0x00302010u, 0.25f, 0xFF182028u}, // red 48 -> 40, blue 16 -> 24
        {0x12345678u, 0x00FFFFFFu, -3.0f, 0xFF345678u}, // t clamped to 0, alpha forced to 255
        {0x12345678u, 0x00ABCDEFu, 7.0f, 0xFFABCDEFu},  // t clamped to 1
        {0x000000FFu, 0x00000000u, 0.5f, 0xFF000080u},  // 127.5 from above also rounds up
        {0x12345678u, 0x00ABCDEFu, std::numeric_limits<float>::quiet_NaN(), 0xFF345678u}, // NaN blends nothing
    };
    for (const Case& c : cases) {
        EXPECT_EQ(mixColour(c.a, c.b, c.t), c.expected) << std::hex << c.a << " " << c.b << " " << c.t;
    }
    // Against lroundf of the channel blend on random inputs, half of them with
    // weights k/256 and k/512 that land blends on exact halves.
    std::mt19937 rng(5);
    for (int i = 0; i < 4000; ++i) {
        const uint32_t a = rng(), b = rng();
        const float t = i % 2 == 0 ? std::uniform_real_distribution<float>(-0.5f, 1.5f)(rng)
                                   : float(rng() % 513) / (i % 4 == 1 ? 256.0f : 512.0f);
        const uint32_t mixed = mixColour(a, b, t);
        const float w = std::clamp(t, 0.0f, 1.0f);
        for (int ch = 0; ch < 3; ++ch) {
            const float from = float(channelOf(a, ch));
            const float to = float(channelOf(b, ch));
            ASSERT_EQ(channelOf(mixed, ch), uint32_t(std::lround(from + (to - from) * w))) << a << " " << b << " " << t;
        }
        ASSERT_EQ(channelOf(mixed, 3), 255u);
    }
}

TEST(DioramaHelpers, UnionRectIgnoresEmptyAndCopiesIntoEmpty)
{
    struct Case {
        FieldRect into, add, expected;
    };
    const Case cases[] = {
        {{2, 3, 5, 6}, {0, 0, 0, 0}, {2, 3, 5, 6}},     // empty addition
        {{2, 3, 5, 6}, {9, 9, 4, 12}, {2, 3, 5, 6}},    // inverted addition is empty too
        {{0, 0, 0, 0}, {7, 8, 9, 10}, {7, 8, 9, 10}},   // copied into empty
        {{5, 5, 5, 9}, {7, 8, 9, 10}, {7, 8, 9, 10}},   // zero-width target counts as empty
        {{2, 3, 5, 6}, {4, 1, 9, 4}, {2, 1, 9, 6}},     // union
        {{0, 0, 256, 256}, {3, 3, 4, 4}, {0, 0, 256, 256}},
    };
    for (const Case& c : cases) {
        FieldRect into = c.into;
        unionRect(into, c.add);
        EXPECT_EQ(into, c.expected);
    }
}

TEST(DioramaHelpers, WorldNoiseIsSmoothBoundedAndSeeded)
{
    std::mt19937 rng(9);
    std::uniform_real_distribution<float> coordinate(-40.0f, 40.0f);
    int seedDiffers = 0;
    for (int i = 0; i < 2000; ++i) {
        const float x = coordinate(rng), y = coordinate(rng);
        const float n = worldNoise(x, y, 3);
        ASSERT_GE(n, 0.0f);
        ASSERT_LT(n, 0.97f); // amplitudes sum to 0.96875
        EXPECT_EQ(n, worldNoise(x, y, 3));
        // Smooth fades: a tiny step moves the value by little.
        EXPECT_LT(std::fabs(worldNoise(x + 1e-3f, y, 3) - n), 0.02f);
        seedDiffers += worldNoise(x, y, 4) != n;
    }
    EXPECT_GT(seedDiffers, 1900);
}

// The five octaves written out with 64-bit lattice floors, reduced modulo
// 2^32 for the hash.
float referenceWorldNoise(float x, float y, uint32_t seed)
{
    auto corner = [](uint32_t h) {
        const uint32_t g = (h ^ (h >> 13)) * 1274126177u;
        return float((g >> 16) ^ (g & 0xFFFFFFu)) / 16777215.0f;
    };
    float sum = 0.0f, frequency = 1.0f, amplitude = 0.5f;
    for (uint32_t k = 0; k < 5; ++k) {
        const float px = x * frequency, py = y * frequency;
        const float fx = px - std::floor(px), fy = py - std::floor(py);
        const uint32_t h = uint32_t(int64_t(std::floor(px))) * 374761393u +
                           uint32_t(int64_t(std::floor(py))) * 668265263u - (seed + k) * 2048144777u;
        const float wx = (3.0f - 2.0f * fx) * fx * fx, wy = (3.0f - 2.0f * fy) * fy * fy;
        const float c00 = corner(h), c10 = corner(h + 374761393u), c01 = corner(h + 668265263u),
                    c11 = corner(h + 1043026656u);
        sum += amplitude * ((c00 + (c10 - c00) * wx) * (1.0f - wy) + (c01 + (c11 - c01) * wx) * wy);
        frequency *= 2.03f;
        amplitude *= 0.5f;
    }
    return sum;
}

// Far from the origin, where the octaves' lattice coordinates pass the
// 32-bit range, the noise still hashes the right corners.
TEST(DioramaHelpers, WorldNoiseFarOutHashesItsExactCorners)
{
    const float points[][2] = {{3e9f, 0.25f}, {-3e9f, 7.5f}, {1e12f, -1e12f}, {0.5f, -5e15f}, {2.5e8f, 1.5f}};
    for (const auto& point : points) {
        EXPECT_EQ(worldNoise(point[0], point[1], 3), referenceWorldNoise(point[0], point[1], 3))
            << point[0] << ", " << point[1];
    }
    // Near the origin the reference is the noise itself.
    EXPECT_EQ(worldNoise(1.3f, -2.7f, 9), referenceWorldNoise(1.3f, -2.7f, 9));
}

// ---- particle pool ----

TEST(ParticlePool, CopyPointsAtItsOwnStorage)
{
    ParticlePool original(16);
    original.add({1, 2, 3}, {4, 5, 6}, 7);
    const ParticlePool copy(original);
    EXPECT_EQ(copy.particles.count, 1u);
    EXPECT_EQ(copy.particles.positionX, copy.positionX.data());
    EXPECT_EQ(copy.particles.life, copy.life.data());
    EXPECT_EQ(copy.particles.velocityZ[0], 6.0f);
    EXPECT_NE(copy.particles.positionY, original.particles.positionY);
}

// Moving a pool hands its particles over; the pool left behind is empty and
// its view reaches nothing, so stepping it changes neither pool, and moving
// a pool into itself keeps its particles.
TEST(ParticlePool, MovedFromPoolIsEmptyAndLeavesTheOtherAlone)
{
    const Scene empty;
    const sim::ParticleSettings settings;
    const auto stepLeftBehind = [&](ParticlePool& from, const ParticlePool& to) {
        EXPECT_EQ(from.particles.count, 0u);
        EXPECT_EQ(from.capacity(), 0u);
        EXPECT_FALSE(from.add({0, 0, 0}, {0, 0, 0}, 1));
        EXPECT_EQ(sim::step(empty, from.particles, 0.5f, settings, nullptr), 0u);
        EXPECT_EQ(to.particles.count, 1u);
        EXPECT_EQ(to.particles.positionY, to.positionY.data());
        EXPECT_EQ(to.positionY[0], 2.0f);
        EXPECT_EQ(to.life[0], 7.0f);
    };

    ParticlePool original(16);
    original.add({1, 2, 3}, {4, 5, 6}, 7);
    ParticlePool constructed(std::move(original));
    stepLeftBehind(original, constructed);

    ParticlePool assigned(4);
    assigned = std::move(constructed);
    EXPECT_EQ(assigned.capacity(), 16u);
    stepLeftBehind(constructed, assigned);

    ParticlePool& same = assigned;
    assigned = std::move(same);
    EXPECT_EQ(assigned.capacity(), 16u);
    EXPECT_EQ(assigned.particles.count, 1u);
    EXPECT_EQ(assigned.particles.life, assigned.life.data());
    EXPECT_EQ(assigned.particles.life[0], 7.0f);
}

TEST(ParticlePool, AFullPoolStoresNothingMore)
{
    ParticlePool pool(2);
    EXPECT_TRUE(pool.add({1, 1, 1}, {0, 0, 0}, 1));
    EXPECT_TRUE(pool.add({2, 2, 2}, {0, 0, 0}, 2));
    EXPECT_FALSE(pool.add({3, 3, 3}, {0, 0, 0}, 3));
    EXPECT_EQ(pool.particles.count, 2u);
    EXPECT_EQ(pool.positionX, (std::vector<float>{1, 2}));
    EXPECT_EQ(pool.life, (std::vector<float>{1, 2}));
}

// ---- construction ----

TEST(DioramaWorld, BuildsIslandWithRiverAndWaterSurface)
{
    const DioramaWorld world;
    ASSERT_EQ(world.scene.fields.size(), 2u);
    ASSERT_EQ(world.scene.prisms.size(), 2u);
    const DisplacementField& terrain = world.scene.fields[0];
    const DisplacementField& surface = world.scene.fields[1];
    ASSERT_EQ(terrain.width, kSize);
    ASSERT_EQ(surface.height, kSize);
    ASSERT_EQ(terrain.albedoWidth, kSize);
    for (size_t i = 0; i < DioramaWorld::kTexels; ++i) {
        const float h = terrain.heights[i] / 65535.0f;
        ASSERT_GE(h, 0.02f - 1e-5f);
        ASSERT_LE(h, 0.98f + 1e-5f);
        const float w = surface.heights[i] / 65535.0f;
        ASSERT_NEAR(w, std::max(0.0f, h - 0.004f), 2.0f / 65535.0f);
        ASSERT_EQ(surface.albedoLevel(0)[i], world.baseColour[i] & 0x00FFFFFFu);
        ASSERT_EQ(terrain.albedoLevel(0)[i], world.baseColour[i]);
    }
    // The hill rises near (0.18, 0.2) of the field; the river cuts along v = 0.55.
    EXPECT_GT(world.heightAt((0.18f - 0.5f) * 8.0f, (0.2f - 0.5f) * 8.0f), 0.9f);
    double riverBed = 0.0, riverBank = 0.0;
    for (int i = 0; i < 64; ++i) {
        const float fx = (float(i) + 0.5f) / 64.0f;
        const float fy = 0.55f + 0.12f * std::sin(5.0f * fx);
        riverBed += world.heightAt((fx - 0.5f) * 8.0f, (fy - 0.5f) * 8.0f) / 64.0;
        riverBank += world.heightAt((fx - 0.5f) * 8.0f, (fy + 0.25f - 0.5f) * 8.0f) / 64.0;
    }
    EXPECT_LT(riverBed, riverBank - 0.2);
    EXPECT_FLOAT_EQ(world.heightAt(1.0f, -2.0f), terrain.sampleHeight(0, 0.625f, 0.25f) * 1.6f);

    const Prism& ground = world.scene.prisms[0];
    const Prism& water = world.scene.prisms[1];
    EXPECT_EQ(ground.origin, (Vec3{-4, 0, -4}));
    EXPECT_EQ(ground.axisU, (Vec3{8, 0, 0}));
    EXPECT_EQ(ground.axisV, (Vec3{0, 0, 8}));
    EXPECT_EQ(ground.axisH, (Vec3{0, 1.6f, 0}));
    EXPECT_EQ(water.fieldIndex, 1u);
    EXPECT_EQ(water.uMin, 1.0f / 256.0f);
    EXPECT_EQ(water.vMax, 0.9921875f);
    EXPECT_EQ(water.waterDepthScale, 7.5f);
    EXPECT_EQ(ground.waterDepthScale, 0.0f);
    // Both prisms keep the words of a fresh one until syncCollisionScene
    // refreshes them: identity matrices, unit texel sizes, an empty world box.
    const float inf = std::numeric_limits<float>::infinity();
    const Prism fresh;
    for (const Prism* prism : {&ground, &water}) {
        EXPECT_EQ(prism->toLocal, fresh.toLocal);
        EXPECT_EQ(prism->normalM, fresh.normalM);
        EXPECT_EQ(prism->heightTexelSize, 1.0f);
        EXPECT_EQ(prism->albedoTexelSize, 1.0f);
        EXPECT_EQ(prism->boundsMin, (Vec3{inf, inf, inf}));
        EXPECT_EQ(prism->boundsMax, (Vec3{-inf, -inf, -inf}));
    }
    EXPECT_TRUE(world.pendingUpdates.empty());
    EXPECT_TRUE(world.shadowMask.empty());
}

// ---- determinism ----

struct Snapshot {
    std::vector<float> depth;
    std::vector<sim::FluidFlux> flux;
    std::vector<std::vector<float>> particles;
    std::vector<std::vector<uint16_t>> heights;
    std::vector<std::vector<uint32_t>> bounds, albedo;
    std::vector<float> wetness, burn, flash;
    std::vector<uint8_t> updates;
    uint32_t rng = 0;
};

Snapshot snapshotOf(const DioramaWorld& world)
{
    Snapshot s;
    s.depth = world.water.depth;
    s.flux = world.water.flux;
    for (const ParticlePool& pool : world.pools) {
        const size_t n = pool.particles.count;
        for (const std::vector<float>* column : {&pool.positionX, &pool.positionY, &pool.positionZ,
                                                 &pool.velocityX, &pool.velocityY, &pool.velocityZ, &pool.life}) {
            s.particles.emplace_back(column->begin(), column->begin() + long(n));
        }
    }
    for (const Scene* scene : {&world.scene, &world.collisionScene}) {
        for (const DisplacementField& field : scene->fields) {
            s.heights.push_back(field.heights);
            s.bounds.push_back(field.bounds);
            s.albedo.push_back(field.albedo);
        }
    }
    s.wetness = world.wetness;
    s.burn = world.burn;
    s.flash = world.flash;
    for (const PendingFieldUpdate& record : world.pendingUpdates) {
        const auto* bytes = reinterpret_cast<const uint8_t*>(&record);
        s.updates.insert(s.updates.end(), bytes, bytes + sizeof(record));
    }
    s.rng = world.rngState;
    return s;
}

void expectSame(const Snapshot& a, const Snapshot& b)
{
    EXPECT_TRUE(sameBytes(a.depth, b.depth));
    EXPECT_TRUE(a.flux == b.flux);
    ASSERT_EQ(a.particles.size(), b.particles.size());
    for (size_t i = 0; i < a.particles.size(); ++i) {
        EXPECT_TRUE(sameBytes(a.particles[i], b.particles[i])) << "particle column " << i;
    }
    ASSERT_EQ(a.heights.size(), b.heights.size());
    for (size_t i = 0; i < a.heights.size(); ++i) {
        EXPECT_TRUE(sameBytes(a.heights[i], b.heights[i])) << "field " << i;
        EXPECT_TRUE(sameBytes(a.bounds[i], b.bounds[i])) << "field " << i;
        EXPECT_TRUE(sameBytes(a.albedo[i], b.albedo[i])) << "field " << i;
    }
    EXPECT_TRUE(sameBytes(a.wetness, b.wetness));
    EXPECT_TRUE(sameBytes(a.burn, b.burn));
    EXPECT_TRUE(sameBytes(a.flash, b.flash));
    EXPECT_TRUE(sameBytes(a.updates, b.updates));
    EXPECT_EQ(a.rng, b.rng);
}

// The scripted run of the GPU program's diorama mode, with one projectile.
void runScript(DioramaWorld& world, float until, ThreadPool* pool)
{
    world.syncCollisionScene();
    Projectile shell;
    shell.position = {-3.0f, 2.5f, 1.0f};
    shell.target = {-1.0f, world.heightAt(-1.0f, 1.0f), 1.0f};
    shell.remaining = 0.6f;
    shell.velocity = (shell.target - shell.position) / shell.remaining;
    shell.direction = {1.0f, 0.0f, 0.0f};
    world.projectiles.push_back(shell);
    for (int i = 0; float(i) * kFrame < until; ++i) {
        world.advance(float(i) * kFrame, kFrame, pool);
    }
}

TEST(DioramaWorld, ScriptedRunIsIdenticalOnAnyPool)
{
    auto calling = std::make_unique<DioramaWorld>();
    runScript(*calling, 3.2f, nullptr);
    const Snapshot reference = snapshotOf(*calling);
    // The run did something worth comparing.
    EXPECT_GT(calling->pools[DioramaWorld::Debris].particles.count, 2048u);
    EXPECT_TRUE(calling->projectiles.empty());
    EXPECT_GT(sim::waterVolume(calling->water, 0.03125f), 0.0);

    for (const unsigned workers : {1u, 7u}) {
        ThreadPool pool(workers);
        auto pooled = std::make_unique<DioramaWorld>();
        runScript(*pooled, 3.2f, &pool);
        SCOPED_TRACE("workers " + std::to_string(workers));
        expectSame(reference, snapshotOf(*pooled));
    }
}

// ---- update records ----

// Copies, level by level, what the records name from the live fields into
// the copies; afterwards the copies must equal the live fields.
void applyRecords(const std::vector<PendingFieldUpdate>& records, const Scene& live, Scene& copy)
{
    for (const PendingFieldUpdate& record : records) {
        const DisplacementField& from = live.fields[record.field];
        DisplacementField& to = copy.fields[record.field];
        for (uint32_t level = 0; level < record.heights.levels; ++level) {
            const FieldRect& r = record.heights.heightRects[level];
            const uint32_t w = from.levelWidth(level);
            for (uint32_t y = r.y0; y < r.y1; ++y) {
                for (uint32_t x = r.x0; x < r.x1; ++x) {
                    const size_t i = from.heightOffsets[level] + size_t(y) * w + x;
                    to.heights[i] = from.heights[i];
                }
            }
            const FieldRect& b = record.heights.boundsRects[level];
            for (uint32_t y = b.y0; y < b.y1; ++y) {
                for (uint32_t x = b.x0; x < b.x1; ++x) {
                    const size_t i = from.boundsOffsets[level] + size_t(y) * w + x;
                    to.bounds[i] = from.bounds[i];
                }
            }
        }
        for (uint32_t level = 0; level < record.albedo.levels; ++level) {
            const FieldRect& r = record.albedo.rects[level];
            const uint32_t w = from.albedoLevelWidth(level);
            for (uint32_t y = r.y0; y < r.y1; ++y) {
                for (uint32_t x = r.x0; x < r.x1; ++x) {
                    const size_t i = from.albedoOffsets[level] + size_t(y) * w + x;
                    to.albedo[i] = from.albedo[i];
                }
            }
        }
    }
}

FieldRect diffBox(const uint32_t* a, const uint32_t* b)
{
    FieldRect box{kSize, kSize, 0, 0};
    for (uint32_t y = 0; y < kSize; ++y) {
        for (uint32_t x = 0; x < kSize; ++x) {
            if (a[y * kSize + x] != b[y * kSize + x]) {
                box = {std::min(box.x0, x), std::min(box.y0, y), std::max(box.x1, x + 1), std::max(box.y1, y + 1)};
            }
        }
    }
    return box.empty() ? FieldRect{} : box;
}

TEST(DioramaWorld, UpdateRecordsCoverEveryChange)
{
    auto world = std::make_unique<DioramaWorld>();
    world->syncCollisionScene();
    world->tick(kFrame, nullptr); // the first step rewrites every texel
    world->pendingUpdates.clear();
    Scene copy = world->scene;

    world->impact(-1.0f, 0.5f, 0.6f, -0.8f);
    world->impact(3.9f, -3.95f, 0.0f, 0.0f); // crater clipped by the corner
    world->setWaterSource(true, 1.5f, 1.5f);
    for (int i = 0; i < 8; ++i) {
        world->tick(kFrame, nullptr);
    }
    ASSERT_FALSE(world->pendingUpdates.empty());
    applyRecords(world->pendingUpdates, world->scene, copy);
    for (size_t f = 0; f < copy.fields.size(); ++f) {
        EXPECT_TRUE(sameBytes(copy.fields[f].heights, world->scene.fields[f].heights)) << "field " << f;
        EXPECT_TRUE(sameBytes(copy.fields[f].bounds, world->scene.fields[f].bounds)) << "field " << f;
        EXPECT_TRUE(sameBytes(copy.fields[f].albedo, world->scene.fields[f].albedo)) << "field " << f;
    }
}

TEST(DioramaWorld, StepRecordsTheBoundingBoxOfChangedTexels)
{
    auto world = std::make_unique<DioramaWorld>();
    world->syncCollisionScene();
    world->tick(kFrame, nullptr);
    world->water.depth[100 * kSize + 40] = 0.2f; // a puddle spreading a few texels
    world->pendingUpdates.clear();
    const Scene before = world->scene;
    world->tick(kFrame, nullptr);

    const DisplacementField& surface = world->scene.fields[1];
    std::vector<uint32_t> oldHeights(before.fields[1].heights.begin(), before.fields[1].heights.begin() + 65536);
    std::vector<uint32_t> newHeights(surface.heights.begin(), surface.heights.begin() + 65536);
    const FieldRect heightBox = diffBox(oldHeights.data(), newHeights.data());
    const FieldRect albedoBox = diffBox(before.fields[1].albedoLevel(0), surface.albedoLevel(0));
    ASSERT_FALSE(heightBox.empty());
    EXPECT_LE(heightBox.x1 - heightBox.x0, 40u);

    const PendingFieldUpdate* water = nullptr;
    for (const PendingFieldUpdate& record : world->pendingUpdates) {
        if (record.field == 1) {
            water = &record;
        }
        // No impact: the terrain's heights were not touched.
        if (record.field == 0) {
            EXPECT_TRUE(record.heights.heightRects[0].empty());
            EXPECT_EQ(record.heights.levels, 0u);
        }
    }
    ASSERT_NE(water, nullptr);
    EXPECT_EQ(water->heights.heightRects[0], heightBox);
    EXPECT_EQ(water->albedo.rects[0], albedoBox);
    EXPECT_EQ(water->heights.levels, surface.levels);
}

TEST(DioramaWorld, MarkDirtyMergesPerFieldAndSkipsEmptyRecords)
{
    DioramaWorld world;
    FieldUpdate first;
    first.levels = 9;
    first.heightRects[0] = {10, 10, 20, 20};
    first.heightRects[1] = {5, 5, 10, 10};
    first.boundsRects[1] = {4, 4, 11, 11};
    FieldUpdate second = first;
    second.heightRects[0] = {30, 2, 31, 12};
    second.heightRects[1] = {15, 1, 16, 6};
    second.boundsRects[1] = {};
    FieldUpdate nothing; // empty level 0: ignored even with other levels set
    nothing.levels = 9;
    nothing.heightRects[1] = {0, 0, 128, 128};
    AlbedoUpdate colours;
    colours.levels = 9;
    colours.rects[0] = {1, 2, 3, 4};
    AlbedoUpdate noLevels = colours;
    noLevels.levels = 0;
    noLevels.rects[0] = {0, 0, 256, 256};

    world.markDirty(3, &first, nullptr);
    world.markDirty(1, nullptr, &noLevels);
    world.markDirty(3, &second, &colours);
    world.markDirty(3, &nothing, nullptr);
    ASSERT_EQ(world.pendingUpdates.size(), 2u);
    const PendingFieldUpdate& three = world.pendingUpdates[0];
    EXPECT_EQ(three.field, 3u);
    EXPECT_EQ(three.heights.levels, 9u);
    EXPECT_EQ(three.heights.heightRects[0], (FieldRect{10, 2, 31, 20}));
    EXPECT_EQ(three.heights.heightRects[1], (FieldRect{5, 1, 16, 10}));
    EXPECT_EQ(three.heights.boundsRects[1], (FieldRect{4, 4, 11, 11}));
    EXPECT_EQ(three.albedo.rects[0], (FieldRect{1, 2, 3, 4}));
    const PendingFieldUpdate& one = world.pendingUpdates[1];
    EXPECT_EQ(one.field, 1u);
    EXPECT_EQ(one.albedo.levels, 0u);
    EXPECT_TRUE(one.albedo.rects[0].empty());
}

// A caller's rectangles may reach past the field: the collision copy takes
// what lies inside them, and the pending record keeps them as given.
TEST(DioramaWorld, MarkDirtyBeyondTheFieldCopiesWhatLiesInside)
{
    auto world = std::make_unique<DioramaWorld>();
    world->syncCollisionScene();
    DisplacementField& terrain = world->scene.fields[0];
    for (uint32_t y = 200; y < 256; ++y) {
        for (uint32_t x = 0; x < 256; ++x) {
            terrain.heights[y * 256 + x] = uint16_t(x * 97 + y * 13);
            terrain.albedoLevel(0)[y * 256 + x] = 0xFF000000u | (x * 131 + y);
        }
    }
    FieldUpdate heights;
    heights.levels = terrain.levels;
    heights.heightRects[0] = {0, 200, 256, 5000};
    AlbedoUpdate albedo;
    albedo.levels = terrain.albedoLevels();
    albedo.rects[0] = {0, 200, 4000, 300};
    world->markDirty(0, &heights, &albedo);

    const DisplacementField& copy = world->collisionScene.fields[0];
    for (uint32_t i = 0; i < 65536; ++i) {
        ASSERT_EQ(copy.heights[i], terrain.heights[i]) << i;
        ASSERT_EQ(copy.albedoLevel(0)[i], terrain.albedoLevel(0)[i]) << i;
    }
    ASSERT_EQ(world->pendingUpdates.size(), 1u);
    EXPECT_EQ(world->pendingUpdates[0].heights.heightRects[0], (FieldRect{0, 200, 256, 5000}));
    EXPECT_EQ(world->pendingUpdates[0].albedo.rects[0], (FieldRect{0, 200, 4000, 300}));
}

// ---- particles ----

TEST(DioramaWorld, DebrisStaysOnOrAboveTheTerrain)
{
    auto world = std::make_unique<DioramaWorld>();
    world->syncCollisionScene();
    world->water.depth[texelOf(0.5f, 1.2f)] = 0.05f;
    world->impact(0.5f, 1.2f, -1.0f, 1.0f);
    world->impact(-2.0f, -1.0f, 0.0f, 0.0f);
    ThreadPool pool(3);
    size_t resting = 0;
    for (int i = 0; i < 30; ++i) {
        world->tick(kFrame, &pool);
        for (const ParticlePool& p : world->pools) {
            for (size_t k = 0; k < p.particles.count; ++k) {
                const float x = p.positionX[k], y = p.positionY[k], z = p.positionZ[k];
                if (std::fabs(x) >= 3.99f || std::fabs(z) >= 3.99f) {
                    continue;
                }
                const float ground =
                    world->collisionScene.fields[0].sampleHeight(0, x * 0.125f + 0.5f, z * 0.125f + 0.5f) * 1.6f;
                ASSERT_GE(y, ground - 2e-3f) << "pool particle " << k << " at step " << i;
                resting += y < ground + 2e-3f;
            }
        }
    }
    EXPECT_GT(resting, 1000u); // plenty landed and were held up by the ground
    // The collision terrain carries the same craters.
    EXPECT_TRUE(sameBytes(world->collisionScene.fields[0].heights, world->scene.fields[0].heights));
}

// The collision copy is the render scene's twin through every edit: craters,
// the water surface and the colours that follow them. Water is no floor, so
// debris thrown out of a crater comes to rest on the crater floor, not on the
// water surface as it stood before the crater (which lies well above the floor).
TEST(DioramaWorld, DebrisRestsOnTheCraterFloorThroughEveryEdit)
{
    auto world = std::make_unique<DioramaWorld>();
    world->syncCollisionScene();
    const float x = 1.5f, z = -2.0f; // dry ground
    const float before = world->heightAt(x, z);
    world->impact(x, z, 0.0f, 0.0f);
    ASSERT_LT(world->heightAt(x, z), before - 0.1f);
    size_t resting = 0;
    size_t floating = 0;
    int stepsApart = 0; // steps after which a collision field differed from its render field
    for (int i = 0; i < 40; ++i) {
        world->tick(kFrame, nullptr);
        bool same = true;
        for (uint32_t f = 0; f < 2; ++f) {
            const DisplacementField& copy = world->collisionScene.fields[f];
            const DisplacementField& live = world->scene.fields[f];
            same = same && sameBytes(copy.heights, live.heights) && sameBytes(copy.bounds, live.bounds) &&
                   sameBytes(copy.albedo, live.albedo);
        }
        stepsApart += same ? 0 : 1;
        for (const int index : {DioramaWorld::Debris, DioramaWorld::HeavyDebris}) {
            const ParticlePool& p = world->pools[size_t(index)];
            for (size_t k = 0; k < p.particles.count; ++k) {
                const float px = p.positionX[k], py = p.positionY[k], pz = p.positionZ[k];
                // Inside the crater (radius 10 texels = 0.31 m), nearly still.
                const float speed = std::hypot(p.velocityX[k], p.velocityY[k], p.velocityZ[k]);
                if (std::hypot(px - x, pz - z) > 0.25f || speed > 0.5f) {
                    continue;
                }
                const float ground = world->heightAt(px, pz);
                resting += py < ground + 0.01f;
                floating += py > ground + 0.03f;
            }
        }
    }
    EXPECT_EQ(stepsApart, 0);
    EXPECT_GT(resting, 40u); // counted once per step: debris did come to rest in the crater
    EXPECT_EQ(floating, 0u);
}

TEST(DioramaWorld, PoolsStopFillingAtTheirCapacity)
{
    DioramaWorld world;
    for (int i = 0; i < 5; ++i) {
        world.impact(0.2f * float(i), 0.0f, 0.0f, 0.0f);
    }
    EXPECT_EQ(world.pools[DioramaWorld::Debris].particles.count, 8000u); // 5 x 1650 capped
    EXPECT_EQ(world.pools[DioramaWorld::HeavyDebris].particles.count, 2750u);
    EXPECT_EQ(world.pools[DioramaWorld::Splash].particles.count, 0u);
    const uint32_t rngBefore = world.rngState;
    world.impact(1.0f, 1.0f, 0.0f, 0.0f);
    EXPECT_EQ(world.pools[DioramaWorld::Debris].particles.count, 8000u);
    EXPECT_EQ(world.pools[DioramaWorld::HeavyDebris].particles.count, 3300u);
    EXPECT_NE(world.rngState, rngBefore);

    Projectile p;
    p.position = {0, 3, 0};
    p.velocity = {1, 0, 0};
    for (int i = 0; i < 2700; ++i) {
        world.emitTrail(p);
    }
    EXPECT_EQ(world.pools[DioramaWorld::Trail].particles.count, 8000u);
}

TEST(DioramaWorld, TrailParticlesSitBehindTheProjectile)
{
    DioramaWorld world;
    Projectile p;
    p.position = {1, 2, 3};
    p.velocity = {10, -5, 0};
    world.emitTrail(p);
    const ParticlePool& trail = world.pools[DioramaWorld::Trail];
    ASSERT_EQ(trail.particles.count, 3u);
    for (size_t i = 0; i < 3; ++i) {
        EXPECT_FLOAT_EQ(trail.positionX[i], 1.0f - 0.004f * float(i) * 10.0f);
        EXPECT_FLOAT_EQ(trail.positionY[i], 2.0f + 0.004f * float(i) * 5.0f);
        EXPECT_LE(std::fabs(trail.velocityX[i]), 0.2f);
        EXPECT_GE(trail.velocityY[i], 0.0f);
        EXPECT_GE(trail.life[i], 0.25f);
        EXPECT_LT(trail.life[i], 0.5f);
    }
}

// ---- impacts ----

TEST(DioramaWorld, StillImpactIsRoundWithoutSideCratersOrSplash)
{
    DioramaWorld world;
    const float x = 0.5f / 32.0f, z = 0.5f / 32.0f; // centre of texel (128, 128)
    const size_t centre = 128 * kSize + 128;
    world.water.depth[centre] = 0.1f;
    const std::vector<uint16_t> before = world.scene.fields[0].heights;
    world.impact(x, z, 0.0f, 0.0f);

    EXPECT_EQ(world.pools[DioramaWorld::Splash].particles.count, 0u);
    // Scorch reaches offsets -40..39.
    EXPECT_GT(world.burn[centre - 40], 0.0f);
    EXPECT_EQ(world.burn[centre + 40], 0.0f);
    EXPECT_EQ(world.burn[centre - 41], 0.0f);
    EXPECT_GT(world.burn[centre - 40 * kSize], 0.0f);
    EXPECT_EQ(world.burn[centre + 40 * kSize], 0.0f);
    EXPECT_FLOAT_EQ(world.burn[centre], 1.0f);
    EXPECT_FLOAT_EQ(world.flash[centre + 3], std::exp(-9.0f / 40.0f));
    // Heights change only inside the raise disc of radius 14.
    const std::vector<uint16_t>& after = world.scene.fields[0].heights;
    bool craterLowered = after[centre] < before[centre];
    for (int32_t y = 0; y < int32_t(kSize); ++y) {
        for (int32_t xx = 0; xx < int32_t(kSize); ++xx) {
            const size_t i = size_t(y) * kSize + size_t(xx);
            if ((xx - 128) * (xx - 128) + (y - 128) * (y - 128) > 16 * 16) {
                ASSERT_EQ(after[i], before[i]) << xx << "," << y;
            }
        }
    }
    EXPECT_TRUE(craterLowered);
    // Debris leaves from just above the new crater floor.
    EXPECT_FLOAT_EQ(world.pools[DioramaWorld::Debris].positionY[0], world.heightAt(x, z) + 0.05f);
    ASSERT_EQ(world.pendingUpdates.size(), 1u);
    EXPECT_FALSE(world.pendingUpdates[0].heights.heightRects[0].empty());
}

TEST(DioramaWorld, MovingImpactGougesAlongItsPathAndSplashesWater)
{
    DioramaWorld world;
    const float x = 0.5f / 32.0f, z = 0.5f / 32.0f;
    const size_t centre = 128 * kSize + 128;
    world.water.depth[centre] = 0.1f;
    const std::vector<uint16_t> before = world.scene.fields[0].heights;
    const float surface = world.heightAt(x, z) + 0.1f; // measured before the crater
    world.impact(x, z, 3.0f, 0.0f); // direction is normalised

    const ParticlePool& splash = world.pools[DioramaWorld::Splash];
    ASSERT_EQ(splash.particles.count, 800u);
    for (size_t i = 0; i < splash.particles.count; ++i) {
        ASSERT_FLOAT_EQ(splash.positionY[i], surface + 0.01f); // on the water, not the ground
        ASSERT_LE(std::hypot(splash.positionX[i] - x, splash.positionZ[i] - z), 0.08f + 1e-6f);
    }
    // The forward gouge (12 texels ahead, radius 8) reaches 19 texels out; the
    // still-impact discs stop at 14.
    EXPECT_LT(world.scene.fields[0].heights[centre + 18], before[centre + 18]);
    EXPECT_LT(world.scene.fields[0].heights[centre - 16], before[centre - 16]);
    // Scorch stretched along x: reach 64 along, about 12 across.
    EXPECT_GT(world.burn[centre - 64], 0.0f);
    EXPECT_EQ(world.burn[centre + 64], 0.0f);
    EXPECT_GT(world.burn[centre + 40], world.burn[centre + 40 * kSize] + 0.01f);
    // Debris is pushed along the travel direction on average.
    const ParticlePool& debris = world.pools[DioramaWorld::Debris];
    double meanVx = 0.0;
    for (size_t i = 0; i < debris.particles.count; ++i) {
        meanVx += debris.velocityX[i];
    }
    EXPECT_NEAR(meanVx / double(debris.particles.count), 1.2, 0.15);
}

// Only the direction of (dirX, dirZ) counts, however large or small its
// length: the craters, scorch and debris are those of the unit direction.
TEST(DioramaWorld, ImpactDirectionOfAnyLengthActsAsTheUnitDirection)
{
    const float x = 0.3f, z = -0.6f;
    auto unit = std::make_unique<DioramaWorld>();
    unit->impact(x, z, 0.75f, -1.0f);
    // Powers of two keep the scaled direction exact: squares that overflow,
    // that come out subnormal and that vanish.
    for (const int exponent : {66, 126, -70, -140}) {
        const float scale = std::ldexp(1.0f, exponent);
        auto world = std::make_unique<DioramaWorld>();
        world->impact(x, z, 0.75f * scale, -1.0f * scale);
        SCOPED_TRACE(exponent);
        EXPECT_TRUE(world->scene.fields[0].heights == unit->scene.fields[0].heights);
        EXPECT_TRUE(sameBytes(world->burn, unit->burn));
        EXPECT_TRUE(sameBytes(world->flash, unit->flash));
        for (const int index : {DioramaWorld::Debris, DioramaWorld::HeavyDebris}) {
            const ParticlePool& debris = world->pools[size_t(index)];
            const ParticlePool& expected = unit->pools[size_t(index)];
            EXPECT_EQ(debris.particles.count, expected.particles.count);
            EXPECT_TRUE(sameBytes(debris.velocityX, expected.velocityX)) << "pool " << index;
            EXPECT_TRUE(sameBytes(debris.velocityZ, expected.velocityZ)) << "pool " << index;
        }
    }
}

TEST(DioramaWorld, ProjectileFliesLeavesATrailAndHitsTheGround)
{
    DioramaWorld world;
    Projectile shell;
    shell.position = {-3.0f, 3.0f, 0.0f};
    shell.target = {0.0f, world.heightAt(0.0f, 0.0f), 0.0f};
    shell.remaining = 0.5f;
    shell.velocity = (shell.target - shell.position) / shell.remaining;
    shell.direction = {1.0f, 0.0f, 0.0f};
    world.projectiles.push_back(shell);
    world.tick(0.2f, nullptr);
    ASSERT_EQ(world.projectiles.size(), 1u);
    EXPECT_NEAR(world.projectiles[0].position.x, -3.0f + 0.2f * 6.0f, 1e-4f);
    EXPECT_NEAR(world.projectiles[0].remaining, 0.3f, 1e-6f);
    EXPECT_EQ(world.pools[DioramaWorld::Trail].particles.count, 3u);
    EXPECT_EQ(world.pools[DioramaWorld::Debris].particles.count, 0u);
    for (int i = 0; i < 4 && !world.projectiles.empty(); ++i) {
        world.tick(0.2f, nullptr);
    }
    EXPECT_TRUE(world.projectiles.empty());
    EXPECT_EQ(world.pools[DioramaWorld::Debris].particles.count, 1650u);
    // It struck where its path met the ground, on or before the target.
    EXPECT_GT(world.burn[texelOf(0.0f, 0.0f)] + world.burn[texelOf(-0.2f, 0.0f)], 0.5f);
}

// Every projectile leaves the list: at its impact, when its flight ends off
// the island, once it has left the island for good, or when its state is not
// a number. A retired projectile lays no more trail, so the trail pool drains.
TEST(DioramaWorld, ProjectilesRetireOnceTheyCanNoLongerHitTheIsland)
{
    const float nan = std::numeric_limits<float>::quiet_NaN();
    struct Case {
        const char* name;
        Vec3 position, target;
        float remaining;
        Vec3 velocity; // NaN x: aimed at the target
        bool strikes;
        int listedAfterFirstStep;
    };
    const Case cases[] = {
        {"aimed off the island", {3.0f, 2.0f, 0.0f}, {6.0f, 0.5f, 1.0f}, 0.5f, {nan, 0, 0}, false, 1},
        {"flying away over the edge", {3.9f, 2.0f, 0.0f}, {1003.9f, 2.0f, 0.0f}, 100.0f, {10, 0, 0}, false, 0},
        {"state not a number", {0.0f, 2.0f, 0.0f}, {0.0f, 0.0f, 0.0f}, nan, {0, -1, 0}, false, 0},
        {"coming in from off the island", {-6.0f, 3.0f, 0.5f}, {0.0f, 0.0f, 0.5f}, 0.6f, {nan, 0, 0}, true, 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        DioramaWorld world;
        world.syncCollisionScene();
        Projectile shell;
        shell.position = c.position;
        shell.target = c.target;
        if (c.strikes) {
            shell.target.y = world.heightAt(c.target.x, c.target.z);
        }
        shell.remaining = c.remaining;
        shell.velocity = std::isnan(c.velocity.x) ? (shell.target - shell.position) / c.remaining : c.velocity;
        shell.direction = {1.0f, 0.0f, 0.0f};
        world.projectiles.push_back(shell);
        world.tick(0.1f, nullptr);
        EXPECT_EQ(int(world.projectiles.size()), c.listedAfterFirstStep);
        for (int i = 0; i < 10; ++i) {
            world.tick(0.1f, nullptr);
        }
        EXPECT_TRUE(world.projectiles.empty());
        EXPECT_EQ(world.pools[DioramaWorld::Debris].particles.count, c.strikes ? 1650u : 0u);
        // Trail particles live at most half a second.
        for (int i = 0; i < 8; ++i) {
            world.tick(0.1f, nullptr);
        }
        EXPECT_EQ(world.pools[DioramaWorld::Trail].particles.count, 0u);
    }
}

// ---- water ----

TEST(DioramaWorld, WaterSourcePoursItsVolumeAndFlowKeepsIt)
{
    auto world = std::make_unique<DioramaWorld>();
    world->setWaterSource(true, -2.6f, -2.4f);
    const double perStep = 81.0 * 2.5 * double(kFrame) * 0.03125 * 0.03125; // 81 texels in the disc
    for (int i = 1; i <= 10; ++i) {
        world->tick(kFrame, nullptr);
        ASSERT_NEAR(sim::waterVolume(world->water, 0.03125f), perStep * i, perStep * i * 1e-4);
    }
    world->setWaterSource(false, 0.0f, 0.0f);
    const double poured = sim::waterVolume(world->water, 0.03125f);
    for (int i = 0; i < 10; ++i) {
        world->tick(kFrame, nullptr);
    }
    EXPECT_NEAR(sim::waterVolume(world->water, 0.03125f), poured, poured * 1e-4);
    // It spread beyond the source disc.
    EXPECT_GT(std::count_if(world->water.depth.begin(), world->water.depth.end(), [](float d) { return d > 0.0f; }),
              81);
}

TEST(DioramaWorld, ShallowWaterCountsAsDryAndSurfaceFollowsDepth)
{
    auto world = std::make_unique<DioramaWorld>();
    const size_t dry = 60 * kSize + 60, wet = 200 * kSize + 200;
    world->water.depth[dry] = 0.002f;
    world->water.depth[wet] = 0.1f;
    world->wetness[dry] = 0.5f;
    world->tick(0.0f, nullptr); // no time passes: nothing flows or fades
    EXPECT_EQ(world->wetness[dry], 0.5f);
    EXPECT_EQ(world->wetness[wet], 1.0f);
    const float groundDry = world->scene.fields[0].heights[dry] / 65535.0f;
    const float groundWet = world->scene.fields[0].heights[wet] / 65535.0f;
    EXPECT_EQ(world->scene.fields[1].heights[dry], uint16_t(std::lround(65535.0f * (groundDry - 0.004f))));
    EXPECT_EQ(world->scene.fields[1].heights[wet], uint16_t(std::lround(65535.0f * (groundWet + 0.1f / 1.6f))));
    EXPECT_EQ(world->scene.fields[1].albedoLevel(0)[dry] >> 24, 2u); // round(255 * 0.008)
    EXPECT_EQ(world->scene.fields[1].albedoLevel(0)[wet] >> 24, 102u);
    EXPECT_EQ(world->scene.fields[0].albedoLevel(0)[wet] >> 24, 255u);
    // Wet ground is darker than its base colour.
    EXPECT_LT(channelOf(world->scene.fields[0].albedoLevel(0)[wet], 1), channelOf(world->baseColour[wet], 1));

    world->tick(1.0f, nullptr);
    EXPECT_NEAR(world->wetness[dry], 0.5f * 0.85f, 1e-6f);
}

// Only time passing pours water: a step of no time, back in time or of NaN
// seconds leaves the depths as they are (never negative, never NaN), and a
// source far off the island, or at NaN, pours nothing onto it.
TEST(DioramaWorld, WaterSourcePoursOnlyOnTheIslandAndOnlyForwardInTime)
{
    const float nan = std::numeric_limits<float>::quiet_NaN();
    struct Case {
        float x, z, dt;
    };
    const Case cases[] = {
        {-2.6f, -2.4f, 0.0f}, {-2.6f, -2.4f, -0.25f}, {-2.6f, -2.4f, nan},
        {1e30f, 0.0f, kFrame}, {0.0f, -1e30f, kFrame}, {nan, 0.0f, kFrame}, {0.0f, nan, kFrame},
        {4.5f, 0.0f, kFrame}, // the disc reaches 5 texels: 16 texels off the edge is out of reach
    };
    for (const Case& c : cases) {
        auto world = std::make_unique<DioramaWorld>();
        world->setWaterSource(true, c.x, c.z);
        world->tick(c.dt, nullptr);
        SCOPED_TRACE(testing::Message() << c.x << ", " << c.z << ", dt " << c.dt);
        EXPECT_TRUE(std::all_of(world->water.depth.begin(), world->water.depth.end(), [](float d) { return d == 0.0f; }));
    }
}

// ---- the timeline ----

TEST(DioramaWorld, TimelineFiresEventsInHalfOpenSteps)
{
    struct Case {
        float t, dt;
        bool impact;
        bool source;
    };
    const Case cases[] = {
        {0.25f, 0.25f, false, false}, // ends at the 0.5 event: not yet
        {0.5f, 0.25f, true, false},   // starts on it
        {1.0f, 0.5f, true, false},    // 1.3 inside
        {2.6f, 0.2f, false, false},   // source still off just before 2.8
        {2.8f, 0.1f, false, true},
        {6.9f, 0.05f, false, true},
        {7.0f, 0.1f, false, false},
    };
    for (const Case& c : cases) {
        auto world = std::make_unique<DioramaWorld>();
        world->advance(c.t, c.dt, nullptr);
        SCOPED_TRACE(c.t);
        EXPECT_EQ(world->pools[DioramaWorld::Debris].particles.count > 0, c.impact);
        EXPECT_EQ(world->waterSource.on, c.source);
        EXPECT_EQ(sim::waterVolume(world->water, 0.03125f) > 0.0, c.source);
    }
}

// A step of endless length is refused, by a tick and by the timeline, before
// anything changes: no particle ages or moves, no impact fires, no water
// pours, and the next finite step runs as on a fresh world.
TEST(DioramaWorld, EndlessStepIsRefusedBeforeAnythingChanges)
{
    const float endless = std::numeric_limits<float>::infinity();
    const auto runs = {
        +[](DioramaWorld& world, float dt) { world.tick(dt, nullptr); },
        +[](DioramaWorld& world, float dt) { world.advance(0.0f, dt, nullptr); },
        +[](DioramaWorld& world, float dt) { world.advance(3.0f, dt, nullptr); },
    };
    for (const auto run : runs) {
        auto world = std::make_unique<DioramaWorld>();
        world->setWaterSource(true, -2.6f, -2.4f);
        world->pools[DioramaWorld::Trail].add({0.0f, 5.0f, 0.0f}, {1.0f, 0.0f, 0.0f}, 3.0f);
        try {
            run(*world, endless);
            ADD_FAILURE() << "an endless step was taken";
        } catch (const std::invalid_argument& e) {
            EXPECT_STREQ(e.what(), "fluid time step must be finite");
        }
        EXPECT_EQ(world->pools[DioramaWorld::Trail].particles.count, 1u);
        EXPECT_EQ(world->pools[DioramaWorld::Trail].positionY[0], 5.0f);
        EXPECT_EQ(world->pools[DioramaWorld::Trail].life[0], 3.0f);
        EXPECT_EQ(world->pools[DioramaWorld::Debris].particles.count, 0u);
        EXPECT_EQ(sim::waterVolume(world->water, 0.03125f), 0.0);
        EXPECT_TRUE(std::all_of(world->burn.begin(), world->burn.end(), [](float b) { return b == 0.0f; }));

        world->tick(kFrame, nullptr);
        const double volume = sim::waterVolume(world->water, 0.03125f);
        EXPECT_TRUE(std::isfinite(volume) && volume > 0.0) << volume;
    }
}

// ---- shadows ----

TEST(DioramaWorld, ShadowMaskDarkensTheLeeOfTheHill)
{
    DioramaWorld world;
    world.updateShadowMask(0, 0, 256, 256);
    ASSERT_EQ(world.shadowMask.size(), DioramaWorld::kTexels);
    EXPECT_EQ(std::count(world.shadowMask.begin(), world.shadowMask.end(), 255), 65536); // sun overhead

    const float s = 1.0f / std::sqrt(1.0f + 0.3f * 0.3f);
    world.sunDirection = {s, 0.3f * s, 0.0f}; // low sun from +x
    world.updateShadowMask(-20, -20, 300, 300);
    const auto lit = [&](float x, float z) { return world.shadowMask[texelOf(x, z)]; };
    // The hill top (field 0.18, 0.2) is lit; the ground just west of it lies in its shadow.
    const float hillX = (0.18f - 0.5f) * 8.0f, hillZ = (0.2f - 0.5f) * 8.0f;
    EXPECT_EQ(lit(hillX, hillZ), 255);
    EXPECT_EQ(lit(hillX - 1.0f, hillZ), 0);
    // Texels whose march leaves the island at once stay lit.
    EXPECT_EQ(world.shadowMask[100 * kSize + 255], 255);

    // The mask reaches the terrain albedo's alpha in the next step.
    world.tick(0.0f, nullptr);
    EXPECT_EQ(world.scene.fields[0].albedoLevel(0)[texelOf(hillX - 1.0f, hillZ)] >> 24, 0u);
    EXPECT_EQ(world.scene.fields[0].albedoLevel(0)[texelOf(hillX, hillZ)] >> 24, 255u);
}

// A sun direction that is not finite gives no direction to march in: the
// mask is made, every texel of the rectangle lit, and the update returns.
TEST(DioramaWorld, ShadowMaskOfASunWithoutDirectionIsLit)
{
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const float inf = std::numeric_limits<float>::infinity();
    const std::array<float, 3> suns[] = {{nan, 0.5f, 0.5f}, {0.5f, 0.5f, nan}, {inf, 1.0f, 0.0f}, {1.0f, 0.2f, -inf}};
    for (const auto& sun : suns) {
        DioramaWorld world;
        world.sunDirection = sun;
        world.updateShadowMask(0, 0, 256, 256);
        ASSERT_EQ(world.shadowMask.size(), DioramaWorld::kTexels);
        EXPECT_EQ(std::count(world.shadowMask.begin(), world.shadowMask.end(), 255), 65536)
            << sun[0] << " " << sun[1] << " " << sun[2];
    }
}

// A shadow mask set by hand to another size than the grid is neither read
// nor written past its end: an update starts a fully lit mask of the grid,
// and a step shades nothing through it.
TEST(DioramaWorld, ShadowMaskOfAnotherSizeIsReplacedOrIgnored)
{
    for (const size_t size : {size_t(1), size_t(255), DioramaWorld::kTexels + 7}) {
        SCOPED_TRACE(size);
        auto world = std::make_unique<DioramaWorld>();
        world->shadowMask.assign(size, 0);
        world->tick(kFrame, nullptr);
        EXPECT_TRUE(std::all_of(world->terrainAlbedo.begin(), world->terrainAlbedo.end(),
                                [](uint32_t c) { return c >> 24 == 255u; }));
        world->updateShadowMask(0, 0, 1, 1);
        ASSERT_EQ(world->shadowMask.size(), DioramaWorld::kTexels);
        EXPECT_EQ(std::count(world->shadowMask.begin(), world->shadowMask.end(), 255), 65536);
    }
}

// A water grid set by hand to another size than the terrain is refused by a
// step before anything moves or pours (particles, projectiles, the source),
// and an impact finds no water in it to splash.
TEST(DioramaWorld, WaterGridOfAnotherSizeChangesNothing)
{
    const sim::FluidGrid grids[] = {sim::FluidGrid(128, 128), sim::FluidGrid(8, 8), sim::FluidGrid(256, 128),
                                    sim::FluidGrid(256, 256, std::vector<float>(100, 1.0f))};
    for (const sim::FluidGrid& grid : grids) {
        SCOPED_TRACE(testing::Message() << grid.width << " x " << grid.height << ", " << grid.depth.size());
        auto world = std::make_unique<DioramaWorld>();
        world->water = grid;
        world->pools[DioramaWorld::Debris].add({0.0f, 5.0f, 0.0f}, {1.0f, 0.0f, 0.0f}, 3.0f);
        world->setWaterSource(true, 0.0f, 0.0f);
        EXPECT_THROW(world->tick(kFrame, nullptr), std::invalid_argument);
        EXPECT_EQ(world->pools[DioramaWorld::Debris].positionY[0], 5.0f);
        EXPECT_EQ(world->pools[DioramaWorld::Debris].life[0], 3.0f);
        EXPECT_EQ(world->water.depth, grid.depth);
        EXPECT_TRUE(world->pendingUpdates.empty());

        world->impact(0.0f, 0.0f, 1.0f, 0.0f);
        EXPECT_EQ(world->pools[DioramaWorld::Splash].particles.count, 0u);
    }
}

// ---- positions off the island ----

// Far off the island the terrain continues its edge: the height there is the
// edge texel's, however far out; a NaN position has no height.
TEST(DioramaWorld, HeightFarOffTheIslandIsTheEdgeHeight)
{
    DioramaWorld world;
    struct Case {
        float x, z;
        float nearX, nearZ; // just off the same edge, where the edge texel alone counts
    };
    const Case cases[] = {
        {1e30f, 0.3f, 4.5f, 0.3f},    {-1e30f, 0.3f, -4.5f, 0.3f}, {0.3f, 3e9f, 0.3f, 4.5f},
        {0.3f, -3e9f, 0.3f, -4.5f},   {1e30f, -1e30f, 4.5f, -4.5f}, {-6e8f, 6e8f, -4.5f, 4.5f},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(world.heightAt(c.x, c.z), world.heightAt(c.nearX, c.nearZ)) << c.x << ", " << c.z;
    }
    EXPECT_NE(world.heightAt(1e30f, 0.3f), world.heightAt(-1e30f, 0.3f)) << "both edges read the same texel";
    EXPECT_TRUE(std::isnan(world.heightAt(std::numeric_limits<float>::quiet_NaN(), 0.0f)));
    EXPECT_TRUE(std::isnan(world.heightAt(0.0f, std::numeric_limits<float>::quiet_NaN())));
}

// An impact far off the island (or at NaN) cuts, scorches and shades nothing on it.
TEST(DioramaWorld, ImpactFarOffTheIslandLeavesItUntouched)
{
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const float spots[][2] = {{1e30f, 0.0f}, {-1e30f, 1.0f}, {0.0f, 3e9f}, {nan, 0.0f}, {0.0f, nan}};
    for (const auto& spot : spots) {
        auto world = std::make_unique<DioramaWorld>();
        world->updateShadowMask(0, 0, 1, 1); // creates the mask, so the impact updates it
        const std::vector<uint16_t> terrain = world->scene.fields[0].heights;
        for (const float dirX : {0.0f, 1.0f}) {
            world->impact(spot[0], spot[1], dirX, 0.0f);
        }
        SCOPED_TRACE(testing::Message() << spot[0] << ", " << spot[1]);
        EXPECT_TRUE(world->scene.fields[0].heights == terrain);
        EXPECT_TRUE(std::all_of(world->burn.begin(), world->burn.end(), [](float b) { return b == 0.0f; }));
        EXPECT_TRUE(std::all_of(world->flash.begin(), world->flash.end(), [](float f) { return f == 0.0f; }));
        EXPECT_EQ(std::count(world->shadowMask.begin(), world->shadowMask.end(), 255), 65536);
    }
}

// ---- sprites ----

struct BoxSprite {
    uint32_t width, height;
    std::vector<uint32_t> pixels;
    // An opaque box `boxWidth` pixels wide with one clear pixel around it.
    BoxSprite(uint32_t boxWidth, uint32_t boxHeight)
        : width(boxWidth + 2), height(boxHeight + 2), pixels(size_t(width) * height, 0)
    {
        for (uint32_t y = 1; y <= boxHeight; ++y) {
            for (uint32_t x = 1; x <= boxWidth; ++x) {
                pixels[size_t(y) * width + x] = 0xFF3070C0u + ((x * 7 + y * 3) % 20);
            }
        }
    }
    SpriteView view() const { return {pixels.data(), pixels.size(), width, height, 0}; }
};

TEST(DioramaWorld, PlaceSpriteAcceptsReliefsUpTo256Nodes)
{
    auto world = std::make_unique<DioramaWorld>();
    const BoxSprite wide(127, 10);
    ASSERT_TRUE(world->placeSprite(wide.view(), 1.0f, -1.0f));
    ASSERT_EQ(world->scene.fields.size(), 3u);
    ASSERT_EQ(world->scene.prisms.size(), 4u);
    // 512 nodes across, and 32770 across: too large for the world, and even
    // for any field at all; both are refused the same way.
    for (const uint32_t boxWidth : {128u, 16384u}) {
        const BoxSprite tooWide(boxWidth, 10);
        EXPECT_FALSE(world->placeSprite(tooWide.view(), 1.0f, -1.0f)) << boxWidth;
        EXPECT_EQ(world->scene.fields.size(), 3u);
        EXPECT_EQ(world->scene.prisms.size(), 4u);
    }

    // The padded field carries the relief in its top-left corner.
    ReliefSynthesizer synthesizer{ReliefSettings{}};
    const uint16_t flat = 0;
    DisplacementField relief(1, 1, std::span<const uint16_t>(&flat, 1), true);
    const ReliefInfo info = synthesizer.synthesize(wide.view(), relief);
    const DisplacementField& padded = world->scene.fields[2];
    ASSERT_EQ(padded.width, 256u);
    ASSERT_EQ(padded.height, 256u);
    EXPECT_EQ(padded.pixelGrid, relief.pixelGrid);
    EXPECT_EQ(padded.pixelGridOffsetX, relief.pixelGridOffsetX);
    for (uint32_t y = 0; y < 256; ++y) {
        for (uint32_t x = 0; x < 256; ++x) {
            const bool in = x < relief.width && y < relief.height;
            ASSERT_EQ(padded.heights[y * 256 + x], in ? relief.heights[y * relief.width + x] : 0) << x << "," << y;
            ASSERT_EQ(padded.albedoLevel(0)[y * 256 + x], in ? relief.albedoLevel(0)[y * relief.width + x] : 0u);
        }
    }

    // Same world region as the unpadded prisms; opaque bottom 0.02 below the ground.
    const float ground = world->heightAt(1.0f, -1.0f);
    const Vec3 anchor{1.0f - float(info.spriteWidth) * 0.5f / 48.0f,
                      ground - 0.02f + float(info.opaqueY + info.opaqueHeight) / 48.0f, -1.0f};
    const Prism front = reliefPrism(info, 2, anchor, {1, 0, 0}, {0, -1, 0}, {0, 0, 1}, 1.0f / 48.0f, 1.0f);
    const Prism back = mirroredPrism(front, info);
    const Prism* expected[] = {&front, &back};
    for (int k = 0; k < 2; ++k) {
        const Prism& placed = world->scene.prisms[2 + size_t(k)];
        EXPECT_EQ(placed.fieldIndex, 2u);
        const auto want = prismCorners(*expected[k]);
        const auto got = prismCorners(placed);
        for (int c = 0; c < 8; ++c) {
            for (int a = 0; a < 3; ++a) {
                EXPECT_NEAR(got[size_t(c)][a], want[size_t(c)][a], 1e-5f) << "prism " << k << " corner " << c;
            }
        }
    }
}

TEST(DioramaWorld, PlaceSpriteRejectsAViewOutsideItsPixels)
{
    DioramaWorld world;
    const BoxSprite sprite(8, 8);
    SpriteView view = sprite.view();
    view.count -= 1;
    try {
        world.placeSprite(view, 0.0f, 0.0f);
        FAIL() << "no exception";
    } catch (const std::invalid_argument& error) {
        EXPECT_STREQ(error.what(), "sprite view out of range");
    }
    EXPECT_EQ(world.scene.fields.size(), 2u);
    EXPECT_EQ(world.scene.prisms.size(), 2u);
}

TEST(DioramaWorld, SyncCopiesTheRenderSceneForCollisions)
{
    auto world = std::make_unique<DioramaWorld>();
    const BoxSprite sprite(20, 30);
    ASSERT_TRUE(world->placeSprite(sprite.view(), -2.0f, 1.0f));
    world->syncCollisionScene();
    ASSERT_EQ(world->collisionScene.fields.size(), 3u);
    ASSERT_EQ(world->collisionScene.prisms.size(), 4u);
    EXPECT_TRUE(sameBytes(world->collisionScene.fields[2].heights, world->scene.fields[2].heights));
    // Refreshed prisms carry world bounds.
    EXPECT_LT(world->collisionScene.prisms[0].boundsMin.x, world->collisionScene.prisms[0].boundsMax.x);
    EXPECT_EQ(world->collisionScene.prisms[3].boundsMax, world->scene.prisms[3].boundsMax);
    // A deep copy: cutting the render terrain leaves the copy's storage apart.
    EXPECT_NE(world->collisionScene.fields[0].heights.data(), world->scene.fields[0].heights.data());
}

// ---- picture ----

TEST(DioramaWorld, WritesTopDownPictureOfTerrainAndWater)
{
    auto world = std::make_unique<DioramaWorld>();
    ThreadPool pool(3);
    runScript(*world, 4.5f, &pool);
    std::vector<uint8_t> rgba(size_t(kSize) * kSize * 4);
    for (size_t i = 0; i < DioramaWorld::kTexels; ++i) {
        uint32_t c = world->scene.fields[0].albedoLevel(0)[i];
        const float depth = world->water.depth[i];
        if (depth > 0.002f) {
            c = mixColour(c, 0xFFC07030u, 0.35f + std::min(depth * 8.0f, 0.5f));
        }
        // Shade by height so the relief reads.
        const float shade = 0.55f + 0.45f * (world->scene.fields[0].heights[i] / 65535.0f);
        for (int ch = 0; ch < 3; ++ch) {
            rgba[i * 4 + size_t(ch)] = uint8_t(float(channelOf(c, ch)) * shade);
        }
        rgba[i * 4 + 3] = 255;
    }
    const std::string path = (test::artifactDir("content") / "diorama_world.png").string();
    ASSERT_TRUE(writePng(path, kSize, kSize, rgba));
    EXPECT_EQ(test::decodeImage(path).width, int(kSize));
}

} // namespace
} // namespace qlmr
