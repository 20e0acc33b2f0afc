#pragma once

#include <cstdint>

namespace qlmr {

// The engine's display curve for one linear colour channel: exposure 0.8,
// the ACES filmic fit, clamp to [0, 1], gamma 1/2.2, rounded to a byte
// (halves away from zero). Negative values map to 0, large ones saturate.
std::uint8_t toneMap8(float linear);

} // namespace qlmr
