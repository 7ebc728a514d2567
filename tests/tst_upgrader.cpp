// The upgrade worker against the simulated device: what ends up in the
// device's memory, the order of its operations, the log, the progress values
// and the pauses of every ending.

#include "capture.h"
#include "hexdump.h"
#include "bytes.h"
#include "imagebuilder.h"
#include "randomimage.h"
#include "simdevice.h"
#include "simfirmware.h"
#include "simtrail.h"
#include "simusb.h"
#include "system.h"
#include "upgradefile.h"
#include "upgrader.h"
#include "usbvr480.h"

#include <QBuffer>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

#include <cerrno>
#include <functional>
#include <memory>
#include <optional>

namespace {

using namespace UpgradeFile;

// The device's control transfers in short form; a run of equal entries
// becomes "entry *count".
QStringList operations(const QList<sim::Event> &events)
{
    QStringList out;
    int repeats = 1;
    for (const QString &entry : deviceTrail(events)) {
        if (!out.isEmpty() && out.last().section(QLatin1Char(' '), 0, 0) == entry) {
            out.last() = entry + QStringLiteral(" *%1").arg(++repeats);
            continue;
        }
        repeats = 1;
        out << entry;
    }
    return out;
}

const QStringList kOpen = {"open", "config 1", "claim 0", "c0:ff", "c0:fe"};
const QStringList kClose = {"release 0", "close"};

QStringList pagesAndExternalFlash()
{
    QStringList ops;
    for (int page = 0; page < kPages; ++page)
        ops << "40:03" << "c0:01";
    ops << QStringLiteral("40:06 *%1").arg(kExternalWrites) << QStringLiteral("c0:05 *%1").arg(kExternalReads);
    return ops;
}

QList<int> expectedPercents()
{
    QList<int> percents{0};
    for (int page = 1; page <= kPages; ++page)
        percents << page * 100 / kPages;
    return percents;
}

// One worker with its device object, whose runs are recorded: log lines,
// progress values and the pauses it asked for (none of them is waited out).
struct Worker {
    USBVR480 usb;
    Upgrader upgrader{&usb};
    QSignalSpy text{&upgrader, &Upgrader::sendText};
    QSignalSpy percent{&upgrader, &Upgrader::sendPercent};
    QList<unsigned long> sleeps;

    Worker()
    {
        upgrader.setSleeper([this](unsigned long ms) { sleeps << ms; });
    }

    // Runs the upgrade on the worker's thread; false when it did not end.
    bool run(const QString &file)
    {
        text.clear();
        percent.clear();
        sleeps.clear();
        upgrader.slotSetFileName(file);
        upgrader.start();
        return upgrader.wait(120000);
    }

    QStringList log() const
    {
        QStringList lines;
        for (const QList<QVariant> &args : text)
            lines << args.at(0).toString();
        return lines;
    }

    QList<int> percents() const { return values(percent); }
};

// The firmware the devices run before an upgrade.
const QByteArray kOldImage = randomUpgradeImage(1);

sim::Device &deviceWithOldFirmware(sim::DeviceConfig config = {})
{
    return deviceHolding(kOldImage, config);
}

QStringList dumpRows(const QString &dump)
{
    return dump.split(QLatin1Char('\n')).mid(2); // without the empty first line and the header
}

} // namespace

Q_DECLARE_METATYPE(sim::Fault)
Q_DECLARE_METATYPE(Upgrader::Outcome)
Q_DECLARE_METATYPE(Upgrader::Job)

// Prepares the bus (a device in its bootloader is there already) and gives the
// file to upgrade with, or "" for the good one.
using Setup = std::function<QString(QTemporaryDir &)>;
Q_DECLARE_METATYPE(Setup)

class TestUpgrader : public QObject {
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void fullUpgrade_data();
    void fullUpgrade();
    void endings_data();
    void endings();
    void startCheck_data();
    void startCheck();
    void externalFlashMismatch();
    void newInstanceIsWaitedFor();
    void faultSweep_data();
    void faultSweep();
    void readBack_data();
    void readBack();
    void stopWhileWaitingForAFifo();

private:
    std::unique_ptr<QTemporaryDir> dir;
    QString file;
    QByteArray image;
};

void TestUpgrader::init()
{
    sim::reset();
    dir = std::make_unique<QTemporaryDir>();
    image = randomUpgradeImage(2);
    file = writeUpgradeFile(dir->filePath("new.upg"), image);
}

void TestUpgrader::cleanup()
{
    sim::reset();
    dir.reset();
}

void TestUpgrader::fullUpgrade_data()
{
    QTest::addColumn<bool>("fromApplication");
    QTest::addColumn<bool>("given"); // the image checked before, the file replaced since
    QTest::newRow("application running") << true << false;
    QTest::newRow("bootloader running") << false << false;
    QTest::newRow("image given, file replaced") << false << true;
}

void TestUpgrader::fullUpgrade()
{
    QFETCH(bool, fromApplication);
    QFETCH(bool, given);
    sim::DeviceConfig config;
    config.mode = fromApplication ? sim::Mode::Application : sim::Mode::Bootloader;
    sim::Device &device = deviceWithOldFirmware(config);
    Worker worker;
    if (given) {
        worker.upgrader.setImage(image);
        writeUpgradeFile(file, randomUpgradeImage(3));
    }
    DebugCapture debug;
    QVERIFY(worker.run(file));

    QVERIFY(holds(device, image));
    QCOMPARE(worker.upgrader.outcome(), Upgrader::Outcome::Written);
    QCOMPARE(device.applicationStarts(), 1);
    QCOMPARE(device.mode(), sim::Mode::Application);
    QCOMPARE(device.restarts(), fromApplication ? 2 : 1);
    QCOMPARE(sim::openHandles(), 0);

    QStringList log{file, "VR4800001"};
    QStringList ops = kOpen;
    ops << "80:06" << "c0:01"; // serial, information block
    if (fromApplication) {
        log.last() = "VR4800001";
        log << "BOOT v2.04" << "Apllication mode" << "Reset device" << "Disconnect" << "Connect"
            << "Serial:VR4800001b";
        ops << "40:04" << kClose << kOpen << "80:06" << kClose << kOpen << "80:06";
    } else {
        log.last() = "VR4800001b";
        log << "BOOT v2.04" << "Bootloader mode";
    }
    log << "Writting firmware ... " << "OK" << "Writting External Flash ... " << "OK"
        << "Verify External Flash ...  " << "OK";
    ops << pagesAndExternalFlash() << "40:04" << kClose;
    QCOMPARE(worker.log(), log);
    QCOMPARE(operations(sim::events()), ops);
    QCOMPARE(worker.percents(), expectedPercents());
    QCOMPARE(worker.sleeps, fromApplication ? (QList<unsigned long>{2000, 500, 1000})
                                            : QList<unsigned long>{1000});
    QCOMPARE(debug.count("Start firmware upgrade"), 1);
    QCOMPARE(debug.count("page write OK"), kPages);
    QCOMPARE(debug.count("usb->RunApplication()"), fromApplication ? 1 : 0);
    QCOMPARE(debug.count("usb->disconnect()"), fromApplication ? 1 : 0);
}

// Every way a run can end short of a new application, with what it logs, the
// pauses it makes and the state it leaves the device in.
void TestUpgrader::endings_data()
{
    QTest::addColumn<Setup>("setup");
    QTest::addColumn<QStringList>("log"); // "%file" stands for the path
    QTest::addColumn<QList<unsigned long>>("sleeps");
    QTest::addColumn<int>("pages"); // verified; -1: no device operation at all
    QTest::addColumn<bool>("bootloaderRunning");

    const auto ownFile = [](const QByteArray &bytes) {
        return Setup([bytes](QTemporaryDir &dir) {
            QFile f(dir.filePath("other.upg"));
            f.open(QIODevice::WriteOnly);
            f.write(bytes);
            return f.fileName();
        });
    };
    const auto fault = [](sim::FaultRule rule) {
        return Setup([rule](QTemporaryDir &) {
            sim::addFault(rule);
            return QString();
        });
    };
    QByteArray good;
    {
        QBuffer buffer(&good);
        buffer.open(QIODevice::WriteOnly);
        UpgradeFile::write(buffer, randomUpgradeImage(3));
    }
    const QStringList upToBootloader{"%file", "VR4800001b", "BOOT v2.04", "Bootloader mode"};
    const QList<unsigned long> none;

    QTest::newRow("missing file") << Setup([](QTemporaryDir &dir) {
        return dir.filePath("missing.upg");
    }) << QStringList{"%file", "Wrong file header"} << none << -1 << true;
    QTest::newRow("foreign file") << ownFile(QByteArray(good).replace(6, 2, QByteArray("\0W", 2)))
                                  << QStringList{"%file", "Wrong file header"} << none << -1 << true;
    QTest::newRow("other version") << ownFile(QByteArray(good).replace(58, 4, QByteArray("\0000\0002", 4)))
                                   << QStringList{"%file", "Wrong file version"} << none << -1 << true;
    // Larger than an upgrade file: told by header and version all the same.
    QTest::newRow("larger foreign file") << ownFile(QByteArray(good.size() * 2, ':'))
                                         << QStringList{"%file", "Wrong file header"} << none << -1 << true;
    QTest::newRow("larger, other version")
        << ownFile(QByteArray(good).replace(58, 4, QByteArray("\0000\0002", 4)).append("x"))
        << QStringList{"%file", "Wrong file version"} << none << -1 << true;
    QTest::newRow("short payload") << ownFile(good.left(good.size() - 1))
                                   << QStringList{"%file", "Wrong file length"} << none << -1 << true;
    QTest::newRow("long payload")
        << ownFile(QByteArray(good).replace(62, 4, QByteArray("\0\6\0\4", 4)).append("abcd"))
        << QStringList{"%file", "Wrong file length"} << none << -1 << true;
    QTest::newRow("bytes after the payload") << ownFile(good + "x")
                                             << QStringList{"%file", "Wrong file length"} << none << -1 << true;
    // One bit flipped in the application, or in the external-flash data.
    for (const int at : {66 + kApplicationOffset + 1000, 66 + kExternalOffset + 77}) {
        QByteArray damaged = good;
        damaged[at] = char(damaged[at] ^ 0x10);
        QTest::addRow("damaged at %d", at) << ownFile(damaged) << QStringList{"%file", "Wrong file checksum"}
                                           << none << -1 << true;
    }

    QTest::newRow("no device") << Setup([](QTemporaryDir &) {
        sim::devices().first()->unplug();
        return QString();
    }) << QStringList{"%file", "USB Timeout\nCheck USB Cable"} << QList<unsigned long>{200, 200, 200}
                               << 0 << true;
    QTest::newRow("no permission") << Setup([](QTemporaryDir &) {
        sim::Device &device = *sim::devices().first();
        sim::DeviceConfig config = device.config();
        config.denyAccess = true;
        device.setConfig(config);
        return QString();
    }) << QStringList{"%file", "USB Timeout\nCheck USB Cable",
                      // The refused configuration (EPERM), as the system reads it.
                      usb::refusalOf(EPERM) == usb::Refusal::NoPermission
                          ? "VR480 found (bus 001, device 001), but it could not be opened: no permission"
                          : "VR480 found (bus 001, device 001), but it could not be opened: not bound to WinUSB, or in use"}
                               << QList<unsigned long>{200, 200, 200} << 0 << true;
    QTest::newRow("connects at the fourth attempt") << Setup([](QTemporaryDir &) {
        sim::devices().first()->hideForScans(3);
        return QString();
    }) << (upToBootloader + QStringList{"Writting firmware ... ", "OK", "Writting External Flash ... ", "OK",
                                        "Verify External Flash ...  ", "OK"})
       << QList<unsigned long>{200, 200, 200, 1000} << kPages << false;
    QTest::newRow("information block unreadable")
        << fault({sim::Fault::Stall, 1})
        << QStringList{"%file", "VR4800001b", "Bootloader Version Read Error"} << none << 0 << true;

    const auto serial = [](const char *text) {
        return Setup([text](QTemporaryDir &) {
            sim::Device &device = *sim::devices().first();
            sim::DeviceConfig config = device.config();
            config.bootloaderSerial = text;
            device.setConfig(config);
            return QString();
        });
    };
    QTest::newRow("serial of ten without b") << serial("VR48000012")
        << QStringList{"%file", "VR48000012", "BOOT v2.04", "Serial:VR48000012"} << none << 0 << true;
    QTest::newRow("serial too long") << serial("VR4800001bb")
        << QStringList{"%file", "VR4800001bb", "BOOT v2.04", "Serial:VR4800001bb"} << none << 0 << true;
    // Selected by its serial, then another at the second read (the worker's).
    QTest::newRow("serial not the selected one") << Setup([](QTemporaryDir &) {
        sim::Device &device = *sim::devices().first();
        sim::DeviceConfig config = device.config();
        config.bootloaderSerial = "VR4800001bX";
        device.setConfig(config);
        sim::addFault({sim::Fault::Short, 6, -1, 1, 1, 22, 0x80}); // "VR4800001b"
        return QString();
    }) << QStringList{"%file", "VR4800001b", "BOOT v2.04", "Serial:VR4800001bX"} << none << 0 << true;
    QTest::newRow("no serial") << fault({sim::Fault::Stall, 6, -1, 0, 1, 0, 0x80})
        << QStringList{"%file", "", "BOOT v2.04", "Serial:VR4800001b"} << none << 0 << true;

    QList<unsigned long> tenTries{2000, 500};
    for (int i = 0; i < 10; ++i)
        tenTries << 200;
    const auto runningApplication = [](bool comesBack, std::optional<sim::FaultRule> rule) {
        return Setup([=](QTemporaryDir &) {
            sim::reset();
            sim::DeviceConfig config;
            config.comesBack = comesBack;
            deviceWithOldFirmware(config);
            if (rule)
                sim::addFault(*rule);
            return QString();
        });
    };
    QTest::newRow("never back after the restart") << runningApplication(false, {}) << QStringList{"%file", "VR4800001", "BOOT v2.04", "Apllication mode", "Reset device",
                      "USB timout\nCheck USB cable"}
       << tenTries << 0 << true;
    QTest::newRow("restart not taken") << runningApplication(true, sim::FaultRule{sim::Fault::Timeout, 4}) << QStringList{"%file", "VR4800001", "BOOT v2.04", "Apllication mode", "Reset device",
                      "USB timout\nCheck USB cable"}
       << tenTries << 0 << false;
    // Seen as the bootloader, then no serial from the connection that would be written to.
    QTest::newRow("serial lost after the restart")
        << runningApplication(true, sim::FaultRule{sim::Fault::Stall, 6, -1, 2, 1, 0, 0x80})
        << QStringList{"%file", "VR4800001", "BOOT v2.04", "Apllication mode", "Reset device", "Disconnect",
                       "Connect", "Serial:", "USB timout\nCheck USB cable"}
        << QList<unsigned long>{2000, 500} << 0 << true;
    QTest::newRow("serial not the selected one after the restart") << Setup([](QTemporaryDir &) {
        sim::reset();
        sim::DeviceConfig config;
        config.bootloaderSerial = "VR4800001bX";
        deviceWithOldFirmware(config);
        sim::addFault({sim::Fault::Short, 6, -1, 5, 1, 22, 0x80}); // the sixth serial read: "VR4800001b"
        return QString();
    }) << QStringList{"%file", "VR4800001", "BOOT v2.04", "Apllication mode", "Reset device", "Disconnect",
                      "Connect", "Serial:VR4800001b", "USB timout\nCheck USB cable"}
        << QList<unsigned long>{2000, 500} << 0 << true;

    // The sixth page fails in its write, its stored bytes or its read-back
    // (the first memory read is the information block).
    QTest::newRow("page write fails") << fault({sim::Fault::Stall, 3, -1, 5})
        << (upToBootloader + QStringList{"Writting firmware ... ", "ERROR"}) << none << 5 << true;
    QTest::newRow("page stored wrong") << fault({sim::Fault::Corrupt, 3, -1, 5})
        << (upToBootloader + QStringList{"Writting firmware ... ", "ERROR"}) << none << 5 << true;
    QTest::newRow("page read-back fails") << fault({sim::Fault::Timeout, 1, -1, 6})
        << (upToBootloader + QStringList{"Writting firmware ... ", "ERROR"}) << none << 5 << true;
    QTest::newRow("external flash write fails") << fault({sim::Fault::Stall, 6, -1, 0, -1, 0, 0x40})
        << (upToBootloader + QStringList{"Writting firmware ... ", "OK", "Writting External Flash ... ", "Error"})
        << none << kPages << true;
    // The unit leaves the bus in the middle of its external flash, where
    // another VR480 waits in its bootloader.
    QTest::newRow("another VR480 after a failed write") << Setup([](QTemporaryDir &) {
        sim::addFault({sim::Fault::Unplug, 6, -1, 10, 1, 0, 0x40, sim::devices().first()->id()});
        sim::DeviceConfig other;
        other.mode = sim::Mode::Bootloader;
        other.applicationSerial = "VR4800002";
        other.bootloaderSerial = "VR4800002b";
        sim::addDevice(0, other);
        return QString();
    }) << (upToBootloader + QStringList{"Writting firmware ... ", "OK", "Writting External Flash ... ", "Error"})
       << none << kPages << true;
    QTest::newRow("external flash read fails") << fault({sim::Fault::Timeout, 5, -1, 0, -1})
        << (upToBootloader + QStringList{"Writting firmware ... ", "OK", "Writting External Flash ... ", "OK",
                                         "Verify External Flash ...  ", "Error"})
        << none << kPages << true;
}

void TestUpgrader::endings()
{
    QFETCH(Setup, setup);
    QFETCH(QStringList, log);
    QFETCH(QList<unsigned long>, sleeps);
    QFETCH(int, pages);
    QFETCH(bool, bootloaderRunning);
    const QByteArray tag = QTest::currentDataTag();

    sim::DeviceConfig config;
    config.mode = sim::Mode::Bootloader;
    deviceWithOldFirmware(config);
    QString path = setup(*dir);
    sim::Device &device = *sim::devices().first();
    if (path.isEmpty())
        path = file;
    Worker worker;
    // Rows whose worker follows serials, as --serial makes it.
    const QMap<QByteArray, QList<QByteArray>> followed{
        {"serial not the selected one", {"VR4800001bX", "VR4800001bXb"}},
        {"serial not the selected one after the restart", {"VR4800001", "VR4800001bX"}}};
    worker.usb.setSerials(followed.value(tag));
    DebugCapture debug;
    QVERIFY(worker.run(path));

    log.replaceInStrings(QStringLiteral("%file"), path);
    QCOMPARE(worker.log(), log);
    QCOMPARE(worker.sleeps, sleeps);
    if (pages < 0) {
        QVERIFY(sim::events().isEmpty());
        QVERIFY(worker.percents().isEmpty());
    } else {
        QCOMPARE(worker.percents(), expectedPercents().mid(0, pages + 1));
        QVERIFY(requestCount(sim::events(), 3) <= pages + 1); // no page after a failed one
    }
    QCOMPARE(debug.count("page write ERROR"), tag == "page write fails" ? 1 : 0);
    QCOMPARE(debug.count("page read ERROR"), tag == "page read-back fails" ? 1 : 0);
    QCOMPARE(debug.count("usb->connect()\nmssleep(200)"),
             tag == "no device" || tag == "no permission" || tag == "connects at the fourth attempt" ? 3 : 0);

    const bool completed = log.mid(log.size() - 2) == QStringList{"Verify External Flash ...  ", "OK"};
    using Outcome = Upgrader::Outcome;
    const bool untouched = tag == "information block unreadable" || tag.startsWith("serial ") || tag == "no serial"
                           || tag == "never back after the restart" || tag == "restart not taken"
                           || tag == "serial lost after the restart";
    QCOMPARE(worker.upgrader.outcome(), completed ? Outcome::Written
                                        : tag.startsWith("damaged") ? Outcome::BadChecksum
                                        : pages < 0 ? Outcome::BadFile
                                        : tag == "no device" || tag == "no permission" ? Outcome::NoDevice
                                        : untouched ? Outcome::Untouched
                                        : tag == "page write fails" ? Outcome::PageWriteFailed
                                        : tag.startsWith("page ") ? Outcome::PageVerifyFailed
                                                    : Outcome::Failed);
    if (tag.startsWith("page "))
        QCOMPARE(worker.upgrader.failedPage(), 5);
    for (const sim::Event &e : sim::events()) // nothing written to another device
        QVERIFY(e.device == device.id() || e.kind != sim::Event::Control || e.requestType != 0x40
                || (e.request != 3 && e.request != 6));
    QCOMPARE(device.applicationStarts(), completed ? 1 : 0);
    QVERIFY(holds(device, completed ? image : kOldImage) || pages > 0);
    QCOMPARE(device.mode() == sim::Mode::Bootloader, bootloaderRunning);
}

// With the start check on, a run ends Started only once the application's
// serial is seen after the restart; a stop request ends it Interrupted.
void TestUpgrader::startCheck_data()
{
    QTest::addColumn<bool>("comesBack");
    QTest::addColumn<bool>("interrupt"); // asked to stop at the first pause
    QTest::addColumn<Upgrader::Outcome>("outcome");
    QTest::addColumn<QList<unsigned long>>("sleeps");
    QList<unsigned long> fifty(50, 200);
    QTest::newRow("started") << true << false << Upgrader::Outcome::Started << QList<unsigned long>{1000};
    QTest::newRow("never back") << false << false << Upgrader::Outcome::NotStarted
                                << (QList<unsigned long>{1000} + fifty);
    QTest::newRow("stopped") << true << true << Upgrader::Outcome::Interrupted << QList<unsigned long>{1000};
}

void TestUpgrader::startCheck()
{
    QFETCH(bool, comesBack);
    QFETCH(bool, interrupt);
    QFETCH(Upgrader::Outcome, outcome);
    QFETCH(QList<unsigned long>, sleeps);
    sim::DeviceConfig config;
    config.mode = sim::Mode::Bootloader;
    config.comesBack = comesBack;
    sim::Device &device = deviceWithOldFirmware(config);
    Worker worker;
    worker.upgrader.setStartCheck(true);
    worker.upgrader.setSleeper([&](unsigned long ms) {
        worker.sleeps << ms;
        if (interrupt)
            worker.upgrader.requestInterruption();
    });
    DebugCapture quiet;
    QVERIFY(worker.run(file));
    QCOMPARE(worker.upgrader.outcome(), outcome);
    QCOMPARE(worker.sleeps, sleeps);
    QVERIFY(holds(device, image));
    // One line more when the new application does not come.
    QCOMPARE(worker.log().last(), outcome == Upgrader::Outcome::NotStarted ? "Application not started" : "OK");
}

// Under Windows' rules the bootloader, a new device instance, cannot be opened for a
// while after the restart: the run waits, says so once, and spends no try meanwhile.
void TestUpgrader::newInstanceIsWaitedFor()
{
    sim::Device &device = deviceWithOldFirmware();
    sim::setWindowsRules({true, 3000});
    Worker worker;
    worker.upgrader.setSleeper([](unsigned long ms) { QThread::msleep(ms == 200 ? ms : 0); });
    DebugCapture quiet;
    QVERIFY(worker.run(file));
    QCOMPARE(worker.upgrader.outcome(), Upgrader::Outcome::Written);
    QVERIFY(holds(device, image));
    QCOMPARE(worker.log().filter(QStringLiteral("cannot be opened yet")).size(), 1);
}

// A byte stored wrongly in the external flash: the run shows both dumps and
// leaves the bootloader running.
void TestUpgrader::externalFlashMismatch()
{
    sim::DeviceConfig config;
    config.mode = sim::Mode::Bootloader;
    sim::Device &device = deviceWithOldFirmware(config);
    sim::addFault({sim::Fault::Corrupt, 6, -1, 10, 1, 0, 0x40});
    Worker worker;
    DebugCapture quiet;
    QVERIFY(worker.run(file));

    const QStringList log = worker.log();
    QCOMPARE(log.mid(0, 10), (QStringList{file, "VR4800001b", "BOOT v2.04", "Bootloader mode",
                                          "Writting firmware ... ", "OK", "Writting External Flash ... ",
                                          "OK", "Verify External Flash ...  ", "Error"}));
    QCOMPARE(log.size(), 14);
    QCOMPARE(log.at(10), QStringLiteral("read_buffer"));
    QCOMPARE(log.at(12), QStringLiteral("ext_datas.data()"));
    const QByteArray expected = externalOf(image);
    const QStringList wanted = dumpRows(QString::fromLatin1(HexDump(expected.constData(), kExternalSize)));
    const QStringList readBack = dumpRows(log.at(11));
    QCOMPARE(dumpRows(log.at(13)), wanted);
    QCOMPARE(readBack.size(), kExternalSize / 16);
    int differing = 0;
    for (int row = 0; row < readBack.size(); ++row)
        differing += readBack.at(row) != wanted.at(row);
    QCOMPARE(differing, 1); // the one corrupted word

    QCOMPARE(device.applicationStarts(), 0);
    QCOMPARE(device.mode(), sim::Mode::Bootloader);
    QCOMPARE(sim::openHandles(), 1);
}

// Each control transfer of a full upgrade fails in turn, or silently carries a
// wrong byte. Whatever the run makes of it, the new application may start only
// over the whole verified image, and a second run brings the device to the
// new firmware.
void TestUpgrader::faultSweep_data()
{
    QTest::addColumn<sim::Fault>("fault");
    QTest::newRow("timeout") << sim::Fault::Timeout;
    QTest::newRow("corrupt") << sim::Fault::Corrupt;
}

void TestUpgrader::faultSweep()
{
    QFETCH(sim::Fault, fault);
    DebugCapture quiet;
    int positions = 0;
    {
        deviceWithOldFirmware();
        Worker worker;
        QVERIFY(worker.run(file));
        positions = sim::controlTransferCount();
    }
    QVERIFY(positions > 2 * kPages + kExternalWrites + kExternalReads);
    // Every position; under the sanitizers, which make each run some ten
    // times slower, every fifth.
    int stride = 1;
#if defined(__SANITIZE_ADDRESS__)
    stride = 5;
#endif
    QMap<QString, int> endings;
    int covered = 0;
    for (int position = 0; position < positions; position += stride, ++covered) {
        quiet.clear();
        sim::reset();
        sim::setRecording(false);
        sim::Device &device = deviceWithOldFirmware();
        sim::addFault({fault, -1, position});
        Worker worker;
        QVERIFY(worker.run(file));
        const bool started = device.applicationStarts() > 0;
        QVERIFY2(!started || holds(device, image), qPrintable(QString::number(position)));
        // The run's last line, passing over the dumps of a verification.
        QStringList log = worker.log();
        while (log.last().startsWith(QLatin1Char('\n')))
            log.removeLast();
        ++endings[(started ? QStringLiteral("started after \"") : QStringLiteral("not started after \""))
                  + log.last().section(QLatin1Char('\n'), 0, 0) + QLatin1Char('"')];

        sim::clearFaults();
        QVERIFY(worker.run(file));
        QVERIFY2(holds(device, image) && device.applicationStarts() > 0
                     && device.mode() == sim::Mode::Application,
                 qPrintable(QString::number(position)));
    }
    QString summary;
    for (auto it = endings.cbegin(); it != endings.cend(); ++it)
        summary += QStringLiteral("; %1 x %2").arg(it.value()).arg(it.key());
    qInfo("%d of %d transfer positions%s", covered, positions, qPrintable(summary));
}

// Runs that only read: the differences named, no write request, the device
// back in the firmware it was found running, also when stopped.
void TestUpgrader::readBack_data()
{
    using Job = Upgrader::Job;
    using Outcome = Upgrader::Outcome;
    QTest::addColumn<bool>("fromApplication");
    QTest::addColumn<Job>("job");
    QTest::addColumn<int>("changed"); // image offset of a byte the device holds changed, -1: none
    QTest::addColumn<int>("stopAt");  // the percent of the pages at which it is stopped, -1: never
    QTest::addColumn<Outcome>("outcome");
    QTest::addColumn<QString>("difference");

    const auto row = [](const char *name, bool app, Job job, int changed, int stopAt, Outcome outcome,
                        const char *difference = "") {
        QTest::newRow(name) << app << job << changed << stopAt << outcome << QString::fromLatin1(difference);
    };
    row("matches, application", true, Job::Verify, -1, -1, Outcome::Matches);
    row("matches, bootloader", false, Job::Verify, -1, -1, Outcome::Matches);
    row("first page", true, Job::Verify, kApplicationOffset, -1, Outcome::Differs,
        "page 1 of 120 (at 0x08004000) differs from byte 0x08004000");
    row("middle page", true, Job::Verify, kApplicationOffset + 60 * 2048 + 100, -1, Outcome::Differs,
        "page 61 of 120 (at 0x08022000) differs from byte 0x08022064");
    row("last page", false, Job::Verify, kApplicationOffset + kApplicationSize - 5, -1, Outcome::Differs,
        "page 120 of 120 (at 0x0803f800) differs from byte 0x0803fffb");
    row("first external chunk", true, Job::Verify, kExternalOffset, -1, Outcome::Differs,
        "external flash 0x000000-0x0001ff differs from byte 0x000000");
    row("middle external chunk", true, Job::Verify, kExternalOffset + 112 * 512 + 7, -1, Outcome::Differs,
        "external flash 0x00e000-0x00e1ff differs from byte 0x00e007");
    row("last external chunk", false, Job::Verify, kExternalOffset + kExternalSize - 1, -1, Outcome::Differs,
        "external flash 0x01be00-0x01bfff differs from byte 0x01bfff");
    row("read, application", true, Job::Read, -1, -1, Outcome::Read);
    row("read, bootloader", false, Job::Read, -1, -1, Outcome::Read);
    row("read, damaged application", true, Job::Read, kApplicationOffset + 10, -1, Outcome::Read);
    row("stopped, application", true, Job::Read, -1, 50, Outcome::Interrupted);
    row("stopped, bootloader", false, Job::Verify, -1, 50, Outcome::Interrupted);
}

void TestUpgrader::readBack()
{
    QFETCH(bool, fromApplication);
    QFETCH(Upgrader::Job, job);
    QFETCH(int, changed);
    QFETCH(int, stopAt);
    sim::DeviceConfig config;
    config.mode = fromApplication ? sim::Mode::Application : sim::Mode::Bootloader;
    sim::Device &device = deviceWithOldFirmware(config);
    QByteArray first = kOldImage; // what the device holds: its checksum words wrong after a change
    if (changed >= 0) {
        first[changed] = char(first.at(changed) ^ 0x5A);
        device.setFlash(MemoryMap::kApplicationAddress, applicationOf(first));
        device.setExternalFlash(0, scrambledCopy(externalOf(first)));
    }
    Worker worker;
    worker.upgrader.setJob(job);
    worker.upgrader.setImage(kOldImage);
    QObject::connect(
        &worker.upgrader, &Upgrader::sendPercent, &worker.upgrader,
        [&](int percent) {
            if (percent == stopAt)
                worker.upgrader.requestInterruption();
        },
        Qt::DirectConnection);
    QVERIFY(worker.run(QString()));

    QTEST(worker.upgrader.outcome(), "outcome");
    QFETCH(QString, difference);
    QCOMPARE(worker.upgrader.comparison().lines(), difference.isEmpty() ? QStringList() : QStringList{difference});
    const QList<sim::Event> events = sim::events();
    QCOMPARE(requestCount(events, 2) + requestCount(events, 3) + requestCount(events, 6), 0);
    QCOMPARE(device.mode(), config.mode);
    QCOMPARE(device.restarts(), fromApplication ? 2 : 0);
    QVERIFY(holds(device, first));
    QCOMPARE(sim::openHandles(), 0);
    if (stopAt >= 0) {
        QVERIFY(worker.upgrader.readImage().isEmpty());
        return;
    }
    QCOMPARE(requestCount(events, 1), kPages + 1); // and the information block
    QCOMPARE(requestCount(events, 5), kExternalReads);
    QCOMPARE(worker.upgrader.readImage(), first);
    if (job != Upgrader::Job::Read)
        return;
    // The backup, kept as read, rolls another release back byte for byte; a
    // damaged one only without the checksum check.
    const QString backup = dir->filePath("backup.upg");
    QVERIFY(ImageBuilder::saveUpgradeFile(backup, first, UpgradeFile::Checksums::AsGiven).ok());
    worker.upgrader.setJob(Upgrader::Job::Write);
    worker.upgrader.setImage({});
    QVERIFY(worker.run(file) && holds(device, image));
    QVERIFY(worker.run(backup));
    QCOMPARE(worker.upgrader.outcome(), changed < 0 ? Upgrader::Outcome::Written : Upgrader::Outcome::BadChecksum);
    worker.upgrader.setChecksumCheck(false);
    QVERIFY(worker.run(backup) && holds(device, first));
}

// A file that is a FIFO nobody writes to: the run waits for it, and a stop
// request (the window closing) ends the wait; the device is never touched.
void TestUpgrader::stopWhileWaitingForAFifo()
{
    SKIP_ON_WINDOWS("FIFOs: POSIX");
    deviceWithOldFirmware();
    const QString fifo = dir->filePath("fifo.upg");
    QVERIFY(makeFifo(fifo));
    Worker worker;
    worker.upgrader.slotSetFileName(fifo);
    worker.upgrader.start();
    QTest::qWait(200);
    QVERIFY(worker.upgrader.isRunning());
    worker.upgrader.requestInterruption();
    QVERIFY(worker.upgrader.wait(5000));
    QCOMPARE(worker.upgrader.outcome(), Upgrader::Outcome::InterruptedUntouched);
    QCOMPARE(worker.log(), QStringList{fifo});
    QVERIFY(sim::events().isEmpty());
}

QTEST_GUILESS_MAIN(TestUpgrader)
#include "tst_upgrader.moc"
