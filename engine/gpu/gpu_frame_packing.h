#pragma once

// Host-side packing of the records the field tracer reads: the frame
// uniforms from the camera and render settings, the GPU prisms, the
// flattened screen-tile bins and the light-space grid of the shadow rays.

#include "gpu/dispatch_grid.h"
#include "gpu/shaders/gpu_layout.h"
#include "scene/camera.h"
#include "scene/scene.h"
#include "scene/settings.h"

#include <array>
#include <cstdint>
#include <span>
#include <vector>

namespace qlmr {

// The frame uniform block is named in qlmr as well; the GPU prism is not, as
// it would clash with the CPU Prism.
using gpu::FrameUniforms;

// Where a prism's field lives on the GPU, four words:
// (layer << 4) | group, log2 width | pixel-grid offset x << 8,
// log2 height | pixel-grid offset y << 8,
// levels | (wrap ? 1 : 0) << 8 | (pixel grid ? 2 : 0) << 8 | cell size << 16
// (offsets modulo the cell size; gpu/shaders/gpu_layout.h).
struct PrismFieldRecord {
    std::array<std::uint32_t, 4> words{};
};

// The per-frame words of the frame uniforms besides camera and settings.
struct FrameWords {
    bool seedPass = false;      // the shell raster seed pass runs this frame
    float value0 = 1.0f;        // scales the footprint growth (1 = the CPU's)
    float value1 = 0.0f;        // level-of-detail bias, as a power of two
    std::uint32_t mode = 0;     // 0 off, 1 or 2
    std::uint32_t prismCount = 0;
};

gpu::FrameUniforms packFrameUniforms(const Camera& camera, const RenderSettings& settings, const FrameWords& words);
// The same with the five frame words given one by one, in FrameWords order.
gpu::FrameUniforms packFrameUniforms(const Camera& camera, const RenderSettings& settings, bool seedPass,
                                     float value0, float value1, std::uint32_t mode, std::uint32_t prismCount);

// Writes one GPU prism per CPU prism (records in the same order) into destination.
void packGpuPrisms(std::span<const Prism> prisms, std::span<const PrismFieldRecord> records, gpu::Prism* destination);

// Per bin (first index, count) in bin order, and the bins' indices concatenated.
void flattenBins(const std::vector<std::vector<std::uint32_t>>& bins, std::vector<gpu::Range>& ranges,
                 std::vector<std::uint32_t>& lists);

// Bins the prisms' boxes, projected on the plane perpendicular to the sun,
// into QLMR_LIGHT_CELLS x QLMR_LIGHT_CELLS square cells (row-major).
// `ranges` always holds every cell's range.
void buildLightGrid(std::span<const Prism> prisms, Vec3 sunDirection, std::vector<gpu::Range>& ranges,
                    std::vector<std::uint32_t>& lists, gpu::LightGridHeader& header);

// IEEE binary16 to binary32, exactly (subnormals, infinities and NaN included).
float halfToFloat(std::uint16_t half);

} // namespace qlmr
