#include "content/noise.h"

#include <cmath>

namespace qlmr {

namespace {

float fade(float t) { return t * t * t * (t * (t * 6.0f - 15.0f) + 10.0f); }

float fadeDerivative(float t)
{
    const float tm1 = t - 1.0f;
    return 30.0f * t * t * tm1 * tm1;
}

int wrapLattice(int i, int period)
{
    if (period <= 0) {
        return i;
    }
    return ((i % period) + period) % period;
}

// The corner values and fade weights of one value-noise cell.
struct NoiseCell {
    float a, b, c, d; // corners (ix, iy), (ix+1, iy), (ix, iy+1), (ix+1, iy+1)
    float fx, fy;     // position inside the cell
    float u, v;       // faded fx, fy
};

NoiseCell noiseCell(float x, float y, int period, std::uint32_t seed)
{
    const float floorX = std::floor(x);
    const float floorY = std::floor(y);
    const int ix = static_cast<int>(floorX);
    const int iy = static_cast<int>(floorY);
    const int x0 = wrapLattice(ix, period);
    const int x1 = wrapLattice(ix + 1, period);
    const int y0 = wrapLattice(iy, period);
    const int y1 = wrapLattice(iy + 1, period);
    NoiseCell cell;
    cell.a = latticeHash(x0, y0, seed);
    cell.b = latticeHash(x1, y0, seed);
    cell.c = latticeHash(x0, y1, seed);
    cell.d = latticeHash(x1, y1, seed);
    cell.fx = x - floorX;
    cell.fy = y - floorY;
    cell.u = fade(cell.fx);
    cell.v = fade(cell.fy);
    return cell;
}

float blend(const NoiseCell& cell)
{
    const float cross = cell.a - cell.b - cell.c + cell.d;
    return cell.a + (cell.b - cell.a) * cell.u + (cell.c - cell.a) * cell.v + cross * cell.u * cell.v;
}

} // namespace

float latticeHash(int x, int y, std::uint32_t seed)
{
    std::uint32_t h = static_cast<std::uint32_t>(x) * 0x8da6b343u ^ static_cast<std::uint32_t>(y) * 0xd8163841u
                      ^ seed * 0xcb1ab31fu;
    h ^= h >> 13;
    h *= 0x5bd1e995u;
    h ^= h >> 15;
    h *= 0x27d4eb2du;
    h ^= h >> 16;
    return static_cast<float>(h & 0xffffffu) / 16777215.0f;
}

NoiseSample periodicNoise(float x, float y, int period, std::uint32_t seed)
{
    const NoiseCell cell = noiseCell(x, y, period, seed);
    const float cross = cell.a - cell.b - cell.c + cell.d;
    NoiseSample sample;
    sample.value = 2.0f * blend(cell) - 1.0f;
    sample.ddx = 2.0f * fadeDerivative(cell.fx) * ((cell.b - cell.a) + cross * cell.v);
    sample.ddy = 2.0f * fadeDerivative(cell.fy) * ((cell.c - cell.a) + cross * cell.u);
    return sample;
}

float fbmNoise(float x, float y, int octaves, int period, std::uint32_t seed)
{
    float sum = 0.0f;
    float amplitude = 0.5f;
    for (int i = 0; i < octaves; ++i) {
        const std::uint32_t octaveSeed = seed + 101u * static_cast<std::uint32_t>(i);
        sum += amplitude * (2.0f * blend(noiseCell(x, y, period, octaveSeed)) - 1.0f);
        x *= 2.0f;
        y *= 2.0f;
        amplitude *= 0.5f;
        if (period >= 1) {
            period *= 2;
        }
    }
    return sum;
}

} // namespace qlmr
