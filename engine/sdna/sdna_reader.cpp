#include "sdna/sdna_reader.h"

#include "sdna/container.h"
#include "sdna/validator.h"

#include <bit>
#include <cstring>

namespace qlmr {

// Instruction and material records are copied byte for byte, which is only
// a decode on a little-endian machine.
static_assert(std::endian::native == std::endian::little);

bool loadSdna(SdnaProgram& program, std::span<const std::uint8_t> bytes, std::string& error)
{
    SectionContainer container;
    if (!container.open(bytes, error))
        return false;
    if (container.kind != fourCC("SCEN")) {
        error = "sdna: not a SCEN container";
        return false;
    }
    const std::optional<SectionEntry> entry = container.find(fourCC("SDNA"));
    if (!entry) {
        error = "sdna: no SDNA section";
        return false;
    }
    if (!checkSectionFlags(*entry, error))
        return false;
    return parseSdnaSection(program, container.sectionBytes(*entry), error);
}

bool parseSdnaSection(SdnaProgram& program, std::span<const std::uint8_t> section, std::string& error)
{
    if (section.size() < kSdnaSectionHeaderSize) {
        error = "sdna: section too small";
        return false;
    }
    const std::uint32_t version = readLe32(section, 0);
    if (version != 0) {
        error = "sdna: unsupported version " + std::to_string(version);
        return false;
    }
    const std::uint64_t instructionCount = readLe32(section, 4);
    const std::uint64_t materialCount = readLe32(section, 8);
    const std::uint64_t instructionBytes = instructionCount * sizeof(SdnaInstruction);
    const std::uint64_t materialBytes = materialCount * sizeof(SdnaMaterial);
    // At most 48 + 48 * (2^32 - 1) + 16 * (2^32 - 1): no 64-bit overflow.
    if (std::uint64_t(section.size()) < kSdnaSectionHeaderSize + instructionBytes + materialBytes) {
        error = "sdna: section truncated";
        return false;
    }

    program.boneCount = readLe32(section, 12);
    for (int axis = 0; axis < 3; ++axis) {
        program.boundsMin[axis] = readLeFloat(section, 16 + 4 * axis);
        program.boundsMax[axis] = readLeFloat(section, 28 + 4 * axis);
    }
    program.flags = readLe32(section, 40);
    if (readLe32(section, 44) != 0) {
        error = "sdna: reserved header word must be zero";
        return false;
    }

    // Both counts are bounded by the section length checked above.
    program.instructions.resize(static_cast<std::size_t>(instructionCount));
    program.materials.resize(static_cast<std::size_t>(materialCount));
    if (instructionBytes > 0)
        std::memcpy(program.instructions.data(), section.data() + kSdnaSectionHeaderSize, instructionBytes);
    if (materialBytes > 0)
        std::memcpy(program.materials.data(), section.data() + kSdnaSectionHeaderSize + instructionBytes,
                    materialBytes);
    return validateProgram(program, error);
}

} // namespace qlmr
