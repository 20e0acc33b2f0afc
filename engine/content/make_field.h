#pragma once

#include "content/field_image.h"
#include "scene/height_field.h"

namespace qlmr {

// The traced field of an image: heights, then albedo and materials when the
// image has them. The field's size checks (powers of two) throw through.
DisplacementField makeField(const FieldImage& image, bool clampEdges);

} // namespace qlmr
