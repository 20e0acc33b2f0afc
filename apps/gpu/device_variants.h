#pragma once

#include "gpu/gpu_renderer.h"
#include "gpu/vulkan_context.h"
#include "scene/camera.h"
#include "scene/scene.h"
#include "scene/settings.h"
#include "scene/tile_renderer.h"

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace qlmr {

// Coverage mismatch in percent, mean relative depth error and mean normal
// angle in degrees of `test` against `reference` (depth and 4-float normal
// planes of GPU frames).
struct GBufferDifference {
    double coveragePercent = 0.0;
    double depthRel = 0.0;
    double normalDegrees = 0.0;
};
GBufferDifference compareGBuffers(const GpuFrame& reference, const GpuFrame& test);

// What the variant runs of one device need from the scene mode.
struct VariantContext {
    VulkanContext* context = nullptr;
    GpuRenderer* renderer = nullptr;
    TileRenderer* tiles = nullptr;
    const Scene* scene = nullptr;
    const RenderSettings* settings = nullptr;
    const std::vector<ViewPreset>* views = nullptr;
    const std::vector<const std::vector<std::vector<std::uint32_t>>*>* viewBins = nullptr;
    std::uint32_t width = 0;
    std::uint32_t height = 0;
    int frames = 1;
    float lodBias = 0.0f;
    float halfLodBias = 0.0f;
    bool shadingNormals = true;  // the render call's mode switch: off for geometric normals
    std::string out;
    std::string tag;  // "igpu" or "dgpu"
};

// Each variant returns the failures it counted (a mesh that cannot be built,
// a render or kernel run that failed, an image that could not be written),
// each reported on `out`; the remaining views still run.

// --p0: the field meshes at LOD 0, 1 and 2 rasterized and compared with
// LOD 0, then the tracer against the LOD 0 mesh.
int runMeshComparison(const VariantContext& v, std::FILE* out);

// --upscale: native against half-resolution frames upscaled by the
// bilinear and the edge-aware kernels.
int runUpscaleComparison(const VariantContext& v, std::FILE* out);

// --temporal N: half-resolution frames accumulated on the CPU and on the
// GPU, without and with history clamping.
int runTemporalComparison(const VariantContext& v, int frames, float speed, std::FILE* out);

} // namespace qlmr
