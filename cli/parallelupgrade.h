#pragma once
// The upgrade of several devices at once.

#include "command.h"
#include "upgrader.h"
#include "usbvr480.h"

#include <QByteArray>
#include <QElapsedTimer>
#include <QString>

#include <atomic>

namespace cli {

class DeviceProgress;

// One device's upgrade on a thread of its own: its own device object,
// following its serial, with its log and bars on row `row` of `progress`.
class DeviceWorker {
public:
    DeviceWorker(const QByteArray &serial, const QByteArray &image, const QString &upgFile,
                 DeviceProgress &progress, int row);
    void start();
    QThread &thread() { return upgrader; }
    // Once the thread is finished: how the upgrade ended, and in how many
    // milliseconds from start().
    Result result();
    qint64 milliseconds() const { return endMs; }
    // Where the device was when the worker last connected to it.
    UsbDevice::Attached lastPlace() { return usb.lastPlace(); }

    const QByteArray serial;
    const int row;

private:
    const QString upgFile;
    USBVR480 usb;
    Upgrader upgrader;
    QElapsedTimer clock;
    std::atomic<qint64> endMs{0};
};

// Each worker needs file descriptors of its own: a refusal when the process
// may not open enough for `workers` more, before any of them starts.
std::optional<Result> checkDescriptors(qsizetype workers);

// A device's line of a summary: serial, seconds, outcome.
QString outcomeLine(const QByteArray &serial, int serialWidth, qint64 milliseconds, const Result &result);

// How a run of several devices ends when `failed` of `total` did not end
// upgraded: with `status`, or ExitInterrupted when the failures came from a
// stop signal.
Result severalResult(int failed, int total, int status, bool interrupted);

// upgrade --all, or with several --serial: every device at once, each with
// its own outcome, and a summary. `image` is the file's plain image, read and
// checked once; every device gets the same.
Result upgradeSeveral(const Invocation &in, const QString &upgFile, const QByteArray &image);

} // namespace cli
