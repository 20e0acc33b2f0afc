#pragma once

#include "gpu/one_shot_compute.h"

namespace qlmr {

// The device smoke-test kernel (shaders/device_smoke.comp): one invocation
// per word in the workgroups of shaders/linear_dispatch.h (dispatched with
// linearDispatch), one storage buffer at binding 0, push block {count, salt,
// rounds}.
SpirvCode deviceSmokeShader();

// The shape-program kernels (shaders/sdna_plain.comp, sdna_bricks.comp,
// sdna_bricks_f64.comp): 8 x 8 x 1 workgroups over the image, the buffers of
// sdna_gpu_layout.h in binding order (the plain kernel the first 9, the brick
// kernels all 12). The f64 brick kernel walks in double precision and needs
// the shaderFloat64 feature.
SpirvCode sdnaPlainShader();
SpirvCode sdnaBricksShader();
SpirvCode sdnaBricksF64Shader();

// The field mesh shaders of the mesh rasterizer (shaders/mesh.vert, mesh.frag):
// vertex input of MeshVertex, push block MeshPush (mesh_rasterizer.h).
SpirvCode meshVertexShader();
SpirvCode meshFragmentShader();

// The temporal accumulation and upscale kernels (shaders/temporal.comp,
// upscale.comp): one invocation per full-resolution pixel in the workgroups
// of shaders/linear_dispatch.h, one storage buffer at binding 0, push blocks
// TemporalPush and UpscalePush (temporal_upscale.h).
SpirvCode temporalShader();
SpirvCode upscaleShader();

} // namespace qlmr
