// upgrade: the window's "Change Firmware", succeeding only once the new
// application runs.

#include "upgradecommand.h"

#include "backup.h"
#include "devices.h"
#include "inputfile.h"
#include "outcome.h"
#include "interrupt.h"
#include "parallelupgrade.h"
#include "progress.h"
#include "unitreport.h"
#include "upgradefile.h"
#include "usbvr480.h"

#include <QCryptographicHash>

namespace cli {

std::optional<Result> readUpgradeFile(const QString &upgFile, bool checksumCheck, Upgrader::Job job,
                                      QByteArray *image, UpgradeFileId *id)
{
    const image::InputFile input = image::readInputFile(upgFile, UpgradeFile::kFileSize, stopRequested, true);
    if (input.result.status == image::FileStatus::Interrupted)
        return interrupted();
    if (input.result.status == image::FileStatus::CannotRead)
        return failure(ExitBadInput, QStringLiteral("%1: %2").arg(USBVR480::escapedName(upgFile), input.result.error));
    UpgradeFile::Checked checked = UpgradeFile::check(input, checksumCheck);
    if (checked.refused != UpgradeFile::Refusal::None) {
        RunFacts facts;
        facts.file = upgFile;
        facts.job = job;
        return resultOf(outcomeText(Upgrader::refusedFile(checked.refused), facts));
    }
    *image = std::move(checked.image);
    *id = {upgFile, QString::fromLatin1(QCryptographicHash::hash(input.bytes, QCryptographicHash::Sha256).toHex())};
    return std::nullopt;
}

Result runOnFile(Invocation &in, Upgrader::Job job)
{
    const QString upgFile = in.argument(0);
    UpgradePlan plan;
    plan.job = job;
    if (std::optional<Result> refused =
            readUpgradeFile(upgFile, !in.parser.isSet(QStringLiteral("ignore-checksum")), job, &plan.image,
                            &plan.file))
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
        return upgradeSeveral(in, plan, report, backup.value_or(QString()));

    QList<QByteArray> serials;
    if (std::optional<Result> refusal = chooseDevices(in, false, &serials))
        return *refusal;
    Progress progress(report.textStream(), report.textTerminal(in));
    // The backup is kept before the first page write: no backup, no upgrade.
    if (backup) {
        USBVR480 usb;
        if (!serials.isEmpty())
            usb.selectSerial(serials.first());
        if (std::optional<Result> refused = takeBackup(usb, *backup, progress))
            return *refused;
    }
    // The worker's thread is the only one writing while it runs.
    const RunDisplay display{[&](const QString &text) { progress.line(text); },
                             [&](const QString &label, int percent) { progress.update(label, percent); }};
    std::vector<std::unique_ptr<DeviceWorker>> worker;
    worker.push_back(std::make_unique<DeviceWorker>(
        plan, serials.isEmpty() ? std::nullopt : std::optional(serials.first()), display, report));
    runWorkers(worker);

    Result result = worker.front()->record().result;
    if (result.status == ExitOk)
        progress.line(completeLine(job, upgFile));
    report.failOnLostRecords(result);
    reportLostOutput(result);
    return result;
}

namespace {

Result upgrade(Invocation &in)
{
    return runOnFile(in, Upgrader::Job::Write);
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
                        "runs its new application, and otherwise ends with 130 after a stop signal, else with the "
                        "status that the failed devices share, or 1 when theirs differ. Each device run gives a record, a JSON object on one line "
                        "(--report, --json): serial, bootloader, bus, device, file, sha256, start, end (ISO 8601, "
                        "UTC), seconds, outcome (") + outcomeWordsText() + QStringLiteral("), status (the exit status of "
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
