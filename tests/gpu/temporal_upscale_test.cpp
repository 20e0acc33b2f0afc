#include "gpu/temporal_upscale.h"

#include "gpu/vulkan_test_support.h"
#include "scene/scene_tracer.h"
#include "scene/thread_pool.h"
#include "scene/tile_renderer.h"
#include "scene/tone_map.h"
#include "support/test_support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <limits>
#include <string>

namespace qlmr {
namespace {

// The ray through the centre of pixel (x, y), straight from the camera's frame.
Vec3 rayOf(const Camera& camera, float x, float y)
{
    const float sx = 2.0f * (x + 0.5f) / float(camera.width) - 1.0f;
    const float sy = 2.0f * (y + 0.5f) / float(camera.height) - 1.0f;
    return normalizeSafe(camera.forward + camera.right * (camera.tanHalfFov * camera.aspect * sx) -
                         camera.up * (camera.tanHalfFov * sy));
}

// ---- cameras and jitter (processor only)

TEST(TemporalCameras, HalfPixelsCentreOnTheirJitterSlots)
{
    const Camera full = Camera::lookAt({1, 2, 5}, {0, 0.5f, 0}, {0, 1, 0}, 50, 40, 24);
    bool covered[2][2] = {};
    for (int f = 0; f < 4; ++f) {
        const Jitter jitter = temporalJitter(f);
        covered[jitter.y][jitter.x] = true;
        EXPECT_EQ(temporalJitter(f + 4).x, jitter.x);
        EXPECT_EQ(temporalJitter(f + 4).y, jitter.y);
        const Camera half = temporalHalfCamera(full, jitter);
        ASSERT_EQ(half.width, 20u);
        ASSERT_EQ(half.height, 12u);
        for (std::uint32_t y = 0; y < half.height; y += 3)
            for (std::uint32_t x = 0; x < half.width; x += 3) {
                const Vec3 a = rayOf(half, float(x), float(y));
                const Vec3 b = rayOf(full, float(2 * x + jitter.x), float(2 * y + jitter.y));
                EXPECT_NEAR(dot(a, b), 1.0f, 1e-6f) << f << ": " << x << "," << y;
            }
    }
    EXPECT_TRUE(covered[0][0] && covered[0][1] && covered[1][0] && covered[1][1]);
}

// A plane facing the camera at distance 10, painted with a busy pattern of
// cells exactly one pixel wide, and a camera that stands still or slides
// along +x by two pixels per frame (so the jitter blocks stay aligned).
struct SyntheticScene {
    static constexpr std::uint32_t kWidth = 16, kHeight = 12;
    bool moving = false;
    Camera base = Camera::lookAt({0, 0, 0}, {0, 0, -1}, {0, 1, 0}, 30, kWidth, kHeight);

    float pixelWorldWidth() const { return 20.0f * base.tanHalfFov * base.aspect / float(kWidth); }
    Camera camera(int frame) const
    {
        const Vec3 shift{moving ? 2.0f * pixelWorldWidth() * float(frame) : 0.0f, 0.0f, 0.0f};
        return Camera::lookAt(shift, shift + Vec3{0, 0, -1}, {0, 1, 0}, 30, kWidth, kHeight);
    }
    Vec3 hitPoint(const Camera& camera, float x, float y) const
    {
        const Vec3 dir = rayOf(camera, x, y);
        return camera.position + dir * (10.0f / -dir.z);
    }
    float depthAt(const Camera& camera, float x, float y) const
    {
        return 10.0f / -rayOf(camera, x, y).z;
    }
    // The pattern cell under a pixel: its column and row at frame 0.
    Vec3 colorAt(const Camera& camera, std::uint32_t x, std::uint32_t y) const
    {
        const Vec3 p = hitPoint(camera, float(x), float(y));
        const float t = base.tanHalfFov;
        const int gx = int(std::floor((p.x + 10.0f * t * base.aspect) / pixelWorldWidth()));
        const int gy = int(std::floor((10.0f * t - p.y) / (20.0f * t / float(kHeight))));
        // Busy enough that no interpolation of neighbours reproduces it.
        return {float((gx * 7 + gy * 3) % 5) * 0.2f, float((gx + 2 * gy) % 3) * 0.4f, float(gx % 2) * 0.9f};
    }
    void halfFrame(const Camera& camera, Jitter jitter, std::vector<float>& color, std::vector<float>& depth) const
    {
        const std::uint32_t hw = kWidth / 2, hh = kHeight / 2;
        color.assign(std::size_t(hw) * hh * 4, 0.0f);
        depth.assign(std::size_t(hw) * hh, 0.0f);
        for (std::uint32_t y = 0; y < hh; ++y)
            for (std::uint32_t x = 0; x < hw; ++x) {
                const std::size_t i = std::size_t(y) * hw + x;
                const Vec3 c = colorAt(camera, 2 * x + jitter.x, 2 * y + jitter.y);
                color[i * 4] = c.x, color[i * 4 + 1] = c.y, color[i * 4 + 2] = c.z;
                depth[i] = depthAt(camera, float(2 * x + jitter.x), float(2 * y + jitter.y));
            }
    }
    // Columns whose history chain stayed in view over four frames: all of
    // them for a still camera; for the sliding one those that were 6 pixels
    // further right three frames ago.
    std::uint32_t settledColumns() const { return moving ? kWidth - 6 : kWidth; }
    // Largest channel error of an output image over the settled columns.
    float maxError(const Camera& camera, const std::function<Vec3(std::size_t)>& output) const
    {
        float worst = 0.0f;
        for (std::uint32_t y = 0; y < kHeight; ++y)
            for (std::uint32_t x = 0; x < settledColumns(); ++x) {
                const Vec3 d = output(std::size_t(y) * kWidth + x) - colorAt(camera, x, y);
                worst = std::max({worst, std::fabs(d.x), std::fabs(d.y), std::fabs(d.z)});
            }
        return worst;
    }
};

TEST(CpuSplat, ConvergesAfterFourFramesStillOrSliding)
{
    for (const bool moving : {false, true}) {
        SCOPED_TRACE(moving ? "sliding" : "still");
        SyntheticScene scene;
        scene.moving = moving;
        std::vector<SplatRecord> history;
        std::vector<float> color, depth;
        auto output = [&](std::size_t i) {
            return Vec3{history[i].color[0], history[i].color[1], history[i].color[2]};
        };
        for (int f = 0; f < 6; ++f) {
            SCOPED_TRACE(f);
            const Camera camera = scene.camera(f);
            scene.halfFrame(camera, temporalJitter(f), color, depth);
            ASSERT_TRUE(splatAccumulate(history, f > 0, camera, temporalJitter(f), color, depth));
            for (const SplatRecord& r : history)
                ASSERT_TRUE(r.valid);
            if (f < 3)
                EXPECT_GT(scene.maxError(camera, output), 0.1f);
            else
                EXPECT_LT(scene.maxError(camera, output), 1e-6f);
        }
    }
}

// Old records that project far outside the image (just in front of the
// camera plane but far to the side, or at a position that is not a number)
// are dropped; they never land on a pixel, and every pixel takes the new
// half frame.
TEST(CpuSplat, RecordsProjectingFarOutsideTheImageAreDropped)
{
    const Camera camera = Camera::lookAt({0, 0, 0}, {0, 0, -1}, {0, 1, 0}, 60, 8, 6);
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const Vec3 strays[] = {{1e9f, 0, -0.002f}, {-1e9f, 0, -0.002f}, {0, 1e9f, -0.002f}, {0, -1e9f, -0.002f},
                           {nan, nan, nan}, {0, 0, nan}};
    for (const Vec3& stray : strays) {
        SCOPED_TRACE(std::to_string(stray.x) + " " + std::to_string(stray.y) + " " + std::to_string(stray.z));
        std::vector<SplatRecord> history(8 * 6);
        history[0].valid = true;
        history[0].position = stray;
        history[0].color[0] = 7.0f;
        const std::vector<float> color(4 * 3 * 4, 0.5f), depth(4 * 3, 3.0f);
        splatAccumulate(history, true, camera, temporalJitter(0), color, depth);
        for (const SplatRecord& record : history) {
            ASSERT_TRUE(record.valid);
            EXPECT_EQ(record.color[0], 0.5f);
        }
    }
}

// With an odd width or height the last column or row is never a jitter slot:
// the hole filling of the first frame gives it the nearest half pixel, and a
// still camera carries that record forward; every other pixel holds the
// latest sample taken on it.
TEST(CpuSplat, OddSizesFillTheLastColumnAndRowFromTheNearestHalfPixel)
{
    struct Size {
        std::uint32_t width, height;
    };
    for (const Size size : {Size{7, 5}, Size{7, 6}, Size{8, 5}}) {
        SCOPED_TRACE(std::to_string(size.width) + "x" + std::to_string(size.height));
        const std::uint32_t w = size.width, h = size.height, hw = w / 2, hh = h / 2;
        const Camera camera = Camera::lookAt({0, 0, 0}, {0, 0, -1}, {0, 1, 0}, 50, w, h);
        // Each half pixel of each frame has its own red value.
        auto red = [&](int frame, std::uint32_t x, std::uint32_t y) { return float(frame * 100 + y * hw + x); };
        std::vector<SplatRecord> history;
        const int frames = 6;
        for (int f = 0; f < frames; ++f) {
            std::vector<float> color(std::size_t(hw) * hh * 4, 0.0f), depth(std::size_t(hw) * hh, 4.0f);
            for (std::uint32_t y = 0; y < hh; ++y)
                for (std::uint32_t x = 0; x < hw; ++x)
                    color[(std::size_t(y) * hw + x) * 4] = red(f, x, y);
            splatAccumulate(history, f > 0, camera, temporalJitter(f), color, depth);
        }
        ASSERT_EQ(history.size(), std::size_t(w) * h);
        for (std::uint32_t y = 0; y < h; ++y)
            for (std::uint32_t x = 0; x < w; ++x) {
                const SplatRecord& record = history[std::size_t(y) * w + x];
                ASSERT_TRUE(record.valid) << x << "," << y;
                float expected;
                if (x >= 2 * hw || y >= 2 * hh) {
                    expected = red(0, std::min(x / 2, hw - 1), std::min(y / 2, hh - 1));
                } else {
                    int last = frames - 1;
                    while (temporalJitter(last).x != x % 2 || temporalJitter(last).y != y % 2)
                        --last;
                    expected = red(last, x / 2, y / 2);
                }
                EXPECT_EQ(record.color[0], expected) << x << "," << y;
            }
    }
}

// Every half pixel is read: a half frame smaller than the camera's half
// image (a frame of another size) was read past its end and the history
// rebuilt from it. It is refused and the history kept; the exact size and
// longer lists run.
TEST(CpuSplat, HalfFramesSmallerThanTheCameraAreRefused)
{
    const Camera camera = Camera::lookAt({0, 0, 0}, {0, 0, -1}, {0, 1, 0}, 60, 8, 6);
    struct Case {
        const char* name;
        std::size_t colorFloats, depthFloats;
        const Camera* camera;
        bool runs;
    };
    const Camera thin = Camera::lookAt({0, 0, 0}, {0, 0, -1}, {0, 1, 0}, 60, 1, 6);
    const Case cases[] = {
        {"colour one pixel short", 11 * 4, 12, &camera, false},
        {"depth one pixel short", 12 * 4, 11, &camera, false},
        {"no half frame", 0, 0, &camera, false},
        {"a camera without half pixels", 12 * 4, 12, &thin, false},
        {"exact", 12 * 4, 12, &camera, true},
        {"longer", 13 * 4, 13, &camera, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<SplatRecord> history(5);
        history[2].valid = true;
        history[2].color[0] = 7.0f;
        const std::vector<float> color(c.colorFloats, 0.5f), depth(c.depthFloats, 3.0f);
        EXPECT_EQ(splatAccumulate(history, true, *c.camera, temporalJitter(1), color, depth), c.runs);
        if (!c.runs) {
            ASSERT_EQ(history.size(), 5u);
            EXPECT_TRUE(history[2].valid);
            EXPECT_EQ(history[2].color[0], 7.0f);
            continue;
        }
        ASSERT_EQ(history.size(), 8u * 6u);
        for (const SplatRecord& record : history)
            EXPECT_EQ(record.color[0], 0.5f);
    }
}

// ---- kernels on the device

class TemporalUpscaleOnDevice : public test::OnDeviceTest {};

TEST_F(TemporalUpscaleOnDevice, KernelConvergesAfterFourFramesStillOrSliding)
{
    for (const bool moving : {false, true}) {
        SCOPED_TRACE(moving ? "sliding" : "still");
        SyntheticScene scene;
        scene.moving = moving;
        const std::uint32_t w = scene.kWidth, h = scene.kHeight;
        const std::size_t pixels = std::size_t(w) * h, halfPixels = pixels / 4;
        std::vector<Texel4> history(pixels, Texel4{});
        std::vector<float> color, depth;
        TemporalCamera previous;
        for (int f = 0; f < 6; ++f) {
            SCOPED_TRACE(f);
            const Camera camera = scene.camera(f);
            const Jitter jitter = temporalJitter(f);
            scene.halfFrame(camera, jitter, color, depth);
            std::vector<Texel4> data(halfPixels + 2 * pixels, Texel4{});
            for (std::size_t i = 0; i < halfPixels; ++i)
                data[i] = {color[i * 4], color[i * 4 + 1], color[i * 4 + 2], depth[i]};
            std::copy(history.begin(), history.end(), data.begin() + std::ptrdiff_t(halfPixels));
            const TemporalPush push = packTemporalPush(camera, jitter, previous, f > 0, false);
            const ComputeResult run = runTemporalKernel(context, data, w, h, push);
            ASSERT_TRUE(run.ok) << run.error;
            std::copy(data.begin() + std::ptrdiff_t(halfPixels + pixels), data.end(), history.begin());
            previous = temporalCamera(camera);
            auto output = [&](std::size_t i) { return Vec3{history[i][0], history[i][1], history[i][2]}; };
            // Sliding, the depth a pixel borrows from its block's sample puts its
            // world point a little off the plane, so the history lookup lands a
            // few hundredths of a pixel off; a wrong reprojection is off by whole
            // pixels and errs by the pattern's contrast.
            if (f < 3)
                EXPECT_GT(scene.maxError(camera, output), 0.1f);
            else
                EXPECT_LT(scene.maxError(camera, output), moving ? 0.05f : 1e-3f);
            // Every pixel carries the plane's distance of its 2 x 2 block's sample.
            for (std::uint32_t y = 0; y < h; ++y)
                for (std::uint32_t x = 0; x < w; ++x) {
                    const float expected =
                        scene.depthAt(camera, float((x & ~1u) + jitter.x), float((y & ~1u) + jitter.y));
                    EXPECT_NEAR(history[std::size_t(y) * w + x][3], expected, 1e-4f * expected);
                }
        }
    }
}

// With clamping, history never leaves the range of the fresh samples around
// the pixel's block.
TEST_F(TemporalUpscaleOnDevice, ClampingKeepsHistoryWithinTheFreshNeighbourhood)
{
    SyntheticScene scene;
    const std::uint32_t w = scene.kWidth, h = scene.kHeight;
    const std::size_t pixels = std::size_t(w) * h, halfPixels = pixels / 4;
    std::vector<Texel4> history(pixels, Texel4{});
    std::vector<float> color, depth;
    TemporalCamera previous;
    for (int f = 0; f < 5; ++f) {
        const Camera camera = scene.camera(f);
        const Jitter jitter = temporalJitter(f);
        scene.halfFrame(camera, jitter, color, depth);
        std::vector<Texel4> data(halfPixels + 2 * pixels, Texel4{});
        for (std::size_t i = 0; i < halfPixels; ++i)
            data[i] = {color[i * 4], color[i * 4 + 1], color[i * 4 + 2], depth[i]};
        std::copy(history.begin(), history.end(), data.begin() + std::ptrdiff_t(halfPixels));
        const ComputeResult run =
            runTemporalKernel(context, data, w, h, packTemporalPush(camera, jitter, previous, f > 0, true));
        ASSERT_TRUE(run.ok) << run.error;
        std::copy(data.begin() + std::ptrdiff_t(halfPixels + pixels), data.end(), history.begin());
        previous = temporalCamera(camera);
        if (f == 0)
            continue;
        const int hw = int(w / 2), hh = int(h / 2);
        for (int y = 0; y < int(h); ++y)
            for (int x = 0; x < int(w); ++x)
                for (int c = 0; c < 3; ++c) {
                    float lo = 1e30f, hi = -1e30f;
                    for (int dy = -1; dy <= 1; ++dy)
                        for (int dx = -1; dx <= 1; ++dx) {
                            const int bx = std::clamp(x / 2 + dx, 0, hw - 1), by = std::clamp(y / 2 + dy, 0, hh - 1);
                            const float v = color[(std::size_t(by) * hw + bx) * 4 + c];
                            lo = std::min(lo, v), hi = std::max(hi, v);
                        }
                    const float v = history[std::size_t(y) * w + x][c];
                    EXPECT_GE(v, lo - 1e-5f) << f << ": " << x << "," << y;
                    EXPECT_LE(v, hi + 1e-5f) << f << ": " << x << "," << y;
                }
    }
}

// Bilinear reference of the upscale kernel (clamped taps).
std::vector<Texel4> bilinearReference(const std::vector<Texel4>& low, int lw, int lh, int ow, int oh)
{
    std::vector<Texel4> out(std::size_t(ow) * oh);
    auto at = [&](int x, int y) { return low[std::size_t(std::clamp(y, 0, lh - 1)) * lw + std::clamp(x, 0, lw - 1)]; };
    for (int y = 0; y < oh; ++y)
        for (int x = 0; x < ow; ++x) {
            const double lx = (x + 0.5) * lw / ow - 0.5, ly = (y + 0.5) * lh / oh - 0.5;
            const int ix = int(std::floor(lx)), iy = int(std::floor(ly));
            const double fx = lx - ix, fy = ly - iy;
            Texel4& o = out[std::size_t(y) * ow + x];
            for (int c = 0; c < 3; ++c)
                o[c] = float((1 - fx) * (1 - fy) * at(ix, iy)[c] + fx * (1 - fy) * at(ix + 1, iy)[c] +
                             (1 - fx) * fy * at(ix, iy + 1)[c] + fx * fy * at(ix + 1, iy + 1)[c]);
            o[3] = 1.0f;
        }
    return out;
}

// The kernel indexes its buffer by the size in the push block and writes
// the new history last: a buffer too short for that size, a push block of
// another size, or an image without half samples, would send it past the
// buffer's ends. All are refused before
// anything runs, and the caller's buffer stays as it was.
TEST_F(TemporalUpscaleOnDevice, TemporalKernelRefusesABufferItWouldOverrun)
{
    const Camera camera = Camera::lookAt({0, 1, 3}, {0, 0, 0}, {0, 1, 0}, 50.0f, 9, 7);
    const Camera larger = Camera::lookAt({0, 1, 3}, {0, 0, 0}, {0, 1, 0}, 50.0f, 18, 14);
    const std::size_t needed = std::size_t(9 / 2) * (7 / 2) + 2 * std::size_t(9) * 7;
    struct Case {
        const char* name;
        std::size_t texels;
        const Camera* pushCamera;
    };
    for (const Case c : {Case{"without the new history", needed - 9 * 7, &camera},
                         Case{"one texel short", needed - 1, &camera},
                         Case{"push block of a larger image", needed, &larger}}) {
        SCOPED_TRACE(c.name);
        std::vector<Texel4> data(c.texels, Texel4{0.25f, 0.5f, 0.75f, 2.0f});
        const std::vector<Texel4> before = data;
        const TemporalPush push = packTemporalPush(*c.pushCamera, temporalJitter(1), TemporalCamera{}, false, false);
        const ComputeResult run = runTemporalKernel(context, data, 9, 7, push);
        EXPECT_FALSE(run.ok);
        EXPECT_FALSE(run.error.empty());
        EXPECT_EQ(data, before);
    }
    // Less than 2 pixels wide or high there are no half samples, which every
    // pixel reads: refused, even with a buffer and push block of its size.
    for (const auto& [w, h] : {std::pair{1u, 6u}, std::pair{6u, 1u}, std::pair{1u, 1u}}) {
        SCOPED_TRACE(std::to_string(w) + "x" + std::to_string(h));
        const Camera small = Camera::lookAt({0, 1, 3}, {0, 0, 0}, {0, 1, 0}, 50.0f, w, h);
        std::vector<Texel4> data(std::size_t(w / 2) * (h / 2) + 2 * std::size_t(w) * h, Texel4{0.25f, 0.5f, 0.75f, 2.0f});
        const std::vector<Texel4> before = data;
        const ComputeResult run = runTemporalKernel(
            context, data, w, h, packTemporalPush(small, temporalJitter(1), TemporalCamera{}, true, false));
        EXPECT_FALSE(run.ok);
        EXPECT_FALSE(run.error.empty());
        EXPECT_EQ(data, before);
    }
    // The exact size runs.
    std::vector<Texel4> data(needed, Texel4{0.25f, 0.5f, 0.75f, 2.0f});
    const ComputeResult run =
        runTemporalKernel(context, data, 9, 7, packTemporalPush(camera, temporalJitter(1), TemporalCamera{}, false, false));
    EXPECT_TRUE(run.ok) << run.error;
}

// The upscale kernel clamps its reads into the low image and divides its
// edge weights by the tolerance: an empty low image was read before the
// buffer, a short pixel list upscaled zeros, and a tolerance of 0 gave
// colours that are not numbers, each reported as a success. They are
// refused, the output list kept; the plain cases still run.
TEST_F(TemporalUpscaleOnDevice, UpscaleRefusesInputsItCannotReadOrWeigh)
{
    struct Case {
        const char* name;
        std::size_t pixels;
        std::uint32_t lw, lh;
        UpscaleMode mode;
        float tolerance;
        bool runs;
    };
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const Case cases[] = {
        {"empty low image", 0, 0, 0, UpscaleMode::bilinear, 0.03f, false},
        {"no low rows", 0, 4, 0, UpscaleMode::edge, 0.03f, false},
        {"one pixel short", 15, 4, 4, UpscaleMode::bilinear, 0.03f, false},
        {"edge tolerance 0", 16, 4, 4, UpscaleMode::edge, 0.0f, false},
        {"negative edge tolerance", 16, 4, 4, UpscaleMode::edge, -0.03f, false},
        {"edge tolerance not a number", 16, 4, 4, UpscaleMode::edge, nan, false},
        {"bilinear ignores the tolerance", 16, 4, 4, UpscaleMode::bilinear, 0.0f, true},
        {"one low pixel", 1, 1, 1, UpscaleMode::edge, 0.03f, true},
        {"longer list than the image", 20, 4, 4, UpscaleMode::edge, 0.03f, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<Texel4> low(c.pixels, Texel4{0.2f, 0.4f, 0.6f, 2.0f});
        if (c.pixels > 1)
            low[1][3] = 9.0f;  // a depth edge, which edge mode weighs
        const std::vector<Texel4> kept(3, Texel4{7.0f, 7.0f, 7.0f, 7.0f});
        std::vector<Texel4> out = kept;
        const ComputeResult run = runUpscaleKernel(context, low, c.lw, c.lh, 8, 8, c.mode, c.tolerance, out);
        EXPECT_EQ(run.ok, c.runs) << run.error;
        if (!c.runs) {
            EXPECT_FALSE(run.error.empty());
            EXPECT_EQ(out, kept);
            continue;
        }
        ASSERT_EQ(out.size(), 64u);
        for (const Texel4& o : out)
            for (int k = 0; k < 4; ++k)
                ASSERT_TRUE(std::isfinite(o[k]));
    }
}

TEST_F(TemporalUpscaleOnDevice, BilinearMatchesTheReference)
{
    struct Case {
        const char* name;
        std::function<Texel4(int, int)> pixel;
        int lw, lh, ow, oh;
    };
    const Case cases[] = {
        {"constant", [](int, int) { return Texel4{0.3f, 0.5f, 0.7f, 4.0f}; }, 8, 8, 16, 16},
        {"ramp", [](int x, int y) { return Texel4{0.05f * x, 0.1f * y, 0.02f * (x + y), 3.0f + x}; }, 12, 8, 24, 16},
        {"odd sizes", [](int x, int y) { return Texel4{0.1f * x, 0.07f * y, 0.5f, 2.0f}; }, 7, 5, 15, 11},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<Texel4> low(std::size_t(c.lw) * c.lh);
        for (int y = 0; y < c.lh; ++y)
            for (int x = 0; x < c.lw; ++x)
                low[std::size_t(y) * c.lw + x] = c.pixel(x, y);
        std::vector<Texel4> out;
        const ComputeResult run = runUpscaleKernel(context, low, c.lw, c.lh, c.ow, c.oh, UpscaleMode::bilinear,
                                                   0.03f, out);
        ASSERT_TRUE(run.ok) << run.error;
        const std::vector<Texel4> expected = bilinearReference(low, c.lw, c.lh, c.ow, c.oh);
        ASSERT_EQ(out.size(), expected.size());
        for (std::size_t i = 0; i < out.size(); ++i)
            for (int k = 0; k < 4; ++k)
                ASSERT_NEAR(out[i][k], expected[i][k], 1e-5f) << i << " channel " << k;
    }
}

// Where the depth is smooth, the edge mode's Catmull-Rom filter reproduces
// a linear ramp exactly, as bilinear does.
TEST_F(TemporalUpscaleOnDevice, EdgeModeKeepsSmoothRegionsLinear)
{
    const int lw = 12, lh = 10;
    std::vector<Texel4> low(std::size_t(lw) * lh);
    for (int y = 0; y < lh; ++y)
        for (int x = 0; x < lw; ++x)
            low[std::size_t(y) * lw + x] = {0.04f * x, 0.06f * y, 0.5f, 5.0f};
    std::vector<Texel4> edge, bilinear;
    ASSERT_TRUE(runUpscaleKernel(context, low, lw, lh, 24, 20, UpscaleMode::edge, 0.03f, edge).ok);
    ASSERT_TRUE(runUpscaleKernel(context, low, lw, lh, 24, 20, UpscaleMode::bilinear, 0.03f, bilinear).ok);
    for (int y = 4; y < 16; ++y)
        for (int x = 4; x < 20; ++x)
            for (int c = 0; c < 3; ++c)
                EXPECT_NEAR(edge[std::size_t(y) * 24 + x][c], bilinear[std::size_t(y) * 24 + x][c], 1e-5f);
}

TEST_F(TemporalUpscaleOnDevice, EdgeModeKeepsADepthEdgeSharp)
{
    // Near red on the left half, far blue on the right.
    const int lw = 16, lh = 8;
    std::vector<Texel4> low(std::size_t(lw) * lh);
    for (int y = 0; y < lh; ++y)
        for (int x = 0; x < lw; ++x)
            low[std::size_t(y) * lw + x] = x < lw / 2 ? Texel4{1, 0, 0, 2.0f} : Texel4{0, 0, 1, 20.0f};
    std::vector<Texel4> edge, bilinear;
    ASSERT_TRUE(runUpscaleKernel(context, low, lw, lh, 32, 16, UpscaleMode::edge, 0.03f, edge).ok);
    ASSERT_TRUE(runUpscaleKernel(context, low, lw, lh, 32, 16, UpscaleMode::bilinear, 0.03f, bilinear).ok);
    int blended = 0;
    for (int y = 0; y < 16; ++y)
        for (int x = 0; x < 32; ++x) {
            const Texel4& e = edge[std::size_t(y) * 32 + x];
            const float red = x < 16 ? 1.0f : 0.0f;
            EXPECT_NEAR(e[0], red, 1e-3f) << x << "," << y;
            EXPECT_NEAR(e[2], 1.0f - red, 1e-3f) << x << "," << y;
            const float b = bilinear[std::size_t(y) * 32 + x][0];
            blended += (b > 0.1f && b < 0.9f) ? 1 : 0;
        }
    // Bilinear does blend across the edge, so the test can tell the two apart.
    EXPECT_EQ(blended, 2 * 16);
}

// ---- the kernels against a plain processor transcription of their rules

float catmullRomWeight(float x)
{
    const float a = std::fabs(x);
    if (a < 1.0f)
        return (1.5f * a - 2.5f) * a * a + 1.0f;
    if (a < 2.0f)
        return ((-0.5f * a + 2.5f) * a - 4.0f) * a + 2.0f;
    return 0.0f;
}

// One output pixel of a reference kernel; `borderline` marks a pixel whose
// outcome hangs on a comparison closer to its threshold than float rounding
// can tell, which the comparison then skips.
struct ReferencePixel {
    Texel4 value{};
    bool borderline = false;
    bool fromHistory = false;  // the temporal kernel took the previous history
};

bool near(float a, float b, float scale) { return std::fabs(a - b) <= 1e-4f * std::max(1.0f, scale); }

// The 4 x 4 Catmull-Rom filter of one channel around tap (ix, iy) at
// fraction (fx, fy), divided by its weight sum.
template <typename Fetch>
float catmullRomFilter(const Fetch& fetch, int ix, int iy, float fx, float fy, int channel)
{
    float sum = 0.0f, weights = 0.0f;
    for (int y = -1; y <= 2; ++y)
        for (int x = -1; x <= 2; ++x) {
            const float w = catmullRomWeight(float(x) - fx) * catmullRomWeight(float(y) - fy);
            sum += fetch(ix + x, iy + y)[channel] * w;
            weights += w;
        }
    return sum / weights;
}

// The mean colour of four taps (00, 10, 01, 11) by their bilinear weights
// at (fx, fy), each times exp(-rel^2) + 1e-6 with rel = |depth - reference| / scale.
std::array<float, 3> depthWeightedMean(const Texel4 (&s)[4], float fx, float fy, float reference, float scale)
{
    const float bilinear[4] = {(1 - fx) * (1 - fy), fx * (1 - fy), (1 - fx) * fy, fx * fy};
    std::array<float, 3> color{};
    float weights = 0.0f;
    for (int k = 0; k < 4; ++k) {
        const float rel = std::fabs(s[k][3] - reference) / scale;
        const float w = bilinear[k] * (std::exp(-rel * rel) + 1e-6f);
        for (int c = 0; c < 3; ++c)
            color[c] += s[k][c] * w;
        weights += w;
    }
    for (float& c : color)
        c /= weights;
    return color;
}

// The temporal kernel's rules for full-resolution pixel (px, py), read from
// the push block as the kernel reads it.
ReferencePixel temporalReference(const std::vector<Texel4>& data, const TemporalPush& push, int px, int py)
{
    const int W = int(push.curPos[3]), H = int(push.curFwd[3]), lowW = W / 2, lowH = H / 2;
    auto low = [&](int x, int y) {
        return data[std::size_t(std::clamp(y, 0, lowH - 1)) * lowW + std::size_t(std::clamp(x, 0, lowW - 1))];
    };
    auto prevHist = [&](int x, int y) {
        return data[std::size_t(lowW) * lowH + std::size_t(std::clamp(y, 0, H - 1)) * W +
                    std::size_t(std::clamp(x, 0, W - 1))];
    };
    auto v3 = [](const float* f) { return Vec3{f[0], f[1], f[2]}; };
    ReferencePixel out;
    const int bx = px / 2, by = py / 2;
    const int sx = int(push.curRight[3]), sy = int(push.curUp[3]);
    const Texel4 fresh = low(bx, by);
    if (px - 2 * bx == sx && py - 2 * by == sy) {
        out.value = fresh;
        return out;
    }
    const float tEst = fresh[3];
    const float ndcX = (float(px) + 0.5f) / float(W) * 2.0f - 1.0f;
    const float ndcY = (float(py) + 0.5f) / float(H) * 2.0f - 1.0f;
    const Vec3 dir = normalizeSafe(v3(push.curFwd) + v3(push.curRight) * ndcX - v3(push.curUp) * ndcY);
    const bool sky = tEst >= 1e29f;
    const Vec3 world = v3(push.curPos) + dir * std::min(tEst, 100000.0f);
    const float tol = push.prevRightP[3];
    bool accepted = false;
    float color[3] = {0, 0, 0};
    if (push.prevPos[3] > 0.5f) {
        const Vec3 v = world - v3(push.prevPos);
        const float z = dot(v, v3(push.prevFwd));
        out.borderline |= near(z, 0.0001f, 1.0f);
        if (z > 0.0001f) {
            const float qx = dot(v, v3(push.prevRightP)) / z, qy = -dot(v, v3(push.prevUpP)) / z;
            const float ppx = (qx + 1.0f) * 0.5f * float(W) - 0.5f, ppy = (qy + 1.0f) * 0.5f * float(H) - 0.5f;
            // At the image's edges and at rounding halves the lookup changes
            // pixels (the filter itself is continuous across whole pixels).
            for (const auto& [p, size] : {std::pair{ppx, float(W)}, std::pair{ppy, float(H)}})
                out.borderline |= near(p, -0.5f, 1.0f) || near(p, size - 0.5f, 1.0f) ||
                    near(p - std::floor(p), 0.5f, 1.0f);
            if (ppx >= -0.5f && ppy >= -0.5f && ppx < float(W) - 0.5f && ppy < float(H) - 0.5f) {
                const Texel4 hn = prevHist(int(std::lround(ppx)), int(std::lround(ppy)));
                const float expected = length(world - v3(push.prevPos));
                const bool hSky = hn[3] >= 1e29f;
                if (!sky && !hSky)
                    out.borderline |= near(std::fabs(hn[3] - expected), tol * expected, expected);
                accepted = sky ? hSky : (!hSky && std::fabs(hn[3] - expected) <= tol * expected);
                if (accepted) {
                    const int ix = int(std::floor(ppx)), iy = int(std::floor(ppy));
                    const float fx = ppx - float(ix), fy = ppy - float(iy);
                    for (int c = 0; c < 3; ++c) {
                        const float filtered = catmullRomFilter(prevHist, ix, iy, fx, fy, c);
                        const float h00 = prevHist(ix, iy)[c], h10 = prevHist(ix + 1, iy)[c];
                        const float h01 = prevHist(ix, iy + 1)[c], h11 = prevHist(ix + 1, iy + 1)[c];
                        color[c] = std::clamp(filtered, std::min({h00, h10, h01, h11}),
                                              std::max({h00, h10, h01, h11}));
                        if (push.prevFwd[3] > 0.5f) {
                            float lo = 1e30f, hi = -1e30f;
                            for (int y = -1; y <= 1; ++y)
                                for (int x = -1; x <= 1; ++x) {
                                    lo = std::min(lo, low(bx + x, by + y)[c]);
                                    hi = std::max(hi, low(bx + x, by + y)[c]);
                                }
                            color[c] = std::clamp(color[c], lo, hi);
                        }
                    }
                }
            }
        }
    }
    if (!accepted) {
        const float lx = ((float(px) + 0.5f) - float(sx) - 0.5f) * 0.5f;
        const float ly = ((float(py) + 0.5f) - float(sy) - 0.5f) * 0.5f;
        const int ix = int(std::floor(lx)), iy = int(std::floor(ly));
        const float fx = lx - float(ix), fy = ly - float(iy);
        const Texel4 s[4] = {low(ix, iy), low(ix + 1, iy), low(ix, iy + 1), low(ix + 1, iy + 1)};
        const std::array<float, 3> mean = depthWeightedMean(s, fx, fy, tEst, tol * std::max(tEst, 0.001f));
        std::copy(mean.begin(), mean.end(), color);
    }
    out.value = {color[0], color[1], color[2], tEst};
    out.fromHistory = accepted;
    return out;
}

// A tilted plane with a hole, a smooth colour over it, seen from above by a
// camera that slides sideways and forwards by fractions of a pixel.
struct TiltedPlaneScene {
    std::uint32_t width = 24, height = 18;
    Camera camera(int frame) const
    {
        const Vec3 eye{0.037f * float(frame), 6.0f, 0.021f * float(frame)};
        return Camera::lookAt(eye, eye + Vec3{0.1f, -1.0f, -0.4f}, {0, 1, 0}, 40, width, height);
    }
    // Distance along the ray to the plane y = 0.2 x - 0.1 z, which has a
    // hole (sky) beyond x = 1.2, or 1e30.
    float distance(const Camera& camera, float x, float y) const
    {
        const Vec3 d = rayOf(camera, x, y), o = camera.position;
        const float denominator = d.y - 0.2f * d.x + 0.1f * d.z;
        const float t = -(o.y - 0.2f * o.x + 0.1f * o.z) / denominator;
        return t > 0.0f && (o + d * t).x < 1.2f ? t : 1e30f;
    }
    Texel4 sample(const Camera& camera, float x, float y) const
    {
        const float t = distance(camera, x, y);
        if (t >= 1e29f)
            return {0.3f, 0.5f, 0.9f, t};
        const Vec3 p = camera.position + rayOf(camera, x, y) * t;
        return {0.5f + 0.5f * std::sin(3.1f * p.x), 0.5f + 0.5f * std::cos(2.3f * p.z),
                std::fmod(std::fabs(p.x + p.z), 1.0f), t};
    }
};

// An odd width or height leaves the last column or row without a sample of
// its own: the kernel's clamped lookups fill it, by the same rules.
TEST_F(TemporalUpscaleOnDevice, TemporalKernelFollowsItsRulesPixelByPixel)
{
    const TiltedPlaneScene scenes[] = {{24, 18}, {25, 19}};
    for (const auto& [scene, clamp] : {std::pair{scenes[0], false}, std::pair{scenes[0], true},
                                       std::pair{scenes[1], false}, std::pair{scenes[1], true}}) {
        SCOPED_TRACE(std::string(clamp ? "gpu+clamp " : "gpu-backward ") + std::to_string(scene.width) + "x" +
                     std::to_string(scene.height));
        const std::uint32_t w = scene.width, h = scene.height, hw = w / 2, hh = h / 2;
        const std::size_t pixels = std::size_t(w) * h, halfPixels = std::size_t(hw) * hh;
        std::vector<Texel4> history(pixels, Texel4{});
        TemporalCamera previous;
        int compared = 0, accepted = 0, fresh = 0;
        for (int f = 0; f < 6; ++f) {
            SCOPED_TRACE(f);
            const Camera camera = scene.camera(f);
            const Jitter jitter = temporalJitter(f);
            const Camera half = temporalHalfCamera(camera, jitter);
            std::vector<Texel4> data(halfPixels + 2 * pixels, Texel4{});
            for (std::uint32_t y = 0; y < hh; ++y)
                for (std::uint32_t x = 0; x < hw; ++x)
                    data[std::size_t(y) * hw + x] = scene.sample(half, float(x), float(y));
            std::copy(history.begin(), history.end(), data.begin() + std::ptrdiff_t(halfPixels));
            const std::vector<Texel4> input = data;
            const TemporalPush push = packTemporalPush(camera, jitter, previous, f > 0, clamp);
            const ComputeResult run = runTemporalKernel(context, data, w, h, push);
            ASSERT_TRUE(run.ok) << run.error;
            for (std::uint32_t y = 0; y < h; ++y)
                for (std::uint32_t x = 0; x < w; ++x) {
                    const ReferencePixel expected = temporalReference(input, push, int(x), int(y));
                    if (expected.borderline)
                        continue;
                    ++compared;
                    const Texel4& got = data[halfPixels + pixels + std::size_t(y) * w + x];
                    for (int c = 0; c < 3; ++c)
                        ASSERT_NEAR(got[c], expected.value[c], 2e-4f) << x << "," << y << " channel " << c;
                    ASSERT_NEAR(got[3], expected.value[3], 1e-5f * expected.value[3]) << x << "," << y;
                    // How the pixel came about, so both paths are known to be taken.
                    fresh += x % 2 == jitter.x && y % 2 == jitter.y ? 1 : 0;
                    accepted += expected.fromHistory ? 1 : 0;
                }
            std::copy(data.begin() + std::ptrdiff_t(halfPixels + pixels), data.end(), history.begin());
            previous = temporalCamera(camera);
        }
        // Nearly every pixel is compared, and both the history and the
        // fresh-sample paths are taken many times.
        EXPECT_GT(compared, int(6 * pixels * 9 / 10));
        EXPECT_GT(accepted, int(pixels));
        EXPECT_GT(fresh, int(pixels));
    }
}

// The upscale kernel's rules for output pixel (ox, oy).
ReferencePixel upscaleReference(const std::vector<Texel4>& low, int lw, int lh, int ow, int oh, UpscaleMode mode,
                                float tolerance, int ox, int oy)
{
    auto at = [&](int x, int y) { return low[std::size_t(std::clamp(y, 0, lh - 1)) * lw + std::clamp(x, 0, lw - 1)]; };
    ReferencePixel out;
    const float lx = (float(ox) + 0.5f) * float(lw) / float(ow) - 0.5f;
    const float ly = (float(oy) + 0.5f) * float(lh) / float(oh) - 0.5f;
    const int ix = int(std::floor(lx)), iy = int(std::floor(ly));
    const float fx = lx - float(ix), fy = ly - float(iy);
    const Texel4 c[4] = {at(ix, iy), at(ix + 1, iy), at(ix, iy + 1), at(ix + 1, iy + 1)};
    const float bilinear[4] = {(1 - fx) * (1 - fy), fx * (1 - fy), (1 - fx) * fy, fx * fy};
    float color[3] = {0, 0, 0};
    if (mode == UpscaleMode::bilinear) {
        for (int k = 0; k < 4; ++k)
            for (int ch = 0; ch < 3; ++ch)
                color[ch] += c[k][ch] * bilinear[k];
    } else {
        const float dMin = std::min({c[0][3], c[1][3], c[2][3], c[3][3]});
        const float dMax = std::max({c[0][3], c[1][3], c[2][3], c[3][3]});
        out.borderline = near(dMax, dMin * (1.0f + tolerance), dMax) || near(fx, 0.5f, 1.0f) || near(fy, 0.5f, 1.0f);
        if (dMax > dMin * (1.0f + tolerance)) {
            const float dRef = c[(fy >= 0.5f ? 2 : 0) + (fx >= 0.5f ? 1 : 0)][3];
            const std::array<float, 3> mean = depthWeightedMean(c, fx, fy, dRef, tolerance * dRef);
            std::copy(mean.begin(), mean.end(), color);
        } else {
            for (int ch = 0; ch < 3; ++ch) {
                const float filtered = catmullRomFilter(at, ix, iy, fx, fy, ch);
                color[ch] = std::clamp(filtered, std::min({c[0][ch], c[1][ch], c[2][ch], c[3][ch]}),
                                       std::max({c[0][ch], c[1][ch], c[2][ch], c[3][ch]}));
            }
        }
    }
    out.value = {color[0], color[1], color[2], 1.0f};
    return out;
}

TEST_F(TemporalUpscaleOnDevice, UpscaleKernelFollowsItsRulesPixelByPixel)
{
    struct Case {
        int lw, lh, ow, oh;
    };
    // Twice the size, an odd size, and a factor that is not a whole number.
    const Case cases[] = {{12, 9, 24, 18}, {11, 7, 23, 15}, {10, 8, 17, 13}};
    std::uint32_t seed = 12345u;
    auto next = [&seed] {
        seed = seed * 1664525u + 1013904223u;
        return float(seed >> 8) / float(1u << 24);
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(std::to_string(k.lw) + "x" + std::to_string(k.lh) + " to " + std::to_string(k.ow) + "x" +
                     std::to_string(k.oh));
        // Noisy colours over depths with steps (edges) and gentle slopes.
        std::vector<Texel4> low(std::size_t(k.lw) * k.lh);
        for (int y = 0; y < k.lh; ++y)
            for (int x = 0; x < k.lw; ++x)
                low[std::size_t(y) * k.lw + x] = {next(), next(), next(),
                                                  (x + y) % 5 < 2 ? 4.0f + 0.01f * x : 9.0f + 0.02f * y};
        for (const UpscaleMode mode : {UpscaleMode::bilinear, UpscaleMode::edge}) {
            std::vector<Texel4> out;
            const ComputeResult run = runUpscaleKernel(context, low, k.lw, k.lh, k.ow, k.oh, mode, 0.03f, out);
            ASSERT_TRUE(run.ok) << run.error;
            ASSERT_EQ(out.size(), std::size_t(k.ow) * k.oh);
            int compared = 0;
            for (int y = 0; y < k.oh; ++y)
                for (int x = 0; x < k.ow; ++x) {
                    const ReferencePixel expected = upscaleReference(low, k.lw, k.lh, k.ow, k.oh, mode, 0.03f, x, y);
                    if (expected.borderline)
                        continue;
                    ++compared;
                    for (int c = 0; c < 4; ++c)
                        ASSERT_NEAR(out[std::size_t(y) * k.ow + x][c], expected.value[c], 2e-5f)
                            << x << "," << y << " channel " << c << (mode == UpscaleMode::edge ? " edge" : " bilinear");
                }
            EXPECT_GT(compared, k.ow * k.oh * 3 / 4);
        }
    }
}

// ---- the whole experiment on a small scene

DisplacementField hillField()
{
    std::vector<float> heights(64 * 64);
    for (int y = 0; y < 64; ++y)
        for (int x = 0; x < 64; ++x)
            heights[std::size_t(y) * 64 + x] =
                0.4f + 0.2f * std::sin(0.2f * float(x)) * std::cos(0.15f * float(y));
    return DisplacementField(64, 64, std::span<const float>(heights), true);
}

TEST_F(TemporalUpscaleOnDevice, ExperimentPrintsItsLineAndWritesBothImages)
{
    Scene scene;
    scene.addField(hillField());
    scene.addPrism(makePrism({-4, 0, 4}, {1, 0, 0}, {0, 0, -1}, 8, 8, 1, 0));
    scene.refreshPrisms();
    GpuRenderer renderer;
    std::string error;
    ASSERT_TRUE(renderer.init(context, scene, &error)) << error;
    ThreadPool pool(2);
    const SceneTracer tracer(scene, TraceSettings{});
    TileRenderer tiles(&pool, &tracer);
    ViewPreset view;
    view.name = "hills";
    view.eye = {0.5f, 3.0f, 6.0f};
    view.target = {0, 0.4f, 0};
    view.fovDegrees = 50.0f;

    // The images stay for a person to look at.
    const std::filesystem::path dir = test::artifactDir("gpu");
    struct Method {
        const char* name;
        const char* tag;
        VulkanContext* device;
        bool clamp;
    };
    const Method methods[] = {{"cpu-splat", "splat", nullptr, false}, {"gpu-backward", "gpu", &context, false},
                              {"gpu+clamp", "clamp", &context, true}};
    for (const Method& m : methods) {
        SCOPED_TRACE(m.name);
        const std::string base = (dir / (std::string("temporal_hills_") + m.tag)).string();
        std::filesystem::remove(base + "_temporal.png");
        std::filesystem::remove(base + "_native.png");
        testing::internal::CaptureStdout();
        const bool ran = runTemporalTest(renderer, tiles, view, RenderSettings{}, 48, 32, 6, 0.0f, 0.0f, base,
                                         toneMap8, m.device, m.clamp);
        const std::string printed = testing::internal::GetCapturedStdout();
        EXPECT_TRUE(ran) << printed;
        char method[32] = {};
        float speed = -1, psnr = -1, half = -1, accum = -1, native = -1;
        ASSERT_EQ(std::sscanf(printed.c_str(), "  [hills ] %31s speed %f: PSNR %f dB | half %f ms + accum %f ms vs native %f ms",
                              method, &speed, &psnr, &half, &accum, &native), 6)
            << printed;
        EXPECT_STREQ(method, m.name);
        EXPECT_EQ(speed, 0.0f);
        // A static camera has seen every pixel after four frames.
        EXPECT_GT(psnr, 30.0f) << printed;
        if (!m.device) {
            // Splatting a still camera puts every native sample back exactly.
            EXPECT_GT(psnr, 100.0f) << printed;
            EXPECT_EQ(accum, 0.0f);
        }
        EXPECT_TRUE(std::filesystem::exists(base + "_temporal.png"));
        EXPECT_TRUE(std::filesystem::exists(base + "_native.png"));
    }

    // Four frames measure nothing: averages of zero.
    testing::internal::CaptureStdout();
    const test::TempDir scratch;
    runTemporalTest(renderer, tiles, view, RenderSettings{}, 32, 32, 4, 0.0f, 0.0f, scratch.file("short"), toneMap8,
                    nullptr, false);
    const std::string printed = testing::internal::GetCapturedStdout();
    EXPECT_NE(printed.find("PSNR 0.00 dB | half 0.00 ms + accum 0.00 ms vs native 0.00 ms"), std::string::npos)
        << printed;

    // Failures end the method with a message and a false result: a frame too
    // small for a half-resolution frame renders nothing; images that cannot
    // be written are named.
    struct Failure {
        unsigned width, height;
        std::string base;
        std::string message;
    };
    const Failure failures[] = {
        {1, 32, scratch.file("thin"), "    temporal: the half-resolution frame of 1x32 is empty\n"},
        {32, 1, scratch.file("flat"), "    temporal: the half-resolution frame of 32x1 is empty\n"},
        {8, 8, scratch.file("missing/dir"), "cannot write " + scratch.file("missing/dir") + "_temporal.png\n"},
    };
    for (const Failure& f : failures) {
        SCOPED_TRACE(f.base);
        testing::internal::CaptureStdout();
        const bool ran = runTemporalTest(renderer, tiles, view, RenderSettings{}, f.width, f.height, 5, 0.0f, 0.0f,
                                         f.base, toneMap8, &context, false);
        const std::string text = testing::internal::GetCapturedStdout();
        EXPECT_FALSE(ran);
        EXPECT_NE(text.find(f.message), std::string::npos) << text;
        EXPECT_FALSE(std::filesystem::exists(f.base + "_temporal.png"));
    }
}

} // namespace
} // namespace qlmr
