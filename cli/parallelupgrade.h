#pragma once
// The upgrade of several devices at once.

#include "command.h"
#include "unitreport.h"
#include "upgrader.h"
#include "usbvr480.h"

#include <QByteArray>
#include <QString>

namespace cli {

class DeviceProgress;

// One device's upgrade on a thread of its own: its own device object,
// following its serial, with its log and bars on row `row` of `progress`.
// Its record goes to `report` as soon as its run ends.
class DeviceWorker {
public:
    DeviceWorker(const QByteArray &serial, const QByteArray &image, const UpgradeFileId &file,
                 DeviceProgress &progress, int row, UnitReport &report, Upgrader::Job job = Upgrader::Job::Write);
    void start();
    QThread &thread() { return upgrader; }
    // Once the thread is finished: the run's record (its result, seconds).
    const UnitRecord &record() const { return unit; }
    // Where the device was when the worker last connected to it.
    UsbDevice::Place lastPlace() { return usb.lastPlace(); }
    // Another device answers to the serial followed, as seen from outside:
    // the run proves nothing and connects to neither again.
    void noteTwin() { usb.noteTwin(); }

    const QByteArray serial;
    const int row;

private:
    const UpgradeFileId file;
    USBVR480 usb;
    Upgrader upgrader;
    UnitRecord unit; // complete once the upgrader has finished
};

// Each worker needs file descriptors of its own: a refusal when the process
// may not open enough for `workers` more, before any of them starts.
std::optional<Result> checkDescriptors(qsizetype workers);

// A device's line of a summary: serial, seconds, outcome.
QString outcomeLine(const QByteArray &serial, int serialWidth, const UnitRecord &record);

// How a run of several devices ends when `failed` of `total` did not end
// upgraded (or, verified, matching): with `status`, or ExitInterrupted when
// the failures came from a stop signal.
Result severalResult(int failed, int total, int status, bool interrupted, Upgrader::Job job = Upgrader::Job::Write);

// upgrade --all, or with several --serial: every device at once, each with
// its own outcome, and a summary. `image` is the file's plain image, read and
// checked once; every device gets the same. Each device's record goes to
// `report` as soon as its run ends.
// With a `backupFolder`, each device's backup (backup.h) is kept there
// first, one after the other; when one fails, nothing is written to any.
Result upgradeSeveral(const Invocation &in, const UpgradeFileId &file, const QByteArray &image, UnitReport &report,
                      Upgrader::Job job = Upgrader::Job::Write, const QString &backupFolder = {});

} // namespace cli
