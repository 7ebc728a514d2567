#include "devicenode.h"

#include <cerrno>

namespace usb {

Refusal refusalOf(int error)
{
    // libusb-1.0 opens only a device bound to WinUSB, and WinUSB one process
    // at a time: ENOSYS (not supported: no usable driver) or EACCES.
    return error == ENOSYS || error == EACCES || error == EPERM ? Refusal::NotBound : Refusal::None;
}

DeniedDevice deniedDeviceNode(quint16, quint16)
{
    return {}; // libusb-1.0 lists every device, usable or not
}

} // namespace usb
