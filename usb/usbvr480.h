#pragma once

#include "usbdevice.h"

#include <QString>

#include <functional>
#include <optional>

// The VR480 as the program sees it: a UsbDevice with the VR480's identity and
// the bootloader's vendor requests. Addresses go out with bits 0-15 in wValue
// and bits 16-31 in wIndex. Memory data crosses the bus scrambled: pages are
// scrambled here before they are sent and memory reads are unscrambled here;
// external-flash data passes unchanged (its callers scramble it).
class USBVR480 : public UsbDevice {
    Q_OBJECT

public:
    USBVR480();
    ~USBVR480() override;

    // Device memory in reads of up to 2048 bytes, each unscrambled on its own.
    // Stops at the first short or failed read: 0 or -1.
    int ReadMemoryFromAddress(char *buffer, quint32 address, quint32 length);
    // One 2048-byte flash page; the buffer is scrambled in place. 0 or -1.
    int WritePageToAddress(char *buffer, quint32 address);
    // External flash in reads of up to 512 / writes of up to 256 bytes, with a
    // budget of 100 retries per call; a progress signal after each chunk. 0 or -1;
    // -1 also when the calling thread is asked to stop (between two chunks).
    int ReadExternalFlashFromAddress(char *buffer, quint32 address, quint32 length);
    int WriteExternalFlashToAddress(const char *buffer, quint32 address, quint32 length);
    // Restart: the bootloader starts the application, the application restarts
    // into the bootloader. The device leaves the bus; callers disconnect.
    void RunApplication();

    // The bootloader's version text from its information block (it can be
    // read in either mode); nothing when the read fails.
    std::optional<QString> ReadBootloaderVersion();

    // Connects and reads the serial up to `tries` times, pausing `pauseMs`
    // through `sleep` after each miss, until `accept` takes the serial. Gives
    // up early when the calling thread is asked to stop, or once a twin of
    // the serial followed is seen (no connection can succeed then). A miss
    // because a VR480 is listed but refused (deniedDevice(): a new device
    // still without its driver or its permissions) is not counted while such
    // misses have lasted less than usb::openableWithinMs() (in real time or
    // in pauses); `waiting` is told of the first.
    using Sleep = std::function<void(unsigned long ms)>;
    using Waiting = std::function<void(const usb::DeniedDevice &denied)>;
    bool waitForSerial(const std::function<bool(const QByteArray &)> &accept, int tries,
                       unsigned long pauseMs, const Sleep &sleep, const Waiting &waiting = {});

    // The serial tells which firmware runs: nine characters while the
    // application runs, ten with "b" last while the bootloader runs.
    enum class Firmware { Application, Bootloader, Unknown };
    static Firmware runningFirmware(const QByteArray &serial);
    static bool isApplicationSerial(const QByteArray &serial);
    // Looser, for waiting after a restart: "b" as the tenth character.
    static bool isBootloaderSerial(const QByteArray &serial);
    // A bootloader's serial without its "b": the same text in both firmwares.
    static QByteArray baseSerial(const QByteArray &serial);
    // From now on, connect only to the VR480 whose serial is `serial` while
    // its application runs, or `serial` and "b" while its bootloader runs
    // (`serial` may be given in either form): this follows the device across
    // its restarts and never takes another one.
    void selectSerial(const QByteArray &serial);
    // Text from the device up to its first zero byte.
    static QString deviceText(const QByteArray &bytes);
    // Device text, and the file names and arguments that the command line
    // shows, for a terminal or a script: control characters (C0, DEL, C1,
    // also a C1 byte of a file name that is not UTF-8, image::decodeFileName)
    // and the backslash written as \xHH, so that the text stays one line and
    // cannot steer the terminal.
    static QString escapedText(const QString &text);
    static QString escapedText(const QByteArray &bytes) { return escapedText(deviceText(bytes)); }
    // A file name (or a message naming files) the same way, but for the
    // system's own folder separator: a Windows path keeps its backslashes
    // (its names cannot hold the control characters the escapes stand for).
    static QString escapedName(const QString &name);

signals:
    void sendPercentExtFlashWrite(int percent);
    void sendPercentExtFlashRead(int percent);

private:
    template <typename Transfer>
    int transferExternalFlash(quint32 address, quint32 length, quint32 largestChunk,
                              Transfer transfer, void (USBVR480::*progress)(int));
};
