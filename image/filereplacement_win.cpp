#include "filereplacement.h"

#include <QFile>
#include <QtGlobal>

#include <fcntl.h>
#include <io.h>
#include <windows.h>

namespace fs = std::filesystem;

namespace {

QString systemError()
{
    return qt_error_string(int(GetLastError()));
}

// The identity and kind of the file an open handle is on.
bool identityOf(HANDLE handle, image::FileIdentity *identity, DWORD *attributes)
{
    BY_HANDLE_FILE_INFORMATION info{};
    if (!GetFileInformationByHandle(handle, &info))
        return false;
    *identity = {info.dwVolumeSerialNumber, quint64(info.nFileIndexHigh) << 32 | info.nFileIndexLow};
    *attributes = info.dwFileAttributes;
    return true;
}

HANDLE handleOf(QFile &file)
{
    return reinterpret_cast<HANDLE>(_get_osfhandle(file.handle()));
}

} // namespace

fs::path image::nativePath(const QString &fileName)
{
    return fs::path(fileName.toStdWString());
}

std::optional<image::FileAttributes> image::attributesOf(const fs::path &)
{
    return std::nullopt;
}

bool image::createNewFile(const fs::path &path, const std::optional<FileAttributes> &, QFile &file,
                          FileIdentity *identity, bool *nameTaken, QString *reason)
{
    // Shared for reading only: while it is written, nobody renames or removes it.
    const HANDLE handle = CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_NEW,
                                      FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        const DWORD code = GetLastError();
        *nameTaken = code == ERROR_FILE_EXISTS || code == ERROR_ALREADY_EXISTS;
        *reason = qt_error_string(int(code));
        return false;
    }
    *nameTaken = false;
    DWORD attributes = 0;
    const bool known = identityOf(handle, identity, &attributes);
    const int fd = known ? _open_osfhandle(reinterpret_cast<intptr_t>(handle), _O_WRONLY | _O_BINARY) : -1;
    if (fd < 0) {
        *reason = known ? QStringLiteral("no file descriptor") : systemError();
        CloseHandle(handle);
        return false;
    }
    if (!file.open(fd, QIODevice::WriteOnly | QIODevice::Unbuffered, QFileDevice::AutoCloseHandle)) {
        *reason = file.errorString();
        _close(fd);
        return false;
    }
    return true;
}

bool image::passAttributes(QFile &, const FileAttributes &, QString *)
{
    return true;
}

bool image::flushToDisk(QFile &file, QString *reason)
{
    if (file.flush() && FlushFileBuffers(handleOf(file)))
        return true;
    *reason = file.error() != QFile::NoError ? file.errorString() : systemError();
    return false;
}

bool image::isFile(const fs::path &path, const FileIdentity &identity)
{
    // The name itself, not what a link or junction there leads to.
    const HANDLE handle = CreateFileW(path.c_str(), FILE_READ_ATTRIBUTES,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                      FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (handle == INVALID_HANDLE_VALUE)
        return false;
    FileIdentity found;
    DWORD attributes = 0;
    const bool known = identityOf(handle, &found, &attributes);
    CloseHandle(handle);
    return known && !(attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT))
        && found.volume == identity.volume && found.index == identity.index;
}

bool image::replaceFile(const fs::path &from, const fs::path &to, QString *reason)
{
    // Write-through: the call returns once the rename is on the disk.
    if (MoveFileExW(from.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
        return true;
    if (reason)
        *reason = systemError();
    return false;
}

bool image::isReservedDevice(const fs::path &path)
{
    const HANDLE handle = CreateFileW(path.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                      OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (handle == INVALID_HANDLE_VALUE)
        return false;
    const DWORD type = GetFileType(handle);
    CloseHandle(handle);
    return type == FILE_TYPE_CHAR || type == FILE_TYPE_PIPE;
}

bool image::openForWriting(QFile &file, const fs::path &path)
{
    const HANDLE handle = CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                      OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE)
        return false;
    const int fd = _open_osfhandle(reinterpret_cast<intptr_t>(handle), _O_WRONLY | _O_BINARY);
    if (fd < 0) {
        CloseHandle(handle);
        return false;
    }
    if (file.open(fd, QIODevice::WriteOnly | QIODevice::Unbuffered, QFileDevice::AutoCloseHandle))
        return true;
    _close(fd);
    return false;
}

bool image::sameFile(const fs::path &a, const fs::path &b)
{
    std::error_code failure;
    return fs::equivalent(a, b, failure) && !failure;
}
