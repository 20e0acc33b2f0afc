#include "standard_streams.h"

#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

namespace qlmr {

void occupyClosedStandardStreams() {
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
