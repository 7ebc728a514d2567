// The bootloader commands against a simulated device: chunking, address
// packing, scrambling on the wire, progress signals and the retry budget.

#include "bytes.h"
#include "capture.h"
#include "scramble.h"
#include "simtrail.h"
#include "usbvr480.h"

#include <QSignalSpy>
#include <QtTest>

using sim::Event;

namespace {

struct Setup {
    int request;
    int value;
    int index;
    int length;
    bool operator==(const Setup &o) const
    {
        return request == o.request && value == o.value && index == o.index && length == o.length;
    }
};

// The setup packets of the transfers with the given request.
QList<Setup> setups(int request)
{
    QList<Setup> out;
    for (const Event &e : sim::controlTransfers())
        if (e.request == request)
            out << Setup{e.request, e.value, e.index, e.length};
    return out;
}

} // namespace

namespace QTest {
template <>
char *toString(const Setup &s)
{
    return qstrdup(QString::asprintf("{request %d, value 0x%04x, index 0x%04x, length %d}",
                                     s.request, s.value, s.index, s.length)
                       .toLatin1()
                       .constData());
}
} // namespace QTest

class TestUsbVr480 : public QObject {
    Q_OBJECT

private:
    sim::Device *device = nullptr;

    void bootloader()
    {
        sim::DeviceConfig config;
        config.mode = sim::Mode::Bootloader;
        device = &sim::addDevice(0, config);
    }

private slots:
    void init() { sim::reset(); }

    void readMemoryInChunksUnscrambledEach()
    {
        bootloader();
        const QByteArray plain = randomBytes(5000, 5000);
        device->setFlash(0x08000000, plain);
        USBVR480 usb;
        QByteArray buffer(5000, '\0');
        QCOMPARE(usb.ReadMemoryFromAddress(buffer.data(), 0x08000000, 5000), 0);
        QCOMPARE(buffer, plain);
        QCOMPARE(setups(1), QList<Setup>({{1, 0x0000, 0x0800, 2048},
                                          {1, 0x0800, 0x0800, 2048},
                                          {1, 0x1000, 0x0800, 904}}));
        // The bus carried each chunk scrambled, with the key phase from its own start.
        for (const Event &e : sim::controlTransfers()) {
            if (e.request != 1)
                continue;
            QByteArray wire = plain.mid(e.value, e.length);
            encodeData(wire.data(), int(wire.size()));
            QCOMPARE(e.data, wire);
        }
    }

    void readMemoryEdgeCases()
    {
        bootloader();
        USBVR480 usb;
        char info[32];
        QCOMPARE(usb.ReadMemoryFromAddress(info, 0x08003FD0, 32), 0);
        QCOMPARE(setups(1), QList<Setup>({{1, 0x3FD0, 0x0800, 32}}));
        QCOMPARE(QByteArray(info + 16), device->config().bootloaderVersion);

        sim::clearEvents();
        QCOMPARE(usb.ReadMemoryFromAddress(info, 0x08000000, 0), 0);
        QCOMPARE(sim::controlTransfers().size(), 0);

        // A short chunk ends the read at once, without a retry.
        sim::addFault({sim::Fault::Short, 1, -1, 1, 1, 100});
        QByteArray buffer(6000, '\0');
        QCOMPARE(usb.ReadMemoryFromAddress(buffer.data(), 0x08000000, 6000), -1);
        QCOMPARE(setups(1).size(), 2);
        QCOMPARE(buffer.left(2048), device->flash(0x08000000, 2048)); // the first chunk arrived decoded
    }

    void writePageScramblesInPlace()
    {
        bootloader();
        USBVR480 usb;
        const QByteArray plain = randomBytes(2048, 2048);
        QByteArray page = plain;
        QCOMPARE(usb.WritePageToAddress(page.data(), 0x08005000), 0);
        QCOMPARE(device->flash(0x08005000, 2048), plain);
        QCOMPARE(setups(3), QList<Setup>({{3, 0x5000, 0x0800, 2048}}));
        QByteArray scrambled = plain;
        encodeData(scrambled.data(), 2048);
        QCOMPARE(page, scrambled); // the caller's buffer now holds what was sent
        QCOMPARE(sim::controlTransfers().last().data, scrambled);

        // Writing the same buffer again sends it scrambled twice.
        QCOMPARE(usb.WritePageToAddress(page.data(), 0x08005000), 0);
        QCOMPARE(device->flash(0x08005000, 2048), scrambled);
    }

    void writePageFailures()
    {
        bootloader();
        USBVR480 usb;
        QByteArray page(2048, '\x5A');
        sim::addFault({sim::Fault::Short, 3, -1, 0, 1, 1024});
        QCOMPARE(usb.WritePageToAddress(page.data(), 0x08006000), -1);
        QCOMPARE(usb.isOpen(), 0);
        // The device refuses the bootloader's own pages.
        page.fill('\x5A');
        QCOMPARE(usb.WritePageToAddress(page.data(), 0x08000000), -1);
        QCOMPARE(usb.isOpen(), -1);
        QCOMPARE(setups(3).size(), 2); // no retry
    }

    void externalFlashReadChunksAndPercent()
    {
        bootloader();
        const QByteArray data = randomBytes(1000, 1000);
        device->setExternalFlash(0x1000, data);
        USBVR480 usb;
        QSignalSpy percent(&usb, &USBVR480::sendPercentExtFlashRead);
        QSignalSpy other(&usb, &USBVR480::sendPercentExtFlashWrite);
        QByteArray buffer(1000, '\0');
        QCOMPARE(usb.ReadExternalFlashFromAddress(buffer.data(), 0x1000, 1000), 0);
        QCOMPARE(buffer, data); // unchanged: the callers unscramble
        QCOMPARE(setups(5), QList<Setup>({{5, 0x1000, 0, 512}, {5, 0x1200, 0, 488}}));
        QCOMPARE(values(percent), QList<int>({51, 100}));
        QCOMPARE(other.count(), 0);
    }

    void externalFlashWriteChunksAndPercent()
    {
        bootloader();
        USBVR480 usb;
        QSignalSpy percent(&usb, &USBVR480::sendPercentExtFlashWrite);
        const QByteArray data = randomBytes(1000, 1000);
        QCOMPARE(usb.WriteExternalFlashToAddress(data.constData(), 0x1FFFF0, 16), 0);
        QCOMPARE(setups(6), QList<Setup>({{6, 0xFFF0, 0x001F, 16}}));
        QCOMPARE(values(percent), QList<int>({100}));

        sim::clearEvents();
        percent.clear();
        QCOMPARE(usb.WriteExternalFlashToAddress(data.constData(), 0, 1000), 0);
        QCOMPARE(device->externalFlash(0, 1000), data);
        QCOMPARE(setups(6), QList<Setup>({{6, 0, 0, 256}, {6, 256, 0, 256}, {6, 512, 0, 256}, {6, 768, 0, 232}}));
        QCOMPARE(values(percent), QList<int>({25, 51, 76, 100}));

        sim::clearEvents();
        percent.clear();
        QCOMPARE(usb.WriteExternalFlashToAddress(data.constData(), 0, 0), 0);
        QCOMPARE(sim::controlTransfers().size(), 0);
        QCOMPARE(percent.count(), 0);
    }

    void externalFlashRetriesTheSameChunk()
    {
        bootloader();
        USBVR480 usb;
        QSignalSpy percent(&usb, &USBVR480::sendPercentExtFlashWrite);
        const QByteArray data = randomBytes(768, 768);
        sim::addFault({sim::Fault::Timeout, 6, -1, 1, 1, 0}); // the second chunk, once
        QCOMPARE(usb.WriteExternalFlashToAddress(data.constData(), 0x100, 768), 0);
        QCOMPARE(device->externalFlash(0x100, 768), data);
        QCOMPARE(setups(6), QList<Setup>({{6, 0x100, 0, 256}, {6, 0x200, 0, 256},
                                          {6, 0x200, 0, 256}, {6, 0x300, 0, 256}}));
        QCOMPARE(values(percent), QList<int>({33, 66, 100}));
        // The retry began with a new scan and identity check.
        const QStringList steps = trail(sim::events());
        const int failed = int(steps.indexOf(QStringLiteral("40:06"), steps.indexOf(QStringLiteral("40:06")) + 1));
        QCOMPARE(steps.mid(failed, 9), QStringList({"40:06", "release 0", "close", "scan", "open",
                                                    "config 1", "claim 0", "c0:ff", "c0:fe"}));
    }

    void externalFlashRetryBudgetIsPerCall()
    {
        bootloader();
        USBVR480 usb;
        QSignalSpy percent(&usb, &USBVR480::sendPercentExtFlashRead);
        QByteArray buffer(512, '\0');

        // A device that fails every transfer: 1 attempt and 100 retries, no signal.
        sim::addFault({sim::Fault::Stall, 5, -1, 0, -1, 0});
        QCOMPARE(usb.ReadExternalFlashFromAddress(buffer.data(), 0, 512), -1);
        QCOMPARE(setups(5).size(), 101);
        QCOMPARE(percent.count(), 0);

        // Failures spread over chunks share the one budget: 100 short answers
        // still succeed, the 101st failure ends the call.
        sim::clearFaults();
        sim::clearEvents();
        QByteArray big(4 * 512, '\0');
        sim::addFault({sim::Fault::Short, 5, -1, 0, 100, 10});
        QCOMPARE(usb.ReadExternalFlashFromAddress(big.data(), 0, 4 * 512), 0);
        QCOMPARE(setups(5).size(), 104);

        sim::clearFaults();
        sim::clearEvents();
        percent.clear();
        sim::addFault({sim::Fault::Short, 5, -1, 1, 101, 10}); // the first chunk passes
        QCOMPARE(usb.ReadExternalFlashFromAddress(big.data(), 0, 4 * 512), -1);
        QCOMPARE(setups(5).size(), 102);
        QCOMPARE(values(percent), QList<int>({25}));
    }

    void runApplicationRestartsTheDevice()
    {
        bootloader();
        USBVR480 usb;
        DebugCapture capture;
        usb.RunApplication(); // connects on demand
        QCOMPARE(capture.lines().first(), QStringLiteral("USBVR480::RunApplication(void)"));
        QCOMPARE(setups(4), QList<Setup>({{4, 0, 0, 0}}));
        QCOMPARE(device->applicationStarts(), 1);
        QCOMPARE(device->mode(), sim::Mode::Application);
    }

    void runApplicationWithoutDeviceSendsNothing()
    {
        USBVR480 usb;
        usb.RunApplication();
        QCOMPARE(sim::controlTransferCount(), 0);
    }

    // Text for a terminal: one line that cannot steer it; a file name keeps
    // the system's own folder separator.
    void escapedTexts_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("escaped");
        QTest::addColumn<QString>("name");
        const QString sep = QDir::separator();
        const QString sepShown = sep == QLatin1String("/") ? sep : QStringLiteral("\\x5c");
        QTest::newRow("plain") << "VR4800001" << "VR4800001" << "VR4800001";
        QTest::newRow("controls") << "a\nb\x1b[2J\x7f" << "a\\x0ab\\x1b[2J\\x7f" << "a\\x0ab\\x1b[2J\\x7f";
        QTest::newRow("C1 and a stray byte 0x9b") << QString(QChar(0x9B)) + QChar(0xDC9B) << "\\x9b\\x9b" << "\\x9b\\x9b";
        QTest::newRow("a separator") << "d" + sep + "f.upg" << "d" + sepShown + "f.upg" << "d" + sep + "f.upg";
    }
    void escapedTexts()
    {
        QFETCH(QString, text);
        QFETCH(QString, escaped);
        QFETCH(QString, name);
        QCOMPARE(USBVR480::escapedText(text), escaped);
        QCOMPARE(USBVR480::escapedName(text), name);
    }
};

QTEST_GUILESS_MAIN(TestUsbVr480)
#include "tst_usbvr480.moc"
