#pragma once

// How many workgroups a dispatch launches, in one place for every kernel:
// the round-up of an item count to whole groups, and the two-dimensional
// grid that keeps a one-dimensional kernel within the device's per-axis
// group limit.

#include "gpu/shaders/linear_dispatch.h"

#include <array>
#include <cstdint>

namespace qlmr {

class VulkanContext;

// Workgroups needed to cover `count` items in groups of `groupSize`.
inline constexpr std::uint32_t groupCount(std::uint32_t count, std::uint32_t groupSize)
{
    return static_cast<std::uint32_t>((std::uint64_t(count) + groupSize - 1) / groupSize);
}

// The workgroups of one dispatch: x by y by 1.
struct DispatchGrid {
    std::uint32_t x = 0;
    std::uint32_t y = 1;
    bool operator==(const DispatchGrid&) const = default;
};

// `groups` workgroups as rows of at most maxGroups[0] groups: one row when
// they fit, else as few rows as the limit allows, the groups spread evenly
// over them so that at most one group per row is spare. The result may
// still exceed maxGroups[1] rows for counts no device can launch; the
// one-shot run refuses such a grid.
DispatchGrid linearGrid(std::uint64_t groups, const std::array<std::uint32_t, 3>& maxGroups);

// The grid of a one-dimensional kernel (QLMR_LINEAR_GROUP items per group)
// over `items` items on the context's device.
DispatchGrid linearDispatch(const VulkanContext& context, std::uint64_t items);

} // namespace qlmr
