#include "pixelart_images.h"

#include <algorithm>
#include <cmath>

namespace qlmr {

namespace {

std::uint8_t unitToByte(float v) { return std::uint8_t(std::lround(std::clamp((v * 0.5f + 0.5f) * 255.0f, 0.0f, 255.0f))); }

} // namespace

std::vector<std::uint8_t> normalsImage(const GBuffer& frame)
{
    std::vector<std::uint8_t> rgba(std::size_t(frame.width) * frame.height * 4, 0);
    for (std::uint32_t y = 0; y < frame.height; ++y) {
        for (std::uint32_t x = 0; x < frame.width; ++x) {
            std::uint8_t* p = rgba.data() + (std::size_t(y) * frame.width + x) * 4;
            p[3] = 255;
            if (!(frame.at(GBuffer::Depth, x, y) < 1e29f))
                continue;
            p[0] = unitToByte(frame.at(GBuffer::NormalX, x, y));
            p[1] = unitToByte(frame.at(GBuffer::NormalY, x, y));
            p[2] = unitToByte(frame.at(GBuffer::NormalZ, x, y));
        }
    }
    return rgba;
}

std::vector<std::uint8_t> heightsImage(std::span<const float> heights, std::uint32_t width, std::uint32_t height,
                                       float heightScale)
{
    const std::uint32_t outWidth = width * kHeightsZoom;
    std::vector<std::uint8_t> rgba(std::size_t(outWidth) * height * kHeightsZoom * 4);
    for (std::uint32_t y = 0; y < height * kHeightsZoom; ++y) {
        for (std::uint32_t x = 0; x < outWidth; ++x) {
            const float h = heights[std::size_t(y / kHeightsZoom) * width + x / kHeightsZoom];
            const float g = std::round(255.0f * std::min(h / heightScale, 1.0f));
            const std::uint8_t grey = std::uint8_t(std::clamp(g, 0.0f, 255.0f));
            std::uint8_t* p = rgba.data() + (std::size_t(y) * outWidth + x) * 4;
            p[0] = p[1] = p[2] = grey;
            p[3] = 255;
        }
    }
    return rgba;
}

} // namespace qlmr
