#pragma once
// Simulated VR480 devices: their memories, requests, restarts, faults and
// saved state. The libusb 0.1 stand-in (sim/libusb/) puts them on the bus of
// an in-process program, the USB/IP front end (sim/usbip/) on a Linux
// kernel's USB.
//
// The devices follow the program's memory map (memorymap.h).
//
// Everything here is thread-safe: the program drives the devices from its GUI
// thread and its upgrade thread while a test inspects and changes them.

#include <QByteArray>
#include <QList>
#include <QLockFile>
#include <QString>

#include <cstdint>
#include <memory>

namespace sim {

enum class Mode { Application, Bootloader };

// The setup packet of a control transfer (wLength in `length`).
struct Setup {
    int requestType = 0;
    int request = 0;
    int value = 0;
    int index = 0;
    int length = 0;
};

// What a fault does to a control transfer that it hits.
enum class Fault {
    Timeout, // returns -ETIMEDOUT; nothing is moved
    Stall,   // returns -EPIPE; nothing is moved
    Short,   // IN: only shortLength bytes come back; OUT: the device takes only shortLength bytes
             // (stores nothing) and the call returns that count
    Corrupt, // succeeds, but one data byte (the one at length / 2) is inverted: IN in what
             // the host receives, OUT in what the device stores
    Unplug,  // the device drops off the bus: -ENODEV, and it stays away until plugIn()
    NotSupported, // returns -ENOSYS; nothing is moved: libusb-1.0's NOT_SUPPORTED through
                  // libusb0/, which Windows gives to every vendor request of a device bound
                  // to the HID driver
};

// Makes chosen control transfers fail. A transfer matches when all filters
// match; the first `skip` matching transfers pass, the next `times` are hit.
// Rules are consulted in the order they were added and the first that hits
// decides. Only transfers that reach a device on the bus are considered
// (not those on a dead handle or with invalid arguments).
struct FaultRule {
    Fault fault = Fault::Timeout;
    int request = -1;  // bRequest to match (6 for the string descriptor read), -1: any
    int transfer = -1; // number of the control transfer since reset() (0-based), -1: any
    int skip = 0;
    int times = 1; // -1: every matching transfer from then on
    int shortLength = 0;
    int requestType = -1; // bmRequestType to match, -1: any (0x80 tells the string descriptor
                          // read from vendor request 6, 0x40)
    int device = -1;      // id of the device to match, -1: any
};

// One libusb call as the devices saw it.
struct Event {
    enum Kind {
        FindDevices, // a bus scan; device = -1
        Open,
        SetConfiguration,
        ClaimInterface,
        ReleaseInterface,
        Close,
        Control, // usb_control_msg and usb_get_descriptor
        Bulk,
    };
    Kind kind = Control;
    int device = -1; // id of the device model, -1 when none
    // Control: the setup packet (length is wLength) and the global transfer number.
    // Open/SetConfiguration/ClaimInterface/ReleaseInterface: value is the argument.
    int requestType = 0;
    int request = 0;
    int value = 0;
    int index = 0;
    int length = 0;
    int transfer = -1;
    int result = 0;  // what the library call returned (for Open: 0 or -1, and value is the
                     // errno of a failed open, 0 when it sets none)
    QByteArray data; // Control: bytes that crossed the bus (OUT: sent; IN: received by the host)
};

struct DeviceConfig {
    uint16_t vendorId = 0x16C0;
    uint16_t productId = 0x0A73;
    int16_t familyId = 0x01E0; // answer to request 0xFF
    int16_t brandId = 0;       // answer to request 0xFE
    Mode mode = Mode::Application;
    QByteArray applicationSerial = "VR4800001";   // string descriptor 3 while the application runs
    QByteArray bootloaderSerial = "VR4800001b";   // ... while the bootloader runs
    QByteArray bootloaderVersion = "BOOT v2.04";  // stored at 0x08003FE0 (at most 16 bytes)
    int restartDelayMs = 0;  // after request 4: time off the bus (steady clock)
    int comebackScans = 0;   // after request 4: scans that do not see the device yet
    bool comesBack = true;   // false: after request 4 the device never returns
    bool failOpen = false;
    // A device node this user may read but not write, as libusb 0.1 on Linux
    // meets it: usb_open succeeds, usb_set_configuration fails with -EPERM.
    bool denyAccess = false;
    bool failSetConfiguration = false;
    bool failClaim = false;
};

// One simulated device. Owned by the simulation; references stay valid until reset().
class Device {
public:
    int id() const;
    int bus() const;
    int address() const; // on its bus, given by the scan that lists it; 0 while it is away
    DeviceConfig config() const;                // its `mode` is the current mode
    void setConfig(const DeviceConfig &config); // identity, serials and behaviour; keeps memory and mode
                                                // (bus records show new ids from the next scan)

    Mode mode() const;
    bool online() const;       // listed by the next scan (not hidden, not restarting, not unplugged);
                               // a restarted device counts as back once a scan has seen it
    void unplug();             // leaves the bus; open handles fail from now on
    void plugIn();             // back on the bus at the next scan, same mode
    void plugInAfter(int ms);  // leaves the bus now, back at the first scan `ms` milliseconds from now
    void hideForScans(int scans); // the next `scans` bus scans do not find it

    // Counted when request 4 is accepted; the mode switches at that moment too
    // (mode() is the mode the device comes back in).
    int restarts() const;          // request 4 accepted, in either mode
    int applicationStarts() const; // restarts from the bootloader into the application

    // Plain memory contents (what the device stores, not what crosses the bus).
    QByteArray flash(uint32_t address, int length) const;
    void setFlash(uint32_t address, const QByteArray &bytes);
    QByteArray externalFlash(uint32_t address, int length) const;
    void setExternalFlash(uint32_t address, const QByteArray &bytes);
    QByteArray lastBlock() const; // the last 512-byte block of request 2

private:
    friend struct Registry;
    explicit Device(int id) : modelId(id) {}
    int modelId;
};

// No buses, no devices, no faults, no events; recording on, no latency.
// Handles opened before keep failing with -ENODEV until they are closed.
void reset();
Device &addDevice(int bus = 0, const DeviceConfig &config = {}); // buses 0..bus are created as needed
QList<Device *> devices();

void addFault(const FaultRule &rule);
void clearFaults();
int controlTransferCount(); // control transfers since reset()

QList<Event> events();
QList<Event> controlTransfers(); // the Control events only
void clearEvents();
void setRecording(bool on);  // off: no events are kept (for long benchmark runs)
void setLatency(int microseconds); // every control transfer takes at least this long
int enumerations(); // bus scans (usb_find_devices) since reset(), recorded or not

// Rules of Windows' USB stack that the devices follow when asked to; off, as
// after reset(), they behave as on Linux.
struct WindowsRules {
    // WinUSB gives a device to one handle at a time: usb_open() of a device
    // that has an open handle fails with EACCES (libusb_open's ACCESS
    // through libusb0/).
    bool exclusiveOpen = false;
    // Windows names a device instance by its ids and serial and installs a
    // driver for each new one: a device that comes on the bus under a serial
    // not seen before with its ids cannot be opened for this long, failing
    // with ENOSYS (libusb lists it as unsupported: libusb_open's
    // NOT_SUPPORTED through libusb0/). 0: no delay. The devices on the bus
    // when the rules are set have been seen.
    int bindingDelayMs = 0;
};
void setWindowsRules(const WindowsRules &rules);

// The demo program's devices: `count` VR480 on one bus, running their
// application, with the serials VR4800001, VR4800002 and on; each takes a
// second to restart and a few milliseconds per transfer, so a whole upgrade
// can be watched. With `arrivalMs`, device number k (from 1) is plugged in
// k times `arrivalMs` milliseconds from now instead of being on the bus.
void setupDemo(int count = 1, int arrivalMs = 0);

// The whole simulation to and from a file: every device (bus, configuration, current mode, both
// memories, last block, restart counters, unplugged and hidden state), the fault rules with their
// remaining skip and times counts, and the latency. Events and the transfer count are not kept, so
// rules that name a transfer number count from the load. A device caught in a restart is saved as
// back on the bus in its new mode, one waiting to be plugged in (plugInAfter) as plugged in.
// False when the file cannot be written, and, leaving it as it is, when it holds a state of a
// format this program does not know.
bool saveState(const QString &fileName);
// The format version of `fileName` when it is a state file of a format this program does not know
// (a later program's); 0 for any other file, or none.
quint32 unknownStateFormat(const QString &fileName);
// reset(), then the saved simulation. False, leaving the simulation empty, when the file is
// missing, unreadable or not a state file, or would expand beyond what the devices it holds need.
bool loadState(const QString &fileName);

// The device of one run of a demo program. When VR480_SIM_STATE names an existing file the
// simulation is loaded from it (if that fails: a line on stderr, then setupDemo()); otherwise
// setupDemo() with VR480_SIM_DEVICES devices (1 to 64; 1 when unset), or with "N:S" N devices
// plugged in one every S seconds (a decimal from 0.1 to 3600), the first S seconds after the
// start. Any other value of
// VR480_SIM_DEVICES is said on stderr and leaves the session invalid: no device, nothing saved,
// and the program ends. VR480_SIM_WINDOWS=MS sets Windows' rules: exclusive opens, and a binding
// delay of MS milliseconds (0 to 600000); another value is refused in the same way. When VR480_SIM_STATE is set, the destructor saves the simulation back to
// that file (unless it holds a format this program does not know), so that successive runs see
// the same devices. The file is locked (FILE.lock) from before the load to
// after the save: a second program on the same file waits, saying so on stderr, until the first
// ends, so that neither loses what the other did.
class DemoSession {
public:
    DemoSession();
    ~DemoSession();
    DemoSession(const DemoSession &) = delete;
    DemoSession &operator=(const DemoSession &) = delete;
    bool isValid() const;

private:
    QString stateFile;
    std::unique_ptr<QLockFile> fileLock;
    bool valid = true;
};

} // namespace sim
