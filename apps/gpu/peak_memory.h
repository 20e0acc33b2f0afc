#pragma once

#include <cstdint>

namespace qlmr {

// The process's peak resident set size in bytes; 0 when it cannot be read.
std::uint64_t peakResidentBytes();

} // namespace qlmr
