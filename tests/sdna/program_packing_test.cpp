// The GPU stream: instructions first with their record index in the reserved
// word at offset 8, then one 48-byte entry per culling record.
#include "sdna/program_packing.h"

#include <gtest/gtest.h>

#include <array>
#include <bit>
#include <cstdint>
#include <cstring>
#include <vector>

#include "sdna/bounds_analysis.h"
#include "sdna/critter.h"
#include "sdna_test_programs.h"

namespace qlmr {
namespace {

using Words = std::array<std::uint32_t, 12>;

// The stream as the GPU receives it: its bytes in memory order.
std::vector<std::uint8_t> bytesOf(const std::vector<SdnaPackedEntry>& stream) {
    std::vector<std::uint8_t> bytes(stream.size() * sizeof(SdnaPackedEntry));
    std::memcpy(bytes.data(), stream.data(), bytes.size());
    return bytes;
}

// Little-endian serialisation of expected words, written out byte by byte.
std::vector<std::uint8_t> littleEndian(const std::vector<Words>& entries) {
    std::vector<std::uint8_t> bytes;
    for (const Words& e : entries) {
        for (std::uint32_t w : e) {
            for (int b = 0; b < 4; ++b) bytes.push_back(static_cast<std::uint8_t>(w >> (8 * b)));
        }
    }
    return bytes;
}

TEST(SdnaProgramPacking, SmallProgramWordByWord) {
    SdnaProgram program = test::makeProgram({
        test::sphere(1, 2, 3, 0.5f, 1),
        test::pushBone(2),
        test::instr(SdnaOp::Box, {0, 0, 0, 1, 1, 1, 0.25f}),
        test::instr(SdnaOp::Pop),
        test::instr(SdnaOp::SmoothUnion, {0.5f}),
    });
    ProgramBounds bounds;
    bounds.recordOf = {-1, 1, 0, -1, -1};
    BoundRecord first;
    first.end = 4;
    first.bone = kSdnaNoBone;
    first.subtract = true;
    first.slack = 0.0f;
    first.centre = {-1.0f, 0.5f, 2.0f};
    first.radius = 0.75f;
    first.scale = 1.0f;
    BoundRecord second;
    second.end = 5;
    second.bone = 2;
    second.subtract = false;
    second.slack = 0.25f;
    second.centre = {1.5f, -2.0f, 3.0f};
    second.radius = 4.0f;
    second.scale = 0.5f;
    bounds.records = {first, second};

    const std::vector<Words> expected = {
        // Sphere, material 1: op in byte 0, material in bytes 2-3.
        {0x00010001u, 0, 0, 0, 0x3F800000u, 0x40000000u, 0x40400000u, 0x3F000000u, 0, 0, 0, 0},
        // PushBone 2 starts record 1: entry 5 + 1.
        {0x00000061u, 2, 6, 0, 0, 0, 0, 0, 0, 0, 0, 0},
        // Box starts record 0: entry 5 + 0.
        {0x00000005u, 0, 5, 0, 0, 0, 0, 0x3F800000u, 0x3F800000u, 0x3F800000u, 0x3E800000u, 0},
        // Pop.
        {0x00000062u, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0},
        // SmoothUnion 0.5.
        {0x00000021u, 0, 0, 0, 0x3F000000u, 0, 0, 0, 0, 0, 0, 0},
        // Record 0: end, no bone, subtract, 0, centre, radius, scale, slack, 0, 0.
        {4, 0xFFFFFFFFu, 1, 0, 0xBF800000u, 0x3F000000u, 0x40000000u, 0x3F400000u, 0x3F800000u, 0, 0, 0},
        // Record 1.
        {5, 2, 0, 0, 0x3FC00000u, 0xC0000000u, 0x40400000u, 0x40800000u, 0x3F000000u, 0x3E800000u, 0, 0},
    };

    const std::vector<SdnaPackedEntry> stream = packProgramWithBounds(program, bounds);
    ASSERT_EQ(stream.size(), expected.size());
    for (std::size_t e = 0; e < expected.size(); ++e) {
        for (std::size_t w = 0; w < 12; ++w) {
            EXPECT_EQ(stream[e].words[w], expected[e][w]) << "entry " << e << " word " << w;
        }
    }
    EXPECT_EQ(bytesOf(stream), littleEndian(expected));
}

TEST(SdnaProgramPacking, RecordIndexIsInstructionCountPlusRecord) {
    std::vector<SdnaInstruction> code(10, test::sphere(0, 0, 0, 1));
    const SdnaProgram program = test::makeProgram(code);
    ProgramBounds bounds;
    bounds.recordOf.assign(10, -1);
    bounds.recordOf[3] = 1;
    bounds.recordOf[6] = 0;
    bounds.records.resize(2);
    for (BoundRecord& record : bounds.records) record.end = 10;  // past the program, as analysis makes them
    const std::vector<std::uint8_t> bytes = bytesOf(packProgramWithBounds(program, bounds));
    ASSERT_EQ(bytes.size(), 12u * 48u);
    const auto wordAt = [&](std::size_t offset) {
        return std::uint32_t(bytes[offset]) | std::uint32_t(bytes[offset + 1]) << 8 |
               std::uint32_t(bytes[offset + 2]) << 16 | std::uint32_t(bytes[offset + 3]) << 24;
    };
    for (std::size_t i = 0; i < 10; ++i) {
        const std::uint32_t expected = i == 3 ? 11u : (i == 6 ? 10u : 0u);
        EXPECT_EQ(wordAt(48 * i + 8), expected) << "instruction " << i;
    }
}

TEST(SdnaProgramPacking, TableOfAnotherLengthOnlyMarksInstructionsItCovers) {
    const SdnaProgram program =
        test::makeProgram({test::sphere(0, 0, 0, 1), test::sphere(1, 0, 0, 1), test::instr(SdnaOp::Union)});
    struct Case {
        const char* name;
        std::vector<std::int32_t> recordOf;
        std::array<std::uint32_t, 3> word2;
    };
    const Case cases[] = {
        {"empty table", {}, {0, 0, 0}},
        {"shorter table", {-1, 0}, {0, 3, 0}},
        {"longer table", {-1, -1, -1, 0, 0}, {0, 0, 0}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ProgramBounds bounds;
        bounds.recordOf = c.recordOf;
        bounds.records.resize(1);
        bounds.records[0].end = 3;
        const std::vector<SdnaPackedEntry> stream = packProgramWithBounds(program, bounds);
        ASSERT_EQ(stream.size(), 4u);
        for (std::size_t i = 0; i < 3; ++i) EXPECT_EQ(stream[i].words[kPackedInstructionRecord], c.word2[i]);
    }
}

// Entries of a table filled by hand that name no held record, or a record
// that would jump back to or before its own instruction, are packed as no
// record: the kernel would otherwise read past its stream or start over for
// ever.
TEST(SdnaProgramPacking, EntriesThatAreNoRecordAreNotPacked) {
    const SdnaProgram program =
        test::makeProgram({test::sphere(0, 0, 0, 1), test::sphere(1, 0, 0, 1), test::instr(SdnaOp::Union)});
    BoundRecord forward;
    forward.end = 3;
    BoundRecord back;
    back.end = 0;
    BoundRecord still;
    still.end = 1;
    struct Case {
        const char* name;
        std::vector<BoundRecord> records;
        std::uint32_t word;  // the record word of instruction 1
    };
    const Case cases[] = {
        {"a sound record", {forward}, 3},
        {"no records held", {}, 0},
        {"jumps back to the start", {back}, 0},
        {"jumps to itself", {still}, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ProgramBounds bounds;
        bounds.recordOf = {-1, 0, -1};
        bounds.records = c.records;
        const std::vector<SdnaPackedEntry> stream = packProgramWithBounds(program, bounds);
        ASSERT_EQ(stream.size(), 3 + c.records.size());
        EXPECT_EQ(stream[1].words[kPackedInstructionRecord], c.word);
    }
}

// On the analysed critter, every instruction entry is the instruction's own
// bytes apart from the record word, and every record entry reads back as its
// record.
TEST(SdnaProgramPacking, CritterStreamReadsBack) {
    const SdnaProgram critter = buildCritter(true);
    const ProgramBounds bounds = analyzeProgramBounds(critter, 3);
    ASSERT_FALSE(bounds.records.empty());
    const std::vector<SdnaPackedEntry> stream = packProgramWithBounds(critter, bounds);
    const std::size_t n = critter.instructions.size();
    ASSERT_EQ(stream.size(), n + bounds.records.size());

    for (std::size_t i = 0; i < n; ++i) {
        SdnaInstruction back = std::bit_cast<SdnaInstruction>(stream[i].words);
        const std::int32_t record = bounds.recordOf[i];
        EXPECT_EQ(back.reserved8, record >= 0 ? n + static_cast<std::uint32_t>(record) : 0u) << i;
        back.reserved8 = 0;
        EXPECT_EQ(std::memcmp(&back, &critter.instructions[i], sizeof back), 0) << "instruction " << i;
    }
    for (std::size_t r = 0; r < bounds.records.size(); ++r) {
        const BoundRecord& record = bounds.records[r];
        const Words& w = stream[n + r].words;
        EXPECT_EQ(w[kPackedRecordEnd], record.end);
        EXPECT_EQ(w[kPackedRecordBone], record.bone);
        EXPECT_EQ(w[kPackedRecordSubtract], record.subtract ? 1u : 0u);
        EXPECT_EQ(w[3], 0u);
        for (std::size_t axis = 0; axis < 3; ++axis) {
            EXPECT_EQ(std::bit_cast<float>(w[kPackedRecordCentre + axis]), record.centre[axis]);
        }
        EXPECT_EQ(std::bit_cast<float>(w[kPackedRecordRadius]), record.radius);
        EXPECT_EQ(std::bit_cast<float>(w[kPackedRecordScale]), record.scale);
        EXPECT_EQ(std::bit_cast<float>(w[kPackedRecordSlack]), record.slack);
        EXPECT_EQ(w[10], 0u);
        EXPECT_EQ(w[11], 0u);
    }
}

}  // namespace
}  // namespace qlmr
