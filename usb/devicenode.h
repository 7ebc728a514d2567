#pragma once
// A VR480 that the system has but will not give this process, and why: what
// the operating system says that libusb 0.1 does not. One implementation per
// system: devicenode_linux.cpp (device node permissions; libusb 0.1 leaves out
// a device whose node this user may not even read, so its scan may not see
// it), devicenode_win.cpp (a device not bound to the WinUSB driver), and
// devicenode_other.cpp for the rest (the errno values alone).

#include <QString>

namespace usb {

enum class Refusal {
    None,
    NoPermission, // Linux: the device node's permissions (the udev rule)
    NotBound,     // Windows: not bound to WinUSB, or another program has it open
};

struct DeniedDevice {
    QString place; // "bus B, device D" in libusb 0.1's names; empty when there is none
    Refusal why = Refusal::None;
};

// What a failure of usb_open() or usb_set_configuration() says about the
// device, from the errno value it gave (positive). ENOSYS, libusb-1.0's "not
// supported" (a device without a driver libusb can use), is NotBound
// everywhere; the same code from a vendor request (a device whose driver takes
// none, such as HID on Windows) says the same.
Refusal refusalOf(int error);

// How long a device that the system lists but does not give yet may take to
// become usable: what a caller that waits for the device (its bootloader
// after a restart, a new unit) waits for it before it takes the refusal as
// final.
int openableWithinMs();

// A device with these ids whose node this user may not open for reading and
// writing (NoPermission); none when there is none, or on systems where the
// scan lists every device.
DeniedDevice deniedDeviceNode(quint16 vendorId, quint16 productId);

} // namespace usb
