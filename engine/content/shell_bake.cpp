#include "content/shell_bake.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <limits>
#include <stdexcept>

namespace qlmr {

namespace {

constexpr std::uint32_t probeResolution = 16;
constexpr int probeTries = 12;
constexpr int bakeTries = 6;
constexpr float insetGrowth = 1.5f;

const Vec3& cageVertex(const QuadCage& cage, std::uint32_t index)
{
    if (index >= cage.vertices.size()) {
        throw std::out_of_range("invalid vector subscript");
    }
    return cage.vertices[index];
}

Vec3 withoutComponent(Vec3 a, Vec3 unit) { return a - unit * dot(a, unit); }

std::uint32_t packColor(const std::array<std::uint8_t, 4>& c)
{
    return std::uint32_t(c[0]) | std::uint32_t(c[1]) << 8 | std::uint32_t(c[2]) << 16 | std::uint32_t(c[3]) << 24;
}

// Fades the outer rings so neighbouring shells meet at height 0: weight 0 on
// the border, full weight four samples in, and a small drop below the
// surface over the outer seven rings so the rim never pokes out.
void taperBorder(std::vector<float>& heights, std::uint32_t n, float maxHeight)
{
    const float drop = 0.002f * maxHeight;
    for (std::uint32_t i = 0; i < n; ++i) {
        for (std::uint32_t j = 0; j < n; ++j) {
            const std::uint32_t edge = std::min(std::min(i, n - 1 - i), std::min(j, n - 1 - j));
            const float ramp = 0.25f * static_cast<float>(edge);
            const float s = std::clamp(ramp, 0.0f, 1.0f);
            const float weight = s * s * (3.0f - 2.0f * s);
            const float sub = ramp < 1.75f ? drop : 0.0f;
            float& h = heights[std::size_t(i) * n + j];
            h = std::max(0.0f, weight * h - sub);
        }
    }
}

bool cornersTouch(const QuadCage& cage, const std::array<std::uint32_t, 4>& a, const std::array<std::uint32_t, 4>& b)
{
    constexpr float tolerance2 = 1e-5f * 1e-5f;
    for (std::uint32_t ia : a) {
        for (std::uint32_t ib : b) {
            const Vec3 d = cage.vertices[ia] - cage.vertices[ib];
            if (dot(d, d) <= tolerance2) {
                return true;
            }
        }
    }
    return false;
}

// How far the surface above a quad may lean out past its edges, per unit of
// height: the tangent of the largest bend to a quad sharing a corner.
std::vector<float> bendLimits(const QuadCage& cage, const std::vector<QuadFrame>& frames)
{
    const std::size_t m = frames.size();
    std::vector<float> limits(m, 0.0f);
    for (std::size_t i = 0; i < m; ++i) {
        for (std::size_t j = 0; j < m; ++j) {
            if (j == i || !cornersTouch(cage, cage.quads[i], cage.quads[j])) {
                continue;
            }
            const float cosine = std::clamp(dot(frames[i].normal, frames[j].normal), -1.0f, 1.0f);
            limits[i] = std::max(limits[i], std::tan(std::min(std::acos(cosine), 1.2f)));
        }
    }
    return limits;
}

bool isPowerOfTwo(std::uint32_t v) { return v != 0 && (v & (v - 1)) == 0; }

} // namespace

QuadFrame quadFrame(const QuadCage& cage, std::uint32_t quadIndex)
{
    const auto& quad = cage.quads.at(quadIndex);
    const Vec3 p0 = cageVertex(cage, quad[0]);
    const Vec3 p1 = cageVertex(cage, quad[1]);
    const Vec3 p2 = cageVertex(cage, quad[2]);
    const Vec3 p3 = cageVertex(cage, quad[3]);
    QuadFrame frame;
    frame.centre = (p0 + p1 + p2 + p3) * 0.25f;
    const Vec3 u = ((p1 - p0) + (p2 - p3)) / 2.0f;
    const Vec3 v = ((p3 - p0) + (p2 - p1)) / 2.0f;
    frame.normal = normalizeSafe(cross(u, v));
    frame.axisU = withoutComponent(u, frame.normal);
    frame.axisV = withoutComponent(v, frame.normal);
    return frame;
}

BakedShell bakeShell(const QuadFrame& frame, float outerExtent, std::uint32_t resolution, const BakeSource& source,
                      float inset, bool wantColor)
{
    const std::uint32_t n = resolution;
    BakedShell record;
    record.axisU = frame.axisU * (1.0f + 2.0f * outerExtent);
    record.axisV = frame.axisV * (1.0f + 2.0f * outerExtent);
    record.normal = frame.normal;
    record.origin = frame.centre - (record.axisU + record.axisV) / 2.0f - frame.normal * inset;
    record.heights.resize(std::size_t(n) * n);
    if (wantColor) {
        record.colors.resize(std::size_t(n) * n);
    }

    const float maxT = source.maxDistance(inset);
    const float dir[3] = {frame.normal.x, frame.normal.y, frame.normal.z};
    const float fn = static_cast<float>(n);
    for (std::uint32_t i = 0; i < n; ++i) {
        const Vec3 alongV = record.axisV * (static_cast<float>(i) / fn);
        for (std::uint32_t j = 0; j < n; ++j) {
            // origin + U' j/n + V' i/n, summed in that order, so that every
            // ray starts exactly on the grid the prism's texels describe.
            const Vec3 p = record.origin + record.axisU * (static_cast<float>(j) / fn) + alongV;
            const float origin[3] = {p.x, p.y, p.z};
            BakeHit hit;
            source.sample(hit, origin, dir, maxT, wantColor);
            const std::size_t k = std::size_t(i) * n + j;
            record.outsideCount += hit.originOutside ? 1u : 0u;
            record.heights[k] = hit.t;
            record.maxHeight = std::max(record.maxHeight, hit.t);
            if (wantColor) {
                record.colors[k] = packColor(hit.color);
            }
        }
    }
    taperBorder(record.heights, n, record.maxHeight);
    return record;
}

ShellBakeStats bakeShells(Scene& scene, const QuadCage& cage, const BakeSource& source,
                          const ShellBakeOptions& options, ThreadPool& pool)
{
    const auto start = std::chrono::steady_clock::now();
    const auto m = static_cast<std::uint32_t>(cage.quads.size());
    const std::uint32_t n = options.resolution;
    // The fields would refuse this resolution anyway; refusing it here spares
    // the whole bake.
    if (m > 0 && !isPowerOfTwo(n)) {
        throw std::invalid_argument("field width must be a power of two");
    }
    // Nor can a field take more than its largest side: at 65536 samples a
    // side every quad would cast 2^32 rays into 32 GB of records first.
    constexpr std::uint32_t kLargestFieldSide = std::uint32_t(1) << (kMaxFieldLevels - 1);
    if (m > 0 && n > kLargestFieldSide) {
        throw std::invalid_argument("field too large");
    }

    std::vector<QuadFrame> frames(m);
    for (std::uint32_t q = 0; q < m; ++q) {
        QuadFrame& frame = frames[q];
        frame = quadFrame(cage, q);
        if (options.radialNormals) {
            frame.normal = normalizeSafe(frame.centre - options.center);
            frame.axisU = withoutComponent(frame.axisU, frame.normal);
            frame.axisV = withoutComponent(frame.axisV, frame.normal);
        }
    }

    std::vector<float> outer(m, options.outerExtent);
    std::vector<float> inset(m, options.innerExtent);

    if (options.adaptive) {
        const std::vector<float> limits = bendLimits(cage, frames);
        const float lateralFloor = 10.0f / static_cast<float>(n);
        pool.run(m, [&](unsigned q, unsigned) {
            const float shortest = std::min(length(frames[q].axisU), length(frames[q].axisV));
            for (int attempt = 0; attempt < probeTries; ++attempt) {
                const BakedShell probe = bakeShell(frames[q], outer[q], probeResolution, source, inset[q], false);
                if (probe.outsideCount > 0) {
                    inset[q] *= insetGrowth;
                    continue;
                }
                // The surface may lean past the quad's edge by its height
                // times the bend to the neighbours; grow the quad to cover it.
                const float need = probe.maxHeight * limits[q] * 1.1f / shortest + lateralFloor;
                if (need <= outer[q]) {
                    break;
                }
                outer[q] = std::min(options.maxExtent, need);
                if (outer[q] == options.maxExtent) {
                    break;
                }
            }
        });
    }

    std::vector<BakedShell> records(m);
    pool.run(m, [&](unsigned q, unsigned) {
        for (int attempt = 0; attempt < bakeTries; ++attempt) {
            records[q] = bakeShell(frames[q], outer[q], n, source, inset[q], true);
            if (records[q].outsideCount == 0) {
                break;
            }
            inset[q] *= insetGrowth;
        }
    });

    ShellBakeStats stats;
    constexpr float infinity = std::numeric_limits<float>::infinity();
    for (std::uint32_t q = 0; q < m; ++q) {
        BakedShell& record = records[q];
        const float scale = std::max(record.maxHeight * 1.0001f, 1e-6f);
        for (float& h : record.heights) {
            h /= scale;
        }
        DisplacementField field(n, n, std::span<const float>(record.heights), true);
        field.setAlbedo(n, n, record.colors);
        stats.bytes += field.heightBytes() + field.boundsBytes();
        const int fieldIndex = scene.addField(std::move(field));

        Prism prism;
        prism.origin = record.origin;
        prism.axisU = record.axisU;
        prism.axisV = record.axisV;
        prism.axisH = record.normal * scale;
        prism.fieldIndex = static_cast<std::uint32_t>(fieldIndex);
        prism.boundsMin = {infinity, infinity, infinity};
        prism.boundsMax = {-infinity, -infinity, -infinity};
        scene.addPrism(prism);

        stats.prismsBaked += 1;
        stats.outsideSamples += record.outsideCount;
        stats.bakedArea += length(cross(record.axisU, record.axisV));
        stats.cageArea += length(cross(frames[q].axisU, frames[q].axisV));
        stats.maxOuterExtent = std::max(stats.maxOuterExtent, outer[q]);
    }

    stats.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    return stats;
}

} // namespace qlmr
