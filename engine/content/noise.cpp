#include "content/noise.h"

#include <cmath>

namespace qlmr {

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

// Hashes the four corners of lattice cell (ix, iy), each coordinate wrapped.
void hashCorners(int ix, int iy, int period, std::uint32_t seed, NoiseCell& cell)
{
    const int x0 = wrapLattice(ix, period);
    const int x1 = wrapLattice(ix + 1, period);
    const int y0 = wrapLattice(iy, period);
    const int y1 = wrapLattice(iy + 1, period);
    cell.a = latticeHash(x0, y0, seed);
    cell.b = latticeHash(x1, y0, seed);
    cell.c = latticeHash(x0, y1, seed);
    cell.d = latticeHash(x1, y1, seed);
}

// The cell around (x, y); with a cache, corners are hashed only when the
// lattice cell (or the octave's seed and period) differs from the last one.
NoiseCell noiseCell(float x, float y, int period, std::uint32_t seed, LatticeCache* cache)
{
    const float floorX = latticeFloor(x);
    const float floorY = latticeFloor(y);
    const int ix = static_cast<int>(floorX);
    const int iy = static_cast<int>(floorY);
    NoiseCell cell;
    if (cache == nullptr) {
        hashCorners(ix, iy, period, seed, cell);
    } else {
        if (cache->ix != ix || cache->iy != iy || cache->seed != seed || cache->period != period) {
            hashCorners(ix, iy, period, seed, cell);
            *cache = LatticeCache{ix, iy, period, seed, cell.a, cell.b, cell.c, cell.d};
        } else {
            cell.a = cache->a;
            cell.b = cache->b;
            cell.c = cache->c;
            cell.d = cache->d;
        }
    }
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

NoiseSample sampleNoise(float x, float y, int period, std::uint32_t seed, LatticeCache* cache)
{
    const NoiseCell cell = noiseCell(x, y, period, seed, cache);
    const float cross = cell.a - cell.b - cell.c + cell.d;
    NoiseSample sample;
    sample.value = 2.0f * blend(cell) - 1.0f;
    sample.ddx = 2.0f * fadeDerivative(cell.fx) * ((cell.b - cell.a) + cross * cell.v);
    sample.ddy = 2.0f * fadeDerivative(cell.fy) * ((cell.c - cell.a) + cross * cell.u);
    return sample;
}

float fractalNoise(float x, float y, int octaves, int period, std::uint32_t seed, LatticeCache* caches)
{
    float sum = 0.0f;
    float amplitude = 0.5f;
    for (int i = 0; i < octaves; ++i) {
        const std::uint32_t octaveSeed = seed + 101u * static_cast<std::uint32_t>(i);
        LatticeCache* cache = caches == nullptr ? nullptr : caches + i;
        sum += amplitude * (2.0f * blend(noiseCell(x, y, period, octaveSeed, cache)) - 1.0f);
        x *= 2.0f;
        y *= 2.0f;
        amplitude *= 0.5f;
        if (period >= 1) {
            period *= 2;
        }
    }
    return sum;
}

} // namespace

NoiseSample periodicNoise(float x, float y, int period, std::uint32_t seed)
{
    return sampleNoise(x, y, period, seed, nullptr);
}

NoiseSample periodicNoise(float x, float y, int period, std::uint32_t seed, LatticeCache& cache)
{
    return sampleNoise(x, y, period, seed, &cache);
}

float fbmNoise(float x, float y, int octaves, int period, std::uint32_t seed)
{
    return fractalNoise(x, y, octaves, period, seed, nullptr);
}

float fbmNoise(float x, float y, int octaves, int period, std::uint32_t seed, LatticeCache* caches)
{
    return fractalNoise(x, y, octaves, period, seed, caches);
}

} // namespace qlmr
