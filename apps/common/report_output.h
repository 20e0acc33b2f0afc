#pragma once

#include <cstdio>

namespace qlmr {

// The exit code of a program whose report lines went to `out`. A report
// that did not reach it whole (a full disk behind a redirection, a closed
// output) makes the run a failure, said on `err`: exit code 0 would tell
// whoever reads the lines next that they are all there.
inline int exitCodeWithReport(std::FILE* out, std::FILE* err, int code)
{
    if (std::fflush(out) == 0 && !std::ferror(out))
        return code;
    std::fputs("cannot write the report to standard output\n", err);
    std::fflush(err);
    return 1;
}

} // namespace qlmr
