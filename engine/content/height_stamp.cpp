#include "content/height_stamp.h"

#include <algorithm>
#include <cmath>

namespace qlmr {

namespace {

// Span [lo, hi) of samples within r of centre on one axis, clipped on a
// clamping field and never longer than the axis.
struct Span {
    std::int64_t lo;
    std::int64_t hi;
};

// A span end as a whole sample index. Ends far beyond any field stop at
// +-2^53, where the conversion is still exact and which every field side
// divides, so a disc larger than the field still covers all of it; a NaN
// end (a NaN centre or radius) gives an empty span.
std::int64_t spanEnd(double end)
{
    constexpr double kFar = 9007199254740992.0; // 2^53
    return end != end ? 0 : static_cast<std::int64_t>(std::clamp(end, -kFar, kFar));
}

// The ends are rounded from the float sums centre - r and centre + r, as
// every other quantity of the stamp is a float: a disc whose rim lies within
// a float step of a sample still reaches that sample (with weight 0). Only
// the conversion and the + 1 are done in double, where they are exact.
Span stampSpan(float centre, float r, std::int64_t size, bool clip)
{
    Span span{spanEnd(std::ceil(centre - r)), spanEnd(double(std::floor(centre + r)) + 1.0)};
    if (clip) {
        span.lo = std::max<std::int64_t>(span.lo, 0);
        span.hi = std::min<std::int64_t>(span.hi, size);
    }
    span.hi = std::min(span.hi, span.lo + size);
    return span;
}

// The rectangle edge pair to rebuild: the span, or the whole axis when the
// span leaves the field (it wrapped round).
void dirtyAxis(const Span& span, std::int64_t size, std::uint32_t& lo, std::uint32_t& hi)
{
    if (span.lo < 0 || span.hi > size) {
        lo = 0;
        hi = static_cast<std::uint32_t>(size);
    } else {
        lo = static_cast<std::uint32_t>(span.lo);
        hi = static_cast<std::uint32_t>(span.hi);
    }
}

float stampedHeight(float h, float w, const StampParams& params)
{
    switch (params.mode) {
    case 0:
        return h - w * params.strength;
    case 1:
        return h + w * params.strength;
    case 2:
        // Only ever downwards: samples below the target stay.
        return std::min(params.target + (1.0f - w * params.strength) * (h - params.target), h);
    default:
        return h;
    }
}

} // namespace

FieldUpdate stampHeight(DisplacementField& field, const StampParams& params)
{
    const std::int64_t width = field.width;
    const std::int64_t height = field.height;
    const float cx = static_cast<float>(field.width) * params.u;
    const float cy = static_cast<float>(field.height) * params.v;
    const float r = std::max(params.radius, 0.001f);

    const Span xs = stampSpan(cx, r, width, field.clampEdges);
    const Span ys = stampSpan(cy, r, height, field.clampEdges);
    if (xs.lo >= xs.hi || ys.lo >= ys.hi) {
        return FieldUpdate{};
    }

    const std::span<std::uint16_t> base = field.baseHeights();
    const std::uint32_t maskX = field.width - 1;
    const std::uint32_t maskY = field.height - 1;
    const float rr = r * r;
    for (std::int64_t y = ys.lo; y < ys.hi; ++y) {
        const float dy = static_cast<float>(y) - cy;
        const std::size_t row = static_cast<std::size_t>(static_cast<std::uint32_t>(y) & maskY) * field.width;
        for (std::int64_t x = xs.lo; x < xs.hi; ++x) {
            const float dx = static_cast<float>(x) - cx;
            const float q = (dx * dx + dy * dy) / rr;
            const float w = q < 1.0f ? (1.0f - q) * (1.0f - q) : 0.0f;
            std::uint16_t& sample = base[row + (static_cast<std::uint32_t>(x) & maskX)];
            const float stamped = stampedHeight(static_cast<float>(sample) / 65535.0f, w, params);
            // A NaN strength or target gives no height to store: the sample stays.
            if (stamped != stamped) {
                continue;
            }
            const float h = std::min(std::max(stamped, 0.0f), 1.0f);
            sample = static_cast<std::uint16_t>(std::lround(65535.0f * h));
        }
    }

    FieldRect dirty;
    dirtyAxis(xs, width, dirty.x0, dirty.x1);
    dirtyAxis(ys, height, dirty.y0, dirty.y1);
    return field.updateRect(dirty);
}

} // namespace qlmr
