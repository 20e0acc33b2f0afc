// One step of the diorama world at its default size (256 x 256 texels, ten
// fluid substeps): Arg 0 "calm" is a world whose water has been poured but
// that holds no particles; Arg 0 "busy" follows the three scripted impacts,
// with several thousand debris particles in the air. Arg 1 picks the calling
// thread (0) or the default thread pool (1). Every iteration starts from the
// same prepared world, copied in outside the timing.
#include "content/diorama_world.h"
#include "scene/thread_pool.h"

#include <benchmark/benchmark.h>
#include <memory>

namespace {

std::unique_ptr<qlmr::DioramaWorld> preparedWorld(bool busy)
{
    auto world = std::make_unique<qlmr::DioramaWorld>();
    world->syncCollisionScene();
    qlmr::ThreadPool pool;
    const float frame = 1.0f / 15.0f;
    // Busy: through the impacts at 0.5, 1.3 and 2.1 s. Calm: the water
    // source's window, after the debris has settled and expired.
    const float from = busy ? 0.0f : 2.8f;
    const float until = busy ? 2.2f : 3.6f;
    if (!busy) {
        world->setWaterSource(true, -2.6f, -2.4f);
    }
    for (int i = 0; from + float(i) * frame < until; ++i) {
        world->advance(from + float(i) * frame, frame, &pool);
    }
    world->pendingUpdates.clear();
    return world;
}

void BM_DioramaTick(benchmark::State& state)
{
    const bool busy = state.range(0) != 0;
    const std::unique_ptr<qlmr::DioramaWorld> prepared = preparedWorld(busy);
    auto world = std::make_unique<qlmr::DioramaWorld>(*prepared);
    std::unique_ptr<qlmr::ThreadPool> pool = state.range(1) != 0 ? std::make_unique<qlmr::ThreadPool>() : nullptr;
    size_t particles = 0;
    for (const qlmr::ParticlePool& p : prepared->pools) {
        particles += p.particles.count;
    }
    for (auto _ : state) {
        state.PauseTiming();
        *world = *prepared;
        state.ResumeTiming();
        world->tick(1.0f / 15.0f, pool.get());
        benchmark::DoNotOptimize(world->pendingUpdates.data());
    }
    state.counters["particles"] = double(particles);
    state.SetLabel(std::string(busy ? "busy" : "calm") + (pool ? ", pool" : ", calling thread"));
}

BENCHMARK(BM_DioramaTick)->ArgsProduct({{0, 1}, {0, 1}})->Unit(benchmark::kMillisecond)->UseRealTime();

} // namespace
