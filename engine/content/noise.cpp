#include "content/noise.h"

#include <cmath>

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

// The modulus a period wraps corner coordinates by: the period itself, or
// the hash's own 2^32 when there is none.
std::int64_t latticeModulus(std::int64_t period) { return period > 0 ? period : kHashModulus; }

// The corner coordinate as the hash takes it: its low 32 bits.
int hashCoordinate(std::int64_t wrapped) { return static_cast<int>(static_cast<std::uint32_t>(wrapped)); }

// The corner values and fade weights of one value-noise cell.
struct NoiseCell {
    float a, b, c, d; // corners (ix, iy), (ix+1, iy), (ix, iy+1), (ix+1, iy+1)
    float fx, fy;     // position inside the cell
    float u, v;       // faded fx, fy
};

// Hashes the four corners of the lattice cell whose lower corner is the
// whole floats (floorX, floorY), each coordinate wrapped.
void hashCorners(float floorX, float floorY, std::int64_t period, std::uint32_t seed, NoiseCell& cell)
{
    int x0, x1, y0, y1;
    constexpr float kIntRange = 2147483648.0f; // 2^31
    if (period <= 0 && std::fabs(floorX) < kIntRange && std::fabs(floorY) < kIntRange) {
        // The common case: corners that fit an int, whose bits the hash takes as they are.
        x0 = static_cast<int>(floorX);
        y0 = static_cast<int>(floorY);
        x1 = hashCoordinate(std::int64_t(x0) + 1);
        y1 = hashCoordinate(std::int64_t(y0) + 1);
    } else {
        const std::int64_t modulus = latticeModulus(period);
        const std::int64_t wx = wrapLatticeCoordinate(floorX, modulus);
        const std::int64_t wy = wrapLatticeCoordinate(floorY, modulus);
        x0 = hashCoordinate(wx);
        x1 = hashCoordinate(wx + 1 == modulus ? 0 : wx + 1);
        y0 = hashCoordinate(wy);
        y1 = hashCoordinate(wy + 1 == modulus ? 0 : wy + 1);
    }
    cell.a = latticeHash(x0, y0, seed);
    cell.b = latticeHash(x1, y0, seed);
    cell.c = latticeHash(x0, y1, seed);
    cell.d = latticeHash(x1, y1, seed);
}

// The cell around (x, y); with a cache, corners are hashed only when the
// lattice cell (or the octave's seed and period) differs from the last one.
NoiseCell noiseCell(float x, float y, std::int64_t period, std::uint32_t seed, LatticeCache* cache)
{
    const float floorX = latticeFloor(x);
    const float floorY = latticeFloor(y);
    NoiseCell cell;
    if (cache == nullptr) {
        hashCorners(floorX, floorY, period, seed, cell);
    } else {
        if (cache->floorX != floorX || cache->floorY != floorY || cache->seed != seed || cache->period != period) {
            hashCorners(floorX, floorY, period, seed, cell);
            *cache = LatticeCache{floorX, floorY, period, seed, cell.a, cell.b, cell.c, cell.d};
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
