#include "standardstreams.h"

#include <fcntl.h>
#include <io.h>
#include <windows.h>

bool image::openMissingStandardStreams()
{
    // A program started from the Start menu or Explorer has no standard
    // handles at all. The C runtime marks descriptors 0 to 2 as taken all the
    // same, so no file the program opens gets one. A missing one is pointed at
    // NUL where the runtime lets it, so that what is written to it is dropped,
    // as on /dev/null, instead of failing; where it does not, the stream stays
    // without a handle. Neither is a reason not to start.
    const DWORD ids[] = {STD_INPUT_HANDLE, STD_OUTPUT_HANDLE, STD_ERROR_HANDLE};
    for (int fd = 0; fd < 3; ++fd) {
        const HANDLE handle = GetStdHandle(ids[fd]);
        if (handle != nullptr && handle != INVALID_HANDLE_VALUE)
            continue;
        const int null = _open("NUL", (fd == 0 ? _O_RDONLY : _O_WRONLY) | _O_BINARY);
        if (null > 2) {
            _dup2(null, fd);
            _close(null);
        }
    }
    return true;
}
