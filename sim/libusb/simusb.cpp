// The libusb 0.1 functions, answered by the simulated devices. Results follow
// libusb 0.1 on Linux: a byte count or 0 on success, a negative errno on failure.

#include "simbus.h"

#include <chrono>
#include <thread>

struct usb_bus *usb_busses = nullptr;

namespace {

int timedTransfer(usb_dev_handle *handle, const sim::Setup &setup, char *data)
{
    std::chrono::steady_clock::time_point done;
    const int result = sim::bus::control(handle, setup, data, &done);
    // Again while early: a sleep may end before its time (Windows counts in
    // its timer's ticks).
    while (done > std::chrono::steady_clock::now())
        std::this_thread::sleep_until(done);
    return result;
}

} // namespace

extern "C" {

void usb_init(void)
{
}

int usb_find_busses(void)
{
    return sim::bus::findBusses();
}

int usb_find_devices(void)
{
    return sim::bus::findDevices();
}

struct usb_bus *usb_get_busses(void)
{
    return sim::bus::busses();
}

usb_dev_handle *usb_open(struct usb_device *dev)
{
    return sim::bus::open(dev);
}

int usb_close(usb_dev_handle *dev)
{
    return sim::bus::close(dev);
}

int usb_set_configuration(usb_dev_handle *dev, int configuration)
{
    return sim::bus::setConfiguration(dev, configuration);
}

int usb_claim_interface(usb_dev_handle *dev, int interface)
{
    return sim::bus::claimInterface(dev, interface);
}

int usb_release_interface(usb_dev_handle *dev, int interface)
{
    return sim::bus::releaseInterface(dev, interface);
}

int usb_control_msg(usb_dev_handle *dev, int requesttype, int request, int value, int index, char *bytes,
                    int size, int timeout)
{
    (void)timeout; // a simulated time-out fails at once
    // The setup packet's fields are 8 and 16 bits wide.
    sim::Setup setup;
    setup.requestType = requesttype & 0xFF;
    setup.request = request & 0xFF;
    setup.value = value & 0xFFFF;
    setup.index = index & 0xFFFF;
    setup.length = size;
    return timedTransfer(dev, setup, bytes);
}

int usb_get_descriptor(usb_dev_handle *udev, unsigned char type, unsigned char index, void *buf, int size)
{
    // A standard GET_DESCRIPTOR request to the device, language id 0.
    sim::Setup setup;
    setup.requestType = 0x80;
    setup.request = 6;
    setup.value = type << 8 | index;
    setup.index = 0;
    setup.length = size;
    return timedTransfer(udev, setup, static_cast<char *>(buf));
}

int usb_bulk_write(usb_dev_handle *dev, int ep, const char *bytes, int size, int timeout)
{
    (void)bytes;
    (void)timeout;
    return sim::bus::bulk(dev, ep, size);
}

int usb_bulk_read(usb_dev_handle *dev, int ep, char *bytes, int size, int timeout)
{
    (void)bytes;
    (void)timeout;
    return sim::bus::bulk(dev, ep, size);
}

} // extern "C"
