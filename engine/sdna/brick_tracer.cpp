#include "sdna/brick_tracer.h"

#include <algorithm>
#include <cmath>
#include <limits>

#include "sdna/tracer.h"

namespace qlmr {

namespace {

constexpr float kInfinity = std::numeric_limits<float>::infinity();

float roundDownToFloat(double v) {
    float f = static_cast<float>(v);
    if (static_cast<double>(f) > v) f = std::nextafter(f, -kInfinity);
    return f;
}

float roundUpToFloat(double v) {
    float f = static_cast<float>(v);
    if (static_cast<double>(f) < v) f = std::nextafter(f, kInfinity);
    return f;
}

std::array<float, 3> pointAt(const std::array<float, 3>& o, const std::array<float, 3>& d, float t) {
    return {o[0] + d[0] * t, o[1] + d[1] * t, o[2] + d[2] * t};
}

SdnaHit uncertainAt(const std::array<float, 3>& origin, const std::array<float, 3>& direction,
                    float t, std::uint32_t steps) {
    SdnaHit hit;
    hit.status = kSdnaUncertain;
    hit.t = t;
    hit.position = pointAt(origin, direction, t);
    hit.normal = {0.0f, 1.0f, 0.0f};
    hit.steps = steps;
    hit.distance = kInfinity;
    return hit;
}

SdnaHit missAfter(std::uint32_t steps) {
    SdnaHit miss;
    miss.steps = steps;
    return miss;
}

// One traced ray: the step counter, the statistics and the exact hand-over.
class BrickRay {
public:
    BrickRay(const Bricks& bricks, const std::array<float, 3>& origin,
             const std::array<float, 3>& direction, float tmin, float tmax,
             const SdnaTraceOptions& options, std::uint32_t stepLimit, std::uint32_t mode,
             BrickTraceStats& stats)
        : bricks_(bricks), origin_(origin), direction_(direction), tmin_(tmin), tmax_(tmax),
          options_(options), stepLimit_(stepLimit), mode_(mode), stats_(stats) {}

    // Counts one step; false when it goes beyond the limit.
    bool countStep() { return ++steps_ <= stepLimit_; }
    std::uint32_t steps() const { return steps_; }
    BrickTraceStats& stats() { return stats_; }

    SdnaHit refine(float t) {
        if (steps_ >= stepLimit_) return uncertainAt(origin_, direction_, t, steps_);
        SdnaTraceOptions exact = options_;
        exact.maxSteps = std::min(stepLimit_ - steps_, options_.maxSteps);
        const float from = mode_ == kBrickModeLocal ? t : tmin_;
        const BonePose* pose = bricks_.pose.empty() ? nullptr : bricks_.pose.data();
        SdnaHit hit = traceProgram(bricks_.program, origin_, direction_, from, tmax_, exact, pose,
                                   bricks_.pose.size(), nullptr);
        steps_ += hit.steps;
        ++stats_.refinements;
        stats_.refinementSteps += hit.steps;
        if (hit.status == kSdnaHit) ++stats_.refinementHits;
        hit.steps = steps_;
        return hit;
    }

    SdnaHit uncertain(float t) const { return uncertainAt(origin_, direction_, t, steps_); }
    SdnaHit miss() const { return missAfter(steps_); }

private:
    const Bricks& bricks_;
    std::array<float, 3> origin_, direction_;
    float tmin_, tmax_;
    SdnaTraceOptions options_;
    std::uint32_t stepLimit_;
    std::uint32_t mode_;
    BrickTraceStats& stats_;
    std::uint32_t steps_ = 0;
};

SdnaHit trace(const Bricks& bricks, const std::array<float, 3>& origin,
              const std::array<float, 3>& direction, float tmin, float tmax,
              const SdnaTraceOptions& options, std::uint32_t stepLimit, std::uint32_t mode,
              BrickTraceStats& stats) {
    const bool inputsFinite = std::isfinite(origin[0]) && std::isfinite(origin[1]) &&
                              std::isfinite(origin[2]) && std::isfinite(direction[0]) &&
                              std::isfinite(direction[1]) && std::isfinite(direction[2]) &&
                              std::isfinite(tmin) && !std::isnan(tmax) &&
                              std::isfinite(options.eps) && std::isfinite(options.epsPerDistance);
    const bool directionZero = direction[0] == 0.0f && direction[1] == 0.0f && direction[2] == 0.0f;
    if (!(bricks.cellSize > 0.0f) || !inputsFinite || directionZero) {
        SdnaHit bad;
        bad.status = kSdnaUncertain;
        bad.distance = kInfinity;
        return bad;
    }

    // Clip to the program box exactly as the exact tracer does.
    const SdnaProgram& program = bricks.program;
    float tnear = tmin;
    float tfar = tmax;
    if (!clipToProgramBox(program, origin, direction, tnear, tfar)) return missAfter(0);
    if (stepLimit == 0 || options.maxSteps == 0) return uncertainAt(origin, direction, tnear, 0);

    BrickRay ray(bricks, origin, direction, tmin, tmax, options, stepLimit, mode, stats);

    // A grid that does not hold an entry for every block its size names (its
    // fields set or cleared by hand) cannot be walked: the ray is traced
    // exactly, as without a grid.
    const bool noGrid = bricks.gridSize[0] == 0 || bricks.gridSize[1] == 0 ||
                        bricks.gridSize[2] == 0 || bricks.grid.size() != bricks.gridEntryCount();
    if (noGrid || tnear < 0.0f || options.eps < 0.0f || options.epsPerDistance < 0.0f) {
        return ray.refine(tnear);
    }

    const double lipschitz = bricks.lipschitz;
    const double largestDirection =
        std::max({std::fabs(direction[0]), std::fabs(direction[1]), std::fabs(direction[2])});
    const double largestOrigin =
        std::max({std::fabs(origin[0]), std::fabs(origin[1]), std::fabs(origin[2])});
    const double margin = (std::max(std::fabs(static_cast<double>(tnear)), std::fabs(static_cast<double>(tfar))) *
                               largestDirection + largestOrigin + 1.0) * 0x1p-19 * lipschitz;

    // Three-dimensional digital differential analyser over the blocks.
    const double edge = 8.0 * static_cast<double>(bricks.cellSize);
    std::array<std::int64_t, 3> block{};
    std::array<std::int64_t, 3> stepDir{};
    std::array<double, 3> nextBoundary{};
    std::array<double, 3> boundaryGap{};
    for (int a = 0; a < 3; ++a) {
        const double o = origin[a];
        const double d = direction[a];
        const double lo = program.boundsMin[a];
        const double p = o + d * static_cast<double>(tnear);
        const double cell = (p - lo) / edge;
        double b = std::floor(cell);
        if (cell == b && d < 0.0) b -= 1.0;
        const double last = static_cast<double>(bricks.gridSize[a]) - 1.0;
        b = std::min(std::max(b, 0.0), last);
        block[a] = static_cast<std::int64_t>(b);
        if (std::fabs(d) < 1e-20) {
            stepDir[a] = 0;
            nextBoundary[a] = std::numeric_limits<double>::infinity();
            boundaryGap[a] = std::numeric_limits<double>::infinity();
        } else {
            stepDir[a] = d > 0.0 ? 1 : -1;
            const double face = lo + (b + (d > 0.0 ? 1.0 : 0.0)) * edge;
            nextBoundary[a] = (face - o) / d;
            boundaryGap[a] = edge / std::fabs(d);
        }
    }

    const std::uint64_t sx = bricks.gridSize[0];
    const std::uint64_t sy = bricks.gridSize[1];
    float t = tnear;
    for (;;) {
        if (!ray.countStep()) return ray.uncertain(t);
        ++ray.stats().blocks;
        const double leave = std::min({nextBoundary[0], nextBoundary[1], nextBoundary[2]});
        const double exit = std::min(leave, static_cast<double>(tfar));
        float threshold = roundUpToFloat(std::max(exit, static_cast<double>(t)) * options.epsPerDistance +
                                         options.eps);
        threshold = std::nextafter(std::nextafter(threshold, kInfinity), kInfinity);
        const double stepFloor = static_cast<double>(threshold) + margin;

        const BrickGridEntry& entry =
            bricks.grid[static_cast<std::size_t>(block[0] + sx * (block[1] + sy * block[2]))];
        if (entry.index == kBrickNotBuilt) return ray.refine(t);
        if (static_cast<double>(entry.value) <= stepFloor) {
            for (;;) {
                if (!ray.countStep()) return ray.uncertain(t);
                ++ray.stats().brickSteps;
                const std::array<double, 3> p{
                    origin[0] + static_cast<double>(direction[0]) * t,
                    origin[1] + static_cast<double>(direction[1]) * t,
                    origin[2] + static_cast<double>(direction[2]) * t};
                const double sample = sampleBricks(bricks, block[0], block[1], block[2], p);
                const float step = roundDownToFloat((sample - stepFloor) / lipschitz);
                if (!(step > 0.0f) || !std::isfinite(step)) return ray.refine(t);
                const float next = roundDownToFloat(static_cast<double>(t) + step);
                if (next == t) return ray.refine(t);
                if (static_cast<double>(next) >= exit) break;
                t = next;
            }
        }

        if (!std::isfinite(leave)) return ray.miss();
        for (int a = 0; a < 3; ++a) {
            if (nextBoundary[a] != leave) continue;
            block[a] += stepDir[a];
            nextBoundary[a] += boundaryGap[a];
            if (block[a] < 0 || block[a] >= static_cast<std::int64_t>(bricks.gridSize[a])) {
                return ray.miss();
            }
        }
        const float entryT = roundDownToFloat(leave);
        if (entryT > tfar) return ray.miss();
        t = std::max(t, entryT);
    }
}

}  // namespace

float sampleBricks(const Bricks& bricks, std::int64_t bx, std::int64_t by, std::int64_t bz,
                   const std::array<double, 3>& point) {
    const std::array<std::int64_t, 3> block{bx, by, bz};
    for (int a = 0; a < 3; ++a) {
        if (block[a] < 0 || block[a] >= static_cast<std::int64_t>(bricks.gridSize[a])) return -kInfinity;
    }
    // A grid without an entry for every block its size names (its fields set
    // or cleared by hand) gives no samples: the cache knows nothing there.
    if (bricks.grid.size() != bricks.gridEntryCount()) return -kInfinity;
    const std::size_t index = static_cast<std::size_t>(
        bx + static_cast<std::int64_t>(bricks.gridSize[0]) *
                 (by + static_cast<std::int64_t>(bricks.gridSize[1]) * bz));
    const BrickGridEntry& entry = bricks.grid[index];
    if (entry.index >= kBrickNotBuilt) return entry.value;
    if (entry.index >= bricks.bricks.size()) return -kInfinity;  // a record the cache does not hold
    const BrickRecord& brick = bricks.bricks[entry.index];

    std::array<int, 3> base{};
    std::array<double, 3> frac{};
    for (int a = 0; a < 3; ++a) {
        double s = (point[a] - static_cast<double>(bricks.program.boundsMin[a])) /
                       static_cast<double>(bricks.cellSize) -
                   8.0 * static_cast<double>(block[a]) - 0.5;
        // A point that is not a number has no place in the brick: the cache
        // knows nothing there, as outside the grid (and the sample index
        // below must never come from a NaN).
        if (std::isnan(s)) return -kInfinity;
        s = std::min(std::max(s, 0.0), 7.0);
        const double whole = std::floor(s);
        base[a] = static_cast<int>(whole);
        frac[a] = s - whole;
    }
    double sum = 0.0;
    for (int dz = 0; dz < 2; ++dz) {
        const double wz = dz ? frac[2] : 1.0 - frac[2];
        if (wz == 0.0) continue;
        for (int dy = 0; dy < 2; ++dy) {
            const double wy = dy ? frac[1] : 1.0 - frac[1];
            if (wy == 0.0) continue;
            for (int dx = 0; dx < 2; ++dx) {
                const double wx = dx ? frac[0] : 1.0 - frac[0];
                if (wx == 0.0) continue;
                const int i = (base[0] + dx) + kBrickCells * ((base[1] + dy) + kBrickCells * (base[2] + dz));
                sum += wx * wy * wz * static_cast<double>(halfBitsToFloat(brick.samples[i]));
            }
        }
    }
    return roundDownToFloat(sum);
}

void traceBricksLocal(SdnaHit& hit, const Bricks& bricks, const std::array<float, 3>& origin,
                      const std::array<float, 3>& direction, float tmin, float tmax,
                      const SdnaTraceOptions& options, std::uint32_t stepLimit,
                      BrickTraceStats* stats, std::uint32_t mode) {
    BrickTraceStats local;
    hit = trace(bricks, origin, direction, tmin, tmax, options, stepLimit, mode, local);
    if (stats != nullptr) *stats = local;
}

}  // namespace qlmr
