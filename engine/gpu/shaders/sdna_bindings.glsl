// The buffers that both shape-program kernels read and write (set 0,
// bindings 0 to 8 of sdna_gpu_layout.h).

#ifndef QLMR_SDNA_BINDINGS_GLSL
#define QLMR_SDNA_BINDINGS_GLSL

layout(std430, set = 0, binding = QLMR_SDNA_BINDING_CODE) readonly buffer SdnaCode {
    SdnaInstr sdnaCode[];
};
layout(std430, set = 0, binding = QLMR_SDNA_BINDING_POSE) readonly buffer SdnaPose {
    vec4 sdnaPose[];
};
layout(std140, set = 0, binding = QLMR_SDNA_BINDING_PROGRAM) uniform SdnaProgramUniforms {
    QLMR_SDNA_PROGRAM_UNIFORMS_MEMBERS
} sdnaProg;
layout(std140, set = 0, binding = QLMR_SDNA_BINDING_FRAME) uniform SdnaFrame {
    QLMR_SDNA_FRAME_MEMBERS
} frame;
layout(std430, set = 0, binding = QLMR_SDNA_BINDING_MATERIALS) readonly buffer Materials {
    vec4 materials[];
};
layout(std430, set = 0, binding = QLMR_SDNA_BINDING_OUT_COLOR) writeonly buffer OutColor {
    vec4 outColor[];
};
layout(std430, set = 0, binding = QLMR_SDNA_BINDING_OUT_DEPTH) writeonly buffer OutDepth {
    float outDepth[];
};
layout(std430, set = 0, binding = QLMR_SDNA_BINDING_OUT_NORMAL) writeonly buffer OutNormal {
    vec4 outNormal[];
};
layout(std430, set = 0, binding = QLMR_SDNA_BINDING_OUT_STATUS) writeonly buffer OutStatus {
    uint outStatus[];
};

#endif // QLMR_SDNA_BINDINGS_GLSL
