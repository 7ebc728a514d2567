#include "standardstreams.h"

#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

bool image::openMissingStandardStreams()
{
    // A file opened gets the lowest free descriptor: a closed 0, 1 or 2 would
    // be the next file's.
    for (int fd = 0; fd <= 2; ++fd) {
        if (::fcntl(fd, F_GETFD) != -1 || errno != EBADF)
            continue;
        const int opened = ::open("/dev/null", fd == 0 ? O_RDONLY : O_WRONLY);
        if (opened != fd) {
            if (opened >= 0)
                ::close(opened);
            return false;
        }
    }
    return true;
}
