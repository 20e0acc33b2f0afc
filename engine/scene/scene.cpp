#include "scene/scene.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <stdexcept>

namespace qlmr {

Prism makePrism(Vec3 origin, Vec3 uDirection, Vec3 vDirection, float sizeU, float sizeV, float sizeH,
                uint32_t fieldIndex)
{
    const Vec3 a = normalizeSafe(uDirection);
    const Vec3 n = normalizeSafe(cross(a, vDirection));
    Prism prism;
    prism.origin = origin;
    prism.axisU = a * sizeU;
    // Rebuilt from the normal so axisV is exactly perpendicular to axisU.
    prism.axisV = cross(n, a) * sizeV;
    prism.axisH = n * sizeH;
    prism.fieldIndex = fieldIndex;
    const float inf = std::numeric_limits<float>::infinity();
    prism.boundsMin = {inf, inf, inf};
    prism.boundsMax = {-inf, -inf, -inf};
    prism.heightTexelSize = 1.0f;
    prism.albedoTexelSize = 1.0f;
    return prism;
}

void updatePrism(Prism& prism, uint32_t fieldWidth, uint32_t fieldHeight, uint32_t albedoWidth)
{
    const Vec3 u = prism.axisU;
    const Vec3 v = prism.axisV;
    const Vec3 h = prism.axisH;
    const Vec3 vh = cross(v, h);
    const Vec3 hu = cross(h, u);
    const Vec3 uv = cross(u, v);
    const float det = dot(u, vh);
    // The rows of the inverse are (V x H, H x U, U x V) / det; stored as columns.
    prism.toLocal[0] = Vec3{vh.x / det, hu.x / det, uv.x / det};
    prism.toLocal[1] = Vec3{vh.y / det, hu.y / det, uv.y / det};
    prism.toLocal[2] = Vec3{vh.z / det, hu.z / det, uv.z / det};
    prism.normalM[0] = vh / det;
    prism.normalM[1] = hu / det;
    prism.normalM[2] = uv / det;

    const float inf = std::numeric_limits<float>::infinity();
    Vec3 lo{inf, inf, inf};
    Vec3 hi{-inf, -inf, -inf};
    for (const Vec3& c : prismCorners(prism)) {
        lo = {std::min(lo.x, c.x), std::min(lo.y, c.y), std::min(lo.z, c.z)};
        hi = {std::max(hi.x, c.x), std::max(hi.y, c.y), std::max(hi.z, c.z)};
    }
    prism.boundsMin = lo;
    prism.boundsMax = hi;

    const float lengthU = length(u);
    prism.heightTexelSize = std::min(lengthU / float(fieldWidth), length(v) / float(fieldHeight));
    prism.albedoTexelSize = albedoWidth != 0 ? lengthU / float(albedoWidth) : prism.heightTexelSize;
}

std::array<Vec3, 8> prismCorners(const Prism& prism)
{
    std::array<Vec3, 8> corners{};
    for (int k = 0; k < 8; ++k) {
        const float u = (k & 1) ? prism.uMax : prism.uMin;
        const float v = (k & 2) ? prism.vMax : prism.vMin;
        const float h = (k & 4) ? prism.hMax : prism.hMin;
        corners[k] = prism.origin + prism.axisU * u + prism.axisV * v + prism.axisH * h;
    }
    return corners;
}

int Scene::addField(DisplacementField&& field)
{
    fields.push_back(std::move(field));
    return int(fields.size()) - 1;
}

int Scene::addPrism(const Prism& prism)
{
    prisms.push_back(prism);
    return int(prisms.size()) - 1;
}

void Scene::refreshPrisms()
{
    for (Prism& prism : prisms) {
        if (prism.fieldIndex >= fields.size()) {
            throw std::out_of_range("invalid vector subscript");
        }
        const DisplacementField& field = fields[prism.fieldIndex];
        updatePrism(prism, field.width, field.height, field.albedoWidth);
    }
}

} // namespace qlmr
