#pragma once

// The triangle baseline: the same terrain heights as an Embree 3 triangle
// mesh (two triangles per level-0 cell, placed by the same prism), traced
// with 8-wide packets on the tile renderer's thread pool, with the
// renderer's cameras and shadow rule. Embree serves only as a yardstick
// here; the engine does not use it.

#include <atomic>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include <embree3/rtcore.h>

#include "frame_timing.h"
#include "scene/camera.h"
#include "scene/scene.h"
#include "scene/thread_pool.h"

namespace qlmr::bench {

struct EmbreeView {
    ViewFigures figures;
    std::uint64_t blocked = 0; // shadow rays that something blocked
    // Per pixel, row by row: the hit distance, +infinity on a miss.
    std::vector<float> depth;
};

class EmbreeTerrain {
public:
    // Builds the mesh of the prism's field and Embree's BVH over it (on
    // Embree's own threads). Throws std::runtime_error when Embree fails.
    EmbreeTerrain(const Scene& scene, std::uint32_t prismIndex, ThreadPool& pool);
    EmbreeTerrain(const EmbreeTerrain&) = delete;
    EmbreeTerrain& operator=(const EmbreeTerrain&) = delete;

    // Traces every pixel's primary ray, then a shadow ray towards `sunDir`
    // from each hit whose pixel is set in `castsShadow` (row by row), over
    // `frames` frames; tiles of 16 x 16 pixels go to the pool as in the
    // tile renderer.
    EmbreeView traceView(ThreadPool& pool, const Camera& camera, Vec3 sunDir,
                         std::span<const std::uint8_t> castsShadow, int frames) const;

    std::uint64_t triangles() const { return indices.size() / 3; }
    // The vertex and index buffers (held here and shared with Embree).
    std::uint64_t geometryBytes() const;
    // What Embree itself holds once the scene is built (BVH and its own
    // records), and the most it held while building.
    std::int64_t embreeBytes() const { return memory->current.load(); }
    std::int64_t embreePeakBytes() const { return memory->peak.load(); }
    double buildSeconds() const { return buildTime; }
    std::string version() const;

private:
    // Counts the bytes Embree allocates; Embree calls it from any thread.
    struct MemoryCount {
        std::atomic<std::int64_t> current{0};
        std::atomic<std::int64_t> peak{0};
    };
    static bool countMemory(void* count, ssize_t bytes, bool post);

    // One worker's counters on a cache line of their own.
    struct alignas(64) TraceCounts {
        std::uint64_t primary = 0;
        std::uint64_t shadow = 0;
        std::uint64_t hits = 0;
        std::uint64_t blocked = 0;
    };
    void traceTile(std::uint32_t tile, const Camera& camera, Vec3 sunDir, std::span<const std::uint8_t> castsShadow,
                   std::vector<float>& depth, TraceCounts& counts) const;

    struct ReleaseDevice {
        void operator()(RTCDevice device) const { rtcReleaseDevice(device); }
    };
    struct ReleaseScene {
        void operator()(RTCScene scene) const { rtcReleaseScene(scene); }
    };

    // Declared in the order they must outlive each other: Embree reports
    // frees to the memory count, and the scene reads the shared buffers.
    std::unique_ptr<MemoryCount> memory = std::make_unique<MemoryCount>();
    std::vector<float> vertices;        // x, y, z per vertex, plus padding Embree may read past the last one
    std::vector<std::uint32_t> indices; // three per triangle
    std::unique_ptr<RTCDeviceTy, ReleaseDevice> device;
    std::unique_ptr<RTCSceneTy, ReleaseScene> scene;
    double buildTime = 0.0;
};

} // namespace qlmr::bench
