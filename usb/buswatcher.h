#pragma once
// A watcher of the bus, for a station: scan after scan, the devices that its
// own device object would accept, without opening again those it has seen.

#include "usbdevice.h"

#include <QList>

#include <memory>

class BusWatcher {
public:
    // `checker`: the device object whose identity check tells the devices
    // watched for (a USBVR480 for the VR480); it is used for nothing else.
    explicit BusWatcher(std::unique_ptr<UsbDevice> checker);

    // The devices attached now, in bus order, as UsbDevice::attachedDevices
    // lists them, from one scan: a device at a place (bus and device number)
    // of the last scan takes its serial from there and is not opened again,
    // one that another object of the process holds takes the serial that
    // object read, and one that cannot be opened or checked now (another
    // object is opening it, it refuses) is listed all the same, not
    // answered. A place is new after every restart and every plugging in.
    QList<UsbDevice::Attached> scan();
    // A device with the right ids that the last scan came upon but was not
    // allowed to open, and why; an empty place when there was none.
    usb::DeniedDevice deniedDevice() { return checker->deniedDevice(); }

private:
    std::unique_ptr<UsbDevice> checker;
    QList<UsbDevice::Attached> seen;
};
