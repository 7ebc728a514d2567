#include "standardstreams.h"

#include <cstdio>
#include <windows.h>

bool image::openMissingStandardStreams()
{
    // The C runtime keeps descriptors 0 to 2 for the standard streams even
    // when the process has no handle for them, so no file ever gets one. A
    // stream without a handle is given NUL, so that what is written to it is
    // dropped, as on /dev/null, instead of failing the command.
    const struct {
        DWORD id;
        std::FILE *stream;
        const char *mode;
    } streams[] = {{STD_INPUT_HANDLE, stdin, "rb"}, {STD_OUTPUT_HANDLE, stdout, "wb"}, {STD_ERROR_HANDLE, stderr, "wb"}};
    for (const auto &standard : streams) {
        const HANDLE handle = GetStdHandle(standard.id);
        if ((handle == nullptr || handle == INVALID_HANDLE_VALUE)
            && !std::freopen("NUL", standard.mode, standard.stream))
            return false;
    }
    return true;
}
