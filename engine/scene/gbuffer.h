#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <utility>

#ifndef QLMR_LANES
#error "QLMR_LANES must be defined by the engine variant (8 or 4)"
#endif

namespace qlmr {

// Packet geometry of this build: 8 lanes as 4 x 2 pixels (AVX2) or 4 lanes
// as 2 x 2 pixels (SSE2). Lane l covers pixel offset (l % width, l / width).
inline constexpr unsigned kPacketLanes = QLMR_LANES;
inline constexpr unsigned kPacketHeight = 2;
inline constexpr unsigned kPacketWidth = kPacketLanes / kPacketHeight;
static_assert(kPacketLanes == 8 || kPacketLanes == 4, "packets are 4x2 or 2x2 pixels");

// One 64-byte aligned float array owned by a G-buffer plane.
class AlignedFloats {
public:
    AlignedFloats() = default;
    explicit AlignedFloats(std::size_t count);
    AlignedFloats(AlignedFloats&& other) noexcept : storage(std::move(other.storage)), count(other.count)
    {
        other.count = 0;
    }
    AlignedFloats& operator=(AlignedFloats&& other) noexcept
    {
        storage = std::move(other.storage);
        count = other.count;
        other.count = 0;
        return *this;
    }

    float* data() { return storage.get(); }
    const float* data() const { return storage.get(); }
    std::size_t size() const { return count; }

private:
    struct Free {
        void operator()(float* p) const;
    };
    std::unique_ptr<float[], Free> storage;
    std::size_t count = 0;
};

// The frame the tile renderer writes: nine float planes in packet order, so
// a packet's results are nine contiguous blocks of kPacketLanes floats.
struct GBuffer {
    enum Plane : unsigned {
        Depth = 0,   // distance along the unit ray; +inf on a miss (>= 1e29 reads as a miss)
        NormalX = 1,
        NormalY = 2,
        NormalZ = 3,
        ColorR = 4,  // linear colour, before tone mapping
        ColorG = 5,
        ColorB = 6,
        Cost = 7,    // march iterations plus solid-object trace steps
        Level = 8,   // pyramid level of the hit; 0 for misses and solid hits
    };
    static constexpr unsigned kPlaneCount = 9;

    std::uint32_t width = 0;
    std::uint32_t height = 0;
    std::uint32_t packetsPerRow = 0;
    std::uint32_t packetRows = 0;
    AlignedFloats planes[kPlaneCount];

    GBuffer() = default;
    GBuffer(const GBuffer&) = delete;
    GBuffer& operator=(const GBuffer&) = delete;
    // A moved-from buffer is empty (size 0, no planes), so the next render
    // sizes it afresh instead of writing through planes it no longer owns.
    GBuffer(GBuffer&& other) noexcept { *this = std::move(other); }
    GBuffer& operator=(GBuffer&& other) noexcept;

    // Sizes the buffer for an image; every plane is replaced by a fresh
    // allocation (contents undefined) when the size differs, otherwise the
    // planes are kept as they are. Returns true when it reallocated. Throws
    // std::bad_alloc when the planes cannot be had, leaving the buffer empty.
    bool resize(std::uint32_t newWidth, std::uint32_t newHeight);

    // Floats per plane: packetsPerRow * packetRows * kPacketLanes.
    std::size_t planeSize() const { return std::size_t(packetsPerRow) * packetRows * kPacketLanes; }

    float* plane(unsigned p) { return planes[p].data(); }
    const float* plane(unsigned p) const { return planes[p].data(); }

    // Index of pixel (x, y) in every plane.
    std::size_t index(std::uint32_t x, std::uint32_t y) const
    {
        return (std::size_t(y >> 1) * packetsPerRow + x / kPacketWidth) * kPacketLanes +
            (y & 1u) * kPacketWidth + x % kPacketWidth;
    }

    // Index of the first lane of the packet whose top-left pixel is (x, y).
    std::size_t packetIndex(std::uint32_t x, std::uint32_t y) const { return index(x, y); }

    float at(std::uint32_t p, std::uint32_t x, std::uint32_t y) const { return planes[p].data()[index(x, y)]; }

    // Whether the packet counts and every plane match width and height, so
    // that every pixel's packet block lies inside every plane.
    bool holdsItsSize() const;
};

} // namespace qlmr
