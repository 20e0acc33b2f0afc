#include "embree_terrain.h"

#include <chrono>
#include <cmath>
#include <cstdio>
#include <limits>
#include <stdexcept>

#include <xmmintrin.h>

#include "scene/tile_renderer.h"
#include "terrain_views.h"

namespace qlmr::bench {

namespace {

constexpr int kLanes = 8;           // rtcIntersect8 / rtcOccluded8
constexpr std::uint32_t kPacketW = 4; // 4 x 2 pixels, as the engine's 8-lane packets
constexpr std::uint32_t kPacketH = 2;
constexpr unsigned kFlushToZero = 0x8000;     // MXCSR bit 15
constexpr unsigned kDenormalsAreZero = 0x0040; // MXCSR bit 6

void reportError(void*, RTCError code, const char* text)
{
    std::fprintf(stderr, "embree error %d: %s\n", int(code), text ? text : "");
}

void throwOnError(RTCDevice device, const char* what)
{
    const RTCError code = rtcGetDeviceError(device);
    if (code != RTC_ERROR_NONE)
        throw std::runtime_error(std::string("embree: ") + what + " failed (error " + std::to_string(int(code)) + ")");
}

} // namespace

bool EmbreeTerrain::countMemory(void* count, ssize_t bytes, bool post)
{
    // Embree calls once per block, before or after allocating (post), with a
    // negative size when freeing; nothing is ever refused here, so every
    // call counts.
    (void)post;
    auto& memory = *static_cast<MemoryCount*>(count);
    const std::int64_t now = memory.current.fetch_add(std::int64_t(bytes)) + std::int64_t(bytes);
    std::int64_t peak = memory.peak.load();
    while (now > peak && !memory.peak.compare_exchange_weak(peak, now)) {
    }
    return true;
}

EmbreeTerrain::EmbreeTerrain(const Scene& world, std::uint32_t prismIndex, ThreadPool& pool)
{
    const Prism& prism = world.prisms.at(prismIndex);
    const DisplacementField& field = world.fields.at(prism.fieldIndex);
    const std::uint32_t w = field.width, h = field.height;

    // Sample (x, y) sits at u = x / width, v = y / height, as in the march;
    // the extra last column and row repeat the border samples (clamped like
    // the field), so the mesh covers the same unit square as the prism.
    const std::uint32_t columns = w + 1, rows = h + 1;
    vertices.resize(std::size_t(columns) * rows * 3 + 1);
    pool.run(rows, [&](unsigned y, unsigned) {
        for (std::uint32_t x = 0; x < columns; ++x) {
            const float u = float(x) / float(w), v = float(y) / float(h);
            const float height = field.texelHeight(0, std::int32_t(x), std::int32_t(y));
            const Vec3 p = prism.origin + prism.axisU * u + prism.axisV * v + prism.axisH * height;
            float* out = &vertices[(std::size_t(y) * columns + x) * 3];
            out[0] = p.x;
            out[1] = p.y;
            out[2] = p.z;
        }
    });
    indices.resize(std::size_t(w) * h * 6);
    pool.run(h, [&](unsigned y, unsigned) {
        for (std::uint32_t x = 0; x < w; ++x) {
            const std::uint32_t a = y * columns + x, b = a + 1, c = a + columns, d = c + 1;
            std::uint32_t* out = &indices[(std::size_t(y) * w + x) * 6];
            out[0] = a, out[1] = b, out[2] = d; // two triangles split along the diagonal a-d
            out[3] = a, out[4] = d, out[5] = c;
        }
    });

    device.reset(rtcNewDevice(nullptr));
    if (device == nullptr)
        throw std::runtime_error("embree: cannot create a device");
    rtcSetDeviceErrorFunction(device.get(), reportError, nullptr);
    rtcSetDeviceMemoryMonitorFunction(device.get(), countMemory, memory.get());

    // Embree's default build (medium quality, no scene flags): its high
    // quality traced these views no faster here and needed a third more
    // memory while building.
    const auto start = std::chrono::steady_clock::now();
    scene.reset(rtcNewScene(device.get()));
    RTCGeometry mesh = rtcNewGeometry(device.get(), RTC_GEOMETRY_TYPE_TRIANGLE);
    rtcSetSharedGeometryBuffer(mesh, RTC_BUFFER_TYPE_VERTEX, 0, RTC_FORMAT_FLOAT3, vertices.data(), 0,
                               3 * sizeof(float), std::size_t(columns) * rows);
    rtcSetSharedGeometryBuffer(mesh, RTC_BUFFER_TYPE_INDEX, 0, RTC_FORMAT_UINT3, indices.data(), 0,
                               3 * sizeof(std::uint32_t), indices.size() / 3);
    rtcCommitGeometry(mesh);
    rtcAttachGeometry(scene.get(), mesh);
    rtcReleaseGeometry(mesh);
    rtcCommitScene(scene.get());
    throwOnError(device.get(), "building the scene");
    buildTime = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

std::uint64_t EmbreeTerrain::geometryBytes() const
{
    return vertices.size() * sizeof(float) + indices.size() * sizeof(std::uint32_t);
}

std::string EmbreeTerrain::version() const
{
    const auto v = rtcGetDeviceProperty(device.get(), RTC_DEVICE_PROPERTY_VERSION);
    return std::to_string(v / 10000) + "." + std::to_string(v / 100 % 100) + "." + std::to_string(v % 100);
}

EmbreeView EmbreeTerrain::traceView(ThreadPool& pool, const Camera& camera, Vec3 sunDir,
                                    std::span<const std::uint8_t> castsShadow, int frames) const
{
    EmbreeView view;
    view.depth.assign(std::size_t(camera.width) * camera.height, std::numeric_limits<float>::infinity());
    const std::uint32_t tilesX = (camera.width + kTileSize - 1) / kTileSize;
    const std::uint32_t tilesY = (camera.height + kTileSize - 1) / kTileSize;
    for (int i = 0; i < frames; ++i) {
        std::vector<TraceCounts> slots(pool.workerCount() + 1);
        view.figures.best.add(timeFrame([&] {
            pool.run(tilesX * tilesY, [&](unsigned tile, unsigned worker) {
                traceTile(tile, camera, sunDir, castsShadow, view.depth, slots[worker]);
            });
        }));
        // Every frame traces the same rays; the counts of the last one stand.
        view.figures.primary = view.figures.shadow = view.figures.hits = 0;
        view.blocked = 0;
        for (const TraceCounts& slot : slots) {
            view.figures.primary += slot.primary;
            view.figures.shadow += slot.shadow;
            view.figures.hits += slot.hits;
            view.blocked += slot.blocked;
        }
    }
    return view;
}

void EmbreeTerrain::traceTile(std::uint32_t tile, const Camera& camera, Vec3 sunDir,
                              std::span<const std::uint8_t> castsShadow, std::vector<float>& depth,
                              TraceCounts& counts) const
{
    const std::uint32_t tilesX = (camera.width + kTileSize - 1) / kTileSize;
    const std::uint32_t x0 = (tile % tilesX) * kTileSize;
    const std::uint32_t y0 = (tile / tilesX) * kTileSize;
    // Embree asks for denormals flushed to zero on the threads that trace;
    // the pool's threads get the mode for this tile only, so the engine's
    // frames keep the default floating-point environment.
    const unsigned savedMode = _mm_getcsr();
    _mm_setcsr(savedMode | kFlushToZero | kDenormalsAreZero);
    RTCIntersectContext context;
    rtcInitIntersectContext(&context);
    context.flags = RTC_INTERSECT_CONTEXT_FLAG_COHERENT;

    for (std::uint32_t y = y0; y < y0 + kTileSize && y < camera.height; y += kPacketH) {
        for (std::uint32_t x = x0; x < x0 + kTileSize && x < camera.width; x += kPacketW) {
            alignas(32) int valid[kLanes];
            std::size_t pixel[kLanes];
            RTCRayHit8 primary;
            for (int l = 0; l < kLanes; ++l) {
                const std::uint32_t px = x + std::uint32_t(l) % kPacketW, py = y + std::uint32_t(l) / kPacketW;
                const bool inside = px < camera.width && py < camera.height;
                valid[l] = inside ? -1 : 0;
                pixel[l] = inside ? std::size_t(py) * camera.width + px : 0;
                const PixelRay ray = inside ? primaryRay(camera, px, py) : PixelRay{};
                primary.ray.org_x[l] = ray.origin.x;
                primary.ray.org_y[l] = ray.origin.y;
                primary.ray.org_z[l] = ray.origin.z;
                primary.ray.dir_x[l] = ray.direction.x;
                primary.ray.dir_y[l] = ray.direction.y;
                primary.ray.dir_z[l] = ray.direction.z;
                primary.ray.tnear[l] = 0.0f;
                primary.ray.tfar[l] = 1e30f; // the tile renderer's primary tmax
                primary.ray.time[l] = 0.0f;
                primary.ray.mask[l] = 0xFFFFFFFFu;
                primary.ray.id[l] = 0;
                primary.ray.flags[l] = 0;
                primary.hit.geomID[l] = RTC_INVALID_GEOMETRY_ID;
            }
            rtcIntersect8(valid, scene.get(), &context, &primary);

            alignas(32) int cast[kLanes];
            RTCRay8 shadow;
            bool anyCast = false;
            for (int l = 0; l < kLanes; ++l) {
                const bool hit = valid[l] != 0 && primary.hit.geomID[l] != RTC_INVALID_GEOMETRY_ID;
                const float t = primary.ray.tfar[l];
                if (valid[l] != 0) {
                    ++counts.primary;
                    counts.hits += hit ? 1 : 0;
                    depth[pixel[l]] = hit ? t : std::numeric_limits<float>::infinity();
                }
                cast[l] = hit && castsShadow[pixel[l]] != 0 ? -1 : 0;
                if (cast[l] == 0)
                    continue;
                anyCast = true;
                // The triangle's normal, turned to the side the heights rise
                // towards (world +y), like the patch normal shadow rays leave along.
                Vec3 normal = normalizeSafe(Vec3{primary.hit.Ng_x[l], primary.hit.Ng_y[l], primary.hit.Ng_z[l]});
                if (normal.y < 0.0f)
                    normal = -normal;
                const Vec3 hitPoint = Vec3{primary.ray.org_x[l], primary.ray.org_y[l], primary.ray.org_z[l]} +
                    Vec3{primary.ray.dir_x[l], primary.ray.dir_y[l], primary.ray.dir_z[l]} * t;
                const Vec3 origin = hitPoint + normal * shadowOriginOffset(camera, t);
                shadow.org_x[l] = origin.x;
                shadow.org_y[l] = origin.y;
                shadow.org_z[l] = origin.z;
                shadow.dir_x[l] = sunDir.x;
                shadow.dir_y[l] = sunDir.y;
                shadow.dir_z[l] = sunDir.z;
                shadow.tnear[l] = 0.0f;
                shadow.tfar[l] = kShadowRayLength;
                shadow.time[l] = 0.0f;
                shadow.mask[l] = 0xFFFFFFFFu;
                shadow.id[l] = 0;
                shadow.flags[l] = 0;
            }
            if (!anyCast)
                continue;
            rtcOccluded8(cast, scene.get(), &context, &shadow);
            for (int l = 0; l < kLanes; ++l) {
                if (cast[l] == 0)
                    continue;
                ++counts.shadow;
                // An occluded ray comes back with tfar set to -infinity.
                counts.blocked += shadow.tfar[l] < 0.0f ? 1 : 0;
            }
        }
    }
    _mm_setcsr(savedMode);
}

} // namespace qlmr::bench
