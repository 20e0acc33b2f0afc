#include "scene_modes.h"

namespace qlmr {

int runSceneMode(const GpuTestOptions& options, std::FILE* out)
{
    // The scene comparisons are not part of this build yet; say so plainly
    // instead of rendering something that looks like a result.
    std::fprintf(out, "scene \"%s\": the scene modes are not available in this build; use --sdna, --random or --sculpt\n",
                 options.scene.c_str());
    return 1;
}

} // namespace qlmr
