#include "usbdevice.h"

#include "devicenode.h"

#ifdef VR480_LUSB0_HEADER
#include <lusb0_usb.h>
#else
#include <usb.h>
#endif

#include <QDeadlineTimer>
#include <QDebug>
#include <QHash>
#include <QMutex>
#include <QMutexLocker>
#include <QThread>
#include <QWaitCondition>
#include <QtEndian>

#include <algorithm>
#include <cerrno>
#include <functional>
#include <optional>

namespace {

// Serialises the scans of the process-wide bus and device lists with every
// walk of them and every opening of a listed device, across all device
// objects.
usb::RankedMutex busLock(usb::RankedMutex::BusRank);

constexpr int kTimeoutMs = 2000;

// Where the devices that the device objects of this process hold open, or
// are opening, are ("bus/device"), with the serial of each one held (empty
// when it was not read). WinUSB gives a device to one handle at a time, so no
// object opens a device marked here: a connection passes by one held and
// waits for one being opened (another object's check, at most kCheckMs) to
// be given back; a listing passes by both.
struct Mark {
    bool opening = true;
    QByteArray serial;
};
usb::RankedMutex heldLock(usb::RankedMutex::HeldRank);
QHash<QString, Mark> held;
QWaitCondition markChanged;
// A check: open, configuration, two identity reads and a serial read.
constexpr int kCheckMs = 3 * kTimeoutMs + 1000;
constexpr int kRequestTypeSend = 0x40;    // host to device, vendor, device recipient
constexpr int kRequestTypeReceive = 0xC0; // device to host, vendor, device recipient
constexpr int kFamilyRequest = 0xFF;
constexpr int kBrandRequest = 0xFE;

// A usable data stage: a buffer and a length that fits wLength.
bool hasDataStage(const char *buffer, int dataLength)
{
    return buffer && dataLength > 0 && dataLength <= 0xFFFF;
}

void logTransfer(const char *direction, int request, unsigned value, unsigned index, int dataLength,
                 bool ok)
{
    const char *outcome = ok ? "OK" : "ERROR";
    if (dataLength != 0)
        qDebug("USB Control %s bRequest=%d, wValue=%d, wIndex=%d, dataLength=%d - %s.", direction,
               request & 0xFF, int(value & 0xFFFF), int(index & 0xFFFF), dataLength, outcome);
    else
        qDebug("USB Control %s bRequest=%d, wValue=%d, wIndex=%d - %s.", direction, request & 0xFF,
               int(value & 0xFFFF), int(index & 0xFFFF), outcome);
}

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

// A device as a scan listed it, named rather than pointed at: the next scan
// frees the records of devices that have left. The record addresses are kept
// for the debug lines only.
struct Listed {
    const void *firstOfBus = nullptr;
    usb_device_descriptor descriptor{};
    QString bus;
    QString file;
    int address = 0;
};

struct ListedBus {
    const void *record = nullptr;
    QList<Listed> devices;
};

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

} // namespace

UsbDevice::UsbDevice() = default;

UsbDevice::~UsbDevice()
{
    qDebug("UsbDevice destructor");
    if (handle)
        disconnect();
}

int UsbDevice::connect()
{
    QMutexLocker lock(&deviceLock);
    return connectPrivate();
}

void UsbDevice::disconnect()
{
    QMutexLocker lock(&deviceLock);
    disconnectPrivate();
}

int UsbDevice::isOpen()
{
    QMutexLocker lock(&deviceLock);
    return handle ? 0 : -1;
}

usb::Failure UsbDevice::lastFailure()
{
    QMutexLocker lock(&deviceLock);
    return failure;
}

void UsbDevice::setVidPid(quint16 vendorId, quint16 productId)
{
    QMutexLocker lock(&deviceLock);
    this->vendorId = vendorId;
    this->productId = productId;
}

void UsbDevice::setFamilyId(qint16 id)
{
    familyId = id;
}

void UsbDevice::setBrandId(qint16 id)
{
    brandId = id;
}

void UsbDevice::setSerials(const QList<QByteArray> &serials)
{
    QMutexLocker lock(&deviceLock);
    this->serials = serials;
    twin = false;
}

QList<QByteArray> UsbDevice::selectedSerials()
{
    QMutexLocker lock(&deviceLock);
    return serials;
}

bool UsbDevice::twinAttached()
{
    QMutexLocker lock(&deviceLock);
    if (!serials.isEmpty() && !twin && answering(scan(), vendorId, productId, serials, heldPlace) + (handle ? 1 : 0) > 1)
        twin = true;
    return twin;
}

QList<UsbDevice::Attached> UsbDevice::attachedDevices()
{
    return attachedPrivate(nullptr);
}

QList<UsbDevice::Attached> UsbDevice::attachedDevices(const QList<Attached> &known)
{
    return attachedPrivate(&known);
}

UsbDevice::Place UsbDevice::lastPlace()
{
    QMutexLocker lock(&deviceLock);
    return last;
}

QList<UsbDevice::Attached> UsbDevice::attachedPrivate(const QList<Attached> *known)
{
    QMutexLocker lock(&deviceLock);
    if (handle)
        disconnectPrivate();
    failure = {};
    QList<Attached> found;
    takeFirst(scan(), vendorId, productId, [&](const Listed &device) {
        const auto same = [&](const Attached &a) {
            return a.answered && a.bus == device.bus && a.device == device.address;
        };
        QByteArray othersSerial; // of a device another object has, as far as it knows it
        if (known && std::any_of(known->begin(), known->end(), same)) {
            found.append(*std::find_if(known->begin(), known->end(), same));
        } else if (acceptPrivate(device.bus, device.file, device.address, {}, &othersSerial)) {
            found.append({device.bus, device.address, readSerial(handle)});
            disconnectPrivate();
        } else if (known) {
            found.append({device.bus, device.address, othersSerial, !othersSerial.isEmpty()});
        }
        return false; // all of them
    });
    if (found.isEmpty())
        noteNotConnectedPrivate();
    return found;
}

UsbDevice::Place UsbDevice::openedPlace()
{
    QMutexLocker lock(&deviceLock);
    return openedAt;
}

int UsbDevice::connectPrivate()
{
    Q_ASSERT(deviceLock.isHeldByCurrentThread());
    qDebug("USB Connect");
    if (handle)
        closePrivate();
    failure = {};
    if (twin && !serials.isEmpty()) {
        qDebug("another device has the serial followed: not connected");
        failure.kind = usb::Failure::Kind::Other;
        return -1;
    }
    const Place before = last;
    const auto accept = [this](const Listed &device) {
        return acceptPrivate(device.bus, device.file, device.address, serials);
    };
    // The twins are looked for in the same scan.
    const QList<ListedBus> buses = scan();
    if (takeFirst(buses, vendorId, productId, accept)) {
        if (serials.isEmpty() || answering(buses, vendorId, productId, serials, heldPlace) == 0) {
            failure = {usb::Failure::Kind::None, 0, {}, failure.denied}; // what failed on the way is passed
            return 0;
        }
        twin = true;
        disconnectPrivate();
        last = before; // which of the two it was cannot be told
        failure.kind = usb::Failure::Kind::Other;
        return -1;
    }
    noteNotConnectedPrivate();
    return -1;
}

void UsbDevice::noteNotConnectedPrivate()
{
    if (failure.denied.place.isEmpty())
        failure.denied = usb::deniedDeviceNode(vendorId, productId);
    const bool denied = !failure.denied.place.isEmpty();
    failure.kind = denied ? usb::Failure::Kind::Denied : usb::Failure::Kind::NotFound;
    failure.place = failure.denied.place;
    if (!denied)
        failure.error = 0;
}

bool UsbDevice::acceptPrivate(const QString &bus, const QString &file, int address, const QList<QByteArray> &serials,
                              QByteArray *othersSerial)
{
    Q_ASSERT(deviceLock.isHeldByCurrentThread());
    // The system's refusal comes as a failed open (errno) or as a refused
    // configuration (a Linux device node that may only be read).
    const auto noteDenied = [&](int error) {
        if (const usb::Refusal why = usb::refusalOf(error); why != usb::Refusal::None) {
            failure.denied = {placeText, why};
            failure.error = error;
        }
    };
    const QString place = bus + QLatin1Char('/') + file;
    const QDeadlineTimer checkEnds(kCheckMs);
    for (;;) {
        // Marked and opened by its record while the lists cannot change; only
        // the handle is used from here on.
        QMutexLocker lists(&busLock);
        struct usb_device *record = recordOf(bus, file);
        if (!record)
            return false;
        QMutexLocker marks(&heldLock);
        if (const auto mark = held.constFind(place); mark != held.cend()) {
            if (othersSerial || !mark->opening || checkEnds.hasExpired()) {
                if (othersSerial)
                    *othersSerial = mark->serial;
                return false;
            }
            lists.unlock(); // the other object's check needs no list
            heldLock.wait(markChanged, checkEnds);
            continue; // the lists may have changed meanwhile
        }
        held.insert(place, {});
        heldPlace = place;
        placeText = QStringLiteral("bus %1, device %2").arg(bus, file);
        marks.unlock();
        errno = 0;
        handle = usb_open(record);
        if (handle)
            break;
        noteDenied(errno);
        releasePlacePrivate();
        return false;
    }
    qDebug() << "usb_opened ";
    QByteArray serial;
    if (!serials.isEmpty()) {
        serial = readSerial(handle);
        if (!serials.contains(serial)) {
            qDebug() << "serial" << serial << "not selected";
            closePrivate();
            return false;
        }
    }
    if (const int result = usb_set_configuration(handle, 1); result < 0) {
        noteDenied(-result);
        disconnectPrivate();
        return false;
    }
    qDebug() << "usb_set_configuration ";
    if (usb_claim_interface(handle, 0) < 0) {
        disconnectPrivate();
        return false;
    }
    qDebug() << "usb_claim_interface ";

    // The device must report the expected family, then the expected brand.
    // An answer that is not 2 bytes long, or another value, drops the device.
    const auto identityMatches = [this](int request, qint16 expected, const char *valueLine,
                                        const char *expectedLine) {
        char answer[2] = {0, 0};
        const int n = control_receivePrivate(request, 0, 0, answer, 2);
        if (request == kFamilyRequest)
            qDebug() << "control_receivePrivate( " << request << 0 << 0 << QByteArray(answer, 2) << 2 << ")";
        if (n != 2) {
            if (handle)
                disconnectPrivate();
            return false;
        }
        const qint16 value = qFromLittleEndian<qint16>(answer);
        qDebug(valueLine, unsigned(int(value)));
        qDebug(expectedLine, unsigned(int(expected)));
        if (value != expected) {
            disconnectPrivate();
            return false;
        }
        return true;
    };
    if (!identityMatches(kFamilyRequest, familyId, "\nvrid: %x", "\nUSB_VR302_ID: %x")
        || !identityMatches(kBrandRequest, brandId, "\nbrandid: %x", "\nAPP_BRAND_ID: %x"))
        return false;
    QMutexLocker lock(&heldLock);
    held[heldPlace] = {false, serial};
    markChanged.wakeAll();
    openedAt = {bus, address};
    last = openedAt;
    return true;
}

void UsbDevice::closePrivate()
{
    Q_ASSERT(deviceLock.isHeldByCurrentThread());
    usb_close(handle);
    handle = nullptr;
    releasePlacePrivate();
}

void UsbDevice::releasePlacePrivate()
{
    Q_ASSERT(deviceLock.isHeldByCurrentThread());
    QMutexLocker lock(&heldLock);
    held.remove(heldPlace);
    heldPlace.clear();
    markChanged.wakeAll();
    openedAt = {};
}

void UsbDevice::noteTransferPrivate(int result, int wanted, bool made)
{
    using Kind = usb::Failure::Kind;
    if (result >= 0 && result >= wanted)
        return;
    failure.place = placeText;
    failure.error = made && result < 0 ? -result : 0;
    if (result >= 0) {
        failure.kind = Kind::Short;
        return;
    }
    switch (failure.error) {
    case ETIMEDOUT:
        failure.kind = Kind::TimedOut;
        break;
    case EPIPE:
        failure.kind = Kind::Stalled;
        break;
    case ENODEV:
    case ENXIO:
    case ESHUTDOWN:
        failure.kind = Kind::Gone;
        break;
    case ENOSYS:
        // A driver that carries no vendor request (on Windows HID's, which
        // opens and configures the device all the same) is refused as a
        // device that is not bound.
        failure.kind = Kind::Denied;
        failure.denied = {placeText, usb::refusalOf(ENOSYS)};
        break;
    default:
        failure.kind = Kind::Other;
        break;
    }
}

void UsbDevice::disconnectPrivate()
{
    Q_ASSERT(deviceLock.isHeldByCurrentThread());
    qDebug("USB Disconnect");
    if (handle) {
        usb_release_interface(handle, 0);
        closePrivate();
    }
}

int UsbDevice::bulk_write(const char *buffer, int length)
{
    QMutexLocker lock(&deviceLock);
    if (!buffer || length <= 0 || !handle)
        return -1;
    // libusb 0.1 takes a non-const pointer but only reads an OUT buffer.
    return usb_bulk_write(handle, 0x02, const_cast<char *>(buffer), length, kTimeoutMs);
}

int UsbDevice::bulk_read(char *buffer, int length)
{
    QMutexLocker lock(&deviceLock);
    if (!buffer || length <= 0 || !handle)
        return -1;
    return usb_bulk_read(handle, 0x81, buffer, length, kTimeoutMs);
}

QByteArray UsbDevice::readStringDescriptor()
{
    QMutexLocker lock(&deviceLock);
    return handle ? readSerial(handle) : QByteArray();
}

int UsbDevice::control_send(int request, unsigned value, unsigned index, const char *buffer,
                            int dataLength)
{
    QMutexLocker lock(&deviceLock);
    qDebug("UsbDevice::control_send()");
    if (!handle && connectPrivate() < 0)
        return -1;

    int result = -1;
    const bool made = dataLength >= 0 && dataLength <= 0xFFFF;
    if (made) {
        const bool withData = hasDataStage(buffer, dataLength);
        // libusb 0.1 takes a non-const pointer but only reads an OUT buffer.
        result = usb_control_msg(handle, kRequestTypeSend, request & 0xFF, int(value & 0xFFFF),
                                 int(index & 0xFFFF), withData ? const_cast<char *>(buffer) : nullptr,
                                 withData ? dataLength : 0, kTimeoutMs);
    }
    logTransfer("Send", request, value, index, dataLength, result >= 0);
    noteTransferPrivate(result, made && hasDataStage(buffer, dataLength) ? dataLength : 0, made);
    if (result < 0) {
        disconnectPrivate();
        return -1;
    }
    return result;
}

int UsbDevice::control_receive(int request, unsigned value, unsigned index, char *buffer, int dataLength)
{
    QMutexLocker lock(&deviceLock);
    return control_receivePrivate(request, value, index, buffer, dataLength);
}

int UsbDevice::control_receivePrivate(int request, unsigned value, unsigned index, char *buffer,
                                      int dataLength)
{
    Q_ASSERT(deviceLock.isHeldByCurrentThread());
    if (!handle && connectPrivate() < 0)
        return -1;

    int result = -1;
    const bool made = hasDataStage(buffer, dataLength);
    if (made)
        result = usb_control_msg(handle, kRequestTypeReceive, request & 0xFF, int(value & 0xFFFF),
                                 int(index & 0xFFFF), buffer, dataLength, kTimeoutMs);
    logTransfer("Receive", request, value, index, dataLength, result >= 0);
    noteTransferPrivate(result, made ? dataLength : 0, made);
    if (result < 0) {
        disconnectPrivate();
        return -1;
    }
    return result;
}
