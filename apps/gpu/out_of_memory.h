#pragma once

#include <new>
#include <stdexcept>
#include <string>
#include <utility>

namespace qlmr {

// An allocation that failed, named by what was being made. Its text is the
// program's last line: "out of memory: " followed by that name.
class OutOfMemory : public std::runtime_error {
public:
    explicit OutOfMemory(const std::string& what) : std::runtime_error("out of memory: " + what) {}
};

// Runs `make` and returns its result; a std::bad_alloc inside it becomes an
// OutOfMemory naming `what`. An OutOfMemory from a nested call keeps its
// own, more precise, name.
template <typename Make>
decltype(auto) making(const char* what, Make&& make)
{
    try {
        return std::forward<Make>(make)();
    } catch (const std::bad_alloc&) {
        throw OutOfMemory(what);
    }
}

} // namespace qlmr
