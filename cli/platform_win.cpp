#include "platform.h"

#include <QCoreApplication>
#include <QFileInfo>

#include <cstdio>
#include <fcntl.h>
#include <cerrno>
#include <sys/stat.h>
#include <io.h>
#include <windows.h>

namespace cli {

QStringList programArguments(int, char **)
{
    // UTF-16 from the system, as the file names are.
    return QCoreApplication::arguments();
}

QString programNameOf(const QString &firstArgument)
{
    const QFileInfo program(firstArgument);
    return program.suffix().compare(QLatin1String("exe"), Qt::CaseInsensitive) == 0 ? program.completeBaseName()
                                                                                    : program.fileName();
}

bool prepareStandardOutput()
{
    // Lines end as written ("\n"), on both streams.
    _setmode(_fileno(stdout), _O_BINARY);
    _setmode(_fileno(stderr), _O_BINARY);
    const HANDLE output = GetStdHandle(STD_OUTPUT_HANDLE);
    DWORD mode = 0;
    return GetConsoleMode(output, &mode)
        && SetConsoleMode(output, mode | ENABLE_PROCESSED_OUTPUT | ENABLE_VIRTUAL_TERMINAL_PROCESSING);
}

QString openFilesShortage(int)
{
    return {}; // handles have no per-process limit of that kind
}

// The report, opened for appending. A FIFO without a reader fails the open at
// once rather than holding it; the writes then block as on any file.
int openForAppending(const QString &fileName)
{
    return ::_wopen(reinterpret_cast<const wchar_t *>(fileName.utf16()),
                    _O_WRONLY | _O_APPEND | _O_CREAT | _O_BINARY | _O_NOINHERIT, _S_IREAD | _S_IWRITE);
}

// One write of the whole line, then to the disk. An error number, or 0. A
// write cut short (a full disk) leaves part of a line: the rest is not
// written, so that no other writer's line is split by it.
int appendWhole(int fd, const QByteArray &line)
{
    const int written = ::_write(fd, line.constData(), unsigned(line.size()));
    if (written != int(line.size()))
        return written < 0 ? errno : ENOSPC;
    return ::_commit(fd) == 0 ? 0 : errno;
}

void closeAppending(int fd)
{
    ::_close(fd);
}

bool isTerminal(std::FILE *stream)
{
    return ::_isatty(::_fileno(stream)) != 0;
}

} // namespace cli
