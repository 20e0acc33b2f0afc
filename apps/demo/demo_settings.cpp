#include "demo_settings.h"

#include <algorithm>

namespace qlmr {

TraceSettings demoTraceSettings(const DemoOptions& options)
{
    TraceSettings settings;
    settings.maxSteps = 512;
    settings.lod = options.lod;
    settings.lodBias = options.lodBias;
    settings.normalMode = options.geometricNormals ? 0 : options.cubicNormals ? 2 : 1;
    settings.start = options.start;
    // Every offset from kTopStartOffset up starts the walk at the top
    // level; the march adds the offset to signed levels, so larger values
    // are brought down to it rather than let them wrap to negative ones.
    settings.startOffset = std::min(options.startOffset, kTopStartOffset);
    settings.seedOracle = options.seedOracle;
    settings.shellLog2 = options.shellLog2;
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
