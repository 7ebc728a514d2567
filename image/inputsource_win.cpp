#include "inputsource.h"

#include <QFileInfo>
#include <QtGlobal>

#include <windows.h>

namespace {

// The system's text for an error code of GetLastError().
QString systemError(DWORD code)
{
    return qt_error_string(int(code));
}

bool endOfStream(DWORD code)
{
    return code == ERROR_BROKEN_PIPE || code == ERROR_HANDLE_EOF || code == ERROR_PIPE_NOT_CONNECTED;
}

// How long a read waits for a stream before it asks again whether to stop.
constexpr DWORD kWaitMs = 20;

} // namespace

struct image::InputSource::System {
    HANDLE handle = INVALID_HANDLE_VALUE;
    bool owned = true; // false for standard input, which stays open
    DWORD type = FILE_TYPE_UNKNOWN;
    bool peekable = true; // false for a pipe that cannot say what it holds
    BY_HANDLE_FILE_INFORMATION info{};
    QString error;
};

image::InputSource::InputSource(const QString &fileName) : system(std::make_unique<System>())
{
    if (fileName == QLatin1String("/dev/stdin")) {
        // Standard input by the name it has on Linux, so that a pipe works the same.
        system->handle = GetStdHandle(STD_INPUT_HANDLE);
        system->owned = false;
        if (system->handle == nullptr)
            system->handle = INVALID_HANDLE_VALUE;
    } else {
        // Backup semantics open a folder too, so that it can be told apart.
        system->handle = CreateFileW(reinterpret_cast<const wchar_t *>(fileName.utf16()), GENERIC_READ,
                                     FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                     OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    }
    if (system->handle == INVALID_HANDLE_VALUE) {
        system->error = systemError(GetLastError());
        return;
    }
    system->type = GetFileType(system->handle);
    if (system->type == FILE_TYPE_DISK && !GetFileInformationByHandle(system->handle, &system->info))
        system->error = systemError(GetLastError());
}

image::InputSource::~InputSource()
{
    if (system->handle != INVALID_HANDLE_VALUE && system->owned)
        CloseHandle(system->handle);
}

bool image::InputSource::isOpen() const
{
    return system->handle != INVALID_HANDLE_VALUE && system->error.isEmpty();
}

bool image::InputSource::isFolder() const
{
    return (system->info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

qint64 image::InputSource::size() const
{
    if (system->type != FILE_TYPE_DISK)
        return -1;
    return qint64(quint64(system->info.nFileSizeHigh) << 32 | system->info.nFileSizeLow);
}

QString image::InputSource::error() const
{
    return system->error;
}

qint64 image::InputSource::read(char *buffer, qint64 max, const image::StopCheck &stop)
{
    if (system->type == FILE_TYPE_PIPE && system->peekable) {
        // A pipe is read once it holds data (or its writer is gone), so that
        // a stop request ends the wait. One that cannot say (a Unix pipe
        // under Wine) is read plainly.
        while (true) {
            DWORD available = 0;
            if (!PeekNamedPipe(system->handle, nullptr, 0, nullptr, &available, nullptr)) {
                const DWORD code = GetLastError();
                if (endOfStream(code))
                    return 0;
                system->peekable = false;
                break;
            }
            if (available > 0)
                break;
            if (stop && stop())
                return kStopped;
            Sleep(kWaitMs);
        }
    }
    // A console reads a line at a time, and only into a small buffer.
    const qint64 most = system->type == FILE_TYPE_CHAR ? 4096 : MAXDWORD;
    DWORD done = 0;
    const BOOL ok = ReadFile(system->handle, buffer, DWORD(qMin(max, most)), &done, nullptr);
    const DWORD code = ok ? ERROR_SUCCESS : GetLastError();
    // Ctrl+C ends a console's read (with nothing, or as aborted) before its
    // handler has run: the stop request is awaited a moment rather than the
    // input taken as ended.
    if (system->type == FILE_TYPE_CHAR && done == 0 && stop) {
        for (int waits = 0; waits < 5; ++waits) {
            if (stop())
                return kStopped;
            Sleep(kWaitMs);
        }
    }
    if (ok || endOfStream(code))
        return qint64(done);
    system->error = systemError(code);
    return -1;
}

QString image::inputFileProblem(const QString &fileName)
{
    if (fileName == QLatin1String("/dev/stdin"))
        return {};
    const QFileInfo info(fileName);
    return !info.exists()       ? QStringLiteral("No such file or directory")
           : info.isDir()       ? QStringLiteral("is a folder")
           : !info.isReadable() ? QStringLiteral("Permission denied")
                                : QString();
}
