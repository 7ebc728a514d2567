// The device workers of the command line. upgrade --all and upgrade with
// several --serial run one per device, all at once, each the same upgrade as
// for a single device with its own outcome; one failing does not stop the
// others. The file was read and checked once before: every device gets the
// same image.

#include "parallelupgrade.h"

#include "backup.h"
#include "deviceprogress.h"
#include "devices.h"
#include "interrupt.h"
#include "platform.h"
#include "progress.h"
#include "upgradecommand.h"
#include "usbvr480.h"

#include <algorithm>
#include <memory>
#include <vector>

namespace cli {

DeviceWorker::DeviceWorker(const UpgradePlan &plan, const std::optional<QByteArray> &serial,
                           const RunDisplay &display, UnitReport &report)
    : serial(serial.value_or(QByteArray())), file(plan.file), wanted(serial), upgrader(&usb)
{
    if (serial)
        usb.selectSerial(*serial);
    upgrader.setPlan(Upgrader::Plan::commandLine(plan.image, plan.job));
    showOn(upgrader, display);
    // The record is written on the worker's thread as soon as it ends.
    QObject::connect(&upgrader, &QThread::finished, [this, &report] {
        unit.finish(upgrader, runEnding(upgrader, usb, file.name));
        report.add(unit);
    });
    upgrader.slotSetFileName(file.name);
}

void showOn(Upgrader &upgrader, const RunDisplay &display)
{
    // Without a receiver the functors run on the worker's own thread.
    upgrader.showOn(nullptr, display.line, [update = display.update](Upgrader::Bar bar, int percent) {
        update(bar == Upgrader::Bar::Flash                ? QStringLiteral("Flash")
               : bar == Upgrader::Bar::ExternalFlashWrite ? QStringLiteral("External flash write")
                                                          : QStringLiteral("External flash verify"),
               percent);
    });
}

void DeviceWorker::start()
{
    unit = UnitRecord::begin(file, wanted);
    upgrader.start();
}

void runWorkers(const std::vector<std::unique_ptr<DeviceWorker>> &workers)
{
    QList<QThread *> threads;
    for (const auto &worker : workers) {
        worker->start();
        threads << &worker->thread();
    }
    waitFor(threads);
}

// A process out of file descriptors aborts while it starts a thread, perhaps
// with other devices half-way, so they are tried before any worker starts:
// its thread's event dispatcher, its device handle and the bus scans.
std::optional<Result> checkDescriptors(qsizetype workers)
{
    if (const QString shortage = openFilesShortage(int(3 * workers + 2)); !shortage.isEmpty())
        return failure(ExitDeviceFailed, QStringLiteral("cannot work on %1 VR480 at once: %2 (see ulimit -n); "
                                                        "nothing was written")
                                             .arg(workers)
                                             .arg(shortage));
    return std::nullopt;
}

QString outcomeLine(const QByteArray &serial, int serialWidth, const UnitRecord &record)
{
    return QStringLiteral("%1  %2  %3")
        .arg(serialText(serial), -serialWidth)
        .arg(record.ms / 1000.0, 7, 'f', 1)
        .arg(record.message());
}

void UnitTally::add(const Result &result)
{
    if (result.status == ExitOk) {
        ++done;
        return;
    }
    ++failures;
    if (!statuses.contains(result.status))
        statuses << result.status;
}

QString UnitTally::counts() const
{
    return (job == Upgrader::Job::Verify ? QStringLiteral("%1 matching, %2 not matching")
                                         : QStringLiteral("%1 upgraded, %2 failed"))
        .arg(done)
        .arg(failures);
}

Result UnitTally::result(bool interrupted) const
{
    const bool verify = job == Upgrader::Job::Verify;
    const int total = done + failures;
    if (failures > 0 && interrupted)
        return failure(ExitInterrupted, (verify ? QStringLiteral("interrupted: %1 of %2 VR480 not verified")
                                                : QStringLiteral("interrupted: %1 of %2 VR480 not upgraded, and may "
                                                                 "be left in their bootloader; run the upgrade again"))
                                            .arg(failures)
                                            .arg(total));
    if (failures > 0)
        return failure(statuses.size() == 1 ? statuses.first() : int(ExitDeviceFailed),
                       (verify ? QStringLiteral("%1 of %2 VR480 do not match")
                               : QStringLiteral("%1 of %2 VR480 not upgraded"))
                           .arg(failures)
                           .arg(total));
    return {};
}

Result upgradeSeveral(const Invocation &in, const UpgradePlan &plan, UnitReport &report, const QString &backupFolder)
{
    QList<QByteArray> serials;
    if (std::optional<Result> refusal = chooseDevices(in, in.parser.isSet(QStringLiteral("all")), &serials))
        return *refusal;
    if (!backupFolder.isEmpty()) {
        Progress progress(report.textStream(), report.textTerminal(in));
        for (const QByteArray &serial : std::as_const(serials)) {
            USBVR480 usb;
            usb.selectSerial(serial);
            if (std::optional<Result> refused = takeBackup(usb, backupFileName(backupFolder, serial), progress))
                return *refused;
        }
    }
    if (std::optional<Result> refusal = checkDescriptors(serials.size()))
        return *refusal;

    DeviceProgress progress(report.textStream(), report.textTerminal(in), serials);
    std::vector<std::unique_ptr<DeviceWorker>> workers;
    for (int row = 0; row < serials.size(); ++row) {
        const RunDisplay display{[&progress, row](const QString &text) { progress.line(row, text); },
                                 [&progress, row](const QString &label, int percent) {
                                     progress.update(row, label, percent);
                                 }};
        workers.push_back(std::make_unique<DeviceWorker>(plan, serials.at(row), display, report));
    }
    runWorkers(workers);
    progress.finish();

    // The summary: serial, seconds, outcome.
    int width = 6;
    for (const QByteArray &serial : std::as_const(serials))
        width = std::max(width, int(serialText(serial).size()));
    QStringList table{QStringLiteral("%1  SECONDS  OUTCOME").arg(QStringLiteral("SERIAL"), -width)};
    UnitTally tally(plan.job);
    for (const auto &worker : workers) {
        tally.add(worker->record().result);
        table << outcomeLine(worker->serial, width, worker->record());
    }
    writeTo(report.textStream(), (table.join(QLatin1Char('\n')) + QLatin1Char('\n')).toLocal8Bit());

    Result result = tally.result(stopRequested());
    report.failOnLostRecords(result);
    reportLostOutput(result);
    return result;
}

} // namespace cli
