#include "vulkan_test_support.h"

#include "gpu/sdna_gpu_run.h"
#include "scene/camera.h"
#include "scene/png_writer.h"
#include "sdna/bounds_analysis.h"
#include "sdna/brick_tracer.h"
#include "sdna/bricks.h"
#include "sdna/cpu_render_worker.h"
#include "sdna/critter.h"
#include "sdna/random_program.h"
#include "support/test_support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

namespace qlmr {
namespace {

using test::FakeVulkanTest;
using test::OnDeviceTest;

// ---- fixtures ---------------------------------------------------------------

SdnaInstruction sphere(float x, float y, float z, float r, std::uint16_t material)
{
    SdnaInstruction ins;
    ins.op = SdnaOp::Sphere;
    ins.material = material;
    ins.p = {x, y, z, r, 0.0f, 0.0f, 0.0f, 0.0f};
    return ins;
}

SdnaProgram unitSphere()
{
    SdnaProgram program;
    program.instructions = {sphere(0.0f, 0.0f, 0.0f, 1.0f, 0)};
    program.materials = {SdnaMaterial{0.9f, 0.3f, 0.2f, 0.4f}};
    program.boundsMin = {-1.05f, -1.05f, -1.05f};
    program.boundsMax = {1.05f, 1.05f, 1.05f};
    return program;
}

// The processor reference: the render worker's planes for one view.
struct CpuImage {
    std::vector<std::uint8_t> colour;
    std::vector<float> depth;
    std::vector<float> normal;
    std::vector<float> steps;
};

CpuImage renderCpu(const SdnaProgram& program, const std::vector<BonePose>& pose, const ProgramCamera& camera,
                   std::uint32_t width, std::uint32_t height)
{
    const std::size_t pixels = std::size_t(width) * height;
    CpuImage image;
    image.colour.resize(pixels * 4);
    image.depth.resize(pixels);
    image.normal.resize(pixels * 4);
    image.steps.resize(pixels);
    const BonePose* posePointer = pose.empty() ? nullptr : pose.data();
    const std::uint64_t poseCount = pose.size();
    SdnaRenderJob job;
    job.width = width;
    job.height = height;
    job.camera = camera;
    job.program = &program;
    job.pose = &posePointer;
    job.poseCount = &poseCount;
    job.colour = image.colour.data();
    job.depth = image.depth.data();
    job.normal = image.normal.data();
    job.steps = image.steps.data();
    cpuRenderWorker(job);
    return image;
}

std::array<float, 3> toArray(Vec3 v) { return {v.x, v.y, v.z}; }

// The primary ray of pixel (x, y), as the render worker makes it.
Vec3 primaryDirection(const ProgramCamera& cam, std::uint32_t x, std::uint32_t y, std::uint32_t width,
                      std::uint32_t height)
{
    const float v = (1.0f - 2.0f * (float(y) + 0.5f) / float(height)) * cam.tanHalfFov;
    const float u = (2.0f * (float(x) + 0.5f) / float(width) - 1.0f) * cam.tanHalfFov * cam.aspect;
    const Vec3 ray = cam.forward + cam.right * u + cam.up * v;
    return ray / std::sqrt(std::max(dot(ray, ray), 1e-30f));
}

// The display encoding of a linear channel, written out on its own.
std::uint8_t displayByte(float c)
{
    float x = c / (c + 1.0f);
    x = std::min(std::max(x, 0.0f), 1.0f);
    const float s = x <= 0.0031308f ? 12.92f * x : 1.055f * std::pow(x, 1.0f / 2.4f) - 0.055f;
    return static_cast<std::uint8_t>(std::lround(255.0f * s));
}

struct Comparison {
    std::size_t pixels = 0;
    std::size_t coverageMismatch = 0;
    std::size_t bothHit = 0;
    std::size_t materialMismatch = 0;
    std::size_t normalsAbove5 = 0;
    std::size_t statusMismatch = 0;  // GPU status against the CPU's hit/miss
    double depthRelSum = 0.0;
    double squaredSum = 0.0;
    double psnr() const
    {
        return squaredSum == 0.0 ? std::numeric_limits<double>::infinity()
                                 : 10.0 * std::log10(65025.0 * double(pixels) * 3.0 / squaredSum);
    }
};

Comparison compare(const GpuFrame& gpu, const CpuImage& cpu)
{
    Comparison c;
    c.pixels = cpu.depth.size();
    for (std::size_t i = 0; i < c.pixels; ++i) {
        const bool gpuHit = gpu.depth[i] < 1e29f;
        const bool cpuHit = cpu.depth[i] < 1e29f;
        if (gpuHit != cpuHit)
            ++c.coverageMismatch;
        if (gpuHit != (gpu.status[i] != 0))
            ++c.statusMismatch;
        if (gpuHit && cpuHit) {
            ++c.bothHit;
            c.depthRelSum += std::fabs(gpu.depth[i] - cpu.depth[i]) / cpu.depth[i];
            if (gpu.normal[i * 4 + 3] != cpu.normal[i * 4 + 3])
                ++c.materialMismatch;
            const float* g = &gpu.normal[i * 4];
            const float* n = &cpu.normal[i * 4];
            const double gl = std::sqrt(std::max(double(g[0]) * g[0] + double(g[1]) * g[1] + double(g[2]) * g[2], 1e-30));
            const double cx = g[1] * n[2] - g[2] * n[1], cy = g[2] * n[0] - g[0] * n[2], cz = g[0] * n[1] - g[1] * n[0];
            const double angle = std::atan2(std::sqrt(cx * cx + cy * cy + cz * cz) / gl,
                                            (g[0] * n[0] + g[1] * n[1] + g[2] * n[2]) / gl) * 57.29578;
            if (angle > 5.0)
                ++c.normalsAbove5;
        }
        for (int k = 0; k < 3; ++k) {
            const double d = double(displayByte(gpu.color[i * 4 + k])) - double(cpu.colour[i * 4 + k]);
            c.squaredSum += d * d;
        }
    }
    return c;
}

void writeArtifact(const std::string& name, const GpuFrame& frame)
{
    std::vector<std::uint8_t> rgba(std::size_t(frame.width) * frame.height * 4);
    for (std::size_t i = 0; i < rgba.size(); ++i)
        rgba[i] = (i % 4 == 3) ? 255 : displayByte(frame.color[i]);
    writePng(test::artifactDir("gpu") / (name + ".png"), frame.width, frame.height, rgba);
}

// ---- packing, no device needed ----------------------------------------------

TEST(SdnaGpuBuffers, PlainProgramIsUploadedAsItIs)
{
    const SdnaProgram program = buildCritter(false);
    const ProgramCamera camera = programCamera(Vec3{2.6f, 1.5f, 2.4f}, Vec3{0.0f, 0.5f, 0.0f}, 40, 30);
    const SdnaGpuBuffers buffers =
        packSdnaGpuBuffers(program, {}, sdnaGpuView(camera), 40, 30, nullptr, 0, nullptr);

    ASSERT_EQ(buffers.code.size(), program.instructions.size());
    EXPECT_EQ(std::memcmp(buffers.code.data(), program.instructions.data(),
                          program.instructions.size() * sizeof(SdnaInstruction)),
              0);
    // No pose: one zeroed entry of two vec4, and the kernel is told 0 poses.
    ASSERT_EQ(buffers.pose.size(), 2u);
    for (const auto& v : buffers.pose)
        EXPECT_TRUE(v.x == 0.0f && v.y == 0.0f && v.z == 0.0f && v.w == 0.0f);
    EXPECT_EQ(buffers.program.dims.x, program.instructions.size());
    EXPECT_EQ(buffers.program.dims.y, 0u);
    EXPECT_EQ(buffers.program.lo.x, program.boundsMin[0]);
    EXPECT_EQ(buffers.program.hi.z, program.boundsMax[2]);
    ASSERT_EQ(buffers.materials.size(), program.materials.size());
    EXPECT_EQ(buffers.materials[1].x, program.materials[1].red);
    EXPECT_EQ(buffers.materials[1].w, program.materials[1].roughness);
    EXPECT_EQ(buffers.frame.dims.x, 40);
    EXPECT_EQ(buffers.frame.dims.y, 30);
    EXPECT_EQ(buffers.frame.params.x, camera.tanHalfFov);
    EXPECT_EQ(buffers.frame.params.z, camera.pixelSpread);
    EXPECT_EQ(buffers.frame.camRight.w, 0.0f);
    EXPECT_TRUE(buffers.brickGrid.empty());
}

// A storage buffer cannot be empty: a program without materials still binds
// one zeroed material, beside the one zeroed pose of a program without bones.
TEST(SdnaGpuBuffers, ProgramWithoutMaterialsBindsOneZeroedMaterial)
{
    SdnaProgram program = unitSphere();
    program.materials.clear();
    const ProgramCamera camera = programCamera(Vec3{0.0f, 0.0f, 3.0f}, Vec3{0.0f, 0.0f, 0.0f}, 8, 8);
    const SdnaGpuBuffers buffers = packSdnaGpuBuffers(program, {}, sdnaGpuView(camera), 8, 8, nullptr, 0, nullptr);
    ASSERT_EQ(buffers.materials.size(), 1u);
    const auto& m = buffers.materials[0];
    EXPECT_TRUE(m.x == 0.0f && m.y == 0.0f && m.z == 0.0f && m.w == 0.0f);
    ASSERT_EQ(buffers.pose.size(), 2u);
    EXPECT_EQ(buffers.program.dims.y, 0u);
}

TEST(SdnaGpuBuffers, CullingTableTravelsInThePackedStream)
{
    const SdnaProgram program = buildCritter(false);
    const ProgramBounds bounds = analyzeProgramBounds(program, 3);
    ASSERT_FALSE(bounds.records.empty());
    const std::vector<BonePose> pose = critterPose(program.boneCount, 0.45f);
    const ProgramCamera camera = programCamera(Vec3{2.6f, 1.5f, 2.4f}, Vec3{0.0f, 0.5f, 0.0f}, 8, 8);
    const SdnaGpuBuffers buffers =
        packSdnaGpuBuffers(program, pose, sdnaGpuView(camera), 8, 8, nullptr, 0, &bounds);

    const std::vector<SdnaPackedEntry> packed = packProgramWithBounds(program, bounds);
    ASSERT_EQ(buffers.code.size(), program.instructions.size() + bounds.records.size());
    EXPECT_EQ(std::memcmp(buffers.code.data(), packed.data(), packed.size() * sizeof(SdnaPackedEntry)), 0);
    // The kernel executes only the instructions.
    EXPECT_EQ(buffers.program.dims.x, program.instructions.size());
    EXPECT_EQ(buffers.program.dims.y, pose.size());
    ASSERT_EQ(buffers.pose.size(), 2 * pose.size());
    for (std::size_t b = 0; b < pose.size(); ++b) {
        EXPECT_EQ(buffers.pose[2 * b].x, pose[b].rotation[0]);
        EXPECT_EQ(buffers.pose[2 * b].w, pose[b].rotation[3]);
        EXPECT_EQ(buffers.pose[2 * b + 1].y, pose[b].position[1]);
        EXPECT_EQ(buffers.pose[2 * b + 1].w, pose[b].scale);
    }
}

TEST(SdnaGpuBuffers, EmptyBricksBindOneNotBuiltEntry)
{
    Bricks bricks;  // as a build that produced no brick records leaves them
    bricks.cellSize = 0.25f;
    bricks.lipschitz = 1.5f;
    const SdnaProgram program = unitSphere();
    const ProgramCamera camera = programCamera(Vec3{0.0f, 0.0f, 3.0f}, Vec3{0.0f, 0.0f, 0.0f}, 8, 8);
    for (std::uint32_t mode : {0u, 1u, 2u}) {
        const SdnaGpuBuffers buffers =
            packSdnaGpuBuffers(program, {}, sdnaGpuView(camera), 8, 8, &bricks, mode, nullptr);
        ASSERT_EQ(buffers.brickGrid.size(), 1u);
        EXPECT_EQ(buffers.brickGrid[0].index, 4294967294u);
        EXPECT_EQ(std::bit_cast<std::uint32_t>(buffers.brickGrid[0].value), 0xFF800000u);
        ASSERT_EQ(buffers.brickData.size(), 1u);
        EXPECT_EQ(buffers.brickData[0].mask, 0u);
        EXPECT_EQ(buffers.brickParams.dims.x, 0u);
        EXPECT_EQ(buffers.brickParams.dims.z, 0u);
        EXPECT_EQ(buffers.brickParams.params.x, 0.25f);
        EXPECT_EQ(buffers.brickParams.params.y, 1.5f);
        EXPECT_EQ(buffers.brickParams.params.z, mode == 1 ? 1.0f : 0.0f);
    }
}

// ---- the one-shot run, on the fake loader ------------------------------------

struct DispatchCase {
    std::uint32_t width, height;
    bool bricks;
    std::uint32_t groupsX, groupsY;
    std::uint32_t bindings, storage, uniforms;
};

TEST_F(FakeVulkanTest, SdnaGpuRunBindsItsBuffersAndDispatchesTheImage)
{
    openDevice();
    const SdnaProgram program = buildCritter(false);
    Bricks bricks;
    bricks.cellSize = 0.1f;
    const DispatchCase cases[] = {
        {1, 1, false, 1, 1, 9, 7, 2},
        {641, 361, false, 81, 46, 9, 7, 2},
        {16, 9, true, 2, 2, 12, 9, 3},
    };
    for (const DispatchCase& c : cases) {
        SCOPED_TRACE(c.width);
        const ProgramCamera camera = programCamera(Vec3{2.6f, 1.5f, 2.4f}, Vec3{0.0f, 0.5f, 0.0f}, c.width, c.height);
        const GpuFrame frame = renderSdnaGpu(context, program, {}, sdnaGpuView(camera), c.width, c.height,
                                             c.bricks ? &bricks : nullptr, 0, nullptr);
        ASSERT_TRUE(frame.ok) << frame.error;
        EXPECT_EQ(log().groupsX, c.groupsX);
        EXPECT_EQ(log().groupsY, c.groupsY);
        EXPECT_EQ(log().groupsZ, 1u);
        EXPECT_EQ(log().layoutBindings, c.bindings);
        EXPECT_EQ(log().storagePoolSize, c.storage);
        EXPECT_EQ(log().uniformPoolSize, c.uniforms);
        EXPECT_EQ(log().pushRanges, 0u);
        const std::size_t pixels = std::size_t(c.width) * c.height;
        EXPECT_EQ(frame.color.size(), pixels * 4);
        EXPECT_EQ(frame.depth.size(), pixels);
        EXPECT_EQ(frame.normal.size(), pixels * 4);
        EXPECT_EQ(frame.status.size(), pixels);
        // Program, one zeroed pose, the two uniform blocks, the materials and
        // the four output planes, plus the one-entry brick buffers.
        std::uint64_t bytes = 48 * program.instructions.size() + 32 + 48 + 112 + 16 * program.materials.size() +
                              pixels * (16 + 4 + 16 + 4);
        if (c.bricks)
            bytes += 8 + 1032 + 32;
        EXPECT_GE(frame.bufferBytes, bytes);
        // The fake device rounds every allocation up to 4096 bytes.
        EXPECT_LE(frame.bufferBytes, bytes + c.bindings * 4096);
    }
    EXPECT_EQ(log().liveObjects, 2) << "every run releases its objects";
}

TEST_F(FakeVulkanTest, SdnaGpuRunReportsTheComputeFailure)
{
    config().hostCoherent = 0;
    openDevice();
    const SdnaProgram program = unitSphere();
    const ProgramCamera camera = programCamera(Vec3{0.0f, 0.0f, 3.0f}, Vec3{0.0f, 0.0f, 0.0f}, 8, 4);
    const GpuFrame frame = renderSdnaGpu(context, program, {}, sdnaGpuView(camera), 8, 4, nullptr, 0, nullptr);
    EXPECT_FALSE(frame.ok);
    EXPECT_EQ(frame.error, "host-visible memory failed (VkResult -8)");
    EXPECT_EQ(frame.width, 8u);
    EXPECT_EQ(frame.height, 4u);
    EXPECT_EQ(frame.depth.size(), 32u);
}

// The brick kernel indexes the grid by block and the records by a grid
// entry, unchecked: a cache whose grid is smaller than its gridSize, or
// whose entry names a brick it does not hold, made the kernel read past its
// buffers. Such a cache is refused before anything runs; a consistent one,
// with far and not-built entries, runs.
TEST_F(FakeVulkanTest, SdnaGpuRunRefusesABrickCacheItWouldReadPast)
{
    openDevice();
    const SdnaProgram program = unitSphere();
    const ProgramCamera camera = programCamera(Vec3{0.0f, 0.0f, 3.0f}, Vec3{0.0f, 0.0f, 0.0f}, 8, 8);
    struct Case {
        const char* name;
        std::size_t gridEntries;
        std::uint32_t lastIndex;
        bool runs;
    };
    const Case cases[] = {
        {"grid one entry short", 7, 0, false},
        {"no grid at all", 0, 0, false},
        {"entry past the bricks", 8, 2, false},
        {"entry just past the bricks", 8, 1, false},
        {"consistent", 8, 0, true},
        {"far entry", 8, kBrickFar, true},
        {"not-built entry", 8, kBrickNotBuilt, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Bricks bricks;
        bricks.cellSize = 0.25f;
        bricks.gridSize = {2, 2, 2};
        bricks.bricks.resize(1);
        bricks.grid.assign(c.gridEntries, BrickGridEntry{kBrickFar, 1.0f});
        if (!bricks.grid.empty()) {
            bricks.grid.front().index = 0;
            bricks.grid.back().index = c.lastIndex;
        }
        const std::uint32_t dispatchesBefore = log().dispatches;
        const GpuFrame frame = renderSdnaGpu(context, program, {}, sdnaGpuView(camera), 8, 8, &bricks, 0, nullptr);
        EXPECT_EQ(frame.ok, c.runs) << frame.error;
        EXPECT_EQ(log().dispatches, dispatchesBefore + (c.runs ? 1u : 0u));
        if (!c.runs) {
            EXPECT_FALSE(frame.error.empty());
        }
    }
    EXPECT_EQ(log().liveObjects, 2);
}

// ---- on the machine's device --------------------------------------------------

struct SdnaGpuCase {
    const char* name;
    SdnaProgram program;
    std::vector<BonePose> pose;
    Vec3 eye;
    Vec3 target;
    bool cull;
    std::uint32_t width;
    std::uint32_t height;
};

std::vector<SdnaGpuCase> comparisonCases()
{
    const SdnaProgram critter = buildCritter(false);
    const std::vector<BonePose> trot = critterPose(critter.boneCount, 0.45f);
    const Vec3 front{2.6f, 1.5f, 2.4f};
    const Vec3 frontTarget{0.0f, 0.5f, 0.0f};
    std::vector<SdnaGpuCase> cases = {
        {"sphere", unitSphere(), {}, {0.4f, 0.7f, 3.0f}, {0.0f, 0.0f, 0.0f}, false, 64, 64},
        {"critter_front", critter, {}, front, frontTarget, false, 64, 64},
        // Odd sizes: the last workgroups of a row and a column are partial.
        {"critter_back", critter, {}, {1.2f, 1.1f, -2.2f}, {0.3f, 0.6f, 0.0f}, true, 61, 37},
        {"critter_posed", critter, trot, front, frontTarget, true, 64, 48},
        {"critter_base", buildCritter(true), trot, front, frontTarget, true, 48, 48},
    };
    for (std::uint32_t seed : {1u, 2u, 5u, 9u, 11u, 12u}) {
        RandomProgram random = randomProgram(seed);
        const SdnaProgram& p = random.program;
        const Vec3 lo{p.boundsMin[0], p.boundsMin[1], p.boundsMin[2]};
        const Vec3 hi{p.boundsMax[0], p.boundsMax[1], p.boundsMax[2]};
        const Vec3 centre = (lo + hi) * 0.5f;
        const float reach = std::sqrt(dot(hi - lo, hi - lo));
        cases.push_back({"random", random.program, random.pose, centre + Vec3{0.6f, 0.45f, 0.8f} * reach, centre,
                         seed % 2 == 1, 32, 32});
    }
    return cases;
}

TEST_F(OnDeviceTest, SdnaGpuRenderMatchesProcessorRender)
{
    for (const SdnaGpuCase& c : comparisonCases()) {
        SCOPED_TRACE(c.name);
        const ProgramCamera camera = programCamera(c.eye, c.target, c.width, c.height);
        const ProgramBounds bounds = analyzeProgramBounds(c.program, 3);
        const GpuFrame gpu = renderSdnaGpu(context, c.program, c.pose, sdnaGpuView(camera), c.width, c.height,
                                           nullptr, 0, c.cull ? &bounds : nullptr);
        ASSERT_TRUE(gpu.ok) << gpu.error;
        ASSERT_EQ(gpu.color.size(), std::size_t(c.width) * c.height * 4);
        ASSERT_EQ(gpu.status.size(), std::size_t(c.width) * c.height);
        const CpuImage cpu = renderCpu(c.program, c.pose, camera, c.width, c.height);
        if (std::string(c.name) != "random")
            writeArtifact(std::string("sdna_gpu_") + c.name, gpu);

        const Comparison cmp = compare(gpu, cpu);
        EXPECT_GT(cmp.bothHit, cmp.pixels / 20) << "the view should see the solid";
        EXPECT_EQ(cmp.statusMismatch, 0u);
        // Silhouette pixels may flip where the two evaluators round apart.
        EXPECT_LE(cmp.coverageMismatch, std::max<std::size_t>(2, cmp.pixels / 400));
        EXPECT_LE(cmp.materialMismatch, std::max<std::size_t>(1, cmp.bothHit / 200));
        EXPECT_LE(cmp.normalsAbove5, std::max<std::size_t>(1, cmp.bothHit / 200));
        EXPECT_LT(cmp.depthRelSum / double(std::max<std::size_t>(cmp.bothHit, 1)), 1e-3);
        EXPECT_GE(cmp.psnr(), 35.0);
    }
}

TEST_F(OnDeviceTest, SdnaGpuCullingTableLeavesTheImageUnchanged)
{
    const SdnaProgram critter = buildCritter(true);
    const std::vector<BonePose> trot = critterPose(critter.boneCount, 0.45f);
    const ProgramBounds bounds = analyzeProgramBounds(critter, 3);
    const ProgramCamera camera = programCamera(Vec3{2.6f, 1.5f, 2.4f}, Vec3{0.0f, 0.5f, 0.0f}, 40, 40);
    const SdnaGpuView view = sdnaGpuView(camera);
    const GpuFrame plain = renderSdnaGpu(context, critter, trot, view, 40, 40, nullptr, 0, nullptr);
    const GpuFrame culled = renderSdnaGpu(context, critter, trot, view, 40, 40, nullptr, 0, &bounds);
    ASSERT_TRUE(plain.ok) << plain.error;
    ASSERT_TRUE(culled.ok) << culled.error;
    // The records only skip subtrees that cannot change a value, so every
    // plane agrees; the steps in the colour's fourth channel too.
    EXPECT_EQ(plain.color, culled.color);
    EXPECT_EQ(plain.depth, culled.depth);
    EXPECT_EQ(plain.normal, culled.normal);
    EXPECT_EQ(plain.status, culled.status);
    // The packed stream is longer by one 48-byte entry per record.
    EXPECT_GE(culled.bufferBytes, plain.bufferBytes + 48 * bounds.records.size());
}

TEST_F(OnDeviceTest, SdnaGpuWritesEveryPixelOfTinyImages)
{
    const SdnaProgram program = unitSphere();
    for (std::uint32_t size : {1u, 9u}) {
        SCOPED_TRACE(size);
        // Looking at the centre of the sphere: every pixel of a narrow view hits.
        const ProgramCamera camera = programCamera(Vec3{0.0f, 0.0f, 3.0f}, Vec3{0.0f, 0.0f, 0.0f}, size, size);
        const GpuFrame frame = renderSdnaGpu(context, program, {}, sdnaGpuView(camera), size, size, nullptr, 0,
                                             nullptr);
        ASSERT_TRUE(frame.ok) << frame.error;
        EXPECT_EQ(frame.width, size);
        EXPECT_EQ(frame.height, size);
        const CpuImage cpu = renderCpu(program, {}, camera, size, size);
        for (std::size_t i = 0; i < frame.depth.size(); ++i) {
            EXPECT_EQ(frame.status[i], cpu.depth[i] < 1e29f ? 1u : 0u);
            EXPECT_NEAR(frame.depth[i], cpu.depth[i], 1e-4f * cpu.depth[i]);
            EXPECT_EQ(frame.color[i * 4 + 3], cpu.steps[i]) << "primary steps";
        }
    }
}

TEST_F(OnDeviceTest, SdnaGpuRenderIntoAResultReplacesItAndReturnsTheSameFrame)
{
    const SdnaProgram program = unitSphere();
    const ProgramCamera camera = programCamera(Vec3{0.0f, 0.0f, 3.0f}, Vec3{0.0f, 0.0f, 0.0f}, 5, 3);
    const GpuFrame direct = renderSdnaGpu(context, program, {}, sdnaGpuView(camera), 5, 3, nullptr, 0, nullptr);
    ASSERT_TRUE(direct.ok) << direct.error;
    // A result left over from another run: every plane is replaced.
    GpuFrame result;
    result.error = "earlier failure";
    result.color.assign(7, 2.0f);
    result.status.assign(100, 9u);
    const GpuFrame returned =
        renderSdnaGpu(result, context, program, {}, sdnaGpuView(camera), 5, 3, nullptr, 0, nullptr);
    const GpuFrame& filled = result;
    for (const GpuFrame* frame : {&filled, &returned}) {
        EXPECT_TRUE(frame->ok);
        EXPECT_TRUE(frame->error.empty());
        EXPECT_EQ(frame->width, 5u);
        EXPECT_EQ(frame->height, 3u);
        EXPECT_EQ(frame->color, direct.color);
        EXPECT_EQ(frame->depth, direct.depth);
        EXPECT_EQ(frame->normal, direct.normal);
        EXPECT_EQ(frame->status, direct.status);
    }
}

TEST_F(OnDeviceTest, SdnaGpuBrickKernelConvergesToTheExactSurface)
{
    const SdnaProgram critter = buildCritter(false);
    const std::vector<BonePose> trot = critterPose(critter.boneCount, 0.45f);
    const Vec3 lo{critter.boundsMin[0], critter.boundsMin[1], critter.boundsMin[2]};
    const Vec3 hi{critter.boundsMax[0], critter.boundsMax[1], critter.boundsMax[2]};
    BrickBuildParams params;
    params.cellSize = std::sqrt(dot(hi - lo, hi - lo)) / 64.0f;
    params.threads = 8;
    Bricks bricks;
    std::string error;
    ASSERT_TRUE(buildBricks(critter, trot, params, bricks, error)) << error;
    ASSERT_FALSE(bricks.bricks.empty());

    constexpr std::uint32_t kSize = 48;
    const ProgramCamera camera = programCamera(Vec3{2.6f, 1.5f, 2.4f}, Vec3{0.0f, 0.5f, 0.0f}, kSize, kSize);
    const SdnaGpuView view = sdnaGpuView(camera);
    const CpuImage exact = renderCpu(critter, trot, camera, kSize, kSize);
    const GpuFrame plain = renderSdnaGpu(context, critter, trot, view, kSize, kSize, nullptr, 0, nullptr);
    ASSERT_TRUE(plain.ok) << plain.error;

    // Any mode but 1 traces the whole ray exactly after the bricks: the
    // surface is the exact one, only the step counts grow.
    const GpuFrame again = renderSdnaGpu(context, critter, trot, view, kSize, kSize, &bricks, 0, nullptr);
    ASSERT_TRUE(again.ok) << again.error;
    EXPECT_EQ(again.depth, plain.depth);
    EXPECT_EQ(again.normal, plain.normal);
    EXPECT_EQ(again.status, plain.status);
    for (std::size_t i = 0; i < plain.depth.size(); ++i) {
        if (plain.status[i] != 0) {
            EXPECT_GT(again.color[i * 4 + 3], plain.color[i * 4 + 3]) << "block and brick steps come first";
        }
    }

    // Mode 1 refines only from where the bricks stopped: the primary hits
    // follow the processor's cached tracer. The double-precision walk (where
    // the device has shaderFloat64) takes its very steps and meets the
    // shape-program verdict's limits; the single-precision walk stays within
    // looser ones (it missed the verdict: depth rel 3e-5, 65-79 dB).
    struct Walk {
        const char* name;
        bool inDouble;
        std::size_t coverage, material, normalOff;
        double depthRel;
    };
    const bool hasDouble = context.shaderFloat64;
    for (const Walk& walk : {Walk{"double", true, 0, 0, 0, 1e-6}, Walk{"single", false, 2, 1, 1, 1e-4}}) {
        SCOPED_TRACE(walk.name);
        if (walk.inDouble && !hasDouble) {
            std::printf("the device has no shaderFloat64: no double-precision brick walk to test\n");
            continue;
        }
        // The kernel follows the context's feature; the single walk is
        // chosen by hiding it.
        context.shaderFloat64 = walk.inDouble;
        EXPECT_EQ(sdnaBrickWalkInDouble(context), walk.inDouble);
        const GpuFrame local = renderSdnaGpu(context, critter, trot, view, kSize, kSize, &bricks, 1, nullptr);
        context.shaderFloat64 = hasDouble;
        ASSERT_TRUE(local.ok) << local.error;
        writeArtifact(std::string("sdna_gpu_bricks_local_") + walk.name, local);
        SdnaTraceOptions primary;
        primary.epsPerDistance = camera.pixelSpread * 0.5f;
        std::size_t coverage = 0, both = 0, material = 0, normalOff = 0;
        double depthRel = 0.0;
        for (std::uint32_t y = 0; y < kSize; ++y) {
            for (std::uint32_t x = 0; x < kSize; ++x) {
                const std::size_t i = std::size_t(y) * kSize + x;
                SdnaHit hit;
                traceBricksLocal(hit, bricks, toArray(camera.position),
                                 toArray(primaryDirection(camera, x, y, kSize, kSize)), 0.0f, 50.0f, primary, 100000,
                                 nullptr, kBrickModeLocal);
                const bool cpuHit = hit.status != kSdnaMiss;
                const bool gpuHit = local.status[i] != 0;
                if (cpuHit != gpuHit) {
                    ++coverage;
                    continue;
                }
                if (!cpuHit)
                    continue;
                ++both;
                depthRel += std::fabs(local.depth[i] - hit.t) / hit.t;
                material += local.normal[i * 4 + 3] != float(hit.material);
                const float d = local.normal[i * 4] * hit.normal[0] + local.normal[i * 4 + 1] * hit.normal[1] +
                                local.normal[i * 4 + 2] * hit.normal[2];
                normalOff += d < 0.996f;  // about 5 degrees
            }
        }
        EXPECT_GT(both, std::size_t(kSize) * kSize / 20);
        EXPECT_LE(coverage, walk.coverage);
        EXPECT_LE(material, walk.material);
        EXPECT_LE(normalOff, walk.normalOff);
        EXPECT_LE(depthRel / double(std::max<std::size_t>(both, 1)), walk.depthRel);
    }

    // Without brick records the kernel still runs, on the one default entry.
    Bricks empty;
    empty.program = critter;
    empty.cellSize = params.cellSize;
    const GpuFrame none = renderSdnaGpu(context, critter, trot, view, kSize, kSize, &empty, 1, nullptr);
    ASSERT_TRUE(none.ok) << none.error;
    EXPECT_EQ(none.depth, plain.depth);
    EXPECT_EQ(none.status, plain.status);
}

} // namespace
} // namespace qlmr
