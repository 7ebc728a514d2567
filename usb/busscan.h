#pragma once
// The scans of the process-wide bus and device lists that libusb 0.1 keeps,
// and the marks of the devices that the device objects of this process hold:
// what UsbDevice and BusWatcher share. Internal to usb/.

#include "rankedmutex.h"

#include <QByteArray>
#include <QHash>
#include <QList>
#include <QString>
#include <QWaitCondition>

#include <functional>
#include <optional>

#ifdef VR480_LUSB0_HEADER
#include <lusb0_usb.h>
#else
#include <usb.h>
#endif

namespace usb::bus {

// Serialises the scans of the process-wide bus and device lists with every
// walk of them and every opening of a listed device, across all device
// objects.
extern RankedMutex busLock;

// Where the devices that the device objects of this process hold open, or
// are opening, are ("bus/device"), with the serial of each one held (empty
// when it was not read). WinUSB gives a device to one handle at a time, so no
// object opens a device marked here: a connection passes by one held and
// waits for one being opened (another object's check) to be given back; a
// listing passes by both.
struct Mark {
    bool opening = true;
    QByteArray serial;
};
extern RankedMutex heldLock;
extern QHash<QString, Mark> held;
extern QWaitCondition markChanged;

// String descriptor 3, one byte per UTF-16 unit, up to the first zero unit;
// empty when the read fails.
QByteArray readSerial(usb_dev_handle *handle);

// A device as a scan listed it, named rather than pointed at: the next scan
// frees the records of devices that have left. The record addresses are kept
// for the debug lines only.
struct Listed {
    const void *firstOfBus = nullptr;
    usb_device_descriptor descriptor{};
    QString bus;
    QString file;
    int address = 0;
};

struct ListedBus {
    const void *record = nullptr;
    QList<Listed> devices;
};

// A fresh scan: every bus and its devices, in list order.
QList<ListedBus> scan();

// Goes through a scan's devices in order, each with its debug lines, and
// offers those with these ids to `take`, until it takes one: so the lines
// of a device are followed by its own checks, and no device after the one
// taken is looked at. True when one was taken.
bool takeFirst(const QList<ListedBus> &buses, quint16 vendorId, quint16 productId,
               const std::function<bool(const Listed &)> &take);

// With the bus lock held: the record of the device as the lists hold it now,
// or nothing when it is no longer listed.
struct usb_device *recordOf(const QString &busName, const QString &file);

// The serial of the device that a scan listed as `file` on `bus`, read
// without configuring it or sending anything, unless it is no longer listed
// or another object of the process holds it or is opening it. Its place is
// marked while it is open, as every opening marks it.
std::optional<QByteArray> peekSerial(const QString &bus, const QString &file);

// The devices of a scan with these ids, but the one at `except`
// ("bus/file"), that answer with one of `serials`.
int answering(const QList<ListedBus> &buses, quint16 vendorId, quint16 productId, const QList<QByteArray> &serials,
              const QString &except);

} // namespace usb::bus
