#pragma once

#include <cstdint>
#include <vector>

namespace qlmr {

// Scratch storage of squaredDistanceTransform. Kept by the caller and reused,
// so that repeated transforms of the same size allocate nothing.
struct DistanceScratch {
    std::vector<std::int32_t> featureRow; // per node: nearest feature row in its column, -1 for none
    std::vector<float> vertical;          // per node: squared distance to that row, 1e30 for none
    std::vector<std::int32_t> below;      // per column: nearest feature row at or below (column pass)
    std::vector<std::int32_t> envelope;   // per column: columns of the lower-envelope parabolas
    std::vector<float> boundaries;        // per column + 1: where each envelope parabola takes over
};

// Distance reported for nodes that have no feature node at all in reach.
inline constexpr float kNoFeatureDistance = 1e30f;

// Exact squared Euclidean distance transform over a grid of `columns` x
// `rows` nodes stored row by row at `stride` nodes per row. Feature nodes are
// those whose mask byte equals `featureValue`; they keep their old values.
// Every other node gets the squared distance to its nearest feature node in
// `distance` and, when `nearest` is not null, that node's index
// (column + stride * row); 1e30 and -1 when there is no feature node.
//
// Separable: a column pass finds the nearest feature row of each node in its
// own column (the row above wins a tie), then a row pass takes the lower
// envelope of the parabolas (q - column)^2 + vertical(q) along each row.
void squaredDistanceTransform(const std::uint8_t* mask, std::uint8_t featureValue, std::uint32_t columns,
                              std::uint32_t rows, std::uint32_t stride, float* distance, std::int32_t* nearest,
                              DistanceScratch& scratch);

} // namespace qlmr
