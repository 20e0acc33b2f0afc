#include "chapter_readings.h"

#include <limits>
#include <string_view>

#include "console_report.h"

namespace qlmr {

namespace {

// qlmr-gpu writes "PSNR exact" for identical images, where no number
// follows the marker; that is the best possible match, not 0 dB.
double psnrOf(const std::string& line) {
    constexpr std::string_view marker = "PSNR ";
    const std::size_t at = line.find(marker);
    if (at != std::string::npos && line.compare(at + marker.size(), 5, "exact") == 0)
        return std::numeric_limits<double>::infinity();
    return numberAfter(line, marker);
}

} // namespace

std::vector<double> readTerrainFrameTimes(const std::vector<std::string>& lines) {
    std::vector<double> times;
    for (const std::string& line : lines)
        if (contains(line, " GPU ") && contains(line, " ms,"))
            times.push_back(numberAfter(line, " GPU "));
    return times;
}

DemoReadings readDemoLines(const std::vector<std::string>& lines) {
    DemoReadings readings;
    std::string memoryLine;
    for (const std::string& line : lines) {
        if (beginsWith(line, "[") && contains(line, " ms |"))
            readings.frameTimes.push_back(numberAfter(line, "]"));
        if (beginsWith(line, "memory:"))
            memoryLine = line;
    }
    readings.heightsMegabytes = numberAfter(memoryLine, "memory: heights ");
    return readings;
}

SdnaReadings readSdnaLines(const std::vector<std::string>& lines) {
    SdnaReadings readings;
    for (const std::string& line : lines) {
        if (beginsWith(line, "critter:")) {
            readings.instructions = numberAfter(line, "critter:");
            readings.fileBytes = numberAfter(line, "bones, ");
        }
        if (beginsWith(line, "turntable"))
            readings.cpuFrameMs = numberBefore(line, " ms per frame");
    }
    return readings;
}

GpuComparison readGpuComparison(const std::vector<std::string>& lines, const std::string& deviceName) {
    GpuComparison comparison;
    std::vector<double> times;
    bool inSection = false;
    for (const std::string& line : lines) {
        if (beginsWith(line, "== ")) {
            inSection = line.substr(3) == deviceName;
            continue;
        }
        if (!inSection || !contains(line, "] GPU"))
            continue;
        times.push_back(numberAfter(line, "] GPU"));
        const double psnr = psnrOf(line);
        // NaN compares false, so the first value always replaces the start.
        if (!(comparison.psnr <= psnr))
            comparison.psnr = psnr;
    }
    comparison.gpuMs = medianOf(std::move(times));
    return comparison;
}

double readSynthesisMs(const std::vector<std::string>& lines) {
    double ms = kNoValue;
    for (const std::string& line : lines)
        if (contains(line, "sprite 64x64") && contains(line, "S=1"))
            ms = numberBefore(line, " ms");
    return ms;
}

DioramaReadings readDioramaLines(const std::vector<std::string>& lines) {
    DioramaReadings readings;
    for (const std::string& line : lines) {
        if (beginsWith(line, "mean per frame")) {
            readings.simulationMs = numberAfter(line, "simulation ");
            readings.renderMs = numberAfter(line, "render ");
        }
    }
    return readings;
}

} // namespace qlmr
