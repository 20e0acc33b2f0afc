#pragma once

#include "sdna/program.h"

#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace qlmr {

// One section to write: its tag, flags and bytes.
struct ContainerSection {
    std::uint32_t tag = 0;
    std::uint32_t flags = 0;
    std::vector<std::uint8_t> bytes;
};

// A section container: the 16-byte header, the table, then the sections'
// bytes one after the other in the given order.
std::vector<std::uint8_t> writeContainer(std::uint32_t kind, std::span<const ContainerSection> sections,
                                         std::uint32_t containerFlags = 0);

// The bytes of one SDNA section (version 0) holding the program.
std::vector<std::uint8_t> encodeSdnaSection(const SdnaProgram& program);

// A complete shape-program file: a "SCEN" container with one "SDNA" section.
std::vector<std::uint8_t> encodeSdnaFile(const SdnaProgram& program);

// Writes encodeSdnaFile to path, replacing any file there only once every
// byte is written (replaceFile). On failure error receives one line naming
// the path, and a file already there is kept as it was.
bool writeSdnaFile(const std::string& path, const SdnaProgram& program, std::string& error);

} // namespace qlmr
