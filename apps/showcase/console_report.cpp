#include "console_report.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <limits>

namespace qlmr {

namespace {

constexpr double kMissing = std::numeric_limits<double>::quiet_NaN();

// strtod needs a terminated string; the tail of a line is copied once.
double parseLeadingNumber(std::string_view text) {
    const std::string copy(text);
    return std::strtod(copy.c_str(), nullptr);
}

} // namespace

std::vector<std::string> splitLines(std::string_view text) {
    std::vector<std::string> lines;
    std::size_t start = 0;
    while (start < text.size()) {
        const std::size_t end = text.find('\n', start);
        std::string_view piece = end == std::string_view::npos ? text.substr(start) : text.substr(start, end - start);
        if (end == std::string_view::npos && piece.empty())
            break;
        if (!piece.empty() && piece.back() == '\r')
            piece.remove_suffix(1);
        lines.emplace_back(piece);
        if (end == std::string_view::npos)
            break;
        start = end + 1;
    }
    return lines;
}

bool beginsWith(std::string_view line, std::string_view marker) { return line.substr(0, marker.size()) == marker; }

bool contains(std::string_view line, std::string_view marker) { return line.find(marker) != std::string_view::npos; }

double numberAfter(std::string_view line, std::string_view marker) {
    const std::size_t at = line.find(marker);
    if (at == std::string_view::npos)
        return kMissing;
    return parseLeadingNumber(line.substr(at + marker.size()));
}

double numberBefore(std::string_view line, std::string_view marker) {
    const std::size_t at = line.find(marker);
    if (at == std::string_view::npos || at == 0)
        return kMissing;
    std::size_t first = at;
    while (first > 0) {
        const char c = line[first - 1];
        if (!((c >= '0' && c <= '9') || c == '.'))
            break;
        --first;
    }
    if (first == at)
        return kMissing;
    return parseLeadingNumber(line.substr(first, at - first));
}

double medianOf(std::vector<double> values) {
    values.erase(std::remove_if(values.begin(), values.end(), [](double value) { return std::isnan(value); }),
                 values.end());
    if (values.empty())
        return kMissing;
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

} // namespace qlmr
