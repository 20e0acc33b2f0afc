#include "content/relief_prism.h"

#include <limits>

namespace qlmr {

Prism reliefPrism(const ReliefInfo& info, std::uint32_t fieldIndex, Vec3 anchor, Vec3 right, Vec3 down,
                  Vec3 normal, float pixelSize, float depthScale)
{
    const float fieldWidth = float(info.fieldWidth);
    const float fieldHeight = float(info.fieldHeight);
    const float nodes = float(info.nodesPerPixel);
    const float sizeU = fieldWidth / nodes * pixelSize;
    const float sizeV = fieldHeight / nodes * pixelSize;
    const float sizeH = pixelSize * info.heightScale * depthScale;

    Prism prism;
    prism.axisU = right * sizeU;
    prism.axisV = down * sizeV;
    prism.axisH = normal * sizeH;
    // Field node gridOffset sits at the centre of the first sub-node of
    // sprite pixel 0, so the pixel's corner is half a node before it.
    const float ua = (float(info.gridOffsetX) - 0.5f) / fieldWidth;
    const float va = (float(info.gridOffsetY) - 0.5f) / fieldHeight;
    prism.origin = anchor - prism.axisU * ua - prism.axisV * va - prism.axisH * info.baseLevel;
    prism.fieldIndex = fieldIndex;
    // No world box until the scene refreshes the prism for its field: an
    // empty one, so that nothing counts as inside a prism not yet placed.
    const float infinity = std::numeric_limits<float>::infinity();
    prism.boundsMin = {infinity, infinity, infinity};
    prism.boundsMax = {-infinity, -infinity, -infinity};

    const float columns = nodes * float(info.opaqueWidth);
    const float rows = nodes * float(info.opaqueHeight);
    if (info.keepFrame) {
        prism.uMin = 0.5f / fieldWidth;
        prism.uMax = (0.5f + columns) / fieldWidth;
        prism.vMin = 0.5f / fieldHeight;
        prism.vMax = (0.5f + rows) / fieldHeight;
        prism.hMin = 0.0f;
    } else {
        prism.uMin = 0.0f;
        prism.uMax = (columns + 1.0f) / fieldWidth;
        prism.vMin = 0.0f;
        prism.vMax = (rows + 1.0f) / fieldHeight;
        prism.hMin = info.baseLevel;
    }
    prism.hMax = info.topLevel;
    return prism;
}

Prism reliefPrism(const ReliefInfo& info, std::uint32_t fieldIndex, const float (&anchor)[3],
                  const float (&right)[3], const float (&down)[3], const float (&normal)[3], float pixelSize,
                  float depthScale)
{
    const auto vec = [](const float (&v)[3]) { return Vec3{v[0], v[1], v[2]}; };
    return reliefPrism(info, fieldIndex, vec(anchor), vec(right), vec(down), vec(normal), pixelSize, depthScale);
}

Prism mirroredPrism(const Prism& front, const ReliefInfo& info)
{
    Prism back = front;
    back.origin = front.origin + front.axisH * (2.0f * info.baseLevel);
    back.axisH = -front.axisH;
    return back;
}

} // namespace qlmr
