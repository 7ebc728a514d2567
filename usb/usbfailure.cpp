// How a device object's operations failed (usb::Failure), as they fail.

#include "usbdevice.h"

#include <QMutexLocker>

#include <cerrno>

usb::Failure UsbDevice::lastFailure()
{
    QMutexLocker lock(&deviceLock);
    return failure;
}

void UsbDevice::noteNotConnectedPrivate()
{
    if (failure.denied.place.isEmpty())
        failure.denied = usb::deniedDeviceNode(vendorId, productId);
    const bool denied = !failure.denied.place.isEmpty();
    failure.kind = denied ? usb::Failure::Kind::Denied : usb::Failure::Kind::NotFound;
    failure.place = failure.denied.place;
    if (!denied)
        failure.error = 0;
}

void UsbDevice::noteTransferPrivate(int result, int wanted, bool made)
{
    using Kind = usb::Failure::Kind;
    if (result >= 0 && result >= wanted)
        return;
    failure.place = placeText;
    failure.error = made && result < 0 ? -result : 0;
    if (result >= 0) {
        failure.kind = Kind::Short;
        return;
    }
    switch (failure.error) {
    case ETIMEDOUT:
        failure.kind = Kind::TimedOut;
        break;
    case EPIPE:
        failure.kind = Kind::Stalled;
        break;
    case ENODEV:
    case ENXIO:
#ifdef ESHUTDOWN // Linux's libusb for a device unplugged mid-transfer; not in Windows' errno
    case ESHUTDOWN:
#endif
        failure.kind = Kind::Gone;
        break;
    case ENOSYS:
        // A driver that carries no vendor request (on Windows HID's, which
        // opens and configures the device all the same) is refused as a
        // device that is not bound.
        failure.kind = Kind::Denied;
        failure.denied = {placeText, usb::refusalOf(ENOSYS)};
        break;
    default:
        failure.kind = Kind::Other;
        break;
    }
}
