#include "sdna/bounds_analysis.h"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <limits>
#include <vector>

#include "sdna/evaluator.h"

namespace qlmr {
namespace {

using Vec3 = std::array<float, 3>;

float length3(const Vec3& v) { return std::sqrt(v[0] * v[0] + v[1] * v[1] + v[2] * v[2]); }

Vec3 difference(const Vec3& a, const Vec3& b) { return {a[0] - b[0], a[1] - b[1], a[2] - b[2]}; }

BoundSphere sphereOf(const Vec3& centre, float radius, float scale = 1.0f) {
    return BoundSphere{true, centre, radius, scale};
}

// Sphere around the segment a-b swept by a ball of the given radius.
BoundSphere segmentSphere(const Vec3& a, const Vec3& b, float radius) {
    const Vec3 centre{(a[0] + b[0]) / 2.0f, (a[1] + b[1]) / 2.0f, (a[2] + b[2]) / 2.0f};
    return sphereOf(centre, length3(difference(b, a)) / 2.0f + radius);
}

BoundSphere primitiveSphere(const SdnaInstruction& ins) {
    const float* p = ins.p.data();
    switch (ins.op) {
    case SdnaOp::Sphere:
        return sphereOf({p[0], p[1], p[2]}, p[3]);
    case SdnaOp::Capsule:
        return segmentSphere({p[0], p[1], p[2]}, {p[3], p[4], p[5]}, p[6]);
    case SdnaOp::TaperedCapsule:
        return segmentSphere({p[0], p[1], p[2]}, {p[4], p[5], p[6]}, std::max(p[3], p[7]));
    case SdnaOp::Ellipsoid: {
        // The ellipsoid's value is scaled by its smallest radius, so outside
        // the sphere of its largest radius it grows at least that much slower.
        const float largest = std::max(std::max(p[3], p[4]), p[5]);
        const float smallest = std::min(std::min(p[3], p[4]), p[5]);
        return sphereOf({p[0], p[1], p[2]}, largest, smallest / largest);
    }
    case SdnaOp::Box:
        return sphereOf({p[0], p[1], p[2]}, length3({p[3], p[4], p[5]}) + p[6]);
    default:  // Plane
        return BoundSphere{};
    }
}

bool isPrimitive(SdnaOp op) {
    return op == SdnaOp::Sphere || op == SdnaOp::Capsule || op == SdnaOp::TaperedCapsule ||
           op == SdnaOp::Ellipsoid || op == SdnaOp::Box || op == SdnaOp::Plane;
}

bool isCombinator(SdnaOp op) {
    return op == SdnaOp::Union || op == SdnaOp::SmoothUnion || op == SdnaOp::Intersect ||
           op == SdnaOp::Subtract;
}

// One value on the analysis stack.
struct Entry {
    BoundSphere sphere;           // in the current frame
    std::int32_t start = 0;       // first instruction of the value's subtree
    std::uint32_t bone = kSdnaNoBone;  // bone frame enclosing the whole subtree
    BoundSphere boneSphere;       // the subtree's sphere in that bone's space
};

// A bone-space sphere describes exactly the subtree PushBone .. Pop. Any
// operation wrapped around that subtree other than its combinator (a growing
// Offset or Onion, an enclosing rigid frame) would make it stale, so the
// subtree is then left without a bone-space sphere.
void dropBoneSphere(Entry& entry) {
    entry.bone = kSdnaNoBone;
    entry.boneSphere = BoundSphere{};
}

// A frame sphere moved out of a PushTransform into its parent space. The
// evaluator moves points in with x' = quatRotate(q, x - t) / s, which for a
// quaternion of squared length m is the linear map M = m R - (m - 1) I (R the
// rotation of q normalised), not a rotation: it shrinks some directions to
// 2m - 1 when m < 1, and the forward rotation that places the centre is not
// its inverse (M F - I = m (m - 1)(2I - R - R^T), at most 4 m |m - 1| long).
// For a parent point x at distance D from the moved centre, the frame point
// therefore lies at least (min(1, 2m - 1) D - 4 m |m - 1| s |c|) / s from the
// frame centre c; the radius and scale below keep the bound a lower bound for
// every quaternion the validator accepts, and are the plain move for m = 1.
BoundSphere toParentFrame(const BoundSphere& sphere, const SdnaInstruction& push) {
    const float* p = push.p.data();
    const double m = double(p[0]) * p[0] + double(p[1]) * p[1] + double(p[2]) * p[2] + double(p[3]) * p[3];
    const double shrink = std::min(1.0, 2.0 * m - 1.0);
    if (!(shrink > 0.0)) return BoundSphere{};
    const float s = p[7];
    const double centreError = 4.0 * m * std::abs(m - 1.0) * double(length3(sphere.centre));
    const Vec3 r = quatRotateForward({p[0], p[1], p[2], p[3]}, sphere.centre);
    BoundSphere moved = sphere;
    moved.centre = {s * r[0] + p[4], s * r[1] + p[5], s * r[2] + p[6]};
    moved.radius = s * sphere.radius;
    if (shrink < 1.0 || centreError > 0.0) {
        // Rounded outwards: a larger radius and a smaller scale stay safe.
        const double radius = double(s) * (double(sphere.radius) + centreError) / shrink;
        moved.radius = std::nextafter(float(radius), std::numeric_limits<float>::infinity());
        moved.scale = std::nextafter(float(double(sphere.scale) * shrink), 0.0f);
    }
    return moved;
}

struct OpenFrame {
    std::int32_t push = 0;
    const SdnaInstruction* instruction = nullptr;
};

void combine(std::vector<Entry>& stack, ProgramBounds& out, const SdnaInstruction& ins,
             std::int32_t index, std::uint32_t minSubtreeLength) {
    if (stack.size() < 2) return;
    const Entry b = stack.back();
    stack.pop_back();
    Entry& a = stack.back();
    const float k = ins.p[0];

    if (ins.op != SdnaOp::Intersect) {
        const BoundSphere& test = b.bone == kSdnaNoBone ? b.sphere : b.boneSphere;
        const std::int64_t span = static_cast<std::int64_t>(index) - b.start;
        if (test.bounded && span >= static_cast<std::int64_t>(minSubtreeLength)) {
            BoundRecord record;
            record.end = static_cast<std::uint32_t>(index) + 1;
            record.bone = b.bone;
            record.subtract = ins.op == SdnaOp::Subtract;
            record.slack = ins.op == SdnaOp::SmoothUnion ? std::max(0.0f, k) : 0.0f;
            record.centre = test.centre;
            record.scale = test.scale;
            // A little room for the rounding of the subtree's own arithmetic.
            record.radius = test.radius +
                            0.0001f * (length3(test.centre) + 1.0f + std::abs(test.radius));
            out.recordOf[static_cast<std::size_t>(b.start)] =
                static_cast<std::int32_t>(out.records.size());
            out.records.push_back(record);
        }
    }

    BoundSphere merged;
    switch (ins.op) {
    case SdnaOp::Union:
        merged = unionBounds(a.sphere, b.sphere);
        break;
    case SdnaOp::SmoothUnion:
        merged = unionBounds(a.sphere, b.sphere);
        // The smooth minimum reaches at most k/4 below its operands.
        if (merged.bounded && k / 4.0f > 0.0f) merged.radius += (k / 4.0f) / merged.scale;
        break;
    case SdnaOp::Intersect:
        merged = (!a.sphere.bounded || (b.sphere.bounded && b.sphere.radius < a.sphere.radius))
                     ? b.sphere
                     : a.sphere;
        break;
    default:  // Subtract never grows its left operand
        merged = a.sphere;
        break;
    }
    a.sphere = merged;
    dropBoneSphere(a);
}

}  // namespace

BoundSphere unionBounds(const BoundSphere& a, const BoundSphere& b) {
    if (!a.bounded || !b.bounded) return BoundSphere{};
    const float d = length3(difference(b.centre, a.centre));
    const float scale = std::min(a.scale, b.scale);
    if (a.radius >= b.radius + d) return sphereOf(a.centre, a.radius, scale);
    if (b.radius >= a.radius + d) return sphereOf(b.centre, b.radius, scale);
    const float radius = (a.radius + d + b.radius) / 2.0f;
    const float along = (radius - a.radius) / d;
    const Vec3 centre{a.centre[0] + (b.centre[0] - a.centre[0]) * along,
                      a.centre[1] + (b.centre[1] - a.centre[1]) * along,
                      a.centre[2] + (b.centre[2] - a.centre[2]) * along};
    return sphereOf(centre, radius, scale);
}

ProgramBounds analyzeProgramBounds(const SdnaProgram& program, std::uint32_t minSubtreeLength) {
    ProgramBounds out;
    out.recordOf.assign(program.instructions.size(), -1);
    std::vector<Entry> stack;
    std::vector<OpenFrame> frames;
    stack.reserve(kSdnaMaxValues);
    frames.reserve(kSdnaMaxFrames);

    for (std::size_t i = 0; i < program.instructions.size(); ++i) {
        const SdnaInstruction& ins = program.instructions[i];
        const auto index = static_cast<std::int32_t>(i);
        if (isPrimitive(ins.op)) {
            Entry entry;
            entry.sphere = primitiveSphere(ins);
            entry.start = index;
            stack.push_back(entry);
        } else if (isCombinator(ins.op)) {
            combine(stack, out, ins, index, minSubtreeLength);
        } else if (ins.op == SdnaOp::Offset || ins.op == SdnaOp::Onion) {
            // Offset lowers the value by p[0] and Onion by at most p[0];
            // a non-positive amount never lowers it.
            if (stack.empty() || !(ins.p[0] > 0.0f)) continue;
            Entry& top = stack.back();
            if (top.sphere.bounded) top.sphere.radius += ins.p[0] / top.sphere.scale;
            dropBoneSphere(top);
        } else if (ins.op == SdnaOp::PushTransform || ins.op == SdnaOp::PushBone) {
            frames.push_back(OpenFrame{index, &ins});
        } else if (ins.op == SdnaOp::Pop) {
            if (frames.empty()) continue;
            const OpenFrame frame = frames.back();
            frames.pop_back();
            if (stack.empty()) continue;
            Entry& top = stack.back();
            top.start = frame.push;
            const SdnaInstruction& push = *frame.instruction;
            if (push.op == SdnaOp::PushBone) {
                // The pose is known only when evaluating: the sphere can be
                // tested in the bone's space only.
                top.bone = push.bone;
                top.boneSphere = top.sphere;
                top.sphere = BoundSphere{};
            } else {
                dropBoneSphere(top);
                if (top.sphere.bounded) top.sphere = toParentFrame(top.sphere, push);
            }
        }
        // Repeat, the experimental unary and unknown opcodes change nothing.
    }
    return out;
}

}  // namespace qlmr
