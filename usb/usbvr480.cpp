#include "usbvr480.h"

#include "memorymap.h"
#include "scramble.h"

#include <QDebug>
#include <QDir>
#include <QElapsedTimer>
#include <QThread>

#include <algorithm>

namespace {

enum Request {
    ReadMemory = 1,
    WritePage = 3,
    Restart = 4,
    ReadExternalFlash = 5,
    WriteExternalFlash = 6,
};

constexpr quint32 kMemoryChunk = 2048;
constexpr quint32 kExternalReadChunk = 512;
constexpr quint32 kExternalWriteChunk = 256;
constexpr int kExternalRetries = 100;

constexpr unsigned low16(quint32 address) { return address & 0xFFFF; }
constexpr unsigned high16(quint32 address) { return address >> 16; }

} // namespace

USBVR480::USBVR480()
{
    setVidPid(0x16C0, 0x0A73);
    setFamilyId(0x01E0);
    setBrandId(0);
    qDebug("USBVR480 constructor");
}

USBVR480::~USBVR480() = default;

int USBVR480::ReadMemoryFromAddress(char *buffer, quint32 address, quint32 length)
{
    while (length > 0) {
        const quint32 chunk = qMin(length, kMemoryChunk);
        const int n = control_receive(ReadMemory, low16(address), high16(address), buffer, int(chunk));
        if (n != int(chunk))
            return -1;
        decodeData(buffer, int(chunk));
        address += chunk;
        buffer += chunk;
        length -= chunk;
    }
    return 0;
}

int USBVR480::WritePageToAddress(char *buffer, quint32 address)
{
    constexpr int kPageSize = int(MemoryMap::kPageSize);
    encodeData(buffer, kPageSize);
    const int n = control_send(WritePage, low16(address), high16(address), buffer, kPageSize);
    return n == kPageSize ? 0 : -1;
}

template <typename Transfer>
int USBVR480::transferExternalFlash(quint32 address, quint32 length, quint32 largestChunk,
                                    Transfer transfer, void (USBVR480::*progress)(int))
{
    const quint32 total = length;
    quint32 offset = 0;
    int retries = kExternalRetries; // for the whole call, not per chunk
    while (offset < total) {
        // A worker thread asked to stop gives up between two transfers.
        if (QThread::currentThread()->isInterruptionRequested())
            return -1;
        const quint32 chunk = qMin(total - offset, largestChunk);
        if (transfer(address + offset, offset, int(chunk)) == int(chunk)) {
            offset += chunk;
            emit(this->*progress)(int(quint64(offset) * 100 / total));
        } else if (retries-- == 0) {
            return -1;
        }
    }
    return 0;
}

int USBVR480::ReadExternalFlashFromAddress(char *buffer, quint32 address, quint32 length)
{
    return transferExternalFlash(
        address, length, kExternalReadChunk,
        [&](quint32 at, quint32 offset, int chunk) {
            return control_receive(ReadExternalFlash, low16(at), high16(at), buffer + offset, chunk);
        },
        &USBVR480::sendPercentExtFlashRead);
}

int USBVR480::WriteExternalFlashToAddress(const char *buffer, quint32 address, quint32 length)
{
    return transferExternalFlash(
        address, length, kExternalWriteChunk,
        [&](quint32 at, quint32 offset, int chunk) {
            return control_send(WriteExternalFlash, low16(at), high16(at), buffer + offset, chunk);
        },
        &USBVR480::sendPercentExtFlashWrite);
}

void USBVR480::RunApplication()
{
    qDebug("USBVR480::RunApplication(void)");
    control_send(Restart, 0, 0, nullptr, 0);
}

std::optional<QString> USBVR480::ReadBootloaderVersion()
{
    using namespace MemoryMap;
    char info[kInfoBlockSize];
    if (ReadMemoryFromAddress(info, kInfoBlockAddress, kInfoBlockSize) != 0)
        return std::nullopt;
    return deviceText(QByteArray(info + kVersionOffset, kVersionSize));
}

bool USBVR480::waitForSerial(const std::function<bool(const QByteArray &)> &accept, int tries,
                             unsigned long pauseMs, const Sleep &sleep, const Waiting &waiting)
{
    QElapsedTimer refused; // since the first miss on a refused device
    qint64 pausedMs = 0;   // ... and the pauses since
    for (int i = 0; i < tries && !QThread::currentThread()->isInterruptionRequested() && !twinSeen();) {
        if (connect() == 0 && accept(readStringDescriptor()))
            return true;
        const usb::DeniedDevice denied = deniedDevice();
        const qint64 waitedMs = std::max(refused.isValid() ? refused.elapsed() : 0, pausedMs);
        if (denied.place.isEmpty() || waitedMs >= usb::openableWithinMs()) {
            ++i;
        } else {
            if (!refused.isValid()) {
                refused.start();
                if (waiting)
                    waiting(denied);
            }
            pausedMs += qint64(pauseMs);
        }
        sleep(pauseMs);
    }
    return false;
}

USBVR480::Firmware USBVR480::runningFirmware(const QByteArray &serial)
{
    if (isApplicationSerial(serial))
        return Firmware::Application;
    if (serial.size() == 10 && isBootloaderSerial(serial))
        return Firmware::Bootloader;
    return Firmware::Unknown;
}

bool USBVR480::isApplicationSerial(const QByteArray &serial)
{
    return serial.size() == 9;
}

bool USBVR480::isBootloaderSerial(const QByteArray &serial)
{
    return serial.size() >= 10 && serial.at(9) == 'b';
}

QByteArray USBVR480::baseSerial(const QByteArray &serial)
{
    return runningFirmware(serial) == Firmware::Bootloader ? serial.left(9) : serial;
}

void USBVR480::selectSerial(const QByteArray &serial)
{
    const QByteArray base = baseSerial(serial);
    setSerials({base, base + 'b'});
}

QString USBVR480::deviceText(const QByteArray &bytes)
{
    return QString::fromLatin1(bytes.constData(), int(qstrnlen(bytes.constData(), size_t(bytes.size()))));
}

QString USBVR480::escapedText(const QString &text)
{
    QString escaped;
    for (qsizetype i = 0; i < text.size(); ++i) {
        char16_t u = text.at(i).unicode();
        // A byte 0x80-0x9F of a file name that is not UTF-8 (a lone surrogate
        // U+DC80-U+DC9F) is a C1 control too, on a terminal that takes bytes.
        if (u >= 0xDC80 && u < 0xDCA0 && (i == 0 || !text.at(i - 1).isHighSurrogate()))
            u -= 0xDC00;
        if (u < 0x20 || (u >= 0x7F && u < 0xA0) || u == u'\\')
            escaped += QStringLiteral("\\x%1").arg(u, 2, 16, QLatin1Char('0'));
        else
            escaped += text.at(i);
    }
    return escaped;
}

QString USBVR480::escapedName(const QString &name)
{
    const QChar separator = QDir::separator();
    if (separator == QLatin1Char('/'))
        return escapedText(name);
    QStringList parts = name.split(separator);
    for (QString &part : parts)
        part = escapedText(part);
    return parts.join(separator);
}
