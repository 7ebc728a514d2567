#pragma once

#include <QByteArray>
#include <QObject>
#include <QString>

struct usb_dev_handle;

// The program's one connection to the device: finds it by vendor and product
// id, opens it, selects configuration 1, claims interface 0 and accepts it
// only after it reports the expected family and brand identifiers. Every
// exchange is a vendor control transfer on endpoint 0. A transfer connects on
// demand and closes the device when it fails, so the next one starts with a
// fresh scan and identity check; there are no retries at this layer.
//
// One process-wide device lock serialises every connect, disconnect and
// single transfer, because the GUI thread and the upgrade thread share the
// device object. Members whose names end in Private run with the lock held
// and never take it.
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
    int isOpen(); // 0 when open, -1 when closed

    // A device with the right ids that the last connect() came upon but was
    // not allowed to open (its device node's permissions), as "bus B,
    // device D" in the library's names; empty when there was none.
    QString deniedDevice();

    void setVidPid(quint16 vendorId, quint16 productId);
    void setFamilyId(qint16 id);
    void setBrandId(qint16 id);

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
    quint16 productId = 0;
    quint16 vendorId = 0;
    qint16 familyId = 0;
    qint16 brandId = 0;
    usb_dev_handle *handle = nullptr;
    QString denied;
};
