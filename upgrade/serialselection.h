#pragma once
// A device object's serial selection for the length of a run's step.

#include "usbdevice.h"

#include <QByteArray>
#include <QList>

// The device object connects only to devices with these serials while this
// lives, and as before afterwards.
class SerialSelection {
public:
    SerialSelection(UsbDevice &usb, const QList<QByteArray> &serials) : usb(usb), before(usb.selectedSerials())
    {
        usb.setSerials(serials);
    }
    // A twin seen meanwhile stays seen.
    ~SerialSelection()
    {
        const bool twin = usb.twinSeen();
        usb.setSerials(before);
        if (twin)
            usb.noteTwin();
    }
    SerialSelection(const SerialSelection &) = delete;
    SerialSelection &operator=(const SerialSelection &) = delete;

private:
    UsbDevice &usb;
    const QList<QByteArray> before;
};
