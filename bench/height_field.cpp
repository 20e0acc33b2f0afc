// Building and editing the height pyramid: the demo scene builds several
// 2048-square fields, and stamps edit small rectangles many times a frame.
#include "scene/height_field.h"

#include <benchmark/benchmark.h>
#include <cstdint>
#include <random>
#include <vector>

namespace {

std::vector<uint16_t> noiseHeights(uint32_t size)
{
    std::mt19937 rng(1);
    std::vector<uint16_t> out(size_t(size) * size);
    for (uint16_t& v : out) v = uint16_t(rng() >> 16);
    return out;
}

void BM_BuildField(benchmark::State& state)
{
    const uint32_t size = uint32_t(state.range(0));
    const std::vector<uint16_t> heights = noiseHeights(size);
    for (auto _ : state) {
        qlmr::DisplacementField field(size, size, std::span<const uint16_t>(heights), true);
        benchmark::DoNotOptimize(field.bounds.data());
    }
    state.SetItemsProcessed(int64_t(state.iterations()) * size * size);
}
BENCHMARK(BM_BuildField)->Arg(256)->Arg(2048)->Unit(benchmark::kMillisecond);

void BM_EditRect(benchmark::State& state)
{
    const uint32_t edge = uint32_t(state.range(0));
    qlmr::DisplacementField field(2048, 2048, std::span<const uint16_t>(noiseHeights(2048)), false);
    uint32_t x = 0;
    for (auto _ : state) {
        // Away from the edges: a tiling field rebuilds whole levels when an
        // edit crosses its border.
        x = (x + 97) % (2048 - 2 * edge) + edge;
        qlmr::FieldUpdate update = field.updateRect({x, x, x + edge, x + edge});
        benchmark::DoNotOptimize(update);
    }
}
BENCHMARK(BM_EditRect)->Arg(16)->Arg(64)->Unit(benchmark::kMicrosecond);

} // namespace
