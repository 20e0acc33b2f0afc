#version 450
#extension GL_GOOGLE_include_directive : require
// The brick kernel with its walk in single precision, for devices without
// shaderFloat64.

#include "sdna_bricks_kernel.glsl"
