#include "sdna/container.h"

namespace qlmr {

bool SectionContainer::open(std::span<const std::uint8_t> data, std::string& error)
{
    return parse(data, error);
}

bool SectionContainer::parse(std::span<const std::uint8_t> data, std::string& error)
{
    // The entries read here are offsets into these bytes, so sectionBytes
    // must read them and no span of an earlier call; nor may the kind of an
    // earlier container survive a header that is not one.
    bytes = data;
    kind = 0;
    sections.clear();
    const std::uint64_t length = data.size();
    if (length < headerSize || std::memcmp(data.data(), "QLC1", 4) != 0) {
        error = "not an QLC1 container";
        return false;
    }
    kind = readLe32(data, 4);
    const std::uint64_t count = readLe32(data, 8);
    if (readLe32(data, 12) != 0) {
        error = "unsupported container flags";
        return false;
    }
    // 16 + 24 * 0xFFFFFFFF still fits in 64 bits, and the table is known to
    // lie inside the span before anything is reserved for it.
    if (headerSize + entrySize * count > length) {
        error = "truncated section table";
        return false;
    }
    sections.reserve(count);
    for (std::uint64_t i = 0; i < count; ++i) {
        const std::size_t at = headerSize + entrySize * i;
        SectionEntry entry;
        entry.tag = readLe32(data, at);
        entry.flags = readLe32(data, at + 4);
        entry.offset = readLe64(data, at + 8);
        entry.size = readLe64(data, at + 16);
        if (entry.offset > length || entry.size > length - entry.offset) {
            error = "section out of range";
            return false;
        }
        sections.push_back(entry);
    }
    return true;
}

std::optional<SectionEntry> SectionContainer::find(std::uint32_t tag) const
{
    for (const SectionEntry& entry : sections)
        if (entry.tag == tag)
            return entry;
    return std::nullopt;
}

std::span<const std::uint8_t> SectionContainer::sectionBytes(const SectionEntry& entry) const
{
    if (entry.offset > bytes.size() || entry.size > bytes.size() - entry.offset)
        return {};
    return bytes.subspan(static_cast<std::size_t>(entry.offset), static_cast<std::size_t>(entry.size));
}

bool checkSectionFlags(const SectionEntry& entry, std::string& error)
{
    if (entry.flags == 0)
        return true;
    // The message stays one printable line whatever bytes the tag holds.
    std::string tag;
    for (int i = 0; i < 4; ++i) {
        const char c = static_cast<char>((entry.tag >> (8 * i)) & 0xFF);
        tag += (c >= 0x20 && c < 0x7F) ? c : '?';
    }
    error = "section " + tag + ": unsupported flags " + std::to_string(entry.flags);
    return false;
}

} // namespace qlmr
