#include "scene/gbuffer.h"

#include <cstdint>
#include <cstdlib>
#include <new>
#include <utility>

namespace qlmr {

AlignedFloats::AlignedFloats(std::size_t n) : count(n)
{
    if (n == 0)
        return;
    // A byte count that does not fit size_t would wrap to a small block.
    if (n > (SIZE_MAX - 63) / sizeof(float))
        throw std::bad_alloc();
    // aligned_alloc wants a size that is a multiple of the alignment.
    const std::size_t bytes = (n * sizeof(float) + 63) & ~std::size_t(63);
    void* p = std::aligned_alloc(64, bytes);
    if (!p)
        throw std::bad_alloc();
    storage.reset(static_cast<float*>(p));
}

void AlignedFloats::Free::operator()(float* p) const
{
    std::free(p);
}

GBuffer& GBuffer::operator=(GBuffer&& other) noexcept
{
    if (this == &other)
        return *this;
    width = std::exchange(other.width, 0);
    height = std::exchange(other.height, 0);
    packetsPerRow = std::exchange(other.packetsPerRow, 0);
    packetRows = std::exchange(other.packetRows, 0);
    for (unsigned p = 0; p < kPlaneCount; ++p)
        planes[p] = std::move(other.planes[p]);
    return *this;
}

namespace {

// Packets per row and packet rows of an image. In 64 bits: near 2^32 pixels
// the 32-bit sums would wrap to 0 packets.
std::uint32_t packetColumns(std::uint32_t width)
{
    return std::uint32_t((std::uint64_t(width) + kPacketWidth - 1) / kPacketWidth);
}

std::uint32_t packetRowsOf(std::uint32_t height)
{
    return std::uint32_t((std::uint64_t(height) + 1) >> 1);
}

} // namespace

bool GBuffer::holdsItsSize() const
{
    if (packetsPerRow != packetColumns(width) || packetRows != packetRowsOf(height))
        return false;
    for (const AlignedFloats& p : planes)
        if (p.size() != planeSize())
            return false;
    return true;
}

bool GBuffer::resize(std::uint32_t newWidth, std::uint32_t newHeight)
{
    // The size fields are public: a buffer whose width and height were set
    // by hand has no planes behind them, and is sized like a new one.
    if (newWidth == width && newHeight == height && holdsItsSize())
        return false;
    // The old planes go first, so the new ones need not fit beside them. If
    // the new planes cannot be had the buffer is left empty, never claiming
    // a size its planes do not have (a later frame of that size would write
    // past them).
    *this = GBuffer();
    const std::uint32_t rowPackets = packetColumns(newWidth);
    const std::uint32_t rows = packetRowsOf(newHeight);
    const std::uint64_t packets = std::uint64_t(rowPackets) * rows;
    if (packets > SIZE_MAX / kPacketLanes)
        throw std::bad_alloc();
    const std::size_t n = std::size_t(packets) * kPacketLanes;
    AlignedFloats fresh[kPlaneCount];
    for (AlignedFloats& p : fresh)
        p = AlignedFloats(n);
    for (unsigned p = 0; p < kPlaneCount; ++p)
        planes[p] = std::move(fresh[p]);
    width = newWidth;
    height = newHeight;
    packetsPerRow = rowPackets;
    packetRows = rows;
    return true;
}

} // namespace qlmr
