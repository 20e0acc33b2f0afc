#pragma once

#include <array>
#include <cstdint>
#include <vector>

#include "scene/height_field.h"
#include "scene/vec3.h"

namespace qlmr {

// One placement of a field in the world: an oriented box whose base spans the
// field's (u, v) square along axisU and axisV and whose axisH scales height.
// origin..waterDepthScale are inputs; toLocal..albedoTexelSize are derived by
// updatePrism and valid only after it ran for the prism's current field.
struct Prism {
    Vec3 origin{};
    Vec3 axisU{1.0f, 0.0f, 0.0f};
    Vec3 axisV{0.0f, 1.0f, 0.0f};
    Vec3 axisH{0.0f, 0.0f, 1.0f};
    uint32_t fieldIndex = 0;
    // The part of local (u, v, h) space the prism occupies.
    float uMin = 0.0f;
    float uMax = 1.0f;
    float vMin = 0.0f;
    float vMax = 1.0f;
    float hMin = 0.0f;
    float hMax = 1.0f;
    // When false, a ray entering below the surface through a side or the
    // bottom reports that face as its hit.
    bool sideNormalsOff = false;
    // Above 0: the surface is water, this scale times albedo alpha deep.
    float waterDepthScale = 0.0f;
    // Inverse of [axisU axisV axisH] as three columns:
    // local = dx toLocal[0] + dy toLocal[1] + dz toLocal[2].
    std::array<Vec3, 3> toLocal{Vec3{1, 0, 0}, Vec3{0, 1, 0}, Vec3{0, 0, 1}};
    // Transpose of toLocal as three columns: world normal = nu n[0] + nv n[1] + nh n[2].
    std::array<Vec3, 3> normalM{Vec3{1, 0, 0}, Vec3{0, 1, 0}, Vec3{0, 0, 1}};
    Vec3 boundsMin{};
    Vec3 boundsMax{};
    float heightTexelSize = 1.0f; // world size of one level-0 height sample
    float albedoTexelSize = 1.0f; // world size of one level-0 albedo texel
};

// A prism over the plane of uDirection and vDirection: axisU along
// uDirection, axisV made perpendicular to it in that plane, axisH the plane's
// right-handed unit normal, scaled by the three sizes.
Prism makePrism(Vec3 origin, Vec3 uDirection, Vec3 vDirection, float sizeU, float sizeV, float sizeH,
                uint32_t fieldIndex);

// Derives the matrices, world bounds and texel sizes for the prism's field.
void updatePrism(Prism& prism, uint32_t fieldWidth, uint32_t fieldHeight, uint32_t albedoWidth);

// The 8 world corners of the local box; corner k takes the max of u, v, h by
// bits 0, 1, 2 of k.
std::array<Vec3, 8> prismCorners(const Prism& prism);

// The world: height fields owned by value and prisms that refer to them by index.
struct Scene {
    std::vector<DisplacementField> fields;
    std::vector<Prism> prisms;

    int addField(DisplacementField&& field);
    int addPrism(const Prism& prism);
    // updatePrism on every prism with its field's sizes; throws
    // std::out_of_range "invalid vector subscript" for a missing field.
    void refreshPrisms();
};

} // namespace qlmr
