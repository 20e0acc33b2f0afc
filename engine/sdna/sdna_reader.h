#pragma once

#include "sdna/program.h"

#include <cstdint>
#include <span>
#include <string>

namespace qlmr {

// Size of the SDNA section header that precedes the instruction records.
inline constexpr std::size_t kSdnaSectionHeaderSize = 48;

// Reads a shape-program file held in memory: a "SCEN" section container
// whose first "SDNA" section holds the program. On success the program is
// filled and valid; on failure error receives one line and the program may
// hold partly filled fields. Never reads outside the span.
bool loadSdna(SdnaProgram& program, std::span<const std::uint8_t> bytes, std::string& error);

// Decodes one SDNA section (its own bytes) and validates the result.
bool parseSdnaSection(SdnaProgram& program, std::span<const std::uint8_t> section, std::string& error);

// The same with the error string passed by address (never null).
inline bool loadSdna(SdnaProgram& program, std::span<const std::uint8_t> bytes, std::string* error)
{
    return loadSdna(program, bytes, *error);
}
inline bool parseSdnaSection(SdnaProgram& program, std::span<const std::uint8_t> section, std::string* error)
{
    return parseSdnaSection(program, section, *error);
}

} // namespace qlmr
