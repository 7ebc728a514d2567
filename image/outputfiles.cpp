#include "outputfiles.h"

#include "filereplacement.h"

#include <QBuffer>
#include <QFile>
#include <QRandomGenerator>

#include <cerrno>
#include <cstring>
#include <system_error>

namespace fs = std::filesystem;

namespace {

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
    return image::isFile(entry.temporary, entry.identity);
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
    return image::sameFile(nativePath(a), nativePath(b));
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
    Entry entry{fileName, nativePath(fileName), {}, {}, {}};
    const fs::file_status status = fs::status(entry.target, failure);
    const bool exists = fs::exists(status);
    if (exists)
        entry.target = fs::canonical(entry.target, failure);
    if (exists && failure)
        return fail(fileName, reasonOf(failure));

    if ((exists && !fs::is_regular_file(status)) || image::isReservedDevice(entry.target)) {
        // A device or a FIFO: written into at commit(), never replaced.
        QBuffer buffer;
        buffer.open(QIODevice::WriteOnly);
        if (!write(buffer))
            return fail(fileName, QStringLiteral("write failed"));
        entry.direct = buffer.data();
        pending.append(entry);
        return {};
    }

    // Unbuffered, so that a write fails where the system refuses it, with
    // the system's reason.
    const std::optional<image::FileAttributes> replaced = exists ? image::attributesOf(entry.target) : std::nullopt;
    QFile file;
    QString reason;
    for (int attempt = 0;; ++attempt) {
        entry.temporary = nameBeside(entry.target, "part");
        bool taken = false;
        if (image::createNewFile(entry.temporary, replaced, file, &entry.identity, &taken, &reason))
            break;
        if (!taken || attempt == 10)
            return fail(fileName, reason);
    }
    pending.append(entry);
    errno = 0;
    if (!write(file))
        return fail(fileName, reasonOf(file, errno));
    if (replaced && !image::passAttributes(file, *replaced, &reason))
        return fail(fileName, reason);
    // Data written reaches the disk before the file is renamed, so that a
    // crash after the rename cannot leave an empty or short file under the name.
    if (!image::flushToDisk(file, &reason))
        return fail(fileName, reason);
    file.close();
    if (file.error() != QFile::NoError)
        return fail(fileName, file.errorString());
    return {};
}

image::OutputFiles::Writer image::OutputFiles::writerOf(const QByteArray &contents)
{
    return [contents](QIODevice &file) { return file.write(contents) == contents.size(); };
}

image::FileResult image::OutputFiles::commit(const image::StopCheck &stop, const LastCheck &lastCheck)
{
    if (!batchResult.ok()) {
        discard();
        return batchResult;
    }
    // A replaced file stays under a second name until everything is in place
    // and checked, so that a failure can put it back: whenever another
    // rename, a device's write or the last check comes after its rename. One
    // file alone with nothing after it needs none: its rename is the whole
    // change.
    const qsizetype renames = std::count_if(pending.cbegin(), pending.cend(),
                                            [](const Entry &entry) { return !entry.temporary.empty(); });
    const bool keepOld = renames > 1 || (renames == 1 && (renames < pending.size() || lastCheck));
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
                                                             : image::replaceFile(it->previous, target);
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
            if (!done.linked && !image::replaceFile(entry.target, done.previous, &reason)) {
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
        if (!image::replaceFile(entry.temporary, entry.target, &reason)) {
            fail(entry.name, reason);
            return abandon();
        }
        done.renamed = true;
    }
    // Devices and FIFOs after the renames: they cannot be taken back.
    for (const Entry &entry : std::as_const(pending)) {
        if (!entry.temporary.empty())
            continue;
        QFile file;
        errno = 0;
        if (!image::openForWriting(file, entry.target) || file.write(entry.direct) != entry.direct.size()) {
            fail(entry.name, reasonOf(file, errno));
            return abandon();
        }
    }
    if (lastCheck) {
        if (const QString reason = lastCheck(); !reason.isEmpty()) {
            batchResult = {image::FileStatus::CannotWrite, reason};
            return abandon();
        }
    }
    for (const Placed &done : std::as_const(placed)) {
        if (!done.previous.empty())
            removeFile(done.previous);
    }
    pending.clear();
    return {};
}
