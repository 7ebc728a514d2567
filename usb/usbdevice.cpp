#include "usbdevice.h"

#include "busscan.h"
#include "devicenode.h"

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

using namespace usb::bus;

constexpr int kTimeoutMs = 2000;

// A check: open, configuration, two identity reads and a serial read; the
// longest that a connection waits for another object's check.
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

UsbDevice::Place UsbDevice::lastPlace()
{
    QMutexLocker lock(&deviceLock);
    return last;
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
