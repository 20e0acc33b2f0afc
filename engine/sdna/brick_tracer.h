#pragma once
// Sphere tracing through a distance-brick cache: blocks far from the
// surface are skipped whole, bricks are stepped through with safe steps
// from their lower-bound samples, and the exact program takes over wherever
// the cache has nothing or is not sure.

#include <array>
#include <cstdint>

#include "sdna/bricks.h"
#include "sdna/program.h"

namespace qlmr {

// Brick mode 1: the exact refinement traces only the rest of the ray from
// where the bricks stopped. Any other mode traces the whole ray exactly
// again, so the result equals the plain exact trace.
inline constexpr std::uint32_t kBrickModeLocal = 1;

struct BrickTraceStats {
    std::uint64_t blocks = 0;           // blocks visited
    std::uint64_t brickSteps = 0;       // steps taken on brick samples
    std::uint64_t refinements = 0;      // hand-overs to the exact program
    std::uint64_t refinementSteps = 0;  // evaluations made by them
    std::uint64_t refinementHits = 0;   // of them, those that ended on the surface
};

// The cached distance at `point` (program space) read from block
// (bx, by, bz): -infinity outside the grid (and for a grid or brick record
// the cache does not hold), the stored value of a far or not-built block,
// otherwise the trilinear interpolation of the brick's
// samples, rounded down.
float sampleBricks(const Bricks& bricks, std::int64_t bx, std::int64_t by, std::int64_t bz,
                   const std::array<double, 3>& point);

// Traces origin + direction * t, t in [tmin, tmax], through the cache. Every
// block visited and every brick step counts against stepLimit, as do the
// evaluations of the exact refinement; hit.steps is the total. `stats` may
// be null; when given it is zeroed first.
void traceBricksLocal(SdnaHit& hit, const Bricks& bricks, const std::array<float, 3>& origin,
                      const std::array<float, 3>& direction, float tmin, float tmax,
                      const SdnaTraceOptions& options, std::uint32_t stepLimit,
                      BrickTraceStats* stats, std::uint32_t mode);

}  // namespace qlmr
