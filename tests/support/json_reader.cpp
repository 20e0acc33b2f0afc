#include "support/json_reader.h"

#include <cstdlib>
#include <cstring>

namespace qlmr::test {

double Json::number() const
{
    return type == Type::Number ? std::strtod(text.c_str(), nullptr) : 0.0;
}

std::vector<std::string> Json::keys() const
{
    std::vector<std::string> names;
    for (const auto& member : members)
        names.push_back(member.first);
    return names;
}

const Json& Json::operator[](const std::string& key) const
{
    for (const auto& member : members)
        if (member.first == key)
            return member.second;
    static const Json missing;
    return missing;
}

namespace {

bool isDigit(char c) { return c >= '0' && c <= '9'; }

int hexValue(char c)
{
    if (isDigit(c))
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

void appendUtf8(std::string& out, unsigned code)
{
    if (code < 0x80) {
        out += static_cast<char>(code);
    } else if (code < 0x800) {
        out += static_cast<char>(0xC0 | code >> 6);
        out += static_cast<char>(0x80 | (code & 0x3F));
    } else if (code < 0x10000) {
        out += static_cast<char>(0xE0 | code >> 12);
        out += static_cast<char>(0x80 | (code >> 6 & 0x3F));
        out += static_cast<char>(0x80 | (code & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | code >> 18);
        out += static_cast<char>(0x80 | (code >> 12 & 0x3F));
        out += static_cast<char>(0x80 | (code >> 6 & 0x3F));
        out += static_cast<char>(0x80 | (code & 0x3F));
    }
}

// Recursive descent over the JSON grammar; every step returns false at the
// first byte that does not fit.
class JsonParser {
public:
    JsonParser(const std::string& text, JsonLayout layout) : s(text), spaced(layout == JsonLayout::Spaced) {}

    bool document(Json& out)
    {
        skipBlanks();
        if (!value(out))
            return false;
        skipBlanks();
        return pos == s.size();
    }

private:
    bool value(Json& out)
    {
        if (pos >= s.size())
            return false;
        const char c = s[pos];
        if (c == '{')
            return object(out);
        if (c == '[')
            return array(out);
        if (c == '"') {
            out.type = Json::Type::String;
            return string(out.text);
        }
        if (c == '-' || isDigit(c))
            return number(out);
        for (const char* word : {"true", "false", "null"}) {
            if (s.compare(pos, std::strlen(word), word) == 0) {
                out.type = word[0] == 'n' ? Json::Type::Null : Json::Type::Bool;
                out.text = word;
                pos += std::strlen(word);
                return true;
            }
        }
        return false;
    }

    bool object(Json& out)
    {
        out.type = Json::Type::Object;
        ++pos;
        skipBlanks();
        if (take('}'))
            return true;
        for (;;) {
            skipBlanks();
            std::string key;
            if (!at('"') || !string(key))
                return false;
            for (const auto& member : out.members)
                if (member.first == key)
                    return false;
            skipBlanks();
            if (!take(':'))
                return false;
            skipBlanks();
            Json member;
            if (!value(member))
                return false;
            out.members.emplace_back(std::move(key), std::move(member));
            skipBlanks();
            if (take('}'))
                return true;
            if (!take(','))
                return false;
        }
    }

    bool array(Json& out)
    {
        out.type = Json::Type::Array;
        ++pos;
        skipBlanks();
        if (take(']'))
            return true;
        for (;;) {
            skipBlanks();
            Json item;
            if (!value(item))
                return false;
            out.items.push_back(std::move(item));
            skipBlanks();
            if (take(']'))
                return true;
            if (!take(','))
                return false;
        }
    }

    bool string(std::string& out)
    {
        ++pos;
        for (;;) {
            if (pos >= s.size())
                return false;
            const auto c = static_cast<unsigned char>(s[pos++]);
            if (c == '"')
                return true;
            if (c < 0x20)
                return false; // control bytes must be escaped
            if (c != '\\') {
                out += static_cast<char>(c);
                continue;
            }
            if (pos >= s.size())
                return false;
            const char e = s[pos++];
            switch (e) {
            case '"': out += '"'; break;
            case '\\': out += '\\'; break;
            case '/': out += '/'; break;
            case 'b': out += '\b'; break;
            case 'f': out += '\f'; break;
            case 'n': out += '\n'; break;
            case 'r': out += '\r'; break;
            case 't': out += '\t'; break;
            case 'u':
                if (!escapedCodePoint(out))
                    return false;
                break;
            default: return false;
            }
        }
    }

    // The four hex digits after "\u", and a second escape for the low half
    // of a surrogate pair; a lone half is not a character.
    bool escapedCodePoint(std::string& out)
    {
        unsigned code = 0;
        if (!hex4(code))
            return false;
        if (code >= 0xDC00 && code <= 0xDFFF)
            return false;
        if (code >= 0xD800 && code <= 0xDBFF) {
            unsigned low = 0;
            if (!take('\\') || !take('u') || !hex4(low) || low < 0xDC00 || low > 0xDFFF)
                return false;
            code = 0x10000 + ((code - 0xD800) << 10) + (low - 0xDC00);
        }
        appendUtf8(out, code);
        return true;
    }

    bool hex4(unsigned& code)
    {
        if (pos + 4 > s.size())
            return false;
        for (int i = 0; i < 4; ++i) {
            const int digit = hexValue(s[pos++]);
            if (digit < 0)
                return false;
            code = code * 16 + static_cast<unsigned>(digit);
        }
        return true;
    }

    // -?(0|[1-9][0-9]*)(.[0-9]+)?([eE][+-]?[0-9]+)?
    bool number(Json& out)
    {
        out.type = Json::Type::Number;
        const std::size_t start = pos;
        take('-');
        if (!take('0') && !digits()) // a lone 0 or no leading zero
            return false;
        if (take('.') && !digits())
            return false;
        if (take('e') || take('E')) {
            if (!take('+'))
                take('-');
            if (!digits())
                return false;
        }
        out.text = s.substr(start, pos - start);
        return true;
    }

    bool digits()
    {
        const std::size_t start = pos;
        while (pos < s.size() && isDigit(s[pos]))
            ++pos;
        return pos > start;
    }

    bool at(char c) const { return pos < s.size() && s[pos] == c; }
    bool take(char c)
    {
        if (!at(c))
            return false;
        ++pos;
        return true;
    }
    void skipBlanks()
    {
        while (spaced && pos < s.size() && (s[pos] == ' ' || s[pos] == '\t' || s[pos] == '\n' || s[pos] == '\r'))
            ++pos;
    }

    const std::string& s;
    const bool spaced;
    std::size_t pos = 0;
};

} // namespace

std::optional<Json> readJson(const std::string& text, JsonLayout layout)
{
    Json json;
    if (!JsonParser(text, layout).document(json))
        return std::nullopt;
    return json;
}

} // namespace qlmr::test
