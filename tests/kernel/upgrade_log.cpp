// The window's "Change Firmware" worker on the system's libusb, run as the
// window runs it (its plan), with each line it sends to the window's log
// printed on standard output: what the window would show, for the kernel test.
//
//   vr480_kernel_upgrade_log FILE.upg

#include "upgrader.h"
#include "usbvr480.h"

#include <QCoreApplication>

#include <cstdio>

int main(int argc, char **argv)
{
    QCoreApplication application(argc, argv);
    qInstallMessageHandler([](QtMsgType type, const QMessageLogContext &, const QString &text) {
        if (type != QtDebugMsg)
            std::fprintf(stderr, "%s\n", qPrintable(text));
    });
    if (argc != 2) {
        std::fprintf(stderr, "usage: vr480_kernel_upgrade_log FILE.upg\n");
        return 2;
    }
    USBVR480 usb;
    Upgrader upgrader(&usb);
    upgrader.setPlan({});
    upgrader.showOn(
        nullptr,
        [](const QString &line) {
            std::printf("%s\n", qPrintable(line));
            std::fflush(stdout);
        },
        [](Upgrader::Bar, int) {});
    upgrader.slotSetFileName(QString::fromLocal8Bit(argv[1]));
    upgrader.start();
    upgrader.wait();
    return 0;
}
