#include "synthesis_benchmark.h"

#include <algorithm>
#include <array>

namespace qlmr {

double medianOf(std::vector<double> values)
{
    if (values.empty())
        return 0.0;
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

std::string formatSynthesisLine(const std::string& label, const SynthesisTiming& timing)
{
    char line[256];
    std::snprintf(line, sizeof line,
                  "  %-22s S=%u field %4ux%-4u  %.3f ms  (pixels %.3f, distance %.3f, relief %.3f, pyramid %.3f)\n",
                  label.c_str(), timing.nodesPerPixel, timing.fieldWidth, timing.fieldHeight, timing.total,
                  timing.pixels, timing.distance, timing.relief, timing.pyramid);
    return line;
}

SynthesisTiming benchmarkSynthesis(const std::string& label, const SpriteImage& sprite,
                                   const ReliefSettings& settings, int runs, std::FILE* out)
{
    constexpr int kWarmUp = 3;
    ReliefSynthesizer synthesizer(settings);
    // The first call replaces this placeholder; the later ones reuse the field.
    const std::uint16_t zero = 0;
    DisplacementField field(1, 1, std::span<const std::uint16_t>(&zero, 1), true);
    const SpriteView view = spriteView(sprite);

    std::array<std::vector<double>, 4> stages;
    std::vector<double> sums;
    ReliefInfo info;
    // Counted in 64 bits: runs + 3 does not fit an int for the largest runs.
    for (std::int64_t run = 0; run < std::int64_t(runs) + kWarmUp; ++run) {
        info = synthesizer.synthesize(view, field);
        if (run < kWarmUp)
            continue;
        const std::array<double, 4>& times = synthesizer.stageTimes();
        double sum = 0.0;
        for (std::size_t s = 0; s < 4; ++s) {
            stages[s].push_back(times[s]);
            sum += times[s];
        }
        sums.push_back(sum);
    }

    SynthesisTiming timing;
    timing.nodesPerPixel = settings.nodesPerPixel;
    timing.fieldWidth = info.fieldWidth;
    timing.fieldHeight = info.fieldHeight;
    timing.total = medianOf(sums);
    timing.pixels = medianOf(stages[0]);
    timing.distance = medianOf(stages[1]);
    timing.relief = medianOf(stages[2]);
    timing.pyramid = medianOf(stages[3]);
    std::fputs(formatSynthesisLine(label, timing).c_str(), out);
    return timing;
}

} // namespace qlmr
