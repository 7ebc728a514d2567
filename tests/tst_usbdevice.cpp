// The USB transport against simulated devices: the scan and identity check,
// on-demand connection, closing on failure, the transfer debug lines and the
// device lock.

#include "buswatcher.h"
#include "capture.h"
#include "simtrail.h"
#include "system.h"
#include "usbvr480.h"

#include <QThread>
#include <QtTest>

#include <atomic>
#include <cerrno>
#include <memory>
#include <vector>

using sim::Event;

Q_DECLARE_METATYPE(usb::Refusal)

namespace {

sim::DeviceConfig vr480()
{
    return sim::DeviceConfig();
}

sim::DeviceConfig otherDevice()
{
    sim::DeviceConfig config;
    config.vendorId = 0x1234;
    config.productId = 0x5678;
    return config;
}

// A VR480 with the serial VR480000<number>.
sim::DeviceConfig numbered(int number, sim::Mode mode = sim::Mode::Application)
{
    sim::DeviceConfig config;
    config.mode = mode;
    config.applicationSerial = "VR480000" + QByteArray::number(number);
    config.bootloaderSerial = config.applicationSerial + 'b';
    return config;
}

// What happened to one device, without the scans.
QStringList trailOf(const sim::Device &device)
{
    QList<Event> mine;
    for (const Event &e : sim::events())
        if (e.device == device.id())
            mine << e;
    return deviceTrail(mine);
}

// The controls transfers that reached the given device.
QList<Event> transfersTo(const sim::Device &device)
{
    QList<Event> out;
    for (const Event &e : sim::controlTransfers())
        if (e.device == device.id())
            out << e;
    return out;
}

QStringList linesStartingWith(const QStringList &lines, const QString &prefix)
{
    QStringList out;
    for (const QString &line : lines)
        if (line.startsWith(prefix))
            out << line;
    return out;
}

} // namespace

class TestUsbDevice : public QObject {
    Q_OBJECT

private slots:
    void init() { sim::reset(); }

    void scanWithoutMatchingDevice()
    {
        sim::addDevice(0, otherDevice());
        sim::addDevice(2, otherDevice());
        USBVR480 usb;
        DebugCapture capture;
        QCOMPARE(usb.connect(), -1);
        QCOMPARE(usb.isOpen(), -1);

        const QStringList lines = capture.lines();
        QCOMPARE(lines.first(), QStringLiteral("USB Connect"));
        QCOMPARE(linesStartingWith(lines, QStringLiteral("bus: ")).size(), 3); // buses 0, 1 and 2
        QCOMPARE(linesStartingWith(lines, QStringLiteral("bus->devices: ")).size(), 2);
        QCOMPARE(capture.count(QStringLiteral("dev->descriptor.idVendor:  1234")), 2);
        QCOMPARE(capture.count(QStringLiteral("dev->descriptor.idProduct:  5678")), 2);
        QCOMPARE(capture.count(QStringLiteral("dev->descriptor.iSerialNumber:  3")), 2);
        QCOMPARE(capture.count(QStringLiteral("dev->descriptor.bMaxPacketSize0:  40")), 2);
        QCOMPARE(deviceTrail(sim::events()), QStringList()); // nothing opened
    }

    void acceptedDeviceStaysOpenWithInterfaceClaimed()
    {
        sim::addDevice();
        USBVR480 usb;
        DebugCapture capture;
        QCOMPARE(usb.connect(), 0);
        QCOMPARE(usb.isOpen(), 0);
        QCOMPARE(deviceTrail(sim::events()),
                 QStringList({"open", "config 1", "claim 0", "c0:ff", "c0:fe"}));
        const QStringList lines = capture.lines();
        QVERIFY(lines.contains(QStringLiteral("usb_opened ")));
        QVERIFY(lines.contains(QStringLiteral("usb_set_configuration ")));
        QVERIFY(lines.contains(QStringLiteral("usb_claim_interface ")));
        QVERIFY(lines.contains(QStringLiteral("\nvrid: 1e0")));
        QVERIFY(lines.contains(QStringLiteral("\nUSB_VR302_ID: 1e0")));
        QVERIFY(lines.contains(QStringLiteral("\nbrandid: 0")));
        QVERIFY(lines.contains(QStringLiteral("\nAPP_BRAND_ID: 0")));
        QVERIFY(!lines.contains(QStringLiteral("USB Disconnect")));
    }

    void wrongIdentityIsDropped_data()
    {
        QTest::addColumn<int>("family");
        QTest::addColumn<int>("brand");
        QTest::addColumn<QStringList>("expectedTrail");
        QTest::addColumn<QString>("expectedLine");
        const QStringList familyOnly = {"open", "config 1", "claim 0", "c0:ff", "release 0", "close"};
        const QStringList both = {"open", "config 1", "claim 0", "c0:ff", "c0:fe", "release 0", "close"};
        QTest::newRow("other family") << 0x0123 << 0 << familyOnly << "\nvrid: 123";
        QTest::newRow("negative family") << -2 << 0 << familyOnly << "\nvrid: fffffffe";
        QTest::newRow("other brand") << 0x01E0 << 7 << both << "\nbrandid: 7";
    }
    void wrongIdentityIsDropped()
    {
        QFETCH(int, family);
        QFETCH(int, brand);
        QFETCH(QStringList, expectedTrail);
        QFETCH(QString, expectedLine);
        sim::DeviceConfig config;
        config.familyId = qint16(family);
        config.brandId = qint16(brand);
        sim::addDevice(0, config);
        USBVR480 usb;
        DebugCapture capture;
        QCOMPARE(usb.connect(), -1);
        QCOMPARE(usb.isOpen(), -1);
        QCOMPARE(deviceTrail(sim::events()), expectedTrail);
        QVERIFY2(capture.lines().contains(expectedLine), qPrintable(capture.lines().join('|')));
        QCOMPARE(capture.lines().last(), QStringLiteral("USB Disconnect"));
    }

    // Each device in turn: its descriptor lines, then, for the right ids, its
    // opening and identity check; nothing after the device taken.
    void scanLinesInOrder_data()
    {
        QTest::addColumn<QStringList>("devices"); // bus:kind
        QTest::addColumn<QString>("expected");
        QTest::newRow("first acceptable ends the scan") << QStringList{"0:other", "0:wrong", "1:vr480", "1:vr480", "2:vr480"}
                                                        << "bus 1234 16c0 open check drop bus 16c0 open check";
        QTest::newRow("none acceptable") << QStringList{"0:wrong", "1:other", "1:wrong"}
                                         << "bus 16c0 open check drop bus 1234 16c0 open check drop";
    }
    void scanLinesInOrder()
    {
        QFETCH(QStringList, devices);
        QFETCH(QString, expected);
        for (const QString &device : devices) {
            sim::DeviceConfig config = device.endsWith("other") ? otherDevice() : vr480();
            config.familyId = device.endsWith("wrong") ? 0x0300 : config.familyId;
            sim::addDevice(device.section(':', 0, 0).toInt(), config);
        }
        USBVR480 usb;
        DebugCapture capture;
        QCOMPARE(usb.connect(), expected.endsWith("drop") ? -1 : 0);
        QStringList seen;
        const QMap<QString, QString> words{{"bus: ", "bus"}, {"usb_opened ", "open"}, {"\nvrid: ", "check"}, {"USB Disconnect", "drop"}};
        for (const QString &line : capture.lines()) {
            if (line.startsWith("dev->descriptor.idVendor: "))
                seen << line.section(' ', -1);
            for (auto word = words.begin(); word != words.end(); ++word)
                if (line.startsWith(word.key()))
                    seen << *word;
        }
        QCOMPARE(seen.join(' '), expected);
    }

    void shortIdentityAnswerDropsTheDevice()
    {
        sim::Device &first = sim::addDevice(0, vr480());
        sim::Device &second = sim::addDevice(0, vr480());
        sim::addFault({sim::Fault::Short, 0xFF, -1, 0, 1, 1});
        USBVR480 usb;
        DebugCapture capture;
        QCOMPARE(usb.connect(), 0);
        // The first device answered one byte and was closed; the second was taken.
        QCOMPARE(transfersTo(first).size(), 1);
        QCOMPARE(transfersTo(second).size(), 2);
        QVERIFY(capture.lines().contains(QStringLiteral("USB Disconnect")));
        QCOMPARE(usb.control_receive(0xFF, 0, 0, QByteArray(2, 0).data(), 2), 2);
        QCOMPARE(transfersTo(second).size(), 3);
    }

    void failedIdentityTransferClosesAndScanGoesOn()
    {
        sim::Device &first = sim::addDevice(0, vr480());
        sim::Device &second = sim::addDevice(1, vr480());
        sim::addFault({sim::Fault::Stall, 0xFE, -1, 0, 1, 0});
        USBVR480 usb;
        QCOMPARE(usb.connect(), 0);
        QCOMPARE(deviceTrail(sim::events()),
                 QStringList({"open", "config 1", "claim 0", "c0:ff", "c0:fe", "release 0", "close",
                              "open", "config 1", "claim 0", "c0:ff", "c0:fe"}));
        QCOMPARE(sim::events().at(1).device, first.id());
        QCOMPARE(transfersTo(second).size(), 2);
    }

    void firstAcceptableDeviceInBusOrderIsTaken()
    {
        sim::DeviceConfig wrongFamily;
        wrongFamily.familyId = 0x0300;
        sim::addDevice(0, otherDevice());
        sim::addDevice(0, wrongFamily);
        sim::Device &taken = sim::addDevice(1, vr480());
        sim::Device &later = sim::addDevice(1, vr480());
        sim::Device &lastBus = sim::addDevice(2, vr480());
        USBVR480 usb;
        QCOMPARE(usb.connect(), 0);
        char answer[2];
        QCOMPARE(usb.control_receive(0xFE, 0, 0, answer, 2), 2);
        QCOMPARE(transfersTo(taken).size(), 3);
        QCOMPARE(transfersTo(later).size(), 0);
        QCOMPARE(transfersTo(lastBus).size(), 0);
    }

    void openConfigurationAndClaimFailuresSkipTheDevice_data()
    {
        QTest::addColumn<int>("failure");
        QTest::addColumn<QStringList>("expectedTrail");
        const QStringList good = {"open", "config 1", "claim 0", "c0:ff", "c0:fe"};
        QTest::newRow("open") << 0 << QStringList({"open failed"}) + good;
        QTest::newRow("configuration")
            << 1 << QStringList({"open", "config 1", "release 0", "close"}) + good;
        QTest::newRow("claim")
            << 2 << QStringList({"open", "config 1", "claim 0", "release 0", "close"}) + good;
    }
    void openConfigurationAndClaimFailuresSkipTheDevice()
    {
        QFETCH(int, failure);
        QFETCH(QStringList, expectedTrail);
        sim::DeviceConfig broken;
        broken.failOpen = failure == 0;
        broken.failSetConfiguration = failure == 1;
        broken.failClaim = failure == 2;
        sim::addDevice(0, broken);
        sim::Device &good = sim::addDevice(0, vr480());
        USBVR480 usb;
        QCOMPARE(usb.connect(), 0);
        QCOMPARE(deviceTrail(sim::events()), expectedTrail);
        QCOMPARE(transfersTo(good).size(), 2);
    }

    // What the system's refusals mean: a device node's permissions on Linux,
    // the driver binding on Windows; other failures are not refusals.
    void refusalOf_data()
    {
        QTest::addColumn<int>("error");
        QTest::addColumn<usb::Refusal>("onLinux");
        QTest::addColumn<usb::Refusal>("onWindows");
        using usb::Refusal;
        QTest::newRow("EACCES") << EACCES << Refusal::NoPermission << Refusal::NotBound;
        QTest::newRow("EPERM") << EPERM << Refusal::NoPermission << Refusal::NotBound;
        QTest::newRow("ENOSYS") << ENOSYS << Refusal::NotBound << Refusal::NotBound;
        QTest::newRow("EBUSY") << EBUSY << Refusal::None << Refusal::None;
        QTest::newRow("ENODEV") << ENODEV << Refusal::None << Refusal::None;
        QTest::newRow("EIO") << EIO << Refusal::None << Refusal::None;
    }
    void refusalOf()
    {
        QFETCH(int, error);
        QFETCH(usb::Refusal, onWindows);
        QFETCH(usb::Refusal, onLinux);
        QCOMPARE(usb::refusalOf(error), kOnWindows ? onWindows : onLinux);
    }

    // A device this user may not open is named, so that the callers can say
    // what is wrong; other failures to open name nothing.
    void deniedDevice_data()
    {
        QTest::addColumn<bool>("denied");
        QTest::addColumn<bool>("failsOtherwise");
        QTest::addColumn<bool>("usableToo");
        QTest::addColumn<int>("connected");
        QTest::addColumn<QString>("named");
        QTest::newRow("denied") << true << false << false << -1 << "bus 001, device 001";
        QTest::newRow("open fails otherwise") << false << true << false << -1 << "";
        QTest::newRow("denied, a usable one after it") << true << false << true << 0 << "bus 001, device 001";
        // Opened and configured, every vendor request refused as not supported.
        QTest::newRow("bound to HID") << false << false << false << -1 << "bus 001, device 001";
    }
    void deniedDevice()
    {
        QFETCH(bool, denied);
        QFETCH(bool, failsOtherwise);
        QFETCH(bool, usableToo);
        QFETCH(int, connected);
        QFETCH(QString, named);
        const bool hid = QTest::currentDataTag() == QByteArray("bound to HID");
        if (hid)
            sim::addFault({sim::Fault::NotSupported, 0xFF});
        sim::DeviceConfig config = vr480();
        config.denyAccess = denied;
        config.failOpen = failsOtherwise;
        sim::Device &device = sim::addDevice(0, config);
        if (usableToo)
            sim::addDevice(0, vr480());
        USBVR480 usb;
        QCOMPARE(usb.connect(), connected);
        QCOMPARE(usb.deniedDevice().place, named);
        // The simulated node may only be read: its configuration is refused.
        QCOMPARE(usb.deniedDevice().why, named.isEmpty() ? usb::Refusal::None : usb::refusalOf(hid ? ENOSYS : EPERM));

        // Allowed again: the next connection forgets it.
        config.denyAccess = config.failOpen = false;
        device.setConfig(config);
        QCOMPARE(usb.connect(), 0);
        QCOMPARE(usb.deniedDevice().place, QString());
    }

    // The device object keeps how its last transfer or connection failed,
    // with the system's errno and the device's place.
    void lastFailure_data()
    {
        using Kind = usb::Failure::Kind;
        QTest::addColumn<bool>("attached");
        QTest::addColumn<int>("fault"); // on the read; -1: none
        QTest::addColumn<int>("kind");
        QTest::addColumn<int>("error");
        QTest::newRow("answered") << true << -1 << int(Kind::None) << 0;
        QTest::newRow("no device") << false << -1 << int(Kind::NotFound) << 0;
        QTest::newRow("timed out") << true << int(sim::Fault::Timeout) << int(Kind::TimedOut) << ETIMEDOUT;
        QTest::newRow("stalled") << true << int(sim::Fault::Stall) << int(Kind::Stalled) << EPIPE;
        QTest::newRow("gone") << true << int(sim::Fault::Unplug) << int(Kind::Gone) << ENODEV;
        QTest::newRow("short") << true << int(sim::Fault::Short) << int(Kind::Short) << 0;
        QTest::newRow("no vendor requests") << true << int(sim::Fault::NotSupported) << int(Kind::Denied) << ENOSYS;
    }
    void lastFailure()
    {
        QFETCH(bool, attached);
        QFETCH(int, fault);
        QFETCH(int, kind);
        QFETCH(int, error);
        if (attached)
            sim::addDevice(0, vr480());
        USBVR480 usb;
        QCOMPARE(usb.connect(), attached ? 0 : -1);
        if (fault >= 0)
            sim::addFault({sim::Fault(fault), 1, -1, 0, 1, 10});
        char buffer[64];
        usb.control_receive(1, 0, 0x0800, buffer, int(sizeof buffer));
        const usb::Failure failure = usb.lastFailure();
        QCOMPARE(int(failure.kind), kind);
        QCOMPARE(failure.error, error);
        QCOMPARE(failure.place, kind == int(usb::Failure::Kind::None) || !attached ? QString()
                                                                                   : QStringLiteral("bus 001, device 001"));
    }

    // With one handle per device (WinUSB), objects of the process never meet
    // each other's: a connection waits while another object checks the
    // device, in one enumeration, and a watcher takes the serials of held
    // devices from their holders.
    void oneHandlePerDevice()
    {
        sim::addDevice(0, numbered(2)); // checked by the first object on its way to its own
        sim::addDevice(0, numbered(1));
        sim::setWindowsRules({true, 0});
        sim::setLatency(100000);
        USBVR480 first, second;
        BusWatcher watcher(std::make_unique<USBVR480>());
        first.selectSerial("VR4800001");
        second.selectSerial("VR4800002");
        std::unique_ptr<QThread> thread(QThread::create([&] { first.connect(); }));
        thread->start();
        QTRY_VERIFY(!sim::events().isEmpty() && sim::events().last().kind == Event::Control);
        QCOMPARE(second.connect(), 0);
        QVERIFY(thread->wait(10000));
        QCOMPARE(QList<int>({first.isOpen(), sim::enumerations()}), QList<int>({0, 2}));
        const QList<UsbDevice::Attached> seen = watcher.scan();
        QCOMPARE(seen.value(0).serial + seen.value(1).serial, QByteArray("VR4800002VR4800001"));
        for (const Event &e : sim::events())
            QVERIFY(e.kind != Event::Open || e.result == 0);
    }

    void connectOnOpenObjectClosesAndRescans()
    {
        sim::addDevice();
        USBVR480 usb;
        QCOMPARE(usb.connect(), 0);
        sim::clearEvents();
        DebugCapture capture;
        QCOMPARE(usb.connect(), 0);
        QCOMPARE(trail(sim::events()).mid(0, 3), QStringList({"close", "scan", "open"}));
        QCOMPARE(capture.lines().first(), QStringLiteral("USB Connect"));
        QVERIFY(!capture.lines().contains(QStringLiteral("USB Disconnect")));
    }

    void disconnectAndDestruction()
    {
        sim::addDevice();
        {
            USBVR480 usb;
            DebugCapture capture;
            usb.disconnect(); // closed: only the line
            QCOMPARE(capture.lines(), QStringList({"USB Disconnect"}));
            QCOMPARE(sim::events().size(), 0);
        }
        {
            auto usb = std::make_unique<USBVR480>();
            QCOMPARE(usb->connect(), 0);
            sim::clearEvents();
            DebugCapture capture;
            usb.reset();
            QCOMPARE(deviceTrail(sim::events()), QStringList({"release 0", "close"}));
            QCOMPARE(capture.lines(), QStringList({"UsbDevice destructor", "USB Disconnect"}));
        }
        {
            auto usb = std::make_unique<USBVR480>();
            DebugCapture capture;
            usb.reset();
            QCOMPARE(capture.lines(), QStringList({"UsbDevice destructor"}));
        }
    }

    void stringDescriptor()
    {
        sim::DeviceConfig config;
        config.applicationSerial = QByteArray("AB\0CD", 5);
        sim::Device &device = sim::addDevice(0, config);
        USBVR480 usb;
        QCOMPARE(usb.readStringDescriptor(), QByteArray()); // closed: nothing, no connection
        QCOMPARE(sim::events().size(), 0);

        QCOMPARE(usb.connect(), 0);
        QCOMPARE(usb.readStringDescriptor(), QByteArray("AB")); // up to the zero unit

        config.applicationSerial = "VR4800001"; // no terminating zero unit
        device.setConfig(config);
        QCOMPARE(usb.readStringDescriptor(), QByteArray("VR4800001"));
        const Event read = sim::controlTransfers().last();
        QCOMPARE(read.requestType, 0x80);
        QCOMPARE(read.request, 6);
        QCOMPARE(read.value, 0x0303);

        // A failed read gives nothing.
        sim::addFault({sim::Fault::Stall, 6, -1, 0, 1, 0});
        QCOMPARE(usb.readStringDescriptor(), QByteArray());
    }

    void bulkNeedsBufferLengthAndOpenDevice()
    {
        sim::addDevice();
        USBVR480 usb;
        char data[8] = {};
        QCOMPARE(usb.bulk_write(data, 8), -1); // closed: no on-demand connection
        QCOMPARE(usb.bulk_read(data, 8), -1);
        QCOMPARE(sim::events().size(), 0);
        QCOMPARE(usb.connect(), 0);
        sim::clearEvents();
        QCOMPARE(usb.bulk_write(nullptr, 8), -1);
        QCOMPARE(usb.bulk_write(data, 0), -1);
        QCOMPARE(usb.bulk_read(data, -1), -1);
        QCOMPARE(sim::events().size(), 0);
        // The device has no bulk endpoints: the library's error comes back and
        // the device stays open.
        QVERIFY(usb.bulk_write(data, 8) < 0);
        QCOMPARE(trail(sim::events()), QStringList({"bulk"}));
        QCOMPARE(usb.isOpen(), 0);
    }

    void sendLines()
    {
        sim::addDevice(0, vr480());
        USBVR480 usb;
        QCOMPARE(usb.connect(), 0);
        DebugCapture capture;

        // A null buffer with a length sends no data stage but names the length.
        QCOMPARE(usb.control_send(4, 0, 0, nullptr, 16), 0);
        QCOMPARE(sim::controlTransfers().last().length, 0);
        QCOMPARE(capture.lines(),
                 QStringList({"UsbDevice::control_send()",
                              "USB Control Send bRequest=4, wValue=0, wIndex=0, dataLength=16 - OK."}));

        // The restart took the device off the bus: the old handle fails.
        capture.clear();
        QCOMPARE(usb.control_send(4, 0, 0, nullptr, 0), -1);
        QCOMPARE(capture.lines(),
                 QStringList({"UsbDevice::control_send()",
                              "USB Control Send bRequest=4, wValue=0, wIndex=0 - ERROR.",
                              "USB Disconnect"}));
        QCOMPARE(usb.isOpen(), -1);

        // The next transfer reconnects to the device, now in its bootloader.
        capture.clear();
        QCOMPARE(usb.control_send(4, 0, 0, nullptr, 0), 0);
        QCOMPARE(capture.lines().at(0), QStringLiteral("UsbDevice::control_send()"));
        QCOMPARE(capture.lines().at(1), QStringLiteral("USB Connect"));
        QCOMPARE(capture.lines().last(),
                 QStringLiteral("USB Control Send bRequest=4, wValue=0, wIndex=0 - OK."));
    }

    void valuesAreCutToTheirFieldWidths()
    {
        sim::addDevice();
        USBVR480 usb;
        char block[32];
        DebugCapture capture;
        QCOMPARE(usb.control_receive(0x101, 0x13FD0, 0xA0800, block, 32), 32);
        const Event e = sim::controlTransfers().last();
        QCOMPARE(e.requestType, 0xC0);
        QCOMPARE(e.request, 1);
        QCOMPARE(e.value, 0x3FD0);
        QCOMPARE(e.index, 0x0800);
        QCOMPARE(capture.lines().last(),
                 QStringLiteral("USB Control Receive bRequest=1, wValue=16336, wIndex=2048, dataLength=32 - OK."));

        QCOMPARE(usb.control_send(0x304, 0x10000, 0x10001, nullptr, 0), 0);
        const Event restart = sim::controlTransfers().last();
        QCOMPARE(restart.requestType, 0x40);
        QCOMPARE(restart.request, 4);
        QCOMPARE(restart.value, 0);
        QCOMPARE(restart.index, 1);
        QCOMPARE(capture.lines().last(),
                 QStringLiteral("USB Control Send bRequest=4, wValue=0, wIndex=1 - OK."));
    }

    void shortReceiveIsASuccess()
    {
        sim::addDevice();
        USBVR480 usb;
        sim::addFault({sim::Fault::Short, 1, -1, 0, 1, 100});
        QByteArray buffer(512, '\0');
        DebugCapture capture;
        QCOMPARE(usb.control_receive(1, 0, 0x0800, buffer.data(), 512), 100);
        QCOMPARE(capture.lines().last(),
                 QStringLiteral("USB Control Receive bRequest=1, wValue=0, wIndex=2048, dataLength=512 - OK."));
        QCOMPARE(usb.isOpen(), 0);
    }

    void failedTransferClosesAndNextOneReconnects_data()
    {
        QTest::addColumn<int>("fault");
        QTest::newRow("timeout") << int(sim::Fault::Timeout);
        QTest::newRow("stall") << int(sim::Fault::Stall);
    }
    void failedTransferClosesAndNextOneReconnects()
    {
        QFETCH(int, fault);
        sim::addDevice();
        USBVR480 usb;
        QCOMPARE(usb.connect(), 0);
        sim::addFault({sim::Fault(fault), 1, -1, 0, 1, 0});
        char block[16];
        DebugCapture capture;
        QCOMPARE(usb.control_receive(1, 0, 0x0800, block, 16), -1);
        QCOMPARE(capture.lines(),
                 QStringList({"USB Control Receive bRequest=1, wValue=0, wIndex=2048, dataLength=16 - ERROR.",
                              "USB Disconnect"}));
        QCOMPARE(usb.isOpen(), -1);

        capture.clear();
        sim::clearEvents();
        QCOMPARE(usb.control_receive(1, 0, 0x0800, block, 16), 16);
        QCOMPARE(capture.lines().first(), QStringLiteral("USB Connect"));
        QCOMPARE(trail(sim::events()),
                 QStringList({"scan", "open", "config 1", "claim 0", "c0:ff", "c0:fe", "c0:01"}));
    }

    void receiveWithoutDataStageIsAFailedTransfer()
    {
        sim::addDevice();
        USBVR480 usb;
        QCOMPARE(usb.connect(), 0);
        sim::clearEvents();
        DebugCapture capture;
        char block[4];
        QCOMPARE(usb.control_receive(1, 0, 0x0800, nullptr, 4), -1);
        QCOMPARE(usb.isOpen(), -1);
        QCOMPARE(usb.control_receive(1, 0, 0x0800, block, 0), -1);
        QCOMPARE(capture.lines().last(), QStringLiteral("USB Disconnect"));
        QVERIFY(capture.lines().contains(
            QStringLiteral("USB Control Receive bRequest=1, wValue=0, wIndex=2048 - ERROR.")));
        QVERIFY(!trail(sim::events()).contains(QStringLiteral("c0:01"))); // nothing reached the device
    }

    void negativeLengthSendsNothing()
    {
        sim::addDevice();
        USBVR480 usb;
        QCOMPARE(usb.connect(), 0);
        sim::clearEvents();
        char block[4] = {};
        QCOMPARE(usb.control_send(6, 0, 0, block, -1), -1);
        QCOMPARE(trail(sim::events()), QStringList({"release 0", "close"}));
    }

    void transferWithoutDeviceScansAndSendsNothing()
    {
        USBVR480 usb;
        DebugCapture capture;
        QCOMPARE(usb.control_send(4, 0, 0, nullptr, 0), -1);
        QCOMPARE(capture.lines(), QStringList({"UsbDevice::control_send()", "USB Connect"}));
        char block[2];
        capture.clear();
        QCOMPARE(usb.control_receive(0xFF, 0, 0, block, 2), -1);
        QCOMPARE(capture.lines(), QStringList({"USB Connect"}));
        QCOMPARE(sim::controlTransferCount(), 0);
    }

    void unpluggedDeviceIsNotFoundAgain()
    {
        sim::Device &device = sim::addDevice();
        USBVR480 usb;
        QCOMPARE(usb.connect(), 0);
        device.unplug();
        char block[2];
        QCOMPARE(usb.control_receive(0xFF, 0, 0, block, 2), -1);
        QCOMPARE(usb.control_receive(0xFF, 0, 0, block, 2), -1);
        device.plugIn();
        QCOMPARE(usb.control_receive(0xFF, 0, 0, block, 2), 2);
    }

    // A selected serial takes that device in either firmware; the others
    // are only asked for their serial, never configured or claimed.
    void connectionBySerial_data()
    {
        QTest::addColumn<QByteArray>("serial");
        QTest::addColumn<int>("taken"); // -1: none
        QTest::newRow("application") << QByteArray("VR4800003") << 2;
        QTest::newRow("bootloader, serial without its b") << QByteArray("VR4800002") << 1;
        QTest::newRow("bootloader, serial with its b") << QByteArray("VR4800002b") << 1;
        QTest::newRow("not attached") << QByteArray("VR4800009") << -1;
        QTest::newRow("none selected: the first") << QByteArray() << 0;
    }
    void connectionBySerial()
    {
        QFETCH(QByteArray, serial);
        QFETCH(int, taken);
        for (int i = 1; i <= 3; ++i)
            sim::addDevice(0, numbered(i, i == 2 ? sim::Mode::Bootloader : sim::Mode::Application));
        USBVR480 usb;
        if (!serial.isEmpty())
            usb.selectSerial(serial);
        QCOMPARE(usb.connect(), taken < 0 ? -1 : 0);
        for (const sim::Device *device : sim::devices()) {
            const QStringList steps = trailOf(*device);
            if (device->id() == taken)
                QCOMPARE(steps.mid(steps.indexOf(QStringLiteral("config 1"))),
                         QStringList({"config 1", "claim 0", "c0:ff", "c0:fe"}));
            else
                QVERIFY2(!steps.contains(QStringLiteral("config 1")), qPrintable(steps.join(' ')));
        }
    }

    // Two devices answering to the serial refuse the connection, whether the
    // twin was there first or turns up while the device is open; the object
    // then refuses every connection, also once the twin has left, until a
    // new selection. The twin is never configured.
    void twinsRefuseConnections_data()
    {
        QTest::addColumn<bool>("before"); // attached before the first connection
        QTest::newRow("attached before") << true;
        QTest::newRow("turns up while open") << false;
    }
    void twinsRefuseConnections()
    {
        QFETCH(bool, before);
        sim::addDevice(0, numbered(1));
        sim::Device &twin = sim::addDevice(1, numbered(1, sim::Mode::Bootloader));
        if (!before)
            twin.unplug();
        USBVR480 usb;
        usb.selectSerial("VR4800001");
        QCOMPARE(usb.connect(), before ? -1 : 0);
        twin.plugIn();
        QVERIFY(usb.twinAttached());
        twin.unplug();
        QCOMPARE(usb.connect(), -1);
        QVERIFY(!trailOf(twin).contains(QStringLiteral("config 1")));
        usb.selectSerial("VR4800001");
        QCOMPARE(usb.connect(), 0);
    }

    // After a restart the device comes back with a new record and address;
    // the connection follows it and never takes the other device, though
    // that one runs the bootloader that is waited for.
    void selectionFollowsItsDeviceAcrossRestarts()
    {
        const sim::Device &other = sim::addDevice(0, numbered(1, sim::Mode::Bootloader));
        sim::DeviceConfig config = numbered(2);
        config.comebackScans = 2;
        sim::Device &mine = sim::addDevice(0, config);
        USBVR480 usb;
        usb.selectSerial("VR4800002");
        const QList<UsbDevice::Attached> before = usb.attachedDevices();
        sim::clearEvents();
        QCOMPARE(usb.connect(), 0);
        usb.RunApplication();
        usb.disconnect();
        QVERIFY(usb.waitForSerial(&USBVR480::isBootloaderSerial, 10, 0, [](unsigned long) {}));
        QCOMPARE(usb.readStringDescriptor(), QByteArray("VR4800002b"));
        QCOMPARE(mine.restarts(), 1);
        QVERIFY(!trailOf(other).contains(QStringLiteral("config 1")));
        const QList<UsbDevice::Attached> after = usb.attachedDevices();
        QCOMPARE(after.size(), 2);
        QCOMPARE(after.at(1).serial, QByteArray("VR4800002b"));
        QVERIFY(after.at(1).device != before.at(1).device);
        QCOMPARE(after.at(0).device, before.at(0).device);
    }

    // Every acceptable device, in bus order, with its serial; not those of
    // other ids or family, nor one that another object has open.
    void attachedDevices()
    {
        sim::addDevice(0, numbered(1));
        sim::addDevice(0, otherDevice());
        sim::DeviceConfig wrongFamily = numbered(4);
        wrongFamily.familyId = 0x0300;
        sim::addDevice(0, wrongFamily);
        sim::addDevice(1, numbered(2, sim::Mode::Bootloader));
        sim::addDevice(1, numbered(3));
        USBVR480 holder;
        holder.selectSerial("VR4800003");
        QCOMPARE(holder.connect(), 0);

        USBVR480 usb;
        QCOMPARE(usb.connect(), 0);
        QStringList seen;
        for (const UsbDevice::Attached &found : usb.attachedDevices())
            seen << QStringLiteral("%1/%2 %3").arg(found.bus).arg(found.device).arg(QString::fromLatin1(found.serial));
        QCOMPARE(seen, QStringList({"001/1 VR4800001", "002/1 VR4800002b"}));
        QCOMPARE(usb.isOpen(), -1);
        QCOMPARE(holder.isOpen(), 0);
    }

    // Devices restart again and again, leaving the bus and coming back with
    // a new record, while the objects of the others scan, connect and
    // transfer, and one more lists them all: each object stays with its own
    // device, and nothing opens a record that a scan has dropped (under
    // AddressSanitizer: nothing reads one).
    void devicesRestartOnTheirOwnWhileOthersWork()
    {
        constexpr int kDevices = 4;
        constexpr int kRestarts = 40;
        DebugCapture quiet;
        for (int i = 1; i <= kDevices; ++i) {
            sim::DeviceConfig config = numbered(i);
            config.comebackScans = 1;
            sim::addDevice(0, config);
        }
        std::atomic<int> strays{0};
        std::atomic<int> working{kDevices};
        std::vector<std::unique_ptr<QThread>> threads;
        for (int i = 1; i <= kDevices; ++i) {
            threads.emplace_back(QThread::create([i, &strays, &working] {
                const QByteArray serial = numbered(i).applicationSerial;
                USBVR480 usb;
                usb.selectSerial(serial);
                char answer[2];
                for (int n = 0; n < kRestarts; ++n) {
                    const bool back = usb.waitForSerial([](const QByteArray &) { return true; }, 1000, 0,
                                                        [](unsigned long) { QThread::yieldCurrentThread(); });
                    if (!back || USBVR480::baseSerial(usb.readStringDescriptor()) != serial
                        || usb.control_receive(0xFF, 0, 0, answer, 2) != 2)
                        ++strays;
                    usb.RunApplication();
                    usb.disconnect();
                }
                --working;
            }));
        }
        threads.emplace_back(QThread::create([&working] {
            USBVR480 lister;
            while (working > 0)
                lister.attachedDevices();
        }));
        for (const auto &thread : threads)
            thread->start();
        for (const auto &thread : threads)
            QVERIFY(thread->wait(120000));

        QCOMPARE(strays.load(), 0);
        for (const sim::Device *device : sim::devices())
            QCOMPARE(device->restarts(), kRestarts);
        for (const Event &e : sim::events())
            QVERIFY(e.kind != Event::Open || e.device >= 0);
    }

    // Two threads share one device object: transfers, reconnects and
    // disconnects interleave only between whole operations, so no transfer
    // ever runs on a handle that another thread has closed.
    void deviceLockSerialisesThreads()
    {
        sim::addDevice();
        sim::setRecording(false);
        USBVR480 usb;
        std::atomic<int> failures{0};
        std::unique_ptr<QThread> worker(QThread::create([&] {
            char block[64];
            for (int i = 0; i < 300; ++i)
                if (usb.control_receive(1, 0, 0x0800, block, 64) != 64)
                    ++failures;
        }));
        worker->start();
        for (int i = 0; i < 100; ++i) {
            usb.disconnect();
            usb.connect();
        }
        QVERIFY(worker->wait(60000));
        sim::setRecording(true);
        QCOMPARE(failures.load(), 0); // a closed device reconnects on demand
    }
};

QTEST_GUILESS_MAIN(TestUsbDevice)
#include "tst_usbdevice.moc"
