#include "report_text.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>

namespace qlmr {

std::string formatNumber(double value, int decimals) {
    if (std::isnan(value))
        return "\xE2\x80\x93";
    char text[64];
    std::snprintf(text, sizeof text, "%.*f", decimals, value);
    return text;
}

std::string jsonQuote(std::string_view text) {
    std::string quoted;
    quoted.reserve(text.size() + 2);
    quoted += '"';
    for (const char c : text) {
        if (c == '"' || c == '\\') {
            quoted += '\\';
            quoted += c;
        } else if (static_cast<unsigned char>(c) < 0x20) {
            quoted += ' ';
        } else {
            quoted += c;
        }
    }
    quoted += '"';
    return quoted;
}

std::string htmlEscape(std::string_view text) {
    std::string escaped;
    escaped.reserve(text.size());
    for (const char c : text) {
        switch (c) {
        case '&': escaped += "&amp;"; break;
        case '<': escaped += "&lt;"; break;
        case '>': escaped += "&gt;"; break;
        case '"': escaped += "&quot;"; break;
        default: escaped += c; break;
        }
    }
    return escaped;
}

std::vector<std::string> homeDirectoryCandidates() {
    std::vector<std::string> candidates;
    auto add = [&](const char* value) { candidates.emplace_back(value ? value : ""); };
    add(std::getenv("HOME"));
    add(std::getenv("USERPROFILE"));
    const char* drive = std::getenv("HOMEDRIVE");
    const char* path = std::getenv("HOMEPATH");
    candidates.emplace_back(drive && path ? std::string(drive) + path : std::string());
    return candidates;
}

std::string scrubHome(std::string_view text, const std::vector<std::string>& candidates) {
    std::string result(text);
    for (const std::string& home : candidates) {
        // Short values such as "/" or "C:" would blank out ordinary text.
        if (home.size() < 4)
            continue;
        for (std::size_t at = result.find(home); at != std::string::npos; at = result.find(home))
            result.replace(at, home.size(), "~");
    }
    return result;
}

std::string scrubHome(std::string_view text) { return scrubHome(text, homeDirectoryCandidates()); }

} // namespace qlmr
