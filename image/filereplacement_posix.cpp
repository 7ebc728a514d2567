#include "filereplacement.h"

#include "inputfile.h"

#include <QFile>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {

QString systemError()
{
    return QString::fromLocal8Bit(std::strerror(errno));
}

} // namespace

fs::path image::nativePath(const QString &fileName)
{
    return fs::path(image::encodeFileName(fileName).toStdString());
}

std::optional<image::FileAttributes> image::attributesOf(const fs::path &path)
{
    struct stat info {};
    if (::stat(path.c_str(), &info) != 0)
        return std::nullopt;
    return FileAttributes{quint32(info.st_mode & 07777), qint64(info.st_uid), qint64(info.st_gid)};
}

bool image::createNewFile(const fs::path &path, const std::optional<FileAttributes> &attributes, QFile &file,
                          FileIdentity *identity, bool *nameTaken, QString *reason)
{
    // The usual permissions of a new file less the process's umask; the
    // owner's alone while it replaces a file, until it has that file's.
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                          attributes ? 0600 : 0666);
    *nameTaken = fd < 0 && errno == EEXIST;
    struct stat written {};
    if (fd < 0 || ::fstat(fd, &written) != 0
        || !file.open(fd, QIODevice::WriteOnly | QIODevice::Unbuffered, QFileDevice::AutoCloseHandle)) {
        *reason = systemError();
        if (fd >= 0)
            ::close(fd);
        return false;
    }
    *identity = {quint64(written.st_dev), quint64(written.st_ino)};
    return true;
}

bool image::passAttributes(QFile &file, const FileAttributes &attributes, QString *reason)
{
    // The owner is refused to most users: the file then stays the process's.
    [[maybe_unused]] const int owned = ::fchown(file.handle(), uid_t(attributes.owner), gid_t(attributes.group));
    if (::fchmod(file.handle(), mode_t(attributes.mode & 0777)) == 0)
        return true;
    *reason = systemError();
    return false;
}

bool image::flushToDisk(QFile &file, QString *reason)
{
    errno = 0;
    if (file.flush() && ::fsync(file.handle()) == 0)
        return true;
    *reason = errno != 0 ? systemError() : file.errorString();
    return false;
}

bool image::isFile(const fs::path &path, const FileIdentity &identity)
{
    struct stat info {};
    return ::lstat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode) && quint64(info.st_dev) == identity.volume
        && quint64(info.st_ino) == identity.index;
}

bool image::replaceFile(const fs::path &from, const fs::path &to, QString *reason)
{
    if (std::rename(from.c_str(), to.c_str()) == 0)
        return true;
    if (reason)
        *reason = systemError();
    return false;
}

bool image::isReservedDevice(const fs::path &)
{
    return false; // every device is a file the library sees
}

bool image::openForWriting(QFile &file, const fs::path &path)
{
    const int fd = ::open(path.c_str(), O_WRONLY | O_CLOEXEC);
    if (fd >= 0 && file.open(fd, QIODevice::WriteOnly | QIODevice::Unbuffered, QFileDevice::AutoCloseHandle))
        return true;
    if (fd >= 0)
        ::close(fd);
    return false;
}

bool image::sameFile(const fs::path &a, const fs::path &b)
{
    // Any kind of file, devices and FIFOs included.
    struct stat first {}, second {};
    return ::stat(a.c_str(), &first) == 0 && ::stat(b.c_str(), &second) == 0 && first.st_dev == second.st_dev
        && first.st_ino == second.st_ino;
}
