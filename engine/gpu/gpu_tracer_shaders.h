#pragma once

#include "gpu/one_shot_compute.h"

namespace qlmr {

// The field tracers of the GPU renderer (shaders/field_trace.comp and
// field_trace_only.comp): 8 x 8 x 1 workgroups over the image, the
// renderer's one descriptor set (gpu/shaders/gpu_layout.h).
SpirvCode fieldTraceShader();
SpirvCode fieldTraceOnlyShader();

} // namespace qlmr
