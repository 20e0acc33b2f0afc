#version 450
// The shell raster seed pass: hull vertices in world space, projected with
// the camera's view-projection; the world position and the prism go on to
// the fragment shader.

layout(location = 0) in vec3 inPos;
layout(location = 1) in uint inPrism;

layout(location = 0) out vec3 world;
layout(location = 1) flat out uint prism;

layout(push_constant) uniform Push {
    layout(row_major) mat4 viewProj;
    vec4 camPos;
} pc;

void main()
{
    world = inPos;
    prism = inPrism;
    gl_Position = pc.viewProj * vec4(inPos, 1.0);
}
