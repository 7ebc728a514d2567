#include "reportfile.h"

#include "inputfile.h"

#include <QDeadlineTimer>
#include <QThread>

#include <cerrno>
#include <climits>
#include <cstring>
#include <deque>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>

namespace cli {

namespace {

QString systemError(int error = errno)
{
    return QString::fromLocal8Bit(std::strerror(error));
}

// A descriptor that is closed when it goes.
class Descriptor {
public:
    explicit Descriptor(int fd = -1) : fd(fd) {}
    ~Descriptor() { reset(); }
    Descriptor(const Descriptor &) = delete;
    Descriptor &operator=(const Descriptor &) = delete;
    int get() const { return fd; }
    int release() { return std::exchange(fd, -1); }
    void reset(int other = -1)
    {
        if (fd >= 0)
            ::close(fd);
        fd = other;
    }

private:
    int fd;
};

bool isRegular(int fd)
{
    struct stat info {};
    return ::fstat(fd, &info) == 0 && S_ISREG(info.st_mode);
}

// The report in `folder`, never through a link (ELOOP for one): read and
// written where it is, or becomes, a regular file that this user may read,
// so that a cut last line can be seen; written only otherwise. A FIFO
// without a reader fails the open at once rather than holding it; the writes
// then block as on any file.
int openReport(int folder, const char *name)
{
    constexpr int flags = O_APPEND | O_CREAT | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY | O_NONBLOCK;
    struct stat info {};
    const bool plain = ::fstatat(folder, name, &info, AT_SYMLINK_NOFOLLOW) != 0 || S_ISREG(info.st_mode);
    int fd = -1;
    if (plain) {
        fd = ::openat(folder, name, O_RDWR | flags, 0666);
        if (fd >= 0 && !isRegular(fd)) { // changed since: no reading a FIFO
            ::close(fd);
            fd = -1;
            errno = EACCES;
        }
    }
    if (fd < 0 && (!plain || errno == EACCES))
        fd = ::openat(folder, name, O_WRONLY | flags, 0666);
    if (fd >= 0 && ::fcntl(fd, F_SETFL, O_APPEND) != 0) {
        const int error = errno;
        ::close(fd);
        errno = error;
        return -1;
    }
    return fd;
}

// What is left of a path to walk, one name after the other; a name "." last
// for a path that ends with '/', which must be a folder.
void prependPath(std::deque<QByteArray> &rest, const QByteArray &path)
{
    QList<QByteArray> names = path.split('/');
    if (path.endsWith('/'))
        names.last() = ".";
    for (auto it = names.crbegin(); it != names.crend(); ++it) {
        if (!it->isEmpty() && (*it != "." || rest.empty()))
            rest.push_front(*it);
    }
}

} // namespace

// The path is walked one name at a time on descriptors (openat), so that
// nothing is opened through a link that was not checked: a symbolic link is
// followed only when this user or root owns it (the kernel's rule for
// protected symlinks, applied in every folder), at most 40 of them.
int openForAppending(const QString &fileName, QString *reason)
{
    constexpr int kMaxLinks = 40;
    const QByteArray path = image::encodeFileName(fileName);
    std::deque<QByteArray> rest;
    prependPath(rest, path);
    QByteArray walked = path.startsWith('/') ? "/" : ""; // the path so far, for the reason
    Descriptor folder(::open(path.startsWith('/') ? "/" : ".", O_PATH | O_DIRECTORY | O_CLOEXEC));
    for (int links = 0; folder.get() >= 0 && !rest.empty();) {
        const QByteArray name = rest.front();
        rest.pop_front();
        const QByteArray here = walked.isEmpty() || walked.endsWith('/') ? walked + name : walked + '/' + name;
        Descriptor next;
        if (rest.empty()) {
            const int fd = openReport(folder.get(), name.constData());
            if (fd >= 0)
                return fd;
            if (errno != ELOOP)
                break;
        }
        next.reset(::openat(folder.get(), name.constData(), O_PATH | O_NOFOLLOW | O_CLOEXEC));
        struct stat info {};
        if (next.get() < 0 || ::fstat(next.get(), &info) != 0)
            break;
        if (!S_ISLNK(info.st_mode)) {
            if (rest.empty()) { // the report, no longer a link: opened again
                rest.push_front(name);
                if (++links > kMaxLinks)
                    break;
                continue;
            }
            folder.reset(next.release());
            walked = here;
            continue;
        }
        if (info.st_uid != ::geteuid() && info.st_uid != 0) {
            *reason = QStringLiteral("the symbolic link %1 belongs to uid %2, neither this user nor root: not followed")
                          .arg(image::decodeFileName(here))
                          .arg(info.st_uid);
            return -1;
        }
        char target[PATH_MAX];
        const ssize_t length = ::readlinkat(next.get(), "", target, sizeof target);
        if (length < 0)
            break;
        if (++links > kMaxLinks || length == ssize_t(sizeof target)) {
            errno = length == ssize_t(sizeof target) ? ENAMETOOLONG : ELOOP;
            break;
        }
        const QByteArray followed(target, int(length));
        if (followed.startsWith('/')) {
            folder.reset(::open("/", O_PATH | O_DIRECTORY | O_CLOEXEC));
            walked = "/";
        }
        prependPath(rest, followed);
    }
    *reason = systemError();
    return -1;
}

// Under the lock, which every program appending to a report takes: the end
// of a cut last line, then the whole record, continued where a write is cut
// short so that its error is the system's reason; then to the disk.
int appendWhole(int fd, const QByteArray &record)
{
    const bool file = isRegular(fd);
    bool locked = false;
    for (QDeadlineTimer wait(kAppendLockWaitMs); file;) {
        locked = ::flock(fd, LOCK_EX | LOCK_NB) == 0;
        if (locked || (errno != EWOULDBLOCK && errno != EINTR) || wait.hasExpired())
            break;
        QThread::msleep(10);
    }
    QByteArray bytes = record;
    struct stat info {};
    char last = '\n';
    if (file && ::fstat(fd, &info) == 0 && info.st_size > 0 && ::pread(fd, &last, 1, info.st_size - 1) == 1
        && last != '\n')
        bytes.prepend('\n');
    int error = 0;
    for (qsizetype done = 0; done < bytes.size() && error == 0;) {
        const ssize_t written = ::write(fd, bytes.constData() + done, size_t(bytes.size() - done));
        if (written > 0)
            done += written;
        else if (written == 0 || errno != EINTR)
            error = written == 0 ? ENOSPC : errno;
    }
    if (locked)
        ::flock(fd, LOCK_UN);
    // A pipe or a terminal has no disk to flush to.
    if (error == 0 && ::fsync(fd) != 0 && errno != EINVAL && errno != ENOTSUP)
        error = errno;
    return error;
}

void closeAppending(int fd)
{
    ::close(fd);
}

} // namespace cli
