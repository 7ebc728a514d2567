// upgrade --all and upgrade with several --serial: one upgrade worker per
// device, all at once. Each runs the same upgrade as for a single device and
// has its own outcome; one failing does not stop the others. The file was
// read and checked once before: every device gets the same image.

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

DeviceWorker::DeviceWorker(const QByteArray &serial, const QByteArray &image, const UpgradeFileId &file,
                           DeviceProgress &progress, int row, UnitReport &report, Upgrader::Job job)
    : serial(serial), row(row), file(file), upgrader(&usb)
{
    usb.selectSerial(serial);
    prepareUpgrader(upgrader, image, job);
    // Without a receiver the functors run on the worker's own thread.
    showProgress(
        upgrader, [&progress, row](const QString &text) { progress.line(row, text); },
        [&progress, row](const QString &label, int percent) { progress.update(row, label, percent); });
    // The record is written on the worker's thread as soon as it ends.
    QObject::connect(&upgrader, &QThread::finished, [this, &report] {
        unit.finish(upgrader, runEnding(upgrader, usb, this->file.name));
        report.add(unit);
    });
    upgrader.slotSetFileName(file.name);
}

void DeviceWorker::start()
{
    unit = UnitRecord::begin(file, serial);
    upgrader.start();
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

Result severalResult(int failed, int total, int status, bool interrupted, Upgrader::Job job)
{
    if (job == Upgrader::Job::Verify) {
        if (failed > 0 && interrupted)
            return failure(ExitInterrupted,
                           QStringLiteral("interrupted: %1 of %2 VR480 not verified").arg(failed).arg(total));
        if (failed > 0)
            return failure(status, QStringLiteral("%1 of %2 VR480 do not match").arg(failed).arg(total));
        return {};
    }
    if (failed > 0 && interrupted)
        return failure(ExitInterrupted, QStringLiteral("interrupted: %1 of %2 VR480 not upgraded, and may be left "
                                                       "in their bootloader; run the upgrade again")
                                            .arg(failed)
                                            .arg(total));
    if (failed > 0)
        return failure(status, QStringLiteral("%1 of %2 VR480 not upgraded").arg(failed).arg(total));
    return {};
}

Result upgradeSeveral(const Invocation &in, const UpgradeFileId &file, const QByteArray &image, UnitReport &report,
                      Upgrader::Job job, const QString &backupFolder)
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
    QList<QThread *> threads;
    for (int i = 0; i < serials.size(); ++i) {
        workers.push_back(std::make_unique<DeviceWorker>(serials.at(i), image, file, progress, i, report, job));
        threads << &workers.back()->thread();
    }
    for (const auto &worker : workers)
        worker->start();
    waitFor(threads);
    progress.finish();

    // The summary: serial, seconds, outcome.
    int width = 6;
    for (const QByteArray &serial : std::as_const(serials))
        width = std::max(width, int(serialText(serial).size()));
    QStringList table{QStringLiteral("%1  SECONDS  OUTCOME").arg(QStringLiteral("SERIAL"), -width)};
    int failed = 0;
    QList<int> statuses;
    for (const auto &worker : workers) {
        const Result &result = worker->record().result;
        if (result.status != ExitOk) {
            ++failed;
            if (!statuses.contains(result.status))
                statuses << result.status;
        }
        table << outcomeLine(worker->serial, width, worker->record());
    }
    writeTo(report.textStream(), (table.join(QLatin1Char('\n')) + QLatin1Char('\n')).toLocal8Bit());

    Result result = severalResult(failed, int(workers.size()),
                                  statuses.size() == 1 ? statuses.first() : int(ExitDeviceFailed), stopRequested(),
                                  job);
    report.settle(result);
    reportLostOutput(result);
    return result;
}

} // namespace cli
