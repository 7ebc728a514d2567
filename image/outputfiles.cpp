#include "image/outputfiles.h"

#include <QFile>
#include <QFileInfo>
#include <QRandomGenerator>

#include <filesystem>
#include <system_error>

#ifdef Q_OS_WIN
#include <io.h>
#else
#include <unistd.h>
#endif

namespace {

std::filesystem::path nativePath(const QString &fileName)
{
#ifdef Q_OS_WIN
    return std::filesystem::path(fileName.toStdWString());
#else
    return std::filesystem::path(QFile::encodeName(fileName).toStdString());
#endif
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

constexpr auto kNewFilePermissions = QFile::ReadOwner | QFile::WriteOwner | QFile::ReadGroup
                                   | QFile::WriteGroup | QFile::ReadOther | QFile::WriteOther;

} // namespace

OutputFiles::~OutputFiles()
{
    for (const Entry &entry : std::as_const(pending))
        QFile::remove(entry.temporary);
}

bool OutputFiles::fail(const QString &fileName, const QString &reason)
{
    if (error.isEmpty())
        error = QStringLiteral("%1: %2").arg(fileName, reason);
    return false;
}

bool OutputFiles::add(const QString &fileName, const Writer &write)
{
    if (!error.isEmpty())
        return false;
    // Caught here rather than at the rename, when other files may be in place.
    if (QFileInfo(fileName).isDir())
        return fail(fileName, QStringLiteral("is a folder"));

    // Created new (never opened over someone else's file), with the usual
    // permissions of a new file less the process's umask.
    QFile file;
    for (int attempt = 0;; ++attempt) {
        file.setFileName(QStringLiteral("%1.%2.part")
                             .arg(fileName)
                             .arg(QRandomGenerator::global()->generate(), 8, 16, QLatin1Char('0')));
        if (file.open(QIODevice::WriteOnly | QIODevice::NewOnly, kNewFilePermissions))
            break;
        if (file.exists() && attempt < 10)
            continue;
        return fail(fileName, file.errorString());
    }
    pending.append({fileName, file.fileName()});
    if (!write(file))
        return fail(fileName, file.error() != QFile::NoError ? file.errorString()
                                                             : QStringLiteral("write failed"));
    if (!syncToDisk(file))
        return fail(fileName, file.errorString());
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
    if (!error.isEmpty())
        return false;
    while (!pending.isEmpty()) {
        const Entry entry = pending.takeFirst();
        std::error_code failure;
        std::filesystem::rename(nativePath(entry.temporary), nativePath(entry.target), failure);
        if (failure) {
            QFile::remove(entry.temporary);
            return fail(entry.target, QString::fromStdString(failure.message()));
        }
    }
    return true;
}
