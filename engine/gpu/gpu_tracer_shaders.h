#pragma once

#include "gpu/one_shot_compute.h"

namespace qlmr {

// The field tracers of the GPU renderer (shaders/field_trace.comp,
// field_trace_only.comp and field_trace_solid.comp): 8 x 8 x 1 workgroups
// over the image, the renderer's one descriptor set (gpu/shaders/gpu_layout.h).
SpirvCode fieldTraceShader();
SpirvCode fieldTraceOnlyShader();
SpirvCode fieldTraceSolidShader();

// The shell raster seed pass (shaders/shell.vert and shell.frag): hull
// vertices (inPos, inPrism) in, seed distance and seed prism out, push
// block `Push` {viewProj, camPos} for both stages.
SpirvCode shellVertexShader();
SpirvCode shellFragmentShader();

} // namespace qlmr
