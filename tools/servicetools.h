#pragma once

#include <QByteArray>
#include <QString>

#include <optional>

class USBVR480;

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

enum class ImageResult { Ok, LengthError, WriteError, ReadError, Mismatch };

// Puts a plain external-flash image at external-flash address 0, scrambled,
// then reads it back, unscrambles it and compares. The image must be a
// non-empty multiple of 4 bytes (and fit an int); otherwise nothing is sent
// and the debug line "length error" with the byte count is written. Stops at
// the first failure.
ImageResult writeExternalFlashImage(USBVR480 &usb, const QByteArray &image);

} // namespace ServiceTools
