#pragma once
// One simulated device (simdevice.h) served over one USB/IP connection,
// so that a Linux kernel enumerates and drives it like real hardware.
//
// The device's vendor requests and string descriptors go to the model through
// the simulation's libusb 0.1 functions, so identities, serials, memories,
// scrambling, restarts and the fault rules are the in-process simulator's.
// The standard requests a real device answers in its USB stack (device and
// configuration descriptors, configuration, interface, status, endpoint halt)
// are answered here. A transfer that the model lets time out is left
// unanswered until the kernel unlinks it; a stall is answered with -EPIPE.

#include "usbip.h"

#include <QByteArray>
#include <QSet>

struct usb_dev_handle;

namespace usbip {

class DeviceLink {
public:
    // Serves simulated device `deviceId` on `fd`, this end of a connected
    // stream socket whose other end the kernel holds (not owned).
    DeviceLink(int deviceId, int fd);
    ~DeviceLink();
    DeviceLink(const DeviceLink &) = delete;
    DeviceLink &operator=(const DeviceLink &) = delete;

    // Opens the device in the simulation; false when it is not on the
    // simulated bus or cannot be opened there.
    bool open();

    enum class Outcome {
        Served,  // one command read and handled
        LeftBus, // ... after which the device is off the bus (restart, unplug)
        Closed,  // the connection ended (the port was detached)
        Broken,  // the other end sent something that is not USB/IP for endpoint 0
    };
    // Reads one command and answers it (or leaves it waiting). Blocks until
    // a command arrives.
    Outcome serveOne();

    // Transfers left unanswered and not yet unlinked.
    int waiting() const { return int(waitingSeqnums.size()); }
    int unlinked() const { return unlinkedCount; } // unanswered transfers the kernel gave up

    static QByteArray configurationDescriptor();

private:
    int control(const Setup &setup, QByteArray &data);
    int standard(const Setup &setup, QByteArray &data);
    int forward(const Setup &setup, QByteArray &data);
    bool send(const QByteArray &bytes);
    bool online() const;

    int modelId;
    int connection;
    usb_dev_handle *handle = nullptr;
    QByteArray deviceDescriptor;
    int configurationValue = 0;
    QSet<uint32_t> waitingSeqnums;
    int unlinkedCount = 0;
};

} // namespace usbip
