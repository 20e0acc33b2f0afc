#include "levels_verdict.h"

#include "common/format_text.h"

#include <cmath>
#include <cstdio>
#include <limits>

namespace qlmr {

double psnrDb(double squaredSum, double samples)
{
    if (squaredSum == 0.0)
        return std::numeric_limits<double>::infinity();
    return 10.0 * std::log10(65025.0 * samples / squaredSum);
}

std::string psnrText(double squaredSum, double samples)
{
    const double mse = samples > 0.0 ? squaredSum / samples : 0.0;
    if (mse == 0.0)
        return "exact";
    char text[64];
    std::snprintf(text, sizeof text, "%.2f dB", 10.0 * std::log10(65025.0 / mse));
    return text;
}

LevelsVerdict levelsVerdict(const std::string& view, const LevelsMeasures& m, const LevelsLimits& limits)
{
    const double coverage =
        m.pixels > 0 ? static_cast<double>(m.coverageMismatch) / static_cast<double>(m.pixels) : 0.0;
    const double normalFraction =
        m.hits > 0 ? static_cast<double>(m.normalOver5) / static_cast<double>(m.hits) : 0.0;

    LevelsVerdict verdict;
    verdict.hitPassed = coverage <= limits.coverage && m.depthRel <= limits.depthRel &&
                        normalFraction <= limits.normal && m.materialMismatch <= limits.material;
    verdict.imagePassed = m.imageDb >= limits.imageDb &&
                          (std::isnan(limits.solidDb) || std::isnan(m.solidDb) || m.solidDb >= limits.solidDb);

    std::string suffix;
    if (!std::isnan(m.solidDb) && !std::isnan(limits.solidDb)) {
        char text[96];
        std::snprintf(text, sizeof text, ", solid pixels %.1f dB >= %.0f", m.solidDb, limits.solidDb);
        suffix = text;
    }
    const double imageShown = std::isinf(m.imageDb) ? 999.0 : m.imageDb;
    const std::string line =
        formatText("  [%-6s] levels (%s): hit %s (coverage %.4f%% <= %.4f%%, depth rel %.1e <= %.0e, normal >5 deg "
                   "%.3f%% <= %.3f%%, material %zu <= %zu) | image %s (%.1f dB >= %.0f%s)\n",
                   view.c_str(), limits.label.c_str(), verdict.hitPassed ? "PASS" : "FAIL", coverage * 100.0,
                   limits.coverage * 100.0, m.depthRel, limits.depthRel, normalFraction * 100.0, limits.normal * 100.0,
                   m.materialMismatch, limits.material, verdict.imagePassed ? "PASS" : "FAIL", imageShown,
                   limits.imageDb, suffix.c_str());
    verdict.line = line;
    return verdict;
}

bool printLevelsVerdict(std::FILE* out, const std::string& view, const LevelsMeasures& measures,
                        const LevelsLimits& limits)
{
    const LevelsVerdict verdict = levelsVerdict(view, measures, limits);
    std::fputs(verdict.line.c_str(), out);
    return verdict.passed();
}

bool printLevelsVerdict(const std::string& view, const LevelsMeasures& measures, const LevelsLimits& limits)
{
    return printLevelsVerdict(stdout, view, measures, limits);
}

} // namespace qlmr
