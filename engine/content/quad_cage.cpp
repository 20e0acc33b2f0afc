#include "content/quad_cage.h"

#include <algorithm>
#include <cmath>

namespace qlmr {

namespace {

Vec3 absolute(Vec3 a) { return {std::fabs(a.x), std::fabs(a.y), std::fabs(a.z)}; }

Vec3 unitOrZero(Vec3 a) { return a / std::sqrt(std::max(dot(a, a), 1e-30f)); }

void appendQuad(QuadCage& cage, Vec3 p0, Vec3 p1, Vec3 p2, Vec3 p3)
{
    const auto base = static_cast<std::uint32_t>(cage.vertices.size());
    cage.vertices.push_back(p0);
    cage.vertices.push_back(p1);
    cage.vertices.push_back(p2);
    cage.vertices.push_back(p3);
    cage.quads.push_back({base, base + 1, base + 2, base + 3});
}

} // namespace

QuadCage cageFromQuad(Vec3 centre, Vec3 halfExtents, const std::array<Vec3, 3>& axes, unsigned subdivisions,
                      bool bottom)
{
    struct Face {
        Vec3 normal;
        Vec3 along; // in-face direction, becomes U
        bool split;
    };
    static constexpr Face faces[6] = {
        {{1, 0, 0}, {0, 0, -1}, true}, {{-1, 0, 0}, {0, 0, 1}, true}, {{0, 0, 1}, {1, 0, 0}, true},
        {{0, 0, -1}, {-1, 0, 0}, true}, {{0, 1, 0}, {1, 0, 0}, false}, {{0, -1, 0}, {1, 0, 0}, false},
    };
    auto toWorld = [&](Vec3 q) { return centre + (axes[0] * q.x + axes[1] * q.y + axes[2] * q.z); };

    QuadCage cage;
    for (const Face& face : faces) {
        if (face.normal.y < 0.0f && !bottom) {
            continue;
        }
        const Vec3 n = face.normal;
        const Vec3 t = face.along;
        const Vec3 b = cross(n, t);
        const float en = dot(absolute(n), halfExtents);
        const float et = dot(absolute(t), halfExtents);
        const float eb = dot(absolute(b), halfExtents);
        const unsigned strips = face.split && subdivisions > 1 ? subdivisions : 1;
        for (unsigned j = 0; j < strips; ++j) {
            const float s0 = static_cast<float>(j) * 2.0f * eb / static_cast<float>(strips) - eb;
            const float s1 = static_cast<float>(j + 1) * 2.0f * eb / static_cast<float>(strips) - eb;
            const Vec3 q0 = n * en - t * et + b * s0;
            const Vec3 q1 = n * en + t * et + b * s0;
            const Vec3 q2 = n * en + t * et + b * s1;
            const Vec3 q3 = n * en - t * et + b * s1;
            appendQuad(cage, toWorld(q0), toWorld(q1), toWorld(q2), toWorld(q3));
        }
    }
    return cage;
}

QuadCage cageFromQuad(const float (&centre)[3], const float (&halfExtents)[3], const float (&axes)[9],
                      unsigned subdivisions, bool bottom)
{
    const std::array<Vec3, 3> columns{Vec3{axes[0], axes[1], axes[2]}, Vec3{axes[3], axes[4], axes[5]},
                                      Vec3{axes[6], axes[7], axes[8]}};
    return cageFromQuad(Vec3{centre[0], centre[1], centre[2]}, Vec3{halfExtents[0], halfExtents[1], halfExtents[2]},
                        columns, subdivisions, bottom);
}

QuadCage cubeSphereCage(int resolution, float radius)
{
    QuadCage cage;
    if (resolution < 1) {
        return cage;
    }
    struct Face {
        Vec3 centre;
        Vec3 axis; // becomes U; V runs along centre x axis
    };
    static constexpr Face faces[6] = {
        {{1, 0, 0}, {0, 0, -1}}, {{-1, 0, 0}, {0, 0, 1}}, {{0, 1, 0}, {1, 0, 0}},
        {{0, -1, 0}, {1, 0, 0}}, {{0, 0, 1}, {1, 0, 0}},  {{0, 0, -1}, {-1, 0, 0}},
    };
    constexpr float quarterPi = 3.14159265f / 4.0f;
    const auto n = static_cast<unsigned>(resolution);
    const float fn = static_cast<float>(resolution);
    cage.vertices.reserve(std::size_t(6) * (n + 1) * (n + 1));
    cage.quads.reserve(std::size_t(6) * n * n);
    for (const Face& face : faces) {
        const Vec3 b = cross(face.centre, face.axis);
        const auto base = static_cast<std::uint32_t>(cage.vertices.size());
        for (unsigned i = 0; i <= n; ++i) {
            const float sigma = std::tan((2.0f * static_cast<float>(i) / fn - 1.0f) * quarterPi);
            for (unsigned j = 0; j <= n; ++j) {
                const float tau = std::tan((2.0f * static_cast<float>(j) / fn - 1.0f) * quarterPi);
                const Vec3 p = face.centre + face.axis * tau + b * sigma;
                cage.vertices.push_back(unitOrZero(p) * radius);
            }
        }
        const std::uint32_t row = n + 1;
        for (std::uint32_t i = 0; i < n; ++i) {
            for (std::uint32_t j = 0; j < n; ++j) {
                cage.quads.push_back({base + i * row + j, base + i * row + j + 1, base + (i + 1) * row + j + 1,
                                      base + (i + 1) * row + j});
            }
        }
    }
    return cage;
}

QuadCage radialSourceCage(unsigned resolution, const RadialSourceParams& params, int octaves, float margin)
{
    checkRadialSourceParams(params);
    QuadCage cage = cubeSphereCage(static_cast<int>(resolution), 1.0f);
    for (Vec3& vertex : cage.vertices) {
        const Vec3 d = unitOrZero(vertex);
        vertex = d * (radialNoise(params, d, octaves) + params.radius - margin);
    }
    return cage;
}

} // namespace qlmr
