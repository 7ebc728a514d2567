#include "system.h"

#include <QFile>

#include <cerrno>

bool makeFifo(const QString &path)
{
#if VR480_TEST_POSIX
    return mkfifo(QFile::encodeName(path).constData(), 0600) == 0;
#else
    Q_UNUSED(path);
    return false;
#endif
}

bool runsAsRoot()
{
#if VR480_TEST_POSIX
    return geteuid() == 0;
#else
    return false;
#endif
}

QString noSuchFile()
{
    return qt_error_string(kOnWindows ? 2 : ENOENT); // 2: ERROR_FILE_NOT_FOUND, of GetLastError()
}
