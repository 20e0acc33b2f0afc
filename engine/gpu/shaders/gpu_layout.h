// The records the field tracer reads, shared word for word by the host
// (C++) and the kernels (GLSL). Constants are plain defines both languages
// understand; each block is declared once per language, the C++ side pinning
// every size and offset with static_asserts so the two cannot drift apart.
#ifndef QLMR_GPU_LAYOUT_H
#define QLMR_GPU_LAYOUT_H

// Texture-array slots per image kind: at most this many field groups.
#define QLMR_MAX_FIELDS 8
// Screen tiles of the binning, in pixels per side.
#define QLMR_TILE_SIZE 16
// Light-space cells per side of the shadow grid.
#define QLMR_LIGHT_CELLS 64
// Image kernels run 8 x 8 x 1 workgroups.
#define QLMR_IMAGE_GROUP 8
// Walk steps per prism and pass, as the CPU march's default.
#define QLMR_MAX_STEPS 512

// Bindings of the tracer's one descriptor set.
#define QLMR_BINDING_PRISMS 0
#define QLMR_BINDING_HEIGHTS 1
#define QLMR_BINDING_BOUNDS 2
#define QLMR_BINDING_ALBEDO 3
#define QLMR_BINDING_FRAME 4
#define QLMR_BINDING_TILE_RANGES 5
#define QLMR_BINDING_TILE_LISTS 6
#define QLMR_BINDING_OUT_COLOR 7
#define QLMR_BINDING_OUT_DEPTH 8
#define QLMR_BINDING_OUT_NORMAL 9
#define QLMR_BINDING_SEED_DEPTH 10
#define QLMR_BINDING_SEED_PRISM 11
#define QLMR_BINDING_PRISM_SEED 12
#define QLMR_BINDING_LIGHT_GRID 13
#define QLMR_BINDING_LIGHT_LIST 14
#define QLMR_BINDING_SAMPLERS 15
#define QLMR_BINDING_SDNA_CODE 16
#define QLMR_BINDING_SDNA_POSE 17
#define QLMR_BINDING_SDNA_PROGRAM 18
#define QLMR_BINDING_SOLID 19
#define QLMR_BINDING_SOLID_MATERIALS 20
#define QLMR_BINDING_COUNT 21

// The prism field record (`info`): x = layer << 4 | group; y = log2 width |
// pixel-grid offset x << QLMR_FIELD_OFFSET_SHIFT; z = log2 height | pixel-grid
// offset y << QLMR_FIELD_OFFSET_SHIFT; w = levels | flag bits | pixel-grid
// cell size << QLMR_FIELD_GRID_SHIFT. The offsets are kept modulo the cell
// size, which moves no cell centre; without a pixel grid they are 0.
#define QLMR_FIELD_WRAP_BIT 256
#define QLMR_FIELD_PIXEL_GRID_BIT 512
#define QLMR_FIELD_SNAP_HITS_BIT 1024 // hits move to their cell centre (the trace setting)
#define QLMR_FIELD_LOW_MASK 255
#define QLMR_FIELD_OFFSET_SHIFT 8
#define QLMR_FIELD_GRID_SHIFT 16
#define QLMR_FIELD_MAX_GRID 65535

#ifdef __cplusplus

#include "gpu/sdna_gpu_layout.h"

#include <cstddef>
#include <cstdint>

namespace qlmr::gpu {

struct alignas(16) Float4 {
    float x = 0.0f, y = 0.0f, z = 0.0f, w = 0.0f;
};
struct alignas(16) Int4 {
    std::int32_t x = 0, y = 0, z = 0, w = 0;
};
struct alignas(16) Uint4 {
    std::uint32_t x = 0, y = 0, z = 0, w = 0;
};

// Uniform block `FrameUniforms` (std140), instance `frame`.
struct FrameUniforms {
    Float4 camPos;      // w: shell seed pass runs this frame
    Float4 camForward;  // w: fog base height
    Float4 camRight;    // right * tanHalfFov * aspect; w: fog falloff
    Float4 camUp;       // up * tanHalfFov; w: debug view
    Float4 sunDir;      // w: 1 shadows, 2 alternative shadows, 0 none
    Float4 sunColor;    // w: fog density
    Float4 skyZenith;   // w: footprint growth per unit of distance
    Float4 skyHorizon;  // w: second frame value
    Float4 ambient;     // w: mode number
    Int4 dims;          // width, height, tiles across, prism count
    Float4 fogSphere;
    Float4 surface;     // specular, roughness, normal refinement, 0
};
static_assert(sizeof(FrameUniforms) == 192);
static_assert(offsetof(FrameUniforms, camPos) == 0);
static_assert(offsetof(FrameUniforms, camForward) == 16);
static_assert(offsetof(FrameUniforms, camRight) == 32);
static_assert(offsetof(FrameUniforms, camUp) == 48);
static_assert(offsetof(FrameUniforms, sunDir) == 64);
static_assert(offsetof(FrameUniforms, sunColor) == 80);
static_assert(offsetof(FrameUniforms, skyZenith) == 96);
static_assert(offsetof(FrameUniforms, skyHorizon) == 112);
static_assert(offsetof(FrameUniforms, ambient) == 128);
static_assert(offsetof(FrameUniforms, dims) == 144);
static_assert(offsetof(FrameUniforms, fogSphere) == 160);
static_assert(offsetof(FrameUniforms, surface) == 176);

// One element of `prisms` in block `PrismBuffer` (std430).
struct Prism {
    Float4 origin;      // w: height texel size
    Float4 axisU;       // w: albedo texel size
    Float4 axisV;       // w: uMax
    Float4 axisH;       // w: vMax
    Float4 toLocal[3];  // rows of the world-to-local matrix; w: uMin, vMin, hMin
    Float4 normalM[3];  // rows of the normal matrix; w: hMax, side normals off, water depth scale
    Int4 info;          // layer << 4 | group, log2 width, log2 height, levels | flags
};
static_assert(sizeof(Prism) == 176);
// Levels and log2 sizes fit below the offsets, the flags below the cell size,
// and offsets below the cell size fit above the log2 sizes.
static_assert(QLMR_FIELD_LOW_MASK < QLMR_FIELD_WRAP_BIT && QLMR_FIELD_PIXEL_GRID_BIT < (1 << QLMR_FIELD_GRID_SHIFT));
static_assert(QLMR_FIELD_SNAP_HITS_BIT > QLMR_FIELD_PIXEL_GRID_BIT && QLMR_FIELD_SNAP_HITS_BIT < (1 << QLMR_FIELD_GRID_SHIFT));
static_assert((1u << QLMR_FIELD_OFFSET_SHIFT) == QLMR_FIELD_LOW_MASK + 1u);
static_assert(std::uint64_t(QLMR_FIELD_MAX_GRID) << QLMR_FIELD_OFFSET_SHIFT < (std::uint64_t(1) << 31));
static_assert(std::uint64_t(QLMR_FIELD_MAX_GRID) << QLMR_FIELD_GRID_SHIFT <= 0xFFFFFFFFu);
static_assert(offsetof(Prism, origin) == 0);
static_assert(offsetof(Prism, axisU) == 16);
static_assert(offsetof(Prism, axisV) == 32);
static_assert(offsetof(Prism, axisH) == 48);
static_assert(offsetof(Prism, toLocal) == 64);
static_assert(offsetof(Prism, normalM) == 112);
static_assert(offsetof(Prism, info) == 160);

// Header of block `LightGrid` (std430); `lightRange` (uvec2 per cell) follows at 48.
struct LightGridHeader {
    Float4 lightAxisX;
    Float4 lightAxisY;
    Float4 lightGrid;   // grid minimum along X and Y, 1 / cell size, cells per side
};
static_assert(sizeof(LightGridHeader) == 48);
static_assert(offsetof(LightGridHeader, lightAxisX) == 0);
static_assert(offsetof(LightGridHeader, lightAxisY) == 16);
static_assert(offsetof(LightGridHeader, lightGrid) == 32);

// (first index in the flat list, count): one per tile or light cell.
struct Range {
    std::uint32_t first = 0;
    std::uint32_t count = 0;
};
static_assert(sizeof(Range) == 8);
static_assert(offsetof(Range, count) == 4);

// Uniform block `SdnaProgramUniforms`, instance `sdnaProg`: the same record
// the shape-program kernels read, declared (and checked) once there.
using SdnaProgramUniforms = gpu_layout::SdnaProgramUniforms;

// Uniform block `SolidUniforms`, instance `solid`.
struct SolidUniforms {
    Float4 q;     // rotation quaternion x, y, z, w
    Float4 ts;    // translation, scale
    Uint4 flags;  // x: a solid is present, y: the stream carries culling records, z: material count
};
static_assert(sizeof(SolidUniforms) == 48);
static_assert(offsetof(SolidUniforms, q) == 0);
static_assert(offsetof(SolidUniforms, ts) == 16);
static_assert(offsetof(SolidUniforms, flags) == 32);

} // namespace qlmr::gpu

#else // GLSL

struct Prism {
    vec4 origin;
    vec4 axisU;
    vec4 axisV;
    vec4 axisH;
    vec4 toLocal[3];
    vec4 normalM[3];
    ivec4 info;
};

layout(std430, binding = QLMR_BINDING_PRISMS) readonly buffer PrismBuffer {
    Prism prisms[];
};

layout(std140, binding = QLMR_BINDING_FRAME) uniform FrameUniforms {
    vec4 camPos;
    vec4 camForward;
    vec4 camRight;
    vec4 camUp;
    vec4 sunDir;
    vec4 sunColor;
    vec4 skyZenith;
    vec4 skyHorizon;
    vec4 ambient;
    ivec4 dims;
    vec4 fogSphere;
    vec4 surface;
} frame;

layout(std430, binding = QLMR_BINDING_TILE_RANGES) readonly buffer TileRanges {
    uvec2 tileRange[];
};
layout(std430, binding = QLMR_BINDING_TILE_LISTS) readonly buffer TileLists {
    uint tileList[];
};
layout(std430, binding = QLMR_BINDING_PRISM_SEED) readonly buffer PrismSeed {
    int prismSeedLevel[];
};
layout(std430, binding = QLMR_BINDING_LIGHT_GRID) readonly buffer LightGrid {
    vec4 lightAxisX;
    vec4 lightAxisY;
    vec4 lightGrid;
    uvec2 lightRange[];
};
layout(std430, binding = QLMR_BINDING_LIGHT_LIST) readonly buffer LightList {
    uint lightList[];
};

layout(binding = QLMR_BINDING_HEIGHTS) uniform texture2DArray tHeights[QLMR_MAX_FIELDS];
layout(binding = QLMR_BINDING_BOUNDS) uniform texture2DArray tBounds[QLMR_MAX_FIELDS];
layout(binding = QLMR_BINDING_ALBEDO) uniform texture2DArray tAlbedo[QLMR_MAX_FIELDS];
layout(binding = QLMR_BINDING_SAMPLERS) uniform sampler sField[QLMR_MAX_FIELDS];

layout(rgba16f, binding = QLMR_BINDING_OUT_COLOR) uniform writeonly image2D outColor;
layout(r32f, binding = QLMR_BINDING_OUT_DEPTH) uniform writeonly image2D outDepth;
layout(rgba16f, binding = QLMR_BINDING_OUT_NORMAL) uniform writeonly image2D outNormal;
layout(r32f, binding = QLMR_BINDING_SEED_DEPTH) uniform readonly image2D seedDepth;
layout(r32ui, binding = QLMR_BINDING_SEED_PRISM) uniform readonly uimage2D seedPrism;

#endif // __cplusplus

#endif // QLMR_GPU_LAYOUT_H
