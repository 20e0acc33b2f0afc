#include "content/fluid.h"

#include <algorithm>
#include <cmath>
#include <stdexcept>
#include <string>

#include "scene/simd/lanes.h"
#include "scene/thread_pool.h"

namespace qlmr::sim {
namespace {

constexpr uint32_t kBandRows = 16;

using Lanes = simd::vfloat<simd::kLanes>;
constexpr uint32_t kLaneCount = uint32_t(simd::kLanes);
// Interior columns run in spans of this many through stack arrays in lane
// order, so the lane loop reads contiguous floats and the step allocates nothing.
constexpr uint32_t kSpanColumns = 256;

// Index of the neighbour one step below (step -1) or above (step +1) index i
// on an axis of `size` cells: wrapped by masking on a tiling terrain, clamped
// into the grid otherwise (so at a wall the neighbour is the cell itself).
inline uint32_t neighbourIndex(uint32_t i, int step, uint32_t size, bool wrap)
{
    if (wrap) {
        return (i + uint32_t(step)) & (size - 1);
    }
    if (step < 0) {
        return i > 0 ? i - 1 : 0;
    }
    return std::min(i + 1, size - 1);
}

// An outflow limited by the cell's share `scale`. A huge time step can make
// a pipe's outflow overflow to infinity, and the share then comes out 0:
// the product would be NaN, which the depth pass turns into lost water, so
// a share of 0 gives exactly 0 and the water stays where it is.
inline float scaledOutflow(float outflow, float scale)
{
    return scale > 0.0f ? outflow * scale : 0.0f;
}

// Everything both passes read, fixed for one call.
struct PipeModel {
    const uint16_t* terrain = nullptr; // level-0 heights
    float* depth = nullptr;
    FluidFlux* flux = nullptr;
    uint32_t width = 0;
    uint32_t height = 0;
    bool wrap = false;
    float metresPerUnit = 0.0f; // terrain metres per 16-bit step
    float cellArea = 0.0f;
    float substepLength = 0.0f;
    float pipeFactor = 0.0f;
    float damping = 0.0f;

    float surface(size_t i) const { return float(terrain[i]) * metresPerUnit + depth[i]; }

    // Pass 1, one cell: new outflows from the current depths. xl and xr are
    // the column neighbours; a neighbour equal to the cell is a closed pipe.
    void outflowCell(size_t row, uint32_t x, uint32_t xl, uint32_t xr, size_t rowAbove, size_t rowBelow,
                     bool aboveOpen, bool belowOpen) const
    {
        const size_t i = row + x;
        const float here = surface(i);
        FluidFlux f = flux[i];
        f.right = xr != x ? std::max(0.0f, f.right * damping + (here - surface(row + xr)) * pipeFactor) : 0.0f;
        f.left = xl != x ? std::max(0.0f, f.left * damping + (here - surface(row + xl)) * pipeFactor) : 0.0f;
        f.below = belowOpen ? std::max(0.0f, f.below * damping + (here - surface(rowBelow + x)) * pipeFactor) : 0.0f;
        f.above = aboveOpen ? std::max(0.0f, f.above * damping + (here - surface(rowAbove + x)) * pipeFactor) : 0.0f;
        const float total = f.right + f.left + f.below + f.above;
        if (total > 0.0f) {
            // No cell gives away more water than it holds in one substep.
            const float scale = std::min(1.0f, depth[i] * cellArea / (total * substepLength));
            f.right = scaledOutflow(f.right, scale);
            f.left = scaledOutflow(f.left, scale);
            f.below = scaledOutflow(f.below, scale);
            f.above = scaledOutflow(f.above, scale);
        }
        flux[i] = f;
    }

    // Pass 2, one cell: new depth from the outflows.
    void depthCell(size_t row, uint32_t x, uint32_t xl, uint32_t xr, size_t rowAbove, size_t rowBelow,
                   bool aboveOpen, bool belowOpen) const
    {
        const size_t i = row + x;
        const float inflow = (xl != x ? flux[row + xl].right : 0.0f) + (xr != x ? flux[row + xr].left : 0.0f) +
                             (aboveOpen ? flux[rowAbove + x].below : 0.0f) +
                             (belowOpen ? flux[rowBelow + x].above : 0.0f);
        const FluidFlux& f = flux[i];
        const float outflow = f.right + f.left + f.below + f.above;
        depth[i] = std::max(0.0f, depth[i] + (inflow - outflow) * substepLength / cellArea);
    }

    // Pass 1 over interior columns [x0, x0 + n) of a row, n a multiple of the
    // lane count and at most kSpanColumns, with x0 >= 1 and x0 + n < width:
    // the same arithmetic as outflowCell, lane by lane.
    void outflowSpan(size_t row, uint32_t x0, uint32_t n, size_t rowAbove, size_t rowBelow, bool aboveOpen,
                     bool belowOpen) const
    {
        float here[kSpanColumns + 2]; // columns x0 - 1 .. x0 + n
        float above[kSpanColumns];
        float below[kSpanColumns];
        float out[4][kSpanColumns];
        for (uint32_t j = 0; j < n + 2; ++j) {
            here[j] = surface(row + x0 - 1 + j);
        }
        for (uint32_t j = 0; j < n; ++j) {
            above[j] = aboveOpen ? surface(rowAbove + x0 + j) : 0.0f;
            below[j] = belowOpen ? surface(rowBelow + x0 + j) : 0.0f;
            const FluidFlux& f = flux[row + x0 + j];
            out[0][j] = f.right;
            out[1][j] = f.left;
            out[2][j] = f.below;
            out[3][j] = f.above;
        }
        const Lanes zero(0.0f);
        const Lanes one(1.0f);
        const Lanes damp(damping);
        const Lanes pipe(pipeFactor);
        const Lanes area(cellArea);
        const Lanes length(substepLength);
        for (uint32_t j = 0; j < n; j += kLaneCount) {
            const Lanes h = Lanes::load(here + j + 1);
            const Lanes r = max(Lanes::load(out[0] + j) * damp + (h - Lanes::load(here + j + 2)) * pipe, zero);
            const Lanes l = max(Lanes::load(out[1] + j) * damp + (h - Lanes::load(here + j)) * pipe, zero);
            const Lanes b = belowOpen ? max(Lanes::load(out[2] + j) * damp + (h - Lanes::load(below + j)) * pipe, zero)
                                      : zero;
            const Lanes a = aboveOpen ? max(Lanes::load(out[3] + j) * damp + (h - Lanes::load(above + j)) * pipe, zero)
                                      : zero;
            const Lanes total = r + l + b + a;
            const Lanes limit = min(Lanes::load(depth + row + x0 + j) * area / (total * length), one);
            // Scaling by 1 leaves a dry cell's zero outflows exactly as they are.
            const Lanes scale = select(total > zero, limit, one);
            // As scaledOutflow: a scale of 0 stops even an infinite outflow.
            const auto gives = scale > zero;
            select(gives, r * scale, zero).store(out[0] + j);
            select(gives, l * scale, zero).store(out[1] + j);
            select(gives, b * scale, zero).store(out[2] + j);
            select(gives, a * scale, zero).store(out[3] + j);
        }
        for (uint32_t j = 0; j < n; ++j) {
            flux[row + x0 + j] = {out[0][j], out[1][j], out[2][j], out[3][j]};
        }
    }

    // Pass 2 over interior columns, as outflowSpan; the same arithmetic as depthCell.
    void depthSpan(size_t row, uint32_t x0, uint32_t n, size_t rowAbove, size_t rowBelow, bool aboveOpen,
                   bool belowOpen) const
    {
        float rights[kSpanColumns + 2]; // right outflows of columns x0 - 1 .. x0 + n
        float lefts[kSpanColumns + 2];
        float belows[kSpanColumns];     // this row's own
        float aboves[kSpanColumns];
        float fromAbove[kSpanColumns];  // the row above's outflow downwards
        float fromBelow[kSpanColumns];  // the row below's outflow upwards
        for (uint32_t j = 0; j < n + 2; ++j) {
            const FluidFlux& f = flux[row + x0 - 1 + j];
            rights[j] = f.right;
            lefts[j] = f.left;
        }
        for (uint32_t j = 0; j < n; ++j) {
            const FluidFlux& f = flux[row + x0 + j];
            belows[j] = f.below;
            aboves[j] = f.above;
            fromAbove[j] = aboveOpen ? flux[rowAbove + x0 + j].below : 0.0f;
            fromBelow[j] = belowOpen ? flux[rowBelow + x0 + j].above : 0.0f;
        }
        const Lanes zero(0.0f);
        const Lanes area(cellArea);
        const Lanes length(substepLength);
        for (uint32_t j = 0; j < n; j += kLaneCount) {
            const Lanes inflow = Lanes::load(rights + j) + Lanes::load(lefts + j + 2) + Lanes::load(fromAbove + j) +
                                 Lanes::load(fromBelow + j);
            const Lanes outflow = Lanes::load(rights + j + 1) + Lanes::load(lefts + j + 1) + Lanes::load(belows + j) +
                                  Lanes::load(aboves + j);
            float* d = depth + row + x0 + j;
            max(Lanes::load(d) + (inflow - outflow) * length / area, zero).store(d);
        }
    }

    // Runs one pass over row y: the edge columns find their neighbours by the
    // edge rule, one cell at a time; the columns between, whose neighbours
    // are simply x - 1 and x + 1, run in lane-wide spans, and what is left
    // over after the last whole span of lanes runs cell by cell again.
    template <typename Cell, typename Span>
    void runRow(uint32_t y, const Cell& cell, const Span& span) const
    {
        const size_t row = size_t(y) * width;
        const size_t rowAbove = size_t(neighbourIndex(y, -1, height, wrap)) * width;
        const size_t rowBelow = size_t(neighbourIndex(y, +1, height, wrap)) * width;
        const bool aboveOpen = rowAbove != row;
        const bool belowOpen = rowBelow != row;
        cell(row, 0, neighbourIndex(0, -1, width, wrap), neighbourIndex(0, +1, width, wrap), rowAbove, rowBelow,
             aboveOpen, belowOpen);
        if (width < 2) {
            return;
        }
        const uint32_t last = width - 1;
        uint32_t x = 1;
        while (x + kLaneCount <= last) {
            const uint32_t n = std::min(kSpanColumns, (last - x) / kLaneCount * kLaneCount);
            span(row, x, n, rowAbove, rowBelow, aboveOpen, belowOpen);
            x += n;
        }
        for (; x < last; ++x) {
            cell(row, x, x - 1, x + 1, rowAbove, rowBelow, aboveOpen, belowOpen);
        }
        cell(row, last, neighbourIndex(last, -1, width, wrap), neighbourIndex(last, +1, width, wrap), rowAbove,
             rowBelow, aboveOpen, belowOpen);
    }

    void outflowRow(uint32_t y) const
    {
        runRow(y, [this](auto... a) { outflowCell(a...); }, [this](auto... a) { outflowSpan(a...); });
    }
    void depthRow(uint32_t y) const
    {
        runRow(y, [this](auto... a) { depthCell(a...); }, [this](auto... a) { depthSpan(a...); });
    }
};

template <typename RowPass>
void runRows(uint32_t height, ThreadPool* pool, const RowPass& pass)
{
    if (pool == nullptr) {
        for (uint32_t y = 0; y < height; ++y) {
            pass(y);
        }
        return;
    }
    const uint32_t bands = (height + kBandRows - 1) / kBandRows;
    pool->run(bands, [&](unsigned band, unsigned) {
        const uint32_t end = std::min(band * kBandRows + kBandRows, height);
        for (uint32_t y = band * kBandRows; y < end; ++y) {
            pass(y);
        }
    });
}

} // namespace

void checkFluidGrid(const DisplacementField& terrain, const FluidGrid& grid)
{
    if (grid.width != terrain.width || grid.height != terrain.height) {
        throw std::invalid_argument("fluid grid size differs from the field");
    }
    // The passes index both vectors by cell without further checks.
    const size_t cells = size_t(grid.width) * grid.height;
    if (grid.depth.size() != cells) {
        throw std::invalid_argument("fluid grid depth has " + std::to_string(grid.depth.size()) +
                                    " entries, expected " + std::to_string(cells));
    }
    if (grid.flux.size() != cells) {
        throw std::invalid_argument("fluid grid flux has " + std::to_string(grid.flux.size()) +
                                    " entries, expected " + std::to_string(cells));
    }
}

void fluidStep(const DisplacementField& terrain, FluidGrid& grid, float dt, const FluidSettings& settings,
               uint32_t substeps, ThreadPool* pool)
{
    checkFluidGrid(terrain, grid);
    // The depth pass divides by the cell area: an area of 0 (a cell size of
    // 0, NaN or so small that its square underflows) would turn every depth
    // into NaN and then 0, emptying the grid; an infinite one does the same
    // through the pipe factor.
    const float cellArea = settings.cellSize * settings.cellSize;
    if (!(settings.cellSize > 0.0f) || !(cellArea > 0.0f) || std::isinf(cellArea)) {
        throw std::invalid_argument("fluid cell size must be positive and finite");
    }
    // No time passes: a step back in time would make negative outflows
    // (water running uphill), and even dt 0 would damp the outflows.
    if (!(dt > 0.0f)) {
        return;
    }
    // An endless substep would empty every cell at once (0 * infinity).
    if (std::isinf(dt)) {
        throw std::invalid_argument("fluid time step must be finite");
    }
    const uint32_t count = std::max(1u, substeps);

    PipeModel model;
    model.terrain = terrain.heights.data();
    model.depth = grid.depth.data();
    model.flux = grid.flux.data();
    model.width = grid.width;
    model.height = grid.height;
    model.wrap = !terrain.clampEdges;
    model.metresPerUnit = settings.terrainHeightScale / 65535.0f;
    model.cellArea = cellArea;
    model.substepLength = dt / float(count);
    model.pipeFactor = model.substepLength * settings.gravity * settings.cellSize;
    model.damping = settings.fluxDamping;

    for (uint32_t s = 0; s < count; ++s) {
        // Every outflow is final before any depth changes.
        runRows(model.height, pool, [&](uint32_t y) { model.outflowRow(y); });
        runRows(model.height, pool, [&](uint32_t y) { model.depthRow(y); });
    }
}

double waterVolume(const FluidGrid& grid, float cellSize)
{
    double sum = 0.0;
    for (const float d : grid.depth) {
        sum += double(d);
    }
    return sum * double(cellSize) * double(cellSize);
}

} // namespace qlmr::sim
