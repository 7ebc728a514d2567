#pragma once
// Internal to the libusb 0.1 stand-in: what the libusb functions of
// simusb.cpp ask of the device model (registry.h). The stand-in keeps what
// libusb 0.1 keeps: the bus and device records that the scans make and free,
// and the handles. Every function takes the simulation's lock.

#ifdef VR480_LUSB0_HEADER
#include <lusb0_usb.h>
#else
#include <usb.h>
#endif

#include "simdevice.h"

#include <chrono>
#include <cstdint>

// The state behind one handle from usb_open. It names the device model by id
// and remembers the simulation epoch and the device's bus session it was
// opened in, so that it never points into the model.
struct usb_dev_handle {
    uint64_t epoch = 0;
    int device = -1;
    int session = -1;
    bool claimed = false;
};

namespace sim::bus {

int findBusses(); // links the bus records into usb_busses; returns the number of new buses
usb_bus *busses(); // usb_busses, read under the lock
int findDevices(); // one bus scan; returns the number of devices that came or went
usb_dev_handle *open(struct usb_device *record); // nullptr when it cannot be opened
int close(usb_dev_handle *handle);        // frees the handle
int setConfiguration(usb_dev_handle *handle, int configuration);
int claimInterface(usb_dev_handle *handle, int interface);
int releaseInterface(usb_dev_handle *handle, int interface);

// One control transfer, numbered and logged. `handle` may be null and `data`
// may be null only when setup.length is 0. Returns the byte count or a
// negative errno; `done` receives when the transfer ends: the latency after
// the device has finished the transfers it is still answering.
int control(usb_dev_handle *handle, const Setup &setup, char *data, std::chrono::steady_clock::time_point *done);
int bulk(usb_dev_handle *handle, int endpoint, int size);

} // namespace sim::bus
