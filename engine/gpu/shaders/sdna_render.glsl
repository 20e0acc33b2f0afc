// One pixel of a shape-program image, shaded as the processor render worker
// shades it. The including kernel declares the frame, material and output
// buffers and defines, before this file,
//   SdnaTraceHit sdnaPrimaryTrace(vec3 origin, vec3 direction, float epsPerDistance)
// and calls sdnaRenderPixel from main().
//
// Outputs per pixel: colour = (linear colour, primary step count); depth = t,
// or the miss depth; normal = (normal, material index; 0 on a miss); status =
// the primary trace's status.

#ifndef QLMR_SDNA_RENDER_GLSL
#define QLMR_SDNA_RENDER_GLSL

precise vec3 sdnaSkyColour(vec3 direction)
{
    float a = max(direction.y, 0.0) * 0.4 + 0.6;
    float g = max(0.2 - direction.y, 0.0) * 0.3;
    return vec3(a * 0.55 + g * 0.9, a * 0.7 + g * 0.8, a * 0.95 + g * 0.6);
}

void sdnaRenderPixel(uvec2 pixel)
{
    uint width = uint(frame.dims.x);
    uint height = uint(frame.dims.y);
    if (pixel.x >= width || pixel.y >= height)
        return;

    float tanHalfFov = frame.params.x;
    float aspect = frame.params.y;
    float footprint = frame.params.z;
    float v = (1.0 - 2.0 * (float(pixel.y) + 0.5) / float(height)) * tanHalfFov;
    float u = (2.0 * (float(pixel.x) + 0.5) / float(width) - 1.0) * tanHalfFov * aspect;
    vec3 ray = frame.camForward.xyz + frame.camRight.xyz * u + frame.camUp.xyz * v;
    vec3 direction = ray / sqrt(max(sdnaDot(ray, ray), 1e-30));
    vec3 origin = frame.camPos.xyz;

    SdnaTraceHit hit = sdnaPrimaryTrace(origin, direction, footprint * 0.5);

    precise vec3 colour;
    if (hit.status != QLMR_SDNA_STATUS_MISS) {
        vec3 sun = frame.sunDir.xyz;
        vec3 n = hit.normal;
        float ndl = max(sdnaDot(n, sun), 0.0);
        float lit = 1.0;
        if (ndl > 0.0) {
            precise vec3 start = hit.position + n * 0.002;
            SdnaTraceHit blocker = sdnaTrace(start, sun, 0.0, 10.0, 96u, 0.0005, 0.0, false, true);
            lit = blocker.status == QLMR_SDNA_STATUS_MISS ? 1.0 : 0.0;
        }
        float sky = (n.y * 0.5 + 0.5) * 0.35;
        vec3 halfway = sun - direction;
        halfway = halfway / sqrt(max(sdnaDot(halfway, halfway), 1e-30));
        vec4 material = hit.material < uint(materials.length()) ? materials[hit.material]
                                                                 : vec4(0.8, 0.8, 0.8, 0.6);
        float m = material.w;
        float spec = pow(max(sdnaDot(n, halfway), 0.0), 8.0 / max(0.05, m));
        float diffuse = lit * ndl * 1.2;
        float highlight = spec * (1.0 - m) * 0.4 * lit;
        colour = vec3(material.x * diffuse + material.x * sky * 0.45 + highlight,
                      material.y * diffuse + material.y * sky * 0.55 + highlight,
                      material.z * diffuse + material.z * sky * 0.75 + highlight);
    } else {
        colour = sdnaSkyColour(direction);
    }

    bool missed = hit.status == QLMR_SDNA_STATUS_MISS;
    uint index = pixel.y * width + pixel.x;
    outColor[index] = vec4(colour, float(hit.steps));
    outDepth[index] = missed ? QLMR_SDNA_MISS_DEPTH : hit.t;
    outNormal[index] = vec4(hit.normal, missed ? 0.0 : float(hit.material));
    outStatus[index] = hit.status;
}

#endif // QLMR_SDNA_RENDER_GLSL
