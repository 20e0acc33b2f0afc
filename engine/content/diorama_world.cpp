#include "content/diorama_world.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <span>
#include <stdexcept>
#include <string_view>

#include "content/height_stamp.h"
#include "content/noise.h"
#include "content/relief_prism.h"
#include "scene/thread_pool.h"

namespace qlmr {

namespace {

constexpr float kTwoPi = 6.2831853f;
constexpr float kHeightScale = 1.6f;     // metres of the full field height
constexpr float kPixelSize = 1.0f / 48.0f; // metres per sprite pixel
constexpr int32_t kGrid = int32_t(DioramaWorld::kGridSize);

float worldToField(float coordinate) { return coordinate * 0.125f + 0.5f; }

// The texel row or column int(256 * coordinate) of a field coordinate. Every
// position far off the island (NaN included) becomes one distant texel, from
// which no scorch, water source or shadow update reaches the grid, so the
// conversion cannot overflow and the neighbourhood arithmetic stays small.
int32_t texelOf(float fieldCoordinate)
{
    constexpr float kFar = 65536.0f;
    const float texel = 256.0f * fieldCoordinate;
    return texel > -kFar && texel < kFar ? int32_t(texel) : -int32_t(kFar);
}

// Terrain height (0 to 1) at field coordinates (u, v). The terrain clamps its
// edges, so well beyond them every position reads the edge exactly (the
// texel coordinate is whole there); bringing a coordinate to within 2^22
// fields of the grid first keeps sampleHeight's integer conversion in range
// without changing a result. NaN has no height.
float terrainHeight(const DisplacementField& terrain, float u, float v)
{
    if (std::isnan(u) || std::isnan(v)) {
        return std::numeric_limits<float>::quiet_NaN();
    }
    constexpr float kFarFields = 4194304.0f; // 2^22
    return terrain.sampleHeight(0, std::clamp(u, -kFarFields, kFarFields), std::clamp(v, -kFarFields, kFarFields));
}

uint32_t channel(uint32_t colour, int index) { return (colour >> (8 * index)) & 0xFFu; }

uint32_t noiseCorner(uint32_t h)
{
    const uint32_t g = (h ^ (h >> 13)) * 1274126177u;
    return (g >> 16) ^ (g & 0xFFFFFFu);
}

float noiseOctave(float px, float py, uint32_t seed)
{
    const float flx = std::floor(px);
    const float fly = std::floor(py);
    // The hash works modulo 2^32, so the lattice coordinates enter it as
    // their values modulo 2^32, exact however far out the point lies.
    const uint32_t ix = latticeWord(flx);
    const uint32_t iy = latticeWord(fly);
    const float fx = px - flx;
    const float fy = py - fly;
    const uint32_t h = ix * 374761393u + iy * 668265263u - seed * 2048144777u;
    const float c00 = float(noiseCorner(h)) / 16777215.0f;
    const float c10 = float(noiseCorner(h + 374761393u)) / 16777215.0f;
    const float c01 = float(noiseCorner(h + 668265263u)) / 16777215.0f;
    const float c11 = float(noiseCorner(h + 1043026656u)) / 16777215.0f;
    const float wx = (3.0f - 2.0f * fx) * fx * fx;
    const float wy = (3.0f - 2.0f * fy) * fy * fy;
    return (c00 + (c10 - c00) * wx) * (1.0f - wy) + (c01 + (c11 - c01) * wx) * wy;
}

// lroundf for values at or above 0, without the library call: the fraction
// x - trunc(x) is exact, so halves go up exactly as lroundf sends them.
uint32_t roundNonNegative(float value)
{
    // Below a half (NaN included) the result is 0.
    if (!(value >= 0.5f)) {
        return 0;
    }
    const uint32_t whole = uint32_t(value);
    return value - float(whole) >= 0.5f ? whole + 1 : whole;
}

uint32_t withAlpha(uint32_t colour, uint32_t alpha) { return (colour & 0x00FFFFFFu) | (alpha << 24); }

// The bounding box of the texels where `next` differs from `current`.
template <typename T>
FieldRect changedRect(const T* current, const std::vector<T>& next)
{
    FieldRect rect{DioramaWorld::kGridSize, DioramaWorld::kGridSize, 0, 0};
    for (uint32_t y = 0; y < DioramaWorld::kGridSize; ++y) {
        const size_t row = size_t(y) * DioramaWorld::kGridSize;
        uint32_t first = DioramaWorld::kGridSize;
        uint32_t last = 0;
        for (uint32_t x = 0; x < DioramaWorld::kGridSize; ++x) {
            if (current[row + x] != next[row + x]) {
                first = std::min(first, x);
                last = x + 1;
            }
        }
        if (first < last) {
            rect.x0 = std::min(rect.x0, first);
            rect.x1 = std::max(rect.x1, last);
            rect.y0 = std::min(rect.y0, y);
            rect.y1 = y + 1;
        }
    }
    return rect;
}

template <typename T>
void copyRect(T* current, const std::vector<T>& next, const FieldRect& rect)
{
    for (uint32_t y = rect.y0; y < rect.y1; ++y) {
        const size_t row = size_t(y) * DioramaWorld::kGridSize;
        std::copy(next.begin() + row + rect.x0, next.begin() + row + rect.x1, current + row + rect.x0);
    }
}

} // namespace

// ---- free helpers ----

float worldNoise(float x, float y, uint32_t seed)
{
    float sum = 0.0f;
    float frequency = 1.0f;
    float amplitude = 0.5f;
    for (uint32_t k = 0; k < 5; ++k) {
        sum += amplitude * noiseOctave(x * frequency, y * frequency, seed + k);
        frequency *= 2.03f;
        amplitude *= 0.5f;
    }
    return sum;
}

uint32_t mixColour(uint32_t a, uint32_t b, float t)
{
    // A NaN weight blends nothing in, as a weight of 0.
    const float weight = t > 0.0f ? std::min(t, 1.0f) : 0.0f;
    if (weight == 0.0f) {
        return a | 0xFF000000u; // every channel stays exactly as it is
    }
    uint32_t result = 0xFF000000u;
    for (int c = 0; c < 3; ++c) {
        const float from = float(channel(a, c));
        const float to = float(channel(b, c));
        // A blend of two channel values never drops below 0.
        result |= roundNonNegative(from + (to - from) * weight) << (8 * c);
    }
    return result;
}

void unionRect(FieldRect& into, const FieldRect& add)
{
    if (add.empty()) {
        return;
    }
    if (into.empty()) {
        into = add;
        return;
    }
    into.x0 = std::min(into.x0, add.x0);
    into.y0 = std::min(into.y0, add.y0);
    into.x1 = std::max(into.x1, add.x1);
    into.y1 = std::max(into.y1, add.y1);
}

DisplacementField padReliefField(const DisplacementField& relief)
{
    const uint32_t size = DioramaWorld::kGridSize;
    std::vector<uint16_t> heights(DioramaWorld::kTexels, 0);
    const uint32_t w = std::min(relief.width, size);
    const uint32_t h = std::min(relief.height, size);
    for (uint32_t y = 0; y < h; ++y) {
        const uint16_t* source = relief.heights.data() + relief.heightOffsets[0] + size_t(y) * relief.width;
        std::copy(source, source + w, heights.begin() + size_t(y) * size);
    }
    DisplacementField padded(size, size, std::span<const uint16_t>(heights), true);

    std::vector<uint32_t> albedo(DioramaWorld::kTexels, 0);
    if (relief.albedoLevels() > 0) {
        const uint32_t aw = std::min(relief.albedoWidth, size);
        const uint32_t ah = std::min(relief.albedoHeight, size);
        for (uint32_t y = 0; y < ah; ++y) {
            const uint32_t* source = relief.albedoLevel(0) + size_t(y) * relief.albedoWidth;
            std::copy(source, source + aw, albedo.begin() + size_t(y) * size);
        }
    }
    padded.setAlbedo(size, size, albedo);
    padded.pixelGrid = relief.pixelGrid;
    padded.pixelGridOffsetX = relief.pixelGridOffsetX;
    padded.pixelGridOffsetY = relief.pixelGridOffsetY;
    return padded;
}

// ---- particle pool ----

ParticlePool::ParticlePool(size_t capacity)
    : positionX(capacity, 0.0f), positionY(capacity, 0.0f), positionZ(capacity, 0.0f),
      velocityX(capacity, 0.0f), velocityY(capacity, 0.0f), velocityZ(capacity, 0.0f), life(capacity, 0.0f)
{
    bindView();
}

ParticlePool::ParticlePool(const ParticlePool& other)
    : positionX(other.positionX), positionY(other.positionY), positionZ(other.positionZ),
      velocityX(other.velocityX), velocityY(other.velocityY), velocityZ(other.velocityZ), life(other.life)
{
    bindView();
    particles.count = other.particles.count;
}

ParticlePool& ParticlePool::operator=(const ParticlePool& other)
{
    if (this != &other) {
        positionX = other.positionX;
        positionY = other.positionY;
        positionZ = other.positionZ;
        velocityX = other.velocityX;
        velocityY = other.velocityY;
        velocityZ = other.velocityZ;
        life = other.life;
        bindView();
        particles.count = other.particles.count;
    }
    return *this;
}

ParticlePool::ParticlePool(ParticlePool&& other) noexcept
{
    *this = std::move(other);
}

ParticlePool& ParticlePool::operator=(ParticlePool&& other) noexcept
{
    // Moving a pool into itself keeps it as it is; moving the vectors onto
    // themselves would empty them under a view that still counts particles.
    if (this != &other) {
        positionX = std::move(other.positionX);
        positionY = std::move(other.positionY);
        positionZ = std::move(other.positionZ);
        velocityX = std::move(other.velocityX);
        velocityY = std::move(other.velocityY);
        velocityZ = std::move(other.velocityZ);
        life = std::move(other.life);
        bindView();
        particles.count = other.particles.count;
        other.release();
    }
    return *this;
}

// Leaves an empty pool behind: no storage, no particles, a view of nothing.
void ParticlePool::release()
{
    for (std::vector<float>* array : {&positionX, &positionY, &positionZ, &velocityX, &velocityY, &velocityZ, &life}) {
        array->clear();
    }
    particles = sim::Particles{};
}

void ParticlePool::bindView()
{
    particles.positionX = positionX.data();
    particles.positionY = positionY.data();
    particles.positionZ = positionZ.data();
    particles.velocityX = velocityX.data();
    particles.velocityY = velocityY.data();
    particles.velocityZ = velocityZ.data();
    particles.life = life.data();
}

bool ParticlePool::add(Vec3 position, Vec3 velocity, float lifeSeconds)
{
    if (full()) {
        return false;
    }
    const size_t i = particles.count++;
    positionX[i] = position.x;
    positionY[i] = position.y;
    positionZ[i] = position.z;
    velocityX[i] = velocity.x;
    velocityY[i] = velocity.y;
    velocityZ[i] = velocity.z;
    life[i] = lifeSeconds;
    return true;
}

// ---- construction ----

DioramaWorld::DioramaWorld()
    : synthesizer(ReliefSettings{}), baseColour(kTexels, 0), wetness(kTexels, 0.0f), burn(kTexels, 0.0f),
      flash(kTexels, 0.0f), water(kGridSize, kGridSize),
      pools{ParticlePool(kPoolCapacity), ParticlePool(kPoolCapacity), ParticlePool(kPoolCapacity),
            ParticlePool(kPoolCapacity)},
      waterHeights(kTexels, 0), terrainAlbedo(kTexels, 0), waterAlbedo(kTexels, 0)
{
    std::vector<float> heights(kTexels);
    for (int32_t y = 0; y < kGrid; ++y) {
        for (int32_t x = 0; x < kGrid; ++x) {
            const float fx = (float(x) + 0.5f) / 256.0f;
            const float fy = (float(y) + 0.5f) / 256.0f;
            const float bend = ((fy - 0.55f) - 0.12f * std::sin(5.0f * fx)) / 0.09f;
            const float river = 0.22f * std::exp(-(bend * bend));
            const float hill =
                0.36f * std::exp(-((fy - 0.2f) * (fy - 0.2f) + (fx - 0.18f) * (fx - 0.18f)) / 0.03f);
            const float base = 0.22f * worldNoise(4.0f * fx, 4.0f * fy, 3) + 0.3f;
            heights[size_t(y) * kGridSize + x] = std::clamp(base + hill - river, 0.02f, 0.98f);
        }
    }

    const auto heightAtTexel = [&](int32_t x, int32_t y) {
        return heights[size_t(std::clamp(y, 0, kGrid - 1)) * kGridSize + size_t(std::clamp(x, 0, kGrid - 1))];
    };
    for (int32_t y = 0; y < kGrid; ++y) {
        for (int32_t x = 0; x < kGrid; ++x) {
            const float gx = heightAtTexel(x + 1, y) - heightAtTexel(x - 1, y);
            const float gy = heightAtTexel(x, y + 1) - heightAtTexel(x, y - 1);
            const float slope = std::sqrt(gx * gx + gy * gy) * 1.6f * 16.0f;
            const float h = heightAtTexel(x, y);
            uint32_t c = mixColour(0xFF22622Eu, 0xFF2E885Cu, worldNoise(0.11f * float(x), 0.11f * float(y), 9));
            c = mixColour(c, 0xFF6094AAu, (0.24f - h) * 12.0f);
            c = mixColour(c, 0xFF505860u, (slope - 0.55f) * 3.0f);
            baseColour[size_t(y) * kGridSize + x] = c;
        }
    }

    DisplacementField terrain(kGridSize, kGridSize, std::span<const float>(heights), true);
    terrain.setAlbedo(kGridSize, kGridSize, baseColour);
    scene.addField(std::move(terrain));

    std::vector<float> waterLevel(kTexels);
    std::vector<uint32_t> waterColour(kTexels);
    for (size_t i = 0; i < kTexels; ++i) {
        waterLevel[i] = std::max(0.0f, heights[i] - 0.004f);
        waterColour[i] = baseColour[i] & 0x00FFFFFFu;
    }
    DisplacementField surface(kGridSize, kGridSize, std::span<const float>(waterLevel), true);
    surface.setAlbedo(kGridSize, kGridSize, waterColour);
    scene.addField(std::move(surface));

    Prism ground;
    ground.origin = {-4.0f, 0.0f, -4.0f};
    ground.axisU = {8.0f, 0.0f, 0.0f};
    ground.axisV = {0.0f, 0.0f, 8.0f};
    ground.axisH = {0.0f, 1.6f, 0.0f};
    ground.fieldIndex = 0;
    // Empty world boxes until syncCollisionScene refreshes the prisms.
    const float infinity = std::numeric_limits<float>::infinity();
    ground.boundsMin = {infinity, infinity, infinity};
    ground.boundsMax = {-infinity, -infinity, -infinity};
    scene.addPrism(ground);

    Prism surfacePrism = ground;
    surfacePrism.fieldIndex = 1;
    surfacePrism.uMin = 1.0f / 256.0f;
    surfacePrism.vMin = 1.0f / 256.0f;
    surfacePrism.uMax = 0.9921875f;
    surfacePrism.vMax = 0.9921875f;
    surfacePrism.waterDepthScale = 7.5f;
    scene.addPrism(surfacePrism);
}

// ---- sprites and scenes ----

bool DioramaWorld::placeSprite(const SpriteView& sprite, float x, float z)
{
    const uint16_t flat = 0;
    DisplacementField relief(1, 1, std::span<const uint16_t>(&flat, 1), true);
    ReliefInfo info;
    try {
        info = synthesizer.synthesize(sprite, relief);
    } catch (const std::invalid_argument& error) {
        // A relief beyond the largest field is refused by the synthesizer
        // before it is built; it is far wider than 256 nodes, so it is
        // refused here like any other relief too large for the world.
        if (std::string_view(error.what()) == "field too large") {
            return false;
        }
        throw;
    }
    if (relief.width > kGridSize || relief.height > kGridSize) {
        return false;
    }
    const uint32_t fieldIndex = uint32_t(scene.addField(padReliefField(relief)));

    const float ground = terrainHeight(scene.fields[0], worldToField(x), worldToField(z));
    const Vec3 anchor{x - float(info.spriteWidth) * 0.5f / 48.0f,
                      ground * kHeightScale - 0.02f + float(info.opaqueY + info.opaqueHeight) / 48.0f, z};
    const Prism front = reliefPrism(info, fieldIndex, anchor, Vec3{1.0f, 0.0f, 0.0f}, Vec3{0.0f, -1.0f, 0.0f},
                                    Vec3{0.0f, 0.0f, 1.0f}, kPixelSize, 1.0f);
    const Prism back = mirroredPrism(front, info);

    // The padded field is larger than the relief: stretch the axes and shrink
    // the box in step so the prism still covers the same world region.
    const float stretchU = 256.0f / float(relief.width);
    const float stretchV = 256.0f / float(relief.height);
    for (Prism prism : {front, back}) {
        prism.axisU = prism.axisU * stretchU;
        prism.axisV = prism.axisV * stretchV;
        prism.uMin /= stretchU;
        prism.uMax /= stretchU;
        prism.vMin /= stretchV;
        prism.vMax /= stretchV;
        scene.addPrism(prism);
    }
    return true;
}

void DioramaWorld::syncCollisionScene()
{
    scene.refreshPrisms();
    collisionScene.fields = scene.fields;
    collisionScene.prisms = scene.prisms;
    collisionScene.refreshPrisms();
}

float DioramaWorld::heightAt(float x, float z) const
{
    return terrainHeight(scene.fields[0], worldToField(x), worldToField(z)) * kHeightScale;
}

void DioramaWorld::setWaterSource(bool on, float x, float z)
{
    waterSource.on = on;
    waterSource.u = worldToField(x);
    waterSource.v = worldToField(z);
}

// ---- impacts, trails and randomness ----

float DioramaWorld::random()
{
    rngState = rngState * 1664525u + 1013904223u;
    return float(rngState >> 8) * 5.9604645e-8f;
}

void DioramaWorld::stampCraters(float u, float v, bool moving, float dirX, float dirZ)
{
    std::vector<StampParams> stamps;
    stamps.push_back({u, v, 14.0f, 0.03f, 1, 0.0f});
    stamps.push_back({u, v, 10.0f, 0.13f, 0, 0.0f});
    if (moving) {
        // Gouges behind and ahead of the hit, slightly to either side.
        for (int k = -1; k <= 1; k += 2) {
            const float along = k < 0 ? -10.0f : 12.0f;
            const float side = float(k) * 1.5f;
            stamps.push_back({u + (along * dirX - side * dirZ) / 256.0f, v + (side * dirX + along * dirZ) / 256.0f,
                              8.0f, k < 0 ? 0.065f : 0.05f, 0, 0.0f});
        }
    }
    // markDirty carries every stamp into the collision terrain as well.
    for (const StampParams& stamp : stamps) {
        const FieldUpdate update = stampHeight(scene.fields[0], stamp);
        markDirty(0, &update, nullptr);
    }
}

void DioramaWorld::scorch(int32_t cx, int32_t cy, bool moving, float dirX, float dirZ)
{
    const int32_t reach = moving ? 64 : 40;
    for (int32_t dy = -reach; dy < reach; ++dy) {
        const int32_t ty = cy + dy;
        if (ty < 0 || ty >= kGrid) {
            continue;
        }
        for (int32_t dx = -reach; dx < reach; ++dx) {
            const int32_t tx = cx + dx;
            if (tx < 0 || tx >= kGrid) {
                continue;
            }
            float r2;
            if (moving) {
                // Stretched along the travel direction.
                const float along = float(dx) * dirX + float(dy) * dirZ;
                const float across = float(dy) * dirX - float(dx) * dirZ;
                r2 = along * along / 3.24f + across * across;
            } else {
                r2 = float(dx * dx + dy * dy);
            }
            const size_t i = size_t(ty) * kGridSize + size_t(tx);
            burn[i] = std::max(burn[i], std::exp(-r2 / 160.0f));
            flash[i] = std::max(flash[i], std::exp(-r2 / 40.0f));
        }
    }
}

void DioramaWorld::impact(float x, float z, float dirX, float dirZ)
{
    const float u = worldToField(x);
    const float v = worldToField(z);
    const int32_t cx = texelOf(u);
    const int32_t cy = texelOf(v);
    // The squares of a direction above about 1e19 overflow and those below
    // about 1e-19 lose their precision or vanish, which would make a fast hit
    // lose its direction and a slow one count as still; such a direction is
    // brought near unit size first (any other length is left as it is).
    const float larger = std::max(std::fabs(dirX), std::fabs(dirZ));
    constexpr float kLargeDirection = 1.1529215e18f; // 2^60
    constexpr float kSmallDirection = 8.6736174e-19f; // 2^-60
    if ((larger > kLargeDirection || (larger > 0.0f && larger < kSmallDirection)) && std::isfinite(larger)) {
        dirX /= larger;
        dirZ /= larger;
    }
    const float speed = std::sqrt(dirX * dirX + dirZ * dirZ);
    const bool moving = speed > 0.0f;
    if (moving) {
        dirX /= speed;
        dirZ /= speed;
    }
    const bool inside = cx >= 0 && cx < kGrid && cy >= 0 && cy < kGrid;
    float depth = 0.0f;
    float splashLevel = 0.0f;
    // A water grid set by hand to another size has no depth for this texel.
    const bool waterGrid = water.width == kGridSize && water.height == kGridSize && water.depth.size() == kTexels;
    if (moving && inside && waterGrid) {
        depth = water.depth[size_t(cy) * kGridSize + size_t(cx)];
        if (depth > 0.005f) {
            splashLevel = terrainHeight(scene.fields[0], u, v) * kHeightScale + depth;
        }
    }

    stampCraters(u, v, moving, dirX, dirZ);
    scorch(cx, cy, moving, dirX, dirZ);
    if (!shadowMask.empty()) {
        updateShadowMask(cx - 48, cy - 48, cx + 48, cy + 48);
    }

    const float groundY = terrainHeight(scene.fields[0], u, v) * kHeightScale + 0.05f;
    const float pushX = moving ? 1.2f * dirX : 0.0f;
    const float pushZ = moving ? 1.2f * dirZ : 0.0f;
    for (int k = 0; k < 2200; ++k) {
        const bool heavy = k % 4 == 0;
        ParticlePool& pool = pools[heavy ? HeavyDebris : Debris];
        if (pool.full()) {
            continue;
        }
        const float r1 = random();
        const float r2 = random();
        const float r3 = random();
        const float r4 = random();
        const float angle = kTwoPi * r1;
        const float rise = 4.0f * r2 + 2.5f;
        const float outward = 2.2f * r3 + 0.6f;
        Vec3 velocity{std::cos(angle) * outward, rise, std::sin(angle) * outward};
        if (moving) {
            velocity.x += pushX;
            velocity.z += pushZ;
        }
        pool.add({x, groundY, z}, velocity, heavy ? 0.6f * r4 + 0.4f : 2.0f * r4 + 2.0f);
    }

    if (depth > 0.005f) {
        ParticlePool& pool = pools[Splash];
        for (int k = 0; k < 800 && !pool.full(); ++k) {
            const float r1 = random();
            const float r2 = random();
            const float r3 = random();
            const float r4 = random();
            const float r5 = random();
            const float angle = kTwoPi * r1;
            const float radius = 0.08f * std::sqrt(r2);
            const float outward = 1.6f * r3 + 0.4f;
            const float c = std::cos(angle);
            const float s = std::sin(angle);
            pool.add({x + c * radius, splashLevel + 0.01f, z + s * radius},
                     {c * outward + pushX, 2.5f * r4 + 1.5f, s * outward + pushZ}, 0.8f * r5 + 0.8f);
        }
    }
}

void DioramaWorld::emitTrail(const Projectile& projectile)
{
    ParticlePool& pool = pools[Trail];
    for (int i = 0; i < 3 && !pool.full(); ++i) {
        const float t = 0.004f * float(i);
        const Vec3 position = projectile.position - t * projectile.velocity;
        const float vx = (random() - 0.5f) * 0.4f;
        const float vy = random() * 0.4f;
        const float vz = (random() - 0.5f) * 0.4f;
        pool.add(position, {vx, vy, vz}, 0.25f * random() + 0.25f);
    }
}

// ---- stepping ----

namespace {

bool finite(Vec3 v) { return std::isfinite(v.x) && std::isfinite(v.y) && std::isfinite(v.z); }

bool insideIsland(Vec3 p) { return std::fabs(p.x) <= 4.0f && std::fabs(p.z) <= 4.0f; }

// Off the island, flying on away from it, towards a target that is off the
// island too: a straight flight never comes back over the terrain.
bool leftTheWorld(const Projectile& projectile)
{
    const Vec3& p = projectile.position;
    const Vec3& v = projectile.velocity;
    const bool away = (p.x > 4.0f && v.x >= 0.0f) || (p.x < -4.0f && v.x <= 0.0f) || (p.z > 4.0f && v.z >= 0.0f) ||
                      (p.z < -4.0f && v.z <= 0.0f);
    return away && !insideIsland(projectile.target);
}

// The walk tests 64 points per metre; a segment longer than a kilometre (far
// more than the island) is walked in no more than this many.
constexpr float kMaxWalkParts = 65536.0f;

} // namespace

void DioramaWorld::flyProjectiles(float dt)
{
    for (size_t p = 0; p < projectiles.size(); ++p) {
        if (!projectiles[p].active) {
            continue;
        }
        Projectile& projectile = projectiles[p];
        // A flight that cannot be followed ends here, without an impact.
        if (std::isnan(projectile.remaining) || !finite(projectile.position) || !finite(projectile.velocity) ||
            !finite(projectile.target)) {
            projectile.active = false;
            continue;
        }
        const float step = std::min(projectile.remaining, dt);
        const bool arrives = step == projectile.remaining;
        const Vec3 start = projectile.position;
        const Vec3 end = arrives ? projectile.target : start + step * projectile.velocity;
        const float walk = std::ceil(64.0f * length(end - start));
        const uint32_t parts = walk >= 1.0f ? uint32_t(std::min(walk, kMaxWalkParts)) : 1u;
        for (uint32_t k = 1; k <= parts; ++k) {
            projectile.position = start + (float(k) / float(parts)) * (end - start);
            const Vec3 at = projectile.position;
            if (std::fabs(at.x) > 4.0f || std::fabs(at.z) > 4.0f) {
                continue;
            }
            if (heightAt(at.x, at.z) >= at.y || (k == parts && arrives)) {
                impact(at.x, at.z, projectile.direction.x, projectile.direction.z);
                projectile.active = false;
                break;
            }
        }
        projectile.remaining -= step;
        // A flight that ended off the island, or that has left it for good,
        // retires without an impact.
        if (projectile.active && (arrives || leftTheWorld(projectile))) {
            projectile.active = false;
        }
        if (projectile.active) {
            emitTrail(projectile);
        }
    }
    std::erase_if(projectiles, [](const Projectile& p) { return !p.active; });
}

void DioramaWorld::refreshColours(float dt)
{
    const float wetFade = std::pow(0.85f, dt);
    const float flashFade = std::pow(0.15f, dt);
    const uint16_t* terrain = scene.fields[0].heights.data() + scene.fields[0].heightOffsets[0];
    for (size_t i = 0; i < kTexels; ++i) {
        const float depth = water.depth[i];
        const float ground = float(terrain[i]) / 65535.0f;
        const bool wet = depth > 0.002f;
        wetness[i] = wet ? 1.0f : wetness[i] * wetFade;
        flash[i] = flash[i] * flashFade;
        const float level = wet ? ground + depth / 1.6f : ground - 0.004f;
        waterHeights[i] = uint16_t(roundNonNegative(65535.0f * std::clamp(level, 0.0f, 1.0f)));

        uint32_t c = mixColour(baseColour[i], 0xFF1E2228u, 0.85f * burn[i]);
        const uint32_t soaked = uint32_t(float(channel(c, 0)) * 0.5f) | (uint32_t(float(channel(c, 1)) * 0.55f) << 8) |
                                (uint32_t(float(channel(c, 2)) * 0.6f) << 16) | 0xFF000000u;
        c = mixColour(c, soaked, wetness[i]);
        c = mixColour(c, 0xFF2896FFu, flash[i]);
        terrainAlbedo[i] = withAlpha(c, shadowMask.size() == kTexels ? shadowMask[i] : 255u);
        waterAlbedo[i] = withAlpha(c, roundNonNegative(255.0f * std::clamp(4.0f * depth, 0.0f, 1.0f)));
    }
}

void DioramaWorld::uploadChanges()
{
    DisplacementField& terrain = scene.fields[0];
    DisplacementField& surface = scene.fields[1];

    FieldRect rect = changedRect(terrain.albedoLevel(0), terrainAlbedo);
    if (!rect.empty()) {
        copyRect(terrain.albedoLevel(0), terrainAlbedo, rect);
        const AlbedoUpdate update = terrain.updateAlbedoRect(rect);
        markDirty(0, nullptr, &update);
    }
    uint16_t* surfaceHeights = surface.baseHeights().data();
    rect = changedRect(static_cast<const uint16_t*>(surfaceHeights), waterHeights);
    if (!rect.empty()) {
        copyRect(surfaceHeights, waterHeights, rect);
        const FieldUpdate update = surface.updateRect(rect);
        markDirty(1, &update, nullptr);
    }
    rect = changedRect(surface.albedoLevel(0), waterAlbedo);
    if (!rect.empty()) {
        copyRect(surface.albedoLevel(0), waterAlbedo, rect);
        const AlbedoUpdate update = surface.updateAlbedoRect(rect);
        markDirty(1, nullptr, &update);
    }
}

// The fluid step refuses an endless step, but only after the particles have
// aged past their lives and the water source has poured an infinite depth
// that no later step can drain: the step is refused before any of that.
void DioramaWorld::refuseEndlessStep(float dt)
{
    if (std::isinf(dt) && dt > 0.0f) {
        throw std::invalid_argument("fluid time step must be finite");
    }
}

void DioramaWorld::tick(float dt, ThreadPool* pool)
{
    // A water grid set by hand to another size than the terrain is refused
    // before the step changes anything: the water source would write past
    // its depths, and the fluid step would refuse it only afterwards.
    sim::checkFluidGrid(scene.fields[0], water);
    refuseEndlessStep(dt);
    sim::ParticleSettings motion;
    motion.gravity = {0.0f, -9.81f, 0.0f};
    motion.restitution = 0.3f;
    motion.friction = 0.4f;
    const float quarter = dt / 4.0f;
    for (int substep = 0; substep < 4; ++substep) {
        for (const int index : {Debris, HeavyDebris, Trail, Splash}) {
            sim::step(collisionScene, pools[size_t(index)].particles, quarter, motion, pool);
        }
    }

    if (dt > 0.0f) {
        flyProjectiles(dt);
    }

    // Only time passing pours water: a step back (or a NaN step) would make
    // the depths negative or NaN.
    if (waterSource.on && dt > 0.0f) {
        const int32_t cx = texelOf(waterSource.u);
        const int32_t cy = texelOf(waterSource.v);
        for (int32_t dy = -5; dy <= 5; ++dy) {
            for (int32_t dx = -5; dx <= 5; ++dx) {
                const int32_t x = cx + dx;
                const int32_t y = cy + dy;
                if (dx * dx + dy * dy <= 25 && x >= 0 && x < kGrid && y >= 0 && y < kGrid) {
                    water.depth[size_t(y) * kGridSize + size_t(x)] += 2.5f * dt;
                }
            }
        }
    }

    sim::FluidSettings flow;
    flow.cellSize = 0.03125f;
    flow.terrainHeightScale = 1.6f;
    flow.gravity = 9.81f;
    flow.fluxDamping = 0.995f;
    sim::fluidStep(scene.fields[0], water, dt, flow, fluidSubsteps, pool);

    refreshColours(dt);
    uploadChanges();
}

void DioramaWorld::advance(float t, float dt, ThreadPool* pool)
{
    // Refused before the timeline fires any impact, as tick refuses it.
    refuseEndlessStep(dt);
    struct Event {
        float time, x, z;
    };
    static constexpr Event kTimeline[] = {{0.5f, 0.6f, -0.9f}, {1.3f, -0.9f, -0.2f}, {2.1f, 1.6f, 0.9f}};
    for (const Event& event : kTimeline) {
        if (t <= event.time && event.time < t + dt) {
            impact(event.x, event.z, 0.0f, 0.0f);
        }
    }
    setWaterSource(2.8f <= t && t < 7.0f, -2.6f, -2.4f);
    tick(dt, pool);
}

// ---- bookkeeping ----

void DioramaWorld::markDirty(uint32_t field, const FieldUpdate* heights, const AlbedoUpdate* albedo)
{
    mirrorToCollisionScene(field, heights, albedo);
    auto found = std::find_if(pendingUpdates.begin(), pendingUpdates.end(),
                              [field](const PendingFieldUpdate& record) { return record.field == field; });
    if (found == pendingUpdates.end()) {
        PendingFieldUpdate fresh;
        fresh.field = field;
        pendingUpdates.push_back(fresh);
        found = pendingUpdates.end() - 1;
    }
    if (heights != nullptr && !heights->heightRects[0].empty()) {
        found->heights.levels = heights->levels;
        for (uint32_t level = 0; level < kMaxFieldLevels; ++level) {
            unionRect(found->heights.heightRects[level], heights->heightRects[level]);
            unionRect(found->heights.boundsRects[level], heights->boundsRects[level]);
        }
    }
    if (albedo != nullptr && albedo->levels != 0 && !albedo->rects[0].empty()) {
        found->albedo.levels = albedo->levels;
        for (uint32_t level = 0; level < kMaxFieldLevels; ++level) {
            unionRect(found->albedo.rects[level], albedo->rects[level]);
        }
    }
}

void DioramaWorld::mirrorToCollisionScene(uint32_t field, const FieldUpdate* heights, const AlbedoUpdate* albedo)
{
    // Before the first sync, and for fields placed after it, there is no copy.
    if (field >= collisionScene.fields.size() || field >= scene.fields.size()) {
        return;
    }
    const DisplacementField& source = scene.fields[field];
    DisplacementField& copy = collisionScene.fields[field];
    // A caller's rectangle may reach past the field; only what lies inside is copied.
    const auto inside = [](FieldRect rect, uint32_t width, uint32_t height) {
        rect.x1 = std::min(rect.x1, width);
        rect.y1 = std::min(rect.y1, height);
        return rect;
    };
    if (heights != nullptr && !inside(heights->heightRects[0], source.width, source.height).empty() &&
        copy.width == source.width && copy.height == source.height) {
        const FieldRect rect = inside(heights->heightRects[0], source.width, source.height);
        const uint16_t* from = source.heights.data() + source.heightOffsets[0];
        uint16_t* to = copy.baseHeights().data();
        for (uint32_t y = rect.y0; y < rect.y1; ++y) {
            const size_t row = size_t(y) * source.width;
            std::copy(from + row + rect.x0, from + row + rect.x1, to + row + rect.x0);
        }
        copy.updateRect(rect);
    }
    if (albedo != nullptr && albedo->levels != 0 && source.albedoLevels() != 0 &&
        !inside(albedo->rects[0], source.albedoWidth, source.albedoHeight).empty() && copy.albedoLevels() != 0 &&
        copy.albedoWidth == source.albedoWidth && copy.albedoHeight == source.albedoHeight) {
        const FieldRect rect = inside(albedo->rects[0], source.albedoWidth, source.albedoHeight);
        const uint32_t* from = source.albedoLevel(0);
        uint32_t* to = copy.albedoLevel(0);
        for (uint32_t y = rect.y0; y < rect.y1; ++y) {
            const size_t row = size_t(y) * source.albedoWidth;
            std::copy(from + row + rect.x0, from + row + rect.x1, to + row + rect.x0);
        }
        copy.updateAlbedoRect(rect);
    }
}

void DioramaWorld::updateShadowMask(int32_t x0, int32_t y0, int32_t x1, int32_t y1)
{
    // A mask set by hand to another size than the grid is no mask of it:
    // it starts again fully lit rather than be read or written past its end.
    if (shadowMask.size() != kTexels) {
        shadowMask.assign(kTexels, 255);
    }
    x0 = std::clamp(x0, 0, kGrid);
    y0 = std::clamp(y0, 0, kGrid);
    x1 = std::clamp(x1, 0, kGrid);
    y1 = std::clamp(y1, 0, kGrid);
    const float horizontal = std::hypot(sunDirection[0], sunDirection[2]);
    if (horizontal < 0.0001f) {
        return;
    }
    const float slope = sunDirection[1] / horizontal;
    const float stepX = sunDirection[0] / horizontal;
    const float stepZ = sunDirection[2] / horizontal;
    for (int32_t y = y0; y < y1; ++y) {
        for (int32_t x = x0; x < x1; ++x) {
            const float px = ((float(x) + 0.5f) / 256.0f - 0.5f) * 8.0f;
            const float pz = ((float(y) + 0.5f) / 256.0f - 0.5f) * 8.0f;
            const float h0 = heightAt(px, pz);
            uint8_t lit = 255;
            for (int k = 1;; ++k) {
                const float t = float(k) / 16.0f;
                const float qx = px + t * stepX;
                const float qz = pz + t * stepZ;
                // March only while over the island; a sun direction that is
                // not finite gives NaN steps, which end the march at once.
                if (!(std::fabs(qx) <= 4.0f && std::fabs(qz) <= 4.0f)) {
                    break;
                }
                if (heightAt(qx, qz) > t * slope + h0 + 0.01f) {
                    lit = 0;
                    break;
                }
            }
            shadowMask[size_t(y) * kGridSize + size_t(x)] = lit;
        }
    }
}

} // namespace qlmr
