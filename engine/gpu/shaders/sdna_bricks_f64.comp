#version 450
#extension GL_GOOGLE_include_directive : require
// The brick kernel with its walk in double precision, step for step the
// processor's walk; needs the shaderFloat64 feature.

#define QLMR_BRICK_WALK_F64 1
#include "sdna_bricks_kernel.glsl"
