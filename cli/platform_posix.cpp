#include "platform.h"

#include "inputfile.h"

#include <QFileInfo>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>
#include <vector>

namespace cli {

QStringList programArguments(int argc, char **argv)
{
    QStringList arguments;
    for (int i = 0; i < argc; ++i)
        arguments << image::decodeFileName(argv[i]);
    return arguments;
}

QString programNameOf(const QString &firstArgument)
{
    return QFileInfo(firstArgument).fileName();
}

bool prepareStandardOutput()
{
    return isatty(fileno(stdout)) != 0;
}

QString openFilesShortage(int count)
{
    std::vector<int> held;
    int error = 0;
    for (int i = 0; i < count && error == 0; ++i) {
        const int fd = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
        if (fd < 0)
            error = errno;
        else
            held.push_back(fd);
    }
    for (const int fd : held)
        ::close(fd);
    return error != 0 ? QString::fromLocal8Bit(std::strerror(error)) : QString();
}

// The report, opened for appending. A FIFO without a reader fails the open at
// once rather than holding it; the writes then block as on any file.
int openForAppending(const QString &fileName)
{
    const int fd = ::open(image::encodeFileName(fileName).constData(),
                          O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NOCTTY | O_NONBLOCK, 0666);
    if (fd >= 0 && ::fcntl(fd, F_SETFL, O_APPEND) != 0) {
        const int error = errno;
        ::close(fd);
        errno = error;
        return -1;
    }
    return fd;
}

// One write of the whole line, then to the disk. An error number, or 0. A
// write cut short (a full disk) leaves part of a line: the rest is not
// written, so that no other writer's line is split by it.
int appendWhole(int fd, const QByteArray &line)
{
    ssize_t written;
    do
        written = ::write(fd, line.constData(), size_t(line.size()));
    while (written < 0 && errno == EINTR);
    if (written != ssize_t(line.size()))
        return written < 0 ? errno : ENOSPC;
    // A pipe or a terminal has no disk to flush to.
    if (::fsync(fd) != 0 && errno != EINVAL && errno != ENOTSUP)
        return errno;
    return 0;
}

void closeAppending(int fd)
{
    ::close(fd);
}

bool isTerminal(std::FILE *stream)
{
    return ::isatty(::fileno(stream)) != 0;
}

} // namespace cli
