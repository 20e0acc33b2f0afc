#include "sdna/validator.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>
#include <vector>

namespace qlmr {
namespace {

constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();
constexpr float kInf = std::numeric_limits<float>::infinity();

SdnaInstruction make(SdnaOp op, std::array<float, 8> p = {})
{
    SdnaInstruction in;
    in.op = op;
    in.p = p;
    return in;
}

SdnaInstruction sphere(float radius = 1.0f) { return make(SdnaOp::Sphere, {0, 0, 0, radius}); }
SdnaInstruction unite() { return make(SdnaOp::Union); }
SdnaInstruction pop() { return make(SdnaOp::Pop); }
SdnaInstruction transform(float scale = 1.0f) { return make(SdnaOp::PushTransform, {0, 0, 0, 1, 0, 0, 0, scale}); }
SdnaInstruction raw(std::uint8_t op) { return make(static_cast<SdnaOp>(op)); }
SdnaInstruction bone(std::uint32_t index)
{
    SdnaInstruction in = make(SdnaOp::PushBone);
    in.bone = index;
    return in;
}

// A quaternion (or plane normal) along x whose squared length is given.
float alongX(double squared) { return static_cast<float>(std::sqrt(squared)); }

SdnaProgram program(std::vector<SdnaInstruction> code, std::uint32_t flags = 0, std::uint32_t bones = 2)
{
    SdnaProgram p;
    p.instructions = std::move(code);
    p.materials.resize(2);
    p.flags = flags;
    p.boneCount = bones;
    p.boundsMin = {-1, -1, -1};
    p.boundsMax = {1, 1, 1};
    return p;
}

// n spheres merged by n - 1 unions: the stack reaches depth n.
std::vector<SdnaInstruction> deepStack(int n)
{
    std::vector<SdnaInstruction> code(n, sphere());
    for (int i = 1; i < n; ++i)
        code.push_back(unite());
    return code;
}

// n nested frames around one sphere.
std::vector<SdnaInstruction> nestedFrames(int n)
{
    std::vector<SdnaInstruction> code(n, transform());
    code.push_back(sphere());
    for (int i = 0; i < n; ++i)
        code.push_back(pop());
    return code;
}

struct Case {
    const char* name;
    SdnaProgram program;
    const char* message; // nullptr: valid
};

SdnaInstruction with(SdnaInstruction in, int index, float value)
{
    in.p[index] = value;
    return in;
}

std::vector<Case> cases()
{
    std::vector<Case> c;
    auto add = [&](const char* name, SdnaProgram p, const char* message) { c.push_back({name, std::move(p), message}); };

    // Stack and frame limits, exactly at and one past.
    add("32 values", program(deepStack(32)), nullptr);
    add("33 values", program(deepStack(33)), "sdna: instruction 32: value stack too deep");
    add("16 frames", program(nestedFrames(16)), nullptr);
    add("17 frames", program(nestedFrames(17)), "sdna: instruction 16: frames nested too deep");
    add("a 16th frame reopened after closing one",
        program([] {
            std::vector<SdnaInstruction> code(16, transform());
            code.push_back(sphere());
            code.push_back(pop());
            code.push_back(transform()); // 16 open again
            code.push_back(sphere());
            code.push_back(pop());
            code.push_back(unite());
            for (int i = 0; i < 15; ++i)
                code.push_back(pop());
            return code;
        }()),
        nullptr);

    // Stack effects.
    add("empty", program({}), "sdna: program must leave exactly one value (has 0)");
    add("two values", program({sphere(), sphere()}), "sdna: program must leave exactly one value (has 2)");
    add("combinator alone", program({sphere(), unite()}), "sdna: instruction 1: combinator needs two operands");
    add("unary alone", program({make(SdnaOp::Onion)}), "sdna: instruction 0: unary op needs an operand");
    add("combinator reaching out", program({sphere(), transform(), sphere(), unite(), pop()}),
        "sdna: instruction 3: combinator reaches outside its frame");
    add("unary reaching out", program({sphere(), transform(), make(SdnaOp::Offset), sphere(), pop()}),
        "sdna: instruction 2: unary op reaches outside its frame");
    add("combinator inside its frame",
        program({sphere(), transform(), sphere(), sphere(), make(SdnaOp::SmoothUnion, {0.1f}), pop(), unite()}),
        nullptr);
    add("empty frame", program({transform(), pop()}), "sdna: instruction 1: a frame must produce exactly one value");
    add("frame of two", program({transform(), sphere(), sphere(), pop()}),
        "sdna: instruction 3: a frame must produce exactly one value");
    add("pop without frame", program({sphere(), pop()}), "sdna: instruction 1: Pop without a frame");
    add("unclosed frame", program({transform(), sphere()}), "sdna: unclosed frame");
    add("unclosed frame before depth", program({transform()}), "sdna: unclosed frame");
    add("bone frame", program({bone(1), sphere(), pop()}), nullptr);
    add("bone out of range", program({bone(2), sphere(), pop()}), "sdna: instruction 0: bone index out of range");

    // Quaternions and plane normals: squared length 1 +- 0.0015 passes, +- 0.0025 fails.
    for (double squared : {1.0015, 0.9985, 1.0025, 0.9975}) {
        const bool ok = std::fabs(squared - 1.0) < 0.002;
        SdnaInstruction q = make(SdnaOp::PushTransform, {alongX(squared), 0, 0, 0, 0, 0, 0, 1});
        add(ok ? "quaternion inside tolerance" : "quaternion outside tolerance", program({q, sphere(), pop()}),
            ok ? nullptr : "sdna: instruction 0: quaternion is not unit length");
        SdnaInstruction n = make(SdnaOp::Plane, {0, alongX(squared), 0, 0.5f});
        add(ok ? "plane inside tolerance" : "plane outside tolerance", program({n}),
            ok ? nullptr : "sdna: instruction 0: plane normal is not unit length");
    }
    add("scale 0", program({transform(0.0f), sphere(), pop()}), "sdna: instruction 0: scale must be positive");
    add("negative scale", program({transform(-1.0f), sphere(), pop()}), "sdna: instruction 0: scale must be positive");
    add("quaternion before scale", program({make(SdnaOp::PushTransform), sphere(), pop()}),
        "sdna: instruction 0: quaternion is not unit length");
    add("quaternion before frame limit",
        program([] {
            std::vector<SdnaInstruction> code = nestedFrames(17);
            code[16] = make(SdnaOp::PushTransform, {0, 0, 0, 2, 0, 0, 0, 1});
            return code;
        }()),
        "sdna: instruction 16: quaternion is not unit length");

    // Primitive parameters.
    add("zero radius", program({sphere(0.0f)}), nullptr);
    add("negative sphere radius", program({sphere(-0.5f)}), "sdna: instruction 0: negative radius");
    add("negative capsule radius", program({make(SdnaOp::Capsule, {0, 0, 0, 1, 0, 0, -1})}),
        "sdna: instruction 0: negative radius");
    add("negative tapered radius a", program({make(SdnaOp::TaperedCapsule, {0, 0, 0, -1, 1, 0, 0, 1})}),
        "sdna: instruction 0: negative radius");
    add("negative tapered radius b", program({make(SdnaOp::TaperedCapsule, {0, 0, 0, 1, 1, 0, 0, -1})}),
        "sdna: instruction 0: negative radius");
    add("zero ellipsoid radius", program({make(SdnaOp::Ellipsoid, {0, 0, 0, 1, 0, 1})}),
        "sdna: instruction 0: ellipsoid radii must be positive");
    add("ellipsoid", program({make(SdnaOp::Ellipsoid, {0, 0, 0, 1, 2, 3})}), nullptr);
    add("negative box extent", program({make(SdnaOp::Box, {0, 0, 0, 1, 1, -1, 0})}),
        "sdna: instruction 0: negative box extent");
    add("negative box corner", program({make(SdnaOp::Box, {0, 0, 0, 1, 1, 1, -0.1f})}),
        "sdna: instruction 0: negative box extent");
    add("flat box", program({make(SdnaOp::Box, {0, 0, 0, 0, 0, 0, 0})}), nullptr);
    add("material 1 of 2", program({[] { SdnaInstruction s = sphere(); s.material = 1; return s; }()}), nullptr);
    add("material 2 of 2", program({[] { SdnaInstruction s = sphere(); s.material = 2; return s; }()}),
        "sdna: instruction 0: material index out of range");
    add("material before radius", program({[] { SdnaInstruction s = sphere(-1); s.material = 9; return s; }()}),
        "sdna: instruction 0: material index out of range");
    add("radius before depth",
        program([] {
            std::vector<SdnaInstruction> code = deepStack(33);
            code[32] = sphere(-1.0f);
            return code;
        }()),
        "sdna: instruction 32: negative radius");

    // Opcodes and the order of the per-instruction checks.
    add("experimental with flag", program({sphere(), raw(192)}, 1), nullptr);
    add("experimental 193 with flag", program({sphere(), raw(193)}, 1), "sdna: instruction 1: unknown opcode");
    add("experimental without flag, empty stack", program({raw(192)}),
        "sdna: instruction 0: experimental opcode requires the experimental header flag");
    add("experimental 254 without flag", program({sphere(), raw(254)}),
        "sdna: instruction 1: experimental opcode requires the experimental header flag");
    add("experimental needs an operand", program({raw(192)}, 1), "sdna: instruction 0: unary op needs an operand");
    for (int op : {0, 7, 31, 36, 63, 66, 95, 100, 191, 255})
        add("unknown opcode", program({sphere(), raw(static_cast<std::uint8_t>(op))}),
            "sdna: instruction 1: unknown opcode");
    add("Repeat", program({sphere(), raw(99)}), "sdna: instruction 1: Repeat is reserved and not yet specified");
    add("NaN before opcode", program({sphere(), with(raw(7), 7, kNaN)}), "sdna: instruction 1: non-finite parameter");
    add("infinity in an unused parameter", program({with(sphere(), 5, -kInf)}),
        "sdna: instruction 0: non-finite parameter");
    add("reserved before NaN",
        program({sphere(), [] { SdnaInstruction in = with(raw(7), 0, kNaN); in.reserved1 = 1; return in; }()}),
        "sdna: instruction 1: reserved fields must be 0");
    add("reserved word 8", program({[] { SdnaInstruction s = sphere(); s.reserved8 = 1; return s; }()}),
        "sdna: instruction 0: reserved fields must be 0");
    add("reserved word 12", program({[] { SdnaInstruction s = sphere(); s.reserved12 = 1u << 31; return s; }()}),
        "sdna: instruction 0: reserved fields must be 0");

    // Header, materials and bounds.
    add("header flag 2", program({sphere()}, 2), "sdna: unknown header flags");
    add("header flags before instructions", program({raw(0)}, 0x80000001u), "sdna: unknown header flags");
    add("65536 bones", program({sphere()}, 0, 65536), nullptr);
    add("65537 bones", program({sphere()}, 0, 65537), "sdna: bone count too large");
    add("NaN material", [] { SdnaProgram p = program({sphere()}); p.materials[1].green = kNaN; return p; }(),
        "sdna: non-finite material");
    add("no material", [] { SdnaProgram p = program({sphere()}); p.materials.clear(); return p; }(),
        "sdna: instruction 0: material index out of range");
    add("depth before materials", [] { SdnaProgram p = program({}); p.materials[0].red = kInf; return p; }(),
        "sdna: program must leave exactly one value (has 0)");
    add("flat bounds", [] { SdnaProgram p = program({sphere()}); p.boundsMin[1] = p.boundsMax[1] = 1; return p; }(),
        nullptr);
    add("inverted bounds", [] { SdnaProgram p = program({sphere()}); p.boundsMin[2] = 2; return p; }(),
        "sdna: bounds are not a finite box");
    add("default bounds", [] { SdnaProgram p = program({sphere()}); p.boundsMin = SdnaProgram{}.boundsMin;
        p.boundsMax = SdnaProgram{}.boundsMax; return p; }(), "sdna: bounds are not a finite box");
    add("NaN bounds", [] { SdnaProgram p = program({sphere()}); p.boundsMax[0] = kNaN; return p; }(),
        "sdna: bounds are not a finite box");
    add("material before bounds", [] { SdnaProgram p = program({sphere()}); p.boundsMax[0] = kNaN;
        p.materials[0].roughness = kNaN; return p; }(), "sdna: non-finite material");
    return c;
}

TEST(Validator, RulesLimitsAndTheirOrder)
{
    for (const Case& c : cases()) {
        SCOPED_TRACE(c.name);
        std::string error = "untouched";
        const bool ok = validateProgram(c.program, error);
        if (c.message == nullptr) {
            EXPECT_TRUE(ok) << error;
            EXPECT_EQ(error, "untouched");
        } else {
            EXPECT_FALSE(ok);
            EXPECT_EQ(error, c.message);
        }
    }
}

TEST(Validator, InstructionErrorFormatsIndexAndText)
{
    std::string error;
    EXPECT_FALSE(instructionError(error, 0, "x"));
    EXPECT_EQ(error, "sdna: instruction 0: x");
    EXPECT_FALSE(instructionError(error, 123456, "unknown opcode"));
    EXPECT_EQ(error, "sdna: instruction 123456: unknown opcode");
}

} // namespace
} // namespace qlmr
