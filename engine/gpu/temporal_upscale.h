#pragma once

// Rendering fewer rays per frame and reconstructing the full image:
// temporal accumulation of jittered half-resolution frames (on the
// processor by splatting, or by a compute kernel that looks up the previous
// history for every output pixel) and spatial upscaling of one
// half-resolution frame by a compute kernel.

#include "gpu/gpu_renderer.h"
#include "gpu/one_shot_compute.h"
#include "scene/camera.h"
#include "scene/settings.h"
#include "scene/vec3.h"

#include <array>
#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <vector>

namespace qlmr {

class TileRenderer;

// Colour r, g, b and a depth: one pixel of the kernels' buffers.
using Texel4 = std::array<float, 4>;

// Push block of the temporal kernel (128 bytes).
struct TemporalPush {
    float curPos[4];     // w: full width
    float curFwd[4];     // w: full height
    float curRight[4];   // right * tanHalfFov * aspect; w: jitter x
    float curUp[4];      // up * tanHalfFov; w: jitter y
    float prevPos[4];    // w: 1 when a history exists
    float prevFwd[4];    // w: 1 for history clamping
    float prevRightP[4]; // right / (tanHalfFov * aspect); w: depth tolerance
    float prevUpP[4];    // up / tanHalfFov
};
static_assert(sizeof(TemporalPush) == 128);

enum class UpscaleMode : std::uint32_t { bilinear = 0, edge = 1 };

// Push block of the upscale kernel (24 bytes).
struct UpscalePush {
    std::int32_t lowSize[2];
    std::int32_t outSize[2];
    std::uint32_t mode;
    float edgeTolerance;
};
static_assert(sizeof(UpscalePush) == 24);

// The camera a history was made with; the defaults stand in before any exists.
struct TemporalCamera {
    Vec3 position{0.0f, 0.0f, 0.0f};
    Vec3 forward{0.0f, 0.0f, -1.0f};
    Vec3 right{1.0f, 0.0f, 0.0f};
    Vec3 up{0.0f, 1.0f, 0.0f};
    float tanHalfFov = 0.57735f;
    float aspect = 1.0f;
};
TemporalCamera temporalCamera(const Camera& camera);

// Which pixel of each 2 x 2 block frame f samples: (0, 0), (1, 1), (1, 0), (0, 1).
struct Jitter {
    std::uint32_t x = 0;
    std::uint32_t y = 0;
};
Jitter temporalJitter(int frame);

// The half-resolution camera whose pixel (x, y) centres on full pixel
// (2x + jitter x, 2y + jitter y) of `full`.
Camera temporalHalfCamera(const Camera& full, Jitter jitter);

TemporalPush packTemporalPush(const Camera& current, Jitter jitter, const TemporalCamera& previous, bool hasHistory,
                              bool clamp, float depthTolerance = 0.03f);

// Runs the temporal kernel over `data`: width/2 x height/2 fresh samples,
// then width x height of previous history, then width x height that the
// kernel fills with the new history. A shorter buffer, a push block packed
// for another size, or an image less than 2 pixels wide or high (no half
// samples) is refused (ok false) before anything runs.
ComputeResult runTemporalKernel(VulkanContext& context, std::span<Texel4> data, std::uint32_t width,
                                std::uint32_t height, const TemporalPush& push);

// Upscales lowWidth x lowHeight pixels (colour, w = depth) to outWidth x
// outHeight colours (w = 1) in `out`; the kernel's result says whether it ran.
// An empty low image (with a non-empty output), fewer than lowWidth x
// lowHeight pixels in `low`, or an edge tolerance that is not a finite
// number above 0 in edge mode is refused (ok false) and `out` kept.
ComputeResult runUpscaleKernel(VulkanContext& context, std::span<const Texel4> low, std::uint32_t lowWidth,
                               std::uint32_t lowHeight, std::uint32_t outWidth, std::uint32_t outHeight,
                               UpscaleMode mode, float edgeTolerance, std::vector<Texel4>& out);

// ---- processor splatting

// One full-resolution history pixel of the processor method.
struct SplatRecord {
    float color[3] = {0.0f, 0.0f, 0.0f};
    float depth = 0.0f; // distance from the camera that produced it
    Vec3 position{};
    bool valid = false;
};

// One frame of the processor method on `history` (width x height records):
// reprojects the old records into the current camera (nearest wins) when
// `hasHistory`, splats the half frame (halfColor 4 and halfDepth 1 float per
// pixel, width/2 x height/2) onto its jitter slots, and fills what is still
// empty from the nearest half pixel. An empty half image, or half lists
// shorter than it, is refused (false) and `history` kept.
bool splatAccumulate(std::vector<SplatRecord>& history, bool hasHistory, const Camera& full, Jitter jitter,
                     std::span<const float> halfColor, std::span<const float> halfDepth);

// ---- the experiment

// Renders `frames` frames of `view` moving sideways by `speed` per frame,
// natively and at half resolution, accumulates the half frames with
// "cpu-splat" (device null), "gpu-backward" or "gpu+clamp", prints the
// averaged PSNR and times from frame 4 on and writes the last images to
// baseName + "_temporal.png" and "_native.png". Returns false, after its
// message, when the half-resolution frame is empty, a render or the kernel
// failed, or an image could not be written.
bool runTemporalTest(GpuRenderer& renderer, TileRenderer& tiles, const ViewPreset& view,
                     const RenderSettings& settings, unsigned width, unsigned height, int frames, float speed,
                     float halfLodBias, const std::string& baseName, const std::function<std::uint8_t(float)>& toneMap,
                     VulkanContext* device, bool clamp);

} // namespace qlmr
