// The diorama's per-frame simulation: one fluid step of 10 substeps over the
// water grid, and one particle step over a large particle set, each on the
// calling thread (Arg 0) and on the default thread pool (Arg 1).
#include "content/fluid.h"
#include "content/particles.h"
#include "scene/thread_pool.h"

#include <benchmark/benchmark.h>
#include <cmath>
#include <cstdint>
#include <memory>
#include <random>
#include <vector>

namespace {

std::vector<uint16_t> rollingHeights(uint32_t size)
{
    std::vector<uint16_t> heights(size_t(size) * size);
    for (uint32_t y = 0; y < size; ++y) {
        for (uint32_t x = 0; x < size; ++x) {
            const float fx = float(x) / float(size);
            const float fy = float(y) / float(size);
            const float h = 0.4f + 0.15f * std::sin(fx * 19.0f) * std::cos(fy * 13.0f);
            heights[size_t(y) * size + x] = uint16_t(std::lround(h * 65535.0f));
        }
    }
    return heights;
}

std::unique_ptr<qlmr::ThreadPool> poolFor(const benchmark::State& state)
{
    return state.range(1) != 0 ? std::make_unique<qlmr::ThreadPool>() : nullptr;
}

void BM_FluidStep(benchmark::State& state)
{
    const uint32_t size = uint32_t(state.range(0));
    const std::vector<uint16_t> heights = rollingHeights(size);
    const qlmr::DisplacementField terrain(size, size, std::span<const uint16_t>(heights), true);
    qlmr::sim::FluidGrid grid(size, size);
    std::mt19937 rng(1);
    std::uniform_real_distribution<float> depth(0.0f, 0.05f);
    for (float& d : grid.depth) {
        d = depth(rng);
    }
    const std::unique_ptr<qlmr::ThreadPool> pool = poolFor(state);
    const qlmr::sim::FluidSettings settings;
    const uint32_t substeps = 10;
    for (auto _ : state) {
        qlmr::sim::fluidStep(terrain, grid, 1.0f / 60.0f, settings, substeps, pool.get());
        benchmark::DoNotOptimize(grid.depth.data());
    }
    state.SetItemsProcessed(int64_t(state.iterations()) * size * size * substeps);
    state.counters["workers"] = pool ? double(pool->workerCount()) : 0.0;
}
BENCHMARK(BM_FluidStep)
    ->ArgsProduct({{256, 512}, {0, 1}})
    ->ArgNames({"size", "pool"})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

// Particles bouncing on an 8 x 8 metre terrain of 256 samples a side, as in
// the diorama. Each iteration restores the set so every step moves all of
// them; the copy is timed outside the step.
void BM_ParticleStep(benchmark::State& state)
{
    const size_t count = size_t(state.range(0));
    const std::vector<uint16_t> heights = rollingHeights(256);
    qlmr::Scene scene;
    scene.addField(qlmr::DisplacementField(256, 256, std::span<const uint16_t>(heights), true));
    qlmr::Prism prism;
    prism.origin = {-4.0f, 0.0f, -4.0f};
    prism.axisU = {8.0f, 0.0f, 0.0f};
    prism.axisV = {0.0f, 0.0f, 8.0f};
    prism.axisH = {0.0f, 1.6f, 0.0f};
    scene.addPrism(prism);
    scene.refreshPrisms();

    std::mt19937 rng(2);
    std::uniform_real_distribution<float> across(-3.9f, 3.9f);
    std::uniform_real_distribution<float> up(0.5f, 1.5f);
    std::uniform_real_distribution<float> speed(-3.0f, 3.0f);
    std::vector<float> start[7];
    for (std::vector<float>& a : start) {
        a.resize(count);
    }
    for (size_t i = 0; i < count; ++i) {
        start[0][i] = across(rng);
        start[1][i] = up(rng);
        start[2][i] = across(rng);
        start[3][i] = speed(rng);
        start[4][i] = speed(rng);
        start[5][i] = speed(rng);
        start[6][i] = 100.0f;
    }
    std::vector<float> work[7];
    const std::unique_ptr<qlmr::ThreadPool> pool = poolFor(state);
    const qlmr::sim::ParticleSettings settings;
    for (auto _ : state) {
        state.PauseTiming();
        for (int a = 0; a < 7; ++a) {
            work[a] = start[a];
        }
        qlmr::sim::Particles particles{count,          work[0].data(), work[1].data(), work[2].data(),
                                       work[3].data(), work[4].data(), work[5].data(), work[6].data()};
        state.ResumeTiming();
        benchmark::DoNotOptimize(qlmr::sim::step(scene, particles, 1.0f / 240.0f, settings, pool.get()));
    }
    state.SetItemsProcessed(int64_t(state.iterations()) * int64_t(count));
    state.counters["workers"] = pool ? double(pool->workerCount()) : 0.0;
}
BENCHMARK(BM_ParticleStep)
    ->ArgsProduct({{100000}, {0, 1}})
    ->ArgNames({"particles", "pool"})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

} // namespace
