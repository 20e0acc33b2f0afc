#pragma once

#include <cstddef>
#include <cstdio>
#include <string>

namespace qlmr {

// The limits of one CPU/GPU agreement verdict.
struct LevelsLimits {
    std::string label;
    double coverage = 0.0;     // fraction of all pixels
    double depthRel = 0.0;     // mean relative depth error
    double normal = 0.0;       // fraction of hit pixels whose normals differ by more than 5 degrees
    std::size_t material = 0;  // material mismatches
    double imageDb = 0.0;
    double solidDb = 0.0;      // NaN: no limit on the solid-affected pixels
};

// What one comparison measured.
struct LevelsMeasures {
    std::size_t pixels = 0;
    std::size_t hits = 0;              // pixels hit on both sides
    std::size_t coverageMismatch = 0;
    std::size_t normalOver5 = 0;
    std::size_t materialMismatch = 0;
    double depthRel = 0.0;
    double imageDb = 0.0;              // +infinity when identical
    double solidDb = 0.0;              // NaN without solid pixels, +infinity when identical
};

struct LevelsVerdict {
    bool hitPassed = false;
    bool imagePassed = false;
    bool passed() const { return hitPassed && imagePassed; }
    std::string line;  // the report line, with its line end
};

LevelsVerdict levelsVerdict(const std::string& view, const LevelsMeasures& measures, const LevelsLimits& limits);

// Prints the verdict line on `out`; true when both halves passed.
bool printLevelsVerdict(std::FILE* out, const std::string& view, const LevelsMeasures& measures,
                        const LevelsLimits& limits);

// The same on standard output, where the program's report goes.
bool printLevelsVerdict(const std::string& view, const LevelsMeasures& measures, const LevelsLimits& limits);

// 10 log10(65025 x samples / squared difference sum); +infinity for a sum of 0.
double psnrDb(double squaredSum, double samples);

// "exact" for a zero error, else the PSNR as "%.2f dB".
std::string psnrText(double squaredSum, double samples);

} // namespace qlmr
