#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "support/program_run.h"

namespace qlmr::test {

// Limits a program under test runs within.
struct RunLimits {
    // Address space the program may use; 0 for no limit. Allocations past it
    // fail inside the program (as on a machine without the memory) instead
    // of reaching this machine's memory.
    std::uint64_t memoryBytes = 0;
    // Wall-clock time after which the program is killed; 0 for none.
    unsigned seconds = 0;
    // Largest file the program may write, in bytes (rounded down to whole
    // 512-byte blocks); 0 for no limit. Past it a write raises SIGXFSZ, or
    // fails with EFBIG where the program ignores that signal.
    std::uint64_t fileBytes = 0;
};

// Whether an address-space limit can be set on the programs under test. Not
// in a build with AddressSanitizer: its shadow memory alone reserves
// terabytes of address space, and its allocator ends a program rather than
// fail an allocation. There runLimited sets no memory limit, and tests of
// running out of memory skip.
bool addressSpaceLimitsWork();

// Address space for a program that should have room for its threads and a
// small scene but not for a huge image: 1 GiB plus a thread stack per
// hardware thread, so that the limit means the same on large machines.
std::uint64_t modestMemoryLimit();

// runProgram through /bin/sh, which sets the limits and then becomes the
// program (coreutils' timeout in between when a time limit is given).
// A program killed by a signal, or by the time limit, ends with an exit
// code above 128 (or -1), never 0 or 1. With a memory limit, malloc keeps
// one arena, so per-thread arenas do not use up the limit.
ProgramRun runLimited(const std::string& program, const std::vector<std::string>& args, const RunLimits& limits,
                      RunOptions options = {});

} // namespace qlmr::test
