#include "engine_view.h"

#include <limits>


namespace qlmr::bench {

EngineView renderEngineView(TileRenderer& renderer, const Camera& camera, const RenderSettings& settings,
                            GBuffer& frame, int frames)
{
    EngineView view;
    for (int i = 0; i < frames; ++i) {
        FrameStats stats;
        view.figures.best.add(timeFrame([&] { stats = renderer.render(camera, settings, frame); }));
        if (i == 0 || stats.ms < view.stats.ms)
            view.stats = stats;
    }
    view.figures.primary = view.stats.primary;
    view.figures.shadow = view.stats.shadow;
    view.figures.hits = view.stats.hits;

    // The renderer casts a shadow ray from every hit whose march normal (the
    // normal planes) faces the sun; the same test on the stored planes finds
    // those pixels again.
    const Vec3 sun = settings.sunDir;
    view.depth.resize(std::size_t(frame.width) * frame.height);
    view.castsShadow.resize(view.depth.size());
    for (std::uint32_t y = 0; y < frame.height; ++y) {
        for (std::uint32_t x = 0; x < frame.width; ++x) {
            const float t = frame.at(GBuffer::Depth, x, y);
            const bool hit = t < 1e29f;
            const Vec3 normal{frame.at(GBuffer::NormalX, x, y), frame.at(GBuffer::NormalY, x, y),
                              frame.at(GBuffer::NormalZ, x, y)};
            const std::size_t pixel = std::size_t(y) * frame.width + x;
            view.depth[pixel] = hit ? t : std::numeric_limits<float>::infinity();
            view.castsShadow[pixel] = hit && settings.shadows && dot(normal, sun) > 0.0f;
        }
    }
    return view;
}

} // namespace qlmr::bench
