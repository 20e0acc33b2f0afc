#include "scene_comparison.h"

#include "depth_error.h"
#include "common/format_text.h"
#include "scene/tone_map.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <limits>

namespace qlmr {

double percentile(const std::vector<double>& sorted, double p)
{
    // An empty list has no element to give; p outside [0, 1] (or NaN) is
    // taken at the nearest end, so that the index stays within the list.
    if (sorted.empty())
        return std::numeric_limits<double>::quiet_NaN();
    const double fraction = p > 0.0 ? std::min(p, 1.0) : 0.0;
    const std::size_t index =
        std::min(static_cast<std::size_t>(std::floor(static_cast<double>(sorted.size()) * fraction)),
                 sorted.size() - 1);
    return sorted[index];
}

SceneComparison compareSceneFrame(const GpuFrame& gpu, const GBuffer& cpu, const std::vector<std::uint8_t>& solidMask)
{
    SceneComparison r;
    // Every pixel of the reference is compared. A GPU frame that does not
    // hold this image's planes (a lost read-back, a frame of another size)
    // has no value for any of them: each counts as a GPU miss with the
    // farthest colour, so the verdict fails instead of the comparison
    // skipping pixels or reading past the planes.
    const std::uint32_t width = cpu.width;
    const std::uint32_t height = cpu.height;
    r.pixels = static_cast<std::size_t>(width) * height;
    const bool gpuPresent = gpu.width == width && gpu.height == height && gpu.depth.size() >= r.pixels &&
                            gpu.color.size() >= r.pixels * 4 && gpu.normal.size() >= r.pixels * 4;
    r.gpuImage.assign(r.pixels * 4, 255);
    for (std::uint32_t y = 0; y < height; ++y) {
        for (std::uint32_t x = 0; x < width; ++x) {
            const std::size_t i = static_cast<std::size_t>(y) * width + x;
            const float dg = gpuPresent ? gpu.depth[i] : std::numeric_limits<float>::infinity();
            const float dc = cpu.at(GBuffer::Depth, x, y);
            const bool gpuHit = dg < 1e29f;
            const bool cpuHit = std::isfinite(dc);
            r.gpuIters += gpuPresent ? gpu.color[i * 4 + 3] : 0.0f;
            r.cpuIters += cpu.at(GBuffer::Cost, x, y);
            if (gpuHit != cpuHit) {
                ++r.coverageMismatch;
            } else if (gpuHit) {
                ++r.hits;
                const float* n = &gpu.normal[i * 4];
                const double len = std::sqrt(std::max(static_cast<double>(n[0]) * n[0] +
                                                          static_cast<double>(n[1]) * n[1] +
                                                          static_cast<double>(n[2]) * n[2],
                                                      1e-30));
                const double g[3] = {n[0] / len, n[1] / len, n[2] / len};
                const double c[3] = {cpu.at(1, x, y), cpu.at(2, x, y), cpu.at(3, x, y)};
                const double cross[3] = {g[1] * c[2] - g[2] * c[1], g[2] * c[0] - g[0] * c[2],
                                         g[0] * c[1] - g[1] * c[0]};
                const double angle =
                    std::atan2(std::sqrt(cross[0] * cross[0] + cross[1] * cross[1] + cross[2] * cross[2]),
                               g[0] * c[0] + g[1] * c[1] + g[2] * c[2]) *
                    57.29578;
                r.angleSum += angle;
                // A NaN normal (hence angle) is as wrong as any normal can be.
                if (!(angle <= 5.0))
                    ++r.normalOver5;
                r.depthRelSum += relativeDepthError(dg, dc);
            }
            // A mask shorter than the image marks none of the pixels past it.
            const bool solid = i < solidMask.size() && solidMask[i] != 0;
            bool differs = false;
            bool off = false;
            double squared = 0.0;
            for (unsigned ch = 0; ch < 3; ++ch) {
                const std::uint8_t c = toneMap8(cpu.at(GBuffer::ColorR + ch, x, y));
                const std::uint8_t g = gpuPresent ? toneMap8(gpu.color[i * 4 + ch]) : (c < 128 ? 255 : 0);
                r.gpuImage[i * 4 + ch] = g;
                const int diff = std::abs(static_cast<int>(g) - static_cast<int>(c));
                squared += static_cast<double>(diff) * diff;
                differs |= diff != 0;
                off |= diff > 24;
                if (solid && diff != 0)
                    ++r.solidChannelsDiffering;
            }
            r.squaredSum += squared;
            r.differing += differs ? 1 : 0;
            r.off += off ? 1 : 0;
            if (solid) {
                ++r.solidPixels;
                r.solidSquaredSum += squared;
            }
        }
    }
    return r;
}

std::string sceneViewLine(const std::string& view, double gpuMs, double cpuMs, const SceneComparison& c)
{
    const double pixels = static_cast<double>(std::max<std::size_t>(c.pixels, 1));
    const double hits = static_cast<double>(std::max<std::size_t>(c.hits, 1));
    const std::string psnr = psnrText(c.squaredSum, static_cast<double>(c.pixels) * 3.0);
    const std::string line =
        formatText("  [%-6s] GPU %7.2f ms (CPU %6.1f ms, x%.0f) | PSNR %s, %zu px differ | coverage mismatch %.3f%% | "
                   "depth rel %.1e | normal %.2f deg (>5: %.2f%%) | color off %.2f%% | iters GPU %.1f CPU %.1f\n",
                   view.c_str(), gpuMs, cpuMs, cpuMs / gpuMs, psnr.c_str(), c.differing,
                   static_cast<double>(c.coverageMismatch) * 100.0 / pixels, c.depthRelSum / hits, c.angleSum / hits,
                   static_cast<double>(c.normalOver5) * 100.0 / hits, static_cast<double>(c.off) * 100.0 / pixels,
                   c.gpuIters / pixels, c.cpuIters / pixels);
    return line;
}

std::string solidAffectedLine(const std::string& view, const SceneComparison& c)
{
    if (c.solidPixels == 0)
        return "";
    if (c.solidSquaredSum == 0.0)
        return formatText("  [%-6s] solid-affected %zu px: exact\n", view.c_str(), c.solidPixels);
    const double mse = c.solidSquaredSum / (static_cast<double>(c.solidPixels) * 3.0);
    return formatText("  [%-6s] solid-affected %zu px: PSNR %.2f dB, %zu channel values differ\n", view.c_str(),
                      c.solidPixels, 10.0 * std::log10(65025.0 / mse), c.solidChannelsDiffering);
}

std::string frameTimesLine(const std::string& view, std::vector<double> times)
{
    if (times.size() < 3)
        return "";
    std::sort(times.begin(), times.end());
    const std::string line =
        formatText("  [%-6s] frames n=%zu: p50 %.2f, p95 %.2f, p99 %.2f, min %.2f, max %.2f ms\n",
                   view.c_str(), times.size(), percentile(times, 0.5), percentile(times, 0.95),
                   percentile(times, 0.99), times.front(), times.back());
    return line;
}

LevelsMeasures sceneMeasures(const SceneComparison& c)
{
    LevelsMeasures m;
    m.pixels = c.pixels;
    m.hits = c.hits;
    m.coverageMismatch = c.coverageMismatch;
    m.normalOver5 = c.normalOver5;
    m.materialMismatch = 0;
    m.depthRel = c.depthRelSum / static_cast<double>(std::max<std::size_t>(c.hits, 1));
    m.imageDb = psnrDb(c.squaredSum, static_cast<double>(c.pixels) * 3.0);
    m.solidDb = c.solidPixels == 0 ? std::numeric_limits<double>::quiet_NaN()
                                   : psnrDb(c.solidSquaredSum, static_cast<double>(c.solidPixels) * 3.0);
    return m;
}

LevelsLimits prismsLimits()
{
    return {"prisms", 0.0001, 0.001, 0.001, 0, 45.0, std::numeric_limits<double>::quiet_NaN()};
}

LevelsLimits oneFrameLimits()
{
    return {"one frame", 0.0001, 0.00001, 0.001, 0, 45.0, 45.0};
}

LevelsLimits sceneLimits(bool diorama, bool traceOnly, bool solidLeftOut)
{
    LevelsLimits limits = diorama ? oneFrameLimits() : prismsLimits();
    if (traceOnly)
        limits.label += solidLeftOut ? ", trace only vs unlit CPU colour without the solid" : ", trace only vs unlit CPU colour";
    return limits;
}

} // namespace qlmr
