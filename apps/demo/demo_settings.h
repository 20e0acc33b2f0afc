#pragma once

#include "demo_options.h"
#include "scene/settings.h"

namespace qlmr {

// The march settings the demo options ask for: 512 steps, pixel-grid snap
// on, and a normal mode where --geometric-normals wins over --cubic-normals.
// The start offset is unsigned: a huge one (also a negative --start-offset,
// which wraps) starts every walk at the top level.
TraceSettings demoTraceSettings(const DemoOptions& options);

// The default lighting with the shadows switch from the options.
RenderSettings demoRenderSettings(const DemoOptions& options);

} // namespace qlmr
