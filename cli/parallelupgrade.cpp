// upgrade --all and upgrade with several --serial: one upgrade worker per
// device, all at once. Each runs the same upgrade as for a single device and
// has its own outcome; one failing does not stop the others.

#include "deviceprogress.h"
#include "devices.h"
#include "interrupt.h"
#include "upgradecommand.h"
#include "inputfile.h"
#include "upgradefile.h"
#include "usbvr480.h"

#include <QElapsedTimer>
#include <QFileInfo>
#include <QTemporaryFile>

#include <algorithm>
#include <atomic>
#include <memory>
#include <vector>

namespace {

// One device's upgrade: its own device object, following its serial.
struct Worker {
    Worker(const QByteArray &serial, bool checksumCheck) : serial(serial), upgrader(&usb)
    {
        usb.selectSerial(serial);
        upgrader.setStartCheck(true);
        upgrader.setChecksumCheck(checksumCheck);
    }
    QByteArray serial;
    USBVR480 usb;
    Upgrader upgrader;
    std::atomic<qint64> endMs{0};
};

} // namespace

Result upgradeSeveral(const Invocation &in, const QString &upgFile)
{
    QList<QByteArray> serials;
    if (std::optional<Result> refusal = chooseDevices(in, in.parser.isSet(QStringLiteral("all")), &serials))
        return *refusal;

    // Every worker reads the file: one that can be read only once (a pipe,
    // standard input) is read here into a file of its own first.
    QTemporaryFile copy;
    QString path = upgFile;
    if (!QFileInfo(upgFile).isFile()) {
        const InputFile input = readInputFile(upgFile, UpgradeFile::kFileSize, stopRequested);
        if (input.status == InputFile::Interrupted)
            return interrupted();
        if (input.status != InputFile::Ok)
            return failure(ExitBadInput, QStringLiteral("%1: %2").arg(upgFile, input.status == InputFile::TooLarge
                                                                                   ? QStringLiteral("not a VR480 upgrade file")
                                                                                   : input.error));
        if (!copy.open() || copy.write(input.bytes) != input.bytes.size() || !copy.flush())
            return failure(ExitCannotWrite, QStringLiteral("%1: %2").arg(copy.fileName(), copy.errorString()));
        path = copy.fileName();
    }

    DeviceProgress progress(stdout, in.terminal, serials);
    QElapsedTimer clock;
    std::vector<std::unique_ptr<Worker>> workers;
    QList<QThread *> threads;
    for (int i = 0; i < serials.size(); ++i) {
        workers.push_back(std::make_unique<Worker>(serials.at(i), !in.parser.isSet(QStringLiteral("ignore-checksum"))));
        Worker *worker = workers.back().get();
        // Without a receiver the functors run on the worker's own thread.
        QObject::connect(&worker->upgrader, &Upgrader::sendText,
                         [&progress, i](const QString &text) { progress.line(i, text); });
        QObject::connect(&worker->upgrader, &Upgrader::sendPercent,
                         [&progress, i](int percent) { progress.update(i, QStringLiteral("Flash"), percent); });
        QObject::connect(&worker->usb, &USBVR480::sendPercentExtFlashWrite, [&progress, i](int percent) {
            progress.update(i, QStringLiteral("External flash write"), percent);
        });
        QObject::connect(&worker->usb, &USBVR480::sendPercentExtFlashRead, [&progress, i](int percent) {
            progress.update(i, QStringLiteral("External flash verify"), percent);
        });
        QObject::connect(&worker->upgrader, &QThread::finished,
                         [worker, &clock] { worker->endMs = clock.elapsed(); });
        worker->upgrader.slotSetFileName(path);
        threads << &worker->upgrader;
    }
    clock.start();
    for (QThread *thread : std::as_const(threads))
        thread->start();
    waitFor(threads);
    progress.finish();

    // The summary: serial, seconds, outcome.
    int width = 6;
    for (const QByteArray &serial : std::as_const(serials))
        width = std::max(width, int(serial.size()));
    QStringList table{QStringLiteral("%1  SECONDS  OUTCOME").arg(QStringLiteral("SERIAL"), -width)};
    int failed = 0;
    QList<int> statuses;
    for (const auto &worker : workers) {
        const Result result = upgradeMessage(worker->upgrader, upgFile, worker->usb);
        if (result.status != ExitOk) {
            ++failed;
            if (!statuses.contains(result.status))
                statuses << result.status;
        }
        table << QStringLiteral("%1  %2  %3")
                     .arg(QString::fromLatin1(worker->serial), -width)
                     .arg(worker->endMs / 1000.0, 7, 'f', 1)
                     .arg(result.status == ExitOk ? QStringLiteral("upgraded: the new application is running")
                                                  : result.message);
    }
    print(table.join(QLatin1Char('\n')));
    if (failed == 0)
        return {};
    if (stopRequested())
        return failure(ExitInterrupted, QStringLiteral("interrupted: %1 of %2 VR480 not upgraded, and may be left "
                                                       "in their bootloader; run the upgrade again")
                                            .arg(failed)
                                            .arg(workers.size()));
    return failure(statuses.size() == 1 ? statuses.first() : int(ExitDeviceFailed),
                   QStringLiteral("%1 of %2 VR480 not upgraded").arg(failed).arg(workers.size()));
}
