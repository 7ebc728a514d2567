// The steps of a run that only reads: both memories, compared with the file's
// image or kept as they are.

#include "upgrader.h"

#include "memorymap.h"
#include "readback.h"
#include "scramble.h"
#include "serialselection.h"
#include "upgradefile.h"
#include "usbvr480.h"

// The file's image when it verifies, the connection and the restart into the
// bootloader as an upgrade makes them, both memories read, and the device back
// in the firmware it was found running. The reads go to the bootloader
// followed alone, as the writes do.
Upgrader::Outcome Upgrader::readDevice()
{
    QByteArray expected;
    if (job == Job::Verify) {
        const QString path = currentFileName();
        if (path.isNull() && givenImage.isEmpty())
            return Outcome::NoFile;
        if (!path.isNull())
            emit sendText(escapedDeviceText ? USBVR480::escapedName(path) : path);
        if (Step end = loadFile(path, expected))
            return *end;
    }
    emit sendPercent(0);
    USBVR480::Firmware firmware = USBVR480::Firmware::Unknown;
    QByteArray serial;
    if (Step end = connectDevice(firmware, serial))
        return *end;
    if (Step end = followDevice(firmware))
        return *end;
    if (Step end = enterBootloader(firmware, serial)) {
        // Stopped while it restarted: it may come back in its bootloader.
        if (*end == Outcome::Interrupted)
            returnToApplication();
        return *end;
    }
    QByteArray image;
    Step end;
    {
        const SerialSelection reads(*usb, {serial});
        end = readMemories(image);
    }
    if (lastLeft == Left::Bootloader && !usb->twinSeen())
        returnToApplication();
    else
        usb->disconnect();
    if (end)
        return *end;
    lastRead = image;
    if (job == Job::Read)
        return Outcome::Read;
    lastComparison = Readback::compare(expected, image);
    for (const QString &line : lastComparison.lines())
        emit sendText(line);
    return lastComparison.matches() ? Outcome::Matches : Outcome::Differs;
}

// The application page by page and the external-flash data in one call, into
// a plain image that is zero elsewhere.
Upgrader::Step Upgrader::readMemories(QByteArray &image)
{
    constexpr int kPageSize = int(MemoryMap::kPageSize);
    image = QByteArray(UpgradeFile::kImageSize, '\0');
    emit sendText(tr("Reading firmware ... "));
    const int pages = UpgradeFile::kApplicationSize / kPageSize;
    for (int number = 0; number < pages; ++number) {
        if (isInterruptionRequested())
            return Outcome::Interrupted;
        const int offset = number * kPageSize;
        lastFailedPage = number;
        if (usb->ReadMemoryFromAddress(image.data() + UpgradeFile::kApplicationOffset + offset,
                                       MemoryMap::kApplicationAddress + quint32(offset), kPageSize)
            != 0) {
            emit sendText(tr("ERROR"));
            return orInterrupted(Outcome::ReadFailed);
        }
        emit sendPercent((number + 1) * 100 / pages);
    }
    lastFailedPage = -1;
    emit sendText(tr("OK"));
    emit sendText(tr("Reading External Flash ... "));
    char *external = image.data() + UpgradeFile::kExternalOffset;
    if (usb->ReadExternalFlashFromAddress(external, 0, quint32(UpgradeFile::kExternalSize)) != 0) {
        emit sendText(tr("Error"));
        return orInterrupted(Outcome::ReadFailed);
    }
    decodeData(external, UpgradeFile::kExternalSize);
    emit sendText(tr("OK"));
    return std::nullopt;
}
