#include "sculpt_check.h"

#include "device_choice.h"
#include "gpu/one_shot_compute.h"
#include "gpu/sdna_gpu_run.h"
#include "gpu/vulkan_context.h"
#include "common/out_of_memory.h"
#include "sculpt_probe_comp.h"
#include "sdna/builder.h"
#include "sdna/evaluator.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <memory>
#include <random>

namespace qlmr {

namespace {

struct SculptProbeUniforms {
    std::uint32_t dims[4] = {0, 0, 0, 0};
    float params[4] = {0.0f, 0.0f, 0.0f, 0.0f};
};
static_assert(sizeof(SculptProbeUniforms) == 32);

float surfaceHeight(float x, float z)
{
    return 0.2f * std::sin(z) + 0.3f * x;
}

} // namespace

float sculptSmoothMin(float a, float b, float k)
{
    const float m = std::min(a, b);
    if (k <= 0.0f)
        return m;
    const float h = std::max(k - std::fabs(a - b), 0.0f) / k;
    return m - h * h * k / 4.0f;
}

bool buildSculptArch(SdnaProgram& program, std::string& error)
{
    SdnaBuilder builder;
    builder.capsule({-2.0f, 0.0f, 0.0f}, {-2.0f, 4.0f, 0.0f}, 0.5f);
    builder.capsule({2.0f, 0.0f, 0.0f}, {2.0f, 4.0f, 0.0f}, 0.5f);
    builder.combine(SdnaOp::Union);
    builder.capsule({-2.0f, 4.0f, 0.0f}, {2.0f, 4.0f, 0.0f}, 0.5f);
    builder.combine(SdnaOp::Union);
    return builder.finish(program, error);
}

std::vector<std::array<float, 4>> sculptProbePoints(std::uint32_t count)
{
    std::mt19937 generator(20261028u);
    auto draw = [&generator] { return static_cast<float>(generator() >> 8) * (1.0f / 16777216.0f); };
    std::vector<std::array<float, 4>> points(count);
    for (auto& p : points) {
        const float x = 8.0f * draw() - 4.0f;
        const float z = 8.0f * draw() - 4.0f;
        const float h = surfaceHeight(x, z);
        const float y = 4.0f * draw() - 2.0f + h;
        p = {x, y, z, h};
    }
    return points;
}

float sculptReference(const SdnaProgram& arch, const std::array<float, 4>& point, SculptOperation operation, float k)
{
    const float s = evaluateProgram(arch, {point[0], point[1], point[2]}).distance;
    const float p = (point[1] - point[3]) / std::sqrt(1.25f);
    if (operation == SculptOperation::Add)
        return sculptSmoothMin(p, s, k);
    return -sculptSmoothMin(-p, s, k);
}

SculptTally compareSculpt(const std::vector<float>& gpu, const std::vector<float>& reference)
{
    SculptTally tally;
    for (std::size_t i = 0; i < reference.size(); ++i) {
        // A point the kernel gave no distance for fails like a non-finite one.
        const double g = i < gpu.size() ? gpu[i] : std::numeric_limits<double>::quiet_NaN();
        const double r = reference[i];
        const double scale = std::max(std::fabs(r), 1.0);
        const double abs = std::fabs(g - r);
        tally.worstAbs = std::max(tally.worstAbs, abs);
        tally.worstRel = std::max(tally.worstRel, abs / scale);
        if (!std::isfinite(g) || abs > scale * 0.00001)
            tally.passed = false;
    }
    return tally;
}

ComputeResult runSculptKernel(VulkanContext& context, const SdnaProgram& arch,
                              const std::vector<std::array<float, 4>>& points, SculptOperation operation, float k,
                              std::vector<float>& distances)
{
    // The program stream, one zeroed pose entry and the program uniforms, laid
    // out as for the shape-program kernels.
    SdnaGpuBuffers packed = packSdnaGpuBuffers(arch, {}, SdnaGpuView{}, 1, 1, nullptr, 0, nullptr);
    const SpirvCode shader{qlmr::app_shaders::sculpt_probe_comp, std::size(qlmr::app_shaders::sculpt_probe_comp)};
    const auto count = static_cast<std::uint32_t>(points.size());
    distances = making("the sculpt distances", [&] { return std::vector<float>(count); });
    SculptProbeUniforms probe;
    probe.dims[0] = count;
    probe.dims[1] = static_cast<std::uint32_t>(operation);
    probe.params[0] = k;
    // The kernel reads the points but writes none of them.
    const ComputeBuffer buffers[] = {
        {packed.code.data(), packed.code.size() * sizeof(packed.code[0]), false, false},
        {packed.pose.data(), 32, false, false},
        {&packed.program, sizeof(packed.program), false, true},
        {const_cast<std::array<float, 4>*>(points.data()), points.size() * sizeof(points[0]), false, false},
        {distances.data(), distances.size() * sizeof(float), true, false},
        {&probe, sizeof(probe), false, true},
    };
    const DispatchGrid groups = linearDispatch(context, count);
    return runCompute(context, shader, buffers, groups.x, groups.y);
}

int runSculptCheck(std::int32_t count, std::int32_t gpu, std::FILE* out)
{
    SdnaProgram arch;
    std::string error;
    if (!buildSculptArch(arch, error)) {
        std::fprintf(out, "sculpt arch program: %s\n", error.c_str());
        return 1;
    }
    const std::uint32_t n = static_cast<std::uint32_t>(std::max(count, 1));
    std::vector<std::array<float, 4>> points = making("the sculpt probe points", [&] { return sculptProbePoints(n); });

    VulkanContext list;
    if (!list.createInstance(&error)) {
        std::fprintf(out, "Vulkan unavailable: %s\n", error.c_str());
        return 1;
    }

    const std::vector<VulkanDeviceInfo> listed = list.listDevices();
    const std::vector<VulkanDeviceInfo> chosen = chosenDevices(listed, gpu);
    if (chosen.empty())
        std::fprintf(out, "%s\n", noDeviceMessage(gpu, listed.size()).c_str());
    int ran = 0;
    int failures = 0;
    for (const VulkanDeviceInfo& device : chosen) {
        auto context = std::make_unique<VulkanContext>();
        if (!context->createInstance(&error) || !context->createDevice(device.index, &error)) {
            std::fprintf(out, "[%s] setup failed: %s\n", device.name.c_str(), error.c_str());
            ++failures;
            continue;
        }
        ++ran;
        std::fprintf(out, "== %s\n", device.name.c_str());
        for (const SculptOperation operation : {SculptOperation::Add, SculptOperation::Carve}) {
            const char* name = operation == SculptOperation::Add ? "add" : "carve";
            for (const float k : {0.0f, 0.5f}) {
                std::vector<float> distances;
                const ComputeResult run = runSculptKernel(*context, arch, points, operation, k, distances);
                if (!run.ok) {
                    std::fprintf(out, "  sculpt %-5s k=%.1f: %s\n", name, k, run.error.c_str());
                    ++failures;
                    continue;
                }
                std::vector<float> reference = making("the sculpt distances", [&] { return std::vector<float>(n); });
                for (std::uint32_t i = 0; i < n; ++i)
                    reference[i] = sculptReference(arch, points[i], operation, k);
                const SculptTally tally = compareSculpt(distances, reference);
                std::fprintf(out, "  sculpt %-5s k=%.1f: %u points, worst abs %.3e, worst rel %.3e: %s\n", name, k, n,
                             tally.worstAbs, tally.worstRel, tally.passed ? "PASS" : "FAIL");
                if (!tally.passed)
                    ++failures;
            }
        }
        context.reset();
    }
    return ran > 0 && failures == 0 ? 0 : 1;
}

} // namespace qlmr
