// One-dimensional kernels: one invocation per item, in workgroups of
// QLMR_LINEAR_GROUP x 1 x 1. A device launches at most
// maxComputeWorkGroupCount[0] groups along x (65535 on many), so the host
// lays large counts out as rows of a two-dimensional grid
// (gpu/dispatch_grid.h) and the kernels rebuild the item index from it.
// Read by both languages: the host includes this file as C++, the kernels
// as GLSL.
#ifndef QLMR_LINEAR_DISPATCH_H
#define QLMR_LINEAR_DISPATCH_H

#define QLMR_LINEAR_GROUP 64

#ifndef __cplusplus
layout(local_size_x = QLMR_LINEAR_GROUP, local_size_y = 1, local_size_z = 1) in;

// The item of this invocation: rows of gl_NumWorkGroups.x groups, one after
// the other. Invocations past the last item get indices the kernel skips.
uint linearItem()
{
    return gl_GlobalInvocationID.y * (gl_NumWorkGroups.x * uint(QLMR_LINEAR_GROUP)) + gl_GlobalInvocationID.x;
}
#endif

#endif
