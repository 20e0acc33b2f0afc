#pragma once

#include <climits>
#include <cmath>
#include <cstdint>

namespace qlmr {

// floor(x) for lattice lookups. With SSE4.1 (the AVX2 build) std::floor is
// one rounding instruction; without it, a library call, so below 2^23
// truncation plus one correction gives the same value (both results are
// integers exactly representable in a float).
inline float latticeFloor(float x)
{
#if defined(__SSE4_1__)
    return std::floor(x);
#else
    if (std::fabs(x) < 8388608.0f) {
        const float t = static_cast<float>(static_cast<int>(x));
        return t > x ? t - 1.0f : t;
    }
    return std::floor(x);
#endif
}

// A whole float (a lattice cell corner) modulo `modulus` (1 to 2^62), in
// [0, modulus), exact at any magnitude; 0 for a value that is not finite.
// With modulus 2^32 it is the coordinate as the 32-bit hashes see it, so a
// lattice far beyond the 32-bit range needs no integer conversion that
// could overflow.
std::int64_t wrapLatticeCoordinate(float whole, std::int64_t modulus);

// A whole float as the 32-bit lattice hashes see it: its value modulo 2^32.
inline std::uint32_t latticeWord(float whole)
{
    if (std::fabs(whole) < 2147483648.0f) { // 2^31: the int conversion is exact
        return static_cast<std::uint32_t>(static_cast<std::int32_t>(whole));
    }
    return static_cast<std::uint32_t>(wrapLatticeCoordinate(whole, std::int64_t(1) << 32));
}

// Lattice hash of an integer point: a float in [0, 1]. All arithmetic is
// modulo 2^32, so negative coordinates hash like their two's-complement bits.
float latticeHash(int x, int y, std::uint32_t seed);

// Value noise with its derivatives with respect to the lattice coordinate.
struct NoiseSample {
    float value = 0.0f; // in [-1, 1]
    float ddx = 0.0f;
    float ddy = 0.0f;
};

// Quintic-faded value noise over latticeHash. period > 0 wraps every corner
// coordinate into [0, period); period <= 0 does not wrap. Any finite x and y
// work: corners far beyond the 32-bit range hash their exact coordinates
// (wrapped, then taken modulo 2^32 as the hash does).
NoiseSample periodicNoise(float x, float y, int period, std::uint32_t seed);

// Fractal value noise: octaves of halving amplitude (0.5 first) and doubling
// frequency, each with its own seed offset. The period doubles per octave
// when it is at least 1 (without limit: a period that has grown to a
// multiple of 2^32 wraps nothing the hash would not). The sum is not
// normalised (about [-1, 1]); 0 for octaves < 1.
float fbmNoise(float x, float y, int octaves, int period, std::uint32_t seed);

// The corner values of the lattice cell one noise octave visited last. A
// generator walking along a row keeps one per octave, so cells that fall in
// the same lattice cell skip the four hashes; the results are bit for bit
// those of the uncached calls. Row-local: no sharing between threads.
// Only cells whose corners fit an int are kept (a floor of INT_MIN never
// does, so a fresh cache misses); the rare others are hashed every time.
struct LatticeCache {
    int ix = INT_MIN;
    int iy = INT_MIN;
    int period = 0;
    std::uint32_t seed = 0;
    float a = 0.0f, b = 0.0f, c = 0.0f, d = 0.0f;
};

// periodicNoise through a cache.
NoiseSample periodicNoise(float x, float y, int period, std::uint32_t seed, LatticeCache& cache);

// fbmNoise through one cache per octave (caches[0 .. octaves-1]).
float fbmNoise(float x, float y, int octaves, int period, std::uint32_t seed, LatticeCache* caches);

} // namespace qlmr
