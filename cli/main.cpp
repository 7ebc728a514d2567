#include "commandline.h"
#include "inputfile.h"

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
#ifdef Q_OS_WIN
    // UTF-16 from the system, as the file names are.
    const QStringList arguments = QCoreApplication::arguments();
#else
    // Bytes, decoded so that a file name comes back as exactly its bytes.
    QStringList arguments;
    for (int i = 0; i < argc; ++i)
        arguments << image::decodeFileName(argv[i]);
#endif
    return cli::runCommandLine(arguments, isatty(fileno(stdout)) != 0);
}
