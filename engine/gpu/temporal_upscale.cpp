#include "gpu/temporal_upscale.h"

#include "gpu/embedded_shaders.h"
#include "gpu/gpu_frame_packing.h"
#include "scene/png_writer.h"
#include "scene/tile_renderer.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace qlmr {

namespace {

constexpr float kMaxRayLength = 100000.0f;
constexpr float kDepthTolerance = 0.03f;

void setFloat4(float* destination, Vec3 v, float w)
{
    destination[0] = v.x;
    destination[1] = v.y;
    destination[2] = v.z;
    destination[3] = w;
}

// The ray through the centre of full pixel (px, py).
Vec3 pixelRay(const Camera& camera, std::uint32_t px, std::uint32_t py)
{
    const float t = camera.tanHalfFov;
    const float sx = 2.0f * (float(px) + 0.5f) / float(camera.width) - 1.0f;
    const float sy = 2.0f * (float(py) + 0.5f) / float(camera.height) - 1.0f;
    return normalizeSafe(camera.forward + camera.right * (t * camera.aspect * sx) - camera.up * (t * sy));
}

std::vector<std::uint8_t> toneMapImage(const std::vector<float>& color, std::size_t pixels,
                                       const std::function<std::uint8_t(float)>& toneMap)
{
    std::vector<std::uint8_t> rgba(pixels * 4);
    for (std::size_t i = 0; i < pixels; ++i) {
        for (int c = 0; c < 3; ++c)
            rgba[i * 4 + c] = toneMap(color[i * 4 + c]);
        rgba[i * 4 + 3] = 255;
    }
    return rgba;
}

double psnr(const std::vector<std::uint8_t>& a, const std::vector<std::uint8_t>& b, std::size_t pixels)
{
    double sum = 0.0;
    for (std::size_t i = 0; i < pixels; ++i)
        for (int c = 0; c < 3; ++c) {
            const double d = double(a[i * 4 + c]) - double(b[i * 4 + c]);
            sum += d * d;
        }
    const double mse = sum / double(pixels * 3);
    return 10.0 * std::log10(65025.0 / std::max(mse, 1e-9));
}

} // namespace

TemporalCamera temporalCamera(const Camera& camera)
{
    return {camera.position, camera.forward, camera.right, camera.up, camera.tanHalfFov, camera.aspect};
}

Jitter temporalJitter(int frame)
{
    static constexpr Jitter kPattern[4] = {{0, 0}, {1, 1}, {1, 0}, {0, 1}};
    return kPattern[((frame % 4) + 4) % 4];
}

Camera temporalHalfCamera(const Camera& full, Jitter jitter)
{
    Camera half = full;
    half.width = full.width / 2;
    half.height = full.height / 2;
    half.aspect = float(half.width) / float(half.height);
    const float t = full.tanHalfFov;
    half.forward = full.forward +
        full.right * (t * half.aspect * (2.0f * float(jitter.x) - 1.0f) / float(full.width)) -
        full.up * (t * (2.0f * float(jitter.y) - 1.0f) / float(full.height));
    return half;
}

TemporalPush packTemporalPush(const Camera& current, Jitter jitter, const TemporalCamera& previous, bool hasHistory,
                              bool clamp, float depthTolerance)
{
    TemporalPush push{};
    const float t = current.tanHalfFov;
    setFloat4(push.curPos, current.position, float(current.width));
    setFloat4(push.curFwd, current.forward, float(current.height));
    setFloat4(push.curRight, current.right * (t * current.aspect), float(jitter.x));
    setFloat4(push.curUp, current.up * t, float(jitter.y));
    setFloat4(push.prevPos, previous.position, hasHistory ? 1.0f : 0.0f);
    setFloat4(push.prevFwd, previous.forward, clamp ? 1.0f : 0.0f);
    setFloat4(push.prevRightP, previous.right / (previous.tanHalfFov * previous.aspect), depthTolerance);
    setFloat4(push.prevUpP, previous.up / previous.tanHalfFov, 0.0f);
    return push;
}

ComputeResult runTemporalKernel(VulkanContext& context, std::span<Texel4> data, std::uint32_t width,
                                std::uint32_t height, const TemporalPush& push)
{
    // The kernel indexes the buffer by the size in the push block and
    // writes the new history behind the other two sections: a push block of
    // another size, or a shorter buffer, would have it read and write past
    // the buffer's end.
    const std::uint64_t pixels = std::uint64_t(width) * height;
    const std::uint64_t needed = std::uint64_t(width / 2) * (height / 2) + 2 * pixels;
    // Every pixel reads fresh samples clamped into the half image: with no
    // half image they would come from before the buffer.
    if (width / 2 == 0 || height / 2 == 0) {
        ComputeResult refused;
        refused.error = "the half-resolution samples of a " + std::to_string(width) + "x" + std::to_string(height) +
            " image are empty";
        return refused;
    }
    if (push.curPos[3] != float(width) || push.curFwd[3] != float(height)) {
        ComputeResult refused;
        refused.error = "temporal push block is for another image size than " + std::to_string(width) + "x" +
            std::to_string(height);
        return refused;
    }
    if (data.size() < needed) {
        ComputeResult refused;
        refused.error = "temporal buffer of " + std::to_string(data.size()) + " texels is shorter than the " +
            std::to_string(needed) + " of a " + std::to_string(width) + "x" + std::to_string(height) + " image";
        return refused;
    }
    return runComputeOnBuffer(context, temporalShader(), data.data(), data.size_bytes(),
                              linearDispatch(context, std::uint64_t(width) * height), {&push, sizeof(push)});
}

ComputeResult runUpscaleKernel(VulkanContext& context, std::span<const Texel4> low, std::uint32_t lowWidth,
                               std::uint32_t lowHeight, std::uint32_t outWidth, std::uint32_t outHeight,
                               UpscaleMode mode, float edgeTolerance, std::vector<Texel4>& out)
{
    const std::size_t lowPixels = std::size_t(lowWidth) * lowHeight;
    const std::size_t outPixels = std::size_t(outWidth) * outHeight;
    // Every output pixel reads low-resolution pixels clamped into the low
    // image, and the edge weights divide by the tolerance: an empty low
    // image would have it read before its buffer, fewer pixels than the size
    // says would upscale zeros, and a tolerance that is not above 0 gives
    // colours that are not numbers. Such a run is refused and `out` kept.
    ComputeResult refused;
    const std::string lowSize = std::to_string(lowWidth) + "x" + std::to_string(lowHeight);
    if (outPixels != 0 && lowPixels == 0)
        refused.error = "upscale from an empty " + lowSize + " image";
    else if (low.size() < lowPixels)
        refused.error = "upscale input of " + std::to_string(low.size()) + " pixels is shorter than its " + lowSize +
            " image";
    else if (mode == UpscaleMode::edge && !(edgeTolerance > 0.0f && std::isfinite(edgeTolerance)))
        refused.error = "upscale edge tolerance " + std::to_string(edgeTolerance) + " is not a number above 0";
    if (!refused.error.empty())
        return refused;
    std::vector<Texel4> buffer(lowPixels + outPixels, Texel4{});
    std::copy(low.begin(), low.begin() + std::ptrdiff_t(lowPixels), buffer.begin());
    UpscalePush push{};
    push.lowSize[0] = std::int32_t(lowWidth);
    push.lowSize[1] = std::int32_t(lowHeight);
    push.outSize[0] = std::int32_t(outWidth);
    push.outSize[1] = std::int32_t(outHeight);
    push.mode = std::uint32_t(mode);
    push.edgeTolerance = edgeTolerance;
    ComputeResult result =
        runComputeOnBuffer(context, upscaleShader(), buffer.data(), buffer.size() * sizeof(Texel4),
                           linearDispatch(context, outPixels), {&push, sizeof(push)});
    if (result.ok)
        out.assign(buffer.begin() + std::ptrdiff_t(lowPixels), buffer.end());
    return result;
}

// ---- processor splatting

bool splatAccumulate(std::vector<SplatRecord>& history, bool hasHistory, const Camera& full, Jitter jitter,
                     std::span<const float> halfColor, std::span<const float> halfDepth)
{
    const std::uint32_t width = full.width, height = full.height;
    const std::uint32_t halfWidth = width / 2, halfHeight = height / 2;
    const Vec3 eye = full.position;
    const float t = full.tanHalfFov, aspect = full.aspect;
    // Every half pixel is read, by the splat and by the hole filling: a half
    // frame of another (smaller) size would be read past its end.
    const std::size_t halfPixels = std::size_t(halfWidth) * halfHeight;
    if (halfPixels == 0 || halfColor.size() < halfPixels * 4 || halfDepth.size() < halfPixels)
        return false;
    history.resize(std::size_t(width) * height);

    // (a) The old records, reprojected into this camera; the nearest wins.
    if (hasHistory) {
        std::vector<SplatRecord> next(history.size());
        for (const SplatRecord& old : history) {
            if (!old.valid)
                continue;
            const Vec3 v = old.position - eye;
            const float z = dot(v, full.forward);
            if (!(z > 0.001f))
                continue;
            const float fx = (dot(v, full.right) / (z * t * aspect) * 0.5f + 0.5f) * float(width);
            const float fy = (0.5f - dot(v, full.up) / (z * t) * 0.5f) * float(height);
            // Truncated towards zero, a pixel lies in the image exactly when
            // -1 < f < size; the test comes first because a point just in
            // front of the camera plane projects beyond any integer (and a
            // position that is not a number nowhere).
            if (!(fx > -1.0f && fx < float(width) && fy > -1.0f && fy < float(height)))
                continue;
            const int px = int(fx), py = int(fy);
            const float dist = length(old.position - eye);
            SplatRecord& target = next[std::size_t(py) * width + std::size_t(px)];
            if (!target.valid || dist < target.depth) {
                target = old;
                target.depth = dist;
            }
        }
        history.swap(next);
    }

    auto take = [&](SplatRecord& record, std::size_t halfIndex, std::uint32_t px, std::uint32_t py) {
        for (int c = 0; c < 3; ++c)
            record.color[c] = halfColor[halfIndex * 4 + std::size_t(c)];
        record.depth = halfDepth[halfIndex];
        record.position = eye + pixelRay(full, px, py) * std::min(record.depth, kMaxRayLength);
        record.valid = true;
    };
    // (b) This frame's samples on their jitter slots.
    for (std::uint32_t y = 0; y < halfHeight; ++y)
        for (std::uint32_t x = 0; x < halfWidth; ++x) {
            const std::uint32_t px = 2 * x + jitter.x, py = 2 * y + jitter.y;
            take(history[std::size_t(py) * width + px], std::size_t(y) * halfWidth + x, px, py);
        }
    // (c) Holes take the half pixel over them.
    for (std::uint32_t y = 0; y < height; ++y)
        for (std::uint32_t x = 0; x < width; ++x) {
            SplatRecord& record = history[std::size_t(y) * width + x];
            if (record.valid)
                continue;
            const std::uint32_t hx = std::min(x / 2, halfWidth - 1), hy = std::min(y / 2, halfHeight - 1);
            take(record, std::size_t(hy) * halfWidth + hx, x, y);
        }
    return true;
}

// ---- the experiment

bool runTemporalTest(GpuRenderer& renderer, TileRenderer& tiles, const ViewPreset& view,
                     const RenderSettings& settings, unsigned width, unsigned height, int frames, float speed,
                     float halfLodBias, const std::string& baseName, const std::function<std::uint8_t(float)>& toneMap,
                     VulkanContext* device, bool clamp)
{
    if (frames <= 0)
        return true;
    const char* method = device ? (clamp ? "gpu+clamp" : "gpu-backward") : "cpu-splat";
    const std::size_t pixels = std::size_t(width) * height;
    const std::uint32_t halfWidth = width / 2, halfHeight = height / 2;
    if (halfWidth == 0 || halfHeight == 0) {
        std::printf("    temporal: the half-resolution frame of %ux%u is empty\n", width, height);
        return false;
    }
    const std::size_t halfPixels = std::size_t(halfWidth) * halfHeight;

    std::vector<SplatRecord> splatHistory;
    std::vector<Texel4> gpuHistory(pixels, Texel4{});
    std::vector<Texel4> kernelData;
    TemporalCamera previous;
    bool hasHistory = false;
    double psnrSum = 0.0, halfMs = 0.0, accumMs = 0.0, nativeMs = 0.0;
    int measured = 0;
    std::vector<std::uint8_t> outputImage, nativeImage;
    std::vector<float> output(pixels * 4, 0.0f);

    const Vec3 side = normalizeSafe(cross(view.target - view.eye, Vec3{0.0f, 1.0f, 0.0f}));
    for (int f = 0; f < frames; ++f) {
        // 1-2. Cameras.
        const Vec3 shift = side * (speed * float(f));
        const Camera full =
            Camera::lookAt(view.eye + shift, view.target + shift, {0.0f, 1.0f, 0.0f}, view.fovDegrees, width, height);
        const Jitter jitter = temporalJitter(f);
        const Camera half = temporalHalfCamera(full, jitter);

        // 3. Native and half frames.
        tiles.prepareBins(full, (width + 15) / 16, (height + 15) / 16);
        const GpuFrame native = renderer.render(full, settings, GpuViewData{&tiles.bins(), {}}, 1.0f, 0.0f);
        tiles.prepareBins(half, (halfWidth + 15) / 16, (halfHeight + 15) / 16);
        const GpuFrame halfFrame =
            renderer.render(half, settings, GpuViewData{&tiles.bins(), {}}, 0.5f, halfLodBias);
        if (!native.ok || !halfFrame.ok) {
            std::printf("    temporal: render failed\n");
            return false;
        }

        // 4. Accumulation.
        double kernelMs = 0.0;
        if (!device) {
            if (!splatAccumulate(splatHistory, hasHistory, full, jitter, halfFrame.color, halfFrame.depth)) {
                std::printf("    temporal: render failed\n");
                return false;
            }
            for (std::size_t i = 0; i < pixels; ++i)
                for (int c = 0; c < 3; ++c)
                    output[i * 4 + std::size_t(c)] = splatHistory[i].color[c];
        } else {
            kernelData.assign(halfPixels + 2 * pixels, Texel4{});
            for (std::size_t i = 0; i < halfPixels; ++i)
                kernelData[i] = {halfFrame.color[i * 4], halfFrame.color[i * 4 + 1], halfFrame.color[i * 4 + 2],
                                 halfFrame.depth[i]};
            std::copy(gpuHistory.begin(), gpuHistory.end(), kernelData.begin() + std::ptrdiff_t(halfPixels));
            const TemporalPush push = packTemporalPush(full, jitter, previous, hasHistory, clamp, kDepthTolerance);
            const ComputeResult run = runTemporalKernel(*device, kernelData, width, height, push);
            if (!run.ok) {
                std::printf("    temporal accumulate failed: %s\n", run.error.c_str());
                return false;
            }
            kernelMs = run.gpuMs;
            std::copy(kernelData.begin() + std::ptrdiff_t(halfPixels + pixels), kernelData.end(), gpuHistory.begin());
            previous = temporalCamera(full);
            for (std::size_t i = 0; i < pixels; ++i)
                for (int c = 0; c < 3; ++c)
                    output[i * 4 + std::size_t(c)] = gpuHistory[i][std::size_t(c)];
        }
        hasHistory = true;

        // 5. Measurement after four warm-up frames.
        outputImage = toneMapImage(output, pixels, toneMap);
        nativeImage = toneMapImage(native.color, pixels, toneMap);
        if (f >= 4) {
            psnrSum += psnr(outputImage, nativeImage, pixels);
            halfMs += halfFrame.gpuMs;
            nativeMs += native.gpuMs;
            accumMs += kernelMs;
            ++measured;
        }
    }

    // 6. Summary and the last images.
    const double n = double(std::max(measured, 1));
    std::printf("  [%-6s] %-12s speed %.2f: PSNR %.2f dB | half %.2f ms + accum %.2f ms vs native %.2f ms\n",
                view.name, method, double(speed), psnrSum / n, halfMs / n, accumMs / n, nativeMs / n);
    auto write = [&](const std::string& path, const std::vector<std::uint8_t>& image) {
        if (writePng(path, width, height, image))
            return true;
        std::printf("cannot write %s\n", path.c_str());
        return false;
    };
    const bool temporalWritten = write(baseName + "_temporal.png", outputImage);
    const bool nativeWritten = write(baseName + "_native.png", nativeImage);
    return temporalWritten && nativeWritten;
}

} // namespace qlmr
