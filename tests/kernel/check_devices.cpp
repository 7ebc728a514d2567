// The simulated devices as vr480-usbip left them in its state file, one line
// each, for the kernel test to check:
//
//   vr480_kernel_check STATE [FILE.upg]
//   device 0 VR4800001 application restarts=2 upgraded=yes
//
// "upgraded" tells whether the device's application area and external flash
// hold exactly what an upgrade with the file leaves there (without FILE.upg: "-").
// Exit status 0, or 2 when the state or the upgrade file cannot be read.

#include "memorymap.h"
#include "scramble.h"
#include "simdevice.h"
#include "upgradefile.h"

#include <QCoreApplication>
#include <QFile>

#include <cstdio>

int main(int argc, char **argv)
{
    QCoreApplication application(argc, argv);
    qInstallMessageHandler([](QtMsgType type, const QMessageLogContext &, const QString &text) {
        if (type != QtDebugMsg) // the scrambler's debug lines
            std::fprintf(stderr, "%s\n", qPrintable(text));
    });
    const QStringList arguments = application.arguments();
    if (arguments.size() < 2 || arguments.size() > 3) {
        std::fprintf(stderr, "usage: vr480_kernel_check STATE [FILE.upg]\n");
        return 2;
    }
    if (!sim::loadState(arguments[1])) {
        std::fprintf(stderr, "%s: not a simulation state\n", qPrintable(arguments[1]));
        return 2;
    }
    QByteArray image;
    if (arguments.size() == 3) {
        QFile file(arguments[2]);
        if (!file.open(QIODevice::ReadOnly) || !UpgradeFile::read(file, image).ok()) {
            std::fprintf(stderr, "%s: not an upgrade file\n", qPrintable(arguments[2]));
            return 2;
        }
        decodeData(image.data(), int(image.size()));
    }

    using namespace UpgradeFile;
    // The device keeps the application plain and the external-flash data as
    // it came over the bus: scrambled in one pass, as the upgrade sends it.
    QByteArray external = image.mid(kExternalOffset, kExternalSize);
    encodeData(external.data(), int(external.size()));
    for (const sim::Device *device : sim::devices()) {
        const sim::DeviceConfig config = device->config();
        const bool bootloader = device->mode() == sim::Mode::Bootloader;
        const char *upgraded = "-";
        if (!image.isEmpty()) {
            const bool same = device->flash(MemoryMap::kApplicationAddress, kApplicationSize)
                                  == image.mid(kApplicationOffset, kApplicationSize)
                              && device->externalFlash(0, kExternalSize) == external;
            upgraded = same ? "yes" : "no";
        }
        std::printf("device %d %s %s restarts=%d upgraded=%s\n", device->id(),
                    (bootloader ? config.bootloaderSerial : config.applicationSerial).constData(),
                    bootloader ? "bootloader" : "application", device->restarts(), upgraded);
    }
    return 0;
}
