#include "sdna/container_writer.h"

#include "sdna/container.h"
#include "sdna/sdna_reader.h"
#include "scene/file_replace.h"

#include <cstring>

namespace qlmr {
namespace {

void appendLe32(std::vector<std::uint8_t>& out, std::uint32_t value)
{
    for (int i = 0; i < 4; ++i)
        out.push_back(static_cast<std::uint8_t>(value >> (8 * i)));
}

void appendLe64(std::vector<std::uint8_t>& out, std::uint64_t value)
{
    appendLe32(out, static_cast<std::uint32_t>(value));
    appendLe32(out, static_cast<std::uint32_t>(value >> 32));
}

void appendLeFloat(std::vector<std::uint8_t>& out, float value)
{
    std::uint32_t bits;
    std::memcpy(&bits, &value, 4);
    appendLe32(out, bits);
}

} // namespace

std::vector<std::uint8_t> writeContainer(std::uint32_t kind, std::span<const ContainerSection> sections,
                                         std::uint32_t containerFlags)
{
    std::vector<std::uint8_t> out;
    appendLe32(out, fourCC("QLC1"));
    appendLe32(out, kind);
    appendLe32(out, static_cast<std::uint32_t>(sections.size()));
    appendLe32(out, containerFlags);
    std::uint64_t offset = SectionContainer::headerSize + SectionContainer::entrySize * sections.size();
    for (const ContainerSection& section : sections) {
        appendLe32(out, section.tag);
        appendLe32(out, section.flags);
        appendLe64(out, offset);
        appendLe64(out, section.bytes.size());
        offset += section.bytes.size();
    }
    for (const ContainerSection& section : sections)
        out.insert(out.end(), section.bytes.begin(), section.bytes.end());
    return out;
}

std::vector<std::uint8_t> encodeSdnaSection(const SdnaProgram& program)
{
    std::vector<std::uint8_t> out;
    out.reserve(kSdnaSectionHeaderSize + 48 * program.instructions.size() + 16 * program.materials.size());
    appendLe32(out, 0); // version
    appendLe32(out, static_cast<std::uint32_t>(program.instructions.size()));
    appendLe32(out, static_cast<std::uint32_t>(program.materials.size()));
    appendLe32(out, program.boneCount);
    for (float value : program.boundsMin)
        appendLeFloat(out, value);
    for (float value : program.boundsMax)
        appendLeFloat(out, value);
    appendLe32(out, program.flags);
    appendLe32(out, 0); // reserved
    for (const SdnaInstruction& in : program.instructions) {
        out.push_back(static_cast<std::uint8_t>(in.op));
        out.push_back(in.reserved1);
        out.push_back(static_cast<std::uint8_t>(in.material));
        out.push_back(static_cast<std::uint8_t>(in.material >> 8));
        appendLe32(out, in.bone);
        appendLe32(out, in.reserved8);
        appendLe32(out, in.reserved12);
        for (float value : in.p)
            appendLeFloat(out, value);
    }
    for (const SdnaMaterial& m : program.materials) {
        appendLeFloat(out, m.red);
        appendLeFloat(out, m.green);
        appendLeFloat(out, m.blue);
        appendLeFloat(out, m.roughness);
    }
    return out;
}

std::vector<std::uint8_t> encodeSdnaFile(const SdnaProgram& program)
{
    const ContainerSection section{fourCC("SDNA"), 0, encodeSdnaSection(program)};
    return writeContainer(fourCC("SCEN"), std::span(&section, 1));
}

bool writeSdnaFile(const std::string& path, const SdnaProgram& program, std::string& error)
{
    // Written beside the target and renamed over it, so a failed write
    // keeps an earlier file there whole and leaves no truncated program.
    if (!replaceFile(path, encodeSdnaFile(program))) {
        error = "cannot write " + path;
        return false;
    }
    return true;
}

} // namespace qlmr
