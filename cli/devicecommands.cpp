// info and restart: what the device is and which firmware it runs.

#include "command.h"
#include "devices.h"
#include "servicetools.h"
#include "unitreport.h"
#include "usbvr480.h"

#include <QThread>

namespace cli {

namespace {

Result info(Invocation &in)
{
    USBVR480 usb;
    return onDevice(in, usb, [&](const QByteArray &) {
        const UsbDevice::Place place = usb.openedPlace();
        const ServiceTools::DeviceInfo device = ServiceTools::readDeviceInfo(usb);
        if (jsonOutput(in)) {
            writeTo(stdout, deviceJson(place, device.serial, device.bootloaderVersion));
        } else {
            print(QStringLiteral("Serial: ") + USBVR480::escapedText(device.serial));
            print(QStringLiteral("Mode: ") + modeName(device.firmware));
            if (device.bootloaderVersion)
                print(QStringLiteral("Bootloader version: ") + USBVR480::escapedText(*device.bootloaderVersion));
        }
        if (!device.bootloaderVersion)
            return failure(ExitDeviceFailed, QStringLiteral("cannot read the bootloader version"));
        return Result{};
    });
}

Result restart(Invocation &in)
{
    USBVR480 usb;
    return onDevice(in, usb, [&](const QByteArray &serial) {
        const USBVR480::Firmware running = USBVR480::runningFirmware(serial);
        print(QStringLiteral("Mode: %1, restarting").arg(modeName(running)));
        const std::optional<QByteArray> now =
            ServiceTools::restartDevice(usb, running, [](unsigned long ms) { QThread::msleep(ms); });
        if (!now)
            return failure(ExitDeviceFailed, QStringLiteral("the device did not come back within 10 s"));
        print(QStringLiteral("Mode: %1").arg(modeName(USBVR480::runningFirmware(*now))));
        print(QStringLiteral("Serial: ") + USBVR480::escapedText(*now));
        return Result{};
    });
}

} // namespace

QList<Command> deviceCommands()
{
    return {
        {QStringLiteral("info"), QStringLiteral("Show the VR480's serial, mode and bootloader version"),
         QStringLiteral("Connects to the VR480 and reads what an upgrade reads first: the serial, which "
                        "tells whether the application or the bootloader runs, and the bootloader's "
                        "version text."),
         {}, {serialOption(), jsonOption(QStringLiteral("One JSON object instead: bus, device, serial, mode and "
                                                        "bootloader, as list --json gives them."))}, info},
        {QStringLiteral("restart"), QStringLiteral("Restart the VR480 into its other firmware"),
         QStringLiteral("The application restarts into the bootloader (which read-ext and write-ext need); "
                        "the bootloader starts the application. Waits until the device is back."),
         {}, {serialOption()}, restart},
    };
}

} // namespace cli
