#pragma once

#include <cmath>

namespace qlmr {

// |test - reference| / reference for a pixel both sides hit. Equal depths
// agree exactly and give 0, also where both hit at the camera (depth 0,
// when the eye sits inside a surface), which the plain quotient would turn
// into NaN and so into a failed verdict for frames that agree.
inline double relativeDepthError(double test, double reference)
{
    return test == reference ? 0.0 : std::fabs(test - reference) / reference;
}

} // namespace qlmr
