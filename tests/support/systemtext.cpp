#include "systemtext.h"

#include <QtGlobal>

#include <cerrno>

QString noSuchFile()
{
#ifdef Q_OS_WIN
    return qt_error_string(2); // ERROR_FILE_NOT_FOUND, of GetLastError()
#else
    return qt_error_string(ENOENT);
#endif
}
