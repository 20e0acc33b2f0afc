// Generation time of the demo scene: the four generators, the fields and
// their pyramids, the prisms and the shell asset, on the default pool.
#include <benchmark/benchmark.h>

#include <cstdio>

#include "content/demo_scene.h"

namespace {

void BM_BuildDemoScene(benchmark::State& state)
{
    qlmr::ThreadPool pool;
    const auto terrainSize = static_cast<unsigned>(state.range(0));
    const bool edges = state.range(1) != 0;
    state.counters["threads"] = pool.workerCount() + 1;
    for (auto _ : state) {
        qlmr::Scene scene;
        const qlmr::DemoLayout layout = qlmr::buildDemoScene(scene, terrainSize, edges, pool);
        benchmark::DoNotOptimize(layout);
        benchmark::DoNotOptimize(scene.fields.data());
    }
    std::fflush(stdout);
}

BENCHMARK(BM_BuildDemoScene)
    ->ArgNames({"terrain", "edges"})
    ->Args({2048, 1})
    ->Args({2048, 0})
    ->Args({512, 1})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->MeasureProcessCPUTime();

} // namespace
