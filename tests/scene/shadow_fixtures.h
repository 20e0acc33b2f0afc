// Shadow-ray scenes shared by the tests of the shadow walk and its
// shortcuts: one field of a chosen relief under an axis-aligned prism and a
// turned, tilted one, and the masks of shadow rays traced in packets.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <random>
#include <span>
#include <vector>

#include "scene/packet_march.h"
#include "scene/scene.h"
#include "scene/scene_tracer.h"
#include "scene/shadow_horizon.h"

namespace qlmr::shadow_test {

// Terraces are flat steps: rays start level with whole nodes there.
enum class Relief { Noise, Hills, Flat, Spike, Terraces };

struct FieldShape {
    std::uint32_t w, h;
    bool wrap;
    Relief relief;
};

inline DisplacementField makeField(const FieldShape& shape, std::mt19937& rng)
{
    std::vector<std::uint16_t> heights(std::size_t(shape.w) * shape.h, 20000);
    std::uniform_int_distribution<int> any(0, 65535);
    for (std::uint32_t y = 0; y < shape.h; ++y) {
        for (std::uint32_t x = 0; x < shape.w; ++x) {
            std::uint16_t& value = heights[std::size_t(y) * shape.w + x];
            const float fx = float(x) / float(shape.w), fy = float(y) / float(shape.h);
            const float hills =
                0.45f + 0.3f * std::sin(12.0f * fx) * std::cos(9.0f * fy) + 0.2f * std::sin(40.0f * fx + 23.0f * fy);
            if (shape.relief == Relief::Noise)
                value = std::uint16_t(any(rng));
            else if (shape.relief == Relief::Hills)
                value = std::uint16_t(std::lround(65535.0f * hills));
            else if (shape.relief == Relief::Terraces)
                value = std::uint16_t(std::lround(65535.0f * std::clamp(std::floor(hills * 6.0f) / 6.0f, 0.0f, 1.0f)));
            else if (shape.relief == Relief::Spike && x == shape.w / 2 && y == shape.h / 2)
                value = 65535;
        }
    }
    return DisplacementField(shape.w, shape.h, std::span<const std::uint16_t>(heights), !shape.wrap);
}

// One field under two prisms: one axis aligned (exactly zero local
// components for axis-aligned suns), one turned and tilted.
inline Scene makeScene(const FieldShape& shape, std::mt19937& rng)
{
    Scene scene;
    scene.addField(makeField(shape, rng));
    scene.addPrism(makePrism({-4.0f, 0.0f, 4.0f}, {1, 0, 0}, {0, 0, -1}, 8.0f, 8.0f, 2.0f, 0));
    scene.addPrism(makePrism({-3.0f, 0.5f, 2.0f}, {0.9f, 0.15f, 0.3f}, {0.2f, 0.1f, -1.0f}, 6.0f, 7.0f, 1.5f, 0));
    scene.refreshPrisms();
    return scene;
}

inline Vec3 localToWorld(const Prism& p, float u, float v, float h)
{
    return p.origin + p.axisU * u + p.axisV * v + p.axisH * h;
}

struct ShadowRay {
    Vec3 origin, dir;
    float radius = 0.0f; // cone radius: sets the walk's leaf level
    float spread = 0.0f; // cone spread: widens the footprint along the ray
    float tmin = 0.0f, tmax = 10000.0f;
};

// The shadow mask (1 blocked) of every ray, traced N rays to a packet.
template <int N = simd::kLanes>
std::vector<int> shadowMask(const SceneTracer& tracer, const std::vector<ShadowRay>& rays,
                            std::span<const ShadowHorizon> horizons)
{
    std::vector<int> mask(rays.size());
    for (std::size_t base = 0; base < rays.size(); base += N) {
        RayPacketOf<N> packet;
        const int count = int(std::min<std::size_t>(N, rays.size() - base));
        for (int l = 0; l < N; ++l) {
            const ShadowRay& r = rays[base + std::size_t(std::min(l, count - 1))];
            packet.originX.setLane(l, r.origin.x);
            packet.originY.setLane(l, r.origin.y);
            packet.originZ.setLane(l, r.origin.z);
            packet.dirX.setLane(l, r.dir.x);
            packet.dirY.setLane(l, r.dir.y);
            packet.dirZ.setLane(l, r.dir.z);
            packet.tmin.setLane(l, r.tmin);
            packet.tmax.setLane(l, r.tmax);
            packet.coneRadius.setLane(l, r.radius);
            packet.coneSpread.setLane(l, r.spread);
        }
        const unsigned lanes = count >= 32 ? ~0u : (1u << count) - 1u;
        simd::vmask<N> blocked;
        traceShadows(tracer, blocked, packet, simd::vmask<N>::fromBits(lanes), tracer.allPrisms, horizons);
        for (int l = 0; l < count; ++l)
            mask[base + std::size_t(l)] = blocked.lane(l) ? 1 : 0;
    }
    return mask;
}

} // namespace qlmr::shadow_test
