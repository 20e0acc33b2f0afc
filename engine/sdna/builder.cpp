#include "sdna/builder.h"

#include "sdna/validator.h"

#include <algorithm>
#include <cmath>
#include <utility>

namespace qlmr {
namespace {

using Vec3 = SdnaBuilder::Vec3;

Vec3 cross(const Vec3& a, const Vec3& b)
{
    return {a[1] * b[2] - a[2] * b[1], a[2] * b[0] - a[0] * b[2], a[0] * b[1] - a[1] * b[0]};
}

// Forward rotation by a unit quaternion (the inverse of the frame's mapping).
Vec3 rotateForward(const std::array<float, 4>& q, const Vec3& v)
{
    const Vec3 u{q[0], q[1], q[2]};
    const Vec3 c = cross(u, v);
    const Vec3 d = cross(u, c);
    return {v[0] + 2.0f * q[3] * c[0] + 2.0f * d[0], v[1] + 2.0f * q[3] * c[1] + 2.0f * d[1],
            v[2] + 2.0f * q[3] * c[2] + 2.0f * d[2]};
}

} // namespace

SdnaBox segmentBounds(const Vec3& a, float ra, const Vec3& b, float rb)
{
    SdnaBox box;
    for (int axis = 0; axis < 3; ++axis) {
        box.min[axis] = std::min(a[axis] - ra, b[axis] - rb);
        box.max[axis] = std::max(a[axis] + ra, b[axis] + rb);
    }
    return box;
}

SdnaBuilder& SdnaBuilder::append(SdnaOp op, std::array<float, 8> p, std::uint16_t material, std::uint32_t bone)
{
    SdnaInstruction in;
    in.op = op;
    in.material = material;
    in.bone = bone;
    in.p = p;
    building.instructions.push_back(in);
    return *this;
}

SdnaBuilder& SdnaBuilder::pushBox(Vec3 min, Vec3 max)
{
    boxes.push_back(SdnaBox{min, max, false});
    return *this;
}

void SdnaBuilder::growTop(float amount)
{
    if (boxes.empty() || boxes.back().unbounded)
        return;
    for (int axis = 0; axis < 3; ++axis) {
        boxes.back().min[axis] -= amount;
        boxes.back().max[axis] += amount;
    }
}

SdnaBuilder& SdnaBuilder::sphere(Vec3 c, float r, std::uint16_t material)
{
    append(SdnaOp::Sphere, {c[0], c[1], c[2], r}, material);
    return pushBox({c[0] - r, c[1] - r, c[2] - r}, {c[0] + r, c[1] + r, c[2] + r});
}

SdnaBuilder& SdnaBuilder::capsule(Vec3 a, Vec3 b, float r, std::uint16_t material)
{
    append(SdnaOp::Capsule, {a[0], a[1], a[2], b[0], b[1], b[2], r}, material);
    boxes.push_back(segmentBounds(a, r, b, r));
    return *this;
}

SdnaBuilder& SdnaBuilder::taperedCapsule(Vec3 a, float ra, Vec3 b, float rb, std::uint16_t material)
{
    append(SdnaOp::TaperedCapsule, {a[0], a[1], a[2], ra, b[0], b[1], b[2], rb}, material);
    boxes.push_back(segmentBounds(a, ra, b, rb));
    return *this;
}

SdnaBuilder& SdnaBuilder::ellipsoid(Vec3 c, Vec3 r, std::uint16_t material)
{
    append(SdnaOp::Ellipsoid, {c[0], c[1], c[2], r[0], r[1], r[2]}, material);
    return pushBox({c[0] - r[0], c[1] - r[1], c[2] - r[2]}, {c[0] + r[0], c[1] + r[1], c[2] + r[2]});
}

SdnaBuilder& SdnaBuilder::box(Vec3 c, Vec3 h, float corner, std::uint16_t material)
{
    append(SdnaOp::Box, {c[0], c[1], c[2], h[0], h[1], h[2], corner}, material);
    return pushBox({c[0] - (h[0] + corner), c[1] - (h[1] + corner), c[2] - (h[2] + corner)},
                   {c[0] + (h[0] + corner), c[1] + (h[1] + corner), c[2] + (h[2] + corner)});
}

SdnaBuilder& SdnaBuilder::plane(Vec3 n, float offsetAlongNormal, std::uint16_t material)
{
    append(SdnaOp::Plane, {n[0], n[1], n[2], offsetAlongNormal}, material);
    boxes.push_back(SdnaBox{{}, {}, true});
    return *this;
}

SdnaBuilder& SdnaBuilder::combine(SdnaOp op, float blend)
{
    append(op, {blend});
    if (boxes.size() < 2)
        return *this;
    const SdnaBox b = boxes.back();
    boxes.pop_back();
    SdnaBox& a = boxes.back();
    switch (op) {
    case SdnaOp::Union:
    case SdnaOp::SmoothUnion:
        if (a.unbounded || b.unbounded) {
            a.unbounded = true;
        } else {
            for (int axis = 0; axis < 3; ++axis) {
                a.min[axis] = std::min(a.min[axis], b.min[axis]);
                a.max[axis] = std::max(a.max[axis], b.max[axis]);
            }
            // The smooth minimum goes at most k/4 below its operands; a
            // blend of 0 or less is a plain union and must not shrink it.
            if (op == SdnaOp::SmoothUnion)
                growTop(std::max(blend, 0.0f) / 4.0f);
        }
        break;
    case SdnaOp::Intersect:
        if (a.unbounded)
            a = b;
        break;
    default: // Subtract keeps the left operand's box
        break;
    }
    return *this;
}

SdnaBuilder& SdnaBuilder::offset(float amount)
{
    append(SdnaOp::Offset, {amount});
    growTop(amount);
    return *this;
}

SdnaBuilder& SdnaBuilder::onion(float thickness)
{
    append(SdnaOp::Onion, {thickness});
    growTop(thickness);
    return *this;
}

SdnaBuilder& SdnaBuilder::pushTransform(const Transform& t)
{
    append(SdnaOp::PushTransform, {t.rotation[0], t.rotation[1], t.rotation[2], t.rotation[3], t.translation[0],
                                   t.translation[1], t.translation[2], t.scale});
    frames.push_back(Frame{t, false});
    return *this;
}

SdnaBuilder& SdnaBuilder::pushBone(std::uint32_t bone)
{
    append(SdnaOp::PushBone, {}, 0, bone);
    building.boneCount = std::max(building.boneCount, bone == 0xFFFFFFFFu ? bone : bone + 1);
    frames.push_back(Frame{Transform{}, true});
    return *this;
}

SdnaBuilder& SdnaBuilder::pop()
{
    append(SdnaOp::Pop, {});
    if (frames.empty())
        return *this;
    const Frame frame = frames.back();
    frames.pop_back();
    if (boxes.empty() || boxes.back().unbounded)
        return *this;
    SdnaBox& top = boxes.back();
    const Transform& t = frame.transform;
    Vec3 min{}, max{};
    for (int corner = 0; corner < 8; ++corner) {
        const Vec3 local{(corner & 1) ? top.max[0] : top.min[0], (corner & 2) ? top.max[1] : top.min[1],
                         (corner & 4) ? top.max[2] : top.min[2]};
        const Vec3 r = rotateForward(t.rotation, local);
        for (int axis = 0; axis < 3; ++axis) {
            const float x = t.scale * r[axis] + t.translation[axis];
            min[axis] = corner == 0 ? x : std::min(min[axis], x);
            max[axis] = corner == 0 ? x : std::max(max[axis], x);
        }
    }
    top.min = min;
    top.max = max;
    if (frame.bone)
        growTop(boneMargin);
    return *this;
}

std::uint16_t SdnaBuilder::material(const SdnaMaterial& m)
{
    building.materials.push_back(m);
    return static_cast<std::uint16_t>(building.materials.size() - 1);
}

SdnaBuilder& SdnaBuilder::bounds(Vec3 min, Vec3 max)
{
    explicitBounds = true;
    explicitMin = min;
    explicitMax = max;
    return *this;
}

void SdnaBuilder::reset()
{
    building = SdnaProgram{};
    boxes.clear();
    frames.clear();
    explicitBounds = false;
    explicitMin = {};
    explicitMax = {};
}

bool SdnaBuilder::finish(SdnaProgram& out, std::string& error)
{
    const bool addDefaultMaterial = building.materials.empty();
    const std::array<float, 3> earlierMin = building.boundsMin;
    const std::array<float, 3> earlierMax = building.boundsMax;
    if (addDefaultMaterial)
        building.materials.push_back(SdnaMaterial{0.8f, 0.8f, 0.8f, 0.6f});
    bool ok = true;
    if (explicitBounds) {
        building.boundsMin = explicitMin;
        building.boundsMax = explicitMax;
    } else if (boxes.size() != 1) {
        error = "program does not reduce to one value";
        ok = false;
    } else if (boxes.front().unbounded) {
        error = "program is unbounded (plane): call bounds()";
        ok = false;
    } else {
        building.boundsMin = boxes.front().min;
        building.boundsMax = boxes.front().max;
    }
    if (ok)
        ok = validateProgram(building, error);
    // A failed finish keeps what was built, and only that, so the caller can
    // still add what was missing (the bounds of a program with a plane, its
    // first material, which must then get index 0) and finish again.
    if (!ok) {
        if (addDefaultMaterial)
            building.materials.pop_back();
        building.boundsMin = earlierMin;
        building.boundsMax = earlierMax;
        return false;
    }
    out = std::move(building);
    reset();
    return true;
}

} // namespace qlmr
