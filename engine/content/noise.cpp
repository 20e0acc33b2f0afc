#include "content/noise.h"

#include <climits>
#include <cmath>

#include <xmmintrin.h>

namespace qlmr {

std::int64_t wrapLatticeCoordinate(float whole, std::int64_t modulus)
{
    constexpr float kExactInteger = 4611686018427387904.0f; // 2^62
    std::int64_t r;
    if (std::fabs(whole) < kExactInteger) {
        r = static_cast<std::int64_t>(whole) % modulus;
    } else if (std::isfinite(whole)) {
        // fmod is exact for whole numbers.
        r = static_cast<std::int64_t>(std::fmod(static_cast<double>(whole), static_cast<double>(modulus)));
    } else {
        return 0;
    }
    return r < 0 ? r + modulus : r;
}

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

// The lattice hash works modulo 2^32, so without a period a corner
// coordinate counts modulo 2^32.
constexpr std::int64_t kHashModulus = std::int64_t(1) << 32;

// The corner coordinate as the hash takes it: its low 32 bits.
int hashCoordinate(std::int64_t wrapped) { return static_cast<int>(static_cast<std::uint32_t>(wrapped)); }

// The corner values and fade weights of one value-noise cell.
struct NoiseCell {
    float a, b, c, d; // corners (ix, iy), (ix+1, iy), (ix, iy+1), (ix+1, iy+1)
    float fx, fy;     // position inside the cell
    float u, v;       // faded fx, fy
};

int wrapLattice(int i, int period)
{
    if (period <= 0) {
        return i;
    }
    return ((i % period) + period) % period;
}

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

void fadeCell(float x, float y, float floorX, float floorY, NoiseCell& cell)
{
    cell.fx = x - floorX;
    cell.fy = y - floorY;
    cell.u = fade(cell.fx);
    cell.v = fade(cell.fy);
}

// The corners of a cell whose floors do not fit an int, or whose period is
// too large for int arithmetic: reduced exactly in 64 bits (fmod beyond
// 2^62), with the hash's own 2^32 as the modulus where there is no period.
// Rare, so it stays out of line and no cache keeps it.
[[gnu::noinline]] void hashFarCorners(float floorX, float floorY, std::int64_t period, std::uint32_t seed,
                                      NoiseCell& cell)
{
    const std::int64_t modulus = period > 0 ? period : kHashModulus;
    const std::int64_t wx = wrapLatticeCoordinate(floorX, modulus);
    const std::int64_t wy = wrapLatticeCoordinate(floorY, modulus);
    const int x0 = hashCoordinate(wx);
    const int x1 = hashCoordinate(wx + 1 == modulus ? 0 : wx + 1);
    const int y0 = hashCoordinate(wy);
    const int y1 = hashCoordinate(wy + 1 == modulus ? 0 : wy + 1);
    cell.a = latticeHash(x0, y0, seed);
    cell.b = latticeHash(x1, y0, seed);
    cell.c = latticeHash(x0, y1, seed);
    cell.d = latticeHash(x1, y1, seed);
}

// The cell around (x, y). The floors convert with the processor's own
// truncation, which is defined for every input and gives INT_MIN for any
// floor outside the int range (or NaN); such a cell, and a period above
// 2^30 (with which the wrap (i mod p) + p would leave an int), take the
// exact path. Everything else runs in int arithmetic: the floors below 2^31
// end at 2^31 - 128, so the corner after one still fits. With a cache,
// corners are hashed only when the lattice cell (or the octave's seed and
// period) differs from the last one.
NoiseCell noiseCell(float x, float y, std::int64_t period, std::uint32_t seed, LatticeCache* cache)
{
    const float floorX = latticeFloor(x);
    const float floorY = latticeFloor(y);
    const int ix = _mm_cvttss_si32(_mm_set_ss(floorX));
    const int iy = _mm_cvttss_si32(_mm_set_ss(floorY));
    const int p = static_cast<int>(period);
    NoiseCell cell;
    if (ix == INT_MIN || iy == INT_MIN || period > (std::int64_t(1) << 30)) [[unlikely]] {
        hashFarCorners(floorX, floorY, period, seed, cell);
    } else if (cache == nullptr) {
        hashCorners(ix, iy, p, seed, cell);
    } else if (cache->ix != ix || cache->iy != iy || cache->seed != seed || cache->period != p) {
        hashCorners(ix, iy, p, seed, cell);
        *cache = LatticeCache{ix, iy, p, seed, cell.a, cell.b, cell.c, cell.d};
    } else {
        cell.a = cache->a;
        cell.b = cache->b;
        cell.c = cache->c;
        cell.d = cache->d;
    }
    fadeCell(x, y, floorX, floorY, cell);
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

float fractalNoise(float x, float y, int octaves, int firstPeriod, std::uint32_t seed, LatticeCache* caches)
{
    // The period doubles per octave past any integer type; once it is a
    // multiple of 2^32 wrapping by it changes no coordinate modulo 2^32,
    // which is all the hash sees, so it stops there as no period at all.
    std::int64_t period = firstPeriod;
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
            if (period % kHashModulus == 0) {
                period = 0;
            }
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
