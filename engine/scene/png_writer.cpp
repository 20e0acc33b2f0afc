#include "scene/png_writer.h"

#include "scene/file_replace.h"

#include <algorithm>
#include <array>

namespace qlmr {
namespace {

// One PNG chunk may hold at most 2^31 - 1 data bytes; larger zlib streams
// are split across consecutive IDAT chunks.
constexpr std::size_t kMaxChunkData = 0x7FFFFFFF;
constexpr std::size_t kMaxStoredBlock = 65535;

constexpr std::array<std::uint32_t, 256> makeCrcTable()
{
    std::array<std::uint32_t, 256> table{};
    for (std::uint32_t n = 0; n < 256; ++n) {
        std::uint32_t c = n;
        for (int k = 0; k < 8; ++k)
            c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
        table[n] = c;
    }
    return table;
}

constexpr std::array<std::uint32_t, 256> kCrcTable = makeCrcTable();

std::uint32_t crcUpdate(std::uint32_t state, const std::uint8_t* data, std::size_t size)
{
    for (std::size_t i = 0; i < size; ++i)
        state = kCrcTable[(state ^ data[i]) & 0xFF] ^ (state >> 8);
    return state;
}

void appendChunk(std::vector<std::uint8_t>& out, const char type[4], const std::uint8_t* data, std::size_t size)
{
    appendBe32(out, static_cast<std::uint32_t>(size));
    const std::size_t typeAt = out.size();
    out.insert(out.end(), type, type + 4);
    out.insert(out.end(), data, data + size);
    const std::uint32_t crc = crcUpdate(0xFFFFFFFFu, out.data() + typeAt, 4 + size) ^ 0xFFFFFFFFu;
    appendBe32(out, crc);
}

} // namespace

void appendBe32(std::vector<std::uint8_t>& out, std::uint32_t value)
{
    out.push_back(static_cast<std::uint8_t>(value >> 24));
    out.push_back(static_cast<std::uint8_t>(value >> 16));
    out.push_back(static_cast<std::uint8_t>(value >> 8));
    out.push_back(static_cast<std::uint8_t>(value));
}

std::uint32_t crc32(std::span<const std::uint8_t> bytes, std::uint32_t crc)
{
    return crcUpdate(crc ^ 0xFFFFFFFFu, bytes.data(), bytes.size()) ^ 0xFFFFFFFFu;
}

std::uint32_t adler32(std::span<const std::uint8_t> bytes)
{
    // Sums are reduced every 5552 bytes, the longest run that cannot
    // overflow 32 bits.
    std::uint32_t a = 1, b = 0;
    std::size_t i = 0;
    while (i < bytes.size()) {
        const std::size_t end = std::min(bytes.size(), i + 5552);
        for (; i < end; ++i) {
            a += bytes[i];
            b += a;
        }
        a %= 65521;
        b %= 65521;
    }
    return (b << 16) | a;
}

std::vector<std::uint8_t> encodePng(unsigned width, unsigned height, std::span<const std::uint8_t> rgba)
{
    // The pixel count of two 32-bit sizes fits 64 bits, but four bytes a
    // pixel may not: a byte count that wrapped would pass for a small (even
    // empty) image and the rows would be read far past its end.
    const std::uint64_t pixels = std::uint64_t(width) * height;
    if (pixels > rgba.size() / 4 || rgba.size() != pixels * 4)
        return {};
    const std::uint64_t rowBytes = std::uint64_t(width) * 4;

    // Raw scanlines: filter byte 0 (None) before every row.
    const std::uint64_t rawSize = (rowBytes + 1) * height;
    std::vector<std::uint8_t> raw(static_cast<std::size_t>(rawSize));
    for (unsigned y = 0; y < height; ++y) {
        std::uint8_t* row = raw.data() + y * (rowBytes + 1);
        row[0] = 0;
        std::copy_n(rgba.data() + y * rowBytes, rowBytes, row + 1);
    }

    // zlib stream of stored deflate blocks.
    const std::size_t blocks = raw.empty() ? 1 : (raw.size() + kMaxStoredBlock - 1) / kMaxStoredBlock;
    std::vector<std::uint8_t> zlib;
    zlib.reserve(2 + raw.size() + blocks * 5 + 4);
    zlib.push_back(0x78);
    zlib.push_back(0x01);
    for (std::size_t block = 0; block < blocks; ++block) {
        const std::size_t at = block * kMaxStoredBlock;
        const std::size_t len = std::min(kMaxStoredBlock, raw.size() - at);
        const auto nlen = static_cast<std::uint16_t>(~len);
        zlib.push_back(block + 1 == blocks ? 1 : 0);
        zlib.push_back(static_cast<std::uint8_t>(len));
        zlib.push_back(static_cast<std::uint8_t>(len >> 8));
        zlib.push_back(static_cast<std::uint8_t>(nlen));
        zlib.push_back(static_cast<std::uint8_t>(nlen >> 8));
        zlib.insert(zlib.end(), raw.begin() + at, raw.begin() + at + len);
    }
    appendBe32(zlib, adler32(raw));
    raw = {};

    std::vector<std::uint8_t> file;
    file.reserve(zlib.size() + 64 + 12 * (zlib.size() / kMaxChunkData));
    static const std::uint8_t signature[8] = {0x89, 0x50, 0x4E, 0x47, 0x0D, 0x0A, 0x1A, 0x0A};
    file.insert(file.end(), signature, signature + 8);

    std::vector<std::uint8_t> header;
    appendBe32(header, width);
    appendBe32(header, height);
    header.insert(header.end(), {8, 6, 0, 0, 0}); // 8-bit RGBA, no interlace
    appendChunk(file, "IHDR", header.data(), header.size());
    for (std::size_t at = 0; at < zlib.size(); at += kMaxChunkData)
        appendChunk(file, "IDAT", zlib.data() + at, std::min(kMaxChunkData, zlib.size() - at));
    appendChunk(file, "IEND", nullptr, 0);
    return file;
}

bool writePng(const std::string& path, unsigned width, unsigned height, std::span<const std::uint8_t> rgba)
{
    const std::vector<std::uint8_t> file = encodePng(width, height, rgba);
    if (file.empty())
        return false;

    return replaceFile(path, file);
}

} // namespace qlmr
