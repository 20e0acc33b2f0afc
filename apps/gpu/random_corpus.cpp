#include "random_corpus.h"

#include "device_choice.h"
#include "gpu/sdna_gpu_run.h"
#include "gpu/vulkan_context.h"
#include "scene/camera.h"
#include "scene/file_replace.h"
#include "sdna/bounds_analysis.h"
#include "sdna/random_program.h"
#include "sdna/tracer.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <span>
#include <sstream>
#include <system_error>
#include <unistd.h>

namespace qlmr {

namespace {

constexpr std::uint32_t kCorpusSeed = 0x53444E41u;  // added to every program's index by the generator
constexpr float kTraceLimit = 14.0f;

std::array<float, 3> pixelDirection(const ProgramCamera& cam, std::uint32_t x, std::uint32_t y, std::uint32_t width,
                                    std::uint32_t height)
{
    const float v = (1.0f - 2.0f * (static_cast<float>(y) + 0.5f) / static_cast<float>(height)) * cam.tanHalfFov;
    const float u =
        (2.0f * (static_cast<float>(x) + 0.5f) / static_cast<float>(width) - 1.0f) * cam.tanHalfFov * cam.aspect;
    const Vec3 ray = cam.forward + cam.right * u + cam.up * v;
    const Vec3 d = ray / std::sqrt(std::max(dot(ray, ray), 1e-30f));
    return {d.x, d.y, d.z};
}

// Whether the result file can be written at path, checked before the run
// so that a corpus is not rendered for a result that has nowhere to go: not
// where a folder stands, nor over a file or into a folder that may not be
// written.
bool resultFileWritable(const std::string& path)
{
    namespace fs = std::filesystem;
    std::error_code error;
    const fs::file_status status = fs::status(path, error);
    if (fs::is_directory(status))
        return false;
    if (fs::exists(status))
        return ::access(path.c_str(), W_OK) == 0;
    const fs::path folder = fs::path(path).parent_path();
    return ::access(folder.empty() ? "." : folder.c_str(), W_OK) == 0;
}

} // namespace

bool randomDevicePassed(const RandomDeviceTally& t, std::uint64_t count)
{
    return t.renders == count && t.visibility == 0 && t.depth == 0 && t.material == 0 && t.normal == 0 &&
           t.status == 0 && t.hits > 0;
}

void compareRandomPixel(std::uint32_t seed, const GpuFrame& gpu, std::size_t i, std::uint32_t width,
                        const SdnaHit& hit, RandomDeviceTally& t, RandomProgramComparison& r)
{
    if (hit.status == kSdnaUncertain)
        ++t.uncertainCpu;
    // A frame that does not hold its whole image in every plane (a failed
    // frame, a lost read-back) or whose rows have another width has neither
    // a status nor a hit in any pixel.
    const std::size_t framePixels = static_cast<std::size_t>(gpu.width) * gpu.height;
    const bool present = gpu.width == width && i < framePixels && gpu.status.size() >= framePixels &&
                         gpu.depth.size() >= framePixels && gpu.normal.size() / 4 >= framePixels;
    if (!present || gpu.status[i] != hit.status)
        ++t.status;
    const bool gpuHit = present && gpu.depth[i] < 1e29f;
    const bool cpuHit = hit.status != kSdnaMiss;
    if (gpuHit != cpuHit) {
        ++t.visibility;
        ++r.differing;
        return;
    }
    if (!gpuHit)
        return;
    ++t.hits;
    const float* n = &gpu.normal[i * 4];
    const double depthError = std::fabs(static_cast<double>(gpu.depth[i]) - hit.t);
    t.maxDepthError = std::max(t.maxDepthError, depthError);
    const double dn[3] = {static_cast<double>(n[0]) - hit.normal[0], static_cast<double>(n[1]) - hit.normal[1],
                          static_cast<double>(n[2]) - hit.normal[2]};
    const double normalError = std::sqrt(dn[0] * dn[0] + dn[1] * dn[1] + dn[2] * dn[2]);
    t.maxNormalError = std::max(t.maxNormalError, normalError);
    // Written so that a NaN error counts as a mismatch.
    const bool depthBad = !(depthError <= 0.0002);
    const bool normalBad = !(normalError <= 0.001);
    const bool materialBad = n[3] != static_cast<float>(hit.material);
    t.depth += depthBad ? 1 : 0;
    t.normal += normalBad ? 1 : 0;
    t.material += materialBad ? 1 : 0;
    if (!depthBad && !normalBad && !materialBad)
        return;
    if (r.differing < 2) {
        char line[256];
        std::snprintf(line, sizeof line,
                      "    seed %u pixel %u,%u t %.8g / %.8g n %.5g %.5g %.5g / %.5g %.5g %.5g residual %.4g\n", seed,
                      static_cast<std::uint32_t>(i % width), static_cast<std::uint32_t>(i / width), hit.t,
                      gpu.depth[i], hit.normal[0], hit.normal[1], hit.normal[2], n[0], n[1], n[2], hit.distance);
        r.details += line;
    }
    ++r.differing;
}

std::string randomDeviceJson(std::uint32_t index, const RandomDeviceTally& t, bool passed)
{
    std::ostringstream json;
    json << "{\"index\":" << index << ",\"renders\":" << t.renders << ",\"hits\":" << t.hits
         << ",\"uncertain_cpu\":" << t.uncertainCpu << ",\"visibility\":" << t.visibility << ",\"depth\":" << t.depth
         << ",\"material\":" << t.material << ",\"normal\":" << t.normal << ",\"status_mismatch\":" << t.status
         << ",\"max_depth_error\":" << t.maxDepthError << ",\"max_normal_error\":" << t.maxNormalError
         << ",\"gpu_ms\":" << t.gpuMs << ",\"passed\":" << (passed ? "true" : "false") << "}";
    return json.str();
}

int runRandomSdna(const RandomCorpusSettings& s, std::FILE* out, std::FILE* err)
{
    if (s.count <= 0 || s.width == 0 || s.height == 0 || s.width > 4096 || s.height > 4096) {
        std::fputs("invalid random corpus dimensions/count\n", err);
        return 1;
    }
    const std::uint32_t count = static_cast<std::uint32_t>(s.count);

    VulkanContext list;
    std::string error;
    if (!list.createInstance(&error)) {
        std::fprintf(err, "%s\n", error.c_str());
        return 1;
    }
    std::filesystem::create_directories(s.outDir);
    const std::string path = s.outDir + "/random-sdna.json";
    if (!resultFileWritable(path)) {
        std::fprintf(err, "cannot write %s\n", path.c_str());
        return 1;
    }
    // The result is kept in memory and written whole at the end, so that a
    // run that fails to write it, or stops part way, leaves the result of an
    // earlier run intact rather than an empty or half-written file.
    std::ostringstream file;
    file << "{\"seed\":" << kCorpusSeed << ",\"programs\":" << count << ",\"width\":" << s.width
         << ",\"height\":" << s.height << ",\"devices\":[";

    const ProgramCamera camera = programCamera(Vec3{0.0f, 0.0f, 7.0f}, Vec3{0.0f, 0.0f, 0.0f}, s.width, s.height);
    SdnaGpuView view = sdnaGpuView(camera);
    // No footprint growth of the hit threshold, so the kernel's primary trace
    // uses the reference tracer's options; the fourth value is the trace limit.
    view.params = {camera.tanHalfFov, camera.aspect, 0.0f, kTraceLimit};

    SdnaTraceOptions options;
    options.maxSteps = 256;
    options.eps = 0.0001f;
    options.epsPerDistance = 0.0f;
    options.normals = true;
    const std::array<float, 3> origin{camera.position.x, camera.position.y, camera.position.z};

    const std::vector<VulkanDeviceInfo> listed = list.listDevices();
    const std::vector<VulkanDeviceInfo> chosen = chosenDevices(listed, s.gpu);
    if (chosen.empty())
        std::fprintf(err, "%s\n", noDeviceMessage(s.gpu, listed.size()).c_str());
    std::uint32_t tried = 0;
    std::uint32_t failed = 0;
    bool firstObject = true;
    for (const VulkanDeviceInfo& device : chosen) {
        ++tried;
        if (!firstObject)
            file << ",";
        firstObject = false;

        auto context = std::make_unique<VulkanContext>();
        if (!context->createInstance(&error) || !context->createDevice(device.index, &error)) {
            std::fprintf(err, "%s: %s\n", device.name.c_str(), error.c_str());
            file << "{\"index\":" << device.index << ",\"setup_failed\":true}";
            ++failed;
            continue;
        }

        RandomDeviceTally t;
        for (std::uint32_t seed = 0; seed < count; ++seed) {
            const RandomProgram random = randomProgram(seed);
            const ProgramBounds bounds = analyzeProgramBounds(random.program, 1);
            const GpuFrame frame = renderSdnaGpu(*context, random.program, random.pose, view, s.width, s.height,
                                                 nullptr, 0, s.noCull ? nullptr : &bounds);
            if (!frame.ok) {
                std::fprintf(err, "%s seed %u: %s\n", device.name.c_str(), seed, frame.error.c_str());
                break;
            }
            ++t.renders;
            t.gpuMs += frame.gpuMs;

            RandomProgramComparison compared;
            for (std::uint32_t y = 0; y < s.height; ++y)
                for (std::uint32_t x = 0; x < s.width; ++x)
                    compareRandomPixel(seed, frame, static_cast<std::size_t>(y) * s.width + x, s.width,
                                       traceProgram(random.program, origin,
                                                    pixelDirection(camera, x, y, s.width, s.height), 0.0f,
                                                    kTraceLimit, options, random.pose.data(), random.pose.size()),
                                       t, compared);
            std::fputs(compared.details.c_str(), out);
            if (compared.differing > 0)
                std::fprintf(out, "  %s random seed %u: %zu differing hits\n", device.name.c_str(), seed,
                             compared.differing);
        }

        const bool passed = randomDevicePassed(t, count);
        if (!passed)
            ++failed;
        std::fprintf(out,
                     "[%s] random %zu/%u, hits %zu, uncertain %zu; visibility %zu depth %zu material %zu normal %zu "
                     "status %zu; max depth %.3g normal %.3g, GPU %.1f ms: %s\n",
                     device.name.c_str(), static_cast<std::size_t>(t.renders), count,
                     static_cast<std::size_t>(t.hits), static_cast<std::size_t>(t.uncertainCpu),
                     static_cast<std::size_t>(t.visibility), static_cast<std::size_t>(t.depth),
                     static_cast<std::size_t>(t.material), static_cast<std::size_t>(t.normal),
                     static_cast<std::size_t>(t.status), t.maxDepthError, t.maxNormalError, t.gpuMs,
                     passed ? "PASS" : "FAIL");
        file << randomDeviceJson(device.index, t, passed);
        context.reset();
    }
    const bool passed = tried > 0 && failed == 0;
    file << "],\"passed\":" << (passed ? "true" : "false") << "}\n";
    const std::string text = file.str();
    if (!replaceFile(path, std::span(reinterpret_cast<const std::uint8_t*>(text.data()), text.size()))) {
        std::fprintf(err, "cannot write %s\n", path.c_str());
        return 1;
    }
    return passed ? 0 : 1;
}

int runRandomSdna(std::int32_t count, std::uint32_t width, std::uint32_t height, std::int32_t gpu,
                  const std::string& outDir)
{
    return runRandomSdna({.count = count, .width = width, .height = height, .gpu = gpu, .outDir = outDir}, stdout,
                         stderr);
}

} // namespace qlmr
