#include "gpu/gpu_tracer_shaders.h"

#include "qlmr_shaders/field_trace_comp.h"
#include "qlmr_shaders/field_trace_only_comp.h"

#include <iterator>

namespace qlmr {

SpirvCode fieldTraceShader()
{
    return {shaders::field_trace_comp, std::size(shaders::field_trace_comp)};
}

SpirvCode fieldTraceOnlyShader()
{
    return {shaders::field_trace_only_comp, std::size(shaders::field_trace_only_comp)};
}

} // namespace qlmr
