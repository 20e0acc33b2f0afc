#pragma once

#include "gpu/gpu_renderer.h"
#include "scene/camera.h"
#include "scene/gbuffer.h"
#include "scene/scene_tracer.h"
#include "scene/settings.h"
#include "sdna/program.h"

#include <cstdint>
#include <string>
#include <vector>

namespace qlmr {

// The CPU side of one pixel's diagnosis: its primary ray traced once more
// through the tile renderer's kernels on one lane, against the prisms of
// the pixel's tile. Returns the report line, or "" for a pixel outside
// `frame`.
std::string cpuDebugPixelLine(const std::string& view, const SceneTracer& tracer, const SdnaInstance* solid,
                              const Camera& camera, const RenderSettings& settings,
                              const std::vector<std::vector<std::uint32_t>>& bins, const GBuffer& frame, int x,
                              int y);

// The GPU side: t and n of the kept frame, six debug views of the renderer
// and the kept frame's tone-mapped colour. "" for a pixel outside the kept
// frame or one its planes do not hold.
std::string gpuDebugPixelLine(const std::string& view, GpuRenderer& renderer, const Camera& camera,
                              const RenderSettings& settings, const GpuViewData& data, float lodBias,
                              bool modeSwitch, const GpuFrame& kept, int x, int y);

} // namespace qlmr
