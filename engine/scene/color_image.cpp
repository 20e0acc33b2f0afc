#include "scene/color_image.h"

#include "scene/tone_map.h"

namespace qlmr {

std::vector<std::uint8_t> colorImage(const GBuffer& frame)
{
    std::vector<std::uint8_t> rgba(std::size_t(frame.width) * frame.height * 4);
    const float* r = frame.plane(GBuffer::ColorR);
    const float* g = frame.plane(GBuffer::ColorG);
    const float* b = frame.plane(GBuffer::ColorB);
    std::uint8_t* out = rgba.data();
    for (std::uint32_t y = 0; y < frame.height; ++y) {
        for (std::uint32_t x = 0; x < frame.width; ++x) {
            const std::size_t i = frame.index(x, y);
            out[0] = toneMap8(r[i]);
            out[1] = toneMap8(g[i]);
            out[2] = toneMap8(b[i]);
            out[3] = 255;
            out += 4;
        }
    }
    return rgba;
}

} // namespace qlmr
