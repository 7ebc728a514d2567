#include "busscan.h"

#include <QDebug>
#include <QMutexLocker>

namespace usb::bus {

RankedMutex busLock(RankedMutex::BusRank);
RankedMutex heldLock(RankedMutex::HeldRank);
QHash<QString, Mark> held;
QWaitCondition markChanged;

// String descriptor 3, one byte per UTF-16 unit, up to the first zero unit;
// empty when the read fails.
QByteArray readSerial(usb_dev_handle *handle)
{
    QByteArray text;
    char descriptor[256];
    const int n = usb_get_descriptor(handle, USB_DT_STRING, 3, descriptor, sizeof descriptor);
    for (int i = 2; i + 1 < n; i += 2) {
        if (descriptor[i] == 0 && descriptor[i + 1] == 0)
            break;
        text.append(descriptor[i]);
    }
    return text;
}

// A fresh scan: every bus and its devices, in list order.
QList<ListedBus> scan()
{
    QMutexLocker lists(&busLock);
    usb_init();
    usb_find_busses();
    usb_find_devices();
    QList<ListedBus> buses;
    for (usb_bus *bus = usb_get_busses(); bus; bus = bus->next) {
        ListedBus &listed = buses.emplace_back();
        listed.record = bus;
        for (struct usb_device *dev = bus->devices; dev; dev = dev->next)
            listed.devices.append(Listed{bus->devices, dev->descriptor, QString::fromLatin1(bus->dirname),
                                         QString::fromLatin1(dev->filename), dev->devnum});
    }
    return buses;
}

// Goes through a scan's devices in order, each with its debug lines, and
// offers those with these ids to `take`, until it takes one: so the lines
// of a device are followed by its own checks, and no device after the one
// taken is looked at. True when one was taken.
bool takeFirst(const QList<ListedBus> &buses, quint16 vendorId, quint16 productId,
               const std::function<bool(const Listed &)> &take)
{
    for (const ListedBus &bus : buses) {
        qDebug() << "bus: " << bus.record;
        for (const Listed &device : bus.devices) {
            const usb_device_descriptor &d = device.descriptor;
            qDebug() << "bus->devices: " << device.firstOfBus;
            qDebug() << "dev->descriptor.idVendor: " << Qt::hex << unsigned(d.idVendor);
            qDebug() << "dev->descriptor.idProduct: " << Qt::hex << unsigned(d.idProduct);
            qDebug() << "dev->descriptor.iSerialNumber: " << Qt::hex << unsigned(d.iSerialNumber);
            qDebug() << "dev->descriptor.bMaxPacketSize0: " << Qt::hex << unsigned(d.bMaxPacketSize0);
            if (d.idVendor == vendorId && d.idProduct == productId && take(device))
                return true;
        }
    }
    return false;
}

// With the bus lock held: the record of the device as the lists hold it now,
// or nothing when it is no longer listed.
struct usb_device *recordOf(const QString &busName, const QString &file)
{
    Q_ASSERT(busLock.isHeldByCurrentThread());
    for (usb_bus *bus = usb_get_busses(); bus; bus = bus->next) {
        if (busName != QLatin1String(bus->dirname))
            continue;
        for (struct usb_device *dev = bus->devices; dev; dev = dev->next)
            if (file == QLatin1String(dev->filename))
                return dev;
    }
    return nullptr;
}

// The serial of the device that a scan listed as `file` on `bus`, read
// without configuring it or sending anything, unless it is no longer listed
// or another object of the process holds it or is opening it. Its place is
// marked while it is open, as every opening marks it.
std::optional<QByteArray> peekSerial(const QString &bus, const QString &file)
{
    const QString place = bus + QLatin1Char('/') + file;
    usb_dev_handle *handle = nullptr;
    {
        QMutexLocker lists(&busLock);
        struct usb_device *record = recordOf(bus, file);
        if (!record)
            return std::nullopt;
        QMutexLocker marks(&heldLock);
        if (held.contains(place))
            return std::nullopt;
        held.insert(place, {});
        marks.unlock();
        handle = usb_open(record);
    }
    std::optional<QByteArray> serial;
    if (handle) {
        serial = readSerial(handle);
        usb_close(handle);
    }
    QMutexLocker marks(&heldLock);
    held.remove(place);
    markChanged.wakeAll();
    return serial;
}

// The devices of a scan with these ids, but the one at `except`
// ("bus/file"), that answer with one of `serials`.
int answering(const QList<ListedBus> &buses, quint16 vendorId, quint16 productId, const QList<QByteArray> &serials,
              const QString &except)
{
    int count = 0;
    for (const ListedBus &bus : buses) {
        for (const Listed &device : bus.devices) {
            const QString place = device.bus + QLatin1Char('/') + device.file;
            if (device.descriptor.idVendor != vendorId || device.descriptor.idProduct != productId
                || place == except)
                continue;
            const std::optional<QByteArray> serial = peekSerial(device.bus, device.file);
            if (serial && serials.contains(*serial)) {
                qDebug() << "serial" << *serial << "also at bus" << device.bus << "device" << device.file;
                ++count;
            }
        }
    }
    return count;
}

} // namespace usb::bus
