#include "upgrader.h"

#include "inputfile.h"
#include "memorymap.h"
#include "scramble.h"
#include "upgradefile.h"
#include "hexdump.h"
#include "usbvr480.h"

#include <QBuffer>
#include <QDeadlineTimer>
#include <QDebug>

#include <cstring>
#include <optional>

namespace {

using MemoryMap::kApplicationAddress;
constexpr int kPageSize = int(MemoryMap::kPageSize);
constexpr int kConnectRetries = 3;
constexpr int kBootloaderTries = 10;
constexpr int kStartCheckTries = 50; // 10 s in 200 ms steps

} // namespace

Upgrader::Upgrader(USBVR480 *usb)
{
    qDebug("Upgrader constructor");
    if (usb)
        this->usb = usb;
    setSleeper({});
}

Upgrader::~Upgrader()
{
    qDebug("Upgrader destructor");
}

void Upgrader::setSleeper(Sleeper sleeper)
{
    if (!sleeper) {
        sleeper = [this](unsigned long ms) {
            // In slices, so that a stop request does not wait out a long pause.
            const QDeadlineTimer deadline(qint64(ms), Qt::PreciseTimer);
            while (!isInterruptionRequested() && !deadline.hasExpired())
                msleep(qMin<qint64>(deadline.remainingTime(), 20));
        };
    }
    this->sleeper = std::move(sleeper);
}

void Upgrader::slotSetFileName(QString fileName)
{
    QMutexLocker lock(&fileNameLock);
    this->fileName = fileName;
}

QString Upgrader::currentFileName()
{
    QMutexLocker lock(&fileNameLock);
    return fileName;
}

Upgrader::Outcome Upgrader::outcome() const
{
    return lastOutcome;
}

USBVR480::Firmware Upgrader::firmwareFound() const
{
    return lastFirmware;
}

void Upgrader::setStartCheck(bool on)
{
    startCheck = on;
}

void Upgrader::setChecksumCheck(bool on)
{
    checksumCheck = on;
}

void Upgrader::run()
{
    lastFirmware = USBVR480::Firmware::Unknown;
    Outcome outcome = upgrade();
    if ((outcome == Outcome::Failed || outcome == Outcome::NotStarted || outcome == Outcome::NoDevice)
        && isInterruptionRequested())
        outcome = Outcome::Interrupted;
    lastOutcome = outcome;
}

// The file whole, at most the size of an upgrade file, then its records and
// checksums; `image` receives the plain firmware image. Nothing when the
// file may be written.
std::optional<Upgrader::Outcome> Upgrader::readFile(const QString &path, QByteArray &image)
{
    // A larger file is read one byte past an upgrade file's size, so that a
    // foreign file is told by its header and version before its length.
    const InputFile file =
        readInputFile(path, UpgradeFile::kFileSize, [this] { return isInterruptionRequested(); }, true);
    if (file.status == InputFile::Interrupted)
        return Outcome::Interrupted;
    // A file that cannot be read reads as an empty stream: a wrong header.
    QBuffer buffer;
    buffer.setData(file.bytes);
    buffer.open(QIODevice::ReadOnly);
    switch (UpgradeFile::read(buffer, image)) {
    case UpgradeFile::Status::Ok:
        if (file.status != InputFile::TooLarge)
            break;
        emit sendText(tr("Wrong file length"));
        return Outcome::BadFile;
    case UpgradeFile::Status::WrongHeader:
        emit sendText(tr("Wrong file header"));
        return Outcome::BadFile;
    case UpgradeFile::Status::WrongVersion:
        emit sendText(tr("Wrong file version"));
        return Outcome::BadFile;
    case UpgradeFile::Status::WrongLength:
        emit sendText(tr("Wrong file length"));
        return Outcome::BadFile;
    }
    decodeData(image.data(), int(image.size()));
    if (checksumCheck && !UpgradeFile::checksumsMatch(image)) {
        emit sendText(tr("Wrong file checksum"));
        return Outcome::BadChecksum;
    }
    return std::nullopt;
}

Upgrader::Outcome Upgrader::upgrade()
{
    const QString path = currentFileName();
    if (path.isNull())
        return Outcome::NoFile;
    qDebug("Start firmware upgrade");
    emit sendText(path);

    QByteArray image;
    if (const std::optional<Outcome> refused = readFile(path, image))
        return *refused;
    emit sendPercent(0);

    usb->disconnect();
    if (!connectWithRetries()) {
        if (isInterruptionRequested())
            return Outcome::NoDevice;
        emit sendText(tr("USB Timeout\nCheck USB Cable"));
        const QString denied = usb->deniedDevice();
        if (!denied.isEmpty())
            emit sendText(tr("VR480 found (%1), but it could not be opened: no permission").arg(denied));
        return Outcome::NoDevice;
    }
    const QByteArray serial = usb->readStringDescriptor();
    emit sendText(USBVR480::deviceText(serial));
    const USBVR480::Firmware firmware = USBVR480::runningFirmware(serial);
    lastFirmware = firmware;

    const std::optional<QString> version = usb->ReadBootloaderVersion();
    if (!version) {
        emit sendText(tr("Bootloader Version Read Error"));
        return Outcome::Untouched;
    }
    emit sendText(*version);

    if (firmware == USBVR480::Firmware::Application) {
        emit sendText(tr("Apllication mode"));
        emit sendText(tr("Reset device"));
        usb->RunApplication();
        qDebug("usb->RunApplication()");
        sleeper(2000);
        usb->disconnect();
        qDebug("usb->disconnect()");
        sleeper(500);
        if (!waitForBootloader()) {
            if (!isInterruptionRequested())
                emit sendText(tr("USB timout\nCheck USB cable"));
            return Outcome::Failed;
        }
        emit sendText(tr("Disconnect"));
        usb->disconnect();
        emit sendText(tr("Connect"));
        usb->connect();
        emit sendText(tr("Serial:") + USBVR480::deviceText(usb->readStringDescriptor()));
    } else if (firmware == USBVR480::Firmware::Bootloader) {
        emit sendText(tr("Bootloader mode"));
    } else {
        emit sendText(tr("Serial:") + USBVR480::deviceText(usb->readStringDescriptor()));
        return Outcome::Untouched;
    }

    emit sendText(tr("Writting firmware ... "));
    const QByteArray application = image.mid(UpgradeFile::kApplicationOffset, UpgradeFile::kApplicationSize);
    const QByteArray external = image.mid(UpgradeFile::kExternalOffset, UpgradeFile::kExternalSize);
    image = QByteArray();

    if (!writeApplication(application))
        return Outcome::Failed;
    emit sendText(tr("OK"));
    if (!writeExternalFlash(external))
        return Outcome::Failed;
    emit sendText(tr("OK"));
    usb->RunApplication();
    sleeper(1000);
    usb->disconnect();
    if (!startCheck)
        return Outcome::Written;
    const bool started = usb->waitForSerial(&USBVR480::isApplicationSerial, kStartCheckTries, 200, sleeper);
    usb->disconnect();
    if (started)
        return Outcome::Started;
    if (!isInterruptionRequested())
        emit sendText(tr("Application not started"));
    return Outcome::NotStarted;
}

// Up to four attempts, 200 ms apart.
bool Upgrader::connectWithRetries()
{
    for (int retries = 0;; ++retries) {
        if (usb->connect() == 0)
            return true;
        if (retries == kConnectRetries || isInterruptionRequested())
            return false;
        qDebug("usb->connect()\nmssleep(200)");
        sleeper(200);
    }
}

// Up to ten tries, 200 ms apart, until the device answers with the serial of
// its bootloader.
bool Upgrader::waitForBootloader()
{
    return usb->waitForSerial(&USBVR480::isBootloaderSerial, kBootloaderTries, 200, sleeper);
}

// Page by page: write, read back, compare. The first page that fails any of
// the three ends the upgrade, so the application is never started over flash
// that is known to be wrong.
bool Upgrader::writeApplication(const QByteArray &application)
{
    const quint32 total = quint32(application.size());
    quint32 offset = 0;
    quint32 remaining = total;
    char page[kPageSize];
    char plain[kPageSize];
    char readBack[kPageSize];
    while (remaining > 0) {
        if (isInterruptionRequested())
            return false;
        const quint32 n = qMin<quint32>(kPageSize, remaining);
        std::memset(page, 0xFF, kPageSize);
        std::memcpy(page, application.constData() + offset, n);
        std::memcpy(plain, page, kPageSize);

        if (usb->WritePageToAddress(page, kApplicationAddress + offset) != 0) {
            qDebug("page write ERROR");
            emit sendText(tr("ERROR"));
            return false;
        }
        qDebug("page write OK");

        std::memset(readBack, 0xFF, kPageSize);
        if (usb->ReadMemoryFromAddress(readBack, kApplicationAddress + offset, kPageSize) != 0) {
            qDebug("page read ERROR");
            emit sendText(tr("ERROR"));
            return false;
        }
        if (std::memcmp(readBack, plain, kPageSize) != 0) {
            emit sendText(tr("ERROR"));
            return false;
        }

        offset += kPageSize;
        remaining -= n;
        emit sendPercent(int((total - remaining) * 100 / total));
    }
    return true;
}

// Scrambled out in 256-byte transfers, back in 512-byte ones, compared plain.
bool Upgrader::writeExternalFlash(const QByteArray &data)
{
    const int size = int(data.size());
    QByteArray scrambled = data;
    encodeData(scrambled.data(), size);
    emit sendText(tr("Writting External Flash ... "));
    if (usb->WriteExternalFlashToAddress(scrambled.constData(), 0, quint32(size)) != 0) {
        emit sendText(tr("Error"));
        return false;
    }
    emit sendText(tr("OK"));
    emit sendText(tr("Verify External Flash ...  "));
    QByteArray readBack(size, '\0');
    if (usb->ReadExternalFlashFromAddress(readBack.data(), 0, quint32(size)) != 0) {
        emit sendText(tr("Error"));
        return false;
    }
    decodeData(readBack.data(), size);
    if (readBack != data) {
        emit sendText(tr("Error"));
        emit sendText(tr("read_buffer"));
        emit sendText(QString::fromLatin1(HexDump(readBack.constData(), size)));
        emit sendText(tr("ext_datas.data()"));
        emit sendText(QString::fromLatin1(HexDump(data.constData(), size)));
        return false;
    }
    return true;
}
