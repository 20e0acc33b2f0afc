#include "content/relief_distance.h"

#include <cstddef>

namespace qlmr {

namespace {

// Column pass, row by row so that memory is walked in order: every column
// keeps its own running state in a line array.
void columnPass(const std::uint8_t* mask, std::uint8_t featureValue, std::uint32_t columns, std::uint32_t rows,
                std::uint32_t stride, DistanceScratch& scratch)
{
    std::int32_t* featureRow = scratch.featureRow.data();
    float* vertical = scratch.vertical.data();
    std::int32_t* below = scratch.below.data();

    // Downwards: the nearest feature row at or above each node.
    for (std::uint32_t j = 0; j < columns; ++j) {
        below[j] = -1;
    }
    for (std::uint32_t i = 0; i < rows; ++i) {
        const std::size_t row = std::size_t(i) * stride;
        for (std::uint32_t j = 0; j < columns; ++j) {
            if (mask[row + j] == featureValue) {
                below[j] = std::int32_t(i);
            }
            featureRow[row + j] = below[j];
        }
    }
    // Upwards: the nearest at or below; the one above stays on a tie.
    for (std::uint32_t j = 0; j < columns; ++j) {
        below[j] = -1;
    }
    for (std::uint32_t i = rows; i-- > 0;) {
        const std::size_t row = std::size_t(i) * stride;
        const std::int32_t here = std::int32_t(i);
        for (std::uint32_t j = 0; j < columns; ++j) {
            if (mask[row + j] == featureValue) {
                below[j] = here;
            }
            std::int32_t best = featureRow[row + j];
            const std::int32_t next = below[j];
            if (next >= 0 && (best < 0 || next - here < here - best)) {
                best = next;
            }
            featureRow[row + j] = best;
            if (best < 0) {
                vertical[row + j] = kNoFeatureDistance;
            } else {
                const float d = float(here - best);
                vertical[row + j] = d * d;
            }
        }
    }
}

template <bool WithIndex>
void rowPass(const std::uint8_t* mask, std::uint8_t featureValue, std::uint32_t columns, std::uint32_t rows,
             std::uint32_t stride, float* distance, std::int32_t* nearest, DistanceScratch& scratch)
{
    const std::int32_t* featureRow = scratch.featureRow.data();
    const float* vertical = scratch.vertical.data();
    std::int32_t* envelope = scratch.envelope.data();
    float* boundaries = scratch.boundaries.data();

    for (std::uint32_t i = 0; i < rows; ++i) {
        const std::size_t row = std::size_t(i) * stride;
        const float* f = vertical + row;

        // Lower envelope of the parabolas of the columns that see a feature.
        int k = -1;
        for (std::uint32_t q = 0; q < columns; ++q) {
            if (f[q] >= kNoFeatureDistance) {
                continue;
            }
            const float fq = f[q] + float(q) * float(q);
            float s = 0.0f;
            while (k >= 0) {
                const float v = float(envelope[k]);
                s = (fq - (f[envelope[k]] + v * v)) / (2.0f * float(q) - 2.0f * v);
                if (s > boundaries[k]) {
                    break;
                }
                --k;
            }
            ++k;
            envelope[k] = std::int32_t(q);
            boundaries[k] = k == 0 ? -kNoFeatureDistance : s;
            boundaries[k + 1] = kNoFeatureDistance;
        }

        if (k < 0) {
            // No feature in any column: nothing is in reach from this row.
            for (std::uint32_t q = 0; q < columns; ++q) {
                if (mask[row + q] != featureValue) {
                    distance[row + q] = kNoFeatureDistance;
                    if constexpr (WithIndex) {
                        nearest[row + q] = -1;
                    }
                }
            }
            continue;
        }

        int e = 0;
        for (std::uint32_t q = 0; q < columns; ++q) {
            while (boundaries[e + 1] < float(q)) {
                ++e;
            }
            if (mask[row + q] == featureValue) {
                continue;
            }
            const std::int32_t v = envelope[e];
            const float dq = float(std::int32_t(q) - v);
            distance[row + q] = dq * dq + f[v];
            if constexpr (WithIndex) {
                nearest[row + q] = v + std::int32_t(stride) * featureRow[row + std::size_t(v)];
            }
        }
    }
}

} // namespace

void squaredDistanceTransform(const std::uint8_t* mask, std::uint8_t featureValue, std::uint32_t columns,
                              std::uint32_t rows, std::uint32_t stride, float* distance, std::int32_t* nearest,
                              DistanceScratch& scratch)
{
    if (columns == 0 || rows == 0) {
        return;
    }
    const std::size_t nodes = std::size_t(rows) * stride;
    const std::size_t line = std::size_t(columns > rows ? columns : rows) + 3;
    scratch.featureRow.resize(nodes);
    scratch.vertical.resize(nodes);
    scratch.below.resize(line);
    scratch.envelope.resize(line);
    scratch.boundaries.resize(line);

    columnPass(mask, featureValue, columns, rows, stride, scratch);
    if (nearest != nullptr) {
        rowPass<true>(mask, featureValue, columns, rows, stride, distance, nearest, scratch);
    } else {
        rowPass<false>(mask, featureValue, columns, rows, stride, distance, nearest, scratch);
    }
}

} // namespace qlmr
