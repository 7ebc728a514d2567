// upgrade --all and upgrade with several --serial: one upgrade worker per
// device, all at once. Each runs the same upgrade as for a single device and
// has its own outcome; one failing does not stop the others. The file was
// read and checked once before: every device gets the same image.

#include "parallelupgrade.h"

#include "deviceprogress.h"
#include "devices.h"
#include "interrupt.h"
#include "platform.h"
#include "progress.h"
#include "upgradecommand.h"
#include "usbvr480.h"

#include <QElapsedTimer>

#include <algorithm>
#include <atomic>
#include <memory>
#include <vector>

namespace cli {

namespace {

// One device's upgrade: its own device object, following its serial.
struct Worker {
    Worker(const QByteArray &serial, const QByteArray &image) : serial(serial), upgrader(&usb)
    {
        usb.selectSerial(serial);
        upgrader.setStartCheck(true);
        upgrader.setImage(image);
    }
    QByteArray serial;
    USBVR480 usb;
    Upgrader upgrader;
    std::atomic<qint64> endMs{0};
};

// Each worker needs file descriptors of its own: its thread's event
// dispatcher, its device handle and the bus scans. A process out of them
// aborts while it starts a thread, perhaps with other devices half-way, so
// they are tried before any worker starts.
std::optional<Result> checkDescriptors(qsizetype workers)
{
    if (const QString shortage = openFilesShortage(int(3 * workers + 2)); !shortage.isEmpty())
        return failure(ExitDeviceFailed, QStringLiteral("cannot work on %1 VR480 at once: %2 (see ulimit -n); "
                                                        "nothing was written")
                                             .arg(workers)
                                             .arg(shortage));
    return std::nullopt;
}

} // namespace

Result upgradeSeveral(const Invocation &in, const QString &upgFile, const QByteArray &image)
{
    QList<QByteArray> serials;
    if (std::optional<Result> refusal = chooseDevices(in, in.parser.isSet(QStringLiteral("all")), &serials))
        return *refusal;
    if (std::optional<Result> refusal = checkDescriptors(serials.size()))
        return *refusal;

    DeviceProgress progress(stdout, in.terminal, serials);
    QElapsedTimer clock;
    std::vector<std::unique_ptr<Worker>> workers;
    QList<QThread *> threads;
    for (int i = 0; i < serials.size(); ++i) {
        workers.push_back(std::make_unique<Worker>(serials.at(i), image));
        Worker *worker = workers.back().get();
        // Without a receiver the functors run on the worker's own thread.
        showProgress(
            worker->upgrader, [&progress, i](const QString &text) { progress.line(i, text); },
            [&progress, i](const QString &label, int percent) { progress.update(i, label, percent); });
        QObject::connect(&worker->upgrader, &QThread::finished,
                         [worker, &clock] { worker->endMs = clock.elapsed(); });
        worker->upgrader.slotSetFileName(upgFile);
        threads << &worker->upgrader;
    }
    clock.start();
    for (QThread *thread : std::as_const(threads))
        thread->start();
    waitFor(threads);
    progress.finish();

    // The summary: serial, seconds, outcome.
    int width = 6;
    QStringList shown;
    for (const QByteArray &serial : std::as_const(serials)) {
        shown << USBVR480::escapedText(serial);
        width = std::max(width, int(shown.last().size()));
    }
    QStringList table{QStringLiteral("%1  SECONDS  OUTCOME").arg(QStringLiteral("SERIAL"), -width)};
    int failed = 0;
    QList<int> statuses;
    for (size_t i = 0; i < workers.size(); ++i) {
        Worker *worker = workers.at(i).get();
        const Result result = upgradeResult(worker->upgrader.outcome(), upgFile, &worker->upgrader, &worker->usb);
        if (result.status != ExitOk) {
            ++failed;
            if (!statuses.contains(result.status))
                statuses << result.status;
        }
        table << QStringLiteral("%1  %2  %3")
                     .arg(shown.at(int(i)), -width)
                     .arg(worker->endMs / 1000.0, 7, 'f', 1)
                     .arg(result.status == ExitOk ? QStringLiteral("upgraded: the new application is running")
                                                  : result.message);
    }
    writeTo(stdout, (table.join(QLatin1Char('\n')) + QLatin1Char('\n')).toLocal8Bit());

    Result result;
    if (failed > 0 && stopRequested())
        result = failure(ExitInterrupted, QStringLiteral("interrupted: %1 of %2 VR480 not upgraded, and may be left "
                                                         "in their bootloader; run the upgrade again")
                                              .arg(failed)
                                              .arg(workers.size()));
    else if (failed > 0)
        result = failure(statuses.size() == 1 ? statuses.first() : int(ExitDeviceFailed),
                         QStringLiteral("%1 of %2 VR480 not upgraded").arg(failed).arg(workers.size()));
    reportLostOutput(result);
    return result;
}

} // namespace cli
