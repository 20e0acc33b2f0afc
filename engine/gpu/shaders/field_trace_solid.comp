#version 450
// The field tracer with a solid object: march, the placed shape program
// beside the fields, shadows of both and shading.
#define QLMR_TRACE_LIT 1
#define QLMR_TRACE_SOLID 1
#extension GL_GOOGLE_include_directive : require
#include "field_trace_main.glsl"
