#pragma once

// The CPU reference renderer: one camera view into a G-buffer, in tiles of
// 16 x 16 pixels spread over the thread pool, each tile marching its own bin
// of prisms (nearest box first) in packets of kPacketLanes rays, taken
// kPacketsPerPass neighbouring packets at a time.

#include <cstdint>
#include <span>
#include <vector>

#include "scene/camera.h"
#include "scene/gbuffer.h"
#include "scene/packet_march.h"
#include "scene/packets.h"
#include "scene/scene.h"
#include "scene/scene_tracer.h"
#include "scene/settings.h"
#include "scene/surface_shading.h"
#include "scene/thread_pool.h"
#include "sdna/program.h"

namespace qlmr {

inline constexpr std::uint32_t kTileSize = 16;

// Counters of one frame. The per-worker accumulators have the same layout;
// their `ms` stays 0.
struct FrameStats {
    double ms = 0.0;            // wall time of TileRenderer::render
    std::uint64_t primary = 0;  // primary rays (pixels inside the image)
    std::uint64_t shadow = 0;   // shadow rays cast
    std::uint64_t hits = 0;     // primary rays that hit a field or the solid object
    double iters = 0.0;         // march iterations (plus solid trace steps) of the primary rays
    double descends = 0.0;
    double seed = 0.0;          // seed-pass steps
    double avgBin = 0.0;        // mean prism indices per tile bin
};

// Sorts prisms by the distance from the eye to their world box (stable, so
// equal distances keep index order) and appends each prism to the bins of
// the tiles its projected box touches. A prism wholly behind the eye or
// beside the image lands in no bin; one crossing the near plane in every bin.
void binPrisms(const std::vector<Prism>& prisms, const Camera& camera, std::uint32_t tilesX, std::uint32_t tilesY,
               std::vector<std::vector<std::uint32_t>>& bins);

// Primary rays of the lanes at pixels (px, py) (as floats).
template <int N>
RayPacketOf<N> primaryRays(const Camera& camera, simd::vfloat<N> px, simd::vfloat<N> py);

// Everything a packet stores, one lane per pixel, plus its counters.
template <int N>
struct PacketResult {
    simd::vfloat<N> planes[GBuffer::kPlaneCount];
    simd::vmask<N> hit;   // valid lanes with a hit
    int shadowRays = 0;
    HitPacketOf<N> record; // the march record after the solid object
};

// Traces and shades one packet of primary rays against a prism list.
// `tables`: the level tables of every scene field, or empty to build them
// per packet.
template <int N>
void renderPacket(const SceneTracer& tracer, const SdnaInstance* solid, const RayPacketOf<N>& rays,
                  simd::vmask<N> valid, std::span<const std::uint32_t> prisms, const RenderSettings& settings,
                  PacketResult<N>& out, std::span<const FieldLevelTables> tables = {});

class TileRenderer {
public:
    TileRenderer(ThreadPool* pool, const SceneTracer* tracer);

    // Renders one frame into `frame` (resized to the camera when needed).
    // Throws std::invalid_argument "scene changed after its tracer was
    // built" when the scene's fields or prisms are no longer the tracer's
    // snapshot (see SceneTracer), and std::out_of_range "invalid vector
    // subscript" for a prism whose field does not exist or an entry of the
    // tracer's prism list past the scene's prisms.
    FrameStats render(const Camera& camera, const RenderSettings& settings, GBuffer& frame);

    // Bins the scene's prisms for a camera without rendering.
    void prepareBins(const Camera& camera, std::uint32_t tilesX, std::uint32_t tilesY);

    // One tile; called by render's pool job. A tile without a bin of the
    // last binning, or a frame whose planes do not hold its size, renders
    // and counts nothing.
    void renderTile(std::uint32_t tile, std::uint32_t tilesX, const Camera& camera, const RenderSettings& settings,
                    GBuffer& frame, FrameStats& slot) const;

    const std::vector<std::vector<std::uint32_t>>& bins() const { return tileBins; }

    ThreadPool* pool = nullptr;
    const SceneTracer* tracer = nullptr;
    // Optional placed shape program traced beside the fields; owned by the
    // caller and read-only while a frame renders.
    const SdnaInstance* solid = nullptr;

private:
    std::vector<std::vector<std::uint32_t>> tileBins;
    // Level tables of every scene field while a frame renders (empty otherwise).
    std::vector<FieldLevelTables> fieldTables;
    // While a frame renders with shadows: the scene's prisms packed for the
    // test that drops those a packet's shadow rays cannot enter.
    PrismReach shadowReach;
    bool shadowCull = false;
    // Every prism's shadow horizon for the sun's direction of the last frame
    // with shadows; each frame with shadows brings them up to date.
    std::vector<ShadowHorizon> shadowHorizons;
};

// The solid-object steps of a packet as the renderer runs them, with the
// reflection colour in three lane vectors: the renderer's solid object when
// it has one; without one the hits stay as they are and nothing reflects.
template <int N>
inline void traceSolid(const TileRenderer& renderer, const RayPacketOf<N>& rays, simd::vmask<N> valid,
                       HitPacketOf<N>& hits, SurfacePacketOf<N>& surface, const RenderSettings& settings,
                       simd::vfloat<N>& reflectionR, simd::vfloat<N>& reflectionG, simd::vfloat<N>& reflectionB,
                       simd::vmask<N>& reflectionMask)
{
    LaneVec3<N> reflection{simd::vfloat<N>(0.0f), simd::vfloat<N>(0.0f), simd::vfloat<N>(0.0f)};
    reflectionMask = simd::vmask<N>(false);
    if (renderer.solid != nullptr)
        traceSolid(*renderer.solid, rays, valid, hits, surface, settings, reflection, reflectionMask);
    reflectionR = reflection.x;
    reflectionG = reflection.y;
    reflectionB = reflection.z;
}

// The visibility with lanes the renderer's solid object blocks set to 0;
// unchanged without a solid object.
template <int N>
inline simd::vfloat<N> traceSolidShadow(const TileRenderer& renderer, const RayPacketOf<N>& shadowRays,
                                        simd::vmask<N> lanes, Vec3 sunDir, simd::vfloat<N> visibility)
{
    if (renderer.solid == nullptr)
        return visibility;
    return traceSolidShadow(*renderer.solid, shadowRays, lanes, sunDir, visibility);
}

} // namespace qlmr
