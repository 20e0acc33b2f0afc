#include "scene/shadow_horizon.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace qlmr {
namespace {

// The grid has at most 2^7 cells along the field's longer side: fine enough
// that a ray clears its cell soon after leaving the surface, small enough
// to rebuild in about half a millisecond when a field is edited (a grid
// twice as fine ends shadow walks 5 % sooner at four times that cost).
constexpr int kGridLog2 = 7;

// The walk's own conversion of a 16-bit height.
constexpr float kHeightScale = 1.5259022e-5f;

// How far (in unit-square coordinates) a start cell is widened before the
// reach of its rays is measured: well above the float error of the point a
// lane looks its cell up by (a few 1e-7 for the origins the walk accepts).
constexpr double kStartSlack = 0x1p-16;

// Rays along `d` leave a start interval [s0, s1] and enter [t0, t1] of one
// axis for ray parameters in [lo, hi]; false when they never do.
bool axisReach(double s0, double s1, double t0, double t1, double d, double& lo, double& hi)
{
    const double a = t0 - s1, b = t1 - s0;
    if (d > 0.0) {
        lo = a / d;
        hi = b / d;
    } else if (d < 0.0) {
        lo = b / d;
        hi = a / d;
    } else {
        if (a > 0.0 || b < 0.0)
            return false;
        lo = -std::numeric_limits<double>::infinity();
        hi = std::numeric_limits<double>::infinity();
    }
    return true;
}

struct Box {
    double u0, u1, v0, v1;
};

// The smallest ray parameter (at least 0) at which a ray along (du, dv) from
// a point of `from` stands in `to`; false when none does.
bool earliestReach(const Box& from, const Box& to, double du, double dv, double& t)
{
    double uLo, uHi, vLo, vHi;
    if (!axisReach(from.u0, from.u1, to.u0, to.u1, du, uLo, uHi) ||
        !axisReach(from.v0, from.v1, to.v0, to.v1, dv, vLo, vHi))
        return false;
    const double lo = std::max({0.0, uLo, vLo});
    if (lo > std::min(uHi, vHi))
        return false;
    t = lo;
    return true;
}

// What a horizon's rows are built from: the grid's ceilings, and every
// cell offset a ray of the direction reaches from its start cell, with the
// earliest ray parameter it gets there, nearest first.
struct HorizonPlan {
    std::vector<double> ceiling; // per cell, row by row
    double highest = 0.0;        // the largest ceiling
    double margin = 0.0;
    struct Offset {
        int dx, dy;
        double t;
    };
    std::vector<Offset> reach;
};

// What a horizon is a function of, for one prism and direction; `usable`
// is false where no horizon helps: a field without a bounds level to build
// on, or a direction that does not climb away from the field (dh <= 0).
struct HorizonInputs {
    bool usable = false;
    float du = 0.0f, dv = 0.0f, dh = 0.0f;
    int level = 0;
    std::uint32_t cellsU = 0, cellsV = 0;
    std::uint32_t log2W = 0, log2H = 0;
    const std::uint32_t* nodes = nullptr; // the grid level's bounds nodes
};

HorizonInputs horizonInputs(const SceneTracer& tracer, std::uint32_t prismIndex, Vec3 dir)
{
    HorizonInputs in;
    const Prism& prism = tracer.scene->prisms[prismIndex];
    const FieldView& view = tracer.views[prism.fieldIndex];
    if (view.levels < 2)
        return in;
    // The local direction exactly as the march's localRays computes it.
    const Vec3& m0 = prism.toLocal[0];
    const Vec3& m1 = prism.toLocal[1];
    const Vec3& m2 = prism.toLocal[2];
    in.du = dir.x * m0.x + dir.y * m1.x + dir.z * m2.x;
    in.dv = dir.x * m0.y + dir.y * m1.y + dir.z * m2.y;
    in.dh = dir.x * m0.z + dir.y * m1.z + dir.z * m2.z;
    if (!(in.dh > 0.0f) || !std::isfinite(in.du) || !std::isfinite(in.dv) || !std::isfinite(in.dh))
        return in;
    in.log2W = view.log2Width;
    in.log2H = view.log2Height;
    const int log2W = int(in.log2W), log2H = int(in.log2H);
    in.level = std::min(int(view.levels) - 1, std::max(1, std::max(log2W, log2H) - kGridLog2));
    in.cellsU = std::uint32_t(1) << std::max(log2W - in.level, 0);
    in.cellsV = std::uint32_t(1) << std::max(log2H - in.level, 0);
    in.nodes = view.bounds + view.boundsOffsets[in.level];
    in.usable = true;
    return in;
}

// The node maxima of the grid's level, row by row.
std::vector<std::uint16_t> nodeMaxima(const HorizonInputs& in)
{
    std::vector<std::uint16_t> maxima(std::size_t(in.cellsU) * in.cellsV);
    for (std::size_t i = 0; i < maxima.size(); ++i)
        maxima[i] = std::uint16_t(in.nodes[i] >> 16);
    return maxima;
}

// Whether `horizon` was built from exactly these inputs (and so equals what
// a build from them gives).
bool builtFrom(const ShadowHorizon& horizon, const HorizonInputs& in)
{
    if (!in.usable)
        return horizon.empty();
    if (horizon.empty() || horizon.du != in.du || horizon.dv != in.dv || horizon.dh != in.dh ||
        horizon.level != in.level || horizon.cellsU != in.cellsU || horizon.cellsV != in.cellsV ||
        horizon.fieldLog2W != in.log2W || horizon.fieldLog2H != in.log2H)
        return false;
    for (std::size_t i = 0; i < horizon.nodeMaxima.size(); ++i)
        if (horizon.nodeMaxima[i] != std::uint16_t(in.nodes[i] >> 16))
            return false;
    return true;
}

// Sets up the horizon's direction, level, size and sources from its inputs
// and returns the plan its clear heights are filled from.
HorizonPlan planShadowHorizon(const HorizonInputs& in, ShadowHorizon& horizon)
{
    HorizonPlan plan;
    const float du = in.du, dv = in.dv, dh = in.dh;
    const int log2W = int(in.log2W), log2H = int(in.log2H);
    const std::uint32_t cellsU = in.cellsU, cellsV = in.cellsV;
    horizon = ShadowHorizon{};
    horizon.nodeMaxima = nodeMaxima(in);
    const std::vector<std::uint16_t>& maxima = horizon.nodeMaxima;

    // Every node of the grid's level bounds the patches of every level up
    // to its own over its footprint, and its minimum is at least that of
    // every coarser node around it. Taking the 3 x 3 neighbourhood's
    // maximum covers the cells a walk tests while its float point stands a
    // hair outside them.
    plan.ceiling.resize(std::size_t(cellsU) * cellsV);
    double lowest = 1.0;
    for (std::uint32_t y = 0; y < cellsV; ++y) {
        for (std::uint32_t x = 0; x < cellsU; ++x) {
            float top = 0.0f;
            for (std::uint32_t ny = y == 0 ? 0 : y - 1; ny <= std::min(y + 1, cellsV - 1); ++ny)
                for (std::uint32_t nx = x == 0 ? 0 : x - 1; nx <= std::min(x + 1, cellsU - 1); ++nx)
                    top = std::max(top, float(maxima[std::size_t(ny) * cellsU + nx]) * kHeightScale);
            plan.ceiling[std::size_t(y) * cellsU + x] = top;
            plan.highest = std::max(plan.highest, double(top));
            lowest = std::min(lowest, double(top));
        }
    }

    // Room for the walk's float arithmetic: its ray heights and patch roots
    // are off by far less than 2^-10, and a patch evaluated at a point that
    // rounding put outside its cell (by at most ~2e-7 of the unit square,
    // i.e. that times the field size in cells) overshoots its corners by at
    // most that much times the largest corner difference (at most 1).
    const double side = double(std::uint32_t(1) << std::max(log2W, log2H));
    plan.margin = 0x1p-10 + side * 0x1p-21;

    // The offsets rays from a start cell reach, walked along the dominant
    // axis of (du, dv), where the earliest parameter of a major step only
    // grows; past the point where the climb exceeds the relief, no cell can
    // matter.
    const bool alongU = std::fabs(du) >= std::fabs(dv);
    const int majorCells = int(alongU ? cellsU : cellsV);
    const int minorCells = int(alongU ? cellsV : cellsU);
    const double dMajor = alongU ? du : dv;
    const double dMinor = alongU ? dv : du;
    const double majorSize = 1.0 / majorCells, minorSize = 1.0 / minorCells;
    const Box from{-kStartSlack, 1.0 / cellsU + kStartSlack, -kStartSlack, 1.0 / cellsV + kStartSlack};
    const double fromMajor0 = -kStartSlack, fromMajor1 = majorSize + kStartSlack;
    const double fromMinor0 = -kStartSlack, fromMinor1 = minorSize + kStartSlack;
    const double relief = plan.highest - lowest;
    const int step = dMajor >= 0.0 ? 1 : -1;
    const int lastMajor = dMajor == 0.0 ? 1 : step * (majorCells - 1);
    for (int major = dMajor == 0.0 ? -1 : -step;; major += dMajor == 0.0 ? 1 : step) {
        double lo, hi;
        if (axisReach(fromMajor0, fromMajor1, major * majorSize, (major + 1) * majorSize, dMajor, lo, hi) &&
            hi >= 0.0) {
            lo = std::max(lo, 0.0);
            if (dMajor != 0.0 && double(dh) * lo > relief)
                break;
            double minor0 = fromMinor0, minor1 = fromMinor1;
            if (dMajor != 0.0) {
                minor0 += std::min(lo * dMinor, hi * dMinor);
                minor1 += std::max(lo * dMinor, hi * dMinor);
            } else {
                minor0 -= minorSize; // no motion in the plane: the start's neighbours
                minor1 += minorSize;
            }
            const int first = std::max(int(std::floor(minor0 * minorCells)), -minorCells);
            const int last = std::min(int(std::floor(minor1 * minorCells)), minorCells);
            for (int minor = first; minor <= last; ++minor) {
                const int dx = alongU ? major : minor, dy = alongU ? minor : major;
                const Box to{double(dx) / cellsU, double(dx + 1) / cellsU, double(dy) / cellsV,
                             double(dy + 1) / cellsV};
                double t;
                if (earliestReach(from, to, du, dv, t))
                    plan.reach.push_back({dx, dy, t});
            }
        }
        if (major == lastMajor)
            break;
    }
    std::stable_sort(plan.reach.begin(), plan.reach.end(),
                     [](const HorizonPlan::Offset& a, const HorizonPlan::Offset& b) { return a.t < b.t; });

    horizon.du = du;
    horizon.dv = dv;
    horizon.dh = dh;
    horizon.level = in.level;
    horizon.cellsU = cellsU;
    horizon.cellsV = cellsV;
    horizon.fieldLog2W = in.log2W;
    horizon.fieldLog2H = in.log2H;
    horizon.clearHeight.resize(plan.ceiling.size());
    return plan;
}

// Fills a planned horizon. A ray leaving a cell climbs dh per unit of ray
// parameter, so at a cell it cannot reach before parameter t it stands at
// least t dh higher than where it left. The clear height of a cell is the
// largest ceiling less that climb over every cell its rays reach, plus the
// margin. A row takes the offsets nearest first, each over the whole row at
// once; once even the highest ceiling less the climb cannot raise the
// lowest value of the row, the farther offsets cannot raise any.
void fillShadowHorizon(const HorizonPlan& plan, ShadowHorizon& horizon)
{
    const double climb = horizon.dh;
    const int cellsU = int(horizon.cellsU), cellsV = int(horizon.cellsV);
    std::vector<double> row(static_cast<std::size_t>(cellsU));
    for (int y = 0; y < cellsV; ++y) {
        std::fill(row.begin(), row.end(), -std::numeric_limits<double>::infinity());
        double rowLowest = -std::numeric_limits<double>::infinity();
        for (std::size_t k = 0; k < plan.reach.size(); ++k) {
            const HorizonPlan::Offset& o = plan.reach[k];
            const double rise = climb * o.t;
            if (k % 8 == 0) {
                rowLowest = *std::min_element(row.begin(), row.end());
                if (plan.highest - rise <= rowLowest)
                    break;
            }
            const int ty = y + o.dy;
            if (ty < 0 || ty >= cellsV)
                continue;
            // Cells x whose target x + dx lies inside the row.
            const int x0 = std::max(0, -o.dx), x1 = std::min(cellsU, cellsU - o.dx);
            const double* target = plan.ceiling.data() + std::size_t(ty) * std::size_t(cellsU) + o.dx;
            for (int x = x0; x < x1; ++x)
                row[std::size_t(x)] = std::max(row[std::size_t(x)], target[x] - rise);
        }
        for (int x = 0; x < cellsU; ++x) {
            // Rounded up, so the float comparison keeps the whole margin.
            const double wanted = row[std::size_t(x)] + plan.margin;
            float stored = float(wanted);
            if (double(stored) < wanted)
                stored = std::nextafter(stored, std::numeric_limits<float>::infinity());
            horizon.clearHeight[std::size_t(y) * std::size_t(cellsU) + std::size_t(x)] = stored;
        }
    }
}

// The horizon its inputs give; empty where they are not usable.
ShadowHorizon buildFrom(const HorizonInputs& in)
{
    ShadowHorizon horizon;
    if (in.usable)
        fillShadowHorizon(planShadowHorizon(in, horizon), horizon);
    return horizon;
}

} // namespace

ShadowHorizon buildShadowHorizon(const SceneTracer& tracer, std::uint32_t prismIndex, Vec3 dir)
{
    return buildFrom(horizonInputs(tracer, prismIndex, dir));
}

void refreshShadowHorizons(const SceneTracer& tracer, Vec3 dir, ThreadPool& pool,
                           std::vector<ShadowHorizon>& horizons)
{
    horizons.resize(tracer.scene->prisms.size());
    pool.run(unsigned(horizons.size()), [&](unsigned prism, unsigned) {
        const HorizonInputs in = horizonInputs(tracer, prism, dir);
        if (!builtFrom(horizons[prism], in))
            horizons[prism] = buildFrom(in);
    });
}

} // namespace qlmr
