#include "scene/scene_tracer.h"

#include <stdexcept>

namespace qlmr {

SceneTracer::SceneTracer(const Scene& scene_, const TraceSettings& settings_)
    : scene(&scene_), settings(settings_)
{
    // The kernels look up a prism's field view without a bounds check, so a
    // prism without a field is refused here, as refreshPrisms refuses it.
    for (const Prism& prism : scene_.prisms) {
        if (prism.fieldIndex >= scene_.fields.size()) {
            throw std::out_of_range("invalid vector subscript");
        }
        // A field moved out of the scene is left empty; the march would
        // read levels and samples it does not have.
        if (scene_.fields[prism.fieldIndex].levels == 0) {
            throw std::invalid_argument("prism on a field with no samples");
        }
    }
    views.reserve(scene_.fields.size());
    for (const DisplacementField& field : scene_.fields) {
        views.push_back(field.view());
        if (field.pixelGrid != 0) {
            anyPixelGrid = true;
        }
    }
    allPrisms.resize(scene_.prisms.size());
    for (uint32_t i = 0; i < allPrisms.size(); ++i) {
        allPrisms[i] = i;
    }
}

} // namespace qlmr
