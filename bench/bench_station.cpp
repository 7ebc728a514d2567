// vr480-cli's station on eight simulated VR480 plugged in 0.5 s apart, each
// taking 3 ms per control transfer and its usual pauses, against one device
// upgraded alone by the same station. Checks that every unit was upgraded
// exactly once and prints the wall time from the first arrival to the end of
// the last unit, the target (1.25 times the last arrival plus one upgrade
// alone), and the host CPU time per unit (of the whole process: the station's
// scans, the workers and the simulated devices' own work).
//
//   bench_station

#include "figures.h"
#include "randomimage.h"
#include "simdevice.h"
#include "station.h"

#include <QCoreApplication>
#include <QElapsedTimer>

#include <cstdio>
#include <ctime>

namespace {

using namespace bench;

constexpr int kLatencyUs = 3000;
constexpr int kApartMs = 500;

struct Run {
    double wallMs = 0; // from the first arrival to the station's end
    double cpuMs = 0;
    bool eachOnce = false;
};

// `devices` VR480 plugged in kApartMs apart, the first at once, upgraded by a
// station that ends after as many units.
Run station(int devices, const QByteArray &image, std::FILE *out)
{
    sim::reset();
    sim::setRecording(false);
    sim::setLatency(kLatencyUs);
    for (int i = 0; i < devices; ++i) {
        sim::DeviceConfig config;
        config.applicationSerial = QByteArrayLiteral("VR48") + QByteArray::number(i + 1).rightJustified(5, '0');
        config.bootloaderSerial = config.applicationSerial + 'b';
        config.restartDelayMs = 300;
        sim::addDevice(0, config).plugInAfter(i * kApartMs);
    }
    cli::StationPlan plan;
    plan.file.name = QStringLiteral("bench.upg");
    plan.image = image;
    plan.count = devices;
    plan.stream = out;
    plan.stops = [] { return 0; };

    Run run;
    const double cpu = cpuMs();
    QElapsedTimer wall;
    wall.start();
    cli::UnitReport report; // no file: the records go nowhere
    const cli::Result result = cli::runStation(plan, report);
    run.wallMs = wall.nsecsElapsed() / 1e6;
    run.cpuMs = cpuMs() - cpu;
    run.eachOnce = result.status == 0;
    for (const sim::Device *device : sim::devices())
        run.eachOnce = run.eachOnce && device->applicationStarts() == 1 && device->restarts() == 2;
    return run;
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication application(argc, argv);
    // The debug lines are formatted as in the program, then dropped.
    qInstallMessageHandler([](QtMsgType, const QMessageLogContext &, const QString &) {});
    std::FILE *out = std::fopen("/dev/null", "w");
    if (!out)
        return 1;
    const QByteArray image = randomUpgradeImage(1);

    const Run one = station(1, image, out);
    const Run eight = station(8, image, out);
    if (!one.eachOnce || !eight.eachOnce) {
        std::fprintf(stderr, "a device was not upgraded exactly once\n");
        return 1;
    }
    const double lastArrival = 7 * kApartMs;
    const double target = 1.25 * (lastArrival + one.wallMs);
    std::printf("station, %d ms per control transfer, devices plugged in %d ms apart\n", kLatencyUs / 1000,
                kApartMs);
    std::printf("one device alone: %.0f ms, host CPU %.1f ms\n", one.wallMs, one.cpuMs);
    std::printf("8 devices: each upgraded once; first arrival to last unit's end %.0f ms "
                "(last arrival %.0f ms + one alone = %.0f ms; target 1.25 x that = %.0f ms): %s\n",
                eight.wallMs, lastArrival, lastArrival + one.wallMs, target,
                eight.wallMs <= target ? "met" : "missed");
    std::printf("host CPU per unit: %.1f ms\n", eight.cpuMs / 8);
    return 0;
}
