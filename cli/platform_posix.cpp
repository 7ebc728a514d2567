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

bool isTerminal(std::FILE *stream)
{
    return ::isatty(::fileno(stream)) != 0;
}

} // namespace cli
