#include "usbipdevice.h"

#include "simdevice.h"

#ifdef VR480_LUSB0_HEADER
#include <lusb0_usb.h>
#else
#include <usb.h>
#endif

#include <QDebug>
#include <QtEndian>

#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace usbip {

namespace {

constexpr int kTimeoutMs = 2000; // the simulation fails a time-out at once

enum StandardRequest {
    GetStatus = 0,
    ClearFeature = 1,
    SetAddress = 5,
    GetDescriptor = 6,
    GetConfiguration = 8,
    SetConfiguration = 9,
    GetInterface = 10,
    SetInterface = 11,
};
enum DescriptorType { DeviceDescriptor = 1, ConfigurationDescriptor = 2, StringDescriptor = 3 };
constexpr int kTypeMask = 0x60;
constexpr int kStandard = 0x00;
constexpr int kVendor = 0x40;
constexpr int kRecipientEndpoint = 0x02;

bool readFully(int fd, char *data, int length)
{
    while (length > 0) {
        const ssize_t n = ::read(fd, data, size_t(length));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        data += n;
        length -= int(n);
    }
    return true;
}

// The record of the simulated device after a fresh scan, by its bus (whose
// location is its number + 1 on the simulated bus) and its address there.
struct usb_device *recordOf(int deviceId)
{
    usb_find_busses();
    usb_find_devices();
    const sim::Device &device = *sim::devices().at(deviceId);
    for (usb_bus *bus = usb_get_busses(); bus; bus = bus->next)
        for (struct usb_device *dev = bus->devices; dev; dev = dev->next)
            if (bus->location == uint32_t(device.bus() + 1) && dev->devnum == device.address())
                return dev;
    return nullptr;
}

QByteArray deviceDescriptorOf(const usb_device_descriptor &d)
{
    QByteArray bytes(18, '\0');
    auto *p = reinterpret_cast<uchar *>(bytes.data());
    p[0] = 18;
    p[1] = DeviceDescriptor;
    qToLittleEndian<quint16>(d.bcdUSB, p + 2);
    p[4] = d.bDeviceClass;
    p[5] = d.bDeviceSubClass;
    p[6] = d.bDeviceProtocol;
    p[7] = d.bMaxPacketSize0;
    qToLittleEndian<quint16>(d.idVendor, p + 8);
    qToLittleEndian<quint16>(d.idProduct, p + 10);
    qToLittleEndian<quint16>(d.bcdDevice, p + 12);
    p[14] = d.iManufacturer;
    p[15] = d.iProduct;
    p[16] = d.iSerialNumber;
    p[17] = d.bNumConfigurations;
    return bytes;
}

// `answer` into the IN buffer, cut to what the host asked for.
int copyIn(QByteArray &data, const QByteArray &answer)
{
    const int n = int(std::min(data.size(), answer.size()));
    std::memcpy(data.data(), answer.constData(), size_t(n));
    return n;
}

} // namespace

DeviceLink::DeviceLink(int deviceId, int fd) : modelId(deviceId), connection(fd) {}

DeviceLink::~DeviceLink()
{
    if (handle)
        usb_close(handle);
}

bool DeviceLink::open()
{
    struct usb_device *record = recordOf(modelId);
    if (!record)
        return false;
    handle = usb_open(record);
    deviceDescriptor = deviceDescriptorOf(record->descriptor);
    configurationValue = 0;
    return handle != nullptr;
}

// One configuration with one vendor-specific interface and no endpoints but
// endpoint 0; bus powered, 100 mA.
QByteArray DeviceLink::configurationDescriptor()
{
    static const char bytes[] = {
        9, ConfigurationDescriptor, 18, 0, 1, 1, 0, char(0x80), 50, // configuration 1
        9, 4, 0, 0, 0, char(0xFF), 0, 0, 0,                          // interface 0, vendor class
    };
    return QByteArray(bytes, sizeof bytes);
}

bool DeviceLink::online() const
{
    const QList<sim::Device *> devices = sim::devices();
    return modelId < devices.size() && devices.at(modelId)->online();
}

bool DeviceLink::send(const QByteArray &bytes)
{
    const char *p = bytes.constData();
    qsizetype left = bytes.size();
    while (left > 0) {
        const ssize_t n = ::send(connection, p, size_t(left), MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        p += n;
        left -= n;
    }
    return true;
}

DeviceLink::Outcome DeviceLink::serveOne()
{
    char raw[kHeaderSize];
    if (!readFully(connection, raw, kHeaderSize))
        return Outcome::Closed;
    const Header command = decode(raw);

    if (command.command == CmdUnlink) {
        // Given up by the kernel (its time-out fired): never answer it now.
        const bool wasWaiting = waitingSeqnums.remove(uint32_t(command.word[0]));
        if (wasWaiting) {
            ++unlinkedCount;
            qInfo("device %d: transfer %d was given up by the host", modelId, command.word[0]);
        }
        return send(unlinkReply(command, wasWaiting ? -ECONNRESET : 0)) ? Outcome::Served
                                                                          : Outcome::Closed;
    }
    const int length = command.word[1];
    if (command.command != CmdSubmit || length < 0 || length > 0xFFFF)
        return Outcome::Broken;
    const bool in = command.direction == DirIn;
    QByteArray data(length, '\0');
    if (!in && !readFully(connection, data.data(), length))
        return Outcome::Closed;
    const Setup setup = setupOf(command);

    // Only endpoint 0 exists; the setup packet and the URB must agree.
    int result = -EPIPE;
    if (command.ep == 0 && bool(setup.requestType & 0x80) == in && setup.length >= length)
        result = control(setup, data);
    qDebug("device %d: %02x %02x %04x %04x %d -> %d", modelId, setup.requestType, setup.request, setup.value,
           setup.index, length, result);

    bool sent = true;
    if (result == -ETIMEDOUT || result == -ENODEV)
        waitingSeqnums.insert(command.seqnum); // a device that is not answering, or no longer there
    else if (result < 0)
        sent = send(submitReply(command, -EPIPE, 0));
    else
        sent = send(submitReply(command, 0, result, in ? data.left(result) : QByteArray()));
    if (!sent)
        return Outcome::Closed;
    return online() ? Outcome::Served : Outcome::LeftBus;
}

// A byte count, or -EPIPE (stall), -ETIMEDOUT (no answer), -ENODEV (gone).
int DeviceLink::control(const Setup &setup, QByteArray &data)
{
    switch (setup.requestType & kTypeMask) {
    case kVendor:
        return forward(setup, data);
    case kStandard:
        return standard(setup, data);
    default:
        return -EPIPE;
    }
}

int DeviceLink::standard(const Setup &setup, QByteArray &data)
{
    const bool in = setup.requestType & 0x80;
    switch (setup.request) {
    case GetStatus: // not self powered, no remote wake-up, no halted endpoint
        return in ? copyIn(data, QByteArray(2, '\0')) : -EPIPE;
    case ClearFeature: // endpoint halt of endpoint 0
        return (setup.requestType & 0x1F) == kRecipientEndpoint && setup.value == 0
                       && (setup.index & 0x7F) == 0
                   ? 0
                   : -EPIPE;
    case SetAddress: // the host controller keeps the address
        return 0;
    case GetDescriptor:
        if (!in)
            return -EPIPE;
        switch (setup.value >> 8) {
        case DeviceDescriptor:
            return copyIn(data, deviceDescriptor);
        case ConfigurationDescriptor:
            return (setup.value & 0xFF) == 0 ? copyIn(data, configurationDescriptor()) : -EPIPE;
        case StringDescriptor:
            return forward(setup, data);
        default:
            return -EPIPE;
        }
    case GetConfiguration:
        return in ? copyIn(data, QByteArray(1, char(configurationValue))) : -EPIPE;
    case SetConfiguration: {
        if (in)
            return -EPIPE;
        if (setup.value == 0) { // back to the addressed state
            configurationValue = 0;
            return 0;
        }
        const int result = usb_set_configuration(handle, setup.value);
        if (result == 0)
            configurationValue = setup.value;
        return result == 0 || result == -ENODEV ? result : -EPIPE;
    }
    case GetInterface:
        return in && configurationValue != 0 && setup.index == 0 ? copyIn(data, QByteArray(1, '\0')) : -EPIPE;
    case SetInterface:
        return !in && configurationValue != 0 && setup.index == 0 && setup.value == 0 ? 0 : -EPIPE;
    default:
        return -EPIPE;
    }
}

int DeviceLink::forward(const Setup &setup, QByteArray &data)
{
    const int result = usb_control_msg(handle, setup.requestType, setup.request, setup.value, setup.index,
                                       data.data(), int(data.size()), kTimeoutMs);
    return result >= 0 || result == -ETIMEDOUT || result == -ENODEV ? result : -EPIPE;
}

} // namespace usbip
