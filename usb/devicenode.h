#pragma once
// What the operating system's own list of USB devices says that libusb 0.1
// cannot: on Linux, libusb 0.1 leaves out a device whose node this user may
// not even read, so a VR480 on the bus may be invisible to the scan.

#include <QString>

namespace usb {

// A device with these ids whose node this user may not open for reading and
// writing, as "bus B, device D" (the names libusb 0.1 gives them); empty when
// there is none, or on systems without such a list.
QString deniedDeviceNode(quint16 vendorId, quint16 productId);

} // namespace usb
