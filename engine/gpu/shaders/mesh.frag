#version 450

// Lambert sun and a constant sky fill, faded into the horizon by uniform fog.
// Writes the lit colour, the world normal of the visible side and
// the distance from the camera.

layout(location = 0) in vec3 world;
layout(location = 1) in vec3 normal;
layout(location = 2) in vec4 albedo;

layout(location = 0) out vec4 outColor;
layout(location = 1) out vec4 outNormal;
layout(location = 2) out float outDepth;

layout(push_constant) uniform Push {
    layout(row_major) mat4 viewProj;
    vec4 camPos;
    vec4 sunDir;   // w: fog density
    vec4 sunColor;
} pc;

const vec3 kSkyFill = vec3(0.26, 0.32, 0.42);
const vec3 kFogColor = vec3(0.62, 0.72, 0.85);

void main()
{
    // Triangles wind counter-clockwise seen from the field's up side; a
    // field seen from below shows its underside.
    vec3 n = normalize(normal);
    if (!gl_FrontFacing)
        n = -n;
    float t = distance(world, pc.camPos.xyz);
    float sun = max(dot(n, pc.sunDir.xyz), 0.0);
    vec3 lit = albedo.rgb * (kSkyFill + pc.sunColor.rgb * sun);
    float fog = exp(-pc.sunDir.w * t);
    outColor = vec4(mix(kFogColor, lit, fog), 1.0);
    outNormal = vec4(n, 0.0);
    outDepth = t;
}
