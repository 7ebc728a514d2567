#include "commandline.h"

#include <QCoreApplication>

#include <cstdio>

#ifdef Q_OS_WIN
#include <io.h>
#define isatty _isatty
#define fileno _fileno
#else
#include <unistd.h>
#endif

#ifdef VR480_SIMULATED_DEVICE
#include "simdevice.h"
#endif

int main(int argc, char **argv)
{
    QCoreApplication application(argc, argv);
#ifdef VR480_SIMULATED_DEVICE
    const sim::DemoSession device; // VR480_SIM_STATE carries it between runs
    if (!device.isValid())
        return 2;
#endif
    return runCommandLine(QCoreApplication::arguments(), isatty(fileno(stdout)) != 0);
}
