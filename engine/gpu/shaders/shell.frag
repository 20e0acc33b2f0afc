#version 450
// The shell raster seed pass: per pixel the distance from the camera to the
// nearest hull surface and the prism that hull belongs to.

layout(location = 0) in vec3 world;
layout(location = 1) flat in uint prism;

layout(location = 0) out float seedT;
layout(location = 1) out uint seedPrism;

layout(push_constant) uniform Push {
    layout(row_major) mat4 viewProj;
    vec4 camPos;
} pc;

void main()
{
    seedT = distance(world, pc.camPos.xyz);
    seedPrism = prism;
}
