// Upgrades of N = 1, 2, 4 and 8 simulated VR480 at once, one upgrade worker
// per device as vr480-cli's upgrade --all runs them. Each device takes 3 ms
// per control transfer, so that the devices, not the host, set the pace; the
// worker's fixed pauses are recorded instead of waited out. Prints the wall
// time against one device and the host CPU time per device upgrade (of the
// whole process: the workers and the simulated devices' own work). Each
// transfer blocks its thread until the device has answered, as a real one
// does; the same number of waits with nothing else, on as many threads, shows
// what blocking and waking alone cost on this machine.
//
//   bench_parallel [RUNS]

#include "figures.h"
#include "randomimage.h"
#include "simdevice.h"
#include "upgrader.h"
#include "usbvr480.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QTemporaryDir>

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <chrono>
#include <memory>
#include <thread>
#include <vector>

namespace {

using namespace bench;

constexpr int kLatencyUs = 3000;

struct Worker {
    explicit Worker(const QByteArray &serial, const QString &file) : upgrader(&usb)
    {
        usb.selectSerial(serial);
        upgrader.setStartCheck(true);
        upgrader.setSleeper([](unsigned long) {});
        upgrader.slotSetFileName(file);
    }
    USBVR480 usb;
    Upgrader upgrader;
};

struct Run {
    double wallMs = 0;
    double cpuMs = 0;
    int transfers = 0;
    bool allStarted = false;
};

// N devices running their application, upgraded at once.
Run upgradeAtOnce(int devices, const QString &file)
{
    sim::reset();
    sim::setRecording(false);
    sim::setLatency(kLatencyUs);
    std::vector<std::unique_ptr<Worker>> workers;
    for (int i = 1; i <= devices; ++i) {
        sim::DeviceConfig config;
        config.applicationSerial = QByteArrayLiteral("VR48") + QByteArray::number(i).rightJustified(5, '0');
        config.bootloaderSerial = config.applicationSerial + 'b';
        sim::addDevice(0, config);
        workers.push_back(std::make_unique<Worker>(config.applicationSerial, file));
    }

    Run run;
    const double cpu = cpuMs();
    QElapsedTimer wall;
    wall.start();
    for (auto &worker : workers)
        worker->upgrader.start();
    for (auto &worker : workers)
        worker->upgrader.wait();
    run.wallMs = wall.nsecsElapsed() / 1e6;
    run.cpuMs = cpuMs() - cpu;
    run.transfers = sim::controlTransferCount() / devices;
    run.allStarted = std::all_of(workers.begin(), workers.end(), [](const auto &worker) {
        return worker->upgrader.outcome() == Upgrader::Outcome::Started;
    });
    for (const sim::Device *device : sim::devices())
        run.allStarted = run.allStarted && device->applicationStarts() == 1;
    return run;
}

// CPU per thread of `threads` threads each waiting `waits` times as a
// transfer to a simulated device waits, doing nothing else.
double waitsAlone(int threads, int waits)
{
    const double cpu = cpuMs();
    std::vector<std::thread> running;
    for (int i = 0; i < threads; ++i)
        running.emplace_back([waits] {
            for (int n = 0; n < waits; ++n)
                std::this_thread::sleep_until(std::chrono::steady_clock::now()
                                              + std::chrono::microseconds(kLatencyUs));
        });
    for (std::thread &thread : running)
        thread.join();
    return (cpuMs() - cpu) / threads;
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication application(argc, argv);
    // The debug lines are formatted as in the program, then dropped.
    qInstallMessageHandler([](QtMsgType, const QMessageLogContext &, const QString &) {});
    const int runs = argc > 1 ? std::max(1, atoi(argv[1])) : 3;

    QTemporaryDir dir;
    const QString file = dir.filePath("bench.upg");
    writeUpgradeFile(file, randomUpgradeImage(1));

    std::printf("devices upgraded at once, %d ms per control transfer, no fixed pauses; median of %d runs\n",
                kLatencyUs / 1000, runs);
    std::printf("devices  transfers/device  wall ms  vs one  host CPU ms per device upgrade  of it, the waits alone\n");
    double one = 0;
    for (const int devices : {1, 2, 4, 8}) {
        std::vector<double> wall, cpu;
        int transfers = 0;
        for (int i = 0; i < runs; ++i) {
            const Run run = upgradeAtOnce(devices, file);
            if (!run.allStarted) {
                std::fprintf(stderr, "%d devices: a device did not run its new application\n", devices);
                return 1;
            }
            wall.push_back(run.wallMs);
            cpu.push_back(run.cpuMs / devices);
            transfers = run.transfers;
        }
        if (devices == 1)
            one = median(wall);
        std::printf("%7d  %16d  %7.0f  %6.2f  %30.2f  %22.2f\n", devices, transfers, median(wall),
                    median(wall) / one, median(cpu), waitsAlone(devices, transfers));
    }
    std::printf("target: 8 devices within 1.25 times one device, under 5 ms host CPU per device upgrade\n");
    return 0;
}
