// What a verify costs the host: a device running its application is restarted
// into its bootloader, read whole, compared and restarted back, on the
// simulated device whose control transfers each take LATENCY microseconds.
// The wall time against the transfers' latencies plus the worker's pauses
// (waited out) leaves the rest: the host's work plus how late the sleeps of
// the simulated transfers wake. The process's CPU time (the simulated device
// included) bounds the host's own work from above.
//
//   bench_verify [RUNS] [LATENCY]   (default 3 runs, 3000 us as the demo device)

#include "figures.h"
#include "randomimage.h"
#include "simdevice.h"
#include "simfirmware.h"
#include "upgrader.h"
#include "usbvr480.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QThread>

#include <ctime>

#include <algorithm>
#include <cstdio>
#include <cstdlib>

namespace {

using namespace bench;

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication application(argc, argv);
    qInstallMessageHandler([](QtMsgType, const QMessageLogContext &, const QString &) {});
    const int runs = argc > 1 ? std::max(1, atoi(argv[1])) : 3;
    const int latencyUs = argc > 2 ? std::max(0, atoi(argv[2])) : 3000;

    const QByteArray image = randomUpgradeImage(1);
    sim::reset();
    sim::setRecording(false);
    sim::setLatency(latencyUs);
    sim::Device &device = deviceHolding(image); // running its application

    USBVR480 usb;
    Upgrader upgrader(&usb);
    unsigned long pausesMs = 0;
    upgrader.setSleeper([&pausesMs](unsigned long ms) {
        pausesMs += ms;
        QThread::msleep(ms);
    });
    upgrader.setJob(Upgrader::Job::Verify);
    upgrader.setImage(image);

    std::printf("verify of a device running its application, simulated device, %d us per transfer\n", latencyUs);
    for (int i = 0; i < runs; ++i) {
        pausesMs = 0;
        const int transfersBefore = sim::controlTransferCount();
        const double cpuBefore = cpuMs();
        QElapsedTimer wall;
        wall.start();
        upgrader.start();
        upgrader.wait();
        const double wallMs = wall.nsecsElapsed() / 1e6;
        const double cpu = cpuMs() - cpuBefore;
        if (upgrader.outcome() != Upgrader::Outcome::Matches || device.mode() != sim::Mode::Application) {
            std::fprintf(stderr, "run %d did not verify and restart the device\n", i);
            return 1;
        }
        const int transfers = sim::controlTransferCount() - transfersBefore;
        const double deviceMs = transfers * latencyUs / 1e3 + double(pausesMs);
        const double hostMs = wallMs - deviceMs;
        std::printf("  run %d: wall %.1f ms = %d transfers x %d us + pauses %lu ms + rest %.1f ms (%.2f %%); "
                    "CPU %.1f ms (%.2f %%)\n",
                    i, wallMs, transfers, latencyUs, pausesMs, hostMs, 100.0 * hostMs / wallMs, cpu,
                    100.0 * cpu / wallMs);
    }
    return 0;
}
