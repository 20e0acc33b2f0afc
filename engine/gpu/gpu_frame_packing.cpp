#include "gpu/gpu_frame_packing.h"

#include <algorithm>
#include <bit>
#include <cmath>

namespace qlmr {

namespace {

gpu::Float4 float4(Vec3 v, float w) { return {v.x, v.y, v.z, w}; }

} // namespace

gpu::FrameUniforms packFrameUniforms(const Camera& camera, const RenderSettings& s, const FrameWords& words)
{
    gpu::FrameUniforms u;
    const float shadowMode = s.shadows ? 1.0f : (s.altShadows ? 2.0f : 0.0f);
    u.camPos = float4(camera.position, words.seedPass ? 1.0f : 0.0f);
    u.camForward = float4(camera.forward, s.fogBaseHeight);
    u.camRight = float4(camera.right * (camera.tanHalfFov * camera.aspect), s.fogFalloff);
    u.camUp = float4(camera.up * camera.tanHalfFov, float(s.debugView));
    u.sunDir = float4(s.sunDir, shadowMode);
    u.sunColor = float4(s.sunColor, s.fogDensity);
    u.skyZenith = float4(s.skyZenith, (2.0f * camera.tanHalfFov / float(camera.height)) * words.value0);
    u.skyHorizon = float4(s.skyHorizon, words.value1);
    u.ambient = float4(s.ambient, float(words.mode));
    u.dims = {std::int32_t(camera.width), std::int32_t(camera.height),
              std::int32_t((camera.width + QLMR_TILE_SIZE - 1) >> 4), std::int32_t(words.prismCount)};
    u.fogSphere = {s.fogSphere[0], s.fogSphere[1], s.fogSphere[2], s.fogSphere[3]};
    u.surface = {s.specular, s.roughness, s.normalRefine, 0.0f};
    return u;
}

gpu::FrameUniforms packFrameUniforms(const Camera& camera, const RenderSettings& settings, bool seedPass,
                                     float value0, float value1, std::uint32_t mode, std::uint32_t prismCount)
{
    return packFrameUniforms(camera, settings, FrameWords{seedPass, value0, value1, mode, prismCount});
}

void packGpuPrisms(std::span<const Prism> prisms, std::span<const PrismFieldRecord> records, gpu::Prism* destination)
{
    for (std::size_t i = 0; i < prisms.size(); ++i) {
        const Prism& p = prisms[i];
        gpu::Prism& g = destination[i];
        g.origin = float4(p.origin, p.heightTexelSize);
        g.axisU = float4(p.axisU, p.albedoTexelSize);
        g.axisV = float4(p.axisV, p.uMax);
        g.axisH = float4(p.axisH, p.vMax);
        // Row r holds element r of each column, so the kernels take dot products.
        const float toLocalW[3] = {p.uMin, p.vMin, p.hMin};
        const float normalW[3] = {p.hMax, p.sideNormalsOff ? 1.0f : 0.0f, p.waterDepthScale};
        for (int r = 0; r < 3; ++r) {
            g.toLocal[r] = {p.toLocal[0][r], p.toLocal[1][r], p.toLocal[2][r], toLocalW[r]};
            g.normalM[r] = {p.normalM[0][r], p.normalM[1][r], p.normalM[2][r], normalW[r]};
        }
        const PrismFieldRecord record = i < records.size() ? records[i] : PrismFieldRecord{};
        g.info = {std::int32_t(record.words[0]), std::int32_t(record.words[1]), std::int32_t(record.words[2]),
                  std::int32_t(record.words[3])};
    }
}

void flattenBins(const std::vector<std::vector<std::uint32_t>>& bins, std::vector<gpu::Range>& ranges,
                 std::vector<std::uint32_t>& lists)
{
    ranges.resize(bins.size());
    lists.clear();
    for (std::size_t i = 0; i < bins.size(); ++i) {
        ranges[i] = {std::uint32_t(lists.size()), std::uint32_t(bins[i].size())};
        lists.insert(lists.end(), bins[i].begin(), bins[i].end());
    }
}

void buildLightGrid(std::span<const Prism> prisms, Vec3 sunDirection, std::vector<gpu::Range>& ranges,
                    std::vector<std::uint32_t>& lists, gpu::LightGridHeader& header)
{
    constexpr int kCells = QLMR_LIGHT_CELLS;
    const Vec3 d = normalizeSafe(sunDirection);
    const Vec3 reference = std::fabs(d.y) >= 0.9f ? Vec3{1.0f, 0.0f, 0.0f} : Vec3{0.0f, 1.0f, 0.0f};
    const Vec3 axisX = normalizeSafe(cross(d, reference));
    const Vec3 axisY = cross(d, axisX);

    struct Box {
        float x0 = 1e30f, y0 = 1e30f, x1 = -1e30f, y1 = -1e30f;
    };
    std::vector<Box> boxes(prisms.size());
    Box extent;
    for (std::size_t i = 0; i < prisms.size(); ++i) {
        Box& b = boxes[i];
        for (const Vec3& corner : prismCorners(prisms[i])) {
            const float x = dot(corner, axisX);
            const float y = dot(corner, axisY);
            b.x0 = std::min(b.x0, x);
            b.x1 = std::max(b.x1, x);
            b.y0 = std::min(b.y0, y);
            b.y1 = std::max(b.y1, y);
        }
        extent.x0 = std::min(extent.x0, b.x0);
        extent.x1 = std::max(extent.x1, b.x1);
        extent.y0 = std::min(extent.y0, b.y0);
        extent.y1 = std::max(extent.y1, b.y1);
    }
    const float side = std::max(extent.x1 - extent.x0, extent.y1 - extent.y0);
    const float cellSize = std::max(1e-6f, side / float(kCells));
    // Clamped while still a float: a sun direction or a prism that is not
    // finite gives coordinates no int can hold, or NaN, which takes cell 0.
    auto cellOf = [&](float coordinate, float minimum) {
        const float cell = std::floor((coordinate - minimum) / cellSize);
        return cell >= 0.0f ? int(std::min(cell, float(kCells - 1))) : 0;
    };

    std::vector<std::vector<std::uint32_t>> cells(std::size_t(kCells) * kCells);
    for (std::size_t i = 0; i < prisms.size(); ++i) {
        const Box& b = boxes[i];
        const int cx0 = cellOf(b.x0, extent.x0), cx1 = cellOf(b.x1, extent.x0);
        const int cy0 = cellOf(b.y0, extent.y0), cy1 = cellOf(b.y1, extent.y0);
        for (int y = cy0; y <= cy1; ++y)
            for (int x = cx0; x <= cx1; ++x)
                cells[std::size_t(y) * kCells + x].push_back(std::uint32_t(i));
    }
    flattenBins(cells, ranges, lists);

    header.lightAxisX = float4(axisX, 0.0f);
    header.lightAxisY = float4(axisY, 0.0f);
    header.lightGrid = {extent.x0, extent.y0, 1.0f / cellSize, float(kCells)};
}

float halfToFloat(std::uint16_t half)
{
    const std::uint32_t sign = std::uint32_t(half & 0x8000u) << 16;
    std::uint32_t exponent = (half >> 10) & 0x1Fu;
    std::uint32_t mantissa = half & 0x3FFu;
    std::uint32_t bits;
    if (exponent == 0) {
        if (mantissa == 0) {
            bits = sign;
        } else {
            // Subnormal: shift the leading one into the implicit position.
            int shift = 0;
            while ((mantissa & 0x400u) == 0) {
                mantissa <<= 1;
                ++shift;
            }
            mantissa &= 0x3FFu;
            bits = sign | (std::uint32_t(113 - shift) << 23) | (mantissa << 13);
        }
    } else if (exponent == 31) {
        bits = sign | 0x7F800000u | (mantissa << 13);
    } else {
        bits = sign | ((exponent + 112u) << 23) | (mantissa << 13);
    }
    return std::bit_cast<float>(bits);
}

} // namespace qlmr
