#version 450
// The trace-only field tracer: the march alone; colour is the unlit albedo
// under the fog, with no shadow rays.
#define QLMR_TRACE_LIT 0
#extension GL_GOOGLE_include_directive : require
#include "field_trace_main.glsl"
