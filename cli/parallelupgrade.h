#pragma once
// The one wiring of a device's upgrade on the command line, for one device,
// several at once and the station; and the one rule for the status of
// several.

#include "command.h"
#include "unitreport.h"
#include "upgrader.h"
#include "usbvr480.h"

#include <QByteArray>
#include <QList>
#include <QString>

#include <functional>
#include <memory>
#include <optional>
#include <vector>

namespace cli {

// What every device run of a command gets: the upgrade file, read and
// checked once (readUpgradeFile), and what the run does with it.
struct UpgradePlan {
    UpgradeFileId file; // its name and hash, for the records
    QByteArray image;   // its plain image; every device gets the same
    Upgrader::Job job = Upgrader::Job::Write; // Verify: read and compared, never written
};

// Where a device run shows itself: its log lines, and each progress bar by
// its label. The functors run on the worker's thread.
struct RunDisplay {
    std::function<void(const QString &)> line;
    std::function<void(const QString &label, int percent)> update;
};

// A worker's log lines and bars on `display`, on the worker's own thread.
void showOn(Upgrader &upgrader, const RunDisplay &display);

// One device's upgrade (or verify, by the plan's job) on a thread of its
// own, as the command line runs it (Upgrader::Plan::commandLine): its own
// device object, following `serial`
// (application form; none: the one attached), its log and bars on
// `display`. Its record goes to `report` as soon as its run ends.
class DeviceWorker {
public:
    DeviceWorker(const UpgradePlan &plan, const std::optional<QByteArray> &serial, const RunDisplay &display,
                 UnitReport &report);
    void start();
    QThread &thread() { return upgrader; }
    // Once the thread is finished: the run's record (its result, seconds).
    const UnitRecord &record() const { return unit; }
    // Where the device was when the worker last connected to it.
    UsbDevice::Place lastPlace() { return usb.lastPlace(); }
    // Another device answers to the serial followed, as seen from outside:
    // the run proves nothing and connects to neither again.
    void noteTwin() { usb.noteTwin(); }

    const QByteArray serial; // empty: the one attached

private:
    const UpgradeFileId file;
    const std::optional<QByteArray> wanted;
    USBVR480 usb;
    Upgrader upgrader;
    UnitRecord unit; // complete once the upgrader has finished
};

// Starts every worker and waits until all have ended; a stop signal reaches
// them as a request to stop.
void runWorkers(const std::vector<std::unique_ptr<DeviceWorker>> &workers);

// Each worker needs file descriptors of its own: a refusal when the process
// may not open enough for `workers` more, before any of them starts.
std::optional<Result> checkDescriptors(qsizetype workers);

// A device's line of a summary: serial, seconds, outcome.
QString outcomeLine(const QByteArray &serial, int serialWidth, const UnitRecord &record);

// The units of a run of several devices so far, and the one rule for its
// status: 0 when every unit ended upgraded (verified: matching); else 130
// when a stop signal stopped running upgrades, else the status the failed
// units share, or 1 when theirs differ.
class UnitTally {
public:
    explicit UnitTally(Upgrader::Job job = Upgrader::Job::Write) : job(job) {}
    void add(const Result &result);
    int upgraded() const { return done; }
    int failed() const { return int(failures); }
    // "N upgraded, M failed", or verified "N matching, M not matching".
    QString counts() const;
    Result result(bool interrupted) const;

private:
    Upgrader::Job job;
    int done = 0;
    int failures = 0;
    QList<int> statuses; // of the failed units, each once
};

// upgrade --all, or with several --serial: every device at once, each with
// its own outcome, and a summary. Each device's record goes to `report` as
// soon as its run ends. With a `backupFolder`, each device's backup
// (backup.h) is kept there first, one after the other; when one fails,
// nothing is written to any.
Result upgradeSeveral(const Invocation &in, const UpgradePlan &plan, UnitReport &report,
                      const QString &backupFolder = {});

} // namespace cli
