// Time of one sprite-to-relief synthesis, per stage, on the sprites the
// pixel-art program measures: a shaded, outlined hero at 64x64 and 32x24, and
// a 320x180 frame of forty heroes and crates.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <string>
#include <vector>

#include "content/relief_synthesis.h"

namespace {

struct Sprite {
    std::uint32_t width = 0;
    std::uint32_t height = 0;
    std::vector<std::uint32_t> pixels;

    Sprite(std::uint32_t w, std::uint32_t h) : width(w), height(h), pixels(std::size_t(w) * h, 0) {}
    void set(std::uint32_t x, std::uint32_t y, std::uint32_t r, std::uint32_t g, std::uint32_t b)
    {
        pixels[std::size_t(y) * width + x] = r | g << 8 | b << 16 | 0xFF000000u;
    }
};

// A green blob with a dark outline, dithered shading, a highlight, two eyes
// and a mouth.
Sprite heroSprite(std::uint32_t w, std::uint32_t h)
{
    Sprite s(w, h);
    const float cx = 0.5f * float(w), cy = 0.66f * float(h), rx = 0.47f * float(w), ry = 0.62f * float(h);
    auto inside = [&](int x, int y) {
        if (x < 0 || y < 0 || x >= int(w) || y >= int(h) - 1) {
            return false;
        }
        const float dx = (float(x) + 0.5f - cx) / rx, dy = (float(y) + 0.5f - cy) / ry;
        return dx * dx + dy * dy <= 1.0f;
    };
    const int dither[2][2] = {{0, 2}, {3, 1}};
    for (int y = 0; y < int(h); ++y) {
        for (int x = 0; x < int(w); ++x) {
            if (!inside(x, y)) {
                continue;
            }
            if (!inside(x - 1, y) || !inside(x + 1, y) || !inside(x, y - 1) || !inside(x, y + 1)) {
                s.set(std::uint32_t(x), std::uint32_t(y), 28, 22, 52);
                continue;
            }
            const float X = (float(x) + 0.5f - cx) / rx, Y = (float(y) + 0.5f - cy) / ry;
            const float shade = 6.0f * (0.58f * std::sqrt(std::fmax(0.0f, 1.0f - X * X - Y * Y)) - 0.55f * X -
                                        0.6f * Y - 0.05f);
            const bool dark = shade < 0.0f || (shade < 1.0f && 4.0f * shade <= float(dither[y % 2][x % 2]));
            if (dark) {
                s.set(std::uint32_t(x), std::uint32_t(y), 38, 112, 66);
            } else if (shade < 3.2f) {
                s.set(std::uint32_t(x), std::uint32_t(y), 72, 176, 84);
            } else {
                s.set(std::uint32_t(x), std::uint32_t(y), 150, 228, 118);
            }
        }
    }
    const int u = std::max(1, int(w) / 32);
    auto paint = [&](int x, int y, std::uint32_t r, std::uint32_t g, std::uint32_t b) {
        if (inside(x, y)) {
            s.set(std::uint32_t(x), std::uint32_t(y), r, g, b);
        }
    };
    for (int i = 0; i < 2 * u; ++i) {
        for (int j = 0; j < 2 * u; ++j) {
            paint(int(float(w) * (float(j) / float(w) + 0.3f)), int(float(h) * (0.3f + float(i) / float(h))), 232,
                  255, 214);
        }
    }
    for (float a : {0.36f, 0.62f}) {
        for (int i = 0; i < 3 * u; ++i) {
            for (int j = 0; j < 2 * u; ++j) {
                paint(int(float(w) * (float(j) / float(w) + a)), int(float(h) * (0.55f + float(i) / float(h))), 28,
                      22, 52);
            }
        }
        paint(int(float(w) * a), int(0.55f * float(h)), 250, 250, 250);
    }
    for (int i = 0; i < 4 * u; ++i) {
        paint(int(float(w) * (float(i) / float(w) + 0.44f)), int(0.8f * float(h)), 28, 22, 52);
    }
    return s;
}

// Wooden planks with a brace, a frame, nails and a dark outline.
Sprite crateSprite(std::uint32_t n)
{
    Sprite s(n, n);
    for (std::uint32_t i = 0; i < n; ++i) {
        for (std::uint32_t j = 0; j < n; ++j) {
            if (i == 0 || j == 0 || i == n - 1 || j == n - 1) {
                s.set(j, i, 48, 28, 18);
            } else if ((i == 1 || i == n - 2) && (j == 1 || j == n - 2)) {
                s.set(j, i, 210, 210, 200);
            } else if ((i > j ? i - j : j - i) <= 1 || i < 3 || j < 3 || i >= n - 3 || j >= n - 3) {
                s.set(j, i, 196, 142, 80);
            } else if (i % 5 == 4) {
                s.set(j, i, 92, 56, 30);
            } else if ((i / 5) % 2 == 1) {
                s.set(j, i, 168, 112, 58);
            } else {
                s.set(j, i, 146, 94, 46);
            }
        }
    }
    return s;
}

Sprite frameSprite()
{
    Sprite frame(320, 180);
    const Sprite hero = heroSprite(32, 24);
    const Sprite crate = crateSprite(20);
    for (std::uint32_t k = 0; k < 40; ++k) {
        const Sprite& src = k % 3 == 2 ? crate : hero;
        const std::uint32_t ox = (k % 8) * 40 + 2, oy = (k / 8) * 36 + 4;
        for (std::uint32_t y = 0; y < src.height; ++y) {
            for (std::uint32_t x = 0; x < src.width; ++x) {
                const std::uint32_t c = src.pixels[std::size_t(y) * src.width + x];
                if ((c >> 24) != 0) {
                    frame.pixels[std::size_t(oy + y) * frame.width + ox + x] = c;
                }
            }
        }
    }
    return frame;
}

void runSynthesis(benchmark::State& state, const Sprite& sprite, std::uint32_t nodesPerPixel)
{
    qlmr::ReliefSettings settings;
    settings.nodesPerPixel = nodesPerPixel;
    qlmr::ReliefSynthesizer synth(settings);
    const std::uint16_t zero = 0;
    qlmr::DisplacementField field(1, 1, std::span<const std::uint16_t>(&zero, 1), true);
    const qlmr::SpriteView view{sprite.pixels.data(), sprite.pixels.size(), sprite.width, sprite.height, 0};
    // Warm-up: the scratch arrays and the field reach their size.
    qlmr::ReliefInfo info;
    for (int i = 0; i < 3; ++i) {
        info = synth.synthesize(view, field);
    }
    double stages[4] = {0, 0, 0, 0};
    for (auto _ : state) {
        info = synth.synthesize(view, field);
        benchmark::DoNotOptimize(field.heights.data());
        for (int s = 0; s < 4; ++s) {
            stages[s] += synth.stageTimes()[std::size_t(s)];
        }
    }
    const double runs = double(state.iterations());
    state.counters["pixels_ms"] = stages[0] / runs;
    state.counters["distance_ms"] = stages[1] / runs;
    state.counters["relief_ms"] = stages[2] / runs;
    state.counters["pyramid_ms"] = stages[3] / runs;
    state.SetLabel("field " + std::to_string(info.fieldWidth) + "x" + std::to_string(info.fieldHeight) +
                   (info.parts ? ", parts" : ", no parts"));
}

void BM_SynthesizeHero(benchmark::State& state)
{
    const Sprite hero = heroSprite(std::uint32_t(state.range(0)), std::uint32_t(state.range(1)));
    runSynthesis(state, hero, std::uint32_t(state.range(2)));
}

void BM_SynthesizeFrame(benchmark::State& state)
{
    static const Sprite frame = frameSprite();
    runSynthesis(state, frame, std::uint32_t(state.range(0)));
}

BENCHMARK(BM_SynthesizeHero)
    ->ArgNames({"w", "h", "S"})
    ->Args({64, 64, 1})
    ->Args({64, 64, 2})
    ->Args({64, 64, 4})
    ->Args({32, 24, 2})
    ->Args({32, 32, 2})
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_SynthesizeFrame)->ArgNames({"S"})->Arg(1)->Unit(benchmark::kMillisecond);

} // namespace
