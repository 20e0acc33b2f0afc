#pragma once

#include "sdna/program.h"

#include <cstddef>
#include <string>
#include <string_view>

namespace qlmr {

// Callers make one pose per bone, so a file may not ask for more bones than
// this (a hostile header could otherwise request gigabytes of poses).
inline constexpr std::uint32_t kSdnaMaxBones = 65536;

// Tolerance on the squared length of plane normals and quaternions.
inline constexpr double kSdnaUnitTolerance = 0.002;

// Decides whether a program is safe to evaluate: runs it symbolically
// (value stack depth and frame bases) and stops at the first broken rule.
// On failure error receives one line; on success it is left as it is.
// The program is never changed.
bool validateProgram(const SdnaProgram& program, std::string& error);

// Sets error to "sdna: instruction <index>: <text>" and returns false.
bool instructionError(std::string& error, std::size_t index, std::string_view text);

// The same with the error string passed by address (never null).
inline bool validateProgram(const SdnaProgram& program, std::string* error) { return validateProgram(program, *error); }
inline bool instructionError(std::string* error, std::size_t index, std::string_view text)
{
    return instructionError(*error, index, text);
}

} // namespace qlmr
