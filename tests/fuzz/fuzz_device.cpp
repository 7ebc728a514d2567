// libFuzzer target that plays the device: every answer of every USB call comes
// from the input (fuzzedusb.h), through the connection and its identity check,
// list and info, and a whole upgrade (devicesession.h). Built with clang,
// AddressSanitizer and UndefinedBehaviorSanitizer; the stand-in aborts when a
// page or external-flash write reaches a device that failed its checks.

#include "devicesession.h"

#include <QCoreApplication>
#include <QLoggingCategory>

#include <fcntl.h>
#include <unistd.h>

extern "C" int LLVMFuzzerInitialize(int *argc, char ***argv)
{
    static QCoreApplication application(*argc, *argv);
    // The commands' output and the debug lines would only slow it down.
    QLoggingCategory::setFilterRules(QStringLiteral("*.debug=false"));
    if (const int null = open("/dev/null", O_WRONLY); null >= 0)
        dup2(null, STDOUT_FILENO);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    fuzzusb::Script script(data, size);
    runDeviceSession(script);
    return 0;
}
