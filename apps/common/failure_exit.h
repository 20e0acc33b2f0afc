#pragma once

#include <cstdio>
#include <exception>
#include <new>
#include <utility>

namespace qlmr {

// Runs a program's work and returns its exit code. Whatever escapes it ends
// the program with one line on `err` and exit code 1; standard output is
// flushed first, so the lines printed so far stay ahead of the reason the
// run stopped.
template <class Run>
int exitCodeOf(std::FILE* out, std::FILE* err, Run&& run)
{
    auto stop = [&](const char* reason) {
        std::fflush(out);
        std::fprintf(err, "%s\n", reason);
        return 1;
    };
    try {
        return std::forward<Run>(run)();
    } catch (const std::bad_alloc&) {
        // Whatever ran out without saying what it was making.
        return stop("out of memory");
    } catch (const std::exception& error) {
        return stop(error.what());
    }
}

} // namespace qlmr
