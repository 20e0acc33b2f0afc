#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace qlmr {

// A four-character code as the u32 it reads as from little-endian bytes:
// the first character is the low byte.
constexpr std::uint32_t fourCC(const char (&text)[5])
{
    return std::uint32_t(std::uint8_t(text[0])) | std::uint32_t(std::uint8_t(text[1])) << 8 |
           std::uint32_t(std::uint8_t(text[2])) << 16 | std::uint32_t(std::uint8_t(text[3])) << 24;
}

// Little-endian reads from a byte span at any alignment. The caller has
// checked that offset + width lies inside the span.
inline std::uint32_t readLe32(std::span<const std::uint8_t> bytes, std::size_t offset)
{
    std::uint8_t b[4];
    std::memcpy(b, bytes.data() + offset, 4);
    return std::uint32_t(b[0]) | std::uint32_t(b[1]) << 8 | std::uint32_t(b[2]) << 16 | std::uint32_t(b[3]) << 24;
}

inline std::uint64_t readLe64(std::span<const std::uint8_t> bytes, std::size_t offset)
{
    return std::uint64_t(readLe32(bytes, offset)) | std::uint64_t(readLe32(bytes, offset + 4)) << 32;
}

inline float readLeFloat(std::span<const std::uint8_t> bytes, std::size_t offset)
{
    const std::uint32_t bits = readLe32(bytes, offset);
    float value;
    std::memcpy(&value, &bits, 4);
    return value;
}

// One entry of a container's section table.
struct SectionEntry {
    std::uint32_t tag = 0;
    std::uint32_t flags = 0;
    std::uint64_t offset = 0; // from the start of the container
    std::uint64_t size = 0;
};

// Reader of the generic section container: a 16-byte header (magic "QLC1",
// kind, section count, flags) followed by a table of 24-byte section
// entries. The bytes are not copied: the caller keeps them alive while the
// container is used.
class SectionContainer {
public:
    static constexpr std::size_t headerSize = 16;
    static constexpr std::size_t entrySize = 24;

    // Keeps the span and parses it.
    bool open(std::span<const std::uint8_t> bytes, std::string& error);
    // Keeps the span too, clears the kind and the section list, checks the
    // header and reads the table. On failure the entries read before the bad
    // one stay in the list.
    bool parse(std::span<const std::uint8_t> bytes, std::string& error);
    // The same two with the error string passed by address (never null).
    bool open(std::span<const std::uint8_t> data, std::string* error) { return open(data, *error); }
    bool parse(std::span<const std::uint8_t> data, std::string* error) { return parse(data, *error); }
    // The first entry with that tag, or none.
    std::optional<SectionEntry> find(std::uint32_t tag) const;
    std::optional<SectionEntry> find(const char (&tag)[5]) const { return find(fourCC(tag)); }
    // The bytes of an entry of this container (checked in range by parse).
    std::span<const std::uint8_t> sectionBytes(const SectionEntry& entry) const;

    std::span<const std::uint8_t> bytes;
    std::uint32_t kind = 0;
    std::vector<SectionEntry> sections;
};

// True when the entry's flags are 0; otherwise names the tag and the flags.
bool checkSectionFlags(const SectionEntry& entry, std::string& error);
inline bool checkSectionFlags(const SectionEntry& entry, std::string* error) { return checkSectionFlags(entry, *error); }

} // namespace qlmr
