#pragma once

#include <cstdint>
#include <utility>
#include <vector>

#include "scene/height_field.h"

namespace qlmr {
class ThreadPool;
}

namespace qlmr::sim {

// Outflow of one cell through each of its four pipes, in cubic metres per
// second; never negative.
struct FluidFlux {
    float right = 0.0f; // towards x + 1
    float left = 0.0f;  // towards x - 1
    float below = 0.0f; // towards y + 1
    float above = 0.0f; // towards y - 1

    // The four outflows as a record of four floats, in the order above:
    // 0 right, 1 left, 2 below, 3 above.
    float& operator[](int i) { return i == 0 ? right : (i == 1 ? left : (i == 2 ? below : above)); }
    float operator[](int i) const { return i == 0 ? right : (i == 1 ? left : (i == 2 ? below : above)); }

    bool operator==(const FluidFlux&) const = default;
};

// Shallow water over a terrain of the same size: a depth and four outflows
// per cell, row-major (index y * width + x). Owned by its user.
struct FluidGrid {
    uint32_t width = 0;
    uint32_t height = 0;
    std::vector<float> depth;     // metres, never negative after a step
    std::vector<FluidFlux> flux;

    FluidGrid() = default;
    // A dry grid at rest.
    FluidGrid(uint32_t gridWidth, uint32_t gridHeight)
        : width(gridWidth), height(gridHeight), depth(size_t(gridWidth) * gridHeight, 0.0f),
          flux(size_t(gridWidth) * gridHeight)
    {
    }
    // A grid from its four parts, as a plain record is filled; the vectors
    // are kept as given (the step checks their sizes).
    FluidGrid(uint32_t gridWidth, uint32_t gridHeight, std::vector<float> depths, std::vector<FluidFlux> outflows = {})
        : width(gridWidth), height(gridHeight), depth(std::move(depths)), flux(std::move(outflows))
    {
    }
};

struct FluidSettings {
    float cellSize = 0.03125f;         // metres per cell; a cell's area is cellSize^2
    float terrainHeightScale = 1.6f;   // metres that the full 16-bit height range stands for
    float gravity = 9.81f;             // metres per second squared
    float fluxDamping = 0.995f;        // factor on the previous outflow every substep
};

// Advances the water by dt seconds in `substeps` equal parts (0 counts as 1)
// with the virtual-pipe model: each substep first updates every outflow from
// the water-surface differences, then every depth from the net flow. The
// terrain's level-0 heights are read, never changed; its edge rule decides
// whether the grid tiles (wrapping) or is walled in (clamping: the border
// pipes are closed). With a pool each pass runs in bands of 16 rows; the
// results are bit for bit those of the calling-thread run (pool null).
// Throws std::invalid_argument before changing anything: "fluid grid size
// differs from the field" when the grid and the terrain differ in size, a
// message naming the vector and its size when depth or flux does not hold
// width * height entries, "fluid cell size must be positive and finite" for
// a cell size that is not above 0, is not finite or whose square (the cell
// area) is 0 or infinite, and "fluid time step must be finite" for a dt of
// +infinity. A dt that is not above 0 (NaN included) leaves the grid as it is.
// A finite dt so long that a pipe's outflow overflows gives that cell's
// pipes no flow, so no water is lost to the overflow.
void fluidStep(const DisplacementField& terrain, FluidGrid& grid, float dt, const FluidSettings& settings,
               uint32_t substeps, ThreadPool* pool);

// The grid checks of fluidStep on their own: throws the same messages when
// the grid differs from the terrain in size or its depth or flux vector does
// not hold width * height entries, so that a caller can refuse a grid before
// it changes anything itself.
void checkFluidGrid(const DisplacementField& terrain, const FluidGrid& grid);

// Total water volume in cubic metres: the depths summed in double precision,
// times cellSize squared.
double waterVolume(const FluidGrid& grid, float cellSize);

} // namespace qlmr::sim
