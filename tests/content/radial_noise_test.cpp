#include "content/radial_noise.h"

#include <cmath>
#include <cstdint>
#include <gtest/gtest.h>
#include <random>

namespace qlmr {
namespace {

double referenceCorner(long x, long y, long z, std::uint32_t octaveSeed)
{
    const std::uint64_t m = 0xffffffffull;
    std::uint64_t h = ((std::uint64_t(std::uint32_t(x)) * 0x8da6b343ull) & m)
                      ^ ((std::uint64_t(std::uint32_t(y)) * 0xd8163841ull) & m)
                      ^ ((std::uint64_t(std::uint32_t(z)) * 0xcb1ab31full) & m)
                      ^ ((std::uint64_t(octaveSeed) * 0x9e3779b9ull) & m);
    h ^= h >> 13;
    h = (h * 0x5bd1e995ull) & m;
    return 2.0 * double((h ^ (h >> 15)) & 0xffffff) / 16777215.0 - 1.0;
}

// Trilinear noise as the weighted sum of the eight corners.
double referenceNoise3(double x, double y, double z, std::uint32_t octaveSeed)
{
    auto fade = [](double t) { return t * t * t * (t * (t * 6 - 15) + 10); };
    const long ix = long(std::floor(x)), iy = long(std::floor(y)), iz = long(std::floor(z));
    const double w[3] = {fade(x - ix), fade(y - iy), fade(z - iz)};
    double sum = 0;
    for (int corner = 0; corner < 8; ++corner) {
        const int bx = corner & 1, by = (corner >> 1) & 1, bz = corner >> 2;
        const double weight = (bx ? w[0] : 1 - w[0]) * (by ? w[1] : 1 - w[1]) * (bz ? w[2] : 1 - w[2]);
        sum += weight * referenceCorner(ix + bx, iy + by, iz + bz, octaveSeed);
    }
    return sum;
}

double referenceRadialNoise(const RadialSourceParams& p, Vec3 d, int limit)
{
    double norm = 0, sum = 0, a = 1, f = p.frequency;
    for (int i = 0; i < p.octaves; ++i) {
        norm += a;
        if (i < limit) {
            double m = referenceNoise3(f * d.x + 13.1, f * d.y + 7.7, f * d.z + 3.3, p.seed + std::uint32_t(i));
            if (i >= 2) {
                m = 0.6 * (1 - 2 * std::fabs(m)) + 0.4 * m;
            }
            sum += a * m;
            f *= 2;
        }
        a *= 0.5;
    }
    return sum * p.amplitude / norm;
}

TEST(RadialNoise, MatchesAPlainReferenceForEveryOctaveLimit)
{
    std::mt19937 rng(21);
    std::normal_distribution<float> normal;
    RadialSourceParams params;
    for (int k = 0; k < 300; ++k) {
        const Vec3 d = normalizeSafe({normal(rng), normal(rng), normal(rng)});
        params.seed = rng();
        for (int limit : {0, 1, 2, 7, 10}) {
            EXPECT_NEAR(radialNoise(params, d, limit), referenceRadialNoise(params, d, limit), 2e-6)
                << "limit " << limit;
        }
    }
}

// The same sum in float, one octave after another with the library floor:
// the evaluation order every build must reproduce exactly.
float plainFloatRadialNoise(const RadialSourceParams& p, Vec3 d, int limit)
{
    auto fade = [](float t) { return t * t * t * (t * (t * 6.0f - 15.0f) + 10.0f); };
    auto lerp = [](float a, float b, float t) { return a + (b - a) * t; };
    float norm = 0.0f, sum = 0.0f, a = 1.0f, f = p.frequency;
    for (int i = 0; i < p.octaves; ++i) {
        norm += a;
        if (i < limit) {
            const float q[3] = {f * d.x + 13.1f, f * d.y + 7.7f, f * d.z + 3.3f};
            float fl[3], t[3];
            for (int k = 0; k < 3; ++k) {
                fl[k] = std::floor(q[k]);
                t[k] = fade(q[k] - fl[k]);
            }
            float c[8];
            for (int corner = 0; corner < 8; ++corner) {
                // The reference corner's hash, turned into [-1, 1] in float.
                const double unit = (referenceCorner(long(fl[0]) + (corner & 1), long(fl[1]) + ((corner >> 1) & 1),
                                                     long(fl[2]) + (corner >> 2), p.seed + std::uint32_t(i))
                                     + 1.0)
                                    / 2.0 * 16777215.0;
                c[corner] = 2.0f * (float(std::lround(unit)) / 16777215.0f) - 1.0f;
            }
            const float y0 = lerp(lerp(c[0], c[1], t[0]), lerp(c[2], c[3], t[0]), t[1]);
            const float y1 = lerp(lerp(c[4], c[5], t[0]), lerp(c[6], c[7], t[0]), t[1]);
            float m = lerp(y0, y1, t[2]);
            if (i >= 2) {
                m = 0.6f * (1.0f - 2.0f * std::fabs(m)) + 0.4f * m;
            }
            sum += a * m;
            f *= 2.0f;
        }
        a *= 0.5f;
    }
    return sum * p.amplitude / norm;
}

// Bit for bit, also with more octaves than fit the fast path and with
// frequencies whose lattice coordinates outgrow it, up to coordinates far
// beyond the 32-bit range (40 octaves, or a frequency of 10^12), whose
// corners hash modulo 2^32 like any other.
TEST(RadialNoise, EqualsThePlainFloatSumExactly)
{
    std::mt19937 rng(77);
    std::normal_distribution<float> normal;
    struct Setting {
        int octaves;
        float frequency;
    };
    for (const Setting setting : {Setting{7, 1.6f}, Setting{1, 2.3f}, Setting{8, 0.7f}, Setting{11, 1.6f},
                                  Setting{7, 3.0e5f}, Setting{40, 1.6f}, Setting{7, 1.0e12f}}) {
        RadialSourceParams params;
        params.octaves = setting.octaves;
        params.frequency = setting.frequency;
        for (int k = 0; k < 200; ++k) {
            const Vec3 d = normalizeSafe({normal(rng), normal(rng), normal(rng)});
            params.seed = rng();
            for (int limit : {-1, 0, 2, 5, setting.octaves, 12, 40}) {
                ASSERT_EQ(radialNoise(params, d, limit), plainFloatRadialNoise(params, d, limit))
                    << "octaves " << setting.octaves << " frequency " << setting.frequency << " limit " << limit;
            }
        }
    }
}

TEST(RadialNoise, StaysWithinTheAmplitudeAndFewerOctavesKeepTheScale)
{
    std::mt19937 rng(3);
    std::normal_distribution<float> normal;
    RadialSourceParams params;
    double spread2 = 0;
    for (int k = 0; k < 500; ++k) {
        const Vec3 d = normalizeSafe({normal(rng), normal(rng), normal(rng)});
        const float full = radialNoise(params, d, params.octaves);
        const float coarse = radialNoise(params, d, 2);
        EXPECT_LE(std::fabs(full), params.amplitude);
        EXPECT_LE(std::fabs(coarse), params.amplitude);
        spread2 += double(coarse) * coarse;
    }
    EXPECT_GT(spread2, 0.0);
    EXPECT_EQ(radialNoise(params, {0, 0, 1}, 0), 0.0f);
}

TEST(RadialDistance, IsTheRadialGapToTheDisplacedSphere)
{
    std::mt19937 rng(5);
    std::normal_distribution<float> normal;
    std::uniform_real_distribution<float> scale(0.2f, 2.0f);
    RadialSourceParams params;
    params.radius = 1.3f;
    params.seed = 9;
    for (int k = 0; k < 200; ++k) {
        const Vec3 d = normalizeSafe({normal(rng), normal(rng), normal(rng)});
        const float r = scale(rng);
        const Vec3 p = d * r;
        EXPECT_NEAR(radialDistance(params, p), r - (1.3 + referenceRadialNoise(params, d, params.octaves)), 2e-5);
    }
    // Without displacement it is the exact sphere distance.
    RadialSourceParams sphere;
    sphere.amplitude = 0.0f;
    EXPECT_FLOAT_EQ(radialDistance(sphere, {0.0f, 3.0f, 4.0f}), 4.0f);
    EXPECT_FLOAT_EQ(radialDistance(sphere, {0.0f, -0.25f, 0.0f}), -0.75f);
}

// A direction or point given as three plain floats is the vector itself.
TEST(RadialNoise, PlainFloatsActAsTheVector)
{
    std::mt19937 rng(21);
    std::normal_distribution<float> normal;
    RadialSourceParams params;
    params.seed = 4;
    for (int k = 0; k < 100; ++k) {
        const Vec3 d = normalizeSafe({normal(rng), normal(rng), normal(rng)});
        const float direction[3] = {d.x, d.y, d.z};
        const float point[3] = {d.x * 0.9f, d.y * 0.9f, d.z * 0.9f};
        const int limit = k % 9;
        EXPECT_EQ(radialNoise(params, direction, limit), radialNoise(params, d, limit)) << k;
        EXPECT_EQ(radialDistance(params, point), radialDistance(params, d * 0.9f)) << k;
    }
    const float centre[3] = {0.0f, 0.0f, 0.0f};
    EXPECT_EQ(radialDistance(params, centre), -params.radius);
}

TEST(RadialDistance, IsMinusTheRadiusAtTheCentre)
{
    RadialSourceParams params;
    params.radius = 2.5f;
    EXPECT_EQ(radialDistance(params, {0.0f, 0.0f, 0.0f}), -2.5f);
    EXPECT_EQ(radialDistance(params, {4e-7f, 0.0f, -4e-7f}), -2.5f);
}

} // namespace
} // namespace qlmr
