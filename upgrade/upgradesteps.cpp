// The steps of one upgrade run, in their order.

#include "upgrader.h"

#include "hexdump.h"
#include "inputfile.h"
#include "memorymap.h"
#include "outcome.h"
#include "scramble.h"
#include "serialselection.h"
#include "servicetools.h"
#include "upgradefile.h"
#include "usbvr480.h"

#include <QDebug>

#include <cstring>
#include <memory>
#include <optional>

namespace {

using MemoryMap::kApplicationAddress;
constexpr int kPageSize = int(MemoryMap::kPageSize);
constexpr int kConnectRetries = 3;
constexpr int kBootloaderTries = 10;
constexpr int kStartCheckTries = 50; // 10 s in 200 ms steps

// Whether `usb` may connect to a device with `serial`: any when it follows none.
bool selects(UsbDevice &usb, const QByteArray &serial)
{
    const QList<QByteArray> serials = usb.selectedSerials();
    return serials.isEmpty() || serials.contains(serial);
}

} // namespace

// The image given by the caller, or the file read whole (at most the size of
// an upgrade file) and checked, checksums included.
Upgrader::Step Upgrader::loadFile(const QString &path, QByteArray &image)
{
    if (!givenImage.isEmpty()) {
        image = givenImage;
        return std::nullopt;
    }
    const image::InputFile file =
        image::readInputFile(path, UpgradeFile::kFileSize, [this] { return isInterruptionRequested(); }, true);
    if (file.result.status == image::FileStatus::Interrupted)
        return Outcome::InterruptedUntouched;
    UpgradeFile::Checked checked = UpgradeFile::check(file, checksumCheck);
    using Refusal = UpgradeFile::Refusal;
    switch (checked.refused) {
    case Refusal::None:
        image = std::move(checked.image);
        return std::nullopt;
    case Refusal::WrongHeader:
        emit sendText(tr("Wrong file header"));
        break;
    case Refusal::WrongVersion:
        emit sendText(tr("Wrong file version"));
        break;
    case Refusal::WrongLength:
        emit sendText(tr("Wrong file length"));
        break;
    case Refusal::WrongChecksum:
        emit sendText(tr("Wrong file checksum"));
        break;
    }
    return refusedFile(checked.refused);
}

// The first connection, the serial (which tells the firmware that runs) and
// the bootloader's version.
Upgrader::Step Upgrader::connectDevice(USBVR480::Firmware &firmware, QByteArray &serial)
{
    usb->disconnect();
    if (!connectWithRetries()) {
        if (isInterruptionRequested())
            return Outcome::InterruptedUntouched;
        if (usb->twinSeen())
            return Outcome::Untouched;
        emit sendText(tr("USB Timeout\nCheck USB Cable"));
        sayRefusal();
        return Outcome::NoDevice;
    }
    const UsbDevice::Place place = usb->openedPlace();
    serial = usb->readStringDescriptor();
    emit sendText(shown(USBVR480::deviceText(serial)));
    // A device selected by its serial that now gives another is not the one
    // followed: what it runs is not known.
    firmware = selects(*usb, serial) ? USBVR480::runningFirmware(serial) : USBVR480::Firmware::Unknown;
    lastFirmware = firmware;

    const std::optional<QString> version = usb->ReadBootloaderVersion();
    {
        QMutexLocker lock(&foundLock);
        found = {place, serial, version};
    }
    if (!version) {
        emit sendText(tr("Bootloader Version Read Error"));
        return Outcome::Untouched;
    }
    emit sendText(shown(*version));
    return std::nullopt;
}

// An application is restarted into its bootloader. One that does not come
// back as its bootloader (the restart request lost, the application never
// leaving, a bootloader whose serial has the application's form) has nothing
// written: it is taken to run its application still.
Upgrader::Step Upgrader::enterBootloader(USBVR480::Firmware firmware, QByteArray &serial)
{
    if (firmware == USBVR480::Firmware::Bootloader) {
        emit sendText(tr("Bootloader mode"));
        return std::nullopt;
    }
    if (firmware == USBVR480::Firmware::Unknown) {
        emit sendText(tr("Serial:") + shown(USBVR480::deviceText(usb->readStringDescriptor())));
        return Outcome::Untouched;
    }
    emit sendText(tr("Apllication mode"));
    emit sendText(tr("Reset device"));
    usb->RunApplication();
    qDebug("usb->RunApplication()");
    sleeper(2000);
    usb->disconnect();
    qDebug("usb->disconnect()");
    sleeper(500);
    if (!usb->waitForSerial(&USBVR480::isBootloaderSerial, kBootloaderTries, 200, sleeper, waitingLine())) {
        if (isInterruptionRequested())
            return Outcome::Interrupted;
        if (usb->twinSeen()) {
            lastLeft = Left::Unknown;
            return Outcome::Untouched;
        }
        // The last try found it answering as it did, or found nothing.
        lastLeft = usb->isOpen() == 0 ? Left::AsFound : Left::Gone;
        emit sendText(tr("USB timout\nCheck USB cable"));
        sayRefusal();
        return Outcome::Untouched;
    }
    lastLeft = Left::Bootloader;
    emit sendText(tr("Disconnect"));
    usb->disconnect();
    emit sendText(tr("Connect"));
    usb->connect();
    serial = usb->readStringDescriptor();
    emit sendText(tr("Serial:") + shown(USBVR480::deviceText(serial)));
    // The device connected now is the one written to: it must still answer
    // as a bootloader, of the device followed (no connection gives no serial).
    if (!USBVR480::isBootloaderSerial(serial) || !selects(*usb, serial)) {
        emit sendText(tr("USB timout\nCheck USB cable"));
        return Outcome::Untouched;
    }
    return std::nullopt;
}

// The steps in their order; the first that ends the run decides its outcome.
Upgrader::Outcome Upgrader::upgrade()
{
    const QString path = currentFileName();
    if (path.isNull())
        return Outcome::NoFile;
    qDebug("Start firmware upgrade");
    emit sendText(escapedDeviceText ? USBVR480::escapedName(path) : path);

    QByteArray image;
    if (Step end = loadFile(path, image))
        return *end;
    emit sendPercent(0);
    USBVR480::Firmware firmware = USBVR480::Firmware::Unknown;
    QByteArray serial;
    if (Step end = connectDevice(firmware, serial))
        return *end;
    if (Step end = followDevice(firmware))
        return *end;
    if (Step end = enterBootloader(firmware, serial))
        return *end;

    emit sendText(tr("Writting firmware ... "));
    const QByteArray application = image.mid(UpgradeFile::kApplicationOffset, UpgradeFile::kApplicationSize);
    const QByteArray external = image.mid(UpgradeFile::kExternalOffset, UpgradeFile::kExternalSize);
    image = QByteArray();
    Step end;
    {
        // Every connection of the writes, also one that a failed transfer
        // makes by itself, goes to this bootloader alone.
        const SerialSelection writes(*usb, {serial});
        end = writeApplication(application);
        if (!end) {
            emit sendText(tr("OK"));
            end = writeExternalFlash(external);
        }
    }
    if (end)
        return *end == Outcome::FirstPageRefused ? restoreApplication() : *end;
    emit sendText(tr("OK"));
    return startApplication();
}

// With the serial followed, the device is known by its serial alone from its
// first connection on: another one answering to it is looked for before the
// device is restarted, while the handle still leads to the device found.
Upgrader::Step Upgrader::followDevice(USBVR480::Firmware firmware)
{
    if (!followSerial || firmware == USBVR480::Firmware::Unknown)
        return std::nullopt;
    if (usb->selectedSerials().isEmpty())
        usb->selectSerial(deviceFound().serial);
    return usb->twinAttached() ? Step(Outcome::Untouched) : std::nullopt;
}

// The new application started; with the start check, seen on the bus. A twin
// seen before the restart leaves the start unchecked: the restart still goes
// through the open handle, to the device written, but no answer after it
// could be told from the twin's.
Upgrader::Outcome Upgrader::startApplication()
{
    if (followSerial)
        usb->twinAttached();
    usb->RunApplication();
    sleeper(1000);
    usb->disconnect();
    lastLeft = Left::Unknown;
    if (!startCheck || usb->twinSeen())
        return Outcome::Written;
    const bool started =
        usb->waitForSerial(&USBVR480::isApplicationSerial, kStartCheckTries, 200, sleeper, waitingLine());
    usb->disconnect();
    if (started) {
        lastLeft = Left::Application;
        return Outcome::Started;
    }
    if (isInterruptionRequested())
        return Outcome::Interrupted;
    if (usb->twinSeen())
        return Outcome::NotStarted;
    lastLeft = Left::Gone;
    emit sendText(tr("Application not started"));
    return Outcome::NotStarted;
}

// Nothing was written: a device that this run restarted into its bootloader
// goes back into the application it ran, when the caller asks for it.
Upgrader::Outcome Upgrader::restoreApplication()
{
    if (!restoreUntouched || lastLeft != Left::Bootloader || usb->twinSeen() || isInterruptionRequested())
        return Outcome::FirstPageRefused;
    returnToApplication();
    return isInterruptionRequested() ? Outcome::Interrupted : Outcome::FirstPageRefused;
}

// A device this run restarted into its bootloader goes back into its
// application. After a stop request the restart still runs, on a thread of
// its own that was not asked to stop, with real pauses unless the caller gave
// its own.
void Upgrader::returnToApplication()
{
    emit sendText(tr("Restarting the application"));
    using ServiceTools::Return;
    Return back = Return::NotReached;
    if (!isInterruptionRequested()) {
        back = ServiceTools::returnTo(*usb, USBVR480::Firmware::Application, sleeper);
    } else {
        const Sleeper pause = sleeperGiven ? sleeper : Sleeper([](unsigned long ms) { QThread::msleep(ms); });
        std::unique_ptr<QThread> restart(QThread::create(
            [&] { back = ServiceTools::returnTo(*usb, USBVR480::Firmware::Application, pause); }));
        restart->start();
        restart->wait();
    }
    lastLeft = back == Return::Back || back == Return::AsFound ? Left::Application
               : back == Return::NotBack                       ? Left::Gone
                                                               : Left::Unknown;
}

// The device the last connection found but could not open, and why.
void Upgrader::sayRefusal()
{
    if (const QString line = refusalLine(usb->deniedDevice()); !line.isEmpty())
        emit sendText(line);
}

// While the device comes back: a VR480 that cannot be opened yet is said
// once, and waited for.
USBVR480::Waiting Upgrader::waitingLine()
{
    return [this](const usb::DeniedDevice &denied) {
        emit sendText(refusalLine(denied, usb::openableWithinMs() / 1000));
    };
}

// Up to four attempts, 200 ms apart.
bool Upgrader::connectWithRetries()
{
    for (int retries = 0;; ++retries) {
        if (usb->connect() == 0)
            return true;
        if (retries == kConnectRetries || isInterruptionRequested() || usb->twinSeen())
            return false;
        qDebug("usb->connect()\nmssleep(200)");
        sleeper(200);
    }
}

// Page by page: write, read back, compare. The first page that fails any of
// the three ends the upgrade, so the application is never started over flash
// that is known to be wrong. A first page refused leaves the flash as it was.
Upgrader::Step Upgrader::writeApplication(const QByteArray &application)
{
    const quint32 total = quint32(application.size());
    quint32 offset = 0;
    quint32 remaining = total;
    char page[kPageSize];
    char plain[kPageSize];
    char readBack[kPageSize];
    for (int number = 0; remaining > 0; ++number) {
        if (isInterruptionRequested())
            return Outcome::Interrupted;
        const quint32 n = qMin<quint32>(kPageSize, remaining);
        std::memset(page, 0xFF, kPageSize);
        std::memcpy(page, application.constData() + offset, n);
        std::memcpy(plain, page, kPageSize);

        lastFailedPage = number;
        if (usb->WritePageToAddress(page, kApplicationAddress + offset) != 0) {
            qDebug("page write ERROR");
            emit sendText(tr("ERROR"));
            return number == 0 ? Outcome::FirstPageRefused : Outcome::PageWriteFailed;
        }
        qDebug("page write OK");

        std::memset(readBack, 0xFF, kPageSize);
        if (usb->ReadMemoryFromAddress(readBack, kApplicationAddress + offset, kPageSize) != 0) {
            qDebug("page read ERROR");
            emit sendText(tr("ERROR"));
            return Outcome::PageVerifyFailed;
        }
        if (std::memcmp(readBack, plain, kPageSize) != 0) {
            emit sendText(tr("ERROR"));
            return Outcome::PageVerifyFailed;
        }
        lastFailedPage = -1;

        offset += kPageSize;
        remaining -= n;
        emit sendPercent(int((total - remaining) * 100 / total));
    }
    return std::nullopt;
}

// Scrambled out in 256-byte transfers, back in 512-byte ones, compared plain.
Upgrader::Step Upgrader::writeExternalFlash(const QByteArray &data)
{
    const int size = int(data.size());
    QByteArray scrambled = data;
    encodeData(scrambled.data(), size);
    emit sendText(tr("Writting External Flash ... "));
    if (usb->WriteExternalFlashToAddress(scrambled.constData(), 0, quint32(size)) != 0) {
        emit sendText(tr("Error"));
        return orInterrupted(Outcome::Failed);
    }
    emit sendText(tr("OK"));
    emit sendText(tr("Verify External Flash ...  "));
    QByteArray readBack(size, '\0');
    if (usb->ReadExternalFlashFromAddress(readBack.data(), 0, quint32(size)) != 0) {
        emit sendText(tr("Error"));
        return orInterrupted(Outcome::Failed);
    }
    decodeData(readBack.data(), size);
    if (readBack != data) {
        emit sendText(tr("Error"));
        emit sendText(tr("read_buffer"));
        emit sendText(QString::fromLatin1(HexDump(readBack.constData(), size)));
        emit sendText(tr("ext_datas.data()"));
        emit sendText(QString::fromLatin1(HexDump(data.constData(), size)));
        return Outcome::Failed;
    }
    return std::nullopt;
}
