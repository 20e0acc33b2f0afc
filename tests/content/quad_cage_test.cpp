#include "content/quad_cage.h"

#include <cmath>
#include <cstdint>
#include <gtest/gtest.h>
#include <random>

namespace qlmr {
namespace {

Vec3 quadCentre(const QuadCage& cage, const std::array<std::uint32_t, 4>& quad)
{
    Vec3 sum{};
    for (std::uint32_t index : quad) {
        sum = sum + cage.vertices[index];
    }
    return sum * 0.25f;
}

// U x V of every quad points away from `inside`, a point inside a convex
// cage, and every index is in range.
void expectOutward(const QuadCage& cage, Vec3 inside)
{
    for (std::size_t q = 0; q < cage.quads.size(); ++q) {
        const auto& quad = cage.quads[q];
        for (std::uint32_t index : quad) {
            ASSERT_LT(index, cage.vertices.size());
        }
        const Vec3 p0 = cage.vertices[quad[0]];
        const Vec3 n = cross(cage.vertices[quad[1]] - p0, cage.vertices[quad[3]] - p0);
        EXPECT_GT(dot(n, quadCentre(cage, quad) - inside), 0.0f) << "quad " << q;
    }
}

// Rotation from a random unit quaternion, as three columns.
std::array<Vec3, 3> randomRotation(std::mt19937& rng)
{
    std::normal_distribution<float> normal;
    float w = normal(rng), x = normal(rng), y = normal(rng), z = normal(rng);
    const float len = std::sqrt(w * w + x * x + y * y + z * z);
    w /= len, x /= len, y /= len, z /= len;
    return {Vec3{1 - 2 * (y * y + z * z), 2 * (x * y + w * z), 2 * (x * z - w * y)},
            Vec3{2 * (x * y - w * z), 1 - 2 * (x * x + z * z), 2 * (y * z + w * x)},
            Vec3{2 * (x * z + w * y), 2 * (y * z - w * x), 1 - 2 * (x * x + y * y)}};
}

TEST(CageFromQuad, QuadCountsFollowSubdivisionsAndBottom)
{
    const std::array<Vec3, 3> identity{Vec3{1, 0, 0}, Vec3{0, 1, 0}, Vec3{0, 0, 1}};
    struct Case {
        unsigned subdivisions;
        bool bottom;
        std::size_t quads;
    };
    const Case cases[] = {{0, true, 6}, {1, true, 6}, {1, false, 5}, {2, false, 9}, {3, true, 14}};
    for (const Case& c : cases) {
        const QuadCage cage = cageFromQuad({0, 0, 0}, {1, 2, 3}, identity, c.subdivisions, c.bottom);
        EXPECT_EQ(cage.quads.size(), c.quads) << c.subdivisions << " " << c.bottom;
        EXPECT_EQ(cage.vertices.size(), 4 * c.quads); // faces share nothing
    }
}

TEST(CageFromQuad, BoxCornersAndStripsOnTheAxisAlignedBox)
{
    const std::array<Vec3, 3> identity{Vec3{1, 0, 0}, Vec3{0, 1, 0}, Vec3{0, 0, 1}};
    const QuadCage cage = cageFromQuad({10, 20, 30}, {1, 2, 3}, identity, 2, false);
    // Face 1 (+x), first strip: from the bottom half of the side, U along -z.
    EXPECT_EQ(cage.vertices[0], (Vec3{11, 18, 33}));
    EXPECT_EQ(cage.vertices[1], (Vec3{11, 18, 27}));
    EXPECT_EQ(cage.vertices[2], (Vec3{11, 20, 27}));
    EXPECT_EQ(cage.vertices[3], (Vec3{11, 20, 33}));
    // Every vertex lies on the box surface.
    for (const Vec3& v : cage.vertices) {
        const bool onFace = std::fabs(v.x - 10) == 1 || std::fabs(v.y - 20) == 2 || std::fabs(v.z - 30) == 3;
        EXPECT_TRUE(onFace) << v.x << " " << v.y << " " << v.z;
        EXPECT_LE(std::fabs(v.x - 10), 1.0f);
        EXPECT_LE(std::fabs(v.y - 20), 2.0f);
        EXPECT_LE(std::fabs(v.z - 30), 3.0f);
    }
    // The last quad is the top.
    for (std::uint32_t index : cage.quads.back()) {
        EXPECT_EQ(cage.vertices[index].y, 22.0f);
    }
    expectOutward(cage, {10, 20, 30});
}

TEST(CageFromQuad, RotatedBoxesFaceOutward)
{
    std::mt19937 rng(5);
    std::uniform_real_distribution<float> extent(0.2f, 4.0f);
    std::uniform_real_distribution<float> offset(-50.0f, 50.0f);
    for (int k = 0; k < 50; ++k) {
        const Vec3 centre{offset(rng), offset(rng), offset(rng)};
        const QuadCage cage = cageFromQuad(centre, {extent(rng), extent(rng), extent(rng)}, randomRotation(rng),
                                           1 + k % 4, k % 2 == 0);
        expectOutward(cage, centre);
    }
}

// Centre, half extents and axes given as plain floats (the axes as three
// columns of three) describe the same box, vertex for vertex.
TEST(CageFromQuad, PlainFloatsGiveTheSameCage)
{
    std::mt19937 rng(9);
    for (int k = 0; k < 8; ++k) {
        const std::array<Vec3, 3> axes = randomRotation(rng);
        const float centre[3] = {1.5f * float(k), -2.0f, 0.25f};
        const float half[3] = {0.5f, 1.0f + float(k), 2.0f};
        float columns[9];
        for (int c = 0; c < 3; ++c) {
            for (int r = 0; r < 3; ++r) {
                columns[3 * c + r] = axes[std::size_t(c)][r];
            }
        }
        const unsigned subdivisions = unsigned(k % 4);
        const bool bottom = k % 2 == 1;
        const QuadCage plain = cageFromQuad(centre, half, columns, subdivisions, bottom);
        const QuadCage vectors = cageFromQuad(Vec3{centre[0], centre[1], centre[2]}, Vec3{half[0], half[1], half[2]},
                                              axes, subdivisions, bottom);
        ASSERT_EQ(plain.quads, vectors.quads) << k;
        ASSERT_EQ(plain.vertices.size(), vectors.vertices.size()) << k;
        for (std::size_t i = 0; i < plain.vertices.size(); ++i) {
            EXPECT_EQ(plain.vertices[i], vectors.vertices[i]) << k << " vertex " << i;
        }
    }
    // Braced lists of floats, the axes as nine: the identity box of the table.
    const QuadCage listed = cageFromQuad({10, 20, 30}, {1, 2, 3}, {1, 0, 0, 0, 1, 0, 0, 0, 1}, 2, false);
    ASSERT_EQ(listed.quads.size(), 9u);
    EXPECT_EQ(listed.vertices[0], (Vec3{11, 18, 33}));
    EXPECT_EQ(listed.vertices[2], (Vec3{11, 20, 27}));
}

TEST(CubeSphereCage, ResolutionOneIsTheCubeOnTheSphere)
{
    const float radius = 2.0f;
    const QuadCage cage = cubeSphereCage(1, radius);
    ASSERT_EQ(cage.quads.size(), 6u);
    ASSERT_EQ(cage.vertices.size(), 24u);
    const float corner = radius / std::sqrt(3.0f);
    for (const Vec3& v : cage.vertices) {
        for (int axis = 0; axis < 3; ++axis) {
            EXPECT_NEAR(std::fabs(v[axis]), corner, 1e-5f);
        }
    }
    expectOutward(cage, {0, 0, 0});
}

TEST(CubeSphereCage, VerticesOnTheSphereQuadsOutwardEqualAngleSpacing)
{
    const int n = 6;
    const QuadCage cage = cubeSphereCage(n, 3.5f);
    ASSERT_EQ(cage.quads.size(), std::size_t(6 * n * n));
    ASSERT_EQ(cage.vertices.size(), std::size_t(6 * (n + 1) * (n + 1)));
    for (const Vec3& v : cage.vertices) {
        EXPECT_NEAR(length(v), 3.5f, 1e-5f);
    }
    expectOutward(cage, {0, 0, 0});
    // Along the middle row of the first face (+x) the angle steps evenly by 90/n degrees.
    const std::uint32_t row = static_cast<std::uint32_t>(n / 2) * (n + 1);
    for (int j = 0; j < n; ++j) {
        const Vec3 a = cage.vertices[row + j] / 3.5f;
        const Vec3 b = cage.vertices[row + j + 1] / 3.5f;
        EXPECT_NEAR(std::acos(std::min(dot(a, b), 1.0f)), 3.14159265f / 2 / n, 1e-3f);
    }
    EXPECT_TRUE(cubeSphereCage(0, 1.0f).quads.empty());
}

TEST(RadialSourceCage, VerticesSitOnTheCoarseSurfacePulledInByTheMargin)
{
    RadialSourceParams params;
    params.radius = 1.3f;
    params.seed = 4;
    const float margin = 0.03f;
    const QuadCage sphere = cubeSphereCage(8, 1.0f);
    const QuadCage cage = radialSourceCage(8, params, 2, margin);
    ASSERT_EQ(cage.quads, sphere.quads);
    ASSERT_EQ(cage.vertices.size(), sphere.vertices.size());
    float lo = 1e9f;
    float hi = -1e9f;
    for (std::size_t i = 0; i < cage.vertices.size(); ++i) {
        const Vec3 d = sphere.vertices[i];
        const float r = length(cage.vertices[i]);
        EXPECT_NEAR(r, radialNoise(params, d, 2) + params.radius - margin, 1e-5f);
        EXPECT_NEAR(dot(cage.vertices[i], d), r, 1e-5f); // moved along its own direction
        lo = std::min(lo, r);
        hi = std::max(hi, r);
    }
    EXPECT_GT(hi - lo, 0.01f); // the noise does move the vertices
    EXPECT_LE(hi, params.radius + params.amplitude - margin);
    EXPECT_GE(lo, params.radius - params.amplitude - margin);
}

} // namespace
} // namespace qlmr
