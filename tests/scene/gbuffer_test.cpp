#include "scene/color_image.h"
#include "scene/gbuffer.h"
#include "scene/tone_map.h"

#include <cstdint>
#include <gtest/gtest.h>
#include <new>
#include <set>
#include <utility>

namespace qlmr {
namespace {

// The packet layout written out per build, independently of GBuffer::index.
std::size_t expectedIndex(std::uint32_t packetsPerRow, std::uint32_t x, std::uint32_t y)
{
#if QLMR_LANES == 8
    return ((y >> 1) * std::size_t(packetsPerRow) + (x >> 2)) * 8 + (y & 1) * 4 + (x & 3);
#else
    return ((y >> 1) * std::size_t(packetsPerRow) + (x >> 1)) * 4 + (y & 1) * 2 + (x & 1);
#endif
}

TEST(GBuffer, PixelsMapToDistinctPacketSlots)
{
    struct Size {
        std::uint32_t width, height;
    };
    const Size sizes[] = {{1, 1}, {3, 1}, {5, 3}, {16, 16}, {17, 9}, {33, 2}};
    for (const Size& size : sizes) {
        GBuffer frame;
        frame.resize(size.width, size.height);
        const std::uint32_t packetsPerRow = (size.width + kPacketWidth - 1) / kPacketWidth;
        EXPECT_EQ(frame.packetsPerRow, packetsPerRow);
        EXPECT_EQ(frame.packetRows, (size.height + 1) / 2);
        EXPECT_EQ(frame.planeSize(), std::size_t(packetsPerRow) * frame.packetRows * kPacketLanes);
        std::set<std::size_t> seen;
        for (std::uint32_t y = 0; y < size.height; ++y)
            for (std::uint32_t x = 0; x < size.width; ++x) {
                const std::size_t i = frame.index(x, y);
                EXPECT_EQ(i, expectedIndex(packetsPerRow, x, y)) << x << "," << y;
                EXPECT_LT(i, frame.planeSize());
                EXPECT_TRUE(seen.insert(i).second) << "slot used twice at " << x << "," << y;
            }
    }
}

TEST(GBuffer, PlanesAreAlignedAndReusedAtTheSameSize)
{
    GBuffer frame;
    EXPECT_TRUE(frame.resize(20, 6));
    const float* before[GBuffer::kPlaneCount];
    for (unsigned p = 0; p < GBuffer::kPlaneCount; ++p) {
        before[p] = frame.plane(p);
        ASSERT_NE(before[p], nullptr);
        EXPECT_EQ(reinterpret_cast<std::uintptr_t>(before[p]) % 64, 0u);
        EXPECT_EQ(frame.planes[p].size(), frame.planeSize());
    }
    EXPECT_FALSE(frame.resize(20, 6));
    for (unsigned p = 0; p < GBuffer::kPlaneCount; ++p)
        EXPECT_EQ(frame.plane(p), before[p]);
    EXPECT_TRUE(frame.resize(21, 6));
    EXPECT_EQ(frame.width, 21u);
    for (unsigned p = 0; p < GBuffer::kPlaneCount; ++p)
        EXPECT_EQ(reinterpret_cast<std::uintptr_t>(frame.plane(p)) % 64, 0u);
}

// The size fields are public; a buffer given a size by hand has no planes
// behind it, and sizing it for that size must still allocate them.
TEST(GBuffer, SizeSetByHandStillGetsPlanes)
{
    const std::pair<std::uint32_t, std::uint32_t> sizes[] = {{8, 8}, {13, 5}, {1, 1}};
    for (const auto& [width, height] : sizes) {
        GBuffer frame;
        frame.width = width;
        frame.height = height;
        EXPECT_TRUE(frame.resize(width, height)) << width << "x" << height;
        EXPECT_EQ(frame.packetsPerRow, (width + kPacketWidth - 1) / kPacketWidth);
        EXPECT_EQ(frame.packetRows, (height + 1) / 2);
        for (unsigned p = 0; p < GBuffer::kPlaneCount; ++p) {
            ASSERT_NE(frame.plane(p), nullptr) << width << "x" << height << " plane " << p;
            EXPECT_EQ(frame.planes[p].size(), frame.planeSize());
        }
        // Sized properly now: the planes are kept.
        const float* first = frame.plane(0);
        EXPECT_FALSE(frame.resize(width, height));
        EXPECT_EQ(frame.plane(0), first);
    }
}

TEST(GBuffer, ZeroSizeHasNoStorage)
{
    GBuffer frame;
    frame.resize(5, 5);
    frame.resize(0, 7);
    EXPECT_EQ(frame.planeSize(), 0u);
    for (unsigned p = 0; p < GBuffer::kPlaneCount; ++p)
        EXPECT_EQ(frame.plane(p), nullptr);
}

// A size whose planes cannot be had must not leave the buffer claiming it:
// a frame rendered at that size later would write past the old planes.
TEST(GBuffer, FailedResizeLeavesTheBufferEmpty)
{
    struct Case {
        const char* name;
        std::uint32_t width, height;
        bool reachesTheAllocator; // else refused before allocating
    };
    const Case cases[] = {
        // Every plane would need more bytes than size_t counts.
        {"largest size", 0xFFFFFFFFu, 0xFFFFFFFFu, false},
        {"widest row", 0xFFFFFFFDu, 0x80000000u, false},
        // 2^62 bytes a plane: no address space holds that.
        {"2^30 square", 1u << 30, 1u << 30, true},
    };
    for (const Case& c : cases) {
#if defined(__SANITIZE_ADDRESS__)
        // AddressSanitizer ends the process on such a request instead of failing it.
        if (c.reachesTheAllocator)
            continue;
#endif
        GBuffer frame;
        ASSERT_TRUE(frame.resize(8, 6));
        EXPECT_THROW(frame.resize(c.width, c.height), std::bad_alloc) << c.name;
        EXPECT_EQ(frame.width, 0u) << c.name;
        EXPECT_EQ(frame.height, 0u) << c.name;
        EXPECT_EQ(frame.planeSize(), 0u) << c.name;
        for (unsigned p = 0; p < GBuffer::kPlaneCount; ++p)
            EXPECT_EQ(frame.plane(p), nullptr) << c.name;
        // The failed size is not remembered: asking for it again tries again.
        EXPECT_THROW(frame.resize(c.width, c.height), std::bad_alloc) << c.name;
        EXPECT_TRUE(frame.resize(8, 6)) << c.name;
        for (unsigned p = 0; p < GBuffer::kPlaneCount; ++p)
            EXPECT_EQ(frame.planes[p].size(), frame.planeSize()) << c.name;
    }
}

TEST(GBuffer, MoveTransfersPlanesAndEmptiesTheSource)
{
    GBuffer a;
    a.resize(8, 4);
    a.plane(GBuffer::Depth)[a.index(3, 1)] = 42.0f;
    const float* depth = a.plane(GBuffer::Depth);
    GBuffer b(std::move(a));
    EXPECT_EQ(b.plane(GBuffer::Depth), depth);
    EXPECT_EQ(b.at(GBuffer::Depth, 3, 1), 42.0f);
    EXPECT_EQ(a.width, 0u);
    EXPECT_EQ(a.plane(GBuffer::Depth), nullptr);
    // The emptied source is sized afresh, not reused with missing planes.
    EXPECT_TRUE(a.resize(8, 4));
    EXPECT_NE(a.plane(GBuffer::Depth), nullptr);
    GBuffer c;
    c = std::move(b);
    EXPECT_EQ(c.at(GBuffer::Depth, 3, 1), 42.0f);
}

TEST(ColorImage, RowsFromTheTopThroughTheToneCurve)
{
    GBuffer frame;
    frame.resize(7, 5);
    auto value = [](std::uint32_t x, std::uint32_t y, unsigned c) { return 0.01f * float(x + 7 * y) + 0.3f * float(c); };
    for (std::uint32_t y = 0; y < 5; ++y)
        for (std::uint32_t x = 0; x < 7; ++x)
            for (unsigned c = 0; c < 3; ++c)
                frame.plane(GBuffer::ColorR + c)[frame.index(x, y)] = value(x, y, c);
    const std::vector<std::uint8_t> rgba = colorImage(frame);
    ASSERT_EQ(rgba.size(), 7u * 5u * 4u);
    for (std::uint32_t y = 0; y < 5; ++y)
        for (std::uint32_t x = 0; x < 7; ++x) {
            const std::uint8_t* px = &rgba[(y * 7 + x) * 4];
            for (unsigned c = 0; c < 3; ++c)
                EXPECT_EQ(px[c], toneMap8(value(x, y, c))) << x << "," << y << " channel " << c;
            EXPECT_EQ(px[3], 255);
        }
}

// A size given by hand, without planes (or with planes of a smaller size)
// behind it, has no colours to read: no image instead of reading past them.
TEST(ColorImage, SizeWithoutPlanesGivesNoImage)
{
    GBuffer unsized;
    unsized.width = 9;
    unsized.height = 4;
    EXPECT_TRUE(colorImage(unsized).empty());

    GBuffer small;
    small.resize(2, 2);
    small.width = 640;
    small.height = 480;
    EXPECT_TRUE(colorImage(small).empty());

    GBuffer none;
    EXPECT_TRUE(colorImage(none).empty());
}

} // namespace
} // namespace qlmr
