#include "devicenode.h"

#include <cerrno>

namespace usb {

Refusal refusalOf(int error)
{
    // libusb-1.0 opens only a device bound to WinUSB, and WinUSB one process
    // at a time: ENOSYS (not supported: no usable driver) or EACCES.
    return error == ENOSYS || error == EACCES || error == EPERM ? Refusal::NotBound : Refusal::None;
}

int openableWithinMs()
{
    // Windows names a device instance by its ids and serial (so a VR480 is a
    // new one in each firmware, unless the installer's IgnoreHWSerNum has it
    // named by its port) and installs a driver for each new one, listing it
    // unusable meanwhile: seconds from the driver store, longer when Windows
    // first searches Windows Update. A minute covers both.
    return 60000;
}

DeniedDevice deniedDeviceNode(quint16, quint16)
{
    return {}; // libusb-1.0 lists every device, usable or not
}

} // namespace usb
