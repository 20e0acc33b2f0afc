#pragma once

// Wall and process CPU time of a frame, and the best of several frames.
// CPU time counts every thread of the process, so it shows what a frame
// costs the machine even while other work shares the cores.

#include <chrono>
#include <cstdint>
#include <limits>
#include <string>

namespace qlmr::bench {

// CPU seconds used so far by all threads of this process.
double processCpuSeconds();

// The 1, 5 and 15 minute load averages as "a b c", or "unknown".
std::string loadAverage();

struct FrameTime {
    double wallMs = 0.0;
    double cpuMs = 0.0;
};

// Runs render() once and measures it.
template <class Render>
FrameTime timeFrame(Render&& render)
{
    const double cpu0 = processCpuSeconds();
    const auto wall0 = std::chrono::steady_clock::now();
    render();
    const auto wall1 = std::chrono::steady_clock::now();
    const double cpu1 = processCpuSeconds();
    return {std::chrono::duration<double, std::milli>(wall1 - wall0).count(), (cpu1 - cpu0) * 1000.0};
}

// The fastest wall time and the smallest CPU time over a view's frames
// (every frame traces the same rays, so each minimum is the least noisy
// figure of its kind).
struct BestTimes {
    double wallMs = std::numeric_limits<double>::infinity();
    double cpuMs = std::numeric_limits<double>::infinity();

    void add(const FrameTime& frame)
    {
        wallMs = frame.wallMs < wallMs ? frame.wallMs : wallMs;
        cpuMs = frame.cpuMs < cpuMs ? frame.cpuMs : cpuMs;
    }
};

// What one tracer did for one view: its best times and the rays of one frame.
struct ViewFigures {
    BestTimes best;
    std::uint64_t primary = 0;
    std::uint64_t shadow = 0;
    std::uint64_t hits = 0;

    std::uint64_t rays() const { return primary + shadow; }
    double mraysPerSecond() const { return double(rays()) / (best.wallMs * 1000.0); }
    double mraysPerCpuSecond() const { return double(rays()) / (best.cpuMs * 1000.0); }
    double hitFraction() const { return primary == 0 ? 0.0 : double(hits) / double(primary); }
};

} // namespace qlmr::bench
