#include "sdna/container.h"
#include "sdna/container_writer.h"
#include "sdna/sdna_reader.h"
#include "sdna/validator.h"

#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <limits>
#include <string>
#include <vector>

namespace qlmr {
namespace {

using Bytes = std::vector<std::uint8_t>;

constexpr std::size_t kSection = 16 + 24;           // the only section follows the table
constexpr std::size_t kCode = kSection + 48;        // first instruction
constexpr std::size_t instr(std::size_t i) { return kCode + 48 * i; }
constexpr std::size_t kInstructionCount = 5;
constexpr std::size_t kMaterials = kCode + 48 * kInstructionCount;

void putLe32(Bytes& bytes, std::size_t at, std::uint32_t value)
{
    for (int i = 0; i < 4; ++i)
        bytes[at + i] = static_cast<std::uint8_t>(value >> (8 * i));
}

void putLe64(Bytes& bytes, std::size_t at, std::uint64_t value)
{
    putLe32(bytes, at, static_cast<std::uint32_t>(value));
    putLe32(bytes, at + 4, static_cast<std::uint32_t>(value >> 32));
}

void putFloat(Bytes& bytes, std::size_t at, float value)
{
    std::uint32_t bits;
    std::memcpy(&bits, &value, 4);
    putLe32(bytes, at, bits);
}

// Sphere; PushBone 0 (Capsule); Pop; Union -- two materials, one bone.
SdnaProgram sampleProgram()
{
    SdnaProgram program;
    SdnaInstruction in;
    in.op = SdnaOp::Sphere;
    in.p = {0.0f, 0.5f, 0.0f, 0.5f};
    program.instructions.push_back(in);
    in = SdnaInstruction{};
    in.op = SdnaOp::PushBone;
    in.bone = 0;
    program.instructions.push_back(in);
    in = SdnaInstruction{};
    in.op = SdnaOp::Capsule;
    in.material = 1;
    in.p = {0.0f, 0.0f, 0.0f, 1.0f, 0.0f, 0.0f, 0.25f};
    program.instructions.push_back(in);
    in = SdnaInstruction{};
    in.op = SdnaOp::Pop;
    program.instructions.push_back(in);
    in = SdnaInstruction{};
    in.op = SdnaOp::Union;
    program.instructions.push_back(in);
    program.materials = {{0.1f, 0.2f, 0.3f, 0.4f}, {0.5f, 0.6f, 0.7f, 0.8f}};
    program.boneCount = 1;
    program.boundsMin = {-0.5f, -0.25f, -0.5f};
    program.boundsMax = {1.25f, 1.0f, 0.5f};
    return program;
}

void expectSamePrograms(const SdnaProgram& a, const SdnaProgram& b)
{
    ASSERT_EQ(a.instructions.size(), b.instructions.size());
    ASSERT_EQ(a.materials.size(), b.materials.size());
    EXPECT_EQ(std::memcmp(a.instructions.data(), b.instructions.data(), 48 * a.instructions.size()), 0);
    EXPECT_EQ(std::memcmp(a.materials.data(), b.materials.data(), 16 * a.materials.size()), 0);
    EXPECT_EQ(a.boneCount, b.boneCount);
    EXPECT_EQ(a.flags, b.flags);
    EXPECT_EQ(a.boundsMin, b.boundsMin);
    EXPECT_EQ(a.boundsMax, b.boundsMax);
}

TEST(SdnaReader, ValidFileRoundTrips)
{
    const SdnaProgram original = sampleProgram();
    const Bytes bytes = encodeSdnaFile(original);
    ASSERT_EQ(bytes.size(), kMaterials + 32);
    SdnaProgram read;
    std::string error = "untouched";
    ASSERT_TRUE(loadSdna(read, bytes, error)) << error;
    EXPECT_EQ(error, "untouched");
    expectSamePrograms(read, original);
}

TEST(SdnaReader, SectionMayBeLongerThanItsRecordsButNotShorter)
{
    const SdnaProgram original = sampleProgram();
    Bytes section = encodeSdnaSection(original);
    SdnaProgram read;
    std::string error;
    ASSERT_TRUE(parseSdnaSection(read, section, error)) << error; // exactly 48 + 48n + 16m
    section.insert(section.end(), {0xDE, 0xAD, 0xBE, 0xEF});
    ASSERT_TRUE(parseSdnaSection(read, section, error)) << error;
    expectSamePrograms(read, original);
    section.erase(section.end() - 5, section.end());
    EXPECT_FALSE(parseSdnaSection(read, section, error));
    EXPECT_EQ(error, "sdna: section truncated");
}

TEST(SdnaReader, OnlyTheFirstSdnaSectionIsRead)
{
    SdnaProgram other = sampleProgram();
    other.instructions.resize(1);
    const ContainerSection sections[] = {{fourCC("MISC"), 5, {1, 2, 3}},
                                         {fourCC("SDNA"), 0, encodeSdnaSection(sampleProgram())},
                                         {fourCC("SDNA"), 9, encodeSdnaSection(other)}};
    const Bytes bytes = writeContainer(fourCC("SCEN"), sections);
    SdnaProgram read;
    std::string error;
    ASSERT_TRUE(loadSdna(read, bytes, error)) << error;
    EXPECT_EQ(read.instructions.size(), kInstructionCount);
}

TEST(SdnaReader, EmptyContainerReportsKindBeforeMissingSection)
{
    SdnaProgram read;
    std::string error;
    EXPECT_FALSE(loadSdna(read, writeContainer(fourCC("SCEN"), {}), error));
    EXPECT_EQ(error, "sdna: no SDNA section");
    EXPECT_FALSE(loadSdna(read, writeContainer(fourCC("WRLD"), {}), error));
    EXPECT_EQ(error, "sdna: not a SCEN container");
}

struct MutationCase {
    const char* name;
    void (*mutate)(Bytes&);
    const char* message;
};

std::uint32_t sectionWord(const Bytes& b, std::size_t at)
{
    return readLe32(b, kSection + at);
}

// One mutation of the valid sample file per rule, with the message it gives.
const MutationCase mutationCases[] = {
    // Container.
    {"fifteen bytes", [](Bytes& b) { b.resize(15); }, "not an QLC1 container"},
    {"magic", [](Bytes& b) { b[0] = 'q'; }, "not an QLC1 container"},
    {"container flags", [](Bytes& b) { putLe32(b, 12, 1); }, "unsupported container flags"},
    {"cut inside the table", [](Bytes& b) { b.resize(30); }, "truncated section table"},
    {"section count 2", [](Bytes& b) { putLe32(b, 8, 2); }, "section out of range"},
    {"section offset past end", [](Bytes& b) { putLe64(b, 24, b.size() + 1); }, "section out of range"},
    {"section size past end", [](Bytes& b) { putLe64(b, 32, b.size() - kSection + 1); }, "section out of range"},
    {"file cut short", [](Bytes& b) { b.pop_back(); }, "section out of range"},
    // Kind and section.
    {"kind", [](Bytes& b) { b[4] = 'X'; }, "sdna: not a SCEN container"},
    {"tag", [](Bytes& b) { b[16] = 'X'; }, "sdna: no SDNA section"},
    {"section flags", [](Bytes& b) { putLe32(b, 20, 1); }, "section SDNA: unsupported flags 1"},
    {"section of 47 bytes", [](Bytes& b) { putLe64(b, 32, 47); }, "sdna: section too small"},
    {"version", [](Bytes& b) { putLe32(b, kSection, 3); }, "sdna: unsupported version 3"},
    {"version max", [](Bytes& b) { putLe32(b, kSection, 0xFFFFFFFFu); }, "sdna: unsupported version 4294967295"},
    {"section one byte short", [](Bytes& b) { putLe64(b, 32, b.size() - kSection - 1); }, "sdna: section truncated"},
    {"instruction count + 1", [](Bytes& b) { putLe32(b, kSection + 4, kInstructionCount + 1); },
     "sdna: section truncated"},
    {"material count + 1", [](Bytes& b) { putLe32(b, kSection + 8, 3); }, "sdna: section truncated"},
    {"counts at most", [](Bytes& b) { putLe32(b, kSection + 4, ~0u), putLe32(b, kSection + 8, ~0u); },
     "sdna: section truncated"},
    {"reserved header word", [](Bytes& b) { putLe32(b, kSection + 44, 1); },
     "sdna: reserved header word must be zero"},
    // The reserved word is looked at only once the sizes and the version pass.
    {"reserved word in a truncated section",
     [](Bytes& b) { putLe32(b, kSection + 44, 1), putLe64(b, 32, b.size() - kSection - 1); },
     "sdna: section truncated"},
    {"reserved word with version 3", [](Bytes& b) { putLe32(b, kSection + 44, 1), putLe32(b, kSection, 3); },
     "sdna: unsupported version 3"},
    // Header values, as the validator sees them.
    {"header flag 2", [](Bytes& b) { putLe32(b, kSection + 40, 2); }, "sdna: unknown header flags"},
    {"bone count past the limit", [](Bytes& b) { putLe32(b, kSection + 12, 65537); }, "sdna: bone count too large"},
    {"bone count max", [](Bytes& b) { putLe32(b, kSection + 12, 0xFFFFFFFFu); }, "sdna: bone count too large"},
    {"bone count 0", [](Bytes& b) { putLe32(b, kSection + 12, 0); }, "sdna: instruction 1: bone index out of range"},
    // Instruction fields.
    {"reserved byte", [](Bytes& b) { b[instr(2) + 1] = 1; }, "sdna: instruction 2: reserved fields must be 0"},
    {"reserved word 8", [](Bytes& b) { putLe32(b, instr(4) + 8, 1); }, "sdna: instruction 4: reserved fields must be 0"},
    {"reserved word 12", [](Bytes& b) { b[instr(0) + 15] = 0x80; }, "sdna: instruction 0: reserved fields must be 0"},
    {"opcode 0", [](Bytes& b) { b[instr(0)] = 0; }, "sdna: instruction 0: unknown opcode"},
    {"opcode 7", [](Bytes& b) { b[instr(0)] = 7; }, "sdna: instruction 0: unknown opcode"},
    {"opcode 100", [](Bytes& b) { b[instr(3)] = 100; }, "sdna: instruction 3: unknown opcode"},
    {"opcode 255", [](Bytes& b) { b[instr(4)] = 255; }, "sdna: instruction 4: unknown opcode"},
    {"experimental opcode", [](Bytes& b) { b[instr(4)] = 192; },
     "sdna: instruction 4: experimental opcode requires the experimental header flag"},
    {"experimental 200", [](Bytes& b) { b[instr(1)] = 200; },
     "sdna: instruction 1: experimental opcode requires the experimental header flag"},
    {"Repeat", [](Bytes& b) { b[instr(4)] = 99; }, "sdna: instruction 4: Repeat is reserved and not yet specified"},
    {"material index", [](Bytes& b) { putLe32(b, instr(2), 0x00020002u); },
     "sdna: instruction 2: material index out of range"},
    {"negative sphere radius", [](Bytes& b) { putFloat(b, instr(0) + 16 + 12, -0.001f); },
     "sdna: instruction 0: negative radius"},
    {"negative capsule radius", [](Bytes& b) { putFloat(b, instr(2) + 16 + 24, -1.0f); },
     "sdna: instruction 2: negative radius"},
    {"NaN parameter", [](Bytes& b) { putFloat(b, instr(2) + 16 + 28, std::numeric_limits<float>::quiet_NaN()); },
     "sdna: instruction 2: non-finite parameter"},
    {"infinite parameter", [](Bytes& b) { putFloat(b, instr(4) + 16, std::numeric_limits<float>::infinity()); },
     "sdna: instruction 4: non-finite parameter"},
    {"Pop becomes Union", [](Bytes& b) { b[instr(3)] = 32; },
     "sdna: instruction 3: combinator reaches outside its frame"},
    {"Union becomes Pop", [](Bytes& b) { b[instr(4)] = 98; }, "sdna: instruction 4: Pop without a frame"},
    {"Union becomes Offset", [](Bytes& b) { b[instr(4)] = 64; },
     "sdna: program must leave exactly one value (has 2)"},
    {"Pop becomes Sphere", [](Bytes& b) { b[instr(3)] = 1; }, "sdna: unclosed frame"},
    // Materials and bounds.
    {"NaN material", [](Bytes& b) { putFloat(b, kMaterials + 16 + 12, std::numeric_limits<float>::quiet_NaN()); },
     "sdna: non-finite material"},
    {"infinite material", [](Bytes& b) { putFloat(b, kMaterials, -std::numeric_limits<float>::infinity()); },
     "sdna: non-finite material"},
    {"NaN bounds", [](Bytes& b) { putFloat(b, kSection + 20, std::numeric_limits<float>::quiet_NaN()); },
     "sdna: bounds are not a finite box"},
    {"infinite bounds", [](Bytes& b) { putFloat(b, kSection + 36, std::numeric_limits<float>::infinity()); },
     "sdna: bounds are not a finite box"},
    {"inverted bounds", [](Bytes& b) { putFloat(b, kSection + 24, 0.6f); }, "sdna: bounds are not a finite box"},
};

TEST(SdnaReader, EveryBrokenRuleGivesItsMessage)
{
    const Bytes valid = encodeSdnaFile(sampleProgram());
    ASSERT_EQ(sectionWord(valid, 4), kInstructionCount);
    for (const MutationCase& c : mutationCases) {
        SCOPED_TRACE(c.name);
        Bytes bytes = valid;
        c.mutate(bytes);
        SdnaProgram read;
        std::string error;
        EXPECT_FALSE(loadSdna(read, bytes, error));
        EXPECT_EQ(error, c.message);
    }
}

// Callers may hand the error string over by address: each call then reports
// the line the reference form reports, and a success leaves it untouched.
TEST(SdnaReader, ErrorStringByAddressGetsTheSameLine)
{
    Bytes flaggedFile = encodeSdnaFile(sampleProgram());
    putLe32(flaggedFile, 20, 1);
    const Bytes tiny(15, 0);
    SectionEntry flagged;
    flagged.tag = fourCC("SDNA");
    flagged.flags = 2;
    SdnaProgram unbalanced = sampleProgram();
    unbalanced.instructions.pop_back();
    SdnaProgram read;
    SectionContainer container;

    struct Case {
        const char* name;
        std::function<bool(std::string&)> byReference;
        std::function<bool(std::string*)> byAddress;
    };
    const Case cases[] = {
        {"loadSdna", [&](std::string& e) { return loadSdna(read, flaggedFile, e); },
         [&](std::string* e) { return loadSdna(read, flaggedFile, e); }},
        {"parseSdnaSection", [&](std::string& e) { return parseSdnaSection(read, tiny, e); },
         [&](std::string* e) { return parseSdnaSection(read, tiny, e); }},
        {"open", [&](std::string& e) { return container.open(tiny, e); },
         [&](std::string* e) { return container.open(tiny, e); }},
        {"parse", [&](std::string& e) { return container.parse(tiny, e); },
         [&](std::string* e) { return container.parse(tiny, e); }},
        {"checkSectionFlags", [&](std::string& e) { return checkSectionFlags(flagged, e); },
         [&](std::string* e) { return checkSectionFlags(flagged, e); }},
        {"validateProgram", [&](std::string& e) { return validateProgram(unbalanced, e); },
         [&](std::string* e) { return validateProgram(unbalanced, e); }},
        {"instructionError", [](std::string& e) { return instructionError(e, 7, "text"); },
         [](std::string* e) { return instructionError(e, 7, "text"); }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::string expected;
        std::string error = "before";
        EXPECT_FALSE(c.byReference(expected));
        EXPECT_FALSE(c.byAddress(&error));
        EXPECT_FALSE(expected.empty());
        EXPECT_EQ(error, expected);
    }

    const Bytes valid = encodeSdnaFile(sampleProgram());
    std::string error = "untouched";
    EXPECT_TRUE(loadSdna(read, valid, &error));
    EXPECT_TRUE(validateProgram(read, &error));
    EXPECT_TRUE(container.open(valid, &error));
    EXPECT_EQ(error, "untouched");
}

TEST(SdnaReader, AcceptedVariantsOfTheSample)
{
    struct Accepted {
        const char* name;
        void (*mutate)(Bytes&);
    };
    const Accepted cases[] = {
        {"trailing bytes", [](Bytes& b) { b.push_back(0xFF); }},
        {"zero radius", [](Bytes& b) { putFloat(b, instr(0) + 16 + 12, 0.0f); }},
        {"flat bounds", [](Bytes& b) { putFloat(b, kSection + 28, -0.5f); }},
        {"bone count at the limit", [](Bytes& b) { putLe32(b, kSection + 12, 65536); }},
        {"unread material and bone fields", [](Bytes& b) { putLe32(b, instr(4), 0xFFFF0020u), putLe32(b, instr(4) + 4, 7); }},
    };
    const Bytes valid = encodeSdnaFile(sampleProgram());
    for (const Accepted& c : cases) {
        SCOPED_TRACE(c.name);
        Bytes bytes = valid;
        c.mutate(bytes);
        SdnaProgram read;
        std::string error;
        EXPECT_TRUE(loadSdna(read, bytes, error)) << error;
    }
}

} // namespace
} // namespace qlmr
