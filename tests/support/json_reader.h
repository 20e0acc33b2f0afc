#pragma once

#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace qlmr::test {

// One JSON value as read, object keys kept in the order they were written
// (the programs' reports promise an order, so tests compare it).
struct Json {
    enum class Type { Null, Bool, Number, String, Array, Object };
    Type type = Type::Null;
    // A string's value (escapes resolved, UTF-8), a number's characters as
    // written, or the word true, false or null.
    std::string text;
    std::vector<Json> items;                               // of an array
    std::vector<std::pair<std::string, Json>> members;     // of an object, in order

    std::vector<std::string> keys() const;
    // The member called `key`; a null value when there is none.
    const Json& operator[](const std::string& key) const;
    // A number's value (0 for anything else).
    double number() const;
};

// Compact: nothing between tokens, the way the programs print their JSON
// lines. Spaced: blanks, tabs and line breaks allowed wherever JSON allows them.
enum class JsonLayout { Compact, Spaced };

// Reads `text` as exactly one JSON value; nothing when it is not valid JSON
// (or when an object repeats a key, which no report should do).
std::optional<Json> readJson(const std::string& text, JsonLayout layout = JsonLayout::Compact);

} // namespace qlmr::test
