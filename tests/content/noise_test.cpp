#include "content/noise.h"

#include <cmath>
#include <cstdint>
#include <gtest/gtest.h>
#include <random>

namespace qlmr {
namespace {

// The hash's low 24 bits for a few points, worked out independently in
// 64-bit arithmetic reduced modulo 2^32.
TEST(LatticeHash, MatchesPinnedValues)
{
    struct Case {
        int x, y;
        std::uint32_t seed;
        std::uint32_t bits;
    };
    const Case cases[] = {
        {0, 0, 0u, 0u},
        {1, 2, 3u, 5824650u},
        {-1, -7, 42u, 8508525u},
        {123456, -654321, 0xdeadbeefu, 3439480u},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(latticeHash(c.x, c.y, c.seed), static_cast<float>(c.bits) / 16777215.0f)
            << c.x << ", " << c.y << ", " << c.seed;
    }
}

TEST(LatticeFloor, EqualsStdFloor)
{
    const float values[] = {0.0f, -0.0f, 0.5f, -0.5f, 1.0f, -1.0f, -1.25f, 7.999999f, -7.999999f,
                            8388607.5f, -8388607.5f, 8388608.0f, -8388609.0f, 3e9f, -3e9f, 1e-30f, -1e-30f};
    for (float v : values) {
        EXPECT_EQ(latticeFloor(v), std::floor(v)) << v;
    }
}

// A plainly written value noise: hashed corners, bilinear blend of faded
// weights in double precision, optional wrapping of every corner index (in
// 128 bits, so that periods doubled far past 64 bits stay exact).
double referenceValueNoise(double x, double y, __int128 period, std::uint32_t seed)
{
    auto wrap = [period](long i) -> long {
        if (period <= 0) {
            return i;
        }
        __int128 m = i % period;
        // Only the low 32 bits reach the hash.
        return static_cast<long>(static_cast<std::uint32_t>(m < 0 ? m + period : m));
    };
    auto fade = [](double t) { return t * t * t * (t * (t * 6 - 15) + 10); };
    const long ix = static_cast<long>(std::floor(x));
    const long iy = static_cast<long>(std::floor(y));
    auto corner = [&](long i, long j) {
        return static_cast<double>(latticeHash(static_cast<int>(wrap(i)), static_cast<int>(wrap(j)), seed));
    };
    const double u = fade(x - ix);
    const double v = fade(y - iy);
    const double bottom = corner(ix, iy) * (1 - u) + corner(ix + 1, iy) * u;
    const double top = corner(ix, iy + 1) * (1 - u) + corner(ix + 1, iy + 1) * u;
    return 2 * (bottom * (1 - v) + top * v) - 1;
}

TEST(PeriodicNoise, MatchesBilinearReferenceAtRandomPoints)
{
    std::mt19937 rng(1234);
    std::uniform_real_distribution<float> coord(-300.0f, 300.0f);
    const int periods[] = {0, -3, 1, 7, 32};
    for (int period : periods) {
        for (int k = 0; k < 500; ++k) {
            const float x = coord(rng);
            const float y = coord(rng);
            const std::uint32_t seed = rng();
            const NoiseSample sample = periodicNoise(x, y, period, seed);
            EXPECT_NEAR(sample.value, referenceValueNoise(x, y, period, seed), 2e-5)
                << x << ", " << y << " period " << period;
        }
    }
}

TEST(PeriodicNoise, AtLatticePointsIsTheMappedHash)
{
    for (int x = -5; x <= 5; ++x) {
        for (int y = -5; y <= 5; ++y) {
            const NoiseSample sample = periodicNoise(static_cast<float>(x), static_cast<float>(y), 0, 77u);
            EXPECT_EQ(sample.value, 2.0f * latticeHash(x, y, 77u) - 1.0f);
            // The quintic fade is flat at the lattice.
            EXPECT_EQ(sample.ddx, 0.0f);
            EXPECT_EQ(sample.ddy, 0.0f);
        }
    }
}

TEST(PeriodicNoise, DerivativesMatchCentralDifferences)
{
    std::mt19937 rng(99);
    std::uniform_real_distribution<double> coord(-50.0, 50.0);
    for (int k = 0; k < 400; ++k) {
        const double x = coord(rng);
        const double y = coord(rng);
        const std::uint32_t seed = rng();
        // Stay away from cell borders, where the difference spans two cells.
        if (std::fabs(x - std::round(x)) < 0.01 || std::fabs(y - std::round(y)) < 0.01) {
            continue;
        }
        const double h = 1e-4;
        const double ddx = (referenceValueNoise(x + h, y, 0, seed) - referenceValueNoise(x - h, y, 0, seed)) / (2 * h);
        const double ddy = (referenceValueNoise(x, y + h, 0, seed) - referenceValueNoise(x, y - h, 0, seed)) / (2 * h);
        const NoiseSample sample = periodicNoise(static_cast<float>(x), static_cast<float>(y), 0, seed);
        EXPECT_NEAR(sample.ddx, ddx, 2e-3 * (1 + std::fabs(ddx))) << x << ", " << y;
        EXPECT_NEAR(sample.ddy, ddy, 2e-3 * (1 + std::fabs(ddy))) << x << ", " << y;
    }
}

// Lattice corners far beyond the 32-bit range: coordinates up to 10^15,
// periods up to the largest int, against the reference in 64-bit integers
// (whose corner indices reach the hash modulo 2^32).
TEST(PeriodicNoise, FarCornersAndLargePeriodsMatchTheReference)
{
    const float xs[] = {3e9f, -3e9f, 2.1e9f, -2.1e9f, 1e15f, -7e14f, 123.25f};
    const int periods[] = {0, 7, 2147483647, (1 << 30) + 3};
    for (const int period : periods) {
        for (const float x : xs) {
            for (const float y : {0.375f, -2.5e9f}) {
                const NoiseSample sample = periodicNoise(x, y, period, 99u);
                EXPECT_NEAR(sample.value, referenceValueNoise(x, y, period, 99u), 2e-5)
                    << x << ", " << y << " period " << period;
            }
        }
    }
    // Past 2^62 a whole float still counts exactly: 10^20 as a float is a
    // multiple of 2^43, so without a period it is lattice line 0 to the hash,
    // and with period 3 the line its remainder names.
    const float far = 1e20f;
    EXPECT_EQ(periodicNoise(far, 5.5f, 0, 4u).value, periodicNoise(0.0f, 5.5f, 0, 4u).value);
    const float remainder = static_cast<float>(std::fmod(static_cast<double>(far), 3.0));
    EXPECT_EQ(periodicNoise(far, 5.5f, 3, 4u).value, periodicNoise(remainder, 5.5f, 3, 4u).value);
}

TEST(FbmNoise, NoOctavesGivesZero)
{
    EXPECT_EQ(fbmNoise(3.7f, -1.2f, 0, 0, 5u), 0.0f);
    EXPECT_EQ(fbmNoise(3.7f, -1.2f, -2, 16, 5u), 0.0f);
}

// The octave sum written out: its own seed per octave, doubling
// coordinates, halving amplitude and a doubling period (128-bit, exact).
double referenceFbm(float x, float y, int octaves, int period, std::uint32_t seed)
{
    double sum = 0;
    double amplitude = 0.5;
    double fx = x;
    double fy = y;
    __int128 p = period;
    for (int i = 0; i < octaves; ++i) {
        sum += amplitude * referenceValueNoise(fx, fy, p, seed + 101u * static_cast<std::uint32_t>(i));
        fx *= 2;
        fy *= 2;
        amplitude *= 0.5;
        if (p >= 1) {
            p *= 2;
        }
    }
    return sum;
}

// Four octaves, and forty, which double the coordinates far past the 32-bit
// range and a period of 5, 2^30 or the largest int past the int range.
TEST(FbmNoise, SumsOctavesWithTheirOwnSeedsAndDoublingPeriod)
{
    std::mt19937 rng(7);
    std::uniform_real_distribution<float> coord(-40.0f, 40.0f);
    for (const int octaves : {4, 40}) {
        for (const int period : {0, 5, 1 << 30, 2147483647}) {
            for (int k = 0; k < 100; ++k) {
                const float x = coord(rng);
                const float y = coord(rng);
                const std::uint32_t seed = rng();
                EXPECT_NEAR(fbmNoise(x, y, octaves, period, seed), referenceFbm(x, y, octaves, period, seed), 3e-5)
                    << x << ", " << y << ", " << octaves << " octaves, period " << period;
            }
        }
    }
}

TEST(FbmNoise, TilesWithItsPeriodOnlyWhenGivenOne)
{
    // Dyadic coordinates keep x and x + 32 exact in every octave.
    bool unwrappedDiffers = false;
    for (int k = 0; k < 64; ++k) {
        const float x = 0.125f * static_cast<float>(k) - 3.0f;
        const float y = 0.375f * static_cast<float>(k) + 1.0f;
        EXPECT_EQ(fbmNoise(x + 32.0f, y, 5, 32, 11u), fbmNoise(x, y, 5, 32, 11u));
        EXPECT_EQ(fbmNoise(x, y - 32.0f, 5, 32, 11u), fbmNoise(x, y, 5, 32, 11u));
        unwrappedDiffers |= fbmNoise(x + 32.0f, y, 5, 0, 11u) != fbmNoise(x, y, 5, 0, 11u);
    }
    EXPECT_TRUE(unwrappedDiffers);
}

// A cache must only save hashing: walking a row (small steps that mostly stay
// in one lattice cell), jumping about, and switching seed or period under
// one cache all give exactly the uncached values.
TEST(LatticeCache, GivesExactlyTheUncachedNoise)
{
    std::mt19937 rng(42);
    std::uniform_real_distribution<float> jump(-100.0f, 100.0f);
    std::uniform_real_distribution<float> step(0.0f, 0.3f);
    LatticeCache single;
    LatticeCache octaves[5];
    float x = -3.0f;
    float y = 7.25f;
    for (int k = 0; k < 3000; ++k) {
        if (k % 500 == 0) {
            x = jump(rng);
            y = jump(rng);
        }
        x += step(rng);
        y += 0.1f * step(rng);
        const std::uint32_t seed = k % 700 < 350 ? 5u : 6u;
        const int period = k % 1100 < 550 ? 0 : 16;
        const NoiseSample cached = periodicNoise(x, y, period, seed, single);
        const NoiseSample plain = periodicNoise(x, y, period, seed);
        ASSERT_EQ(cached.value, plain.value) << k;
        ASSERT_EQ(cached.ddx, plain.ddx) << k;
        ASSERT_EQ(cached.ddy, plain.ddy) << k;
        ASSERT_EQ(fbmNoise(x, y, 5, period, seed, octaves), fbmNoise(x, y, 5, period, seed)) << k;
    }
}

} // namespace
} // namespace qlmr
