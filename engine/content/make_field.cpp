#include "content/make_field.h"

#include <span>

namespace qlmr {

DisplacementField makeField(const FieldImage& image, bool clampEdges)
{
    DisplacementField field(image.width, image.height, std::span<const float>(image.heights), clampEdges);
    if (!image.colors.empty()) {
        field.setAlbedo(image.width, image.height, std::span<const std::uint32_t>(image.colors));
    }
    if (!image.materials.empty()) {
        field.setMaterials(std::span<const std::uint8_t>(image.materials));
    }
    return field;
}

} // namespace qlmr
