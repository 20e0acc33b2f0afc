#pragma once

#include <limits>
#include <string>
#include <vector>

namespace qlmr {

// The figures each chapter reads from its children's console lines. A
// value whose line never appears stays NaN.

inline constexpr double kNoValue = std::numeric_limits<double>::quiet_NaN();

// qlmr-terrain: every line holding " GPU " and " ms," gives a frame time.
std::vector<double> readTerrainFrameTimes(const std::vector<std::string>& lines);

struct DemoReadings {
    std::vector<double> frameTimes; // per view line "[name]   12.3 ms | ..."
    double heightsMegabytes = kNoValue; // from the last "memory:" line
};
DemoReadings readDemoLines(const std::vector<std::string>& lines);

struct SdnaReadings {
    double instructions = kNoValue;
    double fileBytes = kNoValue;
    double cpuFrameMs = kNoValue;
};
SdnaReadings readSdnaLines(const std::vector<std::string>& lines);

// qlmr-gpu --sdna, within the "== <device>" section of the chosen device
// (the whole device name, as qlmr-vkinfo reports it): the median GPU time
// and the smallest PSNR of its view lines. "PSNR exact" (identical images)
// reads as +infinity, so the chapter's PSNR is infinite only when every
// view matched exactly.
struct GpuComparison {
    double gpuMs = kNoValue;
    double psnr = kNoValue;
};
GpuComparison readGpuComparison(const std::vector<std::string>& lines, const std::string& deviceName);

// qlmr-pixelart: the last line holding "sprite 64x64" and "S=1".
double readSynthesisMs(const std::vector<std::string>& lines);

struct DioramaReadings {
    double simulationMs = kNoValue;
    double renderMs = kNoValue;
};
DioramaReadings readDioramaLines(const std::vector<std::string>& lines);

} // namespace qlmr
