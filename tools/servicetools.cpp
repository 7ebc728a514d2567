#include "tools/servicetools.h"

#include "image/scramble.h"
#include "usb/usbvr480.h"

#include <QDebug>

#include <limits>

namespace ServiceTools {

quint32 fromHexText(const QString &text, bool *ok)
{
    return text.toUInt(ok, 16); // base 16 takes an optional 0x / 0X prefix
}

QString toHexText(quint32 value)
{
    return QStringLiteral("0x") + QString::number(value, 16);
}

std::optional<QByteArray> readMemory(USBVR480 &usb, quint32 address, int length)
{
    if (length < 0)
        return std::nullopt;
    QByteArray data(length, '\0');
    if (usb.ReadMemoryFromAddress(data.data(), address, quint32(length)) != 0)
        return std::nullopt;
    return data;
}

std::optional<QByteArray> readExternalFlash(USBVR480 &usb, quint32 address, int length)
{
    if (length < 0)
        return std::nullopt;
    QByteArray data(length, '\0');
    if (usb.ReadExternalFlashFromAddress(data.data(), address, quint32(length)) != 0)
        return std::nullopt;
    decodeData(data.data(), length);
    return data;
}

ImageResult writeExternalFlashImage(USBVR480 &usb, const QByteArray &image)
{
    // The device commands and the scrambling count in int; a larger image
    // could not be addressed anyway.
    if (image.isEmpty() || image.size() % 4 != 0 || image.size() > std::numeric_limits<int>::max()) {
        qDebug() << "length error" << image.size();
        return ImageResult::LengthError;
    }
    const int size = int(image.size());
    QByteArray scrambled = image;
    encodeData(scrambled.data(), size);
    if (usb.WriteExternalFlashToAddress(scrambled.constData(), 0, quint32(size)) != 0)
        return ImageResult::WriteError;
    const std::optional<QByteArray> readBack = readExternalFlash(usb, 0, size);
    if (!readBack)
        return ImageResult::ReadError;
    return *readBack == image ? ImageResult::Ok : ImageResult::Mismatch;
}

} // namespace ServiceTools
