#include "usb/usbdevice.h"

#include "usb/devicenode.h"

#ifdef VR480_LUSB0_HEADER
#include <lusb0_usb.h>
#else
#include <usb.h>
#endif

#include <QDebug>
#include <QMutex>
#include <QMutexLocker>
#include <QtEndian>

#include <cerrno>

namespace {

// Serialises every use of a device handle, across all device objects.
QMutex deviceLock;

constexpr int kTimeoutMs = 2000;
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

QString UsbDevice::deniedDevice()
{
    QMutexLocker lock(&deviceLock);
    return denied;
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

int UsbDevice::connectPrivate()
{
    qDebug("USB Connect");
    if (handle) {
        usb_close(handle);
        handle = nullptr;
    }

    denied.clear();
    // libusb reports a refused device node as a failed open (errno) or, when
    // the node may only be read, as a refused configuration.
    const auto noteDenied = [this](const struct usb_device *dev, int error) {
        if (error == EACCES || error == EPERM)
            denied = QStringLiteral("bus %1, device %2")
                         .arg(QString::fromLocal8Bit(dev->bus->dirname), QString::fromLocal8Bit(dev->filename));
    };

    usb_init();
    usb_find_busses();
    usb_find_devices();

    for (usb_bus *bus = usb_get_busses(); bus; bus = bus->next) {
        qDebug() << "bus: " << static_cast<const void *>(bus);
        for (struct usb_device *dev = bus->devices; dev; dev = dev->next) {
            const usb_device_descriptor &d = dev->descriptor;
            qDebug() << "bus->devices: " << static_cast<const void *>(bus->devices);
            qDebug() << "dev->descriptor.idVendor: " << Qt::hex << unsigned(d.idVendor);
            qDebug() << "dev->descriptor.idProduct: " << Qt::hex << unsigned(d.idProduct);
            qDebug() << "dev->descriptor.iSerialNumber: " << Qt::hex << unsigned(d.iSerialNumber);
            qDebug() << "dev->descriptor.bMaxPacketSize0: " << Qt::hex << unsigned(d.bMaxPacketSize0);

            if (d.idVendor != vendorId || d.idProduct != productId)
                continue;
            errno = 0;
            handle = usb_open(dev);
            if (!handle) {
                noteDenied(dev, errno);
                continue;
            }
            qDebug() << "usb_opened ";
            if (const int result = usb_set_configuration(handle, 1); result < 0) {
                noteDenied(dev, -result);
                disconnectPrivate();
                continue;
            }
            qDebug() << "usb_set_configuration ";
            if (usb_claim_interface(handle, 0) < 0) {
                disconnectPrivate();
                continue;
            }
            qDebug() << "usb_claim_interface ";

            // The device must report the expected family, then the expected brand.
            // An answer that is not 2 bytes long, or another value, drops the device.
            const auto identityMatches = [this](int request, qint16 expected, const char *valueLine,
                                                const char *expectedLine) {
                char answer[2] = {0, 0};
                const int n = control_receivePrivate(request, 0, 0, answer, 2);
                if (request == kFamilyRequest)
                    qDebug() << "control_receivePrivate( " << request << 0 << 0
                             << QByteArray(answer, 2) << 2 << ")";
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
                continue;
            return 0;
        }
    }
    if (denied.isEmpty())
        denied = deniedDeviceNode(vendorId, productId);
    return -1;
}

void UsbDevice::disconnectPrivate()
{
    qDebug("USB Disconnect");
    if (handle) {
        usb_release_interface(handle, 0);
        usb_close(handle);
        handle = nullptr;
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
    QByteArray text;
    if (!handle)
        return text;
    char descriptor[256];
    const int n = usb_get_descriptor(handle, USB_DT_STRING, 3, descriptor, sizeof descriptor);
    // UTF-16LE code units from offset 2 up to the first zero unit.
    for (int i = 2; i + 1 < n; i += 2) {
        if (descriptor[i] == 0 && descriptor[i + 1] == 0)
            break;
        text.append(descriptor[i]);
    }
    return text;
}

int UsbDevice::control_send(int request, unsigned value, unsigned index, const char *buffer,
                            int dataLength)
{
    QMutexLocker lock(&deviceLock);
    qDebug("UsbDevice::control_send()");
    if (!handle && connectPrivate() < 0)
        return -1;

    int result = -1;
    if (dataLength >= 0 && dataLength <= 0xFFFF) {
        const bool withData = hasDataStage(buffer, dataLength);
        // libusb 0.1 takes a non-const pointer but only reads an OUT buffer.
        result = usb_control_msg(handle, kRequestTypeSend, request & 0xFF, int(value & 0xFFFF),
                                 int(index & 0xFFFF), withData ? const_cast<char *>(buffer) : nullptr,
                                 withData ? dataLength : 0, kTimeoutMs);
    }
    logTransfer("Send", request, value, index, dataLength, result >= 0);
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
    if (!handle && connectPrivate() < 0)
        return -1;

    int result = -1;
    if (hasDataStage(buffer, dataLength))
        result = usb_control_msg(handle, kRequestTypeReceive, request & 0xFF, int(value & 0xFFFF),
                                 int(index & 0xFFFF), buffer, dataLength, kTimeoutMs);
    logTransfer("Receive", request, value, index, dataLength, result >= 0);
    if (result < 0) {
        disconnectPrivate();
        return -1;
    }
    return result;
}
