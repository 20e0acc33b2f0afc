#pragma once
// The shape-program data model: a stack program describing one solid as a
// signed distance function, its binary records (the same bytes in files, in
// memory and in GPU buffers), and the input and result records of evaluation
// and tracing.

#include <array>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <type_traits>
#include <vector>

namespace qlmr {

// Opcodes. The underlying byte may hold any value (files can carry unknown
// opcodes until the validator rejects them), so code compares and casts
// rather than assuming the value is one of the names.
enum class SdnaOp : std::uint8_t {
    // Primitives: push one (distance, material) value.
    Sphere = 1,
    Capsule = 2,
    TaperedCapsule = 3,
    Ellipsoid = 4,
    Box = 5,
    Plane = 6,
    // Combinators: pop a (pushed first) and b (on top), push one.
    Union = 32,
    SmoothUnion = 33,
    Intersect = 34,
    Subtract = 35,
    // Unary operators: replace the top value.
    Offset = 64,
    Onion = 65,
    // Frames.
    PushTransform = 96,
    PushBone = 97,
    Pop = 98,
    Repeat = 99,  // reserved; the validator rejects it
    // Experimental unary operator, allowed only with kSdnaFlagExperimental.
    Experimental = 192,
};

// Header flag bit 0: allows the experimental opcode.
inline constexpr std::uint32_t kSdnaFlagExperimental = 1u;

// Evaluator limits, enforced by the validator.
inline constexpr int kSdnaMaxValues = 32;  // value stack depth
inline constexpr int kSdnaMaxFrames = 16;  // frames open above the root

// "No bone": a culling record given in the current frame.
inline constexpr std::uint32_t kSdnaNoBone = 0xFFFFFFFFu;

// Trace status values of SdnaHit::status.
inline constexpr std::uint8_t kSdnaMiss = 0;
inline constexpr std::uint8_t kSdnaHit = 1;
inline constexpr std::uint8_t kSdnaUncertain = 2;  // non-finite distance or step budget spent

// One instruction, 48 bytes, little-endian. Unused parameters are 0.
struct SdnaInstruction {
    SdnaOp op = SdnaOp::Sphere;
    std::uint8_t reserved1 = 0;     // must be 0
    std::uint16_t material = 0;     // primitives: index into SdnaProgram::materials
    std::uint32_t bone = 0;         // PushBone: bone index
    std::uint32_t reserved8 = 0;    // must be 0 (GPU packing stores a culling index here)
    std::uint32_t reserved12 = 0;   // must be 0
    std::array<float, 8> p{};       // parameters p[0] .. p[7]
};
static_assert(sizeof(SdnaInstruction) == 48);
static_assert(std::is_trivially_copyable_v<SdnaInstruction>);
static_assert(std::is_standard_layout_v<SdnaInstruction>);
static_assert(offsetof(SdnaInstruction, op) == 0);
static_assert(offsetof(SdnaInstruction, reserved1) == 1);
static_assert(offsetof(SdnaInstruction, material) == 2);
static_assert(offsetof(SdnaInstruction, bone) == 4);
static_assert(offsetof(SdnaInstruction, reserved8) == 8);
static_assert(offsetof(SdnaInstruction, reserved12) == 12);
static_assert(offsetof(SdnaInstruction, p) == 16);

// Surface material: linear colour and roughness, 16 bytes.
struct SdnaMaterial {
    float red = 0.8f;
    float green = 0.8f;
    float blue = 0.8f;
    float roughness = 0.6f;
};
static_assert(sizeof(SdnaMaterial) == 16);
static_assert(std::is_trivially_copyable_v<SdnaMaterial>);
static_assert(offsetof(SdnaMaterial, red) == 0);
static_assert(offsetof(SdnaMaterial, green) == 4);
static_assert(offsetof(SdnaMaterial, blue) == 8);
static_assert(offsetof(SdnaMaterial, roughness) == 12);

// The pose of one bone, 32 bytes. Default: the identity pose.
struct BonePose {
    std::array<float, 4> rotation{0.0f, 0.0f, 0.0f, 1.0f};  // quaternion x, y, z, w
    std::array<float, 3> position{0.0f, 0.0f, 0.0f};
    float scale = 1.0f;
};
static_assert(sizeof(BonePose) == 32);
static_assert(std::is_trivially_copyable_v<BonePose>);
static_assert(offsetof(BonePose, rotation) == 0);
static_assert(offsetof(BonePose, position) == 16);
static_assert(offsetof(BonePose, scale) == 28);

// A decoded program, owned by value.
struct SdnaProgram {
    std::vector<SdnaInstruction> instructions;
    std::vector<SdnaMaterial> materials;
    std::uint32_t boneCount = 0;  // PushBone indices must be below it
    std::uint32_t flags = 0;      // only kSdnaFlagExperimental is valid
    // Box containing the whole solid in program space; the tracer never
    // looks outside it. Default: the empty box.
    std::array<float, 3> boundsMin{std::numeric_limits<float>::infinity(),
                                   std::numeric_limits<float>::infinity(),
                                   std::numeric_limits<float>::infinity()};
    std::array<float, 3> boundsMax{-std::numeric_limits<float>::infinity(),
                                   -std::numeric_limits<float>::infinity(),
                                   -std::numeric_limits<float>::infinity()};
};

// One culling record: a sphere around the subtree that starts at the
// instruction whose recordOf entry names this record. When the sphere is far
// enough that the subtree cannot change its combinator's result, evaluation
// continues at `end` (past the combinator).
struct BoundRecord {
    std::uint32_t end = 0;            // instruction index to continue at
    std::uint32_t bone = kSdnaNoBone; // bone whose space the sphere is in, or kSdnaNoBone
    bool subtract = false;            // the subtree is the right operand of a Subtract
    float slack = 0.0f;               // SmoothUnion blend k (0 for Union and Subtract)
    std::array<float, 3> centre{};
    float radius = 0.0f;
    float scale = 1.0f;               // turns a distance to the sphere into a lower bound
};

// The optional culling table of a program.
struct ProgramBounds {
    std::vector<std::int32_t> recordOf;  // one entry per instruction; -1 = no record starts here
    std::vector<BoundRecord> records;
};

// Result of a point evaluation.
struct SdnaSample {
    float distance = 0.0f;
    std::uint16_t material = 0;
};

// Result of a gradient evaluation.
struct SdnaGradientSample {
    float distance = 0.0f;
    std::array<float, 3> gradient{};  // derivative of the distance with respect to the input point
    std::uint16_t material = 0;
};

// Input of every shape-program trace.
struct SdnaTraceOptions {
    std::uint32_t maxSteps = 256;     // evaluations allowed
    float eps = 0.0001f;              // absolute hit threshold
    float epsPerDistance = 0.0f;      // threshold growth per unit of ray distance
    bool normals = true;              // compute the hit normal
};

// Result of a trace. A miss has every field 0 but `steps`.
struct SdnaHit {
    bool hit = false;                 // status == kSdnaHit
    std::uint8_t status = kSdnaMiss;  // kSdnaMiss, kSdnaHit or kSdnaUncertain
    float t = 0.0f;
    std::array<float, 3> position{};
    std::array<float, 3> normal{};
    std::uint16_t material = 0;
    std::uint32_t steps = 0;          // evaluations made
    float distance = 0.0f;            // last distance evaluated
};

// A placed program (the tile renderer's solid object). Nothing is owned:
// program, pose and bounds must outlive every trace.
struct SdnaInstance {
    const SdnaProgram* program = nullptr;
    std::array<float, 4> rotation{0.0f, 0.0f, 0.0f, 1.0f};  // quaternion x, y, z, w
    std::array<float, 3> translation{0.0f, 0.0f, 0.0f};
    float scale = 1.0f;
    const BonePose* pose = nullptr;  // may be null: every bone uses the identity pose
    std::uint64_t poseCount = 0;
    const ProgramBounds* bounds = nullptr;  // optional culling table
};

}  // namespace qlmr
