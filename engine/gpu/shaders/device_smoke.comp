#version 450
#extension GL_GOOGLE_include_directive : require
// Device smoke test: every invocation writes a word that the host can
// recompute, either directly (rounds 0) or after `rounds` integer mixing steps.
#include "linear_dispatch.h"

layout(std430, set = 0, binding = 0) buffer Data {
    uint data[];
};

layout(push_constant) uniform Push {
    uint count;
    uint salt;
    uint rounds;
} pc;

void main()
{
    uint i = linearItem();
    if (i >= pc.count)
        return;
    if (pc.rounds == 0u) {
        data[i] = i * i + pc.salt;
        return;
    }
    uint h = i;
    for (uint l = 0u; l < pc.rounds; ++l)
        h = (h ^ (h >> 15)) * 739982445u + l;
    data[i] = h;
}
