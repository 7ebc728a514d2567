#pragma once

#include "memorymap.h"
#include "usbvr480.h"

#include <QByteArray>
#include <QList>
#include <QString>

#include <optional>

// The service tools' work on the device without any dialog, shared by the
// window's service slots and every other front end of the same tools.
namespace ServiceTools {

// The longest read or fill the tools offer: 1 MiB.
constexpr int kMaxLength = 0x100000;

// Hexadecimal numbers as the tools take and offer them: digits of either
// case with an optional "0x" or "0X" prefix; offered as "0x" and lower-case
// digits without leading zeros. A text that is no unsigned 32-bit number
// gives 0 and *ok false.
quint32 fromHexText(const QString &text, bool *ok);
QString toHexText(quint32 value);

// `length` bytes of device memory, plain (the device command unscrambles
// them); nothing when the read fails or the length is negative.
std::optional<QByteArray> readMemory(USBVR480 &usb, quint32 address, int length);

// `length` bytes of external flash, unscrambled; nothing when the read fails
// or the length is negative.
std::optional<QByteArray> readExternalFlash(USBVR480 &usb, quint32 address, int length);

// What the device tells about itself once connected: its serial, the
// firmware that runs (by the serial's form) and the bootloader's version
// text, read from its information block in either mode.
struct DeviceInfo {
    QByteArray serial;
    USBVR480::Firmware firmware = USBVR480::Firmware::Unknown;
    std::optional<QString> bootloaderVersion; // nothing when the read failed
};
DeviceInfo readDeviceInfo(USBVR480 &usb);

// Every attached VR480 that `usb` finds (UsbDevice::attachedDevices) in bus
// order: where it is and its serial, the firmware that runs and the
// bootloader's version text (nothing where it cannot be read). Each device is
// opened, read and closed again.
struct AttachedDevice {
    UsbDevice::Attached found;
    USBVR480::Firmware firmware = USBVR480::Firmware::Unknown;
    std::optional<QString> bootloaderVersion;
};
QList<AttachedDevice> attachedDevices(USBVR480 &usb);

// Restarts the connected device, which runs `running`, into its other
// firmware (the application into the bootloader, the bootloader into the
// application) and waits up to 10 s, pausing through `sleep`, until it is
// back running that firmware.
// Returns the serial it came back with; nothing when it did not come back or
// the thread was asked to stop. The device is left connected when it is back.
std::optional<QByteArray> restartDevice(USBVR480 &usb, USBVR480::Firmware running,
                                        const USBVR480::Sleep &sleep);

// Brings the device back into `found`, the firmware it ran when a command
// found it, for commands that leave a device as they found it: when it now
// answers running the other one, restartDevice() into `found`. How it went:
// it ran `found` already, it is back running it, it did not come back within
// 10 s (or the thread was asked to stop), or it could not be reached (or its
// serial names neither firmware) and was not restarted. The device is left
// closed.
enum class Return { AsFound, Back, NotBack, NotReached };
Return returnTo(USBVR480 &usb, USBVR480::Firmware found, const USBVR480::Sleep &sleep);

enum class ImageResult { Ok, LengthError, WriteError, ReadError, Mismatch };

// The largest external-flash image: the whole external flash.
constexpr int kMaxImageSize = int(MemoryMap::kExternalFlashSize);
// An image size the external flash takes: a non-empty multiple of 4 bytes,
// at most kMaxImageSize.
bool isExternalFlashImageSize(qint64 size);

// Puts a plain external-flash image at external-flash address 0, scrambled,
// then reads it back, unscrambles it and compares. An image of a size
// isExternalFlashImageSize refuses is not sent: the debug line "length error"
// with the byte count is written. Stops at the first failure.
ImageResult writeExternalFlashImage(USBVR480 &usb, const QByteArray &image);

} // namespace ServiceTools
