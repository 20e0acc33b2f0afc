#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "content/relief_synthesis.h"
#include "sprite_image.h"

namespace qlmr {

// Medians of a synthesis benchmark, in milliseconds.
struct SynthesisTiming {
    std::uint32_t nodesPerPixel = 0;
    std::uint32_t fieldWidth = 0;
    std::uint32_t fieldHeight = 0;
    double total = 0.0; // median of the four stages' sum
    double pixels = 0.0;
    double distance = 0.0;
    double relief = 0.0;
    double pyramid = 0.0;
};

// The element at index count / 2 of the sorted values (0 for none).
double medianOf(std::vector<double> values);

// The report line of one benchmark, line break included.
std::string formatSynthesisLine(const std::string& label, const SynthesisTiming& timing);

// Synthesizes the whole sprite runs + 3 times with one synthesizer into one
// field, drops the first three calls as warm-up, prints the medians of the
// rest to `out` (the program's standard output unless told otherwise) and
// returns them. Needs runs >= 1.
SynthesisTiming benchmarkSynthesis(const std::string& label, const SpriteImage& sprite,
                                   const ReliefSettings& settings, int runs, std::FILE* out = stdout);

} // namespace qlmr
