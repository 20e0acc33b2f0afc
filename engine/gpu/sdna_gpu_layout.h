#ifndef QLMR_GPU_SDNA_GPU_LAYOUT_H
#define QLMR_GPU_SDNA_GPU_LAYOUT_H
// Buffer layouts of the shape-program kernels, read by both languages: the
// host code includes this file as C++, the shaders include it as GLSL. The
// struct and block members are written once below; the C++ side checks every
// size and offset against the std140/std430 rules the shaders use.

#ifdef __cplusplus
#include <cstddef>
#include <cstdint>

namespace qlmr::gpu_layout {

using uint = std::uint32_t;
struct vec4 {
    float x = 0.0f, y = 0.0f, z = 0.0f, w = 0.0f;
};
struct uvec4 {
    uint x = 0, y = 0, z = 0, w = 0;
};
struct ivec4 {
    std::int32_t x = 0, y = 0, z = 0, w = 0;
};
#endif

// ---- bindings and workgroup ------------------------------------------------

// Image kernels run 8 x 8 x 1 workgroups.
#define QLMR_SDNA_GROUP_SIZE 8

// Set 0 of the shape-program kernels; a binding is the buffer's position in
// the one-shot run's buffer list.
#define QLMR_SDNA_BINDING_CODE 0
#define QLMR_SDNA_BINDING_POSE 1
#define QLMR_SDNA_BINDING_PROGRAM 2
#define QLMR_SDNA_BINDING_FRAME 3
#define QLMR_SDNA_BINDING_MATERIALS 4
#define QLMR_SDNA_BINDING_OUT_COLOR 5
#define QLMR_SDNA_BINDING_OUT_DEPTH 6
#define QLMR_SDNA_BINDING_OUT_NORMAL 7
#define QLMR_SDNA_BINDING_OUT_STATUS 8
#define QLMR_SDNA_BINDING_BRICK_GRID 9
#define QLMR_SDNA_BINDING_BRICK_DATA 10
#define QLMR_SDNA_BINDING_BRICK_PARAMS 11

// Per-pixel status word: as the CPU tracer's status.
#define QLMR_SDNA_STATUS_MISS 0u
#define QLMR_SDNA_STATUS_HIT 1u
#define QLMR_SDNA_STATUS_UNCERTAIN 2u

// Depth written for a pixel whose ray missed.
#define QLMR_SDNA_MISS_DEPTH 1e30

// ---- records ---------------------------------------------------------------

// One 48-byte entry of the program stream (buffer SdnaCode, std430).
// Instruction: head = (op | material << 16, bone, culling entry index or 0, 0),
// p0 = p[0..3], p1 = p[4..7]. Culling record: head = (end, bone, subtract, 0),
// p0 = (centre, radius), p1 = (scale, slack, 0, 0).
struct SdnaInstr {
    uvec4 head;
    vec4 p0;
    vec4 p1;
};

// Uniform blocks (std140): their members, named once for both languages.
#define QLMR_SDNA_PROGRAM_UNIFORMS_MEMBERS                                                         \
    uvec4 dims; /* (instruction count, pose count, 0, 0) */                                        \
    vec4 lo;    /* (program bounds minimum, 0) */                                                   \
    vec4 hi;    /* (program bounds maximum, 0) */

#define QLMR_SDNA_FRAME_MEMBERS                                                                    \
    vec4 camPos;                                                                                   \
    vec4 camForward;                                                                               \
    vec4 camRight;                                                                                 \
    vec4 camUp;                                                                                    \
    vec4 params; /* (tan of half the vertical field of view, aspect, pixel footprint, 0) */        \
    vec4 sunDir;                                                                                   \
    ivec4 dims; /* (width, height, 0, 0) */

#define QLMR_SDNA_BRICK_PARAMS_MEMBERS                                                             \
    uvec4 dims;  /* grid x, y, z, 0; 0 when there are no brick records */                          \
    vec4 params; /* (cell size, Lipschitz bound, 1 for brick mode 1 else 0, 0) */

#ifdef __cplusplus

struct SdnaProgramUniforms {
    QLMR_SDNA_PROGRAM_UNIFORMS_MEMBERS
};
struct SdnaFrame {
    QLMR_SDNA_FRAME_MEMBERS
};
struct SdnaBrickParams {
    QLMR_SDNA_BRICK_PARAMS_MEMBERS
};

static_assert(sizeof(vec4) == 16 && sizeof(uvec4) == 16 && sizeof(ivec4) == 16);

static_assert(sizeof(SdnaInstr) == 48);
static_assert(offsetof(SdnaInstr, head) == 0);
static_assert(offsetof(SdnaInstr, p0) == 16);
static_assert(offsetof(SdnaInstr, p1) == 32);

static_assert(sizeof(SdnaProgramUniforms) == 48);
static_assert(offsetof(SdnaProgramUniforms, dims) == 0);
static_assert(offsetof(SdnaProgramUniforms, lo) == 16);
static_assert(offsetof(SdnaProgramUniforms, hi) == 32);

static_assert(sizeof(SdnaFrame) == 112);
static_assert(offsetof(SdnaFrame, camPos) == 0);
static_assert(offsetof(SdnaFrame, camForward) == 16);
static_assert(offsetof(SdnaFrame, camRight) == 32);
static_assert(offsetof(SdnaFrame, camUp) == 48);
static_assert(offsetof(SdnaFrame, params) == 64);
static_assert(offsetof(SdnaFrame, sunDir) == 80);
static_assert(offsetof(SdnaFrame, dims) == 96);

static_assert(sizeof(SdnaBrickParams) == 32);
static_assert(offsetof(SdnaBrickParams, dims) == 0);
static_assert(offsetof(SdnaBrickParams, params) == 16);

} // namespace qlmr::gpu_layout

#endif // __cplusplus

#endif // QLMR_GPU_SDNA_GPU_LAYOUT_H
