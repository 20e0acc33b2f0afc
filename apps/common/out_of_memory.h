#pragma once

#include <new>
#include <stdexcept>
#include <string>
#include <utility>

namespace qlmr {

// Runs make() and passes on what it returns. When memory runs out inside,
// the failure goes on as a runtime_error "out of memory: <what>", so that
// the program's one-line message says what could not be made.
template <class Make>
decltype(auto) making(const std::string& what, Make&& make)
{
    try {
        return std::forward<Make>(make)();
    } catch (const std::bad_alloc&) {
        throw std::runtime_error("out of memory: " + what);
    }
}

} // namespace qlmr
