// The USB/IP front end of the simulated device, driven as the kernel's
// virtual host controller drives it: commands written to one end of a socket
// pair, answers read back.

#include "capture.h"
#include "memorymap.h"
#include "scramble.h"
#include "simdevice.h"
#include "usbipdevice.h"
#include "vhci.h"

#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <memory>

using usbip::DeviceLink;

namespace {

struct Reply {
    usbip::Header header;
    QByteArray data;
};

usbip::Setup setup(int requestType, int request, int value, int index, int length)
{
    usbip::Setup s;
    s.requestType = requestType;
    s.request = request;
    s.value = value;
    s.index = index;
    s.length = length;
    return s;
}

QByteArray hex(const char *text)
{
    return QByteArray::fromHex(text);
}

} // namespace

Q_DECLARE_METATYPE(usbip::Setup)
Q_DECLARE_METATYPE(sim::FaultRule)
Q_DECLARE_METATYPE(usbip::DeviceLink::Outcome)

class TestUsbip : public QObject {
    Q_OBJECT

    int fds[2] = {-1, -1}; // [0]: the device's end, [1]: the kernel's end
    std::unique_ptr<DeviceLink> link;
    std::unique_ptr<DebugCapture> quiet;
    uint32_t seqnum = 0;
    bool lastIn = false; // the direction of the last submitted transfer

    // Writes a CMD_SUBMIT for endpoint 0 and lets the link handle it.
    DeviceLink::Outcome submit(const usbip::Setup &s, const QByteArray &out = {}, uint32_t ep = 0)
    {
        usbip::Header h;
        h.command = usbip::CmdSubmit;
        h.seqnum = ++seqnum;
        h.devid = 0x10001;
        lastIn = s.requestType & 0x80;
        h.direction = lastIn ? usbip::DirIn : usbip::DirOut;
        h.ep = ep;
        h.word[1] = s.length;
        usbip::setSetup(h, s);
        const QByteArray bytes = usbip::encode(h) + out;
        if (::write(fds[1], bytes.constData(), size_t(bytes.size())) != bytes.size())
            qFatal("cannot write the command");
        return link->serveOne();
    }

    DeviceLink::Outcome unlink(uint32_t victim)
    {
        usbip::Header h;
        h.command = usbip::CmdUnlink;
        h.seqnum = ++seqnum;
        h.word[0] = int32_t(victim);
        const QByteArray bytes = usbip::encode(h);
        if (::write(fds[1], bytes.constData(), size_t(bytes.size())) != bytes.size())
            qFatal("cannot write the command");
        return link->serveOne();
    }

    bool answered()
    {
        pollfd p{fds[1], POLLIN, 0};
        return ::poll(&p, 1, 0) == 1;
    }

    Reply reply()
    {
        Reply r;
        char raw[usbip::kHeaderSize];
        if (!answered() || ::read(fds[1], raw, sizeof raw) != sizeof raw)
            return r;
        r.header = usbip::decode(raw);
        // Only the answer to an IN transfer carries data.
        const int length = r.header.command == usbip::RetSubmit && lastIn ? r.header.word[1] : 0;
        r.data.resize(length);
        if (length > 0 && r.header.word[0] == 0 && ::read(fds[1], r.data.data(), size_t(length)) != length)
            r.data.clear();
        return r;
    }

    void attach(sim::Device &device)
    {
        QVERIFY(::socketpair(AF_UNIX, SOCK_STREAM, 0, fds) == 0);
        link = std::make_unique<DeviceLink>(device.id(), fds[0]);
        QVERIFY(link->open());
    }

private slots:
    void init()
    {
        quiet = std::make_unique<DebugCapture>();
        sim::reset();
        seqnum = 0;
    }

    void cleanup()
    {
        link.reset();
        for (int &fd : fds)
            if (fd >= 0)
                ::close(std::exchange(fd, -1));
        quiet.reset();
    }

    void standardRequests_data()
    {
        QTest::addColumn<usbip::Setup>("request");
        QTest::addColumn<int>("status");
        QTest::addColumn<QByteArray>("answer");
        // The kernel's first read asks for 64 bytes.
        QTest::newRow("device descriptor") << setup(0x80, 6, 0x0100, 0, 64) << 0
                                           << hex("12 01 0002 00 00 00 40 c016 730a 0001 00 00 03 01");
        QTest::newRow("configuration, header") << setup(0x80, 6, 0x0200, 0, 9) << 0 << hex("09 02 1200 01 01 00 80 32");
        QTest::newRow("configuration, whole")
            << setup(0x80, 6, 0x0200, 0, 255) << 0 << hex("09 02 1200 01 01 00 80 32  09 04 00 00 00 ff 00 00 00");
        QTest::newRow("second configuration") << setup(0x80, 6, 0x0201, 0, 255) << -EPIPE << QByteArray();
        QTest::newRow("languages") << setup(0x80, 6, 0x0300, 0, 255) << 0 << hex("04030904");
        QTest::newRow("serial, English") << setup(0x80, 6, 0x0303, 0x0409, 255) << 0
                                         << hex("14 03 5600 5200 3400 3800 3000 3000 3000 3000 3100");
        QTest::newRow("BOS, not a USB 2.1 device") << setup(0x80, 6, 0x0F00, 0, 5) << -EPIPE << QByteArray();
        QTest::newRow("status") << setup(0x80, 0, 0, 0, 2) << 0 << hex("0000");
        QTest::newRow("configuration value") << setup(0x80, 8, 0, 0, 1) << 0 << hex("01");
        QTest::newRow("interface 0, setting 0") << setup(0x01, 11, 0, 0, 0) << 0 << QByteArray();
        QTest::newRow("interface 0, setting 1") << setup(0x01, 11, 1, 0, 0) << -EPIPE << QByteArray();
        QTest::newRow("interface 1") << setup(0x81, 10, 0, 1, 1) << -EPIPE << QByteArray();
        QTest::newRow("endpoint 0 halt cleared") << setup(0x02, 1, 0, 0, 0) << 0 << QByteArray();
        QTest::newRow("remote wake-up") << setup(0x00, 3, 1, 0, 0) << -EPIPE << QByteArray();
        QTest::newRow("class request") << setup(0xA1, 1, 0, 0, 4) << -EPIPE << QByteArray();
        QTest::newRow("unconfigure") << setup(0x00, 9, 0, 0, 0) << 0 << QByteArray();
        QTest::newRow("configuration 2") << setup(0x00, 9, 2, 0, 0) << -EPIPE << QByteArray();
    }

    // As the kernel enumerates and configures the device: configuration 1 is
    // set first, as the kernel does before anything else reaches the device.
    void standardRequests()
    {
        QFETCH(usbip::Setup, request);
        QFETCH(int, status);
        QFETCH(QByteArray, answer);
        attach(sim::addDevice());
        QCOMPARE(submit(setup(0x00, 9, 1, 0, 0)), DeviceLink::Outcome::Served);
        QCOMPARE(reply().header.word[0], 0);

        QCOMPARE(submit(request), DeviceLink::Outcome::Served);
        const Reply r = reply();
        QCOMPARE(r.header.command, uint32_t(usbip::RetSubmit));
        QCOMPARE(r.header.seqnum, seqnum);
        QCOMPARE(r.header.word[0], status);
        QCOMPARE(r.data.toHex(), answer.toHex());
    }

    void configurationRefusedByTheModelStalls()
    {
        sim::DeviceConfig config;
        config.failSetConfiguration = true;
        attach(sim::addDevice(0, config));
        submit(setup(0x00, 9, 1, 0, 0));
        QCOMPARE(reply().header.word[0], -EPIPE);
        submit(setup(0x80, 8, 0, 0, 1));
        QCOMPARE(reply().data, hex("00"));
    }

    // Vendor requests reach the model unchanged, both ways, scrambled as on the bus.
    void vendorRequestsReachTheModel()
    {
        sim::DeviceConfig config;
        config.mode = sim::Mode::Bootloader;
        sim::Device &device = sim::addDevice(0, config);
        attach(device);

        submit(setup(0xC0, 0xFF, 0, 0, 2));
        QCOMPARE(reply().data, hex("e001"));

        submit(setup(0xC0, 1, 0x3FD0, 0x0800, 32));
        Reply info = reply();
        QCOMPARE(info.data.size(), 32);
        decodeData(info.data.data(), 32);
        QCOMPARE(info.data.mid(16, 10), QByteArray("BOOT v2.04"));

        QByteArray page(2048, '\0');
        for (int i = 0; i < page.size(); ++i)
            page[i] = char(i * 7);
        QByteArray scrambled = page;
        encodeData(scrambled.data(), int(scrambled.size()));
        QCOMPARE(submit(setup(0x40, 3, 0x8000, 0x0800, 2048), scrambled), DeviceLink::Outcome::Served);
        const Reply written = reply();
        QCOMPARE(written.header.word[0], 0);
        QCOMPARE(written.header.word[1], 2048); // all of it taken, no data back
        QVERIFY(written.data.isEmpty());
        QCOMPARE(device.flash(0x08008000, 2048), page);

        // An endpoint the device does not have.
        submit(setup(0xC0, 0xFF, 0, 0, 2), {}, 1);
        QCOMPARE(reply().header.word[0], -EPIPE);
    }

    void faults_data()
    {
        QTest::addColumn<sim::FaultRule>("rule");
        QTest::addColumn<bool>("answered");
        QTest::addColumn<int>("status");
        QTest::addColumn<int>("length");
        QTest::addColumn<DeviceLink::Outcome>("outcome");
        QTest::newRow("stall") << sim::FaultRule{sim::Fault::Stall, 0xFF} << true << -EPIPE << 0
                               << DeviceLink::Outcome::Served;
        QTest::newRow("short") << sim::FaultRule{sim::Fault::Short, 0xFF, -1, 0, 1, 1} << true << 0 << 1
                               << DeviceLink::Outcome::Served;
        QTest::newRow("time-out") << sim::FaultRule{sim::Fault::Timeout, 0xFF} << false << 0 << 0
                                  << DeviceLink::Outcome::Served;
        QTest::newRow("unplug") << sim::FaultRule{sim::Fault::Unplug, 0xFF} << false << 0 << 0
                                << DeviceLink::Outcome::LeftBus;
    }

    void faults()
    {
        QFETCH(sim::FaultRule, rule);
        QFETCH(bool, answered);
        QFETCH(int, status);
        QFETCH(int, length);
        QFETCH(DeviceLink::Outcome, outcome);
        attach(sim::addDevice());
        sim::addFault(rule);
        QCOMPARE(submit(setup(0xC0, 0xFF, 0, 0, 2)), outcome);
        QCOMPARE(this->answered(), answered);
        if (answered) {
            const Reply r = reply();
            QCOMPARE(r.header.word[0], status);
            QCOMPARE(r.header.word[1], length);
        }
        QCOMPARE(link->waiting(), answered ? 0 : 1);
    }

    // A transfer the device leaves unanswered is given up by the host's
    // time-out; an unlink of one already answered finds nothing.
    void unlink()
    {
        attach(sim::addDevice());
        sim::addFault({sim::Fault::Timeout, 0xFF});
        submit(setup(0xC0, 0xFF, 0, 0, 2));
        const uint32_t lost = seqnum;
        QVERIFY(!answered());

        QCOMPARE(unlink(lost), DeviceLink::Outcome::Served);
        Reply r = reply();
        QCOMPARE(r.header.command, uint32_t(usbip::RetUnlink));
        QCOMPARE(r.header.seqnum, seqnum);
        QCOMPARE(r.header.word[0], -ECONNRESET);
        QCOMPARE(link->waiting(), 0);
        QCOMPARE(link->unlinked(), 1);

        submit(setup(0xC0, 0xFF, 0, 0, 2)); // the retry is answered
        QCOMPARE(reply().data, hex("e001"));
        unlink(seqnum);
        QCOMPARE(reply().header.word[0], 0);
        QCOMPARE(link->unlinked(), 1);
    }

    // The restart request is answered, then the device is off the bus until
    // the simulation brings it back in its other mode.
    void restartLeavesTheBus()
    {
        sim::Device &device = sim::addDevice();
        attach(device);
        QCOMPARE(submit(setup(0x40, 4, 0, 0, 0)), DeviceLink::Outcome::LeftBus);
        QCOMPARE(reply().header.word[0], 0);
        QCOMPARE(device.mode(), sim::Mode::Bootloader);
        QVERIFY(!device.online());

        // Whatever reaches the old session is not answered.
        submit(setup(0xC0, 0xFF, 0, 0, 2));
        QVERIFY(!answered());

        DeviceLink again(device.id(), fds[0]); // opening scans the bus: the device is back
        QVERIFY(again.open());
        QVERIFY(device.online());
    }

    void endOfConnection_data()
    {
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<DeviceLink::Outcome>("outcome");
        QTest::newRow("closed") << QByteArray() << DeviceLink::Outcome::Closed;
        QTest::newRow("half a header") << QByteArray(20, '\0') << DeviceLink::Outcome::Closed;
        usbip::Header header;
        header.command = 7;
        QTest::newRow("unknown command") << usbip::encode(header) << DeviceLink::Outcome::Broken;
        header.command = usbip::CmdSubmit;
        header.direction = usbip::DirOut;
        header.word[1] = 100;
        QTest::newRow("OUT data missing") << usbip::encode(header) << DeviceLink::Outcome::Closed;
        header.word[1] = 0x10000;
        QTest::newRow("too long") << usbip::encode(header) << DeviceLink::Outcome::Broken;
    }

    void endOfConnection()
    {
        QFETCH(QByteArray, bytes);
        QFETCH(DeviceLink::Outcome, outcome);
        attach(sim::addDevice());
        QCOMPARE(::write(fds[1], bytes.constData(), size_t(bytes.size())), ssize_t(bytes.size()));
        ::shutdown(fds[1], SHUT_WR);
        QCOMPARE(link->serveOne(), outcome);
    }

    // The controller's files as the kernel shows them: the first free
    // high-speed port, and the attach line in the order the kernel reads it.
    void hostController()
    {
        QTemporaryDir dir;
        QFile status(dir.filePath("status"));
        QVERIFY(status.open(QIODevice::WriteOnly));
        status.write("hub port sta spd dev      sockfd local_busid\n"
                     "hs  0000 006 003 00010001 000000 0-0\n"
                     "hs  0001 004 000 00000000 000000 0-0\n"
                     "hs  0002 004 000 00000000 000000 0-0\n"
                     "ss  0015 004 000 00000000 000000 0-0\n");
        status.close();
        const Vhci vhci(dir.path());
        QCOMPARE(vhci.freePort({}), 1);
        QCOMPARE(vhci.freePort({1}), 2);
        QCOMPARE(vhci.freePort({1, 2}), -1); // no super-speed port for a high-speed device

        QVERIFY(vhci.attach(2, 7, 0x10003));
        QVERIFY(vhci.detach(2) && vhci.detach(1)); // what the kernel reads of one write each
        QFile attach(dir.filePath("attach"));
        QFile detach(dir.filePath("detach"));
        QVERIFY(attach.open(QIODevice::ReadOnly) && detach.open(QIODevice::ReadOnly));
        QCOMPARE(attach.readAll(), QByteArray("2 7 65539 3"));
        QCOMPARE(detach.readAll(), QByteArray("1"));
        QVERIFY(!Vhci(dir.filePath("missing")).attach(0, 7, 1));
    }

    // A value given twice is a usage error, not the last one winning.
    void repeatedValueIsAUsageError_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<QString>("message");
        for (const char *option : {"--latency", "--state", "--vhci"})
            QTest::newRow(option) << QStringList{option, "1", option, "2"} << QString(option) + " is given more than once";
        QTest::newRow("device key") << QStringList{"--device", "serial=A,bus=1,serial=B"}
                                    << "\"serial\" is given twice in \"serial=A,bus=1,serial=B\"";
    }
    void repeatedValueIsAUsageError()
    {
        QFETCH(QStringList, arguments);
        QFETCH(QString, message);
        QProcess server; // given no controller, an accepted command line would end at once
        server.start(QStringLiteral(VR480_USBIP), arguments.contains("--vhci") ? arguments : arguments << "--vhci" << "/nonexistent");
        if (!server.waitForFinished(60000))
            server.kill(); // this test's own child
        server.waitForFinished();
        QCOMPARE(server.exitCode(), 2);
        QVERIFY2(server.readAllStandardError().contains(message.toUtf8()), qPrintable(message));
    }
};

QTEST_GUILESS_MAIN(TestUsbip)
#include "tst_usbip.moc"
