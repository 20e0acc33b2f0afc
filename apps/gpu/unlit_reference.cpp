#include "unlit_reference.h"

#include "scene/packet_march.h"
#include "scene/surface_shading.h"
#include "scene/tile_renderer.h"

#include <span>

namespace qlmr {

void paintUnlitColor(ThreadPool& pool, const SceneTracer& tracer, const Camera& camera,
                      const RenderSettings& settings, const std::vector<std::vector<std::uint32_t>>& bins,
                      GBuffer& frame)
{
    using VF = simd::vfloat<1>;
    const std::uint32_t tilesX = (camera.width + kTileSize - 1) / kTileSize;
    // One pool item per row, one lane per pixel: lanes are independent, so a
    // pixel marched alone finds the hit the packet found.
    pool.run(camera.height, [&](unsigned y, unsigned) {
        for (std::uint32_t x = 0; x < camera.width; ++x) {
            const std::size_t tile = std::size_t(y / kTileSize) * tilesX + x / kTileSize;
            const std::span<const std::uint32_t> prisms =
                tile < bins.size() ? std::span<const std::uint32_t>(bins[tile]) : std::span<const std::uint32_t>();
            const RayPacketOf<1> rays = primaryRays<1>(camera, VF(float(x)), VF(float(y)));
            HitPacketOf<1> hit;
            tracePacket<1>(tracer, hit, rays, simd::vmask<1>(true), prisms);
            snapHits<1>(tracer, hit);
            if (!simd::any(hit.mask))
                continue;
            SurfacePacketOf<1> surface;
            fetchSurface<1>(tracer, surface, hit, rays);
            const float t = fogTransmittance<1>(rays.originY, hit.t, rays.dirY, settings).v;
            const float fogged = 1.0f - t;
            const std::size_t i = frame.index(x, y);
            frame.plane(GBuffer::ColorR)[i] = surface.albedoR.v * t + settings.skyHorizon.x * fogged;
            frame.plane(GBuffer::ColorG)[i] = surface.albedoG.v * t + settings.skyHorizon.y * fogged;
            frame.plane(GBuffer::ColorB)[i] = surface.albedoB.v * t + settings.skyHorizon.z * fogged;
        }
    });
}

} // namespace qlmr
