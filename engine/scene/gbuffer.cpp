#include "scene/gbuffer.h"

#include <cstdlib>
#include <new>
#include <utility>

namespace qlmr {

AlignedFloats::AlignedFloats(std::size_t n) : count(n)
{
    if (n == 0)
        return;
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

bool GBuffer::resize(std::uint32_t newWidth, std::uint32_t newHeight)
{
    if (newWidth == width && newHeight == height)
        return false;
    width = newWidth;
    height = newHeight;
    packetsPerRow = (width + kPacketWidth - 1) / kPacketWidth;
    packetRows = (height + 1) >> 1;
    const std::size_t n = planeSize();
    for (AlignedFloats& p : planes)
        p = AlignedFloats(n);
    return true;
}

} // namespace qlmr
