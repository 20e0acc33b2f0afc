#include "content/fluid.h"

#include <algorithm>
#include <stdexcept>

#include "scene/thread_pool.h"

namespace qlmr::sim {
namespace {

constexpr uint32_t kBandRows = 16;

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
            f.right *= scale;
            f.left *= scale;
            f.below *= scale;
            f.above *= scale;
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

    // Runs one pass's cell over row y. The edge columns find their
    // neighbours by the edge rule; the columns between have x - 1 and x + 1,
    // which keeps the index arithmetic out of the inner loop.
    template <typename Cell>
    void row(uint32_t y, const Cell& cell) const
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
        for (uint32_t x = 1; x + 1 < width; ++x) {
            cell(row, x, x - 1, x + 1, rowAbove, rowBelow, aboveOpen, belowOpen);
        }
        const uint32_t last = width - 1;
        cell(row, last, neighbourIndex(last, -1, width, wrap), neighbourIndex(last, +1, width, wrap), rowAbove,
             rowBelow, aboveOpen, belowOpen);
    }

    void outflowRow(uint32_t y) const
    {
        row(y, [this](auto... a) { outflowCell(a...); });
    }
    void depthRow(uint32_t y) const
    {
        row(y, [this](auto... a) { depthCell(a...); });
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

void fluidStep(const DisplacementField& terrain, FluidGrid& grid, float dt, const FluidSettings& settings,
               uint32_t substeps, ThreadPool* pool)
{
    if (grid.width != terrain.width || grid.height != terrain.height) {
        throw std::invalid_argument("fluid grid size differs from the field");
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
    model.cellArea = settings.cellSize * settings.cellSize;
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
