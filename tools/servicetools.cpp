#include "servicetools.h"

#include "scramble.h"
#include "usbvr480.h"

#include <QDebug>


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

DeviceInfo readDeviceInfo(USBVR480 &usb)
{
    DeviceInfo info;
    info.serial = usb.readStringDescriptor();
    info.firmware = USBVR480::runningFirmware(info.serial);
    info.bootloaderVersion = usb.ReadBootloaderVersion();
    return info;
}

QList<AttachedDevice> attachedDevices(USBVR480 &usb)
{
    QList<AttachedDevice> devices;
    USBVR480 reader;
    for (const UsbDevice::Attached &found : usb.attachedDevices()) {
        // Found again by its serial; of two with the same serial, neither
        // (which is which cannot be told), so their versions are not known.
        reader.selectSerial(found.serial);
        devices.append({found, USBVR480::runningFirmware(found.serial), reader.ReadBootloaderVersion()});
        reader.disconnect();
    }
    return devices;
}

std::optional<QByteArray> restartDevice(USBVR480 &usb, USBVR480::Firmware running,
                                        const USBVR480::Sleep &sleep)
{
    constexpr int kTries = 50; // 10 s in 200 ms steps
    const auto other = running == USBVR480::Firmware::Application ? &USBVR480::isBootloaderSerial
                                                                  : &USBVR480::isApplicationSerial;
    usb.RunApplication();
    usb.disconnect();
    if (!usb.waitForSerial(other, kTries, 200, sleep))
        return std::nullopt;
    return usb.readStringDescriptor();
}

Return returnTo(USBVR480 &usb, USBVR480::Firmware found, const USBVR480::Sleep &sleep)
{
    const auto closed = [&usb](Return how) {
        usb.disconnect();
        return how;
    };
    if (usb.isOpen() != 0 && usb.connect() != 0)
        return closed(Return::NotReached);
    const USBVR480::Firmware now = USBVR480::runningFirmware(usb.readStringDescriptor());
    if (now == found)
        return closed(Return::AsFound);
    if (now == USBVR480::Firmware::Unknown || found == USBVR480::Firmware::Unknown)
        return closed(Return::NotReached);
    return closed(restartDevice(usb, now, sleep) ? Return::Back : Return::NotBack);
}

bool isExternalFlashImageSize(qint64 size)
{
    return size > 0 && size % 4 == 0 && size <= kMaxImageSize;
}

ImageResult writeExternalFlashImage(USBVR480 &usb, const QByteArray &image)
{
    if (!isExternalFlashImageSize(image.size())) {
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
