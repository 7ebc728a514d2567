#include "platform.h"

#include <QCoreApplication>
#include <QFileInfo>

#include <cstdio>
#include <fcntl.h>
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

bool isTerminal(std::FILE *stream)
{
    return ::_isatty(::_fileno(stream)) != 0;
}

} // namespace cli
