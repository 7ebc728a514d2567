#include "inputsource.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

QString systemError()
{
    return QString::fromLocal8Bit(std::strerror(errno));
}

} // namespace

struct image::InputSource::System {
    int fd = -1;
    struct stat info {};
    QString error;
};

image::InputSource::InputSource(const QString &fileName) : system(std::make_unique<System>())
{
    // Opened without blocking, so that a FIFO without a writer does not hold
    // the program in open(); its reads then wait in poll().
    system->fd = ::open(image::encodeFileName(fileName).constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (system->fd >= 0 && ::fstat(system->fd, &system->info) != 0) {
        system->error = systemError();
        ::close(system->fd);
        system->fd = -1;
    } else if (system->fd < 0) {
        system->error = systemError();
    }
}

image::InputSource::~InputSource()
{
    if (system->fd >= 0)
        ::close(system->fd);
}

bool image::InputSource::isOpen() const
{
    return system->fd >= 0;
}

bool image::InputSource::isFolder() const
{
    return S_ISDIR(system->info.st_mode);
}

qint64 image::InputSource::size() const
{
    return S_ISREG(system->info.st_mode) ? qint64(system->info.st_size) : -1;
}

QString image::InputSource::error() const
{
    return system->error;
}

qint64 image::InputSource::read(char *buffer, qint64 max, const image::StopCheck &stop)
{
    while (true) {
        if (!S_ISREG(system->info.st_mode)) {
            pollfd ready{system->fd, POLLIN, 0};
            const int n = ::poll(&ready, 1, 100);
            if (n < 0 && errno != EINTR) {
                system->error = systemError();
                return -1;
            }
            if (n <= 0) {
                if (stop && stop())
                    return kStopped;
                continue;
            }
        }
        const ssize_t n = ::read(system->fd, buffer, size_t(max));
        if (n >= 0)
            return qint64(n);
        if (errno != EINTR && errno != EAGAIN) {
            system->error = systemError();
            return -1;
        }
        if (stop && stop())
            return kStopped;
    }
}

QString image::inputFileProblem(const QString &fileName)
{
    const QByteArray name = image::encodeFileName(fileName);
    struct stat info {};
    if (::stat(name.constData(), &info) != 0 || ::access(name.constData(), R_OK) != 0)
        return systemError();
    return S_ISDIR(info.st_mode) ? QStringLiteral("is a folder") : QString();
}
