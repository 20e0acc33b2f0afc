#include "content/field_image.h"

#include <algorithm>
#include <cmath>

namespace qlmr {

FieldImage::FieldImage(std::uint32_t width, std::uint32_t height)
    : width(width),
      height(height),
      heights(static_cast<std::size_t>(width) * height, 0.0f),
      colors(static_cast<std::size_t>(width) * height, 0xFF808080u),
      materials(static_cast<std::size_t>(width) * height, 0)
{
}

namespace {

std::uint32_t channelByte(float value)
{
    const float clamped = std::min(std::max(value, 0.0f), 1.0f);
    return static_cast<std::uint32_t>(std::lround(clamped * 255.0f)) & 0xFFu;
}

} // namespace

std::uint32_t packRgba8(float r, float g, float b)
{
    return channelByte(r) | channelByte(g) << 8 | channelByte(b) << 16 | 0xFFu << 24;
}

} // namespace qlmr
