#include "content/radial_noise.h"

#include <algorithm>
#include <cmath>
#include <stdexcept>
#include <string>

#include "content/noise.h"

namespace qlmr {

namespace {

float fade(float t) { return t * t * t * (t * (t * 6.0f - 15.0f) + 10.0f); }

float lerp(float a, float b, float t) { return a + (b - a) * t; }

// Corner value in [-1, 1]; all arithmetic modulo 2^32.
float cornerValue(std::uint32_t x, std::uint32_t y, std::uint32_t z, std::uint32_t octaveSeed)
{
    std::uint32_t h = x * 0x8da6b343u ^ y * 0xd8163841u ^ z * 0xcb1ab31fu ^ octaveSeed * 0x9e3779b9u;
    h ^= h >> 13;
    h *= 0x5bd1e995u;
    const float v = static_cast<float>((h ^ (h >> 15)) & 0xffffffu) / 16777215.0f;
    return 2.0f * v - 1.0f;
}

// Trilinear value noise in [-1, 1] with quintic fades: x first, then y, then z.
float valueNoise3(Vec3 q, std::uint32_t octaveSeed)
{
    const float floorX = latticeFloor(q.x);
    const float floorY = latticeFloor(q.y);
    const float floorZ = latticeFloor(q.z);
    // The corners as the hash sees them, modulo 2^32: exact however far out
    // a high octave or frequency puts the lattice.
    const std::uint32_t ix = latticeWord(floorX);
    const std::uint32_t iy = latticeWord(floorY);
    const std::uint32_t iz = latticeWord(floorZ);
    const float u = fade(q.x - floorX);
    const float v = fade(q.y - floorY);
    const float w = fade(q.z - floorZ);
    auto c = [&](std::uint32_t dx, std::uint32_t dy, std::uint32_t dz) {
        return cornerValue(ix + dx, iy + dy, iz + dz, octaveSeed);
    };
    const float x00 = lerp(c(0, 0, 0), c(1, 0, 0), u);
    const float x10 = lerp(c(0, 1, 0), c(1, 1, 0), u);
    const float x01 = lerp(c(0, 0, 1), c(1, 0, 1), u);
    const float x11 = lerp(c(0, 1, 1), c(1, 1, 1), u);
    const float y0 = lerp(x00, x10, v);
    const float y1 = lerp(x01, x11, v);
    return lerp(y0, y1, w);
}

// One octave after another: for octave counts the lanes do not hold.
float radialNoiseByOctave(const RadialSourceParams& params, Vec3 d, int octaveLimit)
{
    float norm = 0.0f;
    float sum = 0.0f;
    float a = 1.0f;
    float f = params.frequency;
    for (int i = 0; i < params.octaves; ++i) {
        norm += a;
        if (i < octaveLimit) {
            const Vec3 q{f * d.x + 13.1f, f * d.y + 7.7f, f * d.z + 3.3f};
            float m = valueNoise3(q, params.seed + static_cast<std::uint32_t>(i));
            if (i >= 2) {
                m = 0.6f * (1.0f - 2.0f * std::fabs(m)) + 0.4f * m;
            }
            sum += a * m;
            f *= 2.0f;
        }
        a *= 0.5f;
    }
    return sum * params.amplitude / norm;
}

// ---- all octaves at once ----
//
// Every octave is independent until the weighted sum, so up to eight of
// them run side by side in the lanes of plain GCC vector types (the
// compiler maps them onto the build's vector unit). Each lane performs
// exactly the scalar operations of its octave in the same order, and the
// sum is taken in octave order afterwards, so the result is bit for bit
// that of radialNoiseByOctave.

// Octaves handled by the lanes; more fall back to one octave after another.
constexpr int maxLaneOctaves = 8;
// One vector of the build's lane width, so the vectors pass in registers.
constexpr int laneWidth = QLMR_LANES;
typedef float Floats __attribute__((vector_size(4 * laneWidth)));
typedef std::int32_t Ints __attribute__((vector_size(4 * laneWidth)));
typedef std::uint32_t Words __attribute__((vector_size(4 * laneWidth)));

Floats fadeLanes(Floats t) { return t * t * t * (t * (t * 6.0f - 15.0f) + 10.0f); }

Floats lerpLanes(Floats a, Floats b, Floats t) { return a + (b - a) * t; }

bool lanesInRange(Floats x)
{
    bool inRange = true;
    for (int i = 0; i < laneWidth; ++i) {
        inRange = inRange && std::fabs(x[i]) < 8388608.0f;
    }
    return inRange;
}

// floor for |x| < 2^23 (truncation plus one correction), where it is exact.
Floats floorLanes(Floats x, Ints& asInt)
{
    const Ints truncated = __builtin_convertvector(x, Ints);
    const Floats t = __builtin_convertvector(truncated, Floats);
    asInt = truncated + (t > x); // the comparison is -1 where truncation rounded up
    return __builtin_convertvector(asInt, Floats);
}

// Corner values in [-1, 1]; all arithmetic modulo 2^32.
Floats cornerLanes(Words x, Words y, Words z, Words octaveSeeds)
{
    Words h = x * 0x8da6b343u ^ y * 0xd8163841u ^ z * 0xcb1ab31fu ^ octaveSeeds * 0x9e3779b9u;
    h ^= h >> 13;
    h *= 0x5bd1e995u;
    const Ints bits = reinterpret_cast<Ints>((h ^ (h >> 15)) & 0xffffffu);
    const Floats value = __builtin_convertvector(bits, Floats) / 16777215.0f;
    return 2.0f * value - 1.0f;
}

// valueNoise3 of one octave per lane at frequencies f; false when a lattice
// coordinate is too large for the lanes.
bool noiseLanes(Floats f, Words octaveSeeds, Vec3 d, Floats& m)
{
    const Floats qx = f * d.x + 13.1f;
    const Floats qy = f * d.y + 7.7f;
    const Floats qz = f * d.z + 3.3f;
    if (!lanesInRange(qx) || !lanesInRange(qy) || !lanesInRange(qz)) {
        return false;
    }
    Ints ix, iy, iz;
    const Floats u = fadeLanes(qx - floorLanes(qx, ix));
    const Floats v = fadeLanes(qy - floorLanes(qy, iy));
    const Floats w = fadeLanes(qz - floorLanes(qz, iz));
    const Words x0 = reinterpret_cast<Words>(ix), x1 = x0 + 1u;
    const Words y0 = reinterpret_cast<Words>(iy), y1 = y0 + 1u;
    const Words z0 = reinterpret_cast<Words>(iz), z1 = z0 + 1u;
    const Words& s = octaveSeeds;
    const Floats x00 = lerpLanes(cornerLanes(x0, y0, z0, s), cornerLanes(x1, y0, z0, s), u);
    const Floats x10 = lerpLanes(cornerLanes(x0, y1, z0, s), cornerLanes(x1, y1, z0, s), u);
    const Floats x01 = lerpLanes(cornerLanes(x0, y0, z1, s), cornerLanes(x1, y0, z1, s), u);
    const Floats x11 = lerpLanes(cornerLanes(x0, y1, z1, s), cornerLanes(x1, y1, z1, s), u);
    m = lerpLanes(lerpLanes(x00, x10, v), lerpLanes(x01, x11, v), w);
    return true;
}

// The octave values m (after the ridge shaping) of the first `count`
// octaves, count <= maxLaneOctaves; false when the lanes cannot take them.
bool octaveValues(const RadialSourceParams& params, Vec3 d, int count, float out[maxLaneOctaves])
{
    float frequency = params.frequency;
    for (int first = 0; first < count; first += laneWidth) {
        Floats f{};
        Words seeds{};
        for (int k = 0; k < laneWidth; ++k) {
            const int i = first + k;
            f[k] = i < count ? frequency : 0.0f;
            seeds[k] = params.seed + static_cast<std::uint32_t>(i);
            frequency *= 2.0f;
        }
        Floats m;
        if (!noiseLanes(f, seeds, d, m)) {
            return false;
        }
        for (int k = 0; k < laneWidth && first + k < count; ++k) {
            const int i = first + k;
            out[i] = i >= 2 ? 0.6f * (1.0f - 2.0f * std::fabs(m[k])) + 0.4f * m[k] : m[k];
        }
    }
    return true;
}

} // namespace

void checkRadialSourceParams(const RadialSourceParams& params)
{
    if (params.octaves < 1) {
        throw std::invalid_argument("radial source octaves must be at least 1, got " +
                                    std::to_string(params.octaves));
    }
}

float radialNoise(const RadialSourceParams& params, Vec3 d, int octaveLimit)
{
    const int count = std::clamp(std::min(octaveLimit, params.octaves), 0, maxLaneOctaves + 1);
    float m[maxLaneOctaves];
    if (params.octaves < 1 || count > maxLaneOctaves || !octaveValues(params, d, count, m)) {
        return radialNoiseByOctave(params, d, octaveLimit);
    }
    float norm = 0.0f;
    float sum = 0.0f;
    float a = 1.0f;
    for (int i = 0; i < params.octaves; ++i) {
        norm += a;
        if (i < count) {
            sum += a * m[i];
        }
        a *= 0.5f;
    }
    return sum * params.amplitude / norm;
}

float radialDistance(const RadialSourceParams& params, Vec3 p)
{
    const float distance = length(p);
    if (distance < 1e-6f) {
        return -params.radius;
    }
    return distance - (params.radius + radialNoise(params, p / distance, params.octaves));
}

float radialNoise(const RadialSourceParams& params, const float (&d)[3], int octaveLimit)
{
    return radialNoise(params, Vec3{d[0], d[1], d[2]}, octaveLimit);
}

float radialDistance(const RadialSourceParams& params, const float (&p)[3])
{
    return radialDistance(params, Vec3{p[0], p[1], p[2]});
}

} // namespace qlmr
