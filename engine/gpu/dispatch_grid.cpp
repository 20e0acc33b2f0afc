#include "gpu/dispatch_grid.h"

#include "gpu/vulkan_context.h"

#include <algorithm>
#include <limits>

namespace qlmr {

DispatchGrid linearGrid(std::uint64_t groups, const std::array<std::uint32_t, 3>& maxGroups)
{
    const std::uint64_t rowLimit = std::max<std::uint32_t>(maxGroups[0], 1);
    const std::uint64_t rows = std::max<std::uint64_t>((groups + rowLimit - 1) / rowLimit, 1);
    const std::uint64_t perRow = (groups + rows - 1) / rows;
    constexpr std::uint64_t kMax = std::numeric_limits<std::uint32_t>::max();
    return {static_cast<std::uint32_t>(perRow), static_cast<std::uint32_t>(std::min(rows, kMax))};
}

DispatchGrid linearDispatch(const VulkanContext& context, std::uint64_t items)
{
    return linearGrid((items + QLMR_LINEAR_GROUP - 1) / QLMR_LINEAR_GROUP, context.maxComputeWorkGroupCount);
}

} // namespace qlmr
