#include "content/radial_noise.h"

#include <cmath>

#include "content/noise.h"

namespace qlmr {

namespace {

float fade(float t) { return t * t * t * (t * (t * 6.0f - 15.0f) + 10.0f); }

float lerp(float a, float b, float t) { return a + (b - a) * t; }

// Corner value in [-1, 1]; all arithmetic modulo 2^32.
float cornerValue(int x, int y, int z, std::uint32_t octaveSeed)
{
    std::uint32_t h = static_cast<std::uint32_t>(x) * 0x8da6b343u ^ static_cast<std::uint32_t>(y) * 0xd8163841u
                      ^ static_cast<std::uint32_t>(z) * 0xcb1ab31fu ^ octaveSeed * 0x9e3779b9u;
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
    const int ix = static_cast<int>(floorX);
    const int iy = static_cast<int>(floorY);
    const int iz = static_cast<int>(floorZ);
    const float u = fade(q.x - floorX);
    const float v = fade(q.y - floorY);
    const float w = fade(q.z - floorZ);
    auto c = [&](int dx, int dy, int dz) { return cornerValue(ix + dx, iy + dy, iz + dz, octaveSeed); };
    const float x00 = lerp(c(0, 0, 0), c(1, 0, 0), u);
    const float x10 = lerp(c(0, 1, 0), c(1, 1, 0), u);
    const float x01 = lerp(c(0, 0, 1), c(1, 0, 1), u);
    const float x11 = lerp(c(0, 1, 1), c(1, 1, 1), u);
    const float y0 = lerp(x00, x10, v);
    const float y1 = lerp(x01, x11, v);
    return lerp(y0, y1, w);
}

} // namespace

float radialNoise(const RadialSourceParams& params, Vec3 d, int octaveLimit)
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

float radialDistance(const RadialSourceParams& params, Vec3 p)
{
    const float distance = length(p);
    if (distance < 1e-6f) {
        return -params.radius;
    }
    return distance - (params.radius + radialNoise(params, p / distance, params.octaves));
}

} // namespace qlmr
