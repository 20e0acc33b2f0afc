// What the culling table buys on one core: critter point evaluations and
// traced rays with and without the table, and the cost of making the table
// and the random corpus programs.

#include <benchmark/benchmark.h>

#include <array>
#include <cmath>
#include <cstdint>
#include <random>
#include <vector>

#include "sdna/bounds_analysis.h"
#include "sdna/critter.h"
#include "sdna/evaluator.h"
#include "sdna/program_packing.h"
#include "sdna/random_program.h"
#include "sdna/tracer.h"

namespace {

using namespace qlmr;
using Vec3 = std::array<float, 3>;

// Points spread over the critter's box.
std::vector<Vec3> pointsIn(const SdnaProgram& program) {
    std::mt19937 rng(11);
    std::vector<Vec3> points(1024);
    for (Vec3& p : points) {
        for (int axis = 0; axis < 3; ++axis) {
            std::uniform_real_distribution<float> d(program.boundsMin[axis], program.boundsMax[axis]);
            p[axis] = d(rng);
        }
    }
    return points;
}

// Rays from a camera in front of the critter through a grid across it.
struct Ray {
    Vec3 origin, direction;
};
std::vector<Ray> raysAt(const SdnaProgram& program) {
    std::vector<Ray> rays;
    const Vec3 eye{0.2f, 0.8f, 3.0f};
    for (int y = 0; y < 32; ++y) {
        for (int x = 0; x < 32; ++x) {
            const Vec3 target{program.boundsMin[0] + (program.boundsMax[0] - program.boundsMin[0]) * (x + 0.5f) / 32,
                              program.boundsMin[1] + (program.boundsMax[1] - program.boundsMin[1]) * (y + 0.5f) / 32,
                              0.0f};
            Vec3 d{target[0] - eye[0], target[1] - eye[1], target[2] - eye[2]};
            const float inverse = 1.0f / std::sqrt(d[0] * d[0] + d[1] * d[1] + d[2] * d[2]);
            rays.push_back({eye, {d[0] * inverse, d[1] * inverse, d[2] * inverse}});
        }
    }
    return rays;
}

// Argument 0: no table; otherwise the table's minimum subtree length.
void BM_CritterEvaluate(benchmark::State& state) {
    const SdnaProgram critter = buildCritter(false);
    const std::vector<BonePose> pose = critterPose(4, 0.4f);
    const ProgramBounds bounds = analyzeProgramBounds(critter, static_cast<std::uint32_t>(state.range(0)));
    const ProgramBounds* table = state.range(0) == 0 ? nullptr : &bounds;
    const auto points = pointsIn(critter);
    std::size_t i = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(evaluateProgram(critter, points[i], pose.data(), pose.size(), table));
        i = (i + 1) & 1023;
    }
    state.SetItemsProcessed(state.iterations());
    state.counters["records"] = table ? static_cast<double>(bounds.records.size()) : 0.0;
}
BENCHMARK(BM_CritterEvaluate)->Arg(0)->Arg(1)->Arg(3);

void BM_CritterTrace(benchmark::State& state) {
    const SdnaProgram critter = buildCritter(false);
    const std::vector<BonePose> pose = critterPose(4, 0.4f);
    const ProgramBounds bounds = analyzeProgramBounds(critter, 3);
    const ProgramBounds* table = state.range(0) == 0 ? nullptr : &bounds;
    const auto rays = raysAt(critter);
    SdnaTraceOptions options;
    options.maxSteps = 256;
    options.eps = 0.0001f;
    options.normals = true;
    std::size_t i = 0;
    std::uint64_t steps = 0;
    for (auto _ : state) {
        const SdnaHit hit = traceProgram(critter, rays[i].origin, rays[i].direction, 0.0f, 50.0f, options,
                                         pose.data(), pose.size(), table);
        steps += hit.steps;
        benchmark::DoNotOptimize(hit);
        i = (i + 1) & 1023;
    }
    state.SetItemsProcessed(state.iterations());
    state.counters["steps_per_ray"] = static_cast<double>(steps) / static_cast<double>(state.iterations());
}
BENCHMARK(BM_CritterTrace)->Arg(0)->Arg(1);

void BM_AnalyzeAndPackCritter(benchmark::State& state) {
    const SdnaProgram critter = buildCritter(true);
    for (auto _ : state) {
        const ProgramBounds bounds = analyzeProgramBounds(critter, 3);
        benchmark::DoNotOptimize(packProgramWithBounds(critter, bounds));
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_AnalyzeAndPackCritter);

void BM_RandomProgram(benchmark::State& state) {
    std::uint32_t seed = 0;
    for (auto _ : state) benchmark::DoNotOptimize(randomProgram(seed++));
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_RandomProgram);

}  // namespace
