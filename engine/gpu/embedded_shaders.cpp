#include "gpu/embedded_shaders.h"

#include "qlmr_shaders/device_smoke_comp.h"
#include "qlmr_shaders/sdna_bricks_comp.h"
#include "qlmr_shaders/sdna_bricks_f64_comp.h"
#include "qlmr_shaders/sdna_plain_comp.h"
#include "qlmr_shaders/mesh_frag.h"
#include "qlmr_shaders/mesh_vert.h"
#include "qlmr_shaders/temporal_comp.h"
#include "qlmr_shaders/upscale_comp.h"

#include <iterator>

namespace qlmr {

SpirvCode deviceSmokeShader()
{
    return {shaders::device_smoke_comp, std::size(shaders::device_smoke_comp)};
}

SpirvCode sdnaPlainShader()
{
    return {shaders::sdna_plain_comp, std::size(shaders::sdna_plain_comp)};
}

SpirvCode sdnaBricksShader()
{
    return {shaders::sdna_bricks_comp, std::size(shaders::sdna_bricks_comp)};
}

SpirvCode sdnaBricksF64Shader()
{
    return {shaders::sdna_bricks_f64_comp, std::size(shaders::sdna_bricks_f64_comp)};
}

SpirvCode meshVertexShader()
{
    return {shaders::mesh_vert, std::size(shaders::mesh_vert)};
}

SpirvCode meshFragmentShader()
{
    return {shaders::mesh_frag, std::size(shaders::mesh_frag)};
}

SpirvCode temporalShader()
{
    return {shaders::temporal_comp, std::size(shaders::temporal_comp)};
}

SpirvCode upscaleShader()
{
    return {shaders::upscale_comp, std::size(shaders::upscale_comp)};
}

} // namespace qlmr
