#include "sdna_comparison.h"

#include "depth_error.h"
#include "common/format_text.h"
#include "peak_memory.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <limits>

namespace qlmr {

std::uint8_t sdnaDisplayByte(float c)
{
    // An infinite channel takes the curve's limit 1 (inf / inf would be
    // NaN) and a NaN channel shows as 0, as on the processor side, so both
    // images of such a program agree and the byte conversion stays defined.
    float x = std::isinf(c) ? 1.0f : c / (c + 1.0f);
    x = x > 0.0f ? std::min(x, 1.0f) : 0.0f;
    const float s = x <= 0.0031308f ? 12.92f * x : 1.055f * std::pow(x, 1.0f / 2.4f) - 0.055f;
    return static_cast<std::uint8_t>(std::lround(255.0f * s));
}

SdnaComparison compareSdnaFrame(const GpuFrame& gpu, const SdnaCpuResult& cpu)
{
    SdnaComparison r;
    // Every pixel the reference holds is compared. A GPU frame that does
    // not hold them all (a failed frame, a frame of another size) has no
    // value for any of them: each counts as a GPU miss with the farthest
    // colour, so the verdict fails instead of the comparison reading past
    // the frame's planes.
    const std::size_t pixels = std::min({cpu.depth.size(), cpu.normal.size() / 4, cpu.colour.size() / 4});
    const bool gpuPresent = gpu.depth.size() >= pixels && gpu.status.size() >= pixels &&
                            gpu.normal.size() / 4 >= pixels && gpu.color.size() / 4 >= pixels;
    r.pixels = pixels;
    r.gpuImage.assign(pixels * 4, 255);
    for (std::size_t i = 0; i < pixels; ++i) {
        const float dg = gpuPresent ? gpu.depth[i] : std::numeric_limits<float>::infinity();
        const float dc = cpu.depth[i];
        const bool gpuHit = dg < 1e29f;
        const bool cpuHit = dc < 1e29f;
        if (gpuPresent && gpu.status[i] == kSdnaUncertain)
            ++r.uncertainGpu;
        if (gpuHit != cpuHit) {
            ++r.coverageMismatch;
        } else if (gpuHit) {
            ++r.hits;
            const float* ng = &gpu.normal[i * 4];
            const float* nc = &cpu.normal[i * 4];
            const double len = std::sqrt(std::max(
                static_cast<double>(ng[0]) * ng[0] + static_cast<double>(ng[1]) * ng[1] +
                    static_cast<double>(ng[2]) * ng[2],
                1e-30));
            const double g[3] = {ng[0] / len, ng[1] / len, ng[2] / len};
            const double c[3] = {nc[0], nc[1], nc[2]};
            const double cross[3] = {g[1] * c[2] - g[2] * c[1], g[2] * c[0] - g[0] * c[2], g[0] * c[1] - g[1] * c[0]};
            const double crossLen = std::sqrt(cross[0] * cross[0] + cross[1] * cross[1] + cross[2] * cross[2]);
            const double angle = std::atan2(crossLen, g[0] * c[0] + g[1] * c[1] + g[2] * c[2]) * 57.29578;
            r.angleSum += angle;
            // A NaN normal (hence angle) is as wrong as any normal can be.
            if (!(angle <= 5.0))
                ++r.normalOver5;
            const double depthError = std::fabs(static_cast<double>(dg) - dc);
            r.depthRelSum += relativeDepthError(dg, dc);
            r.depthErrorMax = std::max(r.depthErrorMax, depthError);
            const double dn[3] = {static_cast<double>(ng[0]) - nc[0], static_cast<double>(ng[1]) - nc[1],
                                  static_cast<double>(ng[2]) - nc[2]};
            r.normalErrorMax = std::max(r.normalErrorMax, std::sqrt(dn[0] * dn[0] + dn[1] * dn[1] + dn[2] * dn[2]));
            if (ng[3] != nc[3])
                ++r.materialMismatch;
        }
        r.gpuStepsSum += gpuPresent ? gpu.color[i * 4 + 3] : 0.0f;

        bool differs = false;
        bool off = false;
        for (int ch = 0; ch < 3; ++ch) {
            const std::uint8_t c = cpu.colour[i * 4 + ch];
            const std::uint8_t g = gpuPresent ? sdnaDisplayByte(gpu.color[i * 4 + ch]) : (c < 128 ? 255 : 0);
            r.gpuImage[i * 4 + ch] = g;
            const int diff = std::abs(static_cast<int>(g) - static_cast<int>(c));
            r.squaredSum += static_cast<double>(diff) * diff;
            r.maxChannelDiff = std::max(r.maxChannelDiff, diff);
            differs |= diff != 0;
            off |= diff >= 25;
        }
        r.differing += differs ? 1 : 0;
        r.off += off ? 1 : 0;
    }
    return r;
}

std::string sdnaViewLine(const std::string& view, double gpuMs, const SdnaCpuResult& cpu, const SdnaComparison& c)
{
    const double pixels = static_cast<double>(std::max<std::size_t>(c.pixels, 1));
    const double hits = static_cast<double>(std::max<std::size_t>(c.hits, 1));
    const std::string psnr = psnrText(c.squaredSum, static_cast<double>(c.pixels) * 3.0);
    const std::string line =
        formatText("  [%-5s] GPU %7.2f ms (CPU %6.1f ms, x%.0f) | PSNR %s, %zu px differ (max %d) | "
                   "coverage mismatch %.4f%% | depth rel %.1e | normal %.3f deg (>5: %.3f%%) | material mismatch %zu | "
                   "color off %.3f%% | steps GPU %.2f CPU %.2f\n",
                   view.c_str(), gpuMs, cpu.ms, cpu.ms / gpuMs, psnr.c_str(), c.differing, c.maxChannelDiff,
                   static_cast<double>(c.coverageMismatch) * 100.0 / pixels, c.depthRelSum / hits, c.angleSum / hits,
                   static_cast<double>(c.normalOver5) * 100.0 / hits, c.materialMismatch,
                   static_cast<double>(c.off) * 100.0 / pixels, c.gpuStepsSum / pixels,
                   static_cast<double>(cpu.totalSteps) / pixels);
    return line;
}

std::string sdnaBrickWalkLine(bool inDouble)
{
    return inDouble ? "  GPU brick walk: double precision\n"
                    : "  GPU brick walk: single precision (the device has no shaderFloat64)\n";
}

LevelsMeasures sdnaMeasures(const SdnaComparison& c)
{
    LevelsMeasures m;
    m.pixels = c.pixels;
    m.hits = c.hits;
    m.coverageMismatch = c.coverageMismatch;
    m.normalOver5 = c.normalOver5;
    m.materialMismatch = c.materialMismatch;
    m.depthRel = c.depthRelSum / static_cast<double>(std::max<std::size_t>(c.hits, 1));
    m.imageDb = psnrDb(c.squaredSum, static_cast<double>(c.pixels) * 3.0);
    m.solidDb = std::numeric_limits<double>::quiet_NaN();
    return m;
}

LevelsLimits sdnaLimits()
{
    return {"sdna", 0.0001, 0.00001, 0.0001, 0, 90.0, std::numeric_limits<double>::quiet_NaN()};
}

LevelsVerdict sdnaVerdict(const std::string& view, const SdnaComparison& c)
{
    return levelsVerdict(view, sdnaMeasures(c), sdnaLimits());
}

std::string sdnaGpuJsonLine(const SdnaJsonSample& s, const GpuFrame& frame, const SdnaCpuResult& cpu,
                            const SdnaComparison& c)
{
    const double pixels = static_cast<double>(std::max<std::size_t>(c.pixels, 1));
    const std::string line =
        formatText("JSON {\"kind\":\"sdna_gpu\",\"device\":%u,\"view\":\"%s\",\"sample\":%d,\"warmup\":%s,"
                   "\"mode\":\"native\",\"width\":%u,\"height\":%u,\"frame_ms\":%.6f,\"host_ms\":%.6f,"
                   "\"pipeline_ms\":%.6f,\"gpu_buffer_peak_bytes\":%llu,\"device_local_buffer_bytes\":%llu,"
                   "\"rss_peak_bytes\":%llu,\"steps_per_pixel\":%.6f,\"uncertain_cpu\":%llu,\"uncertain_gpu\":%zu,"
                   "\"visibility_mismatch\":%zu,\"material_mismatch\":%zu,\"depth_error_max\":%.9g,"
                   "\"normal_error_max\":%.9g,\"display_mse\":%.9g}\n",
                   s.device, s.view.c_str(), s.sample, s.sample == 0 ? "true" : "false", s.width, s.height,
                   frame.gpuMs, s.hostMs, frame.hostMs, static_cast<unsigned long long>(frame.bufferBytes),
                   static_cast<unsigned long long>(frame.deviceLocalBytes),
                   static_cast<unsigned long long>(s.rssPeakBytes), c.gpuStepsSum / pixels,
                   static_cast<unsigned long long>(cpu.uncertain), c.uncertainGpu, c.coverageMismatch,
                   c.materialMismatch, c.depthErrorMax, c.normalErrorMax, c.squaredSum / (pixels * 3.0));
    return line;
}

void printSdnaGpuJson(std::FILE* out, std::uint32_t device, const GpuFrame& frame, const SdnaCpuResult& cpu,
                      const std::string& view, int sample, std::uint32_t width, std::uint32_t height, double hostMs)
{
    const SdnaJsonSample json{device, view, sample, width, height, hostMs, peakResidentBytes()};
    std::fputs(sdnaGpuJsonLine(json, frame, cpu, compareSdnaFrame(frame, cpu)).c_str(), out);
}

void printSdnaGpuJson(std::uint32_t device, const GpuFrame& frame, const SdnaCpuResult& cpu, const std::string& view,
                      int sample, std::uint32_t width, std::uint32_t height, double hostMs)
{
    printSdnaGpuJson(stdout, device, frame, cpu, view, sample, width, height, hostMs);
}

} // namespace qlmr
