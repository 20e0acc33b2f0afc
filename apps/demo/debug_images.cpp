#include "debug_images.h"

#include <algorithm>
#include <cmath>

namespace qlmr {

namespace {

std::uint8_t unitToByte(float v)
{
    return static_cast<std::uint8_t>(std::lroundf(v * 255.0f));
}

struct CostStop {
    float r, g, b;
};

constexpr CostStop kCostStops[5] = {
    {0.05f, 0.05f, 0.35f},
    {0.0f, 0.7f, 0.9f},
    {0.1f, 0.85f, 0.2f},
    {1.0f, 0.9f, 0.0f},
    {0.95f, 0.1f, 0.05f},
};

float lerpStop(float from, float to, float f)
{
    return (to - from) * f + from;
}

template <class PixelFn>
std::vector<std::uint8_t> mapPixels(const GBuffer& frame, PixelFn pixel)
{
    std::vector<std::uint8_t> rgba(std::size_t(frame.width) * frame.height * 4);
    std::uint8_t* out = rgba.data();
    for (std::uint32_t y = 0; y < frame.height; ++y) {
        for (std::uint32_t x = 0; x < frame.width; ++x) {
            const Rgba8 c = pixel(frame.index(x, y));
            out[0] = c[0];
            out[1] = c[1];
            out[2] = c[2];
            out[3] = c[3];
            out += 4;
        }
    }
    return rgba;
}

} // namespace

Rgba8 normalColor(float distance, float nx, float ny, float nz)
{
    if (!std::isfinite(distance))
        return {0, 0, 0, 255};
    return {unitToByte(nx * 0.5f + 0.5f), unitToByte(ny * 0.5f + 0.5f), unitToByte(nz * 0.5f + 0.5f), 255};
}

Rgba8 costColor(float cost, float scale)
{
    float t = std::min(cost / scale, 1.0f);
    if (!(t > 0.0f)) // also catches NaN, which would break the stop index
        t = 0.0f;
    const float a = 4.0f * t;
    const int i = std::min(static_cast<int>(a), 3);
    const float f = a - static_cast<float>(i);
    const CostStop& lo = kCostStops[i];
    const CostStop& hi = kCostStops[i + 1];
    return {unitToByte(lerpStop(lo.r, hi.r, f)), unitToByte(lerpStop(lo.g, hi.g, f)),
            unitToByte(lerpStop(lo.b, hi.b, f)), 255};
}

std::vector<std::uint8_t> normalsImage(const GBuffer& frame)
{
    const float* depth = frame.plane(GBuffer::Depth);
    const float* nx = frame.plane(GBuffer::NormalX);
    const float* ny = frame.plane(GBuffer::NormalY);
    const float* nz = frame.plane(GBuffer::NormalZ);
    return mapPixels(frame, [&](std::size_t i) { return normalColor(depth[i], nx[i], ny[i], nz[i]); });
}

std::vector<std::uint8_t> costImage(const GBuffer& frame, float scale)
{
    const float* cost = frame.plane(GBuffer::Cost);
    return mapPixels(frame, [&](std::size_t i) { return costColor(cost[i], scale); });
}

} // namespace qlmr
