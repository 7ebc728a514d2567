#include "outputfiles.h"

#include <QBuffer>
#include <QFile>
#include <QRandomGenerator>

#include <cerrno>
#include <cstring>
#include <system_error>

#ifdef Q_OS_WIN
#include <io.h>
#else
#include <fcntl.h>
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
    return fs::path(image::encodeFileName(fileName).toStdString());
#endif
}

QString reasonOf(const std::error_code &failure)
{
    return QString::fromStdString(failure.message());
}

// The reason of the last failed system call, for a failure Qt reports
// without one.
QString reasonOf(const QFile &file, int savedErrno)
{
    if (savedErrno != 0)
        return QString::fromLocal8Bit(std::strerror(savedErrno));
    return file.error() != QFile::NoError ? file.errorString() : QStringLiteral("write failed");
}

// Renames, with the system's reason on failure.
bool renameFile(const fs::path &from, const fs::path &to, QString *reason = nullptr)
{
    std::error_code failure;
    fs::rename(from, to, failure);
    if (failure && reason)
        *reason = reasonOf(failure);
    return !failure;
}

bool removeFile(const fs::path &path)
{
    std::error_code failure;
    return fs::remove(path, failure);
}

// A short name next to `path`: a name as long as its folder takes still has
// a temporary.
fs::path nameBeside(const fs::path &path, const char *suffix)
{
    const QString name = QStringLiteral(".vr480-%1.%2")
                             .arg(QRandomGenerator::global()->generate(), 8, 16, QLatin1Char('0'))
                             .arg(QLatin1String(suffix));
    return path.parent_path() / fs::path(name.toStdString());
}

} // namespace

image::OutputFiles::~OutputFiles()
{
    discard();
}

bool image::OutputFiles::isWritten(const Entry &entry)
{
#ifdef Q_OS_WIN
    Q_UNUSED(entry)
    return true;
#else
    struct stat info {};
    return ::lstat(entry.temporary.c_str(), &info) == 0 && S_ISREG(info.st_mode)
        && quint64(info.st_dev) == entry.device && quint64(info.st_ino) == entry.inode;
#endif
}

void image::OutputFiles::discard()
{
    for (const Entry &entry : std::as_const(pending)) {
        if (!entry.temporary.empty() && isWritten(entry))
            removeFile(entry.temporary);
    }
    pending.clear();
}

image::FileResult image::OutputFiles::fail(const QString &fileName, const QString &reason)
{
    if (batchResult.ok())
        batchResult = {image::FileStatus::CannotWrite, QStringLiteral("%1: %2").arg(fileName, reason)};
    return batchResult;
}

void image::OutputFiles::notRestored(const QString &fileName)
{
    const QString said = QStringLiteral("%1 could not be restored").arg(fileName);
    batchResult.error += batchResult.error.isEmpty() ? said : QStringLiteral("; ") + said;
}

bool image::OutputFiles::sameFile(const QString &a, const QString &b)
{
#ifdef Q_OS_WIN
    std::error_code failure;
    return fs::equivalent(nativePath(a), nativePath(b), failure) && !failure;
#else
    // Any kind of file, devices and FIFOs included.
    struct stat first {}, second {};
    return ::stat(image::encodeFileName(a).constData(), &first) == 0 && ::stat(image::encodeFileName(b).constData(), &second) == 0
        && first.st_dev == second.st_dev && first.st_ino == second.st_ino;
#endif
}

QString image::OutputFiles::targetProblem(const QString &fileName)
{
    const fs::path path = nativePath(fileName);
    std::error_code failure;
    if (fs::symlink_status(path, failure).type() == fs::file_type::not_found) {
        const fs::path folder = path.has_parent_path() ? path.parent_path() : fs::path(".");
        if (fs::is_directory(folder, failure))
            return {};
        return failure ? reasonOf(failure) : reasonOf(std::make_error_code(std::errc::not_a_directory));
    }
    if (failure)
        return reasonOf(failure);
    const fs::file_status status = fs::status(path, failure);
    if (status.type() == fs::file_type::not_found)
        return QStringLiteral("is a link to a file that does not exist");
    if (failure) // a loop of links
        return reasonOf(failure);
    return fs::is_directory(status) ? QStringLiteral("is a folder") : QString();
}

image::FileResult image::OutputFiles::add(const QString &fileName, const Writer &write)
{
    if (!batchResult.ok())
        return batchResult;
    // Caught here rather than at the rename, when other files may be in place.
    if (const QString problem = targetProblem(fileName); !problem.isEmpty())
        return fail(fileName, problem);
    std::error_code failure;
    Entry entry{fileName, nativePath(fileName), {}, {}};
    const fs::file_status status = fs::status(entry.target, failure);
    const bool exists = fs::exists(status);
    if (exists)
        entry.target = fs::canonical(entry.target, failure);
    if (exists && failure)
        return fail(fileName, reasonOf(failure));

    if (exists && !fs::is_regular_file(status)) {
        // A device or a FIFO: written into at commit(), never replaced.
        QBuffer buffer;
        buffer.open(QIODevice::WriteOnly);
        if (!write(buffer))
            return fail(fileName, QStringLiteral("write failed"));
        entry.direct = buffer.data();
        pending.append(entry);
        return {};
    }

    // Created new with the usual permissions of a new file less the
    // process's umask (the owner's alone while it replaces a file, until it
    // has that file's); unbuffered, so that a write fails where the system
    // refuses it, with the system's reason.
    QFile file;
#ifdef Q_OS_WIN
    constexpr auto kNewFilePermissions = QFile::ReadOwner | QFile::WriteOwner | QFile::ReadGroup
                                       | QFile::WriteGroup | QFile::ReadOther | QFile::WriteOther;
    for (int attempt = 0;; ++attempt) {
        entry.temporary = nameBeside(entry.target, "part");
        file.setFileName(QString::fromStdWString(entry.temporary.native()));
        if (file.open(QIODevice::WriteOnly | QIODevice::NewOnly | QIODevice::Unbuffered, kNewFilePermissions))
            break;
        if (!file.exists() || attempt == 10)
            return fail(fileName, file.errorString());
    }
    pending.append(entry);
    errno = 0;
    if (!write(file))
        return fail(fileName, reasonOf(file, errno));
    if (exists)
        QFile::setPermissions(file.fileName(), QFile::permissions(QString::fromStdWString(entry.target.native())));
    errno = 0;
    if (!file.flush() || _commit(file.handle()) != 0)
        return fail(fileName, reasonOf(file, errno));
#else
    struct stat replaced {};
    const bool replacing = exists && ::stat(entry.target.c_str(), &replaced) == 0;
    int fd = -1;
    for (int attempt = 0; fd < 0; ++attempt) {
        entry.temporary = nameBeside(entry.target, "part");
        fd = ::open(entry.temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                    replacing ? 0600 : 0666);
        if (fd < 0 && (errno != EEXIST || attempt == 10))
            return fail(fileName, QString::fromLocal8Bit(std::strerror(errno)));
    }
    struct stat written {};
    if (!file.open(fd, QIODevice::WriteOnly | QIODevice::Unbuffered, QFileDevice::AutoCloseHandle)
        || ::fstat(fd, &written) != 0) {
        ::close(fd);
        return fail(fileName, QString::fromLocal8Bit(std::strerror(errno)));
    }
    entry.device = quint64(written.st_dev);
    entry.inode = quint64(written.st_ino);
    pending.append(entry);
    errno = 0;
    if (!write(file))
        return fail(fileName, reasonOf(file, errno));
    if (replacing) {
        // The owner is refused to most users: the file then stays the process's.
        [[maybe_unused]] const int owned = ::fchown(fd, replaced.st_uid, replaced.st_gid);
        if (::fchmod(fd, replaced.st_mode & 0777) != 0)
            return fail(fileName, QString::fromLocal8Bit(std::strerror(errno)));
    }
    // Data written reaches the disk before the file is renamed, so that a
    // crash after the rename cannot leave an empty or short file under the name.
    errno = 0;
    if (!file.flush() || ::fsync(fd) != 0)
        return fail(fileName, reasonOf(file, errno));
#endif
    file.close();
    if (file.error() != QFile::NoError)
        return fail(fileName, file.errorString());
    return {};
}

image::OutputFiles::Writer image::OutputFiles::bytes(const QByteArray &contents)
{
    return [contents](QIODevice &file) { return file.write(contents) == contents.size(); };
}

image::FileResult image::OutputFiles::commit(const image::StopCheck &stop)
{
    if (!batchResult.ok()) {
        discard();
        return batchResult;
    }
    // Of several files, each replaced one stays under a second name until all
    // are in place, so that a failure can put everything back. One file alone
    // needs none: its rename is the whole change.
    const bool keepOld = std::count_if(pending.cbegin(), pending.cend(),
                                       [](const Entry &entry) { return !entry.temporary.empty(); })
                       > 1;
    struct Placed {
        const Entry *entry;
        fs::path previous; // the replaced file's second name; empty for a new file
        bool linked = false;
        bool renamed = false;
    };
    QList<Placed> placed;
    const auto takeBack = [&] {
        for (auto it = placed.crbegin(); it != placed.crend(); ++it) {
            const fs::path &target = it->entry->target;
            const bool back = it->previous.empty()           ? !it->renamed || removeFile(target)
                              : it->linked && !it->renamed ? removeFile(it->previous)
                                                             : renameFile(it->previous, target);
            if (!back)
                notRestored(it->entry->name);
        }
    };
    const auto abandon = [&] {
        takeBack();
        discard();
        return batchResult;
    };
    for (const Entry &entry : std::as_const(pending)) {
        if (entry.temporary.empty())
            continue;
        Placed &done = placed.emplaceBack(Placed{&entry, {}});
        QString reason;
        std::error_code failure;
        if (keepOld && fs::exists(entry.target, failure)) {
            done.previous = nameBeside(entry.target, "old");
            fs::create_hard_link(entry.target, done.previous, failure);
            done.linked = !failure;
            if (!done.linked && !renameFile(entry.target, done.previous, &reason)) {
                done.previous.clear();
                fail(entry.name, reason);
                return abandon();
            }
        }
        if (stop && stop()) {
            batchResult = {image::FileStatus::Interrupted};
            return abandon();
        }
        if (!isWritten(entry)) {
            fail(entry.name, QStringLiteral("its temporary file was replaced by another program"));
            return abandon();
        }
        if (!renameFile(entry.temporary, entry.target, &reason)) {
            fail(entry.name, reason);
            return abandon();
        }
        done.renamed = true;
    }
    for (const Placed &done : std::as_const(placed)) {
        if (!done.previous.empty())
            removeFile(done.previous);
    }
    // Devices and FIFOs last: they cannot be taken back.
    for (const Entry &entry : std::as_const(pending)) {
        if (!entry.temporary.empty())
            continue;
        QFile file;
        errno = 0;
#ifdef Q_OS_WIN
        file.setFileName(QString::fromStdWString(entry.target.native()));
        const bool opened = file.open(QIODevice::WriteOnly | QIODevice::Unbuffered);
#else
        const int fd = ::open(entry.target.c_str(), O_WRONLY | O_CLOEXEC);
        const bool opened = fd >= 0 && file.open(fd, QIODevice::WriteOnly | QIODevice::Unbuffered, QFileDevice::AutoCloseHandle);
#endif
        if (!opened || file.write(entry.direct) != entry.direct.size()) {
            fail(entry.name, reasonOf(file, errno));
            pending.clear();
            return batchResult;
        }
    }
    pending.clear();
    return {};
}
