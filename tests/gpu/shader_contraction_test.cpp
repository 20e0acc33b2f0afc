// The kernels whose results are compared with the processor reference keep
// its rounding: the reference rounds every product and every sum on its own
// (the engine is built without floating-point contraction), so no multiply
// that feeds an addition may be fused, neither by the shader compiler (an
// explicit GLSL.std.450 Fma) nor by a driver (a pair without NoContraction).
#include "gpu/embedded_shaders.h"
#include "gpu/gpu_tracer_shaders.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <vector>

namespace qlmr {
namespace {

// SPIR-V opcodes and numbers this check reads.
constexpr std::uint32_t kOpExtInstImport = 11;
constexpr std::uint32_t kOpExtInst = 12;
constexpr std::uint32_t kOpDecorate = 71;
constexpr std::uint32_t kOpFAdd = 129;
constexpr std::uint32_t kOpFSub = 131;
constexpr std::uint32_t kOpFMul = 133;
constexpr std::uint32_t kOpVectorTimesScalar = 142;
constexpr std::uint32_t kOpMatrixTimesMatrix = 146;  // 142..146: the vector and matrix products
constexpr std::uint32_t kNoContraction = 42;
constexpr std::uint32_t kGlslFma = 50;

struct Instruction {
    std::uint32_t opcode = 0;
    std::vector<std::uint32_t> operands;  // the words after the first
};

std::vector<Instruction> instructions(SpirvCode code)
{
    std::vector<Instruction> list;
    for (std::size_t at = 5; at < code.wordCount;) {  // after the five header words
        const std::uint32_t count = code.words[at] >> 16;
        if (count == 0 || at + count > code.wordCount) {
            ADD_FAILURE() << "malformed instruction at word " << at;
            break;
        }
        list.push_back({code.words[at] & 0xFFFFu, {code.words + at + 1, code.words + at + count}});
        at += count;
    }
    return list;
}

std::string literalString(const std::vector<std::uint32_t>& words, std::size_t first)
{
    std::string text;
    for (std::size_t i = first; i < words.size(); ++i)
        for (int b = 0; b < 4; ++b) {
            const char c = char((words[i] >> (8 * b)) & 0xFFu);
            if (c == '\0')
                return text;
            text += c;
        }
    return text;
}

bool isProduct(std::uint32_t opcode)
{
    return opcode == kOpFMul || (opcode >= kOpVectorTimesScalar && opcode <= kOpMatrixTimesMatrix);
}

struct Contractions {
    int fmas = 0;          // explicit GLSL.std.450 Fma instructions
    int products = 0;      // products feeding an addition or subtraction
    int fusable = 0;       // of those, pairs with NoContraction on neither side
};

Contractions contractions(SpirvCode code)
{
    const std::vector<Instruction> list = instructions(code);
    std::set<std::uint32_t> glslSets, noContraction;
    std::map<std::uint32_t, std::uint32_t> opcodeOf;  // result id -> opcode
    for (const Instruction& ins : list) {
        if (ins.opcode == kOpExtInstImport && ins.operands.size() >= 2 &&
            literalString(ins.operands, 1) == "GLSL.std.450")
            glslSets.insert(ins.operands[0]);
        if (ins.opcode == kOpDecorate && ins.operands.size() >= 2 && ins.operands[1] == kNoContraction)
            noContraction.insert(ins.operands[0]);
        if ((ins.opcode == kOpFMul || ins.opcode == kOpFAdd || ins.opcode == kOpFSub || isProduct(ins.opcode)) &&
            ins.operands.size() >= 2)
            opcodeOf[ins.operands[1]] = ins.opcode;
    }
    Contractions c;
    for (const Instruction& ins : list) {
        if (ins.opcode == kOpExtInst && ins.operands.size() >= 4 && glslSets.count(ins.operands[2]) &&
            ins.operands[3] == kGlslFma)
            ++c.fmas;
        if ((ins.opcode != kOpFAdd && ins.opcode != kOpFSub) || ins.operands.size() < 4)
            continue;
        for (const std::uint32_t operand : {ins.operands[2], ins.operands[3]}) {
            const auto found = opcodeOf.find(operand);
            if (found == opcodeOf.end() || !isProduct(found->second))
                continue;
            ++c.products;
            if (!noContraction.count(operand) && !noContraction.count(ins.operands[1]))
                ++c.fusable;
        }
    }
    return c;
}

TEST(ShaderContraction, KernelsComparedWithTheReferenceFuseNoMultiplyAdd)
{
    const std::pair<const char*, SpirvCode> kernels[] = {
        {"field_trace", fieldTraceShader()},
        {"field_trace_only", fieldTraceOnlyShader()},
        {"field_trace_solid", fieldTraceSolidShader()},
        {"sdna_plain", sdnaPlainShader()},
        {"sdna_bricks", sdnaBricksShader()},
        {"sdna_bricks_f64", sdnaBricksF64Shader()},
    };
    for (const auto& [name, code] : kernels) {
        SCOPED_TRACE(name);
        const Contractions c = contractions(code);
        EXPECT_GT(c.products, 100) << "the kernel should be read as a whole";
        EXPECT_EQ(c.fmas, 0);
        EXPECT_EQ(c.fusable, 0);
    }
}

// The reader itself, on a hand-made stream: a product feeding an addition
// counts as fusable until either side carries NoContraction, and an
// explicit Fma of the GLSL set counts as one.
TEST(ShaderContraction, ReaderCountsUnmarkedPairsAndExplicitFmas)
{
    const auto word = [](std::uint32_t count, std::uint32_t opcode) { return count << 16 | opcode; };
    std::vector<std::uint32_t> words = {0x07230203u, 0x00010000u, 0u, 100u, 0u};
    const std::vector<std::uint32_t> body = {
        word(6, kOpExtInstImport), 1, 0x4C534C47u, 0x6474732Eu, 0x3035342Eu, 0u,  // "GLSL.std.450"
        word(5, kOpFMul), 2, 10, 3, 4,                                           // %10 = %3 * %4
        word(5, kOpFAdd), 2, 11, 10, 5,                                          // %11 = %10 + %5
        word(5, kOpVectorTimesScalar), 6, 12, 7, 3,                              // %12 = %7 * %3
        word(5, kOpFSub), 6, 13, 8, 12,                                          // %13 = %8 - %12
        word(8, kOpExtInst), 2, 14, 1, kGlslFma, 3, 4, 5,                        // %14 = fma(%3, %4, %5)
    };
    words.insert(words.end(), body.begin(), body.end());
    Contractions c = contractions({words.data(), words.size()});
    EXPECT_EQ(c.fmas, 1);
    EXPECT_EQ(c.products, 2);
    EXPECT_EQ(c.fusable, 2);

    // NoContraction on the product of one pair and on the sum of the other.
    const std::vector<std::uint32_t> decorations = {word(3, kOpDecorate), 10, kNoContraction,
                                                    word(3, kOpDecorate), 13, kNoContraction};
    words.insert(words.begin() + 5 + 6, decorations.begin(), decorations.end());
    c = contractions({words.data(), words.size()});
    EXPECT_EQ(c.products, 2);
    EXPECT_EQ(c.fusable, 0);
}

} // namespace
} // namespace qlmr
