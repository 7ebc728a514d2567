// The simulated device, driven through the libusb 0.1 C API alone.

#include "bytes.h"
#include "memorymap.h"
#include "scramble.h"
#include "simdevice.h"
#include "simscramble.h"
#include "simusb.h"
#include "system.h"

#ifdef VR480_LUSB0_HEADER
#include <lusb0_usb.h>
#else
#include <usb.h>
#endif

#include <QElapsedTimer>
#include <QScopeGuard>
#include <QTemporaryDir>
#include <QThread>
#include <QtTest>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <thread>

#include <zlib.h>


namespace {

constexpr int kIn = 0xC0;
constexpr int kOut = 0x40;

QList<struct usb_device *> scan()
{
    usb_init();
    usb_find_busses();
    usb_find_devices();
    QList<struct usb_device *> found;
    for (usb_bus *bus = usb_get_busses(); bus; bus = bus->next)
        for (struct usb_device *dev = bus->devices; dev; dev = dev->next)
            found.append(dev);
    return found;
}

usb_dev_handle *openOnly()
{
    const QList<struct usb_device *> found = scan();
    return found.size() == 1 ? usb_open(found.first()) : nullptr;
}

struct Answer {
    int result;
    QByteArray data;
};

Answer in(usb_dev_handle *h, int request, uint32_t address, int length)
{
    QByteArray buffer(length, '\0');
    const int r = usb_control_msg(h, kIn, request, address & 0xFFFF, address >> 16, buffer.data(), length, 2000);
    return {r, buffer.left(qMax(r, 0))};
}

int out(usb_dev_handle *h, int request, uint32_t address, QByteArray data)
{
    return usb_control_msg(h, kOut, request, address & 0xFFFF, address >> 16, data.data(), int(data.size()), 2000);
}

// Expected wire form of plain memory: the program's own scrambling, whose
// known answers tst_scramble checks.
QByteArray scrambled(const QByteArray &plain)
{
    QByteArray s = plain;
    encodeData(s.data(), int(s.size()));
    return s;
}

QByteArray pattern(int length, int seed)
{
    QByteArray b(length, '\0');
    for (int i = 0; i < length; ++i)
        b[i] = char((i * 7 + seed) & 0xFF);
    return b;
}

sim::DeviceConfig bootloaderConfig()
{
    sim::DeviceConfig c;
    c.mode = sim::Mode::Bootloader;
    return c;
}

QString describe(const sim::DeviceConfig &c)
{
    QString s;
    QDebug(&s) << c.vendorId << c.productId << c.familyId << c.brandId << int(c.mode) << c.applicationSerial
               << c.bootloaderSerial << c.bootloaderVersion << c.restartDelayMs << c.comebackScans << c.comesBack
               << c.failOpen << c.failSetConfiguration << c.failClaim << c.denyAccess;
    return s;
}

// What a saved device must come back with.
struct Snapshot {
    int bus;
    QString config;
    QByteArray flash;
    QByteArray external;
    QByteArray lastBlock;
    int restarts;
    int applicationStarts;
};

Snapshot snapshot(const sim::Device &d)
{
    return {d.bus(), describe(d.config()), d.flash(MemoryMap::kFlashBase, MemoryMap::kFlashSize),
            d.externalFlash(0, MemoryMap::kExternalFlashSize), d.lastBlock(), d.restarts(), d.applicationStarts()};
}

bool writeFile(const QString &name, const QByteArray &bytes)
{
    QFile file(name);
    return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size();
}

} // namespace

class TestSim : public QObject {
    Q_OBJECT
private slots:
    void init() { sim::reset(); }

    // The device scrambles with its own code; it agrees with the program's in
    // both directions over the whole key and leaves the same tail. Zeros
    // scramble to twice each key word.
    void scramblingAgreesWithTheProgram_data()
    {
        QTest::addColumn<QByteArray>("bytes");
        QTest::newRow("zeros") << QByteArray(32 * 4 + 2, '\0');
        QTest::newRow("random, two turns of the key") << randomBytes(2 * 32 * 4 + 3, 5);
    }
    void scramblingAgreesWithTheProgram()
    {
        QFETCH(QByteArray, bytes);
        for (const bool forward : {true, false}) {
            QByteArray device = bytes;
            QByteArray program = bytes;
            (forward ? sim::scramble : sim::unscramble)(device.data(), int(device.size()));
            (forward ? encodeData : decodeData)(program.data(), int(program.size()));
            QCOMPARE(device, program);
            QVERIFY(device.left(128) != bytes.left(128));
        }
    }

    void memoryReadsAreScrambledPerTransfer()
    {
        sim::Device &d = sim::addDevice(0); // application mode reads too
        usb_dev_handle *h = openOnly();

        // Info block: brand halfword 0, version text zero-padded; the bootloader's code is not erased.
        const Answer info = in(h, 1, MemoryMap::kInfoBlockAddress, 32);
        QCOMPARE(info.result, 32);
        QByteArray expected = d.flash(MemoryMap::kInfoBlockAddress, 32);
        QCOMPARE(expected.left(2), QByteArray(2, '\0'));
        QCOMPARE(expected.mid(16), QByteArray("BOOT v2.04").append(6, '\0'));
        QCOMPARE(info.data, scrambled(expected));
        QVERIFY(!d.flash(MemoryMap::kFlashBase, 0x3FD0).contains(char(0xFF)));
        QCOMPARE(d.flash(MemoryMap::kApplicationAddress, 8), QByteArray(8, char(0xFF)));

        // The key phase starts again with every transfer; trailing bytes pass as they are.
        const uint32_t at = MemoryMap::kApplicationAddress + 0x800;
        d.setFlash(at, pattern(300, 3));
        const QByteArray whole = in(h, 1, at, 256).data;
        QCOMPARE(whole, scrambled(pattern(256, 3)));
        QCOMPARE(in(h, 1, at + 128, 128).data, whole.mid(128));
        QCOMPARE(in(h, 1, at + 4, 8).data, scrambled(pattern(12, 3).mid(4)));
        QCOMPARE(in(h, 1, at, 10).data, scrambled(pattern(8, 3)) + pattern(10, 3).mid(8));

        QCOMPARE(in(h, 1, at, 2049).result, -EPIPE);
        QCOMPARE(in(h, 1, MemoryMap::kFlashBase + MemoryMap::kFlashSize - 16, 32).result, -EPIPE);
        QCOMPARE(in(h, 1, MemoryMap::kFlashBase - 4, 8).result, -EPIPE);
        QCOMPARE(usb_control_msg(h, kOut, 1, 0, 0x0800, nullptr, 0, 2000), -EPIPE);
        usb_close(h);
    }

    void bootloaderWritesAndTheirLimits()
    {
        sim::Device &d = sim::addDevice(0, bootloaderConfig());
        usb_dev_handle *h = openOnly();
        const QByteArray page = pattern(2048, 11);
        const uint32_t last = MemoryMap::kFlashBase + MemoryMap::kFlashSize - 2048;

        QCOMPARE(out(h, 3, last, scrambled(page)), 2048);
        QCOMPARE(d.flash(last, 2048), page);
        QCOMPARE(in(h, 1, last, 2048).data, scrambled(page));

        const QByteArray boot = d.flash(MemoryMap::kFlashBase, int(MemoryMap::kBootloaderSize));
        QCOMPARE(out(h, 3, MemoryMap::kApplicationAddress - 2048, page), -EPIPE); // write-protected
        QCOMPARE(out(h, 3, MemoryMap::kApplicationAddress + 256, page), -EPIPE);   // unaligned
        QCOMPARE(out(h, 3, last + 2048, page), -EPIPE);                  // past the end
        QCOMPARE(out(h, 3, MemoryMap::kApplicationAddress, page.left(2047)), -EPIPE);
        QCOMPARE(d.flash(MemoryMap::kFlashBase, int(MemoryMap::kBootloaderSize)), boot);
        QCOMPARE(d.flash(MemoryMap::kApplicationAddress, 2048), QByteArray(2048, char(0xFF)));

        QCOMPARE(out(h, 2, 0, pattern(512, 1)), 512);
        QCOMPARE(d.lastBlock(), pattern(512, 1));
        QCOMPARE(out(h, 2, 0, pattern(511, 1)), -EPIPE);

        // External flash: bytes pass unchanged, erased to 0xFF, bounded transfers.
        QCOMPARE(out(h, 6, 0x1000, pattern(256, 5)), 256);
        QCOMPARE(d.externalFlash(0x1000, 256), pattern(256, 5));
        const Answer ext = in(h, 5, 0x1000, 512);
        QCOMPARE(ext.data, pattern(256, 5) + QByteArray(256, char(0xFF)));
        QCOMPARE(out(h, 6, 0, pattern(257, 5)), -EPIPE);
        QCOMPARE(in(h, 5, 0, 513).result, -EPIPE);
        QCOMPARE(in(h, 5, MemoryMap::kExternalFlashSize - 256, 512).result, -EPIPE);
        QCOMPARE(out(h, 6, MemoryMap::kExternalFlashSize - 128, pattern(256, 5)), -EPIPE);
        QCOMPARE(in(h, 7, 0, 4).result, -EPIPE);
        usb_close(h);
    }

    void applicationRefusesBootloaderRequests()
    {
        sim::Device &d = sim::addDevice(0);
        usb_dev_handle *h = openOnly();
        QCOMPARE(out(h, 3, MemoryMap::kApplicationAddress, scrambled(pattern(2048, 1))), -EPIPE);
        QCOMPARE(out(h, 2, 0, pattern(512, 2)), -EPIPE);
        QCOMPARE(out(h, 6, 0, pattern(4, 2)), -EPIPE);
        QCOMPARE(in(h, 5, 0, 4).result, -EPIPE);
        QCOMPARE(d.flash(MemoryMap::kApplicationAddress, 2048), QByteArray(2048, char(0xFF)));
        QCOMPARE(d.externalFlash(0, 4), QByteArray(4, char(0xFF)));
        QVERIFY(d.lastBlock().isEmpty());
        usb_close(h);
    }

    void restartInvalidatesHandlesAndComesBack()
    {
        sim::DeviceConfig c;
        c.comebackScans = 2;
        sim::Device &d = sim::addDevice(0, c);
        const int address = scan().first()->devnum;
        usb_dev_handle *old = openOnly();
        QCOMPARE(usb_control_msg(old, kOut, 4, 0, 0, pattern(1, 0).data(), 1, 2000), -EPIPE);
        QCOMPARE(d.restarts(), 0);
        QCOMPARE(out(old, 4, 0, {}), 0);
        QCOMPARE(in(old, 0xFF, 0, 2).result, -ENODEV);
        QCOMPARE(usb_release_interface(old, 0), -ENODEV);
        QCOMPARE(d.restarts(), 1);
        QCOMPARE(d.applicationStarts(), 0);
        QVERIFY(!d.online());
        QCOMPARE(scan().size(), 0);
        QCOMPARE(scan().size(), 0);
        const QList<struct usb_device *> back = scan();
        QCOMPARE(back.size(), 1);
        QVERIFY(back.first()->devnum != address); // a new record, at a new address
        QCOMPARE(in(old, 0xFF, 0, 2).result, -ENODEV); // back, but the old session is over
        QCOMPARE(usb_close(old), 0);

        // By delay: not before restartDelayMs has passed.
        c.comebackScans = 0;
        c.restartDelayMs = 150;
        d.setConfig(c);
        usb_dev_handle *h = openOnly();
        QCOMPARE(out(h, 4, 0, {}), 0);
        QCOMPARE(d.applicationStarts(), 1);
        QCOMPARE(d.mode(), sim::Mode::Application);
        usb_close(h);
        QCOMPARE(scan().size(), 0);
        QThread::msleep(200);
        QCOMPARE(scan().size(), 1);

        // Never: only plugging it in again brings it back.
        c.restartDelayMs = 0;
        c.comesBack = false;
        d.setConfig(c);
        h = openOnly();
        QCOMPARE(out(h, 4, 0, {}), 0);
        usb_close(h);
        for (int i = 0; i < 20; ++i)
            QCOMPARE(scan().size(), 0);
        d.plugIn();
        QCOMPARE(scan().size(), 1);
        QCOMPARE(d.mode(), sim::Mode::Bootloader);
    }

    void faultsHitTheChosenTransfers()
    {
        sim::Device &d = sim::addDevice(0, bootloaderConfig());
        usb_dev_handle *h = openOnly();
        const uint32_t at = MemoryMap::kApplicationAddress;
        d.setFlash(at, pattern(2048, 9));
        const QByteArray wire = scrambled(pattern(2048, 9));

        sim::addFault({sim::Fault::Timeout, 0xFF, -1, 1, 2});
        QElapsedTimer timer;
        timer.start();
        QList<int> results;
        for (int i = 0; i < 4; ++i)
            results.append(in(h, 0xFF, 0, 2).result);
        QCOMPARE(results, (QList<int>{2, -ETIMEDOUT, -ETIMEDOUT, 2}));
        QVERIFY(timer.elapsed() < 1000); // no real waiting
        sim::clearFaults();

        const int next = sim::controlTransferCount();
        sim::addFault({sim::Fault::Stall, -1, next + 1});
        QCOMPARE(in(h, 0xFE, 0, 2).result, 2);
        QCOMPARE(in(h, 0xFE, 0, 2).result, -EPIPE);
        QCOMPARE(in(h, 0xFE, 0, 2).result, 2);

        sim::addFault({sim::Fault::Short, 1, -1, 0, 1, 100});
        QCOMPARE(in(h, 1, at, 2048).data, wire.left(100));
        sim::addFault({sim::Fault::Short, 3, -1, 0, 1, 100});
        QCOMPARE(out(h, 3, at, scrambled(pattern(2048, 4))), 100);
        QCOMPARE(d.flash(at, 2048), pattern(2048, 9));

        sim::addFault({sim::Fault::Corrupt, 1});
        QByteArray bad = in(h, 1, at, 2048).data;
        QCOMPARE(bad.size(), 2048);
        QVERIFY(bad != wire);
        bad[1024] = char(~bad[1024]);
        QCOMPARE(bad, wire);
        sim::addFault({sim::Fault::Corrupt, 3});
        QCOMPARE(out(h, 3, at, scrambled(pattern(2048, 4))), 2048);
        // One wire byte spoils the one word around it.
        const QByteArray stored = d.flash(at, 2048);
        QVERIFY(stored != pattern(2048, 4));
        QCOMPARE(stored.left(1024), pattern(2048, 4).left(1024));
        QCOMPARE(stored.mid(1028), pattern(2048, 4).mid(1028));

        sim::FaultRule descriptorOnly{sim::Fault::Stall, 6};
        descriptorOnly.requestType = 0x80;
        sim::addFault(descriptorOnly);
        QCOMPARE(out(h, 6, 0x100, pattern(4, 0)), 4);
        char buf[64];
        QCOMPARE(usb_get_descriptor(h, 3, 3, buf, sizeof buf), -EPIPE);
        QCOMPARE(usb_get_descriptor(h, 3, 3, buf, sizeof buf), 22);

        sim::addFault({sim::Fault::Unplug, 6, -1, 0, 1, 0, 0x40});
        QCOMPARE(out(h, 6, 0, pattern(16, 0)), -ENODEV);
        QCOMPARE(in(h, 0xFF, 0, 2).result, -ENODEV);
        QVERIFY(!d.online());
        QCOMPARE(d.externalFlash(0, 16), QByteArray(16, char(0xFF)));
        QCOMPARE(scan().size(), 0);
        d.plugIn();
        QCOMPARE(scan().size(), 1);
        usb_close(h);
    }

    void transfersAreNumberedAndLogged()
    {
        sim::Device &d = sim::addDevice(0, bootloaderConfig());
        QCOMPARE(usb_control_msg(nullptr, kIn, 0xFF, 0, 0, nullptr, 0, 2000), -EINVAL);
        usb_dev_handle *h = openOnly();
        char buf[8];
        QCOMPARE(usb_control_msg(h, kIn, 0xFF, 0, 0, nullptr, 2, 2000), -EINVAL);
        QCOMPARE(usb_get_descriptor(h, 3, 3, buf, sizeof buf), 8);
        QCOMPARE(usb_control_msg(h, 0x1C0, 0x1FF, 0x10000, 0x20000, buf, 2, 2000), 2); // cut to 8 and 16 bits
        QCOMPARE(out(h, 6, 0x20010, pattern(8, 1)), 8);
        QCOMPARE(d.externalFlash(0x20010, 8), pattern(8, 1));
        QCOMPARE(usb_bulk_write(h, 1, buf, 8, 2000), -EPIPE);
        QCOMPARE(usb_bulk_read(h, 0x81, buf, 8, 2000), -EPIPE);
        sim::setRecording(false);
        QCOMPARE(in(h, 0xFE, 0, 2).result, 2); // numbered, not kept

        const QList<sim::Event> control = sim::controlTransfers();
        QCOMPARE(control.size(), 5);
        QCOMPARE(sim::controlTransferCount(), 6);
        for (int i = 0; i < control.size(); ++i)
            QCOMPARE(control[i].transfer, i);
        QCOMPARE(control[0].device, -1);
        QCOMPARE(control[1].device, 0);
        QCOMPARE(control[1].result, -EINVAL);
        QCOMPARE(control[2].data.size(), 8);
        QCOMPARE((QList<int>{control[3].requestType, control[3].request, control[3].value, control[3].index}),
                 (QList<int>{0xC0, 0xFF, 0, 0}));
        QCOMPARE(control[3].data, QByteArray("\xE0\x01", 2));
        QCOMPARE((QList<int>{control[4].value, control[4].index, control[4].length}), (QList<int>{0x10, 2, 8}));
        QCOMPARE(control[4].data, pattern(8, 1));
        const QList<sim::Event> all = sim::events();
        QCOMPARE(all.size(), 9); // null-handle transfer, scan, open, five transfers, two bulk
        QCOMPARE(all.last().kind, sim::Event::Bulk);
        QCOMPARE(all.last().value, 0x81);
        QCOMPARE(all.last().result, -EPIPE);

        // reset() kills old handles; numbering starts again.
        sim::reset();
        QCOMPARE(in(h, 0xFF, 0, 2).result, -ENODEV);
        QCOMPARE(sim::controlTransferCount(), 1);
        QCOMPARE(sim::controlTransfers().first().transfer, 0);
        QCOMPARE(sim::controlTransfers().first().device, -1);
        const int handles = sim::openHandles();
        QCOMPARE(usb_close(h), 0);
        QCOMPARE(sim::openHandles(), handles - 1);
    }

    void threadsGetDistinctTransferNumbers()
    {
        sim::addDevice(0);
        constexpr int kPerThread = 5000;
        std::atomic<int> running{2};
        auto worker = [&running] {
            usb_dev_handle *h = usb_open(usb_get_busses()->devices);
            for (int i = 0; i < kPerThread; ++i)
                in(h, 0xFF, 0, 2);
            usb_close(h);
            --running;
        };
        scan();
        std::thread one(worker);
        std::thread two(worker);
        while (running > 0)
            sim::controlTransfers(); // a test inspects while the program drives the device
        one.join();
        two.join();

        QList<int> numbers;
        for (const sim::Event &e : sim::controlTransfers()) {
            QCOMPARE(e.result, 2);
            numbers.append(e.transfer);
        }
        std::sort(numbers.begin(), numbers.end());
        QCOMPARE(numbers.size(), 2 * kPerThread);
        QCOMPARE(numbers.last(), 2 * kPerThread - 1);
        QCOMPARE(std::adjacent_find(numbers.begin(), numbers.end()), numbers.end());
    }

    void latencyDelaysEachTransfer()
    {
        sim::addDevice(0);
        usb_dev_handle *h = openOnly();
        sim::setLatency(30000);
        QElapsedTimer timer;
        timer.start();
        QCOMPARE(in(h, 0xFF, 0, 2).result, 2);
        QVERIFY(timer.elapsed() >= 30);

        // A device answers one transfer at a time: two at once take twice as long.
        usb_dev_handle *other = usb_open(scan().first());
        timer.restart();
        std::thread second([other] { in(other, 0xFF, 0, 2); });
        QCOMPARE(in(h, 0xFF, 0, 2).result, 2);
        second.join();
        QVERIFY(timer.elapsed() >= 60);
        usb_close(other);
        usb_close(h);
    }

    void stateRoundTrip()
    {
        sim::DeviceConfig ca = bootloaderConfig();
        ca.productId = 0x0A74;
        ca.familyId = 0x01E1;
        ca.brandId = 7;
        ca.applicationSerial = "VR480A";
        ca.bootloaderSerial = "VR480Ab";
        ca.bootloaderVersion = "BOOT v3.10";
        ca.comebackScans = 1;
        ca.failSetConfiguration = true;
        sim::DeviceConfig cb;
        cb.vendorId = 0x1234;
        cb.restartDelayMs = 60000;
        cb.comesBack = false;
        cb.failClaim = true;
        sim::Device &a = sim::addDevice(0, ca);
        sim::Device &b = sim::addDevice(1, cb);
        sim::DeviceConfig cc;
        cc.denyAccess = true;
        sim::addDevice(1, cc).unplug();
        a.setFlash(MemoryMap::kApplicationAddress + 0x1000, pattern(5000, 1));
        a.setExternalFlash(0x100000, pattern(70000, 2));
        b.setExternalFlash(0, pattern(16, 3));

        QList<struct usb_device *> found = scan();
        QCOMPARE(found.size(), 2);
        usb_dev_handle *ha = usb_open(found[0]);
        usb_dev_handle *hb = usb_open(found[1]);
        QCOMPARE(out(ha, 2, 0, pattern(512, 4)), 512);
        QCOMPARE(out(ha, 4, 0, {}), 0); // into the application, back after one scan
        QCOMPARE(out(hb, 4, 0, {}), 0); // into the bootloader, never back on its own
        usb_close(ha);
        usb_close(hb);
        QCOMPARE(scan().size(), 0);
        QCOMPARE(scan().size(), 1);
        ha = openOnly();
        sim::addFault({sim::Fault::Timeout, 0xFF, -1, 1, 3});
        QCOMPARE(in(ha, 0xFF, 0, 2).result, 2);
        QCOMPARE(in(ha, 0xFF, 0, 2).result, -ETIMEDOUT);
        usb_close(ha);
        sim::setLatency(25000);

        QList<Snapshot> saved;
        for (const sim::Device *d : sim::devices())
            saved.append(snapshot(*d));
        QTemporaryDir dir;
        const QString file = dir.filePath("sim.state");
        QVERIFY(sim::saveState(file));
        QVERIFY(sim::loadState(file));

        const QList<sim::Device *> loaded = sim::devices();
        QCOMPARE(loaded.size(), saved.size());
        for (int i = 0; i < loaded.size(); ++i) {
            const Snapshot now = snapshot(*loaded[i]);
            QCOMPARE(now.bus, saved[i].bus);
            QCOMPARE(now.config, saved[i].config);
            QVERIFY(now.flash == saved[i].flash);
            QVERIFY(now.external == saved[i].external);
            QCOMPARE(now.lastBlock, saved[i].lastBlock);
            QCOMPARE(now.restarts, saved[i].restarts);
            QCOMPARE(now.applicationStarts, saved[i].applicationStarts);
        }
        QCOMPARE(loaded[0]->mode(), sim::Mode::Application);
        QCOMPARE(loaded[1]->mode(), sim::Mode::Bootloader);

        // The device saved mid-restart is back; the unplugged one stays away until plugged in.
        found = scan();
        QCOMPARE(found.size(), 2);
        QCOMPARE(found[1]->descriptor.idVendor, 0x1234);
        QVERIFY(!loaded[2]->online());
        loaded[2]->plugIn();
        QCOMPARE(scan().size(), 3);

        // The fault goes on with its two remaining hits on request 0xFF only; the latency holds.
        ha = usb_open(found[0]);
        QElapsedTimer timer;
        timer.start();
        QCOMPARE(in(ha, 0xFE, 0, 2).result, 2);
        QVERIFY(timer.elapsed() >= 25);
        QList<int> results;
        for (int i = 0; i < 3; ++i)
            results.append(in(ha, 0xFF, 0, 2).result);
        QCOMPARE(results, (QList<int>{-ETIMEDOUT, -ETIMEDOUT, 2}));
        usb_close(ha);
    }

    void badStateFilesAreRefused()
    {
        QTemporaryDir dir;
        sim::addDevice(0);
        const QString good = dir.filePath("good.state");
        QVERIFY(sim::saveState(good));
        QVERIFY(!sim::saveState(dir.filePath("no/such/dir.state")));
        QFile file(good);
        QVERIFY(file.open(QIODevice::ReadOnly));
        const QByteArray bytes = file.readAll();
        QVERIFY(writeFile(dir.filePath("short1"), bytes.left(bytes.size() - 1)));
        QVERIFY(writeFile(dir.filePath("half"), bytes.left(bytes.size() / 2)));
        QVERIFY(writeFile(dir.filePath("text"), QByteArray("VR480 settings\nlanguage=pl\n").repeated(20)));

        for (const char *name : {"missing", "short1", "half", "text"}) {
            sim::addDevice(0);
            QVERIFY2(!sim::loadState(dir.filePath(name)), name);
            QVERIFY2(sim::devices().isEmpty(), name);
            QVERIFY2(scan().isEmpty(), name);
        }
        QVERIFY(sim::loadState(good));
        QCOMPARE(sim::devices().size(), 1);
    }

    // A state file must not make the program expand it beyond what the
    // devices it holds need: here one device, then 128 MiB of zeros.
    void stateExpansionIsBounded()
    {
#if VR480_TEST_POSIX
        QByteArray compressed(4, '\0');
        qToBigEndian(quint32(128 << 20), compressed.data());
        z_stream zs{};
        QCOMPARE(deflateInit(&zs, Z_BEST_SPEED), Z_OK);
        QByteArray in(1 << 20, '\0');
        QByteArray out(1 << 20, '\0');
        in[11] = 1; // no latency, no fault rules, one device
        for (int i = 0; i < 128; in[11] = 0, ++i) {
            zs.next_in = reinterpret_cast<Bytef *>(in.data());
            zs.avail_in = uInt(in.size());
            zs.next_out = reinterpret_cast<Bytef *>(out.data());
            zs.avail_out = uInt(out.size());
            deflate(&zs, i == 127 ? Z_FINISH : Z_NO_FLUSH);
            compressed.append(out.constData(), out.size() - zs.avail_out);
        }
        deflateEnd(&zs);
        QByteArray file;
        QDataStream(&file, QIODevice::WriteOnly) << quint32(0x56523453) << quint32(3) << compressed;
        QTemporaryDir dir;
        QVERIFY(writeFile(dir.filePath("bomb"), file));
        rusage before{}, after{};
        getrusage(RUSAGE_SELF, &before);
        QVERIFY(!sim::loadState(dir.filePath("bomb")));
        getrusage(RUSAGE_SELF, &after);
        QCOMPARE_LT(after.ru_maxrss - before.ru_maxrss, 32 * 1024); // KiB
#endif
    }

    // VR480_SIM_DEVICES out of range is refused; a state file of a format
    // this program does not know is left as it is.
    void demoSessionRefusals_data()
    {
        QTest::addColumn<QByteArray>("count"); // VR480_SIM_DEVICES, empty: unset
        QTest::addColumn<QByteArray>("state"); // the state file before the run, empty: none
        for (const char *count : {"0", "-1", "65", "abc", "3:0", "3:x", "3:1:1", ":1"})
            QTest::addRow("%s devices", count) << QByteArray(count) << QByteArray();
        QByteArray later;
        QDataStream(&later, QIODevice::WriteOnly) << quint32(0x56523453) << quint32(4) << QByteArray("later");
        QTest::newRow("unknown format") << QByteArray() << later;
    }
    void demoSessionRefusals()
    {
        QFETCH(QByteArray, count);
        QFETCH(QByteArray, state);
        QTemporaryDir dir;
        const QString stateFile = dir.filePath("sim.state");
        QVERIFY(state.isEmpty() || writeFile(stateFile, state));
        qputenv("VR480_SIM_STATE", QFile::encodeName(stateFile));
        qputenv("VR480_SIM_DEVICES", count);
        const auto unset = qScopeGuard([] { qunsetenv("VR480_SIM_STATE"); qunsetenv("VR480_SIM_DEVICES"); });
        {
            sim::DemoSession run;
            QCOMPARE(run.isValid(), count.isEmpty());
            QCOMPARE(sim::devices().size(), count.isEmpty() ? 1 : 0);
        }
        QFile file(stateFile);
        QCOMPARE(file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray(), state);
    }

    // VR480_SIM_DEVICES=N:S: the devices are plugged in one by one, at the
    // first scan after their time; one still to come is saved as plugged in.
    void demoDevicesArriveOverTime()
    {
        QTemporaryDir dir;
        const QString state = dir.filePath("sim.state");
        qputenv("VR480_SIM_STATE", QFile::encodeName(state));
        qputenv("VR480_SIM_DEVICES", "3:3600");
        const auto unset = qScopeGuard([] { qunsetenv("VR480_SIM_STATE"); qunsetenv("VR480_SIM_DEVICES"); });
        {
            sim::DemoSession run;
            QCOMPARE(sim::devices().size(), 3);
            QCOMPARE(scan().size(), 0);
            sim::devices()[1]->plugInAfter(0);
            QCOMPARE(scan().size(), 1);
            QVERIFY(sim::devices()[1]->online());
            sim::devices()[2]->plugInAfter(3600 * 1000);
        }
        QVERIFY(sim::loadState(state));
        QCOMPARE(scan().size(), 3);
    }

    void demoSessionCarriesTheDeviceBetweenRuns()
    {
        QTemporaryDir dir;
        const QString state = dir.filePath("sim.state");
        qputenv("VR480_SIM_STATE", QFile::encodeName(state));
        const auto unset = qScopeGuard([] { qunsetenv("VR480_SIM_STATE"); });

        sim::addDevice(0, bootloaderConfig());
        {
            sim::DemoSession run; // no file yet: the demo device
            QCOMPARE(sim::devices().size(), 1);
            QCOMPARE(sim::devices()[0]->config().restartDelayMs, 1500);
            sim::devices()[0]->setExternalFlash(0, pattern(8, 1));
        }
        sim::reset();
        {
            sim::DemoSession run;
            QCOMPARE(sim::devices().size(), 1);
            QCOMPARE(sim::devices()[0]->externalFlash(0, 8), pattern(8, 1));
        }

        // A damaged file: the demo device again, saved over it.
        QVERIFY(writeFile(state, "damaged"));
        {
            sim::DemoSession run;
            QCOMPARE(sim::devices().size(), 1);
            QCOMPARE(sim::devices()[0]->externalFlash(0, 8), QByteArray(8, char(0xFF)));
        }
        QVERIFY(sim::loadState(state));
        QCOMPARE(sim::devices().size(), 1);

        // A fresh demo has VR480_SIM_DEVICES devices with serials of their own; a saved one keeps its own.
        QVERIFY(QFile::remove(state));
        qputenv("VR480_SIM_DEVICES", "3");
        const auto unsetCount = qScopeGuard([] { qunsetenv("VR480_SIM_DEVICES"); });
        {
            sim::DemoSession run;
            QStringList serials;
            for (const sim::Device *d : sim::devices())
                serials << QString::fromLatin1(d->config().applicationSerial + ' ' + d->config().bootloaderSerial);
            QCOMPARE(serials, QStringList({"VR4800001 VR4800001b", "VR4800002 VR4800002b", "VR4800003 VR4800003b"}));
        }
        qputenv("VR480_SIM_DEVICES", "1");
        {
            sim::DemoSession run;
            QCOMPARE(sim::devices().size(), 3);
        }
    }
};

QTEST_GUILESS_MAIN(TestSim)
#include "tst_sim.moc"
