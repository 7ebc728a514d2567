// upgrade --all and upgrade with several --serial: one upgrade worker per
// device, all at once. Each runs the same upgrade as for a single device and
// has its own outcome; one failing does not stop the others. The file was
// read and checked once before: every device gets the same image.

#include "parallelupgrade.h"

#include "deviceprogress.h"
#include "devices.h"
#include "interrupt.h"
#include "progress.h"
#include "upgradecommand.h"
#include "usbvr480.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>
#include <vector>

#ifdef Q_OS_UNIX
#include <fcntl.h>
#include <unistd.h>
#endif

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
    UnitRecord record; // complete once the upgrader has finished
};

// Each worker needs file descriptors of its own: its thread's event
// dispatcher, its device handle and the bus scans. A process out of them
// aborts while it starts a thread, perhaps with other devices half-way, so
// they are tried before any worker starts.
std::optional<Result> checkDescriptors(qsizetype workers)
{
#ifdef Q_OS_UNIX
    std::vector<int> held;
    int error = 0;
    for (qsizetype i = 0; i < 3 * workers + 2 && error == 0; ++i) {
        const int fd = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
        if (fd < 0)
            error = errno;
        else
            held.push_back(fd);
    }
    for (const int fd : held)
        ::close(fd);
    if (error != 0)
        return failure(ExitDeviceFailed, QStringLiteral("cannot work on %1 VR480 at once: %2 (see ulimit -n); "
                                                        "nothing was written")
                                             .arg(workers)
                                             .arg(QString::fromLocal8Bit(std::strerror(error))));
#else
    Q_UNUSED(workers);
#endif
    return std::nullopt;
}

} // namespace

Result upgradeSeveral(const Invocation &in, const UpgradeFileId &file, const QByteArray &image, UnitReport &report)
{
    const QString &upgFile = file.name;
    QList<QByteArray> serials;
    if (std::optional<Result> refusal = chooseDevices(in, in.parser.isSet(QStringLiteral("all")), &serials))
        return *refusal;
    if (std::optional<Result> refusal = checkDescriptors(serials.size()))
        return *refusal;

    DeviceProgress progress(report.textStream(), report.textTerminal(in), serials);
    std::vector<std::unique_ptr<Worker>> workers;
    QList<QThread *> threads;
    for (int i = 0; i < serials.size(); ++i) {
        workers.push_back(std::make_unique<Worker>(serials.at(i), image));
        Worker *worker = workers.back().get();
        // Without a receiver the functors run on the worker's own thread.
        showProgress(
            worker->upgrader, [&progress, i](const QString &text) { progress.line(i, text); },
            [&progress, i](const QString &label, int percent) { progress.update(i, label, percent); });
        // The record is written on the worker's thread as soon as it ends.
        QObject::connect(&worker->upgrader, &QThread::finished, [worker, &report, upgFile] {
            worker->record.finish(worker->upgrader, upgradeResult(worker->upgrader.outcome(), upgFile,
                                                                  &worker->upgrader, &worker->usb));
            report.add(worker->record);
        });
        worker->upgrader.slotSetFileName(upgFile);
        threads << &worker->upgrader;
    }
    for (const std::unique_ptr<Worker> &worker : workers) {
        worker->record = UnitRecord::begin(file, worker->serial);
        worker->upgrader.start();
    }
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
        const UnitRecord &record = workers.at(i)->record;
        const Result &result = record.result;
        if (result.status != ExitOk) {
            ++failed;
            if (!statuses.contains(result.status))
                statuses << result.status;
        }
        table << QStringLiteral("%1  %2  %3")
                     .arg(shown.at(int(i)), -width)
                     .arg(record.ms / 1000.0, 7, 'f', 1)
                     .arg(record.message());
    }
    writeTo(report.textStream(), (table.join(QLatin1Char('\n')) + QLatin1Char('\n')).toLocal8Bit());

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
