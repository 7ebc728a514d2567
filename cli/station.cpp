// station: a production station. It scans the bus every few hundred
// milliseconds and upgrades each VR480 that arrives on a worker of its own
// (the workers and progress of upgrade --all), while the others run.
//
// A unit is keyed by its serial (without the bootloader's "b") from its
// arrival to the end of its upgrade: the device's own restarts meanwhile,
// when it leaves the bus and comes back under a new device number in its
// other mode, are the worker's business. Once the upgrade has ended the unit
// stays as long as a scan lists a device at the place (bus and device
// number) where the worker left it; a scan without it there means the device
// was unplugged, or plugged in again (a new place), and the next scan that
// lists the serial makes a new unit.

#include "station.h"

#include "deviceprogress.h"
#include "devices.h"
#include "interrupt.h"
#include "parallelupgrade.h"
#include "upgradecommand.h"
#include "usbvr480.h"

#include <QDeadlineTimer>
#include <QElapsedTimer>
#include <QSet>
#include <QThread>

#include <algorithm>
#include <map>
#include <memory>

namespace cli {

namespace {

constexpr int kSerialWidth = 9; // the serials of the VR480 line up

struct Unit {
    std::unique_ptr<DeviceWorker> worker; // while its upgrade runs
    UsbDevice::Place place;               // where its device is
};

bool samePlace(const UsbDevice::Attached &a, const UsbDevice::Place &b)
{
    return a.bus == b.bus && a.device == b.device;
}

QString placeOf(const UsbDevice::Attached &device)
{
    return device.bus + QLatin1Char('/') + QString::number(device.device);
}

// The devices of a scan that answered with `serial` (application form).
int answering(const QList<UsbDevice::Attached> &seen, const QByteArray &serial)
{
    return int(std::count_if(seen.cbegin(), seen.cend(), [&](const UsbDevice::Attached &d) {
        return d.answered && USBVR480::baseSerial(d.serial) == serial;
    }));
}

// How the units are counted: "upgraded" and "failed", or when they are only
// verified "matching" and "not matching".
QString counts(Upgrader::Job job, int done, int failed)
{
    return (job == Upgrader::Job::Write ? QStringLiteral("%1 upgraded, %2 failed")
                                        : QStringLiteral("%1 matching, %2 not matching"))
        .arg(done)
        .arg(failed);
}

QString footer(Upgrader::Job job, int upgraded, int failed, int running, bool taking)
{
    return QStringLiteral("%1, %2 running; %3")
        .arg(counts(job, upgraded, failed))
        .arg(running)
        .arg(taking ? QStringLiteral("waiting for VR480 (Ctrl+C ends)")
                    : QStringLiteral("ending when the running upgrades end"));
}

} // namespace

Result runStation(const StationPlan &plan, UnitReport &report)
{
    DeviceProgress progress(plan.stream, plan.terminal);
    progress.note(plan.job == Upgrader::Job::Write
                      ? QStringLiteral("Waiting for VR480: each one plugged in is upgraded (Ctrl+C ends)")
                      : QStringLiteral("Waiting for VR480: each one plugged in is verified, never written (Ctrl+C "
                                       "ends)"));
    QList<int> statuses; // of the units that did not end upgraded or matching
    std::map<QByteArray, Unit> units; // by serial
    USBVR480 watcher;
    QList<UsbDevice::Attached> seen;
    QSet<QByteArray> saidTwice;
    QSet<QString> twinsPassed; // where the twins passed by are, while they stay
    std::map<QString, QElapsedTimer> refusedSince; // by place, until its refusal is said
    int started = 0;
    int upgraded = 0;
    int failed = 0;
    int stops = 0;
    bool reportLost = false;
    const auto running = [&] {
        return int(std::count_if(units.cbegin(), units.cend(), [](const auto &u) { return bool(u.second.worker); }));
    };
    const auto endedUpgrade = [&] {
        return std::any_of(units.cbegin(), units.cend(), [](const auto &u) {
            return u.second.worker && u.second.worker->thread().isFinished();
        });
    };

    for (;;) {
        // Upgrades that ended: a line each, and the device left where it is.
        for (auto &[serial, unit] : units) {
            DeviceWorker *worker = unit.worker.get();
            if (!worker || !worker->thread().isFinished())
                continue;
            worker->thread().wait();
            const UnitRecord &record = worker->record();
            ++(record.result.status == ExitOk ? upgraded : failed);
            if (record.result.status != ExitOk && !statuses.contains(record.result.status))
                statuses << record.result.status;
            progress.remove(worker->row, outcomeLine(worker->serial, kSerialWidth, record));
            if (const UsbDevice::Place last = worker->lastPlace(); !last.bus.isEmpty())
                unit.place = last;
            unit.worker.reset();
        }

        if (const int now = plan.stops(); now != stops) {
            if (now >= 2) {
                for (const auto &[serial, unit] : units)
                    if (unit.worker)
                        unit.worker->thread().requestInterruption();
                if (running() > 0)
                    progress.note(QStringLiteral("Stopping the running upgrades"));
            } else if (running() > 0) {
                progress.note(QStringLiteral("No more VR480 are taken; the running upgrades go on to their end "
                                             "(Ctrl+C again stops them)"));
            }
            stops = now;
        }
        if (!report.intact() && !reportLost) {
            reportLost = true;
            if (running() > 0)
                progress.note(QStringLiteral("No more VR480 are taken: a record could not be written"));
        }
        const bool taking = stops == 0 && !reportLost && (plan.count == 0 || started < plan.count);
        if (!taking && running() == 0)
            break;
        progress.setFooter(footer(plan.job, upgraded, failed, running(), taking));

        seen = watcher.attachedDevices(seen);
        // A VR480 that cannot be opened yet (a new device still without its
        // driver or its permissions) is waited for, which is said once; once
        // the wait is over, its refusal is said once.
        if (const QString place = watcher.deniedDevice().place; !place.isEmpty()) {
            const auto [since, fresh] = refusedSince.try_emplace(place);
            if (fresh) {
                since->second.start();
                progress.note(QStringLiteral("a VR480 is on the bus (%1), but it cannot be opened yet: waiting up "
                                             "to %2 s for its driver or its permissions")
                                  .arg(place)
                                  .arg(plan.openableWithinMs / 1000.0));
            } else if (since->second.isValid() && since->second.elapsed() >= plan.openableWithinMs) {
                progress.note(noDeviceResult(watcher).message);
                since->second.invalidate(); // said
            }
        }
        // A unit whose upgrade ended goes when its device leaves its place.
        for (auto it = units.begin(); it != units.end();) {
            const Unit &unit = it->second;
            const bool stays = unit.worker || std::any_of(seen.cbegin(), seen.cend(), [&](const UsbDevice::Attached &d) {
                                   return samePlace(d, unit.place);
                               });
            it = stays ? std::next(it) : units.erase(it);
        }
        for (auto it = twinsPassed.begin(); it != twinsPassed.end();) {
            const bool stays = std::any_of(seen.cbegin(), seen.cend(),
                                           [&](const UsbDevice::Attached &d) { return placeOf(d) == *it; });
            it = stays ? std::next(it) : twinsPassed.erase(it);
        }
        const auto sayTwins = [&](const QByteArray &serial) {
            if (!saidTwice.contains(serial))
                progress.note(QStringLiteral("%1 VR480 have the serial %2 and cannot be told apart; none is "
                                             "upgraded while more than one is attached")
                                  .arg(answering(seen, serial))
                                  .arg(serialText(serial)));
            saidTwice.insert(serial);
        };
        // A unit that ends at once, nothing written: its line and its record.
        const auto passBy = [&](const QByteArray &serial, const UsbDevice::Place &place, const OutcomeText &ending) {
            ++started;
            UnitRecord record = UnitRecord::begin(plan.file, serial);
            record.end = record.start;
            record.place = place;
            record.outcome = ending.word;
            record.result = resultOf(ending);
            report.add(record);
            ++failed;
            progress.note(outcomeLine(serial, kSerialWidth, record));
        };
        // A running upgrade whose serial another device answers to proves nothing.
        for (const auto &[serial, unit] : units) {
            if (unit.worker && answering(seen, serial) > 1) {
                unit.worker->noteTwin();
                sayTwins(serial);
            }
        }
        for (const UsbDevice::Attached &device : std::as_const(seen)) {
            const QByteArray serial = USBVR480::baseSerial(device.serial);
            if (!taking || (plan.count > 0 && started == plan.count))
                break;
            if (!device.answered || (!plan.serials.isEmpty() && !plan.serials.contains(serial)))
                continue;
            // The unit's own device, or one that cannot be told from it while
            // it runs (its twins are passed by once the upgrade has ended).
            if (const auto known = units.find(serial);
                known != units.end() && (known->second.worker || samePlace(device, known->second.place)))
                continue;
            // A twin: of a unit whose device stays, or of another one attached.
            if (units.count(serial) > 0 || answering(seen, serial) > 1) {
                sayTwins(serial);
                if (!twinsPassed.contains(placeOf(device))) {
                    twinsPassed.insert(placeOf(device));
                    RunFacts twin;
                    twin.followed = serial;
                    twin.ran = false;
                    passBy(serial, {device.bus, device.device}, outcomeText(Upgrader::Outcome::TwinUntouched, twin));
                }
                continue;
            }
            Unit &unit = units[serial];
            unit.place = {device.bus, device.device};
            if (std::optional<Result> refusal = checkDescriptors(1)) {
                // A unit all the same, which its record says.
                passBy(serial, unit.place,
                       {outcomeText(Upgrader::Outcome::Untouched).word, ExitStatus(refusal->status), refusal->message});
                continue;
            }
            ++started;
            unit.worker = std::make_unique<DeviceWorker>(serial, plan.image, plan.file, progress,
                                                         progress.add(serial), report, plan.job);
            unit.worker->start();
        }
        progress.setFooter(
            footer(plan.job, upgraded, failed, running(), taking && (plan.count == 0 || started < plan.count)));

        const QDeadlineTimer next(plan.pollMs);
        while (!next.hasExpired() && plan.stops() == stops && !endedUpgrade())
            QThread::msleep(20);
    }

    progress.setFooter({});
    progress.finish();
    writeTo(plan.stream, (counts(plan.job, upgraded, failed) + QLatin1Char('\n')).toLocal8Bit());
    if (upgraded + failed == 0)
        return failure(ExitNoDevice, plan.job == Upgrader::Job::Write ? QStringLiteral("no VR480 was upgraded")
                                                                      : QStringLiteral("no VR480 was verified"));
    // Units that only differ end with the status of a difference.
    const int status = plan.job == Upgrader::Job::Verify && statuses == QList<int>{ExitDiffers} ? int(ExitDiffers)
                                                                                                : int(ExitDeviceFailed);
    return severalResult(failed, upgraded + failed, status, stops >= 2, plan.job);
}

namespace {

Result station(Invocation &in)
{
    StationPlan plan;
    const QString upgFile = in.argument(0);
    plan.count = in.numberOption(QStringLiteral("count"), 1, 1000000, 0);
    if (in.parser.isSet(QStringLiteral("verify")))
        plan.job = Upgrader::Job::Verify;
    if (std::optional<Result> refusal = wantedSerials(in, &plan.serials))
        return *refusal;
    if (std::optional<Result> refusal = in.usageError())
        return *refusal;
    if (std::optional<Result> refused = readUpgradeFile(upgFile, true, &plan.image, &plan.file))
        return *refused;
    UnitReport report;
    if (std::optional<Result> refused = report.open(in, upgFile))
        return *refused;
    plan.stream = report.textStream();
    plan.terminal = report.textTerminal(in);
    plan.stops = stopSignals;
    Result result = runStation(plan, report);
    report.settle(result);
    reportLostOutput(result);
    return result;
}

} // namespace

QList<Command> stationCommands()
{
    return {
        {QStringLiteral("station"), QStringLiteral("Upgrade each VR480 as it is plugged in"),
         QStringLiteral("A production station: reads and checks the upgrade file once, then watches the bus and "
                        "upgrades every VR480 plugged in (and those attached at the start) as upgrade does, each "
                        "on its own while the others run; every one gets the same bytes. A device's restarts "
                        "during its upgrade are part of it. A device that stays attached after its upgrade is "
                        "not upgraded again; unplugged and plugged in again, it is (a new unit, or a retry after "
                        "a failure). Two devices with one serial are not upgraded while both are attached: "
                        "each is a unit of its own that ends at once, untouched. Each device in progress has a "
                        "line on a terminal (elsewhere its lines are prefixed with its serial); each unit ends "
                        "with a line: serial, seconds, outcome. Ctrl+C "
                        "takes no new device and ends the station once the running upgrades end; a second Ctrl+C "
                        "stops them between two transfers (status 130). The last line counts the units upgraded "
                        "and failed. Each unit gives a record as upgrade does (--report, --json). Status 0 when "
                        "every unit ended upgraded, 1 when one failed, 5 when it ended before any unit, 4 when "
                        "a record could not be written (no device is taken after that). With --verify, a quality "
                        "station: each unit is verified as verify does and never written; its outcome is matches "
                        "or differs, the last line counts the units matching and not matching, and the status is "
                        "6 when the only failures are units that differ."),
         {{QStringLiteral("FILE.upg"), QStringLiteral("The upgrade file (a pipe such as /dev/stdin too).")}},
         {QCommandLineOption(QStringLiteral("serial"),
                             QStringLiteral("Upgrade only the VR480 with this serial (with or without the \"b\" of "
                                            "its bootloader); given several times, any of them. Other devices are "
                                            "left alone."),
                             QStringLiteral("SERIAL")),
          QCommandLineOption(QStringLiteral("count"),
                             QStringLiteral("End after N units, upgraded or failed (for scripts)."),
                             QStringLiteral("N")),
          QCommandLineOption(QStringLiteral("verify"),
                             QStringLiteral("Verify each unit against the file instead of upgrading it: never "
                                            "writes.")),
          reportOption(),
          jsonOption(QStringLiteral("Write the record of each unit on standard output instead of the log and "
                                    "the unit lines, which go to standard error with the progress."))},
         station},
    };
}

} // namespace cli
