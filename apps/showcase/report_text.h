#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace qlmr {

// Text helpers of the report files.

// NaN gives the en dash; any other value "%.*f" with the given decimals.
std::string formatNumber(double value, int decimals);

// A JSON string: quote and backslash escaped, control bytes become blanks,
// every other byte (UTF-8 included) copied; no \u escapes.
std::string jsonQuote(std::string_view text);

// & < > and the double quote as entities; the apostrophe stays.
std::string htmlEscape(std::string_view text);

// The home-directory values to hide, in order: HOME, USERPROFILE and
// HOMEDRIVE followed by HOMEPATH (only when both are set).
std::vector<std::string> homeDirectoryCandidates();

// Every occurrence of each candidate of at least 4 bytes replaced by "~".
std::string scrubHome(std::string_view text, const std::vector<std::string>& candidates);
std::string scrubHome(std::string_view text);

} // namespace qlmr
