#include "devicenode.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <cerrno>

namespace usb {

namespace {

QByteArray attribute(const QString &device, const char *name)
{
    QFile file(device + QLatin1Char('/') + QLatin1String(name));
    return file.open(QIODevice::ReadOnly) ? file.readAll().trimmed() : QByteArray();
}

} // namespace

Refusal refusalOf(int error)
{
    // libusb reports a refused device node as a failed open or, when the node
    // may only be read, as a refused configuration. Linux's libusb gives no
    // ENOSYS; the simulated device does under Windows' rules.
    if (error == ENOSYS)
        return Refusal::NotBound;
    return error == EACCES || error == EPERM ? Refusal::NoPermission : Refusal::None;
}

int openableWithinMs()
{
    // A new device node is root's until udev applies its rule (60-vr480.rules):
    // milliseconds, a few seconds on a loaded machine.
    return 5000;
}

DeniedDevice deniedDeviceNode(quint16 vendorId, quint16 productId)
{
    // The kernel lists every device in sysfs; its node is /dev/bus/usb/BBB/DDD.
    const QDir devices(QStringLiteral("/sys/bus/usb/devices"));
    for (const QString &name : devices.entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        const QString device = devices.filePath(name);
        bool ok = false;
        if (attribute(device, "idVendor").toUInt(&ok, 16) != vendorId || !ok
            || attribute(device, "idProduct").toUInt(&ok, 16) != productId || !ok)
            continue;
        const QString bus = QStringLiteral("%1").arg(attribute(device, "busnum").toInt(), 3, 10, QLatin1Char('0'));
        const QString number =
            QStringLiteral("%1").arg(attribute(device, "devnum").toInt(), 3, 10, QLatin1Char('0'));
        const QFileInfo node(QStringLiteral("/dev/bus/usb/%1/%2").arg(bus, number));
        if (node.exists() && !(node.isReadable() && node.isWritable()))
            return {QStringLiteral("bus %1, device %2").arg(bus, number), Refusal::NoPermission};
    }
    return {}; // also where there is no such list
}

} // namespace usb
