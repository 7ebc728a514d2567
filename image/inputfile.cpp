#include "inputfile.h"

#include <QFile>

#include <utility>

#ifdef Q_OS_WIN
#include <QFileInfo>
#else
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace {

constexpr qint64 kChunk = 1 << 16;

InputFile failed(InputFile::Status status, const QString &error = {})
{
    InputFile result;
    result.status = status;
    result.error = error;
    return result;
}

InputFile tooLarge(InputFile &&start, qint64 size, bool keepStart)
{
    start.status = InputFile::TooLarge;
    start.size = size;
    if (!keepStart)
        start.bytes.clear();
    return std::move(start);
}

} // namespace

#ifdef Q_OS_WIN

InputFile readInputFile(const QString &fileName, qint64 limit, const StopCheck &stop, bool keepStart)
{
    if (QFileInfo(fileName).isDir())
        return failed(InputFile::CannotRead, QStringLiteral("is a folder"));
    QFile file(fileName);
    if (!file.open(QIODevice::ReadOnly))
        return failed(InputFile::CannotRead, file.errorString());
    const qint64 size = file.isSequential() ? -1 : file.size();
    if (size > limit && !keepStart)
        return tooLarge(InputFile(), size, false);
    InputFile result;
    while (true) {
        if (stop && stop())
            return failed(InputFile::Interrupted);
        const QByteArray chunk = file.read(qMin(kChunk, limit + 1 - result.bytes.size()));
        if (chunk.isEmpty())
            break;
        result.bytes += chunk;
        if (result.bytes.size() > limit)
            return tooLarge(std::move(result), size, keepStart);
    }
    if (file.error() != QFile::NoError)
        return failed(InputFile::CannotRead, file.errorString());
    result.status = InputFile::Ok;
    return result;
}

#else

namespace {

// Closes the descriptor when the read ends, however it ends.
struct Descriptor {
    int fd;
    ~Descriptor()
    {
        if (fd >= 0)
            ::close(fd);
    }
};

QString systemError()
{
    return QString::fromLocal8Bit(std::strerror(errno));
}

} // namespace

InputFile readInputFile(const QString &fileName, qint64 limit, const StopCheck &stop, bool keepStart)
{
    // Opened without blocking, so that a FIFO without a writer does not hold
    // the program in open(); its reads then wait in poll() below.
    const Descriptor file{::open(QFile::encodeName(fileName).constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC)};
    if (file.fd < 0)
        return failed(InputFile::CannotRead, systemError());
    struct stat info {};
    if (::fstat(file.fd, &info) != 0)
        return failed(InputFile::CannotRead, systemError());
    if (S_ISDIR(info.st_mode))
        return failed(InputFile::CannotRead, QStringLiteral("is a folder"));
    const bool regular = S_ISREG(info.st_mode);
    const qint64 size = regular ? qint64(info.st_size) : -1;
    if (size > limit && !keepStart)
        return tooLarge(InputFile(), size, false);

    InputFile result;
    char chunk[kChunk];
    while (true) {
        if (stop && stop())
            return failed(InputFile::Interrupted);
        if (!regular) {
            pollfd ready{file.fd, POLLIN, 0};
            const int n = ::poll(&ready, 1, 100);
            if (n == 0 || (n < 0 && errno == EINTR))
                continue;
            if (n < 0)
                return failed(InputFile::CannotRead, systemError());
        }
        const ssize_t n = ::read(file.fd, chunk, size_t(qMin(kChunk, limit + 1 - result.bytes.size())));
        if (n < 0 && (errno == EINTR || errno == EAGAIN))
            continue;
        if (n < 0)
            return failed(InputFile::CannotRead, systemError());
        if (n == 0)
            break;
        result.bytes.append(chunk, qsizetype(n));
        if (result.bytes.size() > limit)
            return tooLarge(std::move(result), size, keepStart);
    }
    result.status = InputFile::Ok;
    return result;
}

#endif
