#include "reportfile.h"

#include <QDeadlineTimer>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <io.h>
#include <windows.h>

namespace cli {

// The report, opened for appending: read and written where this user may
// read it, so that a cut last line can be seen; written only otherwise. A
// FIFO without a reader fails the open at once rather than holding it; the
// writes then block as on any file. Links are followed as the system does.
int openForAppending(const QString &fileName, QString *reason)
{
    const auto open = [&](int access) {
        return ::_wopen(reinterpret_cast<const wchar_t *>(fileName.utf16()),
                        access | _O_APPEND | _O_CREAT | _O_BINARY | _O_NOINHERIT, _S_IREAD | _S_IWRITE);
    };
    int fd = open(_O_RDWR);
    if (fd < 0 && errno == EACCES)
        fd = open(_O_WRONLY);
    if (fd < 0)
        *reason = QString::fromLocal8Bit(std::strerror(errno));
    return fd;
}

// Under the lock, which every program appending to a report takes (one byte
// far past any end of file, which no read or write touches): the end of a
// cut last line, then the whole record, continued where a write is cut short
// so that its error is the system's reason; then to the disk.
int appendWhole(int fd, const QByteArray &record)
{
    const HANDLE handle = reinterpret_cast<HANDLE>(::_get_osfhandle(fd));
    const bool file = GetFileType(handle) == FILE_TYPE_DISK;
    OVERLAPPED lockAt{};
    lockAt.Offset = 0xFFFFFFFE;
    lockAt.OffsetHigh = 0x7FFFFFFF;
    bool locked = false;
    for (QDeadlineTimer wait(kAppendLockWaitMs); file;) {
        locked = LockFileEx(handle, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0, &lockAt) != 0;
        if (locked || GetLastError() != ERROR_LOCK_VIOLATION || wait.hasExpired())
            break;
        Sleep(10);
    }
    QByteArray bytes = record;
    char last = '\n';
    if (file && ::_lseeki64(fd, -1, SEEK_END) >= 0 && ::_read(fd, &last, 1) == 1 && last != '\n')
        bytes.prepend('\n');
    int error = 0;
    for (qsizetype done = 0; done < bytes.size() && error == 0;) {
        const int written = ::_write(fd, bytes.constData() + done, unsigned(bytes.size() - done));
        if (written > 0)
            done += written;
        else
            error = written == 0 ? ENOSPC : errno;
    }
    if (error == 0 && ::_commit(fd) != 0)
        error = errno;
    if (locked)
        UnlockFileEx(handle, 0, 1, 0, &lockAt);
    return error;
}

void closeAppending(int fd)
{
    ::_close(fd);
}

} // namespace cli
