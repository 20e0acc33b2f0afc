#pragma once

#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

namespace qlmr {

// Gives each closed standard stream (input, output, error) /dev/null,
// opened for reading only. Started with one of them closed (">&-",
// "2>&-"), a program would otherwise hand that number to the next file it
// opens, and its console lines would land in that file: a log or a results
// file it keeps open while it reports. Opened read-only, the stream still
// refuses every write, as the closed one did, so a lost report is still
// noticed by whoever checks its writes.
inline void occupyClosedStandardStreams()
{
    for (int stream = STDIN_FILENO; stream <= STDERR_FILENO; ++stream) {
        if (fcntl(stream, F_GETFD) != -1 || errno != EBADF)
            continue;
        // The lower streams are open by now, so the lowest free number,
        // which open takes, is this one; dup2 covers any other case.
        const int opened = open("/dev/null", O_RDONLY);
        if (opened >= 0 && opened != stream) {
            dup2(opened, stream);
            close(opened);
        }
    }
}

} // namespace qlmr
