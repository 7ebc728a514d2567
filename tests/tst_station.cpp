// vr480-cli's station run in the test's process on simulated devices that
// the test plugs in and out, and stops, while it runs.

#include "capture.h"
#include "randomimage.h"
#include "simdevice.h"
#include "station.h"

#include <QRegularExpression>
#include <QTemporaryFile>
#include <QtTest>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <functional>
#include <memory>
#include <thread>
#include <unistd.h>

namespace {

// A VR480 with the serial VR480000<number>, restarting in `restartMs`.
sim::Device &addNumbered(int number, int restartMs = 0)
{
    sim::DeviceConfig config;
    config.applicationSerial = "VR480000" + QByteArray::number(number);
    config.bootloaderSerial = config.applicationSerial + 'b';
    config.restartDelayMs = restartMs;
    return sim::addDevice(0, config);
}

sim::Device &device(int number)
{
    return *sim::devices().at(number - 1);
}

int openableMs; // the station's wait for a VR480 that cannot be opened yet

int scans()
{
    int count = 0;
    for (const sim::Event &event : sim::events())
        count += event.kind == sim::Event::FindDevices;
    return count;
}

// A station on a thread of its own, writing into a file.
class Station {
public:
    Station(const QList<QByteArray> &serials, int count)
    {
        if (!file.open())
            qFatal("cannot make the station's output file");
        stream = fdopen(dup(file.handle()), "w");
        cli::StationPlan plan{{QStringLiteral("fw.upg"), {}}, randomUpgradeImage(3), serials, count, 20, stream, false,
                              [this] { return stops.load(); }, openableMs};
        thread = std::thread([this, plan] {
            result = cli::runStation(plan, report);
            done = true;
        });
    }
    ~Station()
    {
        stops = 2;
        thread.join();
        std::fclose(stream);
    }
    QString output()
    {
        QFile read(file.fileName());
        return read.open(QIODevice::ReadOnly) ? QString::fromLocal8Bit(read.readAll()) : QString();
    }
    // "SERIAL: upgraded failed ..." for each serial, in order of serial: the
    // units' lines as they came.
    QStringList units()
    {
        static const QRegularExpression unitLine(QStringLiteral("^(\\S+) +[0-9]+\\.[0-9]  (.*)$"),
                                                 QRegularExpression::MultilineOption);
        QMap<QString, QString> bySerial;
        for (auto match = unitLine.globalMatch(output()); match.hasNext();) {
            const QRegularExpressionMatch line = match.next();
            bySerial[line.captured(1)] +=
                line.captured(2).startsWith(QLatin1String("upgraded: ")) ? QStringLiteral(" upgraded")
                                                                        : QStringLiteral(" failed");
        }
        QStringList list;
        for (auto it = bySerial.cbegin(); it != bySerial.cend(); ++it)
            list << it.key() + QLatin1Char(':') + it.value();
        return list;
    }

    std::atomic<int> stops{0};
    std::atomic<bool> done{false};
    cli::Result result;

private:
    QTemporaryFile file;
    std::FILE *stream = nullptr;
    cli::UnitReport report; // no file: the records go nowhere
    std::thread thread;
};

// Waits until the station has written a line that matches `pattern`.
void waitFor(Station &station, const QString &pattern)
{
    const QRegularExpression line(pattern, QRegularExpression::MultilineOption);
    QTRY_VERIFY2_WITH_TIMEOUT(station.output().contains(line), qPrintable(pattern), 60000);
}

// Waits until the bus has been scanned `count` more times.
void afterScans(int count)
{
    const int target = scans() + count;
    QTRY_VERIFY_WITH_TIMEOUT(scans() >= target, 60000);
}

const QString kFirstDone = QStringLiteral("^VR4800001 +[0-9.]+  ");   // its unit's line
const QString kFirstWriting = QStringLiteral("^VR4800001: Flash: 10%"); // while it runs

using Setup = std::function<void()>;
using Script = std::function<void(Station &)>;

} // namespace

Q_DECLARE_METATYPE(Setup)
Q_DECLARE_METATYPE(Script)

class TestStation : public QObject {
    Q_OBJECT

    std::unique_ptr<DebugCapture> quiet;

private slots:
    void initTestCase() { quiet = std::make_unique<DebugCapture>(); }
    void init() { sim::reset(); openableMs = usb::openableWithinMs(); }

    void arrivals_data()
    {
        QTest::addColumn<Setup>("setup");
        QTest::addColumn<QList<QByteArray>>("serials"); // --serial
        QTest::addColumn<int>("count");                 // --count
        QTest::addColumn<Script>("script");
        QTest::addColumn<QStringList>("units");
        QTest::addColumn<int>("status");

        const Setup one([] { addNumbered(1, 200); });
        // Slow enough for a stop while the application is written.
        const Setup slow([] {
            addNumbered(1);
            addNumbered(2).unplug();
            sim::setLatency(2000);
        });
        const Setup two([] {
            addNumbered(1);
            addNumbered(2);
        });
        QTest::newRow("restarts and stays attached: one unit") << one << QList<QByteArray>() << 0 << Script([](Station &s) {
            waitFor(s, kFirstDone);
            afterScans(5);
            s.stops = 1;
        }) << QStringList{"VR4800001: upgraded"} << 0;
        QTest::newRow("unplugged, plugged in again: two units") << one << QList<QByteArray>() << 2 << Script([](Station &s) {
            waitFor(s, kFirstDone);
            device(1).unplug();
            afterScans(3);
            device(1).plugIn();
        }) << QStringList{"VR4800001: upgraded upgraded"} << 0;
        QTest::newRow("unplugged and plugged in between two scans") << one << QList<QByteArray>() << 2 << Script([](Station &s) {
            waitFor(s, kFirstDone);
            device(1).unplug();
            device(1).plugIn();
        }) << QStringList{"VR4800001: upgraded upgraded"} << 0;
        QTest::newRow("failed, plugged in again: retried") << Setup([] {
            addNumbered(1);
            sim::addFault({sim::Fault::Unplug, 3, -1, 30, 1, 0, -1, 0});
        }) << QList<QByteArray>() << 2 << Script([](Station &s) {
            waitFor(s, kFirstDone);
            device(1).plugIn();
        }) << QStringList{"VR4800001: failed upgraded"} << 1;
        QTest::newRow("plugged in while another runs") << Setup([] {
            addNumbered(1);
            addNumbered(2).unplug();
        }) << QList<QByteArray>() << 2 << Script([](Station &s) {
            waitFor(s, kFirstWriting);
            device(2).plugIn();
        }) << QStringList{"VR4800001: upgraded", "VR4800002: upgraded"} << 0;
        QTest::newRow("--serial") << two << QList<QByteArray>{"VR4800002"} << 1 << Script([](Station &) {})
                                  << QStringList{"VR4800002: upgraded"} << 0;
        QTest::newRow("first stop: running upgrades end, no new device") << slow << QList<QByteArray>() << 0 << Script([](Station &s) {
            waitFor(s, kFirstWriting);
            s.stops = 1;
            device(2).plugIn();
        }) << QStringList{"VR4800001: upgraded"} << 0;
        QTest::newRow("second stop: running upgrades stopped") << slow << QList<QByteArray>() << 0 << Script([](Station &s) {
            waitFor(s, kFirstWriting);
            s.stops = 1;
            s.stops = 2;
        }) << QStringList{"VR4800001: failed"} << 130;
        QTest::newRow("a device this user may not open: said") << Setup([] {
            sim::DeviceConfig config = addNumbered(1).config();
            config.denyAccess = true;
            device(1).setConfig(config);
            openableMs = 300;
        }) << QList<QByteArray>() << 0 << Script([](Station &s) {
            // Waited for, then the refusal in the system's words: no permission, or not bound.
            waitFor(s, QStringLiteral("^a VR480 is on the bus \\(bus 001, device 001\\), but (this user|it cannot "
                                      "be opened:)"));
            QCOMPARE(s.output().count(QLatin1String("cannot be opened yet")), 1);
            s.stops = 1;
        }) << QStringList() << 5;
        // A twin while the unit waits for its bootloader: neither is upgraded,
        // and the twin is a unit of its own.
        QTest::newRow("a twin arrives") << Setup([] {
            addNumbered(1);
            addNumbered(1).unplug();
        }) << QList<QByteArray>() << 2 << Script([](Station &s) {
            waitFor(s, QStringLiteral("^VR4800001: Reset device"));
            device(2).plugIn();
        }) << QStringList{"VR4800001: failed failed"} << 1;
        QTest::newRow("an empty serial: said") << Setup([] {
            sim::DeviceConfig config = addNumbered(1).config();
            config.applicationSerial = "";
            device(1).setConfig(config);
        }) << QList<QByteArray>() << 1 << Script([](Station &) {}) << QStringList{"\"\": failed"} << 1;
        QTest::newRow("arrivals under Windows' rules") << Setup([] {
            addNumbered(1);
            addNumbered(2).unplug();
            addNumbered(3).unplug();
            sim::setWindowsRules({true, 1500}); // the first one is seen, the others are new
            sim::setLatency(2000);
        }) << QList<QByteArray>() << 3 << Script([](Station &s) {
            waitFor(s, kFirstWriting);
            device(2).plugIn();
            device(3).plugIn();
        }) << QStringList{"VR4800001: upgraded", "VR4800002: upgraded", "VR4800003: upgraded"} << 0;
        QTest::newRow("stopped before any device") << Setup([] { addNumbered(1).unplug(); }) << QList<QByteArray>() << 0
                                                   << Script([](Station &s) { s.stops = 1; }) << QStringList() << 5;
    }

    void arrivals()
    {
        QFETCH(Setup, setup);
        QFETCH(QList<QByteArray>, serials);
        QFETCH(int, count);
        QFETCH(Script, script);
        QFETCH(QStringList, units);
        QFETCH(int, status);
        setup();
        Station station(serials, count);
        script(station);
        QTRY_VERIFY_WITH_TIMEOUT(station.done, 120000);

        QCOMPARE(station.units(), units);
        QCOMPARE(station.result.status, status);
        for (const sim::Device *d : sim::devices()) {
            const QString serial = QString::fromLatin1(d->config().applicationSerial);
            const QString line = units.filter(serial + QLatin1Char(':')).value(0);
            QCOMPARE(d->applicationStarts(), int(line.count(QLatin1String("upgraded"))));
        }
        // No object meets another's handle; a device only waited for is not refused.
        for (const sim::Event &e : sim::events())
            QVERIFY(e.kind != sim::Event::Open || e.value != EACCES);
        if (!QByteArray(QTest::currentDataTag()).contains("may not open"))
            QVERIFY(!station.output().contains(QLatin1String("but it cannot be opened:")));
        const QString last = station.output().trimmed().section(QLatin1Char('\n'), -1);
        QCOMPARE(last, QStringLiteral("%1 upgraded, %2 failed")
                           .arg(units.join(QLatin1Char(' ')).count(QLatin1String(" upgraded")))
                           .arg(units.join(QLatin1Char(' ')).count(QLatin1String(" failed"))));
    }
};

QTEST_GUILESS_MAIN(TestStation)
#include "tst_station.moc"
