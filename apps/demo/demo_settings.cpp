#include "demo_settings.h"

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
