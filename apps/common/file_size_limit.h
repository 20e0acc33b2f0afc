#pragma once

#include <csignal>

namespace qlmr {

// A write past the file size limit (ulimit -f) raises SIGXFSZ, which by
// default ends the program on the spot: a half-written file stays behind
// and the report lines still buffered are lost. Ignored, the write fails
// with EFBIG instead and is reported like a write to a full disk. Programs
// started from here inherit the setting unless they are given the default
// action back, as the showcase launcher does for its children.
inline void failWritesPastFileSizeLimit()
{
    std::signal(SIGXFSZ, SIG_IGN);
}

} // namespace qlmr
