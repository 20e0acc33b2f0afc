#include "gpu/gpu_tracer_shaders.h"

#include "qlmr_shaders/field_trace_comp.h"
#include "qlmr_shaders/field_trace_only_comp.h"
#include "qlmr_shaders/field_trace_solid_comp.h"
#include "qlmr_shaders/shell_frag.h"
#include "qlmr_shaders/shell_vert.h"

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

SpirvCode fieldTraceSolidShader()
{
    return {shaders::field_trace_solid_comp, std::size(shaders::field_trace_solid_comp)};
}

SpirvCode shellVertexShader()
{
    return {shaders::shell_vert, std::size(shaders::shell_vert)};
}

SpirvCode shellFragmentShader()
{
    return {shaders::shell_frag, std::size(shaders::shell_frag)};
}

} // namespace qlmr
