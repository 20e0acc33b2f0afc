#pragma once

#include <cstdint>
#include <vector>

#include "scene/height_field.h"
#include "scene/scene.h"
#include "scene/settings.h"

namespace qlmr {

// The prepared, read-only snapshot of a Scene that the CPU kernels trace.
// Its views point into the fields' storage, so rectangle edits keep it valid;
// fields or prisms added later, a replaced field or a moved scene need a new
// tracer. The scene must outlive it.
struct SceneTracer {
    const Scene* scene = nullptr;
    TraceSettings settings;
    std::vector<FieldView> views;      // one per field, in field order
    std::vector<uint32_t> allPrisms;   // 0 .. prism count - 1
    bool anyPixelGrid = false;         // some field has a pixel grid

    // Throws std::out_of_range "invalid vector subscript" for a prism whose
    // field does not exist, and std::invalid_argument "prism on a field with
    // no samples" for one whose field is empty (moved from).
    SceneTracer(const Scene& scene, const TraceSettings& settings);
};

} // namespace qlmr
