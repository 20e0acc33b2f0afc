#include "scene/color_image.h"

#include "scene/tone_map.h"

namespace qlmr {

namespace {

// Whether every pixel's slot lies inside the three colour planes. The size
// fields are public, so a buffer may claim a size its planes were never
// allocated for; the last pixel has the highest slot in every plane.
bool colourPlanesHoldTheFrame(const GBuffer& frame)
{
    if (frame.width == 0 || frame.height == 0)
        return true;
    const std::size_t last = frame.index(frame.width - 1, frame.height - 1);
    for (unsigned p : {GBuffer::ColorR, GBuffer::ColorG, GBuffer::ColorB})
        if (frame.plane(p) == nullptr || last >= frame.planes[p].size())
            return false;
    return true;
}

} // namespace

std::vector<std::uint8_t> colorImage(const GBuffer& frame)
{
    if (!colourPlanesHoldTheFrame(frame))
        return {};
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
