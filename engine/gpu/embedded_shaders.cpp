#include "gpu/embedded_shaders.h"

#include "qlmr_shaders/device_smoke_comp.h"
#include "qlmr_shaders/sdna_bricks_comp.h"
#include "qlmr_shaders/sdna_plain_comp.h"

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

} // namespace qlmr
