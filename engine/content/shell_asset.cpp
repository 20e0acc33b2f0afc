#include "content/shell_asset.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <stdexcept>

namespace qlmr {

namespace {

const Vec3& vertexAt(const QuadCage& cage, std::uint32_t index)
{
    if (index >= cage.vertices.size()) {
        throw std::out_of_range("invalid vector subscript");
    }
    return cage.vertices[index];
}

} // namespace

std::uint32_t makeShellAsset(Scene& scene, const QuadCage& cage, std::uint32_t fieldIndex,
                             const ShellAssetOptions& options)
{
    if (options.fadeEdges) {
        if (fieldIndex >= scene.fields.size()) {
            throw std::out_of_range("invalid vector subscript");
        }
        DisplacementField faded = scene.fields[fieldIndex].withEdgeFade(options.border);
        fieldIndex = static_cast<std::uint32_t>(scene.addField(std::move(faded)));
    }

    constexpr float infinity = std::numeric_limits<float>::infinity();
    for (const auto& quad : cage.quads) {
        const Vec3 p0 = vertexAt(cage, quad[0]);
        const Vec3 p1 = vertexAt(cage, quad[1]);
        const Vec3 p2 = vertexAt(cage, quad[2]);
        const Vec3 p3 = vertexAt(cage, quad[3]);
        const Vec3 e1 = p1 - p0;
        const Vec3 e3 = p3 - p0;
        // A prism is a parallelepiped: the fourth corner must close the
        // parallelogram of the first three.
        const Vec3 deviation = p2 - (p1 + p3 - p0);
        const float longest = std::max(length(e1), length(e3));
        if (length(deviation) > 0.0001f * longest) {
            throw std::invalid_argument("shell asset: quad is not a parallelogram (curved shells are stage S2)");
        }
        // Collinear or collapsed edges would give the prism a singular matrix.
        const Vec3 normal = cross(e1, e3);
        if (!(length(normal) > 1e-6f * longest * longest)) {
            throw std::invalid_argument("shell asset: quad has no area");
        }

        Prism prism;
        prism.origin = p0;
        prism.axisU = e1;
        prism.axisV = e3;
        prism.axisH = normalizeSafe(normal) * options.depth;
        prism.fieldIndex = fieldIndex;
        prism.boundsMin = {infinity, infinity, infinity};
        prism.boundsMax = {-infinity, -infinity, -infinity};
        scene.addPrism(prism);
    }
    return fieldIndex;
}

} // namespace qlmr
