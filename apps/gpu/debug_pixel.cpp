#include "debug_pixel.h"

#include "common/format_text.h"
#include "scene/surface_shading.h"
#include "scene/tile_renderer.h"
#include "scene/tone_map.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <span>

namespace qlmr {

std::string cpuDebugPixelLine(const std::string& view, const SceneTracer& tracer, const SdnaInstance* solid,
                              const Camera& camera, const RenderSettings& settings,
                              const std::vector<std::vector<std::uint32_t>>& bins, const GBuffer& frame, int x,
                              int y)
{
    // A pixel outside the reference frame has nothing to diagnose.
    if (x < 0 || y < 0 || static_cast<std::uint32_t>(x) >= frame.width || static_cast<std::uint32_t>(y) >= frame.height)
        return {};
    using VF = simd::vfloat<1>;
    const RayPacketOf<1> rays = primaryRays<1>(camera, VF(static_cast<float>(x)), VF(static_cast<float>(y)));
    const std::uint32_t tilesX = (camera.width + kTileSize - 1) / kTileSize;
    const std::size_t tile = static_cast<std::size_t>(y / kTileSize) * tilesX + static_cast<std::size_t>(x) / kTileSize;
    const std::span<const std::uint32_t> prisms =
        tile < bins.size() ? std::span<const std::uint32_t>(bins[tile]) : std::span<const std::uint32_t>();

    PacketResult<1> result;
    renderPacket<1>(tracer, solid, rays, simd::vmask<1>(true), prisms, settings, result);
    const HitPacketOf<1>& hit = result.record;
    SurfacePacketOf<1> surface;
    fetchSurface<1>(tracer, surface, hit, rays);

    Vec3 n{hit.normalX.v, hit.normalY.v, hit.normalZ.v};
    if (settings.normalRefine > 0.0f) {
        const LaneVec3<1> refined = refineNormals<1>(tracer, hit, hit.mask, settings.normalRefine);
        n = {refined.x.v, refined.y.v, refined.z.v};
    }
    const float ndl = std::max(0.0f, dot(n, settings.sunDir));

    const int prism = hit.prism.v;
    std::uint32_t field = 0;
    float lod = -1.0f;
    if (prism >= 0) {
        const Prism& p = tracer.scene->prisms[static_cast<std::size_t>(prism)];
        field = p.fieldIndex;
        const Vec3 d{rays.dirX.v, rays.dirY.v, rays.dirZ.v};
        const float dirLength = std::sqrt(std::max(dot(d, d), 1e-30f));
        const float cosine = std::fabs(dot(Vec3{hit.normalX.v, hit.normalY.v, hit.normalZ.v}, d) / dirLength);
        const float footprint = rays.coneSpread.v * hit.t.v + rays.coneRadius.v;
        lod = std::log2(std::max((footprint / std::max(cosine, 0.2f)) / p.albedoTexelSize, 1e-6f));
    }
    const std::string line =
        formatText("  [%-6s] px (%d,%d) CPU: t=%.5f uv=(%.5f,%.5f,%.5f) n=(%.4f,%.4f,%.4f) albedo=(%.4f,%.4f,%.4f) "
                   "cavity=%.4f ndl=%.4f prism=%d field=%u lod=%.3f color=(%d,%d,%d)\n",
                   view.c_str(), x, y, hit.t.v, hit.u.v, hit.v.v, hit.h.v, n.x, n.y, n.z, surface.albedoR.v,
                   surface.albedoG.v, surface.albedoB.v, surface.cavity.v, ndl, prism, field, lod,
                   toneMap8(frame.at(GBuffer::ColorR, x, y)), toneMap8(frame.at(GBuffer::ColorG, x, y)),
                   toneMap8(frame.at(GBuffer::ColorB, x, y)));
    return line;
}

std::string gpuDebugPixelLine(const std::string& view, GpuRenderer& renderer, const Camera& camera,
                              const RenderSettings& settings, const GpuViewData& data, float lodBias,
                              bool modeSwitch, const GpuFrame& kept, int x, int y)
{
    // A pixel outside the kept frame, or one its planes do not hold, has
    // nothing to diagnose; a debug view that failed or does not hold the
    // pixel gives -1 for its values.
    auto holds = [&](const GpuFrame& f, std::size_t pixel) {
        return f.width == kept.width && f.height == kept.height && f.color.size() / 4 > pixel &&
               f.depth.size() > pixel && f.normal.size() / 4 > pixel;
    };
    if (x < 0 || y < 0 || static_cast<std::uint32_t>(x) >= kept.width || static_cast<std::uint32_t>(y) >= kept.height)
        return {};
    const std::size_t pixel = static_cast<std::size_t>(y) * kept.width + static_cast<std::size_t>(x);
    if (!holds(kept, pixel))
        return {};
    float values[15][3] = {};
    for (const std::uint32_t mode : {8u, 10u, 11u, 12u, 13u, 14u}) {
        RenderSettings debug = settings;
        debug.debugView = mode;
        const GpuFrame frame = renderer.render(camera, debug, data, 1.0f, lodBias, modeSwitch, true);
        for (int c = 0; c < 3; ++c)
            values[mode][c] = frame.ok && holds(frame, pixel) ? frame.color[pixel * 4 + static_cast<std::size_t>(c)]
                                                              : -1.0f;
    }
    const std::string line =
        formatText("  [%-6s] px (%d,%d) GPU: t=%.5f n=(%.4f,%.4f,%.4f) albedo=(%.4f,%.4f,%.4f) "
                   "albedo0=(%.4f,%.4f,%.4f) uv=(%.5f,%.5f) prism=%.0f level=%.0f slot=%.0f layer=%.0f levels=%.0f "
                   "lod=%.3f color=(%d,%d,%d)\n",
                   view.c_str(), x, y, kept.depth[pixel], kept.normal[pixel * 4], kept.normal[pixel * 4 + 1],
                   kept.normal[pixel * 4 + 2], values[8][0], values[8][1], values[8][2], values[10][0], values[10][1],
                   values[10][2], values[11][0], values[11][1], values[12][0], values[12][1], values[13][0],
                   values[13][1], values[13][2], values[14][0], toneMap8(kept.color[pixel * 4]),
                   toneMap8(kept.color[pixel * 4 + 1]), toneMap8(kept.color[pixel * 4 + 2]));
    return line;
}

} // namespace qlmr
