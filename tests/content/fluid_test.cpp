#include "content/fluid.h"

#include <cmath>
#include <cstdint>
#include <cstring>
#include <gtest/gtest.h>
#include <limits>
#include <random>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "scene/thread_pool.h"

namespace qlmr::sim {
namespace {

DisplacementField terrainFrom(uint32_t width, uint32_t height, const std::vector<uint16_t>& heights, bool clamp)
{
    return DisplacementField(width, height, std::span<const uint16_t>(heights), clamp);
}

DisplacementField flatTerrain(uint32_t width, uint32_t height, uint16_t value, bool clamp)
{
    return terrainFrom(width, height, std::vector<uint16_t>(size_t(width) * height, value), clamp);
}

// Terrain a centimetre or so rough and water up to two centimetres deep,
// with about a quarter of the cells dry, so pipes open and close everywhere.
struct RandomCase {
    DisplacementField terrain;
    FluidGrid grid;
};

RandomCase randomCase(uint32_t width, uint32_t height, bool clamp, uint32_t seed)
{
    std::mt19937 rng(seed);
    std::vector<uint16_t> heights(size_t(width) * height);
    for (uint16_t& h : heights) {
        h = uint16_t(20000 + rng() % 400);
    }
    FluidGrid grid(width, height);
    std::uniform_real_distribution<float> depth(0.0f, 0.02f);
    for (float& d : grid.depth) {
        d = rng() % 4 == 0 ? 0.0f : depth(rng);
    }
    return {terrainFrom(width, height, heights, clamp), std::move(grid)};
}

// memcmp must not see the null data() of an empty vector.
template <typename T>
bool sameBytes(const std::vector<T>& a, const std::vector<T>& b)
{
    return a.size() == b.size() && (a.empty() || std::memcmp(a.data(), b.data(), a.size() * sizeof(T)) == 0);
}

bool sameBytes(const FluidGrid& a, const FluidGrid& b)
{
    return sameBytes(a.depth, b.depth) && sameBytes(a.flux, b.flux);
}

// Slow, cell-by-cell virtual-pipe step: neighbours found by coordinates and
// the terrain's own edge rule, every pass reading a snapshot of the previous
// state.
void referenceStep(const DisplacementField& terrain, FluidGrid& grid, float dt, const FluidSettings& settings,
                   uint32_t substeps)
{
    const int w = int(grid.width);
    const int h = int(grid.height);
    const bool wrap = !terrain.clampEdges;
    auto wrapOrClamp = [&](int i, int size) { return wrap ? ((i % size) + size) % size : std::clamp(i, 0, size - 1); };
    const float s = settings.terrainHeightScale / 65535.0f;
    const float area = settings.cellSize * settings.cellSize;
    const uint32_t n = substeps == 0 ? 1 : substeps;
    const float step = dt / float(n);
    const float k = step * settings.gravity * settings.cellSize;
    const int dx[4] = {1, -1, 0, 0};
    const int dy[4] = {0, 0, 1, -1};
    for (uint32_t pass = 0; pass < n; ++pass) {
        const std::vector<float> depth = grid.depth;
        auto surface = [&](int x, int y) { return float(terrain.texel(0, x, y)) * s + depth[size_t(y) * w + x]; };
        for (int y = 0; y < h; ++y) {
            for (int x = 0; x < w; ++x) {
                float out[4];
                FluidFlux& f = grid.flux[size_t(y) * w + x];
                const float old[4] = {f.right, f.left, f.below, f.above};
                for (int d = 0; d < 4; ++d) {
                    const int nx = wrapOrClamp(x + dx[d], w);
                    const int ny = wrapOrClamp(y + dy[d], h);
                    out[d] = (nx == x && ny == y)
                                 ? 0.0f
                                 : std::max(0.0f, old[d] * settings.fluxDamping + (surface(x, y) - surface(nx, ny)) * k);
                }
                const float sum = out[0] + out[1] + out[2] + out[3];
                if (sum > 0.0f) {
                    const float scale = std::min(1.0f, depth[size_t(y) * w + x] * area / (sum * step));
                    for (float& o : out) {
                        o *= scale;
                    }
                }
                f = {out[0], out[1], out[2], out[3]};
            }
        }
        for (int y = 0; y < h; ++y) {
            for (int x = 0; x < w; ++x) {
                const FluidFlux& f = grid.flux[size_t(y) * w + x];
                // What each neighbour sends towards this cell: its pipe in the opposite direction.
                float inflow = 0.0f;
                for (int d = 0; d < 4; ++d) {
                    const int nx = wrapOrClamp(x - dx[d], w);
                    const int ny = wrapOrClamp(y - dy[d], h);
                    if (nx == x && ny == y) {
                        continue;
                    }
                    const FluidFlux& g = grid.flux[size_t(ny) * w + nx];
                    const float sent[4] = {g.right, g.left, g.below, g.above};
                    inflow += sent[d];
                }
                const float outflow = f.right + f.left + f.below + f.above;
                float& d = grid.depth[size_t(y) * w + x];
                d = std::max(0.0f, d + (inflow - outflow) * step / area);
            }
        }
    }
}

struct GridShape {
    uint32_t width;
    uint32_t height;
    bool clamp;
};

class FluidStepShapes : public ::testing::TestWithParam<GridShape> {};

// The bands of 16 rows, the worker count and the lane-wide spans of the
// interior columns (several of them on the widest grids) must not change a
// single bit.
TEST_P(FluidStepShapes, MatchesReferenceWithAndWithoutPool)
{
    const GridShape shape = GetParam();
    const RandomCase start = randomCase(shape.width, shape.height, shape.clamp, 7 + shape.width * 31 + shape.height);
    const FluidSettings settings;
    const float dt = 0.05f;
    const uint32_t substeps = 6;

    FluidGrid expected = start.grid;
    referenceStep(start.terrain, expected, dt, settings, substeps);

    FluidGrid calling = start.grid;
    fluidStep(start.terrain, calling, dt, settings, substeps, nullptr);
    EXPECT_TRUE(sameBytes(calling, expected)) << "calling thread against the reference";

    for (const unsigned workers : {1u, 8u}) {
        ThreadPool pool(workers);
        FluidGrid pooled = start.grid;
        fluidStep(start.terrain, pooled, dt, settings, substeps, &pool);
        EXPECT_TRUE(sameBytes(pooled, calling)) << workers << " workers";
    }
}

INSTANTIATE_TEST_SUITE_P(Grids, FluidStepShapes,
                         ::testing::Values(GridShape{32, 32, true}, GridShape{32, 32, false}, GridShape{64, 8, true},
                                           GridShape{16, 64, false}, GridShape{128, 128, true},
                                           GridShape{32, 1, false}, GridShape{1, 32, true}, GridShape{1, 1, false},
                                           GridShape{1024, 4, false}, GridShape{512, 2, true}),
                         [](const auto& info) {
                             const GridShape& g = info.param;
                             return std::to_string(g.width) + "x" + std::to_string(g.height) +
                                    (g.clamp ? "Clamped" : "Wrapping");
                         });

TEST(FluidStep, GridOfAnotherSizeThrowsBeforeChangingAnything)
{
    const DisplacementField terrain = flatTerrain(32, 32, 1000, true);
    for (const auto& size : {std::pair{32u, 16u}, std::pair{16u, 32u}}) {
        FluidGrid grid(size.first, size.second);
        grid.depth.assign(grid.depth.size(), 0.5f);
        const FluidGrid before = grid;
        try {
            fluidStep(terrain, grid, 0.1f, FluidSettings{}, 1, nullptr);
            ADD_FAILURE() << "no exception for " << size.first << " x " << size.second;
        } catch (const std::invalid_argument& e) {
            EXPECT_EQ(std::string(e.what()), "fluid grid size differs from the field");
        }
        EXPECT_TRUE(sameBytes(grid, before));
    }
}

// Depth and flux are indexed by cell: a vector of any other length is
// refused by name and length before a cell is read or written.
TEST(FluidStep, VectorsOfTheWrongLengthThrowBeforeChangingAnything)
{
    const DisplacementField terrain = flatTerrain(64, 64, 1000, true);
    struct Case {
        size_t depthEntries;
        size_t fluxEntries;
        std::string message;
    };
    const size_t cells = 64 * 64;
    const Case cases[] = {
        {10, cells, "fluid grid depth has 10 entries, expected 4096"},
        {cells + 1, cells, "fluid grid depth has 4097 entries, expected 4096"},
        {cells, 10, "fluid grid flux has 10 entries, expected 4096"},
        {cells, 0, "fluid grid flux has 0 entries, expected 4096"},
    };
    for (const Case& c : cases) {
        FluidGrid grid(64, 64);
        grid.depth.assign(c.depthEntries, 0.5f);
        grid.flux.assign(c.fluxEntries, FluidFlux{0.1f, 0.2f, 0.3f, 0.4f});
        const FluidGrid before = grid;
        try {
            fluidStep(terrain, grid, 0.1f, FluidSettings{}, 1, nullptr);
            ADD_FAILURE() << "no exception for " << c.message;
        } catch (const std::invalid_argument& e) {
            EXPECT_EQ(std::string(e.what()), c.message);
        }
        EXPECT_TRUE(sameBytes(grid, before)) << c.message;
    }
}

// A grid filled from its parts, as a plain record is, holds them as given
// and steps exactly like one sized by its width and height; parts of the
// wrong length are refused by the step, not read past.
TEST(FluidGrid, BuiltFromItsPartsStepsLikeASizedGrid)
{
    const RandomCase start = randomCase(32, 16, true, 11);
    FluidGrid sized = start.grid;
    FluidGrid parts{32, 16, start.grid.depth, start.grid.flux};
    EXPECT_EQ(parts.width, 32u);
    EXPECT_EQ(parts.height, 16u);
    EXPECT_TRUE(sameBytes(parts, sized));
    FluidGrid withoutFlux{32, 16, start.grid.depth};
    EXPECT_TRUE(withoutFlux.flux.empty());
    EXPECT_THROW(fluidStep(start.terrain, withoutFlux, 0.1f, FluidSettings{}, 2, nullptr), std::invalid_argument);
    withoutFlux.flux.resize(32 * 16);
    for (int frame = 0; frame < 3; ++frame) {
        fluidStep(start.terrain, sized, 0.05f, FluidSettings{}, 2, nullptr);
        fluidStep(start.terrain, parts, 0.05f, FluidSettings{}, 2, nullptr);
        fluidStep(start.terrain, withoutFlux, 0.05f, FluidSettings{}, 2, nullptr);
    }
    EXPECT_TRUE(sameBytes(parts, sized));
    EXPECT_TRUE(sameBytes(withoutFlux, sized));
}

// The depth pass divides by the cell area: a cell size whose area is 0,
// NaN or infinite would empty the grid, so it is refused before any cell
// changes, and the smallest size with a usable area still keeps the water.
TEST(FluidStep, CellSizesWithoutAUsableAreaThrowBeforeChangingAnything)
{
    RandomCase moving = randomCase(32, 8, true, 9);
    fluidStep(moving.terrain, moving.grid, 0.02f, FluidSettings{}, 2, nullptr); // outflows under way
    for (const float cellSize : {0.0f, -0.0f, -0.03125f, 1e-30f, 1e30f, std::numeric_limits<float>::quiet_NaN(),
                                 std::numeric_limits<float>::infinity()}) {
        FluidSettings settings;
        settings.cellSize = cellSize;
        FluidGrid grid = moving.grid;
        try {
            fluidStep(moving.terrain, grid, 0.02f, settings, 2, nullptr);
            ADD_FAILURE() << "no exception for cell size " << cellSize;
        } catch (const std::invalid_argument& e) {
            EXPECT_EQ(std::string(e.what()), "fluid cell size must be positive and finite");
        }
        EXPECT_TRUE(sameBytes(grid, moving.grid)) << "cell size " << cellSize;
    }
    FluidSettings tiny;
    tiny.cellSize = 1e-15f;
    FluidGrid grid = moving.grid;
    const double before = waterVolume(grid, tiny.cellSize);
    fluidStep(moving.terrain, grid, 0.02f, tiny, 2, nullptr);
    EXPECT_NEAR(waterVolume(grid, tiny.cellSize), before, before * 1e-5);
}

// Time does not run backwards: a step of no time, of negative time or of NaN
// leaves depths and outflows exactly as they were (a negative step would
// otherwise drive water uphill, and even dt 0 would damp the outflows); an
// endless step is refused.
TEST(FluidStep, StepsOfNoTimeLeaveTheWaterAlone)
{
    RandomCase moving = randomCase(32, 32, true, 5);
    const FluidSettings settings;
    fluidStep(moving.terrain, moving.grid, 0.02f, settings, 2, nullptr); // outflows under way
    for (const float dt : {0.0f, -0.0f, -0.05f, -std::numeric_limits<float>::infinity(),
                           std::numeric_limits<float>::quiet_NaN()}) {
        FluidGrid grid = moving.grid;
        fluidStep(moving.terrain, grid, dt, settings, 3, nullptr);
        EXPECT_TRUE(sameBytes(grid, moving.grid)) << "dt " << dt;
        for (const float d : grid.depth) {
            ASSERT_GE(d, 0.0f) << "dt " << dt;
        }
    }
    {
        const float dt = std::numeric_limits<float>::infinity();
        FluidGrid grid = moving.grid;
        try {
            fluidStep(moving.terrain, grid, dt, settings, 1, nullptr);
            ADD_FAILURE() << "no exception for dt " << dt;
        } catch (const std::invalid_argument& e) {
            EXPECT_EQ(std::string(e.what()), "fluid time step must be finite");
        }
        EXPECT_TRUE(sameBytes(grid, moving.grid)) << "dt " << dt;
    }
}

TEST(FluidStep, ZeroSubstepsActAsOneAndSubstepsSplitTheStepEvenly)
{
    const RandomCase start = randomCase(32, 32, true, 3);
    const FluidSettings settings;

    FluidGrid zero = start.grid;
    FluidGrid one = start.grid;
    fluidStep(start.terrain, zero, 0.02f, settings, 0, nullptr);
    fluidStep(start.terrain, one, 0.02f, settings, 1, nullptr);
    EXPECT_TRUE(sameBytes(zero, one));
    EXPECT_FALSE(sameBytes(one, start.grid)) << "the step moved no water at all";

    FluidGrid split = start.grid;
    FluidGrid separate = start.grid;
    fluidStep(start.terrain, split, 0.08f, settings, 4, nullptr);
    for (int i = 0; i < 4; ++i) {
        fluidStep(start.terrain, separate, 0.02f, settings, 1, nullptr);
    }
    EXPECT_TRUE(sameBytes(split, separate));
}

class FluidStepEdges : public ::testing::TestWithParam<bool> {};

// Without sources the water only moves: the volume stays, no depth goes
// negative, and a walled-in grid keeps its border pipes shut.
TEST_P(FluidStepEdges, ConservesVolumeOverManySubsteps)
{
    const bool clamp = GetParam();
    const RandomCase start = randomCase(128, 64, clamp, 11);
    const FluidSettings settings;
    FluidGrid grid = start.grid;
    const double before = waterVolume(grid, settings.cellSize);
    ThreadPool pool(4);
    for (int frame = 0; frame < 20; ++frame) {
        fluidStep(start.terrain, grid, 1.0f / 60.0f, settings, 10, &pool);
    }
    const double after = waterVolume(grid, settings.cellSize);
    EXPECT_NEAR(after, before, before * 1e-5);
    for (const float d : grid.depth) {
        ASSERT_GE(d, 0.0f);
    }
    if (clamp) {
        for (uint32_t y = 0; y < grid.height; ++y) {
            EXPECT_EQ(grid.flux[size_t(y) * grid.width].left, 0.0f);
            EXPECT_EQ(grid.flux[size_t(y) * grid.width + grid.width - 1].right, 0.0f);
        }
        for (uint32_t x = 0; x < grid.width; ++x) {
            EXPECT_EQ(grid.flux[x].above, 0.0f);
            EXPECT_EQ(grid.flux[size_t(grid.height - 1) * grid.width + x].below, 0.0f);
        }
    }
}

// A finite step so long that the pipe outflows overflow to infinity must
// still move only water that exists: no NaN outflow, no depth lost to it.
TEST_P(FluidStepEdges, HugeFiniteStepsKeepTheVolumeAndFiniteOutflows)
{
    const RandomCase start = randomCase(64, 16, GetParam(), 13);
    const FluidSettings settings;
    const double before = waterVolume(start.grid, settings.cellSize);
    ThreadPool pool(4);
    for (const float dt : {1e30f, std::numeric_limits<float>::max()}) {
        FluidGrid grid = start.grid;
        fluidStep(start.terrain, grid, dt, settings, 1, nullptr);
        FluidGrid pooled = start.grid;
        fluidStep(start.terrain, pooled, dt, settings, 1, &pool);
        EXPECT_TRUE(sameBytes(pooled, grid)) << "dt " << dt;
        EXPECT_NEAR(waterVolume(grid, settings.cellSize), before, before * 1e-5) << "dt " << dt;
        for (const float d : grid.depth) {
            ASSERT_TRUE(std::isfinite(d) && d >= 0.0f) << "dt " << dt << " depth " << d;
        }
        for (const FluidFlux& f : grid.flux) {
            for (const float out : {f.right, f.left, f.below, f.above}) {
                ASSERT_TRUE(std::isfinite(out) && out >= 0.0f) << "dt " << dt << " outflow " << out;
            }
        }
    }
}

// Level water over level ground has no differences to drive it.
TEST_P(FluidStepEdges, StillWaterOnFlatTerrainStaysStill)
{
    const DisplacementField terrain = flatTerrain(32, 16, 30000, GetParam());
    FluidGrid grid(32, 16);
    grid.depth.assign(grid.depth.size(), 0.05f);
    fluidStep(terrain, grid, 0.5f, FluidSettings{}, 30, nullptr);
    for (size_t i = 0; i < grid.depth.size(); ++i) {
        ASSERT_EQ(grid.depth[i], 0.05f) << "cell " << i;
        ASSERT_EQ(grid.flux[i], FluidFlux{}) << "cell " << i;
    }
}

INSTANTIATE_TEST_SUITE_P(ClampAndWrap, FluidStepEdges, ::testing::Bool(),
                         [](const auto& info) { return info.param ? "Clamped" : "Wrapping"; });

double depthWeightedColumn(const FluidGrid& grid)
{
    double weighted = 0.0;
    double total = 0.0;
    for (uint32_t y = 0; y < grid.height; ++y) {
        for (uint32_t x = 0; x < grid.width; ++x) {
            const double d = grid.depth[size_t(y) * grid.width + x];
            weighted += d * x;
            total += d;
        }
    }
    return weighted / total;
}

// Ground falling towards +x: a layer poured over the high end drains towards
// the low end and piles up against the wall there.
TEST(FluidStep, WaterRunsDownhill)
{
    const uint32_t w = 64;
    const uint32_t h = 16;
    std::vector<uint16_t> heights(size_t(w) * h);
    for (uint32_t y = 0; y < h; ++y) {
        for (uint32_t x = 0; x < w; ++x) {
            heights[size_t(y) * w + x] = uint16_t(60000 - 400 * x);
        }
    }
    const DisplacementField terrain = terrainFrom(w, h, heights, true);
    FluidGrid grid(w, h);
    for (uint32_t y = 0; y < h; ++y) {
        for (uint32_t x = 0; x < 8; ++x) {
            grid.depth[size_t(y) * w + x] = 0.01f;
        }
    }
    const FluidSettings settings;
    const double volume = waterVolume(grid, settings.cellSize);
    // Until the front reaches the wall every frame moves the water downhill.
    double column = depthWeightedColumn(grid);
    for (int frame = 0; frame < 40; ++frame) {
        fluidStep(terrain, grid, 1.0f / 30.0f, settings, 10, nullptr);
        const double next = depthWeightedColumn(grid);
        if (frame < 5) {
            EXPECT_GT(next, column) << "frame " << frame;
        }
        column = next;
    }
    EXPECT_GT(column, 50.0);
    EXPECT_GT(grid.depth[size_t(8) * w + w - 1], grid.depth[size_t(8) * w + w / 2]);
    EXPECT_NEAR(waterVolume(grid, settings.cellSize), volume, volume * 1e-5);
}

// A column of water at the last column: on a tiling terrain half of what
// leaves it sideways lands in column 0, mirroring column w - 2; behind a wall
// column 0 stays dry.
TEST(FluidStep, WrappingTerrainCarriesWaterAcrossTheEdge)
{
    for (const bool clamp : {false, true}) {
        const DisplacementField terrain = flatTerrain(16, 8, 10000, clamp);
        FluidGrid grid(16, 8);
        for (uint32_t y = 0; y < 8; ++y) {
            grid.depth[size_t(y) * 16 + 15] = 0.1f;
        }
        fluidStep(terrain, grid, 0.01f, FluidSettings{}, 1, nullptr);
        for (uint32_t y = 0; y < 8; ++y) {
            const float* row = &grid.depth[size_t(y) * 16];
            EXPECT_GT(row[14], 0.0f);
            if (clamp) {
                EXPECT_EQ(row[0], 0.0f);
                EXPECT_EQ(grid.flux[size_t(y) * 16 + 15].right, 0.0f);
            } else {
                EXPECT_EQ(row[0], row[14]);
            }
        }
    }
}

// A dry pillar above wet ground has surface differences pushing out of it
// but nothing to give: its pipes are scaled to 0, its depth stays 0, and the
// ground around it gains nothing from it.
TEST(FluidStep, DryCellGivesNothingAway)
{
    std::vector<uint16_t> heights(16 * 16, 10000);
    heights[5 * 16 + 5] = 40000;
    const DisplacementField terrain = terrainFrom(16, 16, heights, true);
    FluidGrid grid(16, 16);
    grid.depth.assign(grid.depth.size(), 0.01f);
    grid.depth[5 * 16 + 5] = 0.0f;
    const double volume = waterVolume(grid, 1.0f);
    fluidStep(terrain, grid, 0.01f, FluidSettings{}, 1, nullptr);
    EXPECT_EQ(grid.flux[5 * 16 + 5], FluidFlux{});
    EXPECT_EQ(grid.depth[5 * 16 + 5], 0.0f);
    EXPECT_NEAR(waterVolume(grid, 1.0f), volume, volume * 1e-6);
}

// The outflows read as a record of four floats, in the order right (x + 1),
// left (x - 1), below (y + 1), above (y - 1): water in a hollow that opens
// on one side only leaves through that one pipe.
TEST(FluidStep, OutflowsByIndexFollowRightLeftBelowAbove)
{
    struct Case {
        const char* name;
        int dx;
        int dy;
        int pipe;
    };
    const Case cases[] = {{"right", 1, 0, 0}, {"left", -1, 0, 1}, {"below", 0, 1, 2}, {"above", 0, -1, 3}};
    for (const Case& c : cases) {
        // A hollow whose rim stands above the water, opened on one side.
        std::vector<uint16_t> heights(16 * 16, 30000);
        heights[8 * 16 + 8] = 20000;
        heights[size_t(8 + c.dy) * 16 + size_t(8 + c.dx)] = 10000;
        const DisplacementField terrain = terrainFrom(16, 16, heights, true);
        FluidGrid grid(16, 16);
        const size_t cell = 8 * 16 + 8;
        grid.depth[cell] = 0.05f;
        fluidStep(terrain, grid, 0.01f, FluidSettings{}, 1, nullptr);
        const FluidFlux& flux = grid.flux[cell];
        for (int k = 0; k < 4; ++k) {
            if (k == c.pipe) {
                EXPECT_GT(flux[k], 0.0f) << c.name;
            } else {
                EXPECT_EQ(flux[k], 0.0f) << c.name << " pipe " << k;
            }
        }
        EXPECT_EQ(flux.right + flux.left + flux.below + flux.above, flux[c.pipe]) << c.name;
        grid.flux[cell][c.pipe] = 0.25f;
        EXPECT_EQ(std::as_const(grid).flux[cell][c.pipe], 0.25f) << c.name;
    }
}

TEST(WaterVolume, SumsDepthsInDoublePrecisionTimesCellArea)
{
    FluidGrid grid(4, 2);
    for (size_t i = 0; i < grid.depth.size(); ++i) {
        grid.depth[i] = float(i + 1);
    }
    EXPECT_EQ(waterVolume(grid, 0.5f), 9.0);
    // In single precision 2^24 + 1 + 1 + 1 would stay 2^24.
    grid = FluidGrid(4, 1);
    grid.depth = {16777216.0f, 1.0f, 1.0f, 1.0f};
    EXPECT_EQ(waterVolume(grid, 1.0f), 16777219.0);
}

} // namespace
} // namespace qlmr::sim
