#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>
#include <thread>
#include <vector>

#include "scene/png_writer.h"
#include "sdna/brick_tracer.h"
#include "sdna/bricks.h"
#include "sdna/cpu_render_worker.h"
#include "sdna/tracer.h"
#include "sdna_test_programs.h"
#include "support/test_support.h"

namespace qlmr {
namespace {

using test::instr;
using test::makeProgram;
using test::sphere;

struct Render {
    std::vector<std::uint8_t> colour;
    std::vector<float> depth, normal, steps;
    std::uint64_t totalSteps = 0, uncertain = 0;
};

Render render(const SdnaProgram& program, const std::vector<BonePose>& pose, std::uint32_t width,
              std::uint32_t height, int threads, const Bricks* bricks = nullptr,
              std::uint32_t brickMode = 0) {
    Render out;
    const std::size_t pixels = static_cast<std::size_t>(width) * height;
    out.colour.assign(pixels * 4, 0);
    out.depth.assign(pixels, -1.0f);
    out.normal.assign(pixels * 4, -1.0f);
    out.steps.assign(pixels, -1.0f);
    const BonePose* posePointer = pose.empty() ? nullptr : pose.data();
    const std::uint64_t poseCount = pose.size();
    SdnaRenderJob job;
    job.width = width;
    job.height = height;
    job.camera = programCamera(Vec3{2.6f, 1.5f, 2.4f}, Vec3{0.0f, 0.5f, 0.0f}, width, height);
    job.program = &program;
    job.bricks = bricks;
    job.brickMode = brickMode;
    job.pose = &posePointer;
    job.poseCount = &poseCount;
    job.colour = out.colour.data();
    job.depth = out.depth.data();
    job.normal = out.normal.data();
    job.steps = out.steps.data();
    std::vector<std::thread> workers;
    for (int i = 1; i < threads; ++i) workers.emplace_back([&job] { cpuRenderWorker(job); });
    cpuRenderWorker(job);
    for (std::thread& t : workers) t.join();
    out.totalSteps = job.totalSteps.load();
    out.uncertain = job.uncertainPixels.load();
    return out;
}

// A small posed creature over a floor: hits, shadowed floor, misses.
SdnaProgram creature() {
    SdnaProgram p = makeProgram(
        {instr(SdnaOp::Plane, {0, 1, 0, -0.05f}, 0), sphere(0, 0.6f, 0, 0.45f, 1),
         instr(SdnaOp::Union), test::pushBone(0),
         instr(SdnaOp::Capsule, {0, 0, 0, 0.6f, 0.3f, 0, 0.12f}, 2), instr(SdnaOp::Pop),
         instr(SdnaOp::SmoothUnion, {0.15f}),
         instr(SdnaOp::Box, {-0.5f, 0.3f, 0.4f, 0.2f, 0.3f, 0.2f, 0.03f}, 3), instr(SdnaOp::Union)},
        4, 1.5f);
    p.boundsMin[1] = -0.1f;
    return p;
}

// A job filled by hand without its program or one of its planes renders
// nothing into the planes it has and counts nothing, instead of following
// the null pointer.
TEST(SdnaCpuRender, JobWithoutProgramOrPlaneRendersNothing) {
    const SdnaProgram program = creature();
    const struct {
        const char* name;
        void (*clear)(SdnaRenderJob&);
    } cases[] = {
        {"program", [](SdnaRenderJob& j) { j.program = nullptr; }},
        {"colour", [](SdnaRenderJob& j) { j.colour = nullptr; }},
        {"depth", [](SdnaRenderJob& j) { j.depth = nullptr; }},
        {"normal", [](SdnaRenderJob& j) { j.normal = nullptr; }},
        {"steps", [](SdnaRenderJob& j) { j.steps = nullptr; }},
    };
    constexpr std::uint32_t width = 8, height = 6;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<std::uint8_t> colour(width * height * 4, 7);
        std::vector<float> depth(width * height, -1.0f), normal(width * height * 4, -1.0f),
            steps(width * height, -1.0f);
        SdnaRenderJob job;
        job.width = width;
        job.height = height;
        job.camera = programCamera(Vec3{2.6f, 1.5f, 2.4f}, Vec3{0.0f, 0.5f, 0.0f}, width, height);
        job.program = &program;
        job.colour = colour.data();
        job.depth = depth.data();
        job.normal = normal.data();
        job.steps = steps.data();
        c.clear(job);
        cpuRenderWorker(job);
        EXPECT_EQ(job.totalSteps.load(), 0u);
        EXPECT_EQ(job.uncertainPixels.load(), 0u);
        EXPECT_EQ(colour, std::vector<std::uint8_t>(width * height * 4, 7));
        EXPECT_EQ(depth, std::vector<float>(width * height, -1.0f));
        EXPECT_EQ(steps, std::vector<float>(width * height, -1.0f));
    }
}

TEST(SdnaCpuRender, ThreadCountDoesNotChangeTheImage) {
    const SdnaProgram program = creature();
    std::vector<BonePose> pose(1);
    pose[0].position = {0.3f, 0.7f, 0.1f};
    pose[0].rotation = test::axisAngle(0, 0, 1, 0.4f);
    const Render one = render(program, pose, 96, 64, 1);
    const Render many = render(program, pose, 96, 64, 8);
    writePng((test::artifactDir("sdna") / "cpu_render_creature.png").string(), 96, 64, one.colour);
    EXPECT_EQ(one.colour, many.colour);
    EXPECT_EQ(one.depth, many.depth);
    EXPECT_EQ(one.normal, many.normal);
    EXPECT_EQ(one.steps, many.steps);
    EXPECT_EQ(one.totalSteps, many.totalSteps);
    EXPECT_EQ(one.uncertain, many.uncertain);

    // Every pixel was written and the step total is the sum of the plane.
    double stepSum = 0;
    int hits = 0, misses = 0;
    for (std::size_t i = 0; i < one.depth.size(); ++i) {
        ASSERT_GE(one.steps[i], 0.0f);
        ASSERT_EQ(one.colour[i * 4 + 3], 255);
        stepSum += one.steps[i];
        (one.depth[i] == 1e30f ? misses : hits)++;
    }
    EXPECT_EQ(static_cast<std::uint64_t>(stepSum), one.totalSteps);
    EXPECT_GT(hits, 100);
    EXPECT_GT(misses, 10);
    // The pose reaches the image: the unposed creature differs.
    EXPECT_NE(render(program, {}, 96, 64, 2).depth, one.depth);
}

// Display encoding of a linear colour, written out from its definition.
std::uint8_t displayByte(float c) {
    c = c / (c + 1.0f);
    c = std::fmin(std::fmax(c, 0.0f), 1.0f);
    c = c <= 0.0031308f ? 12.92f * c : 1.055f * std::pow(c, 0.41666666f) - 0.055f;
    return static_cast<std::uint8_t>(std::lround(c * 255.0f));
}

TEST(SdnaCpuRender, PlanesOfHitsAndMisses) {
    const SdnaProgram program = makeProgram({sphere(0, 0.5f, 0, 0.5f, 2)}, 3, 1.0f);
    const std::uint32_t w = 40, h = 30;
    const Render r = render(program, {}, w, h, 3);
    const ProgramCamera cam = programCamera(Vec3{2.6f, 1.5f, 2.4f}, Vec3{0.0f, 0.5f, 0.0f}, w, h);

    // Pixel (0, 0) looks past the sphere: sky colour, depth 1e30, zero normal and material.
    const float u = (2.0f * 0.5f / w - 1.0f) * cam.tanHalfFov * cam.aspect;
    const float v = (1.0f - 2.0f * 0.5f / h) * cam.tanHalfFov;
    const Vec3 d = normalizeSafe(cam.forward + cam.right * u + cam.up * v);
    const float a = std::fmax(d.y, 0.0f) * 0.4f + 0.6f, g = std::fmax(0.2f - d.y, 0.0f) * 0.3f;
    EXPECT_EQ(r.depth[0], 1e30f);
    EXPECT_EQ(r.colour[0], displayByte(a * 0.55f + g * 0.9f));
    EXPECT_EQ(r.colour[1], displayByte(a * 0.7f + g * 0.8f));
    EXPECT_EQ(r.colour[2], displayByte(a * 0.95f + g * 0.6f));
    for (int k = 0; k < 4; ++k) EXPECT_EQ(r.normal[k], 0.0f);

    // The pixel nearest the image centre sees the sphere's front: depth about
    // |eye - centre| - radius, a unit normal towards the eye, material 2.
    const std::size_t c = static_cast<std::size_t>(h / 2) * w + w / 2;
    const float expectedDepth = std::sqrt(2.6f * 2.6f + 1.0f + 2.4f * 2.4f) - 0.5f;
    EXPECT_NEAR(r.depth[c], expectedDepth, 0.02f);
    const float* n = &r.normal[c * 4];
    EXPECT_NEAR(n[0] * n[0] + n[1] * n[1] + n[2] * n[2], 1.0f, 1e-4f);
    EXPECT_GT(n[0] * cam.forward.x + n[1] * cam.forward.y + n[2] * cam.forward.z, -1.01f);
    EXPECT_LT(n[0] * cam.forward.x + n[1] * cam.forward.y + n[2] * cam.forward.z, -0.9f);
    EXPECT_EQ(n[3], 2.0f);
    EXPECT_EQ(r.uncertain, 0u);
}

// A valid material may hold colours near the float limit; where the shaded
// sum overflows to infinity the channel still saturates to full white
// rather than turning into a value the byte conversion cannot take.
TEST(SdnaCpuRender, ColoursBeyondTheFloatRangeSaturate) {
    SdnaProgram program = makeProgram({sphere(0, 0.5f, 0, 0.5f, 0)}, 1, 1.0f);
    const float huge = std::numeric_limits<float>::max();
    program.materials[0] = {huge, huge, 0.5f, 0.6f};
    const Render r = render(program, {}, 40, 30, 2);
    std::uint64_t hits = 0;
    for (std::size_t i = 0; i < r.depth.size(); ++i) {
        if (r.depth[i] == 1e30f) continue;
        ++hits;
        EXPECT_EQ(r.colour[i * 4 + 0], 255) << "pixel " << i;
        EXPECT_EQ(r.colour[i * 4 + 1], 255) << "pixel " << i;
        EXPECT_LT(r.colour[i * 4 + 2], 255) << "pixel " << i;
    }
    EXPECT_GT(hits, 100u);
}

TEST(SdnaCpuRender, UncertainPixelsAreCountedAndShaded) {
    // Distances overflow to infinity everywhere: every ray that reaches the
    // box ends uncertain at its first step and is shaded like a hit.
    const SdnaProgram program = makeProgram({sphere(3e38f, 0, 0, 0)}, 1, 0.5f);
    const Render r = render(program, {}, 24, 16, 4);
    std::uint64_t inBox = 0;
    for (std::size_t i = 0; i < r.depth.size(); ++i) {
        if (r.depth[i] == 1e30f) continue;
        ++inBox;
        EXPECT_EQ(r.steps[i], 1.0f);
        EXPECT_EQ(r.normal[i * 4 + 1], 1.0f);  // non-finite gradient: the up normal
    }
    EXPECT_GT(inBox, 0u);
    EXPECT_EQ(r.uncertain, inBox);
    EXPECT_EQ(r.totalSteps, inBox);
}

struct BrickRenderCase {
    SdnaProgram program = creature();
    std::vector<BonePose> pose{1};
    Bricks bricks;
    BrickRenderCase() {
        pose[0].position = {0.3f, 0.7f, 0.1f};
        pose[0].rotation = test::axisAngle(0, 0, 1, 0.4f);
        std::string error;
        EXPECT_TRUE(buildBricks(program, pose, BrickBuildParams{0.02f, 64u << 20, 1u << 24, 4}, bricks, error))
            << error;
    }
};

TEST(SdnaCpuRender, BricksInFullRetraceModeGiveTheExactImage) {
    const BrickRenderCase c;
    const Render exact = render(c.program, c.pose, 96, 64, 4);
    const Render cached = render(c.program, c.pose, 96, 64, 4, &c.bricks, 0);
    EXPECT_EQ(cached.colour, exact.colour);
    EXPECT_EQ(cached.depth, exact.depth);
    EXPECT_EQ(cached.normal, exact.normal);
    EXPECT_EQ(cached.uncertain, exact.uncertain);
    // The steps plane also counts the blocks and brick steps walked first.
    double extra = 0;
    for (std::size_t i = 0; i < exact.steps.size(); ++i) {
        ASSERT_GE(cached.steps[i], exact.steps[i]);
        extra += cached.steps[i] - exact.steps[i];
    }
    EXPECT_GT(extra, 0.0);
    EXPECT_EQ(cached.totalSteps, exact.totalSteps + static_cast<std::uint64_t>(extra));
}

TEST(SdnaCpuRender, BricksInLocalModeMatchTheExactImageAndThreadCount) {
    const BrickRenderCase c;
    const Render exact = render(c.program, c.pose, 96, 64, 4);
    const Render one = render(c.program, c.pose, 96, 64, 1, &c.bricks, kBrickModeLocal);
    const Render many = render(c.program, c.pose, 96, 64, 8, &c.bricks, kBrickModeLocal);
    writePng((test::artifactDir("sdna") / "cpu_render_creature_bricks.png").string(), 96, 64, one.colour);
    EXPECT_EQ(one.colour, many.colour);
    EXPECT_EQ(one.depth, many.depth);
    EXPECT_EQ(one.normal, many.normal);
    EXPECT_EQ(one.steps, many.steps);
    EXPECT_EQ(one.totalSteps, many.totalSteps);

    int coverage = 0, material = 0, bothHit = 0;
    double depthRel = 0;
    for (std::size_t i = 0; i < exact.depth.size(); ++i) {
        const bool a = exact.depth[i] < 1e29f, b = one.depth[i] < 1e29f;
        if (a != b) {
            ++coverage;
            continue;
        }

        if (!a) continue;
        ++bothHit;
        depthRel += std::fabs(one.depth[i] - exact.depth[i]) / exact.depth[i];
        if (one.normal[i * 4 + 3] != exact.normal[i * 4 + 3]) ++material;
    }
    // The exact refinement starts nearer the surface than the plain trace,
    // so the two stop at different points within the hit threshold; only
    // rays that graze the floor where it leaves the box may end differently.
    EXPECT_GT(bothHit, 1000);
    EXPECT_LE(coverage, 30);
    EXPECT_LE(material, 2);
    EXPECT_LT(depthRel / bothHit, 5e-3);
    EXPECT_EQ(one.uncertain, 0u);
}

}  // namespace
}  // namespace qlmr
