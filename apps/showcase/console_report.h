#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace qlmr {

// Reading the engine programs' console output: lines and the numbers that
// stand next to fixed markers. A missing number is NaN.

// Lines end at LF; a CR right before the LF is dropped. Empty lines in the
// middle are kept, a last piece without LF counts only when it is not empty.
std::vector<std::string> splitLines(std::string_view text);

bool beginsWith(std::string_view line, std::string_view marker);
bool contains(std::string_view line, std::string_view marker);

// The number right after the first occurrence of the marker (strtod rules:
// leading blanks skipped, 0 when no number stands there); NaN without marker.
double numberAfter(std::string_view line, std::string_view marker);

// The run of digits and '.' right before the first occurrence of the marker;
// NaN when the marker is missing, stands at position 0, or has no such run.
double numberBefore(std::string_view line, std::string_view marker);

// Element count / 2 of the values sorted ascending (the upper middle for an
// even count); NaN for an empty list. NaN values (a child that printed
// "nan" where a time belongs) are left out: they have no place in the order.
double medianOf(std::vector<double> values);

} // namespace qlmr
