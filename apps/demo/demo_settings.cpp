#include "demo_settings.h"

#include <algorithm>

#include "scene/height_field.h"

namespace qlmr {

TraceSettings demoTraceSettings(const DemoOptions& options)
{
    TraceSettings settings;
    settings.maxSteps = 512;
    settings.lod = options.lod;
    settings.lodBias = options.lodBias;
    settings.normalMode = options.geometricNormals ? 0 : options.cubicNormals ? 2 : 1;
    settings.start = options.start;
    settings.startOffset = options.startOffset;
    settings.seedOracle = options.seedOracle;
    // The march subtracts this from a field's largest log2 size in signed
    // 32-bit arithmetic. From kMaxFieldLevels up every value puts the seed
    // level at its floor for any field, so larger ones (a negative
    // --shell-log2 wraps to one) are capped to it: unchanged, they would
    // wrap to a negative shell size and seed at the top level, or overflow.
    settings.shellLog2 = std::min(options.shellLog2, kMaxFieldLevels);
    settings.snapToPixelGrid = true;
    return settings;
}

RenderSettings demoRenderSettings(const DemoOptions& options)
{
    RenderSettings settings;
    settings.shadows = options.shadows;
    return settings;
}

} // namespace qlmr
