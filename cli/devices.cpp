// list, and the choice of the device for every device command.

#include "devices.h"
#include "servicetools.h"
#include "unitreport.h"

namespace cli {

namespace {

const QString kSerialOption = QStringLiteral("serial");

// One line per device under a heading, in columns.
QString deviceTable(const QList<ServiceTools::AttachedDevice> &devices)
{
    int serialWidth = 6;
    for (const ServiceTools::AttachedDevice &device : devices)
        serialWidth = qMax(serialWidth, int(USBVR480::escapedText(device.found.serial).size()));
    const QString row = QStringLiteral("%1  %2  %3  %4  %5");
    QStringList lines{row.arg(QStringLiteral("BUS"), -3)
                          .arg(QStringLiteral("DEVICE"))
                          .arg(QStringLiteral("SERIAL"), -serialWidth)
                          .arg(QStringLiteral("MODE"), -11)
                          .arg(QStringLiteral("BOOTLOADER"))};
    for (const ServiceTools::AttachedDevice &device : devices)
        lines << row.arg(device.found.bus, -3)
                     .arg(QStringLiteral("%1").arg(device.found.device, 3, 10, QLatin1Char('0')), -6)
                     .arg(USBVR480::escapedText(device.found.serial), -serialWidth)
                     .arg(modeName(device.firmware), -11)
                     .arg(device.bootloaderVersion ? USBVR480::escapedText(*device.bootloaderVersion)
                                                   : QStringLiteral("-"));
    return lines.join(QLatin1Char('\n'));
}

// A refusal about the attached devices, with their list.
Result refusalWithList(int status, const QString &message)
{
    USBVR480 usb;
    return failure(status, message + QStringLiteral(":\n") + deviceTable(ServiceTools::attachedDevices(usb)));
}

Result list(Invocation &in)
{
    USBVR480 usb;
    const QList<ServiceTools::AttachedDevice> devices = ServiceTools::attachedDevices(usb);
    if (devices.isEmpty())
        return noDeviceResult(usb);
    if (!jsonOutput(in)) {
        print(deviceTable(devices));
        return {};
    }
    for (const ServiceTools::AttachedDevice &device : devices)
        writeTo(stdout, deviceJson({device.found.bus, device.found.device}, device.found.serial,
                                   device.bootloaderVersion));
    return {};
}

} // namespace

QString modeName(USBVR480::Firmware firmware)
{
    switch (firmware) {
    case USBVR480::Firmware::Application:
        return QStringLiteral("application");
    case USBVR480::Firmware::Bootloader:
        return QStringLiteral("bootloader");
    case USBVR480::Firmware::Unknown:
        break;
    }
    return QStringLiteral("unknown");
}

QByteArray deviceJson(const UsbDevice::Place &place, const QByteArray &serial,
                      const std::optional<QString> &bootloaderVersion)
{
    return JsonLine()
        .add("bus", place.bus.isEmpty() ? QJsonValue() : place.bus)
        .add("device", place.bus.isEmpty() ? QJsonValue() : place.device)
        .add("serial", USBVR480::deviceText(serial))
        .add("mode", modeName(USBVR480::runningFirmware(serial)))
        .add("bootloader", bootloaderVersion ? QJsonValue(*bootloaderVersion) : QJsonValue())
        .line();
}

QCommandLineOption serialOption(const QString &more)
{
    return QCommandLineOption(kSerialOption,
                              QStringLiteral("The VR480 with this serial (with or without the \"b\" of its "
                                             "bootloader); needed when several are attached.")
                                  + more,
                              QStringLiteral("SERIAL"));
}

std::optional<Result> wantedSerials(const Invocation &in, QList<QByteArray> *serials)
{
    serials->clear();
    for (const QString &text : in.parser.values(kSerialOption)) {
        const QByteArray serial = USBVR480::baseSerial(text.toLatin1());
        if (serial.isEmpty() || serials->contains(serial))
            return Result{ExitUsage,
                          QStringLiteral("--serial \"%1\" is empty or given twice").arg(USBVR480::escapedText(text)),
                          true};
        *serials << serial;
    }
    return std::nullopt;
}

std::optional<Result> chooseDevices(const Invocation &in, bool all, QList<QByteArray> *serials)
{
    QList<QByteArray> wanted;
    if (std::optional<Result> refusal = wantedSerials(in, &wanted))
        return refusal;
    if (all && !wanted.isEmpty())
        return Result{ExitUsage, QStringLiteral("--all and --serial exclude each other"), true};

    USBVR480 usb;
    QList<QByteArray> attached;
    for (const UsbDevice::Attached &found : usb.attachedDevices())
        attached << USBVR480::baseSerial(found.serial);
    if (all) {
        if (attached.isEmpty())
            return noDeviceResult(usb);
        wanted = attached;
    } else if (wanted.isEmpty()) {
        if (attached.size() > 1)
            return refusalWithList(ExitUsage, QStringLiteral("%1 VR480 are attached; choose one with --serial "
                                                             "SERIAL")
                                                  .arg(attached.size()));
        serials->clear();
        return std::nullopt;
    }
    for (const QByteArray &serial : std::as_const(wanted)) {
        const qsizetype count = attached.count(serial);
        if (count == 0)
            return attached.isEmpty() ? noDeviceResult(usb)
                                      : refusalWithList(ExitNoDevice, QStringLiteral("no VR480 with the serial %1 "
                                                                                     "is attached")
                                                                          .arg(USBVR480::escapedText(serial)));
        if (count > 1)
            return refusalWithList(ExitUsage, QStringLiteral("%1 VR480 have the serial %2 and cannot be told "
                                                             "apart; attach only one of them")
                                                  .arg(count)
                                                  .arg(USBVR480::escapedText(serial)));
    }
    *serials = wanted;
    return std::nullopt;
}

std::optional<Result> selectDevice(const Invocation &in, USBVR480 &usb)
{
    if (in.parser.values(kSerialOption).size() > 1)
        return Result{ExitUsage, QStringLiteral("--serial is given more than once"), true};
    QList<QByteArray> serials;
    if (std::optional<Result> refusal = chooseDevices(in, false, &serials))
        return refusal;
    if (!serials.isEmpty())
        usb.selectSerial(serials.first());
    return std::nullopt;
}

QList<Command> listCommands()
{
    return {
        {QStringLiteral("list"), QStringLiteral("List every attached VR480"),
         QStringLiteral("One line for each attached VR480, in bus order: its bus and device number (a new one "
                        "after each restart), serial, the firmware that runs and the bootloader's version "
                        "(\"-\" where it cannot be read). The serial names the device for --serial."),
         {}, {jsonOption(QStringLiteral("One JSON object per device instead: bus, device, serial, mode and "
                                        "bootloader (null where it cannot be read)."))}, list},
    };
}

} // namespace cli
