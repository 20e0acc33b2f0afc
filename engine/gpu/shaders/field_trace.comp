#version 450
// The default field tracer: march, shadows and shading.
#define QLMR_TRACE_LIT 1
#extension GL_GOOGLE_include_directive : require
#include "field_trace_main.glsl"
