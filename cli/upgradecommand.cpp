// upgrade: the window's "Change Firmware", succeeding only once the new
// application runs.

#include "upgradecommand.h"

#include "backup.h"
#include "devices.h"
#include "inputfile.h"
#include "interrupt.h"
#include "memorymap.h"
#include "parallelupgrade.h"
#include "progress.h"
#include "unitreport.h"
#include "upgradefile.h"
#include "usbvr480.h"

#include <QCryptographicHash>

namespace cli {

namespace {

QString stillRuns(USBVR480::Firmware firmware)
{
    switch (firmware) {
    case USBVR480::Firmware::Application:
        return QStringLiteral("the device still runs its application");
    case USBVR480::Firmware::Bootloader:
        return QStringLiteral("the device still runs its bootloader");
    case USBVR480::Firmware::Unknown:
        break;
    }
    return QStringLiteral("the device still runs the firmware it ran");
}

// Where a run that wrote nothing left the device; `gone` says it of one that
// was restarted and not seen back.
QString whereLeft(const Upgrader &upgrader, const QString &gone)
{
    using Left = Upgrader::Left;
    switch (upgrader.left()) {
    case Left::AsFound:
        return stillRuns(upgrader.firmwareFound());
    case Left::Bootloader:
        return QStringLiteral("the device is left in its bootloader, its old application intact");
    case Left::Application:
        return QStringLiteral("it was restarted back into its application, which runs again");
    case Left::Gone:
        return gone;
    case Left::Unknown:
        break;
    }
    return QStringLiteral("the device may be left in its bootloader");
}

// A run that stopped before anything was written.
QString untouchedMessage(const Upgrader &upgrader)
{
    const USBVR480::Firmware found = upgrader.firmwareFound();
    if (upgrader.left() == Upgrader::Left::AsFound && found == USBVR480::Firmware::Application)
        return QStringLiteral("nothing was written: the device still runs its application (\"%1 restart\" "
                              "starts its bootloader; then run the upgrade again)")
            .arg(programName());
    if (upgrader.left() == Upgrader::Left::AsFound && found == USBVR480::Firmware::Unknown)
        return QStringLiteral("nothing was written: the device's serial %1 names neither its application nor "
                              "its bootloader")
            .arg(serialText(upgrader.deviceFound().serial));
    return QStringLiteral("nothing was written: ")
           + whereLeft(upgrader, QStringLiteral("the device was told to restart into its bootloader and has not "
                                                "come back on the bus"));
}

} // namespace

QString twinText(const QByteArray &serial)
{
    return QStringLiteral("another VR480 with the serial %1 is attached, and the two cannot be told apart")
        .arg(serialText(serial));
}

Result upgradeResult(Upgrader::Outcome outcome, const QString &upgFile, const Upgrader *upgrader, USBVR480 *usb)
{
    using Outcome = Upgrader::Outcome;
    const QString twin = twinText(usb ? usb->selectedSerials().value(0) : QByteArray());
    const QString again = QStringLiteral("the device may be left in its bootloader; run the upgrade again");
    const auto page = [&](const char *what) {
        using namespace MemoryMap;
        const int number = upgrader ? upgrader->failedPage() : -1;
        return failure(ExitDeviceFailed, QStringLiteral("the upgrade failed: the %1 of page %2 of %3 (at 0x%4) "
                                                        "failed: %5")
                                             .arg(QLatin1String(what))
                                             .arg(number + 1)
                                             .arg(kApplicationSize / kPageSize)
                                             .arg(kApplicationAddress + quint32(number) * kPageSize, 8, 16,
                                                  QLatin1Char('0'))
                                             .arg(again));
    };
    switch (outcome) {
    case Outcome::Started:
        return {};
    case Outcome::BadFile:
        return failure(ExitBadInput,
                       QStringLiteral("%1: not a VR480 upgrade file").arg(USBVR480::escapedName(upgFile)));
    case Outcome::BadChecksum:
        return failure(ExitBadInput, QStringLiteral("%1: wrong checksum: the file is damaged (--ignore-checksum "
                                                    "writes it all the same)")
                                         .arg(USBVR480::escapedName(upgFile)));
    case Outcome::NoDevice:
        return usb ? noDevice(*usb, QStringLiteral("no VR480 found")) : failure(ExitNoDevice, QStringLiteral("no VR480 found"));
    case Outcome::Untouched:
        if (upgrader)
            return failure(ExitDeviceFailed, untouchedMessage(*upgrader));
        break;
    case Outcome::FirstPageRefused:
        if (upgrader)
            return failure(ExitDeviceFailed,
                           QStringLiteral("nothing was written: the device refused the first page; ")
                               + whereLeft(*upgrader, QStringLiteral("it was restarted back into its application, "
                                                                     "but has not come back within 10 s")));
        break;
    case Outcome::TwinUntouched:
        return failure(ExitDeviceFailed,
                       QStringLiteral("nothing was written: %1; %2")
                           .arg(twin, upgrader && upgrader->left() == Upgrader::Left::AsFound
                                          ? stillRuns(upgrader->firmwareFound())
                                          : QStringLiteral("the device may be left in its bootloader")));
    case Outcome::TwinFailed:
        return failure(ExitDeviceFailed, QStringLiteral("the upgrade failed: %1; %2 with only one of them attached")
                                             .arg(twin, again));
    case Outcome::TwinNotProven:
        return failure(ExitDeviceFailed, QStringLiteral("the firmware was written and verified and the application "
                                                        "told to start, but %1: its start is not proven")
                                             .arg(twin));
    case Outcome::PageWriteFailed:
        return page("write");
    case Outcome::PageVerifyFailed:
        return page("verification");
    case Outcome::InterruptedUntouched:
        return interrupted();
    case Outcome::Interrupted:
        if (upgrader && upgrader->currentJob() != Upgrader::Job::Write)
            return failure(ExitInterrupted, QStringLiteral("interrupted: nothing was written; ")
                                                + whereLeft(*upgrader, QStringLiteral("it was restarted back into "
                                                                                      "its application, but has not "
                                                                                      "come back within 10 s")));
        return failure(ExitInterrupted, QStringLiteral("interrupted before the upgrade was complete: ") + again);
    case Outcome::Read:
    case Outcome::Matches:
        return {};
    case Outcome::Differs:
        return failure(ExitDiffers, QStringLiteral("the device does not hold the firmware of %1: %2 of %3 pages and %4 "
                                                   "external-flash ranges differ")
                                        .arg(USBVR480::escapedName(upgFile))
                                        .arg(upgrader ? upgrader->comparison().pages.size() : 0)
                                        .arg(MemoryMap::kApplicationSize / MemoryMap::kPageSize)
                                        .arg(upgrader ? upgrader->comparison().ranges.size() : 0));
    case Outcome::ReadFailed:
        if (upgrader)
            return failure(ExitDeviceFailed,
                           (upgrader->failedPage() < 0 ? QStringLiteral("the read of the external flash failed; ")
                                                       : QStringLiteral("the read of page %1 of %2 failed; ")
                                                             .arg(upgrader->failedPage() + 1)
                                                             .arg(MemoryMap::kApplicationSize / MemoryMap::kPageSize))
                               + QStringLiteral("nothing was written; ")
                               + whereLeft(*upgrader, QStringLiteral("it was restarted back into its application, "
                                                                     "but has not come back within 10 s")));
        break;
    case Outcome::NotStarted:
        return failure(ExitDeviceFailed, QStringLiteral("the firmware was written and verified, but the "
                                                        "application did not come back within 10 s"));
    case Outcome::Failed:
        return failure(ExitDeviceFailed, QStringLiteral("the upgrade failed at the external flash: ") + again);
    case Outcome::NoFile:
    case Outcome::Written: // not an end of a run with the start check
        break;
    }
    return failure(ExitDeviceFailed, QStringLiteral("the upgrade failed: ") + again);
}

void prepareUpgrader(Upgrader &upgrader, const QByteArray &image, Upgrader::Job job)
{
    upgrader.setJob(job);
    upgrader.setStartCheck(true);
    upgrader.setFollowSerial(true);
    upgrader.setRestoreUntouched(true);
    upgrader.setImage(image);
}

void showProgress(Upgrader &upgrader, const std::function<void(const QString &)> &line,
                  const std::function<void(const QString &label, int percent)> &update)
{
    upgrader.setEscapedDeviceText(true);
    upgrader.showOn(nullptr, line, [update](Upgrader::Bar bar, int percent) {
        update(bar == Upgrader::Bar::Flash                ? QStringLiteral("Flash")
               : bar == Upgrader::Bar::ExternalFlashWrite ? QStringLiteral("External flash write")
                                                          : QStringLiteral("External flash verify"),
               percent);
    });
}

std::optional<Result> readUpgradeFile(const QString &upgFile, bool checksumCheck, QByteArray *image,
                                      UpgradeFileId *id)
{
    const image::InputFile input = image::readInputFile(upgFile, UpgradeFile::kFileSize, stopRequested, true);
    if (input.result.status == image::FileStatus::Interrupted)
        return interrupted();
    if (input.result.status == image::FileStatus::CannotRead)
        return failure(ExitBadInput, QStringLiteral("%1: %2").arg(USBVR480::escapedName(upgFile), input.result.error));
    Upgrader::CheckedFile checked = Upgrader::checkFile(input, checksumCheck);
    if (checked.refused)
        return upgradeResult(*checked.refused, upgFile);
    *image = std::move(checked.image);
    *id = {upgFile, QString::fromLatin1(QCryptographicHash::hash(input.bytes, QCryptographicHash::Sha256).toHex())};
    return std::nullopt;
}

Result runOnFile(Invocation &in, Upgrader::Job job)
{
    const QString upgFile = in.argument(0);
    QByteArray image;
    UpgradeFileId file;
    if (std::optional<Result> refused =
            readUpgradeFile(upgFile, !in.parser.isSet(QStringLiteral("ignore-checksum")), &image, &file))
        return *refused;
    UnitReport report;
    if (std::optional<Result> refused = report.open(in, upgFile))
        return *refused;
    const std::optional<QString> backup = job == Upgrader::Job::Write ? in.option(QStringLiteral("backup")) : std::nullopt;
    const bool several = in.parser.isSet(QStringLiteral("all")) || in.parser.values(QStringLiteral("serial")).size() > 1;
    if (backup) {
        if (std::optional<Result> refused = checkBackupTarget(*backup, upgFile, several))
            return *refused;
    }
    if (several)
        return upgradeSeveral(in, file, image, report, job, backup.value_or(QString()));

    USBVR480 usb;
    if (std::optional<Result> refusal = selectDevice(in, usb))
        return *refusal;
    Upgrader upgrader(&usb);
    prepareUpgrader(upgrader, image, job);
    Progress progress(report.textStream(), report.textTerminal(in));
    // The worker's thread is the only one writing while it runs.
    showProgress(
        upgrader, [&](const QString &text) { progress.line(text); },
        [&](const QString &label, int percent) { progress.update(label, percent); });
    upgrader.slotSetFileName(upgFile);
    const std::optional<QString> serial = in.option(QStringLiteral("serial"));
    UnitRecord record = UnitRecord::begin(file, serial ? std::optional(serial->toLatin1()) : std::nullopt);
    // The backup is kept before the first page write: no backup, no upgrade.
    if (backup) {
        if (std::optional<Result> refused = takeBackup(usb, *backup, progress))
            return *refused;
    }
    upgrader.start();
    waitFor(upgrader);

    Result result = upgradeResult(upgrader.outcome(), upgFile, &upgrader, &usb);
    record.finish(upgrader, result);
    report.add(record);
    if (result.status == ExitOk)
        progress.line(job == Upgrader::Job::Write ? QStringLiteral("Upgrade complete: the new application is running")
                                                  : QStringLiteral("Matches: the device holds the firmware of ")
                                                        + USBVR480::escapedName(upgFile));
    report.settle(result);
    reportLostOutput(result);
    return result;
}

namespace {

Result upgrade(Invocation &in)
{
    return runOnFile(in, Upgrader::Job::Write);
}

// The outcome words of the records with their meanings, for the help.
QString outcomeWords()
{
    QStringList words;
    for (const OutcomeWord &outcome : kOutcomeWords)
        words << QStringLiteral("%1: %2").arg(QLatin1String(outcome.word), QLatin1String(outcome.meaning));
    return words.join(QStringLiteral("; "));
}

} // namespace

QList<Command> upgradeCommands()
{
    return {
        {QStringLiteral("upgrade"), QStringLiteral("Write an upgrade file into the VR480 and start it"),
         QStringLiteral("Runs the upgrade of the window's \"Change Firmware\": restarts the device into its "
                        "bootloader, writes and verifies the application page by page and the external-flash "
                        "data, starts the new application and waits until it runs. Succeeds only then. With "
                        "--all (every attached VR480) or several --serial, the devices are upgraded at once, "
                        "each on its own, and a summary gives their outcomes; succeeds only when every one "
                        "runs its new application. Each device run gives a record, a JSON object on one line "
                        "(--report, --json): serial, bootloader, bus, device, file, sha256, start, end (ISO 8601, "
                        "UTC), seconds, outcome (") + outcomeWords() + QStringLiteral("), status (the exit status of "
                        "the run alone) and message."),
         {{QStringLiteral("FILE.upg"), QStringLiteral("The upgrade file (a pipe such as /dev/stdin too).")}},
         {{{QStringLiteral("ignore-checksum")},
           QStringLiteral("Write a file whose checksums do not match all the same (to test the device's own "
                          "check).")},
          serialOption(QStringLiteral(" Given several times, those devices are upgraded at once.")),
          QCommandLineOption(QStringLiteral("all"), QStringLiteral("Upgrade every attached VR480 at once.")),
          reportOption(),
          jsonOption(QStringLiteral("Write the record of each device run on standard output instead of the "
                                    "log and the summary, which go to standard error with the progress.")),
          QCommandLineOption(QStringLiteral("backup"),
                             QStringLiteral("Before the first page write, read what the device holds and keep it in "
                                            "FILE (as backup does); when that fails, nothing is written to the "
                                            "device. With --all or several --serial, FILE names a folder that "
                                            "gets one file per device, named by its serial."),
                             QStringLiteral("FILE"))},
         upgrade},
    };
}

} // namespace cli
