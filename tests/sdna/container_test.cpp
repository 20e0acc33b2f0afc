#include "sdna/container.h"
#include "sdna/container_writer.h"
#include "sdna/sdna_reader.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace qlmr {
namespace {

using Bytes = std::vector<std::uint8_t>;

void putLe32(Bytes& bytes, std::size_t at, std::uint32_t value)
{
    for (int i = 0; i < 4; ++i)
        bytes[at + i] = static_cast<std::uint8_t>(value >> (8 * i));
}

void putLe64(Bytes& bytes, std::size_t at, std::uint64_t value)
{
    putLe32(bytes, at, static_cast<std::uint32_t>(value));
    putLe32(bytes, at + 4, static_cast<std::uint32_t>(value >> 32));
}

// A container of the given kind with payloads of 5 and 3 bytes.
Bytes twoSectionContainer(std::uint32_t kind = fourCC("TEST"))
{
    const ContainerSection sections[] = {{fourCC("AAAA"), 0, {1, 2, 3, 4, 5}}, {fourCC("BBBB"), 7, {6, 7, 8}}};
    return writeContainer(kind, sections);
}

TEST(SdnaFile, WriterProducesTheExactLayout)
{
    SdnaProgram program;
    SdnaInstruction sphere;
    sphere.op = SdnaOp::Sphere;
    sphere.material = 0x0102;
    sphere.bone = 0x03040506;
    sphere.p = {1.0f, 2.0f, -0.5f, 0.25f, 0, 0, 0, 0};
    program.instructions.push_back(sphere);
    program.materials.push_back({1.0f, 0.5f, 0.0f, 2.0f});
    program.boneCount = 9;
    program.flags = 1;
    program.boundsMin = {-1.0f, -2.0f, -4.0f};
    program.boundsMax = {1.0f, 2.0f, 4.0f};

    // Expected file as little-endian words, written out by hand.
    const std::uint32_t words[] = {
        0x31434C51, // "QLC1"
        0x4E454353, // "SCEN"
        1, 0,       // one section, no flags
        0x414E4453, // "SDNA"
        0, 40, 0,   // flags, offset (u64)
        112, 0,     // size (u64): 48 + 48 + 16
        0, 1, 1, 9, // version, instructions, materials, bones
        0xBF800000, 0xC0000000, 0xC0800000, 0x3F800000, 0x40000000, 0x40800000,
        1, 0,       // header flags, reserved
        0x01020001, // op 1, reserved 0, material 0x0102
        0x03040506, 0, 0,
        0x3F800000, 0x40000000, 0xBF000000, 0x3E800000, 0, 0, 0, 0,
        0x3F800000, 0x3F000000, 0x00000000, 0x40000000,
    };
    Bytes expected(sizeof(words));
    for (std::size_t i = 0; i < std::size(words); ++i)
        putLe32(expected, 4 * i, words[i]);
    EXPECT_EQ(encodeSdnaFile(program), expected);
}

TEST(SectionContainer, ReadsWhatTheWriterWrote)
{
    const Bytes bytes = twoSectionContainer();
    SectionContainer container;
    std::string error = "untouched";
    ASSERT_TRUE(container.open(bytes, error));
    EXPECT_EQ(error, "untouched");
    EXPECT_EQ(container.kind, fourCC("TEST"));
    ASSERT_EQ(container.sections.size(), 2u);
    EXPECT_EQ(container.sections[0].tag, fourCC("AAAA"));
    EXPECT_EQ(container.sections[0].offset, 64u);
    EXPECT_EQ(container.sections[0].size, 5u);
    EXPECT_EQ(container.sections[1].flags, 7u);
    EXPECT_EQ(container.sections[1].offset, 69u);
    const std::span<const std::uint8_t> second = container.sectionBytes(container.sections[1]);
    EXPECT_EQ(Bytes(second.begin(), second.end()), (Bytes{6, 7, 8}));
    EXPECT_FALSE(container.find(fourCC("CCCC")).has_value());
    ASSERT_TRUE(container.find(fourCC("BBBB")).has_value());
    EXPECT_EQ(container.find(fourCC("BBBB"))->offset, 69u);
}

TEST(SectionContainer, FindReturnsTheFirstOfEqualTags)
{
    const ContainerSection sections[] = {{fourCC("SAME"), 0, {1}}, {fourCC("SAME"), 0, {2, 2}}};
    const Bytes bytes = writeContainer(fourCC("TEST"), sections);
    SectionContainer container;
    std::string error;
    ASSERT_TRUE(container.open(bytes, error));
    EXPECT_EQ(container.find(fourCC("SAME"))->size, 1u);
    ASSERT_TRUE(container.find("SAME").has_value());
    EXPECT_EQ(container.find("SAME")->size, 1u);
    EXPECT_FALSE(container.find("SAMF").has_value());
}

TEST(SectionContainer, EmptyTableAndEmptySectionAtTheEndAreAccepted)
{
    std::string error;
    SectionContainer container;
    const Bytes empty = writeContainer(fourCC("SCEN"), {});
    ASSERT_EQ(empty.size(), 16u);
    EXPECT_TRUE(container.open(empty, error));
    EXPECT_TRUE(container.sections.empty());

    Bytes bytes = twoSectionContainer();
    putLe64(bytes, 16 + 24 + 8, bytes.size()); // offset = container length
    putLe64(bytes, 16 + 24 + 16, 0);
    ASSERT_TRUE(container.open(bytes, error)) << error;
    EXPECT_TRUE(container.sectionBytes(container.sections[1]).empty());
}

struct ContainerCase {
    const char* name;
    void (*mutate)(Bytes&);
    const char* message;
    std::size_t entriesKept;
};

const ContainerCase containerCases[] = {
    {"fifteen bytes", [](Bytes& b) { b.resize(15); }, "not an QLC1 container", 0},
    {"empty", [](Bytes& b) { b.clear(); }, "not an QLC1 container", 0},
    {"magic", [](Bytes& b) { b[3] = '2'; }, "not an QLC1 container", 0},
    {"container flags", [](Bytes& b) { putLe32(b, 12, 0x80000000u); }, "unsupported container flags", 0},
    {"table one byte short", [](Bytes& b) { b.resize(16 + 2 * 24 - 1); }, "truncated section table", 0},
    {"huge section count", [](Bytes& b) { putLe32(b, 8, 0xFFFFFFFFu); }, "truncated section table", 0},
    {"first offset past end", [](Bytes& b) { putLe64(b, 16 + 8, b.size() + 1); }, "section out of range", 0},
    {"second size past end", [](Bytes& b) { putLe64(b, 40 + 16, 4); }, "section out of range", 1},
    {"size wraps around", [](Bytes& b) { putLe64(b, 40 + 16, ~std::uint64_t(0)); }, "section out of range", 1},
    {"offset wraps around", [](Bytes& b) { putLe64(b, 16 + 8, ~std::uint64_t(0) - 2); }, "section out of range", 0},
};

TEST(SectionContainer, EachBrokenRuleHasItsMessage)
{
    for (const ContainerCase& c : containerCases) {
        SCOPED_TRACE(c.name);
        Bytes bytes = twoSectionContainer();
        c.mutate(bytes);
        SectionContainer container;
        container.sections.resize(5); // parse starts from an empty list
        std::string error;
        EXPECT_FALSE(container.open(bytes, error));
        EXPECT_EQ(error, c.message);
        EXPECT_EQ(container.sections.size(), c.entriesKept);
    }
}

// A container read again, by open or by parse alone, reads the new bytes
// only: sectionBytes gives the new file's sections, and a header that is no
// container leaves no kind of the file read before it.
TEST(SectionContainer, ReadingAgainForgetsTheEarlierFile)
{
    const ContainerSection firstSections[] = {{fourCC("AAAA"), 0, {1, 2, 3, 4, 5, 6, 7, 8}}};
    const ContainerSection secondSections[] = {{fourCC("BBBB"), 0, {9, 9}}};
    const Bytes first = writeContainer(fourCC("ONE1"), firstSections);
    const Bytes second = writeContainer(fourCC("TWO2"), secondSections);
    const Bytes notAContainer(40, 0x5A);
    using Read = bool (*)(SectionContainer&, const Bytes&, std::string&);
    const struct {
        const char* name;
        Read before; // nullptr: a fresh container
        Read again;
    } cases[] = {
        {"parse alone", nullptr, [](SectionContainer& c, const Bytes& b, std::string& e) { return c.parse(b, e); }},
        {"open, then parse", [](SectionContainer& c, const Bytes& b, std::string& e) { return c.open(b, e); },
         [](SectionContainer& c, const Bytes& b, std::string& e) { return c.parse(b, e); }},
        {"parse, then open", [](SectionContainer& c, const Bytes& b, std::string& e) { return c.parse(b, e); },
         [](SectionContainer& c, const Bytes& b, std::string& e) { return c.open(b, e); }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        SectionContainer container;
        std::string error;
        if (c.before)
            ASSERT_TRUE(c.before(container, first, error)) << error;
        ASSERT_TRUE(c.again(container, second, error)) << error;
        EXPECT_EQ(container.kind, fourCC("TWO2"));
        ASSERT_EQ(container.sections.size(), 1u);
        const std::span<const std::uint8_t> section = container.sectionBytes(container.sections[0]);
        EXPECT_EQ(Bytes(section.begin(), section.end()), (Bytes{9, 9}));

        EXPECT_FALSE(c.again(container, notAContainer, error));
        EXPECT_EQ(error, "not an QLC1 container");
        EXPECT_EQ(container.kind, 0u);
        EXPECT_TRUE(container.sections.empty());
    }
}

TEST(SectionContainer, SectionFlagsMessageNamesTagAndFlags)
{
    std::string error = "untouched";
    EXPECT_TRUE(checkSectionFlags({fourCC("SDNA"), 0, 0, 0}, error));
    EXPECT_EQ(error, "untouched");
    EXPECT_FALSE(checkSectionFlags({fourCC("SDNA"), 1, 0, 0}, error));
    EXPECT_EQ(error, "section SDNA: unsupported flags 1");
    EXPECT_FALSE(checkSectionFlags({fourCC("SDNA"), 4294967295u, 0, 0}, error));
    EXPECT_EQ(error, "section SDNA: unsupported flags 4294967295");
    // A tag of control bytes still gives one printable line.
    EXPECT_FALSE(checkSectionFlags({0x000A0D41u, 2, 0, 0}, error));
    EXPECT_EQ(error, "section A???: unsupported flags 2");
}

} // namespace
} // namespace qlmr
