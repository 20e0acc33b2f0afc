// The per-pixel diagnosis lines of the standard comparison, for pixels
// inside and outside the frames they read.
#include "debug_pixel.h"

#include "scene/camera.h"
#include "scene/gbuffer.h"
#include "scene/scene.h"
#include "scene/scene_tracer.h"

#include <gtest/gtest.h>

#include <string>

namespace qlmr {
namespace {

constexpr std::uint32_t kEdge = 4;

Camera camera()
{
    return Camera::lookAt(Vec3{0.0f, 1.0f, 3.0f}, Vec3{0.0f, 0.0f, 0.0f}, Vec3{0.0f, 1.0f, 0.0f}, 40.0f, kEdge,
                          kEdge);
}

GpuFrame keptFrame()
{
    GpuFrame f;
    f.ok = true;
    f.width = kEdge;
    f.height = kEdge;
    f.color.assign(kEdge * kEdge * 4, 0.5f);
    f.depth.assign(kEdge * kEdge, 2.0f);
    f.normal.assign(kEdge * kEdge * 4, 0.0f);
    return f;
}

struct Pixel {
    int x;
    int y;
};

const Pixel kOutside[] = {{-1, 0}, {0, -1}, {static_cast<int>(kEdge), 0}, {0, static_cast<int>(kEdge)}};

// Outside the reference frame (or in a frame never rendered) the CPU side
// has nothing to say; inside it traces the pixel and says so.
TEST(DebugPixel, CpuLineOnlyForAPixelOfTheFrame)
{
    const Scene scene;
    const SceneTracer tracer(scene, TraceSettings{});
    const RenderSettings settings;
    GBuffer frame;
    ASSERT_TRUE(frame.resize(kEdge, kEdge));
    for (const Pixel p : kOutside)
        EXPECT_EQ(cpuDebugPixelLine("wide", tracer, nullptr, camera(), settings, {}, frame, p.x, p.y), "")
            << p.x << "," << p.y;
    EXPECT_EQ(cpuDebugPixelLine("wide", tracer, nullptr, camera(), settings, {}, GBuffer{}, 0, 0), "");
    const std::string inside = cpuDebugPixelLine("wide", tracer, nullptr, camera(), settings, {}, frame, 1, 2);
    EXPECT_EQ(inside.rfind("  [wide  ] px (1,2) CPU: t=", 0), 0u) << inside;
}

// The GPU side reads the kept frame: a pixel outside it, or a kept frame
// whose planes do not hold the pixel (a failed frame), gives no line; debug
// views that fail show -1.
TEST(DebugPixel, GpuLineOnlyForAPixelTheKeptFrameHolds)
{
    GpuRenderer renderer;  // never initialised: every debug view fails
    const RenderSettings settings;
    const GpuViewData data;
    const GpuFrame kept = keptFrame();
    for (const Pixel p : kOutside)
        EXPECT_EQ(gpuDebugPixelLine("wide", renderer, camera(), settings, data, 0.0f, true, kept, p.x, p.y), "")
            << p.x << "," << p.y;
    GpuFrame failed;
    failed.width = kEdge;
    failed.height = kEdge;
    for (const GpuFrame& empty : {GpuFrame{}, failed})
        EXPECT_EQ(gpuDebugPixelLine("wide", renderer, camera(), settings, data, 0.0f, true, empty, 0, 0), "");
    const std::string inside = gpuDebugPixelLine("wide", renderer, camera(), settings, data, 0.0f, true, kept, 3, 3);
    EXPECT_EQ(inside.rfind("  [wide  ] px (3,3) GPU: t=2.00000 ", 0), 0u) << inside;
    EXPECT_NE(inside.find("albedo=(-1.0000,-1.0000,-1.0000)"), std::string::npos) << inside;
}

} // namespace
} // namespace qlmr
