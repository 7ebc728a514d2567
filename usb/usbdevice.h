#pragma once

#include "devicenode.h"
#include "rankedmutex.h"

#include <QByteArray>
#include <QList>
#include <QMutex>
#include <QObject>
#include <QString>

#include <atomic>

struct usb_dev_handle;

namespace usb {

// How the last operation of a device object failed, for the messages of its
// callers; the operations themselves return only 0 or a count, or -1.
struct Failure {
    enum class Kind {
        None,
        NotFound, // no device with the right ids answered the identity check
        Denied,   // the one found may not be opened by this process (`denied` says why)
        TimedOut, // a transfer got no answer in time
        Stalled,  // the device refused a request
        Gone,     // the device left the bus
        Short,    // a transfer moved fewer bytes than asked
        Other,
    };
    Kind kind = Kind::None;
    int error = 0; // the system's errno, positive; 0 when it gave none
    QString place; // where the device was ("bus 001, device 005"); empty when none was reached
    // A device with the right ids that the last connection or listing came
    // upon but was not allowed to open, and why; kept when another device was
    // taken after it.
    DeniedDevice denied;
};

} // namespace usb

// A connection to one device: finds it by vendor and product id (and, when
// asked, by serial), opens it, selects configuration 1, claims interface 0 and accepts it
// only after it reports the expected family and brand identifiers. Every
// exchange is a vendor control transfer on endpoint 0. A transfer connects on
// demand and closes the device when it fails, so the next one starts with a
// fresh scan and identity check; there are no retries at this layer.
//
// Each object has its own device lock, which serialises every connect,
// disconnect and single transfer of that object, because the GUI thread and
// the upgrade thread share it; objects talking to different devices never
// wait for each other's transfers. Members whose names end in Private run
// with the device lock held (debug builds assert it) and never take it.
//
// libusb 0.1 keeps one list of buses and devices for the whole process: a
// scan rewrites it and frees the records of devices that have left, which
// devices do on their own when they restart. So one bus lock, taken inside
// the device lock, covers every scan with the walk of the list, and every
// opening of a listed device by its record; the devices found are otherwise
// named by bus and device name, never by record, and the transfers of the
// checks run on the open handle outside the bus lock. No object opens a
// device that another object of the process holds or is opening (WinUSB
// gives a device to one handle at a time): a connection passes by one held
// and waits for one being checked to be given back. The lock order (device
// lock, bus lock, held-devices lock) is RankedMutex's.
//
// connect() and disconnect() hide QObject's functions of the same names;
// code of these classes that wires signals calls QObject::connect.
class UsbDevice : public QObject {
    Q_OBJECT

public:
    UsbDevice();
    ~UsbDevice() override;

    int connect(); // 0: device open and verified, -1: not found
    void disconnect();
    // 0 when open, -1 when closed: the device operations' convention, 0 for
    // success, not a truth value.
    int isOpen();

    // How the last connection, listing or transfer failed; cleared by each
    // connection and listing. A transfer's failure stays until then.
    usb::Failure lastFailure();
    // Its device that could not be opened, and why (its device node's
    // permissions, or on Windows its driver); an empty place when there was
    // none.
    usb::DeniedDevice deniedDevice() { return lastFailure().denied; }

    void setVidPid(quint16 vendorId, quint16 productId);
    void setFamilyId(qint16 id);
    void setBrandId(qint16 id);

    // From now on, connect only to a device whose serial (string descriptor
    // 3) is one of `serials`; it is read before the device is configured, so
    // other devices are not disturbed. Empty, as at construction: the first
    // acceptable device in bus order.
    //
    // A device followed by its serial cannot be told from another one with
    // the same serial (a twin). So a connection by serial reads the serial of
    // every attached device with the right ids and refuses when more than
    // one answers with one of `serials`; from then on the object refuses
    // every connection (which of the two it would get cannot be told) until
    // setSerials() is called again. Devices that other objects of the
    // process hold open are passed by unread.
    void setSerials(const QList<QByteArray> &serials);
    QList<QByteArray> selectedSerials(); // what setSerials() last gave
    // With serials selected: whether a twin has been seen since
    // setSerials(); twinAttached() also looks now, the open device counting
    // as one (for a check before a restart, while the handle still leads to
    // the device followed); noteTwin() records one seen by someone else.
    bool twinSeen() const { return twin; }
    bool twinAttached();
    void noteTwin() { twin = true; }

    // Every attached device that this object would accept, whatever its
    // serial, in bus order: where it is and its serial. Each is opened,
    // checked, read and closed again; the object is left closed. Devices held
    // open by other objects of the process are not among them.
    struct Attached {
        QString bus;    // the bus's name ("001")
        int device = 0; // the device's address on its bus, new after each restart
        QByteArray serial;
        bool answered = true; // false: not read now (held or refused), `serial` is empty
    };
    QList<Attached> attachedDevices();
    // Where the open device is, as attachedDevices() names it: an empty bus
    // while the object is closed.
    struct Place {
        QString bus;
        int device = 0;
    };
    Place openedPlace();
    // Where the device that this object last connected to was, also once it
    // is closed; an empty bus when it never connected.
    Place lastPlace();

    int bulk_write(const char *buffer, int length);
    int bulk_read(char *buffer, int length);

    // The text of string descriptor 3 (the serial), one byte per UTF-16 unit;
    // empty when closed or when the read fails.
    QByteArray readStringDescriptor();

    // Vendor OUT / IN control transfers: the byte count, or -1 on failure.
    // The request is cut to 8 bits, value and index to 16 bits.
    int control_send(int request, unsigned value, unsigned index, const char *buffer, int dataLength);
    int control_receive(int request, unsigned value, unsigned index, char *buffer, int dataLength);

protected:
    int connectPrivate();
    void disconnectPrivate();
    int control_receivePrivate(int request, unsigned value, unsigned index, char *buffer, int dataLength);

private:
    friend class BusWatcher; // lists with the identity check of its own device object

    // Opens the device that a scan listed as `file` on `bus` and keeps it open
    // when it has one of `serials` (any when empty) and the identity; false,
    // closed, otherwise. A device that another object of the process holds is
    // passed by, and so is one that it is opening when `othersSerial` is
    // given (which then receives the serial that object read, if any);
    // without it that one is waited for.
    bool acceptPrivate(const QString &bus, const QString &file, int address, const QList<QByteArray> &serials,
                       QByteArray *othersSerial = nullptr);
    // attachedDevices(), or with `known` BusWatcher::scan().
    QList<Attached> attachedPrivate(const QList<Attached> *known);
    void closePrivate(); // the handle only, without releasing the interface
    void releasePlacePrivate(); // the mark of the device's place, once its handle is closed or failed
    // A transfer that returned `result` (a count, or a negative errno) where
    // `wanted` bytes were asked for; `made`: false when it was never sent.
    void noteTransferPrivate(int result, int wanted, bool made);
    // A failed connection: a device denied, else none found.
    void noteNotConnectedPrivate();

    quint16 productId = 0;
    quint16 vendorId = 0;
    qint16 familyId = 0;
    qint16 brandId = 0;
    QList<QByteArray> serials;
    usb_dev_handle *handle = nullptr;
    QString heldPlace;  // where the device is ("bus/device"), while it is open or being opened
    QString placeText; // the same for the messages ("bus 001, device 005")
    Place openedAt;
    Place last; // where the device connected last was
    usb::Failure failure;
    usb::RankedMutex deviceLock{usb::RankedMutex::DeviceRank};
    std::atomic<bool> twin{false};
};
