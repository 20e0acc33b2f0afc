#include "stamp_run.h"

#include "content/height_stamp.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <random>

namespace qlmr {

namespace {

std::uint64_t area(const FieldRect& r)
{
    return r.empty() ? 0 : static_cast<std::uint64_t>(r.x1 - r.x0) * (r.y1 - r.y0);
}

// The albedo texels a stamp covers: from max(size x centre - r', 0) to
// min(floor(size x centre + r') + 1, size) on each axis.
void albedoRange(std::uint32_t size, float centre, float radius, std::uint32_t& lo, std::uint32_t& hi)
{
    const float c = static_cast<float>(size) * centre;
    lo = static_cast<std::uint32_t>(std::max(c - radius, 0.0f));
    hi = static_cast<std::uint32_t>(std::min(std::floor(c + radius) + 1.0f, static_cast<float>(size)));
}

} // namespace

int runStamps(Scene& scene, GpuRenderer& renderer, int count, std::FILE* out)
{
    DisplacementField& field = scene.fields[0];
    std::mt19937 generator(11u);
    std::uint64_t uploaded = 0;
    int failures = 0;
    for (int i = 0; i < count; ++i) {
        StampParams stamp;
        stamp.u = static_cast<float>(generator() % 1000) * 0.6f / 1000.0f + 0.2f;
        stamp.v = static_cast<float>(generator() % 1000) * 0.6f / 1000.0f + 0.2f;
        stamp.radius = static_cast<float>(generator() % 40 + 8);
        stamp.strength = static_cast<float>(generator() % 100) * 0.1f / 100.0f + 0.05f;
        stamp.mode = static_cast<std::uint8_t>(i % 2);
        const FieldUpdate update = stampHeight(field, stamp);
        for (std::uint32_t level = 0; level < update.levels; ++level) {
            uploaded += area(update.heightRects[level]) * 2;
            if (level > 0)
                uploaded += area(update.boundsRects[level]) * 4;
        }

        if (field.albedoLevels() > 0 && field.albedoWidth > 0) {
            const std::uint32_t aw = field.albedoWidth;
            const std::uint32_t ah = field.albedoHeight;
            FieldRect rect;
            albedoRange(aw, stamp.u, static_cast<float>(aw) * stamp.radius / static_cast<float>(field.width), rect.x0,
                        rect.x1);
            albedoRange(ah, stamp.v, static_cast<float>(ah) * stamp.radius / static_cast<float>(field.height),
                        rect.y0, rect.y1);
            std::uint32_t* texels = field.albedoLevel(0);
            for (std::uint32_t y = rect.y0; y < rect.y1; ++y) {
                for (std::uint32_t x = rect.x0; x < rect.x1; ++x) {
                    std::uint32_t& t = texels[static_cast<std::size_t>(y) * aw + x];
                    const std::uint32_t r = (t & 0xFFu) / 3;
                    const std::uint32_t g = ((t >> 8) & 0xFFu) / 3;
                    const std::uint32_t b = ((t >> 16) & 0xFFu) / 3;
                    t = (t & 0xFF000000u) | (b << 16) | (g << 8) | r;
                }
            }
            if (!renderer.updateAlbedo(0, field.updateAlbedoRect(rect))) {
                std::fprintf(out, "  updateAlbedo failed\n");
                ++failures;
            }
        }
        if (!renderer.updateField(0, update)) {
            std::fprintf(out, "  updateField failed\n");
            ++failures;
        }
    }
    std::fprintf(out, "  %d stamps on field 0 (%ux%u): %.2f MB uploaded, field %.2f MB\n", count, field.width,
                 field.height, static_cast<double>(uploaded) / 1048576.0,
                 static_cast<double>(field.heightBytes() + field.boundsBytes()) / 1048576.0);
    return failures;
}

} // namespace qlmr
