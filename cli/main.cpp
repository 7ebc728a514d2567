#include "commandline.h"
#include "exitstatus.h"
#include "platform.h"
#include "standardstreams.h"

#include <QCoreApplication>

#ifdef VR480_SIMULATED_DEVICE
#include "simdevice.h"
#endif

int main(int argc, char **argv)
{
    if (!image::openMissingStandardStreams())
        return ExitCannotWrite;
    QCoreApplication application(argc, argv);
#ifdef VR480_SIMULATED_DEVICE
    const sim::DemoSession device; // VR480_SIM_STATE carries it between runs
    if (!device.isValid())
        return 2;
#endif
    const QStringList arguments = cli::programArguments(argc, argv);
    return cli::runCommandLine(arguments, cli::prepareStandardOutput());
}
