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

image::InputFile failed(image::FileStatus status, const QString &error = {})
{
    image::InputFile result;
    result.result = {status, error};
    return result;
}

image::InputFile tooLarge(image::InputFile &&start, qint64 size, bool keepStart)
{
    start.result.status = image::FileStatus::TooLarge;
    start.size = size;
    if (!keepStart)
        start.bytes.clear();
    return std::move(start);
}

// The length of the valid UTF-8 sequence at `at`, 0 when there is none
// (overlong forms, surrogates and values past U+10FFFF are not valid).
int utf8Length(const QByteArray &bytes, qsizetype at)
{
    const auto byte = [&](qsizetype i) { return i < bytes.size() ? uchar(bytes.at(i)) : 0; };
    const uchar lead = byte(at);
    int length = 0;
    uchar low = 0x80, high = 0xBF; // the range of the byte after the lead
    if (lead < 0x80)
        return 1;
    if (lead >= 0xC2 && lead <= 0xDF)
        length = 2;
    else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        low = lead == 0xE0 ? 0xA0 : 0x80;
        high = lead == 0xED ? 0x9F : 0xBF;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        low = lead == 0xF0 ? 0x90 : 0x80;
        high = lead == 0xF4 ? 0x8F : 0xBF;
    } else {
        return 0;
    }
    if (byte(at + 1) < low || byte(at + 1) > high)
        return 0;
    for (int i = 2; i < length; ++i) {
        if (byte(at + i) < 0x80 || byte(at + i) > 0xBF)
            return 0;
    }
    return length;
}

} // namespace

QString image::decodeFileName(const QByteArray &bytes)
{
    QString name;
    for (qsizetype at = 0; at < bytes.size();) {
        const int length = utf8Length(bytes, at);
        if (length == 0) {
            name += QChar(0xDC00 + uchar(bytes.at(at++)));
        } else {
            name += QString::fromUtf8(bytes.constData() + at, length);
            at += length;
        }
    }
    return name;
}

QByteArray image::encodeFileName(const QString &fileName)
{
    QByteArray bytes;
    qsizetype start = 0;
    for (qsizetype i = 0; i < fileName.size(); ++i) {
        const char16_t unit = fileName.at(i).unicode();
        if (unit < 0xDC80 || unit > 0xDCFF || (i > 0 && fileName.at(i - 1).isHighSurrogate()))
            continue;
        bytes += QStringView(fileName).sliced(start, i - start).toUtf8();
        bytes += char(unit - 0xDC00);
        start = i + 1;
    }
    return bytes + QStringView(fileName).sliced(start).toUtf8();
}

#ifdef Q_OS_WIN

QString image::inputFileProblem(const QString &fileName)
{
    const QFileInfo info(fileName);
    return !info.exists()       ? QStringLiteral("No such file or directory")
           : info.isDir()       ? QStringLiteral("is a folder")
           : !info.isReadable() ? QStringLiteral("Permission denied")
                                : QString();
}

image::InputFile image::readInputFile(const QString &fileName, qint64 limit, const image::StopCheck &stop, bool keepStart)
{
    if (QFileInfo(fileName).isDir())
        return failed(image::FileStatus::CannotRead, QStringLiteral("is a folder"));
    QFile file(fileName);
    if (!file.open(QIODevice::ReadOnly))
        return failed(image::FileStatus::CannotRead, file.errorString());
    const qint64 size = file.isSequential() ? -1 : file.size();
    if (size > limit && !keepStart)
        return tooLarge(image::InputFile(), size, false);
    image::InputFile result;
    while (true) {
        if (stop && stop())
            return failed(image::FileStatus::Interrupted);
        const QByteArray chunk = file.read(qMin(kChunk, limit + 1 - result.bytes.size()));
        if (chunk.isEmpty())
            break;
        result.bytes += chunk;
        if (result.bytes.size() > limit)
            return tooLarge(std::move(result), size, keepStart);
    }
    if (file.error() != QFile::NoError)
        return failed(image::FileStatus::CannotRead, file.errorString());
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

QString image::inputFileProblem(const QString &fileName)
{
    const QByteArray name = image::encodeFileName(fileName);
    struct stat info {};
    if (::stat(name.constData(), &info) != 0 || ::access(name.constData(), R_OK) != 0)
        return systemError();
    return S_ISDIR(info.st_mode) ? QStringLiteral("is a folder") : QString();
}

image::InputFile image::readInputFile(const QString &fileName, qint64 limit, const image::StopCheck &stop, bool keepStart)
{
    // Opened without blocking, so that a FIFO without a writer does not hold
    // the program in open(); its reads then wait in poll() below.
    const Descriptor file{::open(image::encodeFileName(fileName).constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC)};
    if (file.fd < 0)
        return failed(image::FileStatus::CannotRead, systemError());
    struct stat info {};
    if (::fstat(file.fd, &info) != 0)
        return failed(image::FileStatus::CannotRead, systemError());
    if (S_ISDIR(info.st_mode))
        return failed(image::FileStatus::CannotRead, QStringLiteral("is a folder"));
    const bool regular = S_ISREG(info.st_mode);
    const qint64 size = regular ? qint64(info.st_size) : -1;
    if (size > limit && !keepStart)
        return tooLarge(image::InputFile(), size, false);

    image::InputFile result;
    char chunk[kChunk];
    while (true) {
        if (stop && stop())
            return failed(image::FileStatus::Interrupted);
        if (!regular) {
            pollfd ready{file.fd, POLLIN, 0};
            const int n = ::poll(&ready, 1, 100);
            if (n == 0 || (n < 0 && errno == EINTR))
                continue;
            if (n < 0)
                return failed(image::FileStatus::CannotRead, systemError());
        }
        const ssize_t n = ::read(file.fd, chunk, size_t(qMin(kChunk, limit + 1 - result.bytes.size())));
        if (n < 0 && (errno == EINTR || errno == EAGAIN))
            continue;
        if (n < 0)
            return failed(image::FileStatus::CannotRead, systemError());
        if (n == 0)
            break;
        result.bytes.append(chunk, qsizetype(n));
        if (result.bytes.size() > limit)
            return tooLarge(std::move(result), size, keepStart);
    }
    return result;
}

#endif
