#include "scene/scene_tracer.h"

namespace qlmr {

SceneTracer::SceneTracer(const Scene& scene_, const TraceSettings& settings_)
    : scene(&scene_), settings(settings_)
{
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
