#pragma once

#include <cstdarg>
#include <cstdio>
#include <string>

namespace qlmr {

// printf-style formatting into a string of whatever length the values need:
// a report line is never cut short (losing its end and its line break) by a
// long name or a wide number.
#if defined(__GNUC__)
__attribute__((format(printf, 1, 2)))
#endif
inline std::string formatText(const char* format, ...)
{
    std::va_list args;
    va_start(args, format);
    std::va_list sizing;
    va_copy(sizing, args);
    const int length = std::vsnprintf(nullptr, 0, format, sizing);
    va_end(sizing);
    std::string text;
    if (length > 0) {
        text.resize(static_cast<std::size_t>(length));
        std::vsnprintf(text.data(), text.size() + 1, format, args);
    }
    va_end(args);
    return text;
}

} // namespace qlmr
