#include "image_output.h"

#include "scene/png_writer.h"

namespace qlmr {

bool writeImage(const std::string& path, unsigned width, unsigned height, std::span<const std::uint8_t> rgba,
                std::FILE* out)
{
    if (writePng(path, width, height, rgba))
        return true;
    std::fprintf(out, "cannot write %s\n", path.c_str());
    return false;
}

} // namespace qlmr
