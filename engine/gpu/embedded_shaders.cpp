#include "gpu/embedded_shaders.h"

#include "qlmr_shaders/device_smoke_comp.h"

#include <iterator>

namespace qlmr {

SpirvCode deviceSmokeShader()
{
    return {shaders::device_smoke_comp, std::size(shaders::device_smoke_comp)};
}

} // namespace qlmr
