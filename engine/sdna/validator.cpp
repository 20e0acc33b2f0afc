#include "sdna/validator.h"

#include <cmath>
#include <cstdint>

namespace qlmr {
namespace {

bool isFinite(float value) { return std::isfinite(value); }

double squaredLength(const std::array<float, 8>& p, int count)
{
    double sum = 0.0;
    for (int i = 0; i < count; ++i)
        sum += double(p[i]) * double(p[i]);
    return sum;
}

// The per-opcode primitive rules; nullptr when the parameters are fine.
const char* primitiveError(const SdnaInstruction& in)
{
    const std::array<float, 8>& p = in.p;
    switch (in.op) {
    case SdnaOp::Sphere:
        return p[3] < 0.0f ? "negative radius" : nullptr;
    case SdnaOp::Capsule:
        return p[6] < 0.0f ? "negative radius" : nullptr;
    case SdnaOp::TaperedCapsule:
        return (p[3] < 0.0f || p[7] < 0.0f) ? "negative radius" : nullptr;
    case SdnaOp::Ellipsoid:
        return (!(p[3] > 0.0f) || !(p[4] > 0.0f) || !(p[5] > 0.0f)) ? "ellipsoid radii must be positive" : nullptr;
    case SdnaOp::Box:
        return (p[3] < 0.0f || p[4] < 0.0f || p[5] < 0.0f || p[6] < 0.0f) ? "negative box extent" : nullptr;
    case SdnaOp::Plane:
        return std::fabs(squaredLength(p, 3) - 1.0) > kSdnaUnitTolerance ? "plane normal is not unit length" : nullptr;
    default:
        return nullptr;
    }
}

} // namespace

bool instructionError(std::string& error, std::size_t index, std::string_view text)
{
    error = "sdna: instruction " + std::to_string(index) + ": ";
    error += text;
    return false;
}

bool validateProgram(const SdnaProgram& program, std::string& error)
{
    if ((program.flags & ~kSdnaFlagExperimental) != 0) {
        error = "sdna: unknown header flags";
        return false;
    }
    if (program.boneCount > kSdnaMaxBones) {
        error = "sdna: bone count too large";
        return false;
    }
    const bool experimentalAllowed = (program.flags & kSdnaFlagExperimental) != 0;
    const std::size_t materialCount = program.materials.size();

    int depth = 0;
    int frames = 0;
    int frameBase[kSdnaMaxFrames] = {};

    for (std::size_t i = 0; i < program.instructions.size(); ++i) {
        const SdnaInstruction& in = program.instructions[i];
        const unsigned op = static_cast<std::uint8_t>(in.op);

        if (in.reserved1 != 0 || in.reserved8 != 0 || in.reserved12 != 0)
            return instructionError(error, i, "reserved fields must be 0");
        for (float value : in.p)
            if (!isFinite(value))
                return instructionError(error, i, "non-finite parameter");
        if (op >= 192 && op <= 254 && !experimentalAllowed)
            return instructionError(error, i, "experimental opcode requires the experimental header flag");
        if (op == 0 || op > 192)
            return instructionError(error, i, "unknown opcode");

        if (op >= 1 && op <= 6) {
            if (in.material >= materialCount)
                return instructionError(error, i, "material index out of range");
            if (const char* text = primitiveError(in))
                return instructionError(error, i, text);
            if (depth >= kSdnaMaxValues)
                return instructionError(error, i, "value stack too deep");
            ++depth;
        } else if (op >= 32 && op <= 35) {
            if (depth < 2)
                return instructionError(error, i, "combinator needs two operands");
            if (frames > 0 && depth - 2 < frameBase[frames - 1])
                return instructionError(error, i, "combinator reaches outside its frame");
            --depth;
        } else if (op == 64 || op == 65 || op == 192) {
            if (depth < 1)
                return instructionError(error, i, "unary op needs an operand");
            if (frames > 0 && depth - 1 < frameBase[frames - 1])
                return instructionError(error, i, "unary op reaches outside its frame");
        } else if (op == 96 || op == 97) {
            if (op == 96) {
                // Exactly the tolerance fails for quaternions (not below it),
                // while a plane normal fails only above it.
                if (!(std::fabs(squaredLength(in.p, 4) - 1.0) < kSdnaUnitTolerance))
                    return instructionError(error, i, "quaternion is not unit length");
                if (!(in.p[7] > 0.0f))
                    return instructionError(error, i, "scale must be positive");
            } else if (in.bone >= program.boneCount) {
                return instructionError(error, i, "bone index out of range");
            }
            if (frames >= kSdnaMaxFrames)
                return instructionError(error, i, "frames nested too deep");
            frameBase[frames++] = depth;
        } else if (op == 98) {
            if (frames == 0)
                return instructionError(error, i, "Pop without a frame");
            const int base = frameBase[--frames];
            if (depth != base + 1)
                return instructionError(error, i, "a frame must produce exactly one value");
        } else if (op == 99) {
            return instructionError(error, i, "Repeat is reserved and not yet specified");
        } else {
            return instructionError(error, i, "unknown opcode");
        }
    }

    if (frames > 0) {
        error = "sdna: unclosed frame";
        return false;
    }
    if (depth != 1) {
        error = "sdna: program must leave exactly one value (has " + std::to_string(depth) + ")";
        return false;
    }
    for (const SdnaMaterial& m : program.materials) {
        if (!isFinite(m.red) || !isFinite(m.green) || !isFinite(m.blue) || !isFinite(m.roughness)) {
            error = "sdna: non-finite material";
            return false;
        }
    }
    for (int axis = 0; axis < 3; ++axis) {
        const float lo = program.boundsMin[axis];
        const float hi = program.boundsMax[axis];
        if (!isFinite(lo) || !isFinite(hi) || lo > hi) {
            error = "sdna: bounds are not a finite box";
            return false;
        }
    }
    return true;
}

} // namespace qlmr
