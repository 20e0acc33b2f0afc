#pragma once

#include <array>
#include <cstdint>
#include <vector>

#include "content/quad_cage.h"
#include "scene/scene.h"
#include "scene/thread_pool.h"
#include "scene/vec3.h"

namespace qlmr {

// What one ray cast into a bake source found.
struct BakeHit {
    float t = 0.0f;             // distance along the ray to where it leaves the surface, at most maxT
    bool originOutside = false; // the ray started outside the surface (t is then 0)
    // R, G, B, A; stored as the baked albedo word as they stand (red in the low byte).
    std::array<std::uint8_t, 4> color{0, 0, 0, 255};
};

// A closed surface that shell baking can cast rays through. Both operations
// are called from several pool threads at once, so implementations must not
// change shared state.
class BakeSource {
public:
    virtual ~BakeSource() = default;
    // Casts from origin along the unit direction dir up to maxT and fills out;
    // the colour only when wantColor is set.
    virtual void sample(BakeHit& out, const float origin[3], const float dir[3], float maxT,
                        bool wantColor) const = 0;
    // The ray length for a quad whose rays start `inset` below the cage.
    virtual float maxDistance(float inset) const = 0;
};

struct ShellBakeOptions {
    std::uint32_t resolution = 128; // samples per side of every baked field, a power of two
    float outerExtent = 0.08f;      // lateral growth of each quad, a fraction of each edge on both sides
    bool adaptive = true;           // probe every quad first to tune both extents
    float innerExtent = 0.05f;      // how far below the cage quad the rays start, along its normal
    float maxExtent = 1.0f;         // cap of outerExtent while probing
    bool radialNormals = false;     // point every quad's normal away from center
    Vec3 center{};
};

struct ShellBakeStats {
    std::uint32_t prismsBaked = 0;
    std::uint32_t outsideSamples = 0; // samples of the final bakes whose ray started outside
    double seconds = 0.0;             // wall time of the whole bake
    std::uint64_t bytes = 0;          // height and bounds storage of the new fields
    double bakedArea = 0.0;           // sum of |U x V| over the enlarged quads
    double cageArea = 0.0;            // the same over the cage quads
    float maxOuterExtent = 0.0f;      // largest final outerExtent
};

// A cage quad as a flat frame: U and V are the mean opposite edges, made
// perpendicular to the unit normal N.
struct QuadFrame {
    Vec3 centre{};
    Vec3 axisU{};
    Vec3 axisV{};
    Vec3 normal{};
};

// Throws std::out_of_range "invalid vector subscript" for a vertex index
// outside the cage.
QuadFrame quadFrame(const QuadCage& cage, std::uint32_t quadIndex);

// One quad's bake: heights are ray exit distances, row-major, tapered to 0
// at the border; maxHeight is the largest distance before the taper.
struct BakedShell {
    Vec3 origin{};
    Vec3 axisU{};
    Vec3 axisV{};
    Vec3 normal{};
    float maxHeight = 0.0f;
    std::vector<float> heights;
    std::vector<std::uint32_t> colors; // empty without colour
    std::uint32_t outsideCount = 0;
};

// Casts resolution^2 rays along the frame's normal from a grid on the quad
// grown by outerExtent of each edge on both sides and lowered by inset.
BakedShell bakeShell(const QuadFrame& frame, float outerExtent, std::uint32_t resolution, const BakeSource& source,
                      float inset, bool wantColor);

// Appends one field (heights and albedo, resolution^2) and one prism per
// cage quad, in quad order. The probing pass and the bake pass each run one
// pool item per quad; the scene is changed only afterwards, on the calling
// thread. The caller refreshes the scene's prisms afterwards. Throws
// std::invalid_argument "field width must be a power of two" for a bad
// resolution and "field too large" for one above the largest field side
// (when there is a quad to bake), and std::out_of_range "invalid
// vector subscript" for a vertex index outside the cage, both before
// anything is baked or added.
ShellBakeStats bakeShells(Scene& scene, const QuadCage& cage, const BakeSource& source,
                          const ShellBakeOptions& options, ThreadPool& pool);

} // namespace qlmr
