#include "outputfiles.h"

#include <QBuffer>
#include <QFile>
#include <QFileInfo>
#include <QRandomGenerator>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <system_error>

#ifdef Q_OS_WIN
#include <io.h>
#else
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace fs = std::filesystem;

namespace {

fs::path nativePath(const QString &fileName)
{
#ifdef Q_OS_WIN
    return fs::path(fileName.toStdWString());
#else
    return fs::path(QFile::encodeName(fileName).toStdString());
#endif
}

// Renames, with the system's reason on failure.
bool rename(const QString &from, const QString &to, QString *reason = nullptr)
{
    std::error_code failure;
    fs::rename(nativePath(from), nativePath(to), failure);
    if (failure && reason)
        *reason = QString::fromStdString(failure.message());
    return !failure;
}

QString uniqueName(const QString &fileName, const char *suffix)
{
    return QStringLiteral("%1.%2.%3")
        .arg(fileName)
        .arg(QRandomGenerator::global()->generate(), 8, 16, QLatin1Char('0'))
        .arg(QLatin1String(suffix));
}

// The reason of the last failed system call, for a failure Qt reports
// without one.
QString reasonOf(const QFile &file, int savedErrno)
{
    if (savedErrno != 0)
        return QString::fromLocal8Bit(std::strerror(savedErrno));
    return file.error() != QFile::NoError ? file.errorString() : QStringLiteral("write failed");
}

// Data written so far reaches the disk before the file is renamed, so that a
// crash after the rename cannot leave an empty or short file under the name.
bool syncToDisk(QFile &file)
{
    if (!file.flush())
        return false;
#ifdef Q_OS_WIN
    return _commit(file.handle()) == 0;
#else
    return fsync(file.handle()) == 0;
#endif
}

// A replaced file's owner and permission bits go to its successor; the owner
// only where the process may set it (as root, say).
void keepAttributes(const QFile &file, const QString &replaced)
{
    QFile::setPermissions(file.fileName(), QFile::permissions(replaced));
#ifndef Q_OS_WIN
    struct stat info {};
    // Refused to most users: the new file then stays the process's.
    if (::stat(QFile::encodeName(replaced).constData(), &info) == 0
        && ::fchown(file.handle(), info.st_uid, info.st_gid) != 0)
        return;
#endif
}

constexpr auto kNewFilePermissions = QFile::ReadOwner | QFile::WriteOwner | QFile::ReadGroup
                                   | QFile::WriteGroup | QFile::ReadOther | QFile::WriteOther;

} // namespace

OutputFiles::~OutputFiles()
{
    discard();
}

void OutputFiles::discard()
{
    for (const Entry &entry : std::as_const(pending)) {
        if (!entry.temporary.isEmpty())
            QFile::remove(entry.temporary);
    }
    pending.clear();
}

bool OutputFiles::fail(const QString &fileName, const QString &reason)
{
    if (error.isEmpty())
        error = QStringLiteral("%1: %2").arg(fileName, reason);
    return false;
}

bool OutputFiles::sameFile(const QString &a, const QString &b)
{
#ifdef Q_OS_WIN
    std::error_code failure;
    return fs::equivalent(nativePath(a), nativePath(b), failure) && !failure;
#else
    // Any kind of file, devices and FIFOs included.
    struct stat first {}, second {};
    return ::stat(QFile::encodeName(a).constData(), &first) == 0
        && ::stat(QFile::encodeName(b).constData(), &second) == 0 && first.st_dev == second.st_dev
        && first.st_ino == second.st_ino;
#endif
}

bool OutputFiles::add(const QString &fileName, const Writer &write)
{
    if (!error.isEmpty())
        return false;
    const QFileInfo info(fileName);
    // Caught here rather than at the rename, when other files may be in place.
    if (info.isDir())
        return fail(fileName, QStringLiteral("is a folder"));
    const QString target = info.exists() ? info.canonicalFilePath() : fileName;

    if (info.exists() && !info.isFile()) {
        // A device or a FIFO: written into at commit(), never replaced.
        QBuffer buffer;
        buffer.open(QIODevice::WriteOnly);
        if (!write(buffer))
            return fail(fileName, QStringLiteral("write failed"));
        pending.append({target, QString(), buffer.data()});
        return true;
    }

    // Created new (never opened over someone else's file), with the usual
    // permissions of a new file less the process's umask; unbuffered, so that
    // a write fails where the system refuses it, with the system's reason.
    QFile file;
    for (int attempt = 0;; ++attempt) {
        file.setFileName(uniqueName(target, "part"));
        if (file.open(QIODevice::WriteOnly | QIODevice::NewOnly | QIODevice::Unbuffered, kNewFilePermissions))
            break;
        if (file.exists() && attempt < 10)
            continue;
        return fail(fileName, file.errorString());
    }
    pending.append({target, file.fileName(), {}});
    errno = 0;
    if (!write(file))
        return fail(fileName, reasonOf(file, errno));
    if (info.exists())
        keepAttributes(file, target);
    errno = 0;
    if (!syncToDisk(file))
        return fail(fileName, reasonOf(file, errno));
    file.close();
    if (file.error() != QFile::NoError)
        return fail(fileName, file.errorString());
    return true;
}

OutputFiles::Writer OutputFiles::bytes(const QByteArray &contents)
{
    return [contents](QIODevice &file) { return file.write(contents) == contents.size(); };
}

bool OutputFiles::commit()
{
    if (!error.isEmpty()) {
        discard();
        return false;
    }
    // Each regular target in place, the file it replaces kept aside until
    // all are, so that a failure can put everything back.
    struct Placed {
        QString target;
        QString previous; // where the replaced file waits; empty for a new file
    };
    QList<Placed> placed;
    const auto takeBack = [&] {
        for (auto it = placed.crbegin(); it != placed.crend(); ++it) {
            const bool back = it->previous.isEmpty() ? QFile::remove(it->target) : rename(it->previous, it->target);
            if (!back)
                error += QStringLiteral("; %1 could not be restored").arg(it->target);
        }
    };
    for (const Entry &entry : std::as_const(pending)) {
        if (entry.temporary.isEmpty())
            continue;
        QString reason;
        Placed done{entry.target, {}};
        if (QFileInfo::exists(entry.target)) {
            done.previous = uniqueName(entry.target, "old");
            if (!rename(entry.target, done.previous, &reason)) {
                fail(entry.target, reason);
                takeBack();
                discard();
                return false;
            }
        }
        if (!rename(entry.temporary, entry.target, &reason)) {
            fail(entry.target, reason);
            if (!done.previous.isEmpty())
                placed.append(done); // its old file goes back too
            takeBack();
            discard();
            return false;
        }
        placed.append(done);
    }
    for (const Placed &done : std::as_const(placed)) {
        if (!done.previous.isEmpty())
            QFile::remove(done.previous);
    }
    // Devices and FIFOs last: they cannot be taken back.
    for (const Entry &entry : std::as_const(pending)) {
        if (!entry.temporary.isEmpty())
            continue;
        QFile file(entry.target);
        errno = 0;
        if (!file.open(QIODevice::WriteOnly | QIODevice::Unbuffered) || file.write(entry.direct) != entry.direct.size()) {
            fail(entry.target, reasonOf(file, errno));
            pending.clear();
            return false;
        }
    }
    pending.clear();
    return true;
}
