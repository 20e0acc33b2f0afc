#include "frame_timing.h"

#include <cstdio>
#include <cstdlib>
#include <ctime>

namespace qlmr::bench {

double processCpuSeconds()
{
    timespec now{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
    return double(now.tv_sec) + double(now.tv_nsec) * 1e-9;
}

std::string loadAverage()
{
    double load[3] = {};
    if (getloadavg(load, 3) != 3)
        return "unknown";
    char text[64];
    std::snprintf(text, sizeof(text), "%.2f %.2f %.2f", load[0], load[1], load[2]);
    return text;
}

} // namespace qlmr::bench
