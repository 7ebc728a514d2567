#include "standardstreams.h"
#include "startup.h"
#include "vr480_bootloader.h"

#include <QApplication>
#include <QLocale>
#include <QTranslator>

#ifdef VR480_SIMULATED_DEVICE
#include "simdevice.h"
#endif

int main(int argc, char **argv)
{
    if (!image::openMissingStandardStreams())
        return 1;
    const QString localeName = QLocale::system().name();
    QApplication application(argc, argv);
#ifdef VR480_SIMULATED_DEVICE
    const sim::DemoSession device; // VR480_SIM_STATE carries it between runs
    if (!device.isValid())
        return 2;
#endif
    QTranslator translator;
    app::loadTranslation(translator, localeName, app::installedTranslationDir(QCoreApplication::applicationDirPath()));
    QApplication::installTranslator(&translator);

    VR480_Bootloader window;
    window.setWindowTitle(app::windowTitle());
    window.show();
    return QApplication::exec();
}
