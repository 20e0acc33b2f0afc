#version 450

// Field mesh vertices: world position, world normal and albedo, projected
// with the raster passes' view-projection.

layout(location = 0) in vec3 inPos;
layout(location = 1) in vec3 inNormal;
layout(location = 2) in vec4 inColor;

layout(location = 0) out vec3 world;
layout(location = 1) out vec3 normal;
layout(location = 2) out vec4 albedo;

layout(push_constant) uniform Push {
    layout(row_major) mat4 viewProj;
    vec4 camPos;
    vec4 sunDir;   // w: fog density
    vec4 sunColor;
} pc;

void main()
{
    world = inPos;
    normal = inNormal;
    albedo = inColor;
    gl_Position = pc.viewProj * vec4(inPos, 1.0);
}
