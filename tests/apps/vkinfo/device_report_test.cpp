// The device report's pieces that no driver can reach: every class word,
// the escaping of every byte of a device name, and the words the smoke
// kernel must leave behind.
#include "device_report.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>

namespace qlmr {
namespace {

TEST(DeviceClassWord, NamesTheFourKnownTypesAndOtherForTheRest)
{
    struct Case {
        std::uint32_t type;
        const char* word;
    };
    const Case cases[] = {
        {0, "other"},    {1, "integrated"}, {2, "discrete"}, {3, "virtual"},
        {4, "cpu"},      {5, "other"},      {0x7FFFFFFF, "other"}, {0xFFFFFFFF, "other"},
    };
    for (const Case& c : cases)
        EXPECT_STREQ(deviceClassWord(c.type), c.word) << c.type;
}

TEST(JsonStringLiteral, EscapesQuotesBackslashesAndControlBytesOnly)
{
    struct Case {
        std::string name;
        std::string literal;
    };
    const Case cases[] = {
        {"", "\"\""},
        {"Q\"uote", "\"Q\\\"uote\""},
        {"Back\\slash", "\"Back\\\\slash\""},
        {"a\tb", "\"a\\u0009b\""},
        {std::string("\0", 1), "\"\\u0000\""},
        {"\n\x1f", "\"\\u000a\\u001f\""},
        {" ~\x7f", "\" ~\x7f\""},
        {"\xc3\xa9\x80\xff", "\"\xc3\xa9\x80\xff\""},
    };
    for (const Case& c : cases)
        EXPECT_EQ(jsonStringLiteral(c.name), c.literal) << c.literal;
}

TEST(JsonStringLiteral, EveryByteIsOneOfThreeForms)
{
    const char* hex = "0123456789abcdef";
    for (int byte = 1; byte < 256; ++byte) {
        const std::string name(1, char(byte));
        std::string inner;
        if (byte == '"' || byte == '\\')
            inner = std::string("\\") + char(byte);
        else if (byte < 0x20)
            inner = std::string("\\u00") + hex[byte >> 4] + hex[byte & 15];
        else
            inner = name;
        EXPECT_EQ(jsonStringLiteral(name), "\"" + inner + "\"") << byte;
    }
}

// The smoke kernel's rule in 64-bit arithmetic, cut to 32 bits at each step.
std::uint32_t expectedSmokeWord(std::uint64_t i, std::uint64_t salt, std::uint32_t rounds)
{
    constexpr std::uint64_t mask = 0xFFFFFFFFull;
    if (rounds == 0)
        return std::uint32_t((i * i + salt) & mask);
    std::uint64_t h = i;
    for (std::uint64_t l = 0; l < rounds; ++l)
        h = (((h ^ (h >> 15)) * 739982445ull) + l) & mask;
    return std::uint32_t(h);
}

TEST(SmokeWord, FollowsTheKernelsRuleWithWrapAround)
{
    for (std::uint32_t rounds : {0u, 1u, 2u, 256u}) {
        for (std::uint32_t i : {0u, 1u, 997u, 65535u, 65536u, 1048575u, 0xFFFFFFFFu}) {
            EXPECT_EQ(smokeWord(i, 7, rounds), expectedSmokeWord(i, 7, rounds)) << i << " rounds " << rounds;
        }
    }
    // The hand-worked ends: i*i + salt wraps at 2^32, and one round of word 1.
    EXPECT_EQ(smokeWord(65536, 7, 0), 7u);
    EXPECT_EQ(smokeWord(1, 7, 1), 739982445u);
}

} // namespace
} // namespace qlmr
