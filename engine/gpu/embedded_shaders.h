#pragma once

#include "gpu/one_shot_compute.h"

namespace qlmr {

// The device smoke-test kernel (shaders/device_smoke.comp): 64 x 1 x 1
// workgroups, one storage buffer at binding 0, push block {count, salt, rounds}.
SpirvCode deviceSmokeShader();

} // namespace qlmr
