// The attached devices: one listing (UsbDevice::attachedDevices), or scan
// after scan (BusWatcher).

#include "buswatcher.h"

#include "busscan.h"

#include <QMutexLocker>

#include <algorithm>

using namespace usb::bus;

QList<UsbDevice::Attached> UsbDevice::attachedDevices()
{
    return attachedPrivate(nullptr);
}

QList<UsbDevice::Attached> UsbDevice::attachedPrivate(const QList<Attached> *known)
{
    QMutexLocker lock(&deviceLock);
    if (handle)
        disconnectPrivate();
    failure = {};
    QList<Attached> found;
    takeFirst(scan(), vendorId, productId, [&](const Listed &device) {
        const auto same = [&](const Attached &a) {
            return a.answered && a.bus == device.bus && a.device == device.address;
        };
        QByteArray othersSerial; // of a device another object has, as far as it knows it
        if (known && std::any_of(known->begin(), known->end(), same)) {
            found.append(*std::find_if(known->begin(), known->end(), same));
        } else if (acceptPrivate(device.bus, device.file, device.address, {}, &othersSerial)) {
            found.append({device.bus, device.address, readSerial(handle)});
            disconnectPrivate();
        } else if (known) {
            found.append({device.bus, device.address, othersSerial, !othersSerial.isEmpty()});
        }
        return false; // all of them
    });
    if (found.isEmpty())
        noteNotConnectedPrivate();
    return found;
}

BusWatcher::BusWatcher(std::unique_ptr<UsbDevice> checker) : checker(std::move(checker)) {}

QList<UsbDevice::Attached> BusWatcher::scan()
{
    seen = checker->attachedPrivate(&seen);
    return seen;
}
