#pragma once

#include "content/quad_cage.h"
#include "content/radial_noise.h"
#include "content/shell_bake.h"
#include "scene/scene.h"
#include "scene/thread_pool.h"
#include "scene/vec3.h"

namespace qlmr {

// The noise-displaced sphere of RadialSourceParams as a bake source. Holds
// only a pointer to the parameters, which the caller keeps alive and
// unchanged while the source is in use; safe to sample from many threads.
class RadialSource final : public BakeSource {
public:
    // Throws std::invalid_argument for parameters checkRadialSourceParams refuses.
    explicit RadialSource(const RadialSourceParams& params) : params(&params) { checkRadialSourceParams(params); }

    // t is where the ray leaves the surface (0 from outside, maxT when it
    // never does); the colour is a rock tint that brightens with the
    // displacement, with a fine grain.
    void sample(BakeHit& out, const float origin[3], const float dir[3], float maxT, bool wantColor) const override;
    float maxDistance(float inset) const override;

private:
    const RadialSourceParams* params;
};

// A Lipschitz bound of radialDistance along any ray: marching by distance / K
// never steps across the surface.
float radialStepBound(const RadialSourceParams& params);

// Distance from o along the unit direction d to where the ray leaves the
// displaced sphere: 0 when o lies outside, maxT when the ray is still inside
// there. Conservative steps up to the first point outside, then bisection.
// A distance that is not finite (parameters such as a NaN amplitude) or a
// step that no longer moves the ray ends the march with maxT.
float radialExit(const RadialSourceParams& params, Vec3 o, Vec3 d, float maxT);

// bakeShells over a RadialSource of params that lives for the call.
ShellBakeStats bakeRadialShells(Scene& scene, const QuadCage& cage, const RadialSourceParams& params,
                                const ShellBakeOptions& options, ThreadPool& pool);

} // namespace qlmr
