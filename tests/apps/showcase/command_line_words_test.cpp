#include <gtest/gtest.h>

#include "command_line_words.h"

namespace qlmr {
namespace {

TEST(CommandLineWords, SplitsAtBlanksAndKeepsQuotedStretchesTogether) {
    struct Case {
        const char* text;
        std::vector<std::string> words;
    };
    const Case cases[] = {
        {"", {}},
        {"   \t ", {}},
        {"--out . --width 960 --height 540", {"--out", ".", "--width", "960", "--height", "540"}},
        {"  lead\ttab  trail  ", {"lead", "tab", "trail"}},
        {"\"../assets/a b.qlt\" --out .", {"../assets/a b.qlt", "--out", "."}},
        {"--load \"..\\..\\assets\\critter.qlmr\"", {"--load", "..\\..\\assets\\critter.qlmr"}},
        {"\"\" x", {"", "x"}},
        {"a\"b c\"d", {"ab cd"}},
        {"\"say \"\"hi\"\"\"", {"say \"hi\""}},
        {"a\\\"b", {"a\"b"}},
        {"a\\\\\"b c\"", {"a\\b c"}},
        {"a\\\\\\\"b", {"a\\\"b"}},
        {"tail\\ x\\\\", {"tail\\", "x\\\\"}},
        {"\"open to the end", {"open to the end"}},
    };
    for (const Case& c : cases)
        EXPECT_EQ(splitCommandLine(c.text), c.words) << c.text;
}

} // namespace
} // namespace qlmr
