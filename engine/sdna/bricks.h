#pragma once
// Distance bricks: a sparse, memory-bounded cache of a posed program's
// distance field. The program box is cut into blocks of 8 x 8 x 8 cells;
// a block near the surface keeps 512 conservative half-precision samples
// (a brick), a block far from the surface keeps only a lower bound of the
// distance, and a block that could not be sampled is marked not built so
// that the tracer (brick_tracer.h) falls back to the exact program there.
// The grid entry and brick record layouts are the GPU buffer layouts too.

#include <array>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <string>
#include <type_traits>
#include <vector>

#include "sdna/program.h"

namespace qlmr {

inline constexpr int kBrickCells = 8;  // cells (and samples) per brick edge
inline constexpr int kBrickSamples = kBrickCells * kBrickCells * kBrickCells;

// Grid entry indices that are not brick indices.
inline constexpr std::uint32_t kBrickFar = 0xFFFFFFFFu;       // no brick needed; value is a lower bound
inline constexpr std::uint32_t kBrickNotBuilt = 0xFFFFFFFEu;  // no usable samples; value is -infinity

// One grid entry, 8 bytes: a brick index with the lowest sample of the
// brick, or one of the two markers above with its value.
struct BrickGridEntry {
    std::uint32_t index = kBrickNotBuilt;
    float value = -std::numeric_limits<float>::infinity();
};
static_assert(sizeof(BrickGridEntry) == 8);
static_assert(std::is_trivially_copyable_v<BrickGridEntry>);
static_assert(offsetof(BrickGridEntry, index) == 0);
static_assert(offsetof(BrickGridEntry, value) == 4);

// One brick, 1032 bytes: the surface-band mask (one bit per 2x2x2 group of
// samples, bit (x/2) + 4*((y/2) + 4*(z/2))) and 512 binary16 samples, index
// x + 8*(y + 8*z).
struct BrickRecord {
    std::uint64_t mask = 0;
    std::array<std::uint16_t, kBrickSamples> samples{};
};
static_assert(sizeof(BrickRecord) == 1032);
static_assert(std::is_trivially_copyable_v<BrickRecord>);
static_assert(offsetof(BrickRecord, mask) == 0);
static_assert(offsetof(BrickRecord, samples) == 8);

struct BrickBuildParams {
    float cellSize = 0.01f;                    // edge of one cell in program units
    std::uint64_t byteBudget = 64ull << 20;    // limit on Bricks::memoryBytes
    std::uint64_t evaluationLimit = 1ull << 24; // limit on distance evaluations
    // Threads that sample blocks (at most 64 are used); the result does not
    // depend on the count.
    std::uint32_t threads = 1;
};

struct BrickBuildStats {
    std::uint64_t evaluations = 0;    // distance evaluations made
    std::uint64_t farBlocks = 0;      // entries that need no brick
    std::uint64_t unbuiltBlocks = 0;  // entries left not built
    double buildMs = 0.0;
    bool gridGivenUp = false;         // no grid at all: every ray is traced exactly
};

struct Bricks {
    SdnaProgram program;
    std::vector<BonePose> pose;
    std::vector<BrickGridEntry> grid;  // x fastest, then y, then z
    std::vector<BrickRecord> bricks;
    std::array<std::uint32_t, 3> gridSize{0, 0, 0};
    float cellSize = 0.0f;
    float lipschitz = 1.0f;  // sample differences are divided by it to give safe steps
    BrickBuildStats stats;

    // Bytes of the built structure, counted from what the containers hold
    // reserved.
    std::uint64_t memoryBytes() const;
    // The grid entries gridSize names, one per block; a product past 64 bits
    // is reported as the largest count, which no grid holds.
    std::uint64_t gridEntryCount() const;
};

// True when every pose has a finite quaternion of squared length within
// 0.002 of 1, a finite scale above 0 and a finite position.
bool validatePose(const std::vector<BonePose>& pose);

// Builds the cache of the program posed with `pose`. On success `out` is
// replaced and `error` cleared; on failure `out` is untouched and `error`
// holds one line. Running out of byte or evaluation budget is not a
// failure: the cache is then sparser, or has no grid at all.
bool buildBricks(const SdnaProgram& program, const std::vector<BonePose>& pose,
                 const BrickBuildParams& params, Bricks& out, std::string& error);

// Largest binary16 value not above v, as bits: above 65504 gives 65504,
// below -65504 (or NaN) gives -infinity.
std::uint16_t halfRoundedDown(double v);

// The value of a binary16 bit pattern.
float halfBitsToFloat(std::uint16_t bits);

}  // namespace qlmr
