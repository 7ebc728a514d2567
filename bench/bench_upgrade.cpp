// The host's own cost of one full upgrade: a device running its application
// is restarted, written and verified, and started again, against the
// simulated device without latency. The worker's prescribed pauses are
// recorded instead of waited out, so the wall time is the host's work; one
// more run with the real pauses shows that wall time minus the pauses agrees.
//
//   bench_upgrade [RUNS]

#include "figures.h"
#include "randomimage.h"
#include "simdevice.h"
#include "upgrader.h"
#include "usbvr480.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QTemporaryDir>

#include <sys/resource.h>

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <vector>

namespace {

using namespace bench;

long peakKiB()
{
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss;
}

struct Run {
    double wallMs;
    double cpuMs;
    unsigned long pausesMs;
    bool started;
};

Run upgrade(Upgrader &upgrader, const sim::Device &device, unsigned long &pauses)
{
    pauses = 0;
    const int startsBefore = device.applicationStarts();
    const double cpu = cpuMs();
    QElapsedTimer wall;
    wall.start();
    upgrader.start();
    upgrader.wait();
    const double wallMs = wall.nsecsElapsed() / 1e6;
    return {wallMs, cpuMs() - cpu, pauses, device.applicationStarts() > startsBefore};
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication application(argc, argv);
    // The debug lines are formatted as in the program, then dropped.
    qInstallMessageHandler([](QtMsgType, const QMessageLogContext &, const QString &) {});
    const int runs = argc > 1 ? std::max(1, atoi(argv[1])) : 20;

    QTemporaryDir dir;
    const QString path = dir.filePath("bench.upg");
    writeUpgradeFile(path, randomUpgradeImage(1));

    sim::reset();
    sim::setRecording(false);
    const sim::Device &device = sim::addDevice(); // running its application
    USBVR480 usb;
    Upgrader upgrader(&usb);
    unsigned long pauses = 0;
    upgrader.setSleeper([&pauses](unsigned long ms) { pauses += ms; });
    upgrader.slotSetFileName(path);
    const long idleKiB = peakKiB();

    std::vector<double> wall, cpu;
    for (int i = 0; i < runs; ++i) {
        const Run run = upgrade(upgrader, device, pauses);
        if (!run.started) {
            std::fprintf(stderr, "run %d did not start the new application\n", i);
            return 1;
        }
        wall.push_back(run.wallMs);
        cpu.push_back(run.cpuMs);
    }
    const long peakAbove = peakKiB() - idleKiB;
    const int transfers = sim::controlTransferCount() / runs;

    upgrader.setSleeper([&pauses](unsigned long ms) { // the real pauses, counted
        pauses += ms;
        QThread::msleep(ms);
    });
    const Run real = upgrade(upgrader, device, pauses);

    std::printf("full upgrade from a running application, simulated device without latency\n");
    std::printf("  control transfers per upgrade:     %d\n", transfers);
    std::printf("  host wall time, median of %d:      %.1f ms (min %.1f, max %.1f)\n", runs, median(wall),
                *std::min_element(wall.begin(), wall.end()), *std::max_element(wall.begin(), wall.end()));
    std::printf("  host CPU time, median:             %.1f ms\n", median(cpu));
    std::printf("  with real pauses: wall %.1f ms - pauses %lu ms = %.1f ms\n", real.wallMs, real.pausesMs,
                real.wallMs - double(real.pausesMs));
    std::printf("  peak memory above idle:            %ld KiB (idle peak %ld KiB)\n", peakAbove, idleKiB);
    return 0;
}
