// The service tools of the main window against the simulated device, driven
// through their real dialogs: Read, Write and WritePage on device memory,
// ReadExternalFlash, WriteExternalFlash and WriteExtFlashBin on the external
// flash. What the dialogs offer is remembered for the whole process, so each
// test walks one tool's calls in order.

#include "bytes.h"
#include "capture.h"
#include "dialogs.h"
#include "hexdump.h"
#include "simdevice.h"
#include "vr480_bootloader.h"

#include <QApplication>
#include <QFileDialog>
#include <QInputDialog>
#include <QMessageBox>
#include <QProgressBar>
#include <QPushButton>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTextBrowser>
#include <QTranslator>
#include <QtTest>

Q_DECLARE_METATYPE(sim::FaultRule)

namespace {

// Clicks the (hidden) button and answers the modal dialogs of its slot.
void click(const QObject &window, const char *name, const QList<Answer> &answers = {})
{
    answerDialogs([&] { window.findChild<QPushButton *>(QString::fromLatin1(name))->click(); }, answers);
}

Answer hexText(const QString &title, const QString &label, const QString &offered, const QVariant &reply)
{
    return {title + " / " + label + " / " + offered, reply};
}

Answer length(const QString &title, int offered, const QVariant &reply)
{
    return {QStringLiteral("%1 / Length (dec) / %2 in 1..1048576 by 1").arg(title).arg(offered), reply};
}

const Answer kConversionError{"warning: error / Conversion error", "OK"};

QTextBrowser *logOf(const QObject &window)
{
    return window.findChild<QTextBrowser *>("txt");
}

// The log's text with the dump header's buffer address blanked out: that
// address is where the slot's buffer happened to lie.
QString logText(const QObject &window)
{
    static const QRegularExpression header("src address: 0x[0-9a-f]{8,}");
    return logOf(window)->toPlainText().replace(header, "src address: *");
}

QString dumpOf(const QByteArray &data)
{
    static const QRegularExpression header("src address: 0x[0-9a-f]{8,}");
    return QString::fromLatin1(HexDump(data.constData(), int(data.size()))).replace(header, "src address: *");
}

// The log holds what clear() and append() would leave: the same document
// and the cursor at its end.
void checkAsAppended(const QObject &window)
{
    QTextBrowser *log = logOf(window);
    QTextBrowser reference;
    reference.setFont(log->font());
    reference.append(log->toPlainText());
    QCOMPARE(log->toHtml(), reference.toHtml());
    QCOMPARE(log->textCursor().position(), reference.textCursor().position());
}

// Address and length of each vendor transfer with the given request.
QStringList transfers(int request)
{
    QStringList out;
    for (const sim::Event &e : sim::controlTransfers())
        if (e.request == request && (e.requestType & 0x60) == 0x40)
            out << QStringLiteral("0x%1+%2").arg(quint32(e.index) << 16 | quint32(e.value), 0, 16).arg(e.length);
    return out;
}

sim::Device &bootloader()
{
    sim::DeviceConfig config;
    config.mode = sim::Mode::Bootloader;
    return sim::addDevice(0, config);
}

} // namespace

class TestServiceDialogs : public QObject {
    Q_OBJECT

private slots:
    void init() { sim::reset(); }
    void cleanup() { sim::reset(); }

    void read();
    void write();
    void writePage();
    void readExternalFlash();
    void writeExternalFlash();
    void writeExtFlashBin_data();
    void writeExtFlashBin();
};

void TestServiceDialogs::read()
{
    sim::Device &device = bootloader();
    device.setFlash(0x08000000, randomBytes(0x2000, 1));
    VR480_Bootloader window;
    DebugCapture debug;
    const QString title = "Read From Vr480";
    const auto address = [&](const QString &offered, const QVariant &reply) {
        return hexText(title, "Address (hex)", offered, reply);
    };

    // First offer; an address without its prefix. The log is cleared first.
    logOf(window)->append("earlier line");
    click(window, "pushButtonRead", {address("0x8000000", "8000000"), length(title, 256, 32)});
    QCOMPARE(transfers(1), QStringList{"0x8000000+32"});
    QCOMPARE(logText(window), dumpOf(device.flash(0x08000000, 32)));
    checkAsAppended(window);

    // "0X" and upper-case digits; the length entered before is offered.
    click(window, "pushButtonRead", {address("0x8000000", "0X80000A0"), length(title, 32, 5000)});
    QCOMPARE(logText(window), dumpOf(device.flash(0x080000A0, 5000)));

    // A cancelled length leaves both values. Not hexadecimal: the box comes
    // after the length dialog, whose value counts; 0 is offered next.
    sim::clearEvents();
    click(window, "pushButtonRead", {address("0x80000a0", "0x8000000"), length(title, 5000, kCancel)});
    click(window, "pushButtonRead", {address("0x80000a0", "8000xyz"), length(title, 5000, 7), kConversionError});
    click(window, "pushButtonRead", {address("0x0", kCancel)});
    QVERIFY(sim::controlTransfers().isEmpty());

    // A failed read shows "Read error" in place of a dump.
    sim::addFault({sim::Fault::Stall, 1});
    click(window, "pushButtonRead", {address("0x0", "0x8000000"), length(title, 7, 16)});
    QCOMPARE(transfers(1), QStringList{"0x8000000+16"});
    QCOMPARE(logText(window), QStringLiteral("Read error"));
    QCOMPARE(debug.count("VR480_Bootloader::slotpushButtonRead(bool t)"), 6);
}

void TestServiceDialogs::write()
{
    sim::Device &device = bootloader();
    VR480_Bootloader window;
    DebugCapture debug;
    QByteArray pattern(512, '\0');
    for (int i = 0; i < 512; ++i)
        pattern[i] = char(i);

    // Sent: the block reaches the device, its dump goes to the debug output
    // as one quoted string, nothing to the log.
    click(window, "pushButtonWrite");
    QCOMPARE(transfers(2), QStringList{"0x0+512"});
    QCOMPARE(device.lastBlock(), pattern);
    QString quoted;
    QDebug(&quoted).nospace() << HexDump(pattern.constData(), 512);
    static const QRegularExpression header("src address: 0x[0-9a-f]+");
    const auto dumps = [&] { return debug.lines().filter("src address: 0x").replaceInStrings(header, "*"); };
    QCOMPARE(debug.lines().value(0), QStringLiteral("VR480_Bootloader::slotpushButtonWrite(bool t)"));
    QCOMPARE(dumps(), QStringList{quoted.replace(header, "*")});
    QVERIFY(quoted.startsWith("\"\\n *\\n0x0000: 00 01"));

    // Refused: no dump anywhere.
    debug.clear();
    sim::addFault({sim::Fault::Short, 2, -1, 0, 1, 100});
    click(window, "pushButtonWrite");
    QCOMPARE(debug.count("VR480_Bootloader::slotpushButtonWrite(bool t)"), 1);
    QVERIFY(dumps().isEmpty());
    QVERIFY(logOf(window)->toPlainText().isEmpty());
}

void TestServiceDialogs::writePage()
{
    sim::Device &device = bootloader();
    VR480_Bootloader window;
    DebugCapture debug;
    const auto pattern = [](int offered, const QVariant &reply) {
        return Answer{QStringLiteral("Fill pattern / Number (dec) / %1 in 0..255 by 1").arg(offered), reply};
    };
    const QByteArray page(2048, char(0xA5));
    const QByteArray before = device.flash(0x08004800, 2048);

    // The page goes to 0x08005000, scrambled on the wire, plain in the flash.
    click(window, "pushButtonWritePage", {pattern(0, 0xA5)});
    QCOMPARE(transfers(3), QStringList{"0x8005000+2048"});
    QCOMPARE(sim::controlTransfers().last().data, scrambledCopy(page));
    QCOMPARE(device.flash(0x08005000, 2048), page);
    QCOMPARE(device.flash(0x08004800, 2048), before);
    QCOMPARE(debug.count("page write OK"), 1);

    // The value is offered again; cancelled, nothing is written.
    sim::clearEvents();
    click(window, "pushButtonWritePage", {pattern(0xA5, kCancel)});
    QVERIFY(sim::controlTransfers().isEmpty());

    sim::addFault({sim::Fault::Stall, 3});
    click(window, "pushButtonWritePage", {pattern(0xA5, 1)});
    QCOMPARE(debug.count("page write ERROR"), 1);
    QCOMPARE(device.flash(0x08005000, 2048), page);
    QCOMPARE(debug.count("VR480_Bootloader::slotpushButtonWritePage(bool t)"), 3);
    QVERIFY(logOf(window)->toPlainText().isEmpty());
}

void TestServiceDialogs::readExternalFlash()
{
    sim::Device &device = bootloader();
    const QByteArray plain = randomBytes(1000, 2);
    device.setExternalFlash(0x100, scrambledCopy(plain));
    VR480_Bootloader window;
    QSignalSpy bar(window.findChild<QProgressBar *>("progressBarExtFlashRd"), &QProgressBar::valueChanged);
    DebugCapture debug;
    const QString title = "Read External Flash From Vr480";
    const auto address = [&](const QString &offered, const QVariant &reply) {
        return hexText(title, "Address (hex)", offered, reply);
    };

    // Read in chunks of 512 and shown unscrambled.
    click(window, "pushButtonReadExternalFlash", {address("0x0", "0X100"), length(title, 512, 1000)});
    QCOMPARE(transfers(5), (QStringList{"0x100+512", "0x300+488"}));
    QCOMPARE(values(bar), (QList<int>{51, 100}));
    QCOMPARE(logText(window), dumpOf(plain));

    // Not hexadecimal: the box only after the length dialog; 0 offered next.
    sim::clearEvents();
    click(window, "pushButtonReadExternalFlash", {address("0x100", "zz"), length(title, 1000, 600), kConversionError});
    click(window, "pushButtonReadExternalFlash", {address("0x0", "0x100"), length(title, 600, kCancel)});
    QVERIFY(sim::controlTransfers().isEmpty());

    // A read that fails for good shows "Read error"; like the dialogs, in the
    // user's language.
    QTranslator polish;
    QVERIFY(polish.load(QStringLiteral(VR480_QM_FILE)));
    QCoreApplication::installTranslator(&polish);
    sim::addFault({sim::Fault::Timeout, 5, -1, 0, -1});
    click(window, "pushButtonReadExternalFlash",
          {{"Odczyt pamięci zewnętrznej z Vr480 / Adres (szesnastkowo) / 0x0", "0"},
           {"Odczyt pamięci zewnętrznej z Vr480 / Długość (dziesiętnie) / 600 in 1..1048576 by 1", 600}});
    QCoreApplication::removeTranslator(&polish);
    QCOMPARE(transfers(5).size(), 101);
    QCOMPARE(logText(window), QStringLiteral("Błąd odczytu"));
    QCOMPARE(debug.count("VR480_Bootloader::slotpushButtonReadExternalFlash(bool t)"), 4);
}

void TestServiceDialogs::writeExternalFlash()
{
    sim::Device &device = bootloader();
    VR480_Bootloader window;
    DebugCapture debug;
    const QString title = "Write To External Flash Vr480";
    const auto address = [&](const QString &offered, const QVariant &reply) {
        return hexText(title, "Address (hex)", offered, reply);
    };
    const auto data = [&](const QString &offered, const QVariant &reply) {
        return hexText(title, "Data(hex)", offered, reply);
    };
    const auto logged = [](const QString &lengthLine, const QString &addressLine, const QByteArray &sent) {
        return lengthLine + '\n' + addressLine + '\n' + dumpOf(sent);
    };

    // Five bytes of 0xAB: the first four form a scrambled word, the fifth stays.
    const QByteArray five = scrambledCopy(QByteArray(5, char(0xAB)));
    QVERIFY(five.left(4) != QByteArray(4, char(0xAB)) && five.at(4) == char(0xAB));
    logOf(window)->append("earlier line");
    click(window, "pushButtonWriteExternalFlash",
          {address("0x0", "0x1000"), length(title, 1, 5), data("0x1", "0xAB")});
    QCOMPARE(transfers(6), QStringList{"0x1000+5"});
    QCOMPARE(device.externalFlash(0x1000, 5), five);
    QCOMPARE(logText(window), logged("lenght:        5", "address: 0x    1000", five));

    // A fill value that is not hexadecimal stops before sending and is
    // offered as 0 next; so is an address, which is checked at once.
    sim::clearEvents();
    click(window, "pushButtonWriteExternalFlash",
          {address("0x1000", "0x1000"), length(title, 5, 5), data("0xab", "xyz"), kConversionError});
    click(window, "pushButtonWriteExternalFlash", {address("0x1000", "g"), kConversionError});
    click(window, "pushButtonWriteExternalFlash",
          {address("0x0", "0x0"), length(title, 5, 9), data("0x0", kCancel)});
    QVERIFY(sim::controlTransfers().isEmpty());

    // Only the low byte fills; the whole value is offered again.
    click(window, "pushButtonWriteExternalFlash",
          {address("0x0", "0x20000"), length(title, 9, 8), data("0x0", "0x1234")});
    const QByteArray eight = scrambledCopy(QByteArray(8, 0x34));
    QCOMPARE(device.externalFlash(0x20000, 8), eight);
    QCOMPARE(logText(window), logged("lenght:        8", "address: 0x   20000", eight));

    // A write that fails for good adds "Write error" after the three blocks.
    sim::clearEvents();
    sim::addFault({sim::Fault::Stall, 6, -1, 0, -1, 0, 0x40});
    click(window, "pushButtonWriteExternalFlash",
          {address("0x20000", "0"), length(title, 8, 300), data("0x1234", "0x1")});
    QCOMPARE(transfers(6).size(), 101);
    QCOMPARE(logText(window),
             logged("lenght:      300", "address: 0x       0", scrambledCopy(QByteArray(300, 1))) + "\nWrite error");
    checkAsAppended(window);
    QCOMPARE(debug.count("VR480_Bootloader::slotpushButtonWriteExternalFlash(bool t)"), 6);
}

void TestServiceDialogs::writeExtFlashBin_data()
{
    QTest::addColumn<int>("size");
    QTest::addColumn<sim::FaultRule>("fault"); // request 0: none
    QTest::addColumn<QString>("box");
    QTest::addColumn<QStringList>("writes");
    QTest::addColumn<QStringList>("reads");
    QTest::addColumn<QList<int>>("bars"); // the write bar's values, -1, the read bar's

    const QStringList writes{"0x0+256", "0x100+256", "0x200+256", "0x300+232"};
    const QStringList reads{"0x0+512", "0x200+488"};
    const QList<int> bars{25, 51, 76, 100, -1, 51, 100};
    const sim::FaultRule none{sim::Fault::Stall, 0};
    const auto failing = [](int request) {
        return sim::FaultRule{sim::Fault::Stall, request, -1, 0, -1, 0, request == 5 ? 0xC0 : 0x40};
    };

    QTest::newRow("verified") << 1000 << none << "information: Info / Write OK" << writes << reads << bars;
    for (int size : {6, 0})
        QTest::addRow("%d bytes", size) << size << none << "critical: Length error / Length should be aligned to 4"
                                        << QStringList() << QStringList() << QList<int>{-1};
    QTest::newRow("larger than the flash")
        << 0x200004 << none << "critical: Length error / The file is larger than the external flash (2097152 bytes)"
        << QStringList() << QStringList() << QList<int>{-1};
    QTest::newRow("read back differs") << 1000 << sim::FaultRule{sim::Fault::Corrupt, 5}
                                       << "critical: Error / memcmp" << writes << reads << bars;
    QTest::newRow("write fails") << 1000 << failing(6) << "critical: Error / WriteExternalFlashToAddress"
                                 << QStringList(101, "0x0+256") << QStringList() << QList<int>{-1};
    QTest::newRow("read-back fails") << 1000 << failing(5) << "critical: Error / ReadExternalFlashFromAddress"
                                     << writes << QStringList(101, "0x0+512") << bars.mid(0, 5);
}

void TestServiceDialogs::writeExtFlashBin()
{
    QFETCH(int, size);
    QFETCH(sim::FaultRule, fault);
    QFETCH(QString, box);
    QFETCH(QStringList, writes);
    QFETCH(QStringList, reads);
    QFETCH(QList<int>, bars);

    sim::Device &device = bootloader();
    const QByteArray image = randomBytes(size, 3);
    QTemporaryDir dir;
    QFile file(dir.filePath("image.bin"));
    QVERIFY(file.open(QIODevice::WriteOnly) && file.write(image) == size);
    file.close();
    VR480_Bootloader window;
    QSignalSpy writeBar(window.findChild<QProgressBar *>("progressBarExtFlashWr"), &QProgressBar::valueChanged);
    QSignalSpy readBar(window.findChild<QProgressBar *>("progressBarExtFlashRd"), &QProgressBar::valueChanged);
    DebugCapture debug;
    const QString fileDialog = "file: Open File / Bin (*.bin)";

    click(window, "pushButtonWriteExtFlashBin", {{fileDialog, kCancel}});
    QVERIFY(sim::controlTransfers().isEmpty());

    if (fault.request)
        sim::addFault(fault);
    click(window, "pushButtonWriteExtFlashBin", {{fileDialog, file.fileName()}, {box, "OK"}});
    QCOMPARE(transfers(6), writes);
    QCOMPARE(transfers(5), reads);
    QCOMPARE(values(writeBar) << -1 << values(readBar), bars);
    QCOMPARE(debug.count(QStringLiteral("length error %1").arg(size)), writes.isEmpty() ? 1 : 0);
    QCOMPARE(debug.count("VR480_Bootloader::slotpushButtonWriteExtFlashBin(bool t)"), 2);
    // What was written is the image scrambled, and it stays in the flash.
    if (!reads.isEmpty())
        QCOMPARE(device.externalFlash(0, size), scrambledCopy(image));
    QVERIFY(logOf(window)->toPlainText().isEmpty());
}

QTEST_MAIN(TestServiceDialogs)
#include "tst_servicedialogs.moc"
