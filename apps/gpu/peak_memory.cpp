#include "peak_memory.h"

#include <sys/resource.h>

namespace qlmr {

std::uint64_t peakResidentBytes()
{
    rusage usage{};
    if (getrusage(RUSAGE_SELF, &usage) != 0)
        return 0;
    // Linux reports the maximum resident set size in kilobytes.
    return static_cast<std::uint64_t>(usage.ru_maxrss) * 1024u;
}

} // namespace qlmr
