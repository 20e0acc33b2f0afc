// Distance bricks of the built-in critter: build time at the size the GPU
// test program uses (cell = box diagonal / 256, 64 MiB, 16M evaluations),
// on one thread and on every hardware thread, and primary rays traced
// through the cache against the exact tracer.

#include <benchmark/benchmark.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <string>
#include <thread>
#include <vector>

#include "sdna/brick_tracer.h"
#include "sdna/bricks.h"
#include "sdna/critter.h"
#include "sdna/tracer.h"

namespace {

using namespace qlmr;

BrickBuildParams critterParams(const SdnaProgram& program, std::uint32_t threads) {
    const float diagonal = std::hypot(program.boundsMax[0] - program.boundsMin[0],
                                      program.boundsMax[1] - program.boundsMin[1],
                                      program.boundsMax[2] - program.boundsMin[2]);
    return BrickBuildParams{diagonal / 256.0f, 67108864, 16777216, threads};
}

// Every run reports every counter of this file (0 where it does not apply,
// also in a run that stops with an error): the CSV reporter takes its columns
// from the first run it prints and stops at a counter that has no column.
void declareCounters(benchmark::State& state) {
    for (const char* name : {"threads", "bricks", "far", "unbuilt", "blocks", "MB", "evaluations", "steps/ray",
                             "exact/ray"}) {
        state.counters[name] = 0.0;
    }
}

void BM_BuildCritterBricks(benchmark::State& state) {
    declareCounters(state);
    const SdnaProgram program = buildCritter(true);
    const std::vector<BonePose> pose = critterPose(program.boneCount, 0.45f);
    const std::uint32_t threads =
        state.range(0) == 0 ? std::max(1u, std::thread::hardware_concurrency())
                            : static_cast<std::uint32_t>(state.range(0));
    const BrickBuildParams params = critterParams(program, threads);
    Bricks bricks;
    std::string error;
    for (auto _ : state) {
        if (!buildBricks(program, pose, params, bricks, error)) {
            state.SkipWithError(error.c_str());
            return;
        }
    }
    state.counters["threads"] = threads;
    state.counters["bricks"] = static_cast<double>(bricks.bricks.size());
    state.counters["far"] = static_cast<double>(bricks.stats.farBlocks);
    state.counters["unbuilt"] = static_cast<double>(bricks.stats.unbuiltBlocks);
    state.counters["blocks"] = static_cast<double>(bricks.grid.size());
    state.counters["MB"] = static_cast<double>(bricks.memoryBytes()) / 1048576.0;
    state.counters["evaluations"] = static_cast<double>(bricks.stats.evaluations);
}
BENCHMARK(BM_BuildCritterBricks)->Arg(1)->Arg(0)->Unit(benchmark::kMillisecond)->UseRealTime();

// The rays of a 160 x 120 view of the "front" camera.
struct Rays {
    std::array<float, 3> origin{2.6f, 1.5f, 2.4f};
    std::vector<std::array<float, 3>> directions;
};

Rays frontRays() {
    Rays rays;
    const std::array<float, 3> target{0.0f, 0.5f, 0.0f};
    std::array<float, 3> f{target[0] - rays.origin[0], target[1] - rays.origin[1], target[2] - rays.origin[2]};
    const float fl = std::sqrt(f[0] * f[0] + f[1] * f[1] + f[2] * f[2]);
    for (float& c : f) c /= fl;
    std::array<float, 3> r{-f[2], 0.0f, f[0]};
    const float rl = std::sqrt(r[0] * r[0] + r[2] * r[2]);
    for (float& c : r) c /= rl;
    const std::array<float, 3> u{r[1] * f[2] - r[2] * f[1], r[2] * f[0] - r[0] * f[2], r[0] * f[1] - r[1] * f[0]};
    const int w = 160, h = 120;
    const float tanHalf = std::tan(0.375f), aspect = float(w) / h;
    for (int y = 0; y < h; ++y) {
        for (int x = 0; x < w; ++x) {
            const float a = (2.0f * (x + 0.5f) / w - 1.0f) * tanHalf * aspect;
            const float b = (1.0f - 2.0f * (y + 0.5f) / h) * tanHalf;
            std::array<float, 3> d{f[0] + r[0] * a + u[0] * b, f[1] + r[1] * a + u[1] * b, f[2] + r[2] * a + u[2] * b};
            const float l = std::sqrt(d[0] * d[0] + d[1] * d[1] + d[2] * d[2]);
            for (float& c : d) c /= l;
            rays.directions.push_back(d);
        }
    }
    return rays;
}

SdnaTraceOptions primaryOptions() {
    SdnaTraceOptions o;
    o.maxSteps = 256;
    o.eps = 0.0001f;
    o.epsPerDistance = std::tan(0.375f) / 120.0f;
    return o;
}

void BM_TraceCritterExact(benchmark::State& state) {
    declareCounters(state);
    const SdnaProgram program = buildCritter(true);
    const Rays rays = frontRays();
    const SdnaTraceOptions options = primaryOptions();
    std::uint64_t steps = 0;
    for (auto _ : state) {
        for (const auto& d : rays.directions) {
            const SdnaHit hit = traceProgram(program, rays.origin, d, 0.0f, 50.0f, options);
            steps += hit.steps;
            benchmark::DoNotOptimize(hit);
        }
    }
    state.SetItemsProcessed(state.iterations() * rays.directions.size());
    state.counters["steps/ray"] = double(steps) / double(state.iterations() * rays.directions.size());
}
BENCHMARK(BM_TraceCritterExact)->Unit(benchmark::kMillisecond);

void BM_TraceCritterBricks(benchmark::State& state) {
    declareCounters(state);
    const SdnaProgram program = buildCritter(true);
    Bricks bricks;
    std::string error;
    if (!buildBricks(program, {}, critterParams(program, std::max(1u, std::thread::hardware_concurrency())),
                     bricks, error)) {
        state.SkipWithError(error.c_str());
        return;
    }
    const Rays rays = frontRays();
    const SdnaTraceOptions options = primaryOptions();
    const auto mode = static_cast<std::uint32_t>(state.range(0));
    std::uint64_t steps = 0, exactSteps = 0;
    for (auto _ : state) {
        for (const auto& d : rays.directions) {
            SdnaHit hit;
            BrickTraceStats stats;
            traceBricksLocal(hit, bricks, rays.origin, d, 0.0f, 50.0f, options, 100000, &stats, mode);
            steps += hit.steps;
            exactSteps += stats.refinementSteps;
            benchmark::DoNotOptimize(hit);
        }
    }
    const double rayCount = double(state.iterations() * rays.directions.size());
    state.SetItemsProcessed(state.iterations() * rays.directions.size());
    state.counters["steps/ray"] = double(steps) / rayCount;
    state.counters["exact/ray"] = double(exactSteps) / rayCount;
}
BENCHMARK(BM_TraceCritterBricks)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);

}  // namespace
