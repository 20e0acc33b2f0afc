#version 450
// Test kernel for the one-shot compute runs: reads a uniform block and an
// input buffer, writes an output buffer, and clears the input on the device
// so a test can see that a buffer without read-back is not copied back.
layout(local_size_x = 64, local_size_y = 1, local_size_z = 1) in;

layout(std140, set = 0, binding = 0) uniform Params {
    uint count;
    uint scale;
    uint offset;
    uint rowWidth;
} params;

layout(std430, set = 0, binding = 1) buffer Input {
    uint values[];
};

layout(std430, set = 0, binding = 2) buffer Output {
    uint result[];
};

void main()
{
    uint i = gl_GlobalInvocationID.y * params.rowWidth + gl_GlobalInvocationID.x;
    if (gl_GlobalInvocationID.x >= params.rowWidth || i >= params.count)
        return;
    result[i] = values[i] * params.scale + params.offset + gl_GlobalInvocationID.y;
    values[i] = 0u;
}
