#pragma once
// The shape-program stream that GPU kernels read: one array of 48-byte
// entries (the shader's SdnaInstr: head uvec4, p0 vec4, p1 vec4 in the
// SdnaCode buffer), the program's instructions first and its culling records
// after them. The kernels are told the instruction count separately and never
// execute the record entries.

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "sdna/program.h"

namespace qlmr {

// One entry as twelve little-endian 32-bit words; floats are stored by their
// bit patterns.
//
// Instruction entry i: the instruction's 48 bytes, except that word 2 (the
// reserved word at offset 8) holds n + recordOf[i] when a culling record
// starts at i (n = instruction count).
//
// Record entry: word 0 end, word 1 bone (0xFFFFFFFF for none), word 2 subtract
// (0 or 1), word 3 zero, words 4-6 centre, word 7 radius, word 8 scale,
// word 9 slack, words 10-11 zero.
struct SdnaPackedEntry {
    std::array<std::uint32_t, 12> words{};
};
static_assert(sizeof(SdnaPackedEntry) == 48);
static_assert(sizeof(SdnaPackedEntry) == sizeof(SdnaInstruction));

// Word indices of a record entry.
inline constexpr std::size_t kPackedRecordEnd = 0;
inline constexpr std::size_t kPackedRecordBone = 1;
inline constexpr std::size_t kPackedRecordSubtract = 2;
inline constexpr std::size_t kPackedRecordCentre = 4;
inline constexpr std::size_t kPackedRecordRadius = 7;
inline constexpr std::size_t kPackedRecordScale = 8;
inline constexpr std::size_t kPackedRecordSlack = 9;
// Word of an instruction entry that holds its record's entry index.
inline constexpr std::size_t kPackedInstructionRecord = 2;

// Lays out the program and its culling table as one stream: instructions
// 0..n-1, then one entry per record in record order. recordOf entries beyond
// the instruction count are ignored. A packed stream is not a valid file
// program (its reserved words are not 0).
std::vector<SdnaPackedEntry> packProgramWithBounds(const SdnaProgram& program,
                                                   const ProgramBounds& bounds);

}  // namespace qlmr
