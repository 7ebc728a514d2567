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

#include "buswatcher.h"
#include "deviceprogress.h"
#include "parallelupgrade.h"
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
    int row = -1;                         // its row of the progress, while it runs
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

// One run of the station: its units, its scans, its stop policy and what it
// prints.
class Station {
public:
    Station(const StationPlan &plan, UnitReport &report)
        : plan(plan), report(report), progress(plan.stream, plan.terminal), tally(plan.job)
    {
    }
    Result run();

private:
    // Each unit's life.
    void endUpgrades();
    void takeDevices();
    void startUnit(const QByteArray &serial, const UsbDevice::Attached &device);
    void passBy(const QByteArray &serial, const UsbDevice::Place &place, const OutcomeText &ending);
    // The polling.
    void scan();
    void forgetLeft();
    void noteTwins();
    void sayRefused();
    void waitForNextScan();
    // The stop policy.
    void takeStops();
    bool taking() const;
    bool more() const { return plan.count == 0 || started < plan.count; }
    // The printing.
    void sayTwins(const QByteArray &serial);
    QString footer(bool taking) const;
    Result end();

    int running() const;

    const StationPlan &plan;
    UnitReport &report;
    DeviceProgress progress;
    std::map<QByteArray, Unit> units; // by serial
    BusWatcher watcher{std::make_unique<USBVR480>()};
    QList<UsbDevice::Attached> seen;
    QSet<QByteArray> saidTwice;
    QSet<QString> twinsPassed;                     // where the twins passed by are, while they stay
    std::map<QString, QElapsedTimer> refusedSince; // by place, until its refusal is said
    UnitTally tally;
    int started = 0;
    int stops = 0;
    bool reportLost = false;
};

int Station::running() const
{
    return int(std::count_if(units.cbegin(), units.cend(), [](const auto &u) { return bool(u.second.worker); }));
}

Result Station::run()
{
    progress.note(plan.job == Upgrader::Job::Write
                      ? QStringLiteral("Waiting for VR480: each one plugged in is upgraded (Ctrl+C ends)")
                      : QStringLiteral("Waiting for VR480: each one plugged in is verified, never written (Ctrl+C "
                                       "ends)"));
    for (;;) {
        endUpgrades();
        takeStops();
        if (!taking() && running() == 0)
            break;
        progress.setFooter(footer(taking()));
        scan();
        takeDevices();
        progress.setFooter(footer(taking()));
        waitForNextScan();
    }
    return end();
}

// Upgrades that ended: a line each, and the device left where it is.
void Station::endUpgrades()
{
    for (auto &[serial, unit] : units) {
        DeviceWorker *worker = unit.worker.get();
        if (!worker || !worker->thread().isFinished())
            continue;
        worker->thread().wait();
        const UnitRecord &record = worker->record();
        tally.add(record.result);
        progress.remove(unit.row, outcomeLine(worker->serial, kSerialWidth, record));
        if (const UsbDevice::Place last = worker->lastPlace(); !last.bus.isEmpty())
            unit.place = last;
        unit.worker.reset();
    }
}

// After one stop request no device is taken; after two the running upgrades
// are stopped too. Once a record could not be written no device is taken.
void Station::takeStops()
{
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
}

bool Station::taking() const
{
    return stops == 0 && !reportLost && more();
}

// A scan of the bus, and what it says of the units and the twins.
void Station::scan()
{
    seen = watcher.scan();
    sayRefused();
    forgetLeft();
    noteTwins();
}

// A VR480 that cannot be opened yet (a new device still without its driver
// or its permissions) is waited for, which is said once; once the wait is
// over, its refusal is said once.
void Station::sayRefused()
{
    const usb::DeniedDevice denied = watcher.deniedDevice();
    if (denied.place.isEmpty())
        return;
    const auto [since, fresh] = refusedSince.try_emplace(denied.place);
    if (fresh) {
        since->second.start();
        progress.note(refusalMessage(denied, plan.openableWithinMs / 1000.0));
    } else if (since->second.isValid() && since->second.elapsed() >= plan.openableWithinMs) {
        progress.note(refusalMessage(denied));
        since->second.invalidate(); // said
    }
}

// A unit whose upgrade ended goes when its device leaves its place; so does
// a twin passed by.
void Station::forgetLeft()
{
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
}

// A running upgrade whose serial another device answers to proves nothing.
void Station::noteTwins()
{
    for (const auto &[serial, unit] : units) {
        if (unit.worker && answering(seen, serial) > 1) {
            unit.worker->noteTwin();
            sayTwins(serial);
        }
    }
}

void Station::sayTwins(const QByteArray &serial)
{
    if (!saidTwice.contains(serial))
        progress.note(QStringLiteral("%1 VR480 have the serial %2 and cannot be told apart; none is "
                                     "upgraded while more than one is attached")
                          .arg(answering(seen, serial))
                          .arg(serialText(serial)));
    saidTwice.insert(serial);
}

// The devices of the scan that make new units.
void Station::takeDevices()
{
    for (const UsbDevice::Attached &device : std::as_const(seen)) {
        const QByteArray serial = USBVR480::baseSerial(device.serial);
        if (!taking())
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
        startUnit(serial, device);
    }
}

void Station::startUnit(const QByteArray &serial, const UsbDevice::Attached &device)
{
    Unit &unit = units[serial];
    unit.place = {device.bus, device.device};
    if (std::optional<Result> refusal = checkDescriptors(1)) {
        // A unit all the same, which its record says.
        passBy(serial, unit.place,
               {outcomeText(Upgrader::Outcome::Untouched).word, ExitStatus(refusal->status), refusal->message});
        return;
    }
    ++started;
    const int row = progress.add(serial);
    unit.row = row;
    DeviceProgress &shown = progress;
    const RunDisplay display{[&shown, row](const QString &text) { shown.line(row, text); },
                             [&shown, row](const QString &label, int percent) { shown.update(row, label, percent); }};
    unit.worker =
        std::make_unique<DeviceWorker>(UpgradePlan{plan.file, plan.image, plan.job}, serial, display, report);
    unit.worker->start();
}

// A unit that ends at once, nothing written: its line and its record.
void Station::passBy(const QByteArray &serial, const UsbDevice::Place &place, const OutcomeText &ending)
{
    ++started;
    UnitRecord record = UnitRecord::begin(plan.file, serial);
    record.end = record.start;
    record.place = place;
    record.outcome = ending.word;
    record.result = resultOf(ending);
    report.add(record);
    tally.add(record.result);
    progress.note(outcomeLine(serial, kSerialWidth, record));
}

// Until the next scan, or sooner when an upgrade ends or a stop comes.
void Station::waitForNextScan()
{
    const auto ended = [this] {
        return std::any_of(units.cbegin(), units.cend(), [](const auto &u) {
            return u.second.worker && u.second.worker->thread().isFinished();
        });
    };
    const QDeadlineTimer next(plan.pollMs);
    while (!next.hasExpired() && plan.stops() == stops && !ended())
        QThread::msleep(20);
}

QString Station::footer(bool taking) const
{
    return QStringLiteral("%1, %2 running; %3")
        .arg(tally.counts())
        .arg(running())
        .arg(taking ? QStringLiteral("waiting for VR480 (Ctrl+C ends)")
                    : QStringLiteral("ending when the running upgrades end"));
}

Result Station::end()
{
    progress.setFooter({});
    progress.finish();
    writeTo(plan.stream, (tally.counts() + QLatin1Char('\n')).toLocal8Bit());
    if (tally.upgraded() + tally.failed() == 0)
        return failure(ExitNoDevice, plan.job == Upgrader::Job::Write ? QStringLiteral("no VR480 was upgraded")
                                                                      : QStringLiteral("no VR480 was verified"));
    return tally.result(stops >= 2);
}

} // namespace

Result runStation(const StationPlan &plan, UnitReport &report)
{
    return Station(plan, report).run();
}

} // namespace cli
