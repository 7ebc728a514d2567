// The libusb 0.1 functions the programs call, over libusb-1.0: on Windows
// there is no libusb 0.1 to link, and on Linux the same code runs against the
// kernel in the kernel test.

#include <usb.h>

#include "usberrno.h"

#include <libusb.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <iterator>
#include <memory>
#include <optional>
#include <set>
#include <utility>
#include <vector>

namespace {

// One reading of the system's devices: a libusb-1.0 context of its own and its
// device list. A new context reads the devices afresh, as each scan of libusb
// 0.1 does: an old one follows arrivals and departures through hot-plug
// events, which Debian's libusb-1.0 only gets while udevd runs.
struct Snapshot {
    libusb_context *context = nullptr;
    libusb_device **list = nullptr;
    ssize_t count = 0;

    Snapshot() = default;
    Snapshot(const Snapshot &) = delete;
    Snapshot &operator=(const Snapshot &) = delete;
    ~Snapshot()
    {
        if (list)
            libusb_free_device_list(list, 1);
        if (context)
            libusb_exit(context);
    }
};

// A new snapshot, or nothing with *error set.
std::shared_ptr<Snapshot> takeSnapshot(int *error)
{
    auto snapshot = std::make_shared<Snapshot>();
    int result = libusb_init(&snapshot->context);
    if (result == 0) {
        const ssize_t count = libusb_get_device_list(snapshot->context, &snapshot->list);
        snapshot->count = count;
        result = count < 0 ? int(count) : 0;
    }
    if (result < 0) {
        *error = usbErrno(result);
        return nullptr;
    }
    return snapshot;
}

// The snapshot whose devices the device records name; open handles keep
// theirs alive on their own.
std::shared_ptr<Snapshot> listed;

// A reading of the system: a snapshot, or the error that prevented it.
struct Reading {
    std::shared_ptr<Snapshot> snapshot;
    int error = 0;
};

Reading readSystem()
{
    Reading reading;
    reading.snapshot = takeSnapshot(&reading.error);
    return reading;
}

// The reading of usb_find_busses() for the usb_find_devices() that follows
// it, so that a scan enumerates the system once: each enumeration walks every
// device (on Windows SetupAPI's device tree, waiting up to about a second for
// each device still being configured).
std::optional<Reading> forDevices;

using Place = std::pair<unsigned, unsigned>; // bus number, device address

void freeDevices(usb_bus *bus)
{
    for (usb_device *dev = bus->devices; dev;) {
        usb_device *next = dev->next;
        delete dev;
        dev = next;
    }
    bus->devices = nullptr;
    bus->root_dev = nullptr;
}

// How many of two sets of places are in only one of them: what came and went.
template <typename T>
int changes(const std::set<T> &before, const std::set<T> &after)
{
    std::vector<T> differing;
    std::set_symmetric_difference(before.begin(), before.end(), after.begin(), after.end(),
                                  std::back_inserter(differing));
    return int(differing.size());
}

// libusb 0.1 takes the time-out as an int; 0 (and, here, a negative one) waits
// without end, as libusb-1.0's 0 does.
unsigned timeoutOf(int timeout)
{
    return timeout > 0 ? unsigned(timeout) : 0u;
}

int resultOf(int libusbResult)
{
    return libusbResult < 0 ? usbErrno(libusbResult) : libusbResult;
}

} // namespace

// An open device: its libusb-1.0 handle, and the snapshot whose context it
// lives in.
struct usb_dev_handle {
    libusb_device_handle *handle = nullptr;
    std::shared_ptr<Snapshot> snapshot;
};

namespace {

int bulk(usb_dev_handle *dev, unsigned char endpoint, char *bytes, int size, int timeout)
{
    if (!dev || size < 0)
        return -EINVAL;
    if (size > 0 && !bytes)
        return -EFAULT;
    int done = 0;
    const int result = libusb_bulk_transfer(dev->handle, endpoint, reinterpret_cast<unsigned char *>(bytes),
                                            size, &done, timeoutOf(timeout));
    // Bytes moved before a time-out or a failure are not reported, as in libusb 0.1.
    return result < 0 ? usbErrno(result) : done;
}

} // namespace

int usbErrno(int libusbError)
{
    switch (libusbError) {
    case LIBUSB_ERROR_INVALID_PARAM:
        return -EINVAL;
    case LIBUSB_ERROR_ACCESS:
        return -EACCES;
    case LIBUSB_ERROR_NO_DEVICE:
        return -ENODEV;
    case LIBUSB_ERROR_NOT_FOUND:
        return -ENOENT;
    case LIBUSB_ERROR_BUSY:
        return -EBUSY;
    case LIBUSB_ERROR_TIMEOUT:
        return -ETIMEDOUT;
    case LIBUSB_ERROR_OVERFLOW:
        return -EOVERFLOW;
    case LIBUSB_ERROR_PIPE:
        return -EPIPE;
    case LIBUSB_ERROR_INTERRUPTED:
        return -EINTR;
    case LIBUSB_ERROR_NO_MEM:
        return -ENOMEM;
    case LIBUSB_ERROR_NOT_SUPPORTED: // on Windows: a device not bound to WinUSB
        return -ENOSYS;
    default: // LIBUSB_ERROR_IO, LIBUSB_ERROR_OTHER and any later code
        return -EIO;
    }
}

int configurationErrno(int libusbError)
{
    // Not the sign of a device without its driver that the same code from
    // libusb_open() is.
    return libusbError == LIBUSB_ERROR_NOT_SUPPORTED ? -EIO : usbErrno(libusbError);
}

struct usb_bus *usb_busses = nullptr;

extern "C" {

void usb_init(void)
{
    // Nothing to set up: every find reads the system through a context of its own.
}

int usb_find_busses(void)
{
    forDevices = readSystem();
    const std::shared_ptr<Snapshot> snapshot = forDevices->snapshot;
    if (!snapshot)
        return forDevices->error; // the lists stay as they were
    std::set<unsigned> before, after;
    for (ssize_t i = 0; i < snapshot->count; ++i)
        after.insert(libusb_get_bus_number(snapshot->list[i]));
    for (usb_bus *bus = usb_busses; bus;) {
        before.insert(bus->location);
        usb_bus *next = bus->next;
        freeDevices(bus);
        delete bus;
        bus = next;
    }
    usb_busses = nullptr;
    listed.reset();

    // In ascending order, named as libusb 0.1 on Linux names them: "001".
    usb_bus *last = nullptr;
    for (unsigned number : after) {
        auto *bus = new usb_bus{};
        std::snprintf(bus->dirname, sizeof bus->dirname, "%03u", number);
        bus->location = number;
        bus->prev = last;
        (last ? last->next : usb_busses) = bus;
        last = bus;
    }
    return changes(before, after);
}

int usb_find_devices(void)
{
    // The reading of the usb_find_busses() just before, or a new one.
    const Reading reading = forDevices ? *forDevices : readSystem();
    forDevices.reset();
    std::shared_ptr<Snapshot> snapshot = reading.snapshot;
    if (!snapshot)
        return reading.error;
    std::set<Place> before, after;
    for (usb_bus *bus = usb_busses; bus; bus = bus->next) {
        for (usb_device *dev = bus->devices; dev; dev = dev->next)
            before.insert({bus->location, dev->devnum});
        freeDevices(bus);
    }

    // Each known bus's devices in ascending address order, named "005".
    std::vector<libusb_device *> devices(snapshot->list, snapshot->list + snapshot->count);
    const auto placeOf = [](libusb_device *device) {
        return Place(libusb_get_bus_number(device), libusb_get_device_address(device));
    };
    std::sort(devices.begin(), devices.end(),
              [&](libusb_device *a, libusb_device *b) { return placeOf(a) < placeOf(b); });
    usb_bus *bus = nullptr;
    usb_device *last = nullptr; // the last record of bus
    for (libusb_device *device : devices) {
        const Place place = placeOf(device);
        if (!bus || bus->location != place.first) {
            for (bus = usb_busses; bus && bus->location != place.first;)
                bus = bus->next;
            last = nullptr;
        }
        libusb_device_descriptor descriptor;
        if (!bus || libusb_get_device_descriptor(device, &descriptor) < 0)
            continue; // a bus that came after usb_find_busses, or a device already gone
        auto *dev = new usb_device{};
        std::snprintf(dev->filename, sizeof dev->filename, "%03u", place.second);
        dev->bus = bus;
        dev->devnum = uint8_t(place.second);
        dev->dev = device;
        usb_device_descriptor &d = dev->descriptor;
        d.bLength = descriptor.bLength;
        d.bDescriptorType = descriptor.bDescriptorType;
        d.bcdUSB = descriptor.bcdUSB;
        d.bDeviceClass = descriptor.bDeviceClass;
        d.bDeviceSubClass = descriptor.bDeviceSubClass;
        d.bDeviceProtocol = descriptor.bDeviceProtocol;
        d.bMaxPacketSize0 = descriptor.bMaxPacketSize0;
        d.idVendor = descriptor.idVendor;
        d.idProduct = descriptor.idProduct;
        d.bcdDevice = descriptor.bcdDevice;
        d.iManufacturer = descriptor.iManufacturer;
        d.iProduct = descriptor.iProduct;
        d.iSerialNumber = descriptor.iSerialNumber;
        d.bNumConfigurations = descriptor.bNumConfigurations;
        if (!libusb_get_parent(device))
            bus->root_dev = dev;
        dev->prev = last;
        (last ? last->next : bus->devices) = dev;
        last = dev;
        after.insert(place);
    }
    listed = std::move(snapshot);
    return changes(before, after);
}

struct usb_bus *usb_get_busses(void)
{
    return usb_busses;
}

usb_dev_handle *usb_open(struct usb_device *dev)
{
    if (!dev || !dev->dev || !listed) {
        errno = ENODEV;
        return nullptr;
    }
    libusb_device_handle *handle = nullptr;
    if (const int result = libusb_open(static_cast<libusb_device *>(dev->dev), &handle); result < 0) {
        errno = -usbErrno(result);
        return nullptr;
    }
    return new usb_dev_handle{handle, listed};
}

int usb_close(usb_dev_handle *dev)
{
    if (!dev)
        return -EINVAL;
    libusb_close(dev->handle);
    delete dev;
    return 0;
}

int usb_set_configuration(usb_dev_handle *dev, int configuration)
{
    if (!dev)
        return -EINVAL;
    const int result = libusb_set_configuration(dev->handle, configuration);
    return result < 0 ? configurationErrno(result) : result;
}

int usb_claim_interface(usb_dev_handle *dev, int interface)
{
    return dev ? resultOf(libusb_claim_interface(dev->handle, interface)) : -EINVAL;
}

int usb_release_interface(usb_dev_handle *dev, int interface)
{
    return dev ? resultOf(libusb_release_interface(dev->handle, interface)) : -EINVAL;
}

int usb_control_msg(usb_dev_handle *dev, int requesttype, int request, int value, int index, char *bytes,
                    int size, int timeout)
{
    if (!dev || size < 0 || size > 0xFFFF)
        return -EINVAL;
    if (size > 0 && !bytes)
        return -EFAULT;
    // The setup packet's fields are 8 and 16 bits wide.
    return resultOf(libusb_control_transfer(dev->handle, uint8_t(requesttype), uint8_t(request),
                                            uint16_t(value), uint16_t(index),
                                            reinterpret_cast<unsigned char *>(bytes), uint16_t(size),
                                            timeoutOf(timeout)));
}

int usb_get_descriptor(usb_dev_handle *udev, unsigned char type, unsigned char index, void *buf, int size)
{
    // The standard request to the device, language id 0, within libusb 0.1's second.
    return usb_control_msg(udev, USB_ENDPOINT_IN, USB_REQ_GET_DESCRIPTOR, type << 8 | index, 0,
                           static_cast<char *>(buf), size, 1000);
}

int usb_bulk_write(usb_dev_handle *dev, int ep, const char *bytes, int size, int timeout)
{
    // An OUT transfer only reads the buffer.
    return bulk(dev, uint8_t(ep & ~USB_ENDPOINT_IN), const_cast<char *>(bytes), size, timeout);
}

int usb_bulk_read(usb_dev_handle *dev, int ep, char *bytes, int size, int timeout)
{
    return bulk(dev, uint8_t(ep | USB_ENDPOINT_IN), bytes, size, timeout);
}

} // extern "C"
