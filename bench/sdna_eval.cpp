// Shape-program evaluation speed on one core: point evaluations, gradient
// evaluations and traced rays per second for a 50-instruction program.

#include <benchmark/benchmark.h>

#include <array>
#include <cmath>
#include <random>
#include <vector>

#include "sdna/evaluator.h"
#include "sdna/tracer.h"

namespace {

using namespace qlmr;

SdnaInstruction make(SdnaOp op, std::array<float, 8> p, std::uint16_t material = 0) {
    SdnaInstruction ins;
    ins.op = op;
    ins.p = p;
    ins.material = material;
    return ins;
}

// 50 instructions: 24 primitives of every bounded kind joined by a mix of
// combinators, one unary operator and one rigid frame.
SdnaProgram fiftyInstructionProgram() {
    std::mt19937 rng(5);
    std::uniform_real_distribution<float> pos(-1.0f, 1.0f), size(0.1f, 0.35f);
    auto primitive = [&](int i) {
        const float x = pos(rng), y = pos(rng), z = pos(rng);
        const auto m = static_cast<std::uint16_t>(i % 4);
        switch (i % 5) {
        case 0: return make(SdnaOp::Sphere, {x, y, z, size(rng)}, m);
        case 1: return make(SdnaOp::Capsule, {x, y, z, x + 0.3f, y + 0.2f, z, size(rng) * 0.5f}, m);
        case 2: return make(SdnaOp::TaperedCapsule, {x, y, z, size(rng), x, y + 0.4f, z + 0.1f, size(rng) * 0.5f}, m);
        case 3: return make(SdnaOp::Ellipsoid, {x, y, z, size(rng), size(rng), size(rng)}, m);
        default: return make(SdnaOp::Box, {x, y, z, size(rng), size(rng), size(rng), 0.02f}, m);
        }
    };
    const SdnaOp combinators[] = {SdnaOp::Union, SdnaOp::SmoothUnion, SdnaOp::Union, SdnaOp::Subtract,
                                  SdnaOp::SmoothUnion, SdnaOp::Intersect};
    SdnaProgram program;
    program.instructions.push_back(primitive(0));
    for (int i = 1; i <= 22; ++i) {
        program.instructions.push_back(primitive(i));
        const SdnaOp op = combinators[i % 6];
        program.instructions.push_back(make(op, {op == SdnaOp::SmoothUnion ? 0.1f : 0.0f}));
    }
    program.instructions.push_back(make(SdnaOp::Offset, {0.01f}));
    const float s = std::sin(0.3f), c = std::cos(0.3f);
    program.instructions.push_back(make(SdnaOp::PushTransform, {0, s, 0, c, 0.2f, 0.1f, 0, 1.5f}));
    program.instructions.push_back(primitive(23));
    program.instructions.push_back(make(SdnaOp::Pop, {}));
    program.instructions.push_back(make(SdnaOp::Union, {}));
    program.materials.resize(4);
    program.boundsMin = {-2, -2, -2};
    program.boundsMax = {2, 2, 2};
    return program;
}

std::vector<std::array<float, 3>> samplePoints() {
    std::mt19937 rng(11);
    std::uniform_real_distribution<float> d(-1.5f, 1.5f);
    std::vector<std::array<float, 3>> points(1024);
    for (auto& p : points) p = {d(rng), d(rng), d(rng)};
    return points;
}

// Every run reports every counter of this file (0 where it does not apply):
// the CSV reporter takes its columns from the first run it prints and stops
// at a counter that has no column.
void declareCounters(benchmark::State& state, const SdnaProgram& program) {
    state.counters["instructions"] = static_cast<double>(program.instructions.size());
    state.counters["steps/ray"] = 0.0;
}

void BM_EvaluateProgram50(benchmark::State& state) {
    const SdnaProgram program = fiftyInstructionProgram();
    declareCounters(state, program);
    const auto points = samplePoints();
    std::size_t i = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(evaluateProgram(program, points[i]));
        i = (i + 1) & 1023;
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_EvaluateProgram50);

void BM_EvaluateGradient50(benchmark::State& state) {
    const SdnaProgram program = fiftyInstructionProgram();
    declareCounters(state, program);
    const auto points = samplePoints();
    std::size_t i = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(evaluateGradient(program, seedPoint(points[i])));
        i = (i + 1) & 1023;
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_EvaluateGradient50);

void BM_TraceProgram50(benchmark::State& state) {
    const SdnaProgram program = fiftyInstructionProgram();
    declareCounters(state, program);
    const auto points = samplePoints();
    SdnaTraceOptions options;  // 256 steps, eps 1e-4, normals on
    const std::array<float, 3> eye{3.0f, 2.0f, 3.5f};
    std::size_t i = 0;
    std::uint64_t steps = 0;
    for (auto _ : state) {
        const auto& target = points[i];
        std::array<float, 3> d{target[0] - eye[0], target[1] - eye[1], target[2] - eye[2]};
        const float len = std::sqrt(d[0] * d[0] + d[1] * d[1] + d[2] * d[2]);
        for (float& c : d) c /= len;
        const SdnaHit hit = traceProgram(program, eye, d, 0.0f, 50.0f, options);
        steps += hit.steps;
        benchmark::DoNotOptimize(hit);
        i = (i + 1) & 1023;
    }
    state.SetItemsProcessed(state.iterations());
    state.counters["steps/ray"] = static_cast<double>(steps) / static_cast<double>(state.iterations());
}
BENCHMARK(BM_TraceProgram50);

}  // namespace
