// The libusb 0.1 functions of the device fuzzer, answered from its input.
// Results follow libusb 0.1 on Linux: a byte count or 0 on success, a negative
// errno on failure. A sound device, which every choice of 0 gives, is a VR480
// that runs its application until it is restarted, stores what it is sent and
// sends it back.

#include "fuzzedusb.h"

#include "memorymap.h"
#include "scramble.h"

#ifdef VR480_LUSB0_HEADER
#include <lusb0_usb.h>
#else
#include <usb.h>
#endif

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <set>
#include <vector>

struct usb_bus *usb_busses = nullptr;

// What the checks of the writes need to know about a handle.
struct usb_dev_handle {
    int slot = 0; // the device's place in the bus order
    bool familyOk = false;
    bool brandOk = false;
    // The serial last reported, read as the layers above read it; none after
    // a failed read.
    std::optional<QByteArray> serial;
};

namespace fuzzusb {

std::optional<uint8_t> Script::next(uint8_t sound)
{
    if (recording) {
        record.append(char(sound));
        return sound;
    }
    if (at == size)
        return std::nullopt;
    return data[at++];
}

std::optional<QByteArray> Script::take(const QByteArray &sound)
{
    if (recording) {
        record += sound;
        return sound;
    }
    if (size - at < size_t(sound.size())) {
        at = size;
        return std::nullopt;
    }
    const QByteArray bytes(reinterpret_cast<const char *>(data + at), sound.size());
    at += size_t(sound.size());
    return bytes;
}

namespace {

enum Request {
    ReadMemory = 1,
    WritePage = 3,
    Restart = 4,
    ReadExternalFlash = 5,
    WriteExternalFlash = 6,
    Brand = 0xFE,
    Family = 0xFF,
};
constexpr int kMaxDevicesPerBus = 3;
constexpr int kMaxSlots = 2 * kMaxDevicesPerBus;
constexpr int kExternalStoreSize = 0x20000;

[[noreturn]] void fault(const char *what, int request)
{
    std::fprintf(stderr, "fuzz_device: %s (request %d)\n", what, request & 0xFF);
    std::abort();
}

struct Session {
    Script *script = nullptr;
    bool listed = false; // the first scan has laid out the bus
    std::vector<std::unique_ptr<usb_bus>> buses;
    std::vector<std::unique_ptr<struct usb_device>> devices; // in bus order: slot i is devices[i]
    bool application[kMaxSlots] = {};                 // the sound device of slot i runs its application
    std::set<usb_dev_handle *> handles;
    QByteArray flash;    // internal flash from MemoryMap::kFlashBase, scrambled as the device stores it
    QByteArray external; // external flash from address 0
    bool readOnly = false;
    QByteArray followed;
};

std::mutex lock; // the layers above may call from several threads
Session session;

Script &script()
{
    if (!session.script)
        fault("libusb called outside a session", 0);
    return *session.script;
}

usb_dev_handle *live(usb_dev_handle *handle)
{
    if (!session.handles.count(handle))
        fault("a handle used that is not open", 0);
    return handle;
}

// The bus as a scan finds it: one or two buses of up to three devices, each
// with its descriptor's ids and its address from the input. A later scan
// keeps the bus unless the input changes it; a change frees the old records,
// as libusb 0.1 frees those of devices that left.
void scanBus()
{
    if (session.listed && script().next(0).value_or(0) == 0)
        return;
    session.listed = true;
    session.devices.clear();
    session.buses.clear();
    usb_busses = nullptr;
    const uint8_t shape = script().next(0).value_or(3); // bits 0-1 and 3-4: devices of each bus; bit 2: two buses
    const int busCount = shape & 4 ? 2 : 1;
    for (int b = 0; b < busCount; ++b) {
        auto bus = std::make_unique<usb_bus>();
        std::snprintf(bus->dirname, sizeof bus->dirname, "%03d", b + 1);
        if (!session.buses.empty()) {
            session.buses.back()->next = bus.get();
            bus->prev = session.buses.back().get();
        }
        const int count = ((shape >> (b == 0 ? 0 : 3)) + 1) % 4;
        struct usb_device *tail = nullptr;
        for (int d = 0; d < count; ++d) {
            const int slot = int(session.devices.size());
            const QByteArray sound("\xC0\x16\x73\x0A\x03\x40", 6);
            const std::optional<QByteArray> chosen = script().take(sound + char(slot));
            if (!chosen)
                break;
            const auto byte = [&](int i) { return uint8_t(chosen->at(i)); };
            auto device = std::make_unique<struct usb_device>();
            device->bus = bus.get();
            device->descriptor.bLength = USB_DT_DEVICE_SIZE;
            device->descriptor.bDescriptorType = USB_DT_DEVICE;
            device->descriptor.idVendor = uint16_t(byte(0) | byte(1) << 8);
            device->descriptor.idProduct = uint16_t(byte(2) | byte(3) << 8);
            device->descriptor.iSerialNumber = byte(4);
            device->descriptor.bMaxPacketSize0 = byte(5);
            // Addresses are unique on a bus, from 1 to 127.
            const auto taken = [&](int address) {
                for (struct usb_device *other = bus->devices; other; other = other->next)
                    if (other->devnum == address)
                        return true;
                return false;
            };
            int address = 1 + byte(6) % 127;
            while (taken(address))
                address = address % 127 + 1;
            device->devnum = uint8_t(address);
            std::snprintf(device->filename, sizeof device->filename, "%03d", address);
            device->prev = tail;
            (tail ? tail->next : bus->devices) = device.get();
            tail = device.get();
            session.devices.push_back(std::move(device));
        }
        session.buses.push_back(std::move(bus));
    }
    usb_busses = session.buses.front().get();
}

// An open, a configuration or a claim: 0, or the system's refusal.
int refusal()
{
    const std::optional<uint8_t> choice = script().next(0);
    if (!choice)
        return -ENODEV;
    switch (*choice % 4) {
    case 1:
        return -EACCES; // the device node's permissions
    case 2:
        return -EBUSY;
    default:
        return 0;
    }
}

// A transfer's byte count out of `size` (all of it, or fewer) or a negative
// errno, and whether its bytes come from the input.
struct Answer {
    int result = -ETIMEDOUT;
    bool fromInput = false;
};
Answer chooseAnswer(int size)
{
    const std::optional<uint8_t> choice = script().next(0);
    if (!choice)
        return {};
    const bool fromInput = *choice & 4;
    switch (*choice & 3) {
    case 1:
        if (const std::optional<uint8_t> part = script().next(0))
            return {*part * size / 256, fromInput};
        return {};
    case 2: {
        static constexpr int errors[] = {ETIMEDOUT, EPIPE, ENODEV, EIO};
        return {-errors[(*choice >> 3) % 4], false};
    }
    default:
        return {size, fromInput};
    }
}

// The part of a store's `n` bytes from `offset` that it holds: where it
// starts in the store and in the bytes, and its length.
struct Overlap {
    qint64 store = 0;
    qint64 bytes = 0;
    qint64 length = 0;
};
Overlap overlap(const QByteArray &store, qint64 offset, int n)
{
    const qint64 first = qMax<qint64>(offset, 0);
    const qint64 last = qMin<qint64>(offset + n, store.size());
    return {first, first - offset, qMax<qint64>(last - first, 0)};
}

// `n` bytes of a store from `offset`; erased (0xFF) outside it.
void copyOut(const QByteArray &store, qint64 offset, char *bytes, int n)
{
    std::memset(bytes, 0xFF, size_t(n));
    const Overlap o = overlap(store, offset, n);
    if (o.length > 0)
        std::memcpy(bytes + o.bytes, store.constData() + o.store, size_t(o.length));
}

void keep(QByteArray &store, qint64 offset, const char *bytes, int n)
{
    const Overlap o = overlap(store, offset, n);
    if (o.length > 0)
        std::memcpy(store.data() + o.store, bytes + o.bytes, size_t(o.length));
}

// What a sound VR480 answers to an IN request.
void soundReply(int request, quint32 address, char *bytes, int n)
{
    switch (request) {
    case ReadMemory:
        copyOut(session.flash, qint64(address) - MemoryMap::kFlashBase, bytes, n);
        break;
    case ReadExternalFlash:
        copyOut(session.external, address, bytes, n);
        break;
    default: // the family identifier 0x01E0, or the brand 0
        std::memset(bytes, 0, size_t(n));
        if (request == Family && n >= 2)
            std::memcpy(bytes, "\xE0\x01", 2);
    }
}

// The serial of unit `unit`'s application, or of its bootloader.
QByteArray serialOf(int unit, bool application)
{
    const QByteArray serial = QByteArray("VR480000") + char('1' + unit);
    return application ? serial : serial + 'b';
}

// The checks of every request sent to a device.
void checkSent(const usb_dev_handle &handle, int request)
{
    if (session.readOnly)
        fault("a reading command sent a request to the device", request);
    if (request != WritePage && request != WriteExternalFlash)
        return;
    if (!handle.familyOk || !handle.brandOk)
        fault("a write to a device that has not answered the identity checks", request);
    if (!handle.serial || handle.serial->size() < 10 || handle.serial->at(9) != 'b')
        fault("a write to a device whose last serial is not a bootloader's", request);
    if (!session.followed.isEmpty() && *handle.serial != session.followed + 'b')
        fault("a write to a device other than the bootloader of the one followed", request);
}

} // namespace

void begin(Script &script)
{
    std::lock_guard<std::mutex> guard(lock);
    session = Session();
    session.script = &script;
    std::fill(std::begin(session.application), std::end(session.application), true);
    session.flash = QByteArray(int(MemoryMap::kFlashSize), '\xFF');
    session.external = QByteArray(kExternalStoreSize, '\xFF');
    // The bootloader's information block: brand 0, then its version text.
    QByteArray info(int(MemoryMap::kInfoBlockSize), '\0');
    info.replace(int(MemoryMap::kVersionOffset), 6, "BL 1.2");
    encodeData(info.data(), int(info.size()));
    keep(session.flash, MemoryMap::kInfoBlockAddress - MemoryMap::kFlashBase, info.constData(), int(info.size()));
}

void end()
{
    std::lock_guard<std::mutex> guard(lock);
    if (!session.handles.empty())
        fault("a device is still open at the end of the session", 0);
    usb_busses = nullptr;
    session = Session();
}

void setReadOnly(bool on)
{
    std::lock_guard<std::mutex> guard(lock);
    session.readOnly = on;
}

void follow(const QByteArray &serial)
{
    std::lock_guard<std::mutex> guard(lock);
    session.followed = serial;
}

} // namespace fuzzusb

using namespace fuzzusb;

extern "C" {

void usb_init(void)
{
}

int usb_find_busses(void)
{
    return 0; // scanned with the devices
}

int usb_find_devices(void)
{
    std::lock_guard<std::mutex> guard(lock);
    scanBus();
    return 0;
}

struct usb_bus *usb_get_busses(void)
{
    return usb_busses;
}

usb_dev_handle *usb_open(struct usb_device *dev)
{
    std::lock_guard<std::mutex> guard(lock);
    int slot = 0;
    while (slot < int(session.devices.size()) && session.devices.at(size_t(slot)).get() != dev)
        ++slot;
    if (slot == int(session.devices.size()))
        fault("usb_open of a record that is not listed", 0);
    if (const int refused = refusal(); refused < 0) {
        errno = -refused;
        return nullptr;
    }
    auto *handle = new usb_dev_handle;
    handle->slot = slot;
    session.handles.insert(handle);
    return handle;
}

int usb_close(usb_dev_handle *dev)
{
    std::lock_guard<std::mutex> guard(lock);
    session.handles.erase(live(dev));
    delete dev;
    return 0;
}

int usb_set_configuration(usb_dev_handle *dev, int configuration)
{
    std::lock_guard<std::mutex> guard(lock);
    live(dev);
    return configuration == 1 ? refusal() : -EINVAL;
}

int usb_claim_interface(usb_dev_handle *dev, int interface)
{
    std::lock_guard<std::mutex> guard(lock);
    live(dev);
    return interface == 0 ? refusal() : -EINVAL;
}

int usb_release_interface(usb_dev_handle *dev, int interface)
{
    std::lock_guard<std::mutex> guard(lock);
    live(dev);
    return interface == 0 ? 0 : -EINVAL;
}

int usb_control_msg(usb_dev_handle *dev, int requesttype, int request, int value, int index, char *bytes,
                    int size, int timeout)
{
    std::lock_guard<std::mutex> guard(lock);
    usb_dev_handle &handle = *live(dev);
    if (timeout <= 0)
        fault("a transfer without a time-out", request);
    if (size < 0 || (size > 0 && !bytes))
        fault("a transfer with a wrong data stage", request);
    request &= 0xFF;
    const bool in = requesttype & USB_ENDPOINT_IN;
    const quint32 address = quint32(value & 0xFFFF) | quint32(index & 0xFFFF) << 16;
    if (!in)
        checkSent(handle, request);

    const Answer answer = chooseAnswer(size);
    int n = answer.result;
    if (in && n > 0 && !answer.fromInput) {
        soundReply(request, address, bytes, n);
    } else if (in && n > 0) {
        if (const std::optional<QByteArray> reply = script().take(QByteArray(n, '\0')))
            std::memcpy(bytes, reply->constData(), size_t(n));
        else
            n = -ETIMEDOUT;
    } else if (!in && n >= 0) {
        if (request == WritePage)
            keep(session.flash, qint64(address) - MemoryMap::kFlashBase, bytes, n);
        if (request == WriteExternalFlash)
            keep(session.external, address, bytes, n);
        if (request == Restart)
            session.application[handle.slot] = !session.application[handle.slot];
    }
    if (in && request == Family)
        handle.familyOk = n == 2 && bytes[0] == '\xE0' && bytes[1] == '\x01';
    if (in && request == Brand)
        handle.brandOk = n == 2 && bytes[0] == 0 && bytes[1] == 0;
    return n;
}

int usb_get_descriptor(usb_dev_handle *udev, unsigned char type, unsigned char index, void *buf, int size)
{
    std::lock_guard<std::mutex> guard(lock);
    usb_dev_handle &handle = *live(udev);
    handle.serial.reset();
    const std::optional<uint8_t> choice = script().next(0);
    if (!choice || (*choice & 3) == 2)
        return -ETIMEDOUT;
    // The descriptor: the sound device's serial, the serial of its other
    // firmware (bit 3) or of another unit (bit 4), or any of the input's.
    std::optional<QByteArray> descriptor;
    if (*choice & 4) {
        if (const std::optional<uint8_t> length = script().next(0))
            descriptor = script().take(QByteArray(*length, '\0'));
    } else {
        const bool application = session.application[handle.slot] != bool(*choice & 8);
        descriptor = QByteArray(2, '\0');
        for (const char c : serialOf(*choice & 16 ? handle.slot + 1 : handle.slot, application))
            descriptor->append(c).append('\0');
        (*descriptor)[0] = char(descriptor->size());
        (*descriptor)[1] = char(USB_DT_STRING);
    }
    if (!descriptor)
        return -ETIMEDOUT;
    int n = qMin(int(descriptor->size()), size);
    if ((*choice & 3) == 1) {
        const std::optional<uint8_t> part = script().next(0);
        if (!part)
            return -ETIMEDOUT;
        n = *part * n / 256;
    }
    if (n > 0)
        std::memcpy(buf, descriptor->constData(), size_t(n));
    // As the layers above read it, when they asked for the serial.
    if (type == USB_DT_STRING && index == 3) {
        handle.serial = QByteArray();
        for (int i = 2; i + 1 < n && (descriptor->at(i) != 0 || descriptor->at(i + 1) != 0); i += 2)
            handle.serial->append(descriptor->at(i));
    }
    return n;
}

// The VR480 has no bulk endpoints.
int usb_bulk_write(usb_dev_handle *, int, const char *, int, int)
{
    return -EPIPE;
}

int usb_bulk_read(usb_dev_handle *, int, char *, int, int)
{
    return -EPIPE;
}

} // extern "C"
