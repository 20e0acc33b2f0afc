#pragma once

#include <cstdint>

#include "content/field_image.h"
#include "scene/thread_pool.h"

namespace qlmr {

// Material bytes written by the generators.
enum FieldMaterial : std::uint8_t {
    MaterialGround = 0,
    MaterialRock = 1,
    MaterialSnow = 2,
    MaterialPad = 3,
    MaterialStone = 4,
    MaterialStoneMortar = 5,
    MaterialBrick = 6,
    MaterialBrickMortar = 7,
    MaterialPanel = 8,
    MaterialAccentPanel = 9,
};

// The mountain terrain's layout; the demo scene fills every value.
struct TerrainParams {
    float padCenterX; // pad centre, image units 0..1
    float padCenterY;
    float padRadius;  // 0..1
    float padHeight;  // normalised height of the flat pad
    float worldSize;  // metres across the whole field
    float heightScale; // metres for normalised height 1
};

// Every generator is a pure function of its arguments: each cell depends only
// on its coordinates, so any pool size gives the same image. The image rows
// are the pool's items.

// Eroded fractal mountains with ridges and a flat landing pad, heights
// normalised to [0, 1]; colours and materials from height and slope.
FieldImage generateTerrain(unsigned size, unsigned seed, const TerrainParams& params, ThreadPool& pool);

// A running-bond brick wall of `rows` courses; tiles horizontally.
FieldImage generateBricks(unsigned width, unsigned height, unsigned rows, unsigned seed, ThreadPool& pool);

// Cellular cobblestones, `cells` stones across; tiles with that period.
FieldImage generateCobblestones(unsigned size, unsigned cells, unsigned seed, ThreadPool& pool);

// Recursively split tech panels with slots, bosses and accent panels.
FieldImage generatePanels(unsigned size, unsigned seed, ThreadPool& pool);

} // namespace qlmr
