// Bake time of the radial source's shells at the shells scene's settings:
// the 8 x 8 per face cage of the coarse surface (384 quads), inset 0.02,
// probing on, on the default pool; the field size is the argument.
#include <benchmark/benchmark.h>

#include "content/quad_cage.h"
#include "content/radial_source.h"

namespace {

void BM_BakeRadialShells(benchmark::State& state)
{
    qlmr::ThreadPool pool;
    const qlmr::RadialSourceParams params;
    const qlmr::QuadCage cage = qlmr::radialSourceCage(8, params, 2, 0.03f);
    qlmr::ShellBakeOptions options;
    options.resolution = static_cast<std::uint32_t>(state.range(0));
    options.innerExtent = 0.02f;
    qlmr::ShellBakeStats stats;
    for (auto _ : state) {
        qlmr::Scene scene;
        stats = qlmr::bakeRadialShells(scene, cage, params, options, pool);
        benchmark::DoNotOptimize(scene.fields.data());
    }
    state.counters["threads"] = pool.workerCount() + 1;
    state.counters["prisms"] = stats.prismsBaked;
    state.counters["outside"] = stats.outsideSamples;
    state.counters["maxOuter"] = stats.maxOuterExtent;
    state.counters["MiB"] = double(stats.bytes) / (1024.0 * 1024.0);
}

BENCHMARK(BM_BakeRadialShells)
    ->ArgName("res")
    ->Arg(64)
    ->Arg(128)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->MeasureProcessCPUTime()
    ->Iterations(1)
    ->Repetitions(3);

} // namespace
