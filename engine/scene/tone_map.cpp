#include "scene/tone_map.h"

#include <algorithm>
#include <cmath>

namespace qlmr {

std::uint8_t toneMap8(float linear)
{
    const float x = std::max(linear, 0.0f) * 0.8f;
    // Huge values would overflow the fit to inf / inf; NaN has no colour.
    if (!(x < 1e18f))
        return std::isnan(x) ? 0 : 255;
    float y = ((x * 2.51f + 0.03f) * x) / ((x * 2.43f + 0.59f) * x + 0.14f);
    y = std::clamp(y, 0.0f, 1.0f);
    y = std::pow(y, 0.45454544f);
    return static_cast<std::uint8_t>(std::lroundf(y * 255.0f));
}

} // namespace qlmr
