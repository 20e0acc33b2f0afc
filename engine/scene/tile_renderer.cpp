#include "scene/tile_renderer.h"

#include <algorithm>
#include <array>
#include <chrono>
#include <cmath>
#include <limits>
#include <numeric>
#include <stdexcept>

#include "scene/packet_march.h"

namespace qlmr {

// ---- binning

void binPrisms(const std::vector<Prism>& prisms, const Camera& camera, std::uint32_t tilesX, std::uint32_t tilesY,
               std::vector<std::vector<std::uint32_t>>& bins)
{
    const Vec3 eye = camera.position;
    std::vector<float> distance(prisms.size());
    for (std::size_t i = 0; i < prisms.size(); ++i) {
        const Prism& p = prisms[i];
        const Vec3 nearest{std::min(std::max(eye.x, p.boundsMin.x), p.boundsMax.x),
                           std::min(std::max(eye.y, p.boundsMin.y), p.boundsMax.y),
                           std::min(std::max(eye.z, p.boundsMin.z), p.boundsMax.z)};
        distance[i] = length(nearest - eye);
    }
    // Stable: equal distances (the eye inside several boxes, grids of
    // prisms) keep index order, so bins and statistics do not depend on the
    // sort implementation.
    std::vector<std::uint32_t> order(prisms.size());
    std::iota(order.begin(), order.end(), 0u);
    std::stable_sort(order.begin(), order.end(),
                     [&distance](std::uint32_t a, std::uint32_t b) { return distance[a] < distance[b]; });

    bins.resize(std::size_t(tilesX) * tilesY);
    for (auto& bin : bins)
        bin.clear();
    if (bins.empty())
        return;

    const float width = float(camera.width);
    const float height = float(camera.height);
    for (const std::uint32_t index : order) {
        const std::array<Vec3, 8> corners = prismCorners(prisms[index]);
        float minX = 1e30f, minY = 1e30f, maxX = -1e30f, maxY = -1e30f;
        int behind = 0;
        for (const Vec3& corner : corners) {
            const Vec3 r = corner - camera.position;
            const float depth = dot(r, camera.forward);
            if (depth <= 0.001f) {
                ++behind;
                continue;
            }
            const float d = depth * camera.tanHalfFov;
            const float sx = width * (dot(r, camera.right) / (d * camera.aspect) * 0.5f + 0.5f);
            const float sy = (0.5f - dot(r, camera.up) / d * 0.5f) * height;
            minX = std::min(minX, sx);
            maxX = std::max(maxX, sx);
            minY = std::min(minY, sy);
            maxY = std::max(maxY, sy);
        }
        if (behind == 8)
            continue;
        std::uint32_t x0 = 0, x1 = tilesX - 1, y0 = 0, y1 = tilesY - 1;
        if (behind == 0) {
            if (maxX < 0.0f || maxY < 0.0f || minX >= width || minY >= height)
                continue;
            x0 = std::uint32_t(std::max(minX, 0.0f)) >> 4;
            x1 = std::min(tilesX - 1, std::uint32_t(std::min(maxX, width - 1.0f)) >> 4);
            y0 = std::uint32_t(std::max(minY, 0.0f)) >> 4;
            y1 = std::min(tilesY - 1, std::uint32_t(std::min(maxY, height - 1.0f)) >> 4);
        }
        for (std::uint32_t ty = y0; ty <= y1; ++ty)
            for (std::uint32_t tx = x0; tx <= x1; ++tx)
                bins[std::size_t(ty) * tilesX + tx].push_back(index);
    }
}

// ---- packets

template <int N>
RayPacketOf<N> primaryRays(const Camera& camera, simd::vfloat<N> px, simd::vfloat<N> py)
{
    using VF = simd::vfloat<N>;
    const VF half(0.5f), two(2.0f), one(1.0f);
    const VF sx = ((px + half) * two / VF(float(camera.width)) - one) * VF(camera.tanHalfFov) * VF(camera.aspect);
    const VF sy = (one - (py + half) * two / VF(float(camera.height))) * VF(camera.tanHalfFov);
    const VF dx = VF(camera.forward.x) + sx * VF(camera.right.x) + sy * VF(camera.up.x);
    const VF dy = VF(camera.forward.y) + sx * VF(camera.right.y) + sy * VF(camera.up.y);
    const VF dz = VF(camera.forward.z) + sx * VF(camera.right.z) + sy * VF(camera.up.z);
    const VF inv = one / simd::sqrt(simd::max(dx * dx + dy * dy + dz * dz, VF(1e-30f)));
    RayPacketOf<N> rays;
    rays.originX = VF(camera.position.x);
    rays.originY = VF(camera.position.y);
    rays.originZ = VF(camera.position.z);
    rays.dirX = dx * inv;
    rays.dirY = dy * inv;
    rays.dirZ = dz * inv;
    rays.tmin = VF(0.0f);
    rays.tmax = VF(1e30f);
    rays.coneRadius = VF(0.0f);
    rays.coneSpread = VF(Camera::pixelSpread(camera));
    return rays;
}

namespace {

// The march and the pixel-grid snap of a packet into out.record.
template <int N>
void marchPacket(const SceneTracer& tracer, const RayPacketOf<N>& rays, simd::vmask<N> valid,
                 std::span<const std::uint32_t> prisms, PacketResult<N>& out)
{
    tracePacket(tracer, out.record, rays, valid, prisms);
    snapHits(tracer, out.record);
}

// Shading of a marched packet and the values of its G-buffer planes.
template <int N>
void finishPacket(const SceneTracer& tracer, const SdnaInstance* solid, const RayPacketOf<N>& rays,
                  simd::vmask<N> valid, const RenderSettings& settings, PacketResult<N>& out,
                  std::span<const FieldLevelTables> tables, const std::vector<std::uint32_t>* shadowPrisms,
                  std::span<const ShadowHorizon> horizons)
{
    using VF = simd::vfloat<N>;
    HitPacketOf<N>& hits = out.record;
    LaneVec3<N> color;
    out.shadowRays = shadeHits(tracer, solid, rays, valid, hits, settings, color, tables, shadowPrisms, horizons);
    out.hit = hits.mask & valid;
    out.planes[GBuffer::Depth] = simd::select(out.hit, hits.t, VF(std::numeric_limits<float>::infinity()));
    out.planes[GBuffer::NormalX] = hits.normalX;
    out.planes[GBuffer::NormalY] = hits.normalY;
    out.planes[GBuffer::NormalZ] = hits.normalZ;
    out.planes[GBuffer::ColorR] = color.x;
    out.planes[GBuffer::ColorG] = color.y;
    out.planes[GBuffer::ColorB] = color.z;
    out.planes[GBuffer::Cost] = hits.iterations;
    out.planes[GBuffer::Level] = simd::toFloat(hits.level);
}

} // namespace

template <int N>
void renderPacket(const SceneTracer& tracer, const SdnaInstance* solid, const RayPacketOf<N>& rays,
                  simd::vmask<N> valid, std::span<const std::uint32_t> prisms, const RenderSettings& settings,
                  PacketResult<N>& out, std::span<const FieldLevelTables> tables)
{
    marchPacket(tracer, rays, valid, prisms, out);
    finishPacket(tracer, solid, rays, valid, settings, out, tables, nullptr, {});
}

// ---- frames

TileRenderer::TileRenderer(ThreadPool* threadPool, const SceneTracer* sceneTracer)
    : pool(threadPool), tracer(sceneTracer)
{
}

void TileRenderer::prepareBins(const Camera& camera, std::uint32_t tilesX, std::uint32_t tilesY)
{
    binPrisms(tracer->scene->prisms, camera, tilesX, tilesY, tileBins);
}

namespace {

// One worker's counters on a cache line of their own.
struct alignas(64) StatsSlot {
    FrameStats stats;
};

// The kernels trust the tracer's snapshot without bounds checks: one view
// per field, pointing into that field's current storage, one entry of the
// prism list per prism, and every prism's field among the views. A scene
// that gained or lost fields or prisms, was moved, or had a field replaced
// after the tracer was built would have them read past the views and the
// prism list or through freed storage, so such a frame is refused.
void checkSnapshot(const SceneTracer& tracer)
{
    const Scene& scene = *tracer.scene;
    bool same = scene.fields.size() == tracer.views.size() && scene.prisms.size() == tracer.allPrisms.size();
    for (std::size_t i = 0; same && i < scene.fields.size(); ++i) {
        const FieldView& view = tracer.views[i];
        const DisplacementField& field = scene.fields[i];
        same = view.heights == field.heights.data() && view.bounds == field.bounds.data() &&
            view.levels == field.levels && view.log2Width == field.log2Width && view.log2Height == field.log2Height;
    }
    if (!same)
        throw std::invalid_argument("scene changed after its tracer was built");
    for (const Prism& prism : scene.prisms)
        if (prism.fieldIndex >= tracer.views.size())
            throw std::out_of_range("invalid vector subscript");
    // The list is public: an entry set by hand past the prisms would have
    // the shadow rays read a prism that is not there.
    for (const std::uint32_t index : tracer.allPrisms)
        if (index >= scene.prisms.size())
            throw std::out_of_range("invalid vector subscript");
}

} // namespace

FrameStats TileRenderer::render(const Camera& camera, const RenderSettings& settings, GBuffer& frame)
{
    const auto start = std::chrono::steady_clock::now();
    checkSnapshot(*tracer);
    frame.resize(camera.width, camera.height);
    const std::uint32_t tilesX = (camera.width + kTileSize - 1) / kTileSize;
    const std::uint32_t tilesY = (camera.height + kTileSize - 1) / kTileSize;
    prepareBins(camera, tilesX, tilesY);
    const std::vector<DisplacementField>& fields = tracer->scene->fields;
    fieldTables.resize(fields.size());
    for (std::size_t i = 0; i < fields.size(); ++i)
        fieldTables[i] = fieldLevelTables(fields[i]);
    // With a single prism there is nothing to leave out.
    shadowCull = settings.shadows && tracer->allPrisms.size() > 1;
    if (shadowCull)
        shadowReach = PrismReach(*tracer, settings.sunDir, tracer->allPrisms);
    if (settings.shadows)
        refreshShadowHorizons(*tracer, settings.sunDir, *pool, shadowHorizons);

    std::vector<StatsSlot> slots(pool->workerCount() + 1);
    pool->run(tilesX * tilesY, [&](unsigned item, unsigned worker) {
        renderTile(item, tilesX, camera, settings, frame, slots[worker].stats);
    });
    fieldTables.clear();
    shadowCull = false;

    FrameStats result;
    for (const StatsSlot& slot : slots) {
        result.primary += slot.stats.primary;
        result.shadow += slot.stats.shadow;
        result.hits += slot.stats.hits;
        result.iters += slot.stats.iters;
        result.descends += slot.stats.descends;
        result.seed += slot.stats.seed;
    }
    std::size_t binned = 0;
    for (const auto& bin : tileBins)
        binned += bin.size();
    result.avgBin = tileBins.empty() ? 0.0 : double(binned) / double(tileBins.size());
    const auto end = std::chrono::steady_clock::now();
    result.ms = double(std::chrono::duration_cast<std::chrono::nanoseconds>(end - start).count()) / 1e6;
    return result;
}

namespace {

// Running bounds, lane by lane, of the shadow rays of the passes added so
// far: origin box and segment range over the lanes that cast one.
template <int N>
struct ShadowBounds {
    simd::vfloat<N> lo[3], hi[3], tmin, tmax;
    simd::vmask<N> cast, unordered; // unordered: some value was NaN

    ShadowBounds()
    {
        const float inf = std::numeric_limits<float>::infinity();
        for (int a = 0; a < 3; ++a) {
            lo[a] = simd::vfloat<N>(inf);
            hi[a] = simd::vfloat<N>(-inf);
        }
        tmin = simd::vfloat<N>(inf);
        tmax = simd::vfloat<N>(-inf);
    }

    void add(const SunRays<N>& sun)
    {
        using VF = simd::vfloat<N>;
        const float inf = std::numeric_limits<float>::infinity();
        const simd::vmask<N> lit = sun.lit;
        const VF value[5] = {sun.rays.originX, sun.rays.originY, sun.rays.originZ, sun.rays.tmin, sun.rays.tmax};
        VF* const low[5] = {&lo[0], &lo[1], &lo[2], &tmin, nullptr};
        VF* const high[5] = {&hi[0], &hi[1], &hi[2], nullptr, &tmax};
        for (int k = 0; k < 5; ++k) {
            unordered |= lit & simd::isNan(value[k]);
            if (low[k])
                *low[k] = simd::min(*low[k], simd::select(lit, value[k], VF(inf)));
            if (high[k])
                *high[k] = simd::max(*high[k], simd::select(lit, value[k], VF(-inf)));
        }
        cast |= lit;
    }

    // The bundle of every ray added, along the sun's direction; false when
    // none was cast or a value was NaN.
    bool bundle(Vec3 sunDir, RayBundle& out) const
    {
        if (simd::none(cast) || simd::any(unordered))
            return false;
        float lanes[8][N];
        for (int a = 0; a < 3; ++a) {
            lo[a].store(lanes[a]);
            hi[a].store(lanes[3 + a]);
        }
        tmin.store(lanes[6]);
        tmax.store(lanes[7]);
        // Lanes that never cast hold the infinities they started with.
        for (int a = 0; a < 3; ++a) {
            out.originLo[a] = *std::min_element(lanes[a], lanes[a] + N);
            out.originHi[a] = *std::max_element(lanes[3 + a], lanes[3 + a] + N);
        }
        out.tmin = *std::min_element(lanes[6], lanes[6] + N);
        out.tmax = *std::max_element(lanes[7], lanes[7] + N);
        out.dir = sunDir;
        return true;
    }
};

// The sum of a counter over the valid lanes. Counters are whole numbers,
// and whole numbers below 2^53 add exactly in double in any order, so the
// lanes go into four running sums the compiler can keep in one vector.
template <int N>
double validSum(simd::vfloat<N> counter, simd::vmask<N> valid)
{
    float lanes[N];
    simd::select(valid, counter, simd::vfloat<N>(0.0f)).store(lanes);
    double sums[4] = {0.0, 0.0, 0.0, 0.0};
    for (int i = 0; i < N; ++i)
        sums[i % 4] += double(lanes[i]);
    return (sums[0] + sums[1]) + (sums[2] + sums[3]);
}

} // namespace

void TileRenderer::renderTile(std::uint32_t tile, std::uint32_t tilesX, const Camera& camera,
                              const RenderSettings& settings, GBuffer& frame, FrameStats& slot) const
{
    constexpr int L = simd::kLanes;
    constexpr int G = kPacketsPerPass;
    constexpr int N = kPassLanes;
    constexpr std::uint32_t passWidth = kPacketWidth * G;
    static_assert(kTileSize % passWidth == 0, "a pass of packets never crosses a tile");
    using VF = simd::vfloat<N>;
    using VI = simd::vint<N>;
    // Called from outside a frame, a tile may have no bin (no binning yet,
    // or one of fewer tiles) and the frame no planes for its size (never
    // rendered, or its size set by hand): there is then nothing to trace
    // against or nowhere to store, and the tile is left alone.
    if (tilesX == 0 || tile >= tileBins.size() || !frame.holdsItsSize())
        return;
    const std::uint32_t x0 = (tile % tilesX) * kTileSize;
    const std::uint32_t y0 = (tile / tilesX) * kTileSize;
    const std::span<const std::uint32_t> bin(tileBins[tile]);
    // Empty outside a frame: the packets then build the tables themselves.
    const std::span<const FieldLevelTables> tables(fieldTables);

    // Lane l of a pass: packet l / L of the pass, lane l % L of that packet.
    const VI lane = VI::laneIndex();
    const VI inPacket = lane & VI(L - 1);
    const VI packet = simd::shiftRightLogical(lane, L == 8 ? 3 : 2);
    const VF laneX = simd::toFloat((inPacket & VI(int(kPacketWidth) - 1)) + packet * VI(int(kPacketWidth)));
    const VF laneY = simd::toFloat(inPacket >> (kPacketWidth == 4 ? 2 : 1));
    const VF width(float(frame.width)), height(float(frame.height));
    const std::uint32_t rowEnd = frame.packetsPerRow * kPacketWidth;

    // The tile goes in bands of kBandRows packet rows: every pass of a band
    // is marched, then shaded. Shadow rays are traced only against the
    // prisms that some shadow ray of the band can enter, found once for the
    // band. With a solid object the shading replaces hits, and with them
    // shadow origins, after this test; then every prism is kept.
    constexpr std::uint32_t kBandRows = 2;
    constexpr std::uint32_t passesPerRow = kTileSize / passWidth;
    struct Pass {
        RayPacketOf<N> rays;
        simd::vmask<N> valid;
        PacketResult<N> result;
    };
    std::array<Pass, passesPerRow * kBandRows> passes;
    const bool cull = shadowCull && solid == nullptr && settings.shadows;
    std::vector<std::uint32_t> shadowPrisms;
    const std::uint32_t xEnd = std::min(x0 + kTileSize, frame.width);
    const std::uint32_t yEnd = std::min(y0 + kTileSize, frame.height);

    for (std::uint32_t band = y0; band < yEnd; band += kPacketHeight * kBandRows) {
        const std::uint32_t bandEnd = std::min(band + kPacketHeight * kBandRows, yEnd);
        ShadowBounds<N> bounds;
        Pass* pass = passes.data();
        for (std::uint32_t y = band; y < bandEnd; y += kPacketHeight) {
            for (std::uint32_t x = x0; x < xEnd; x += passWidth, ++pass) {
                const VF px = VF(float(x)) + laneX;
                const VF py = VF(float(y)) + laneY;
                pass->valid = (px < width) & (py < height);
                pass->rays = primaryRays<N>(camera, px, py);
                marchPacket<N>(*tracer, pass->rays, pass->valid, bin, pass->result);
                if (cull)
                    bounds.add(sunRays(pass->result.record, pass->rays, pass->valid, settings));
            }
        }
        RayBundle bundle;
        const bool culled = cull && bounds.bundle(settings.sunDir, bundle);
        if (culled)
            shadowReach.inReach(bundle, shadowPrisms);

        pass = passes.data();
        for (std::uint32_t y = band; y < bandEnd; y += kPacketHeight) {
            for (std::uint32_t x = x0; x < xEnd; x += passWidth, ++pass) {
                const RayPacketOf<N>& rays = pass->rays;
                const simd::vmask<N> valid = pass->valid;
                PacketResult<N>& result = pass->result;
                finishPacket<N>(*tracer, solid, rays, valid, settings, result, tables,
                                culled ? &shadowPrisms : nullptr,
                                settings.shadows ? std::span<const ShadowHorizon>(shadowHorizons)
                                                 : std::span<const ShadowHorizon>());

                // The frame is read only after the pool is done: bypass the
                // cache instead of reading every plane line in before
                // overwriting it. The pass's packets are consecutive blocks
                // of a packet row; at the right edge only those inside the
                // row are stored.
                const std::size_t block = frame.packetIndex(x, y);
                if (x + passWidth <= rowEnd) {
                    for (unsigned p = 0; p < GBuffer::kPlaneCount; ++p)
                        result.planes[p].stream(frame.plane(p) + block);
                } else {
                    alignas(64) float lanes[N];
                    for (unsigned p = 0; p < GBuffer::kPlaneCount; ++p) {
                        result.planes[p].store(lanes);
                        for (int k = 0; k < G && x + kPacketWidth * unsigned(k) < rowEnd; ++k)
                            simd::vfloat<L>::load(lanes + k * L).stream(frame.plane(p) + block + std::size_t(k) * L);
                    }
                }

                slot.primary += unsigned(simd::count(valid));
                slot.hits += unsigned(simd::count(result.hit));
                slot.shadow += unsigned(result.shadowRays);
                slot.iters += validSum(result.record.iterations, valid);
                slot.descends += validSum(result.record.descends, valid);
                slot.seed += validSum(result.record.seedSteps, valid);
            }
        }
    }
    simd::streamFence();
}

// ---- the widths the library carries

#define QLMR_RENDER_INSTANTIATE(N)                                                                                    \
    template RayPacketOf<N> primaryRays<N>(const Camera&, simd::vfloat<N>, simd::vfloat<N>);                          \
    template void renderPacket<N>(const SceneTracer&, const SdnaInstance*, const RayPacketOf<N>&, simd::vmask<N>,     \
                                  std::span<const std::uint32_t>, const RenderSettings&, PacketResult<N>&,      \
                                  std::span<const FieldLevelTables>);

QLMR_RENDER_INSTANTIATE(1)
#if QLMR_LANES != 1
QLMR_RENDER_INSTANTIATE(QLMR_LANES)
#endif
#if QLMR_PASS_PACKETS > 1
QLMR_RENDER_INSTANTIATE(QLMR_LANES * QLMR_PASS_PACKETS)
#endif

#undef QLMR_RENDER_INSTANTIATE

} // namespace qlmr
