// The image builders of the window, their dialogs driven for real: upgrade
// files from Intel HEX (checked byte for byte and programmed by the upgrade
// worker into the simulated device) and numbered bootloader images.

#include "capture.h"
#include "dialogs.h"
#include "imagebuilder.h"
#include "intelhex.h"
#include "scramble.h"
#include "simdevice.h"
#include "systemtext.h"
#include "upgradefile.h"
#include "upgrader.h"
#include "usbvr480.h"
#include "vr480_bootloader.h"

#include <QComboBox>
#include <QTemporaryDir>
#include <QTextBrowser>
#include <QtTest>

#include <memory>

namespace {

QString fixture(const char *name)
{
    return QStringLiteral(VR480_FIXTURES "/") + QLatin1String(name);
}

QString logOf(const VR480_Bootloader &window)
{
    return window.findChild<QTextBrowser *>(QStringLiteral("txt"))->toPlainText();
}

QByteArray contents(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// The file dialogs, answered with `path`, or cancelled for an empty path.
QVariant pathOrCancel(const QString &path)
{
    return path.isEmpty() ? kCancel : QVariant(path);
}
Answer openHex(const QString &path) { return {"file: Open File / Hex (*.hex)", pathOrCancel(path)}; }
Answer saveUpg(const QString &path) { return {"save file: Save File / Upg (*.upg)", pathOrCancel(path)}; }

// An item dialog (not editable) offering `current` of `items`; accepted as
// offered, or cancelled.
Answer itemDialog(const QString &title, const QString &label, const QStringList &items,
                  const QString &current, bool accept = true)
{
    return {title + " / " + label + " / " + current + " of " + items.join(','),
            accept ? QVariant(current) : kCancel};
}

// An integer dialog offering 1 in minimum..maximum by 1; `value` entered, or
// cancelled for -1.
Answer intDialog(const QString &title, const QString &label, int minimum, int maximum, int value)
{
    return {QStringLiteral("%1 / %2 / 1 in %3..%4 by 1").arg(title, label).arg(minimum).arg(maximum),
            value < 0 ? kCancel : QVariant(value)};
}

// A critical box titled "Error" with `text` and one OK button.
Answer errorBox(const QString &text)
{
    return {"critical: Error / " + text, "OK"};
}

QStringList twoDigits(int first, int last)
{
    QStringList items;
    for (int i = first; i <= last; ++i)
        items << QStringLiteral("%1").arg(i, 2, 10, QLatin1Char('0'));
    return items;
}
const QStringList kYears = twoDigits(0, 99);
const QStringList kWeeks = twoDigits(1, 53);

// The steps up to the count dialog for year 26, week 15 and `number`.
QList<Answer> bootloaderAnswers(const QString &hex, int number, int maxCount, int count)
{
    return {openHex(hex), itemDialog("Production year", "Year(YY)", kYears, "26"),
            itemDialog("Production week", "Week(WW)", kWeeks, "15"),
            intDialog("Production number", "Number(NNNN)", 1, 9999, number),
            intDialog("Iteration", "Count:", 1, maxCount, count)};
}

// Bytes a & 0xFF at the addresses of the edges fixture inside the upgrade
// image, checksums added: the expected image, computed without the builder.
QByteArray edgesUpgradeImage()
{
    QByteArray image(UpgradeFile::kImageSize, '\0');
    const QList<QPair<quint32, quint32>> ranges = {
        {0x08004000, 0x08004008}, {0x0800FFF0, 0x08010010}, {0x0803FFC0, 0x0803FFD0},
        {0x0803FFD2, 0x08040008}, {0x0805BFF8, 0x0805C000}};
    for (const auto &[from, to] : ranges) {
        for (quint32 a = from; a < to; ++a)
            image[int(a - 0x08000000)] = char(a);
    }
    for (const auto &[offset, size] : {qMakePair(0x4000, 0x3C000), qMakePair(0x40000, 0x1C000)}) {
        quint32 sum = 0;
        for (int i = offset; i < offset + size - 4; i += 4)
            sum += qFromLittleEndian<quint32>(image.constData() + i);
        qToLittleEndian(sum, image.data() + offset + size - 4);
    }
    return image;
}

} // namespace

Q_DECLARE_METATYPE(image::FileStatus)

class TestImageBuilder : public QObject {
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void createUpg();
    void createUpgEndings_data();
    void createUpgEndings();
    void createUpgOverItsInput();
    void applicationChecksum();
    void fileResults_data();
    void fileResults();

    void createBootBin();
    void productionNumberLimits_data();
    void productionNumberLimits();
    void productionDate_data();
    void productionDate();
    void createBootBinEndings_data();
    void createBootBinEndings();

private:
    std::unique_ptr<QTemporaryDir> workDir;
    QString previousDir;
};

void TestImageBuilder::init()
{
    sim::reset();
    // Bootloader images land in the current directory.
    previousDir = QDir::currentPath();
    workDir = std::make_unique<QTemporaryDir>();
    QVERIFY(workDir->isValid());
    QVERIFY(QDir::setCurrent(workDir->path()));
}

void TestImageBuilder::cleanup()
{
    QDir::setCurrent(previousDir);
    workDir.reset();
}

// SRecord's file with data at every window edge becomes an upgrade file that
// holds exactly those bytes with their checksums, and the upgrade worker
// programs it.
void TestImageBuilder::createUpg()
{
    DebugCapture debug;
    VR480_Bootloader window;
    window.findChild<QTextBrowser *>(QStringLiteral("txt"))->setPlainText("earlier text");
    debug.clear();
    const QString upg = workDir->filePath(QStringLiteral("release.upg"));
    answerDialogs([&] { window.slotpushButtonCreateUpg(false); },
                  {openHex(fixture("edges16.hex")), saveUpg(upg)});
    QCOMPARE(logOf(window), QString());
    QCOMPARE(debug.lines().value(0), QStringLiteral("VR480_Bootloader::slotpushButtonCreateUpg(bool t)"));

    const QByteArray expected = edgesUpgradeImage();
    QFile file(upg);
    QCOMPARE(file.size(), 393282);
    QVERIFY(file.open(QIODevice::ReadOnly));
    QByteArray payload;
    QVERIFY(UpgradeFile::read(file, payload).ok());
    file.close();
    decodeData(payload.data(), int(payload.size()));
    QVERIFY(payload == expected);

    // The worker takes the file; the device's own unscrambling gives back the
    // application, and the external flash holds the data as the tools store it.
    sim::Device &device = sim::addDevice(0);
    USBVR480 usb;
    Upgrader upgrader(&usb);
    upgrader.setSleeper([](unsigned long) {});
    QStringList log;
    connect(&upgrader, &Upgrader::sendText, this, [&](const QString &text) { log << text; },
            Qt::DirectConnection);
    upgrader.slotSetFileName(upg);
    upgrader.start();
    QVERIFY(upgrader.wait(120000));
    QCOMPARE(log.count(QStringLiteral("OK")), 3);
    QCOMPARE(device.applicationStarts(), 1);
    QVERIFY(device.flash(0x08004000, 0x3C000) == expected.mid(0x4000, 0x3C000));
    QByteArray external = expected.mid(0x40000, 0x1C000);
    encodeData(external.data(), int(external.size()));
    QVERIFY(device.externalFlash(0, 0x1C000) == external);
}

void TestImageBuilder::createUpgEndings_data()
{
    QTest::addColumn<QString>("hex");         // chosen in the open dialog; "" cancels it
    QTest::addColumn<QString>("upg");         // chosen in the save dialog; "" cancels it
    QTest::addColumn<QString>("log");
    QTest::addColumn<QString>("boxText");     // text of the "Error" box, if one
    QTest::addColumn<QStringList>("unexpected"); // dialogs after the scripted ones

    QTest::newRow("open cancelled") << QString() << QString() << QString() << QString()
                                    << QStringList();
    QTest::newRow("save cancelled") << fixture("firmware.hex") << QString() << QString()
                                    << QString() << QStringList();
    QTest::newRow("foreign brand") << fixture("firmware_brand.hex") << QString()
                                   << "Err: Invalid brand!" << QString()
                                   << QStringList{"Save File"};
    QTest::newRow("conversion error") << fixture("firmware.c") << QString()
                                      << "HexToBin error: -2)" << "HexToBin error: -2)"
                                      << QStringList{"Save File"};
    const QString noApplication = "No application data in " + fixture("bootloader.hex");
    QTest::newRow("no application data") << fixture("bootloader.hex") << QString() << noApplication
                                         << noApplication << QStringList{"Save File"};
    QTest::newRow("folder missing")
        << fixture("firmware.hex") << "missing/release.upg"
        << "Cannot write the file %1/missing/release.upg"
        << "Cannot write the file %1/missing/release.upg" << QStringList();
}

// Every other ending: no file is left behind.
void TestImageBuilder::createUpgEndings()
{
    QFETCH(QString, hex);
    QFETCH(QString, upg);
    QFETCH(QString, log);
    QFETCH(QString, boxText);
    QFETCH(QStringList, unexpected);
    log.replace(QLatin1String("%1"), workDir->path());
    boxText.replace(QLatin1String("%1"), workDir->path());

    DebugCapture quiet;
    VR480_Bootloader window;
    QList<Answer> answers{openHex(hex)};
    if (!hex.isEmpty() && unexpected.isEmpty())
        answers << saveUpg(upg.isEmpty() ? QString() : workDir->filePath(upg));
    if (!boxText.isEmpty())
        answers << errorBox(boxText);
    answerDialogs([&] { window.slotpushButtonCreateUpg(false); }, answers);
    QCOMPARE(logOf(window), log);
    QCOMPARE(QDir(workDir->path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot),
             QStringList());
}

// The application filled with 0xFF but for the zero brand halfword.
void TestImageBuilder::applicationChecksum()
{
    QTemporaryDir dir;
    QFile hex(dir.filePath(QStringLiteral("full.hex")));
    QVERIFY(hex.open(QIODevice::WriteOnly));
    hex.write(":020000040800F2\n");
    for (quint32 address = 0x08004000; address < 0x08040000; address += 16) {
        if (address == 0x08010000 || address == 0x08020000 || address == 0x08030000)
            hex.write(address == 0x08010000 ? ":020000040801F1\n"
                      : address == 0x08020000 ? ":020000040802F0\n"
                                              : ":020000040803EF\n");
        QByteArray data(16, '\xff');
        if (address == 0x0803FFD0)
            data[0] = data[1] = 0;
        QByteArray record = QByteArray(1, 16) + char(address >> 8) + char(address) + '\0' + data;
        int sum = 0;
        for (char c : record)
            sum += static_cast<unsigned char>(c);
        hex.write(':' + (record + char(-sum)).toHex() + '\n');
    }
    hex.write(":00000001FF\n");
    hex.close();
    QByteArray image;
    QVERIFY(ImageBuilder::convertUpgradeImage(hex.fileName(), image).ok());
    QVERIFY(!ImageBuilder::hasForeignBrand(image, UpgradeFile::kBrandOffset));
    UpgradeFile::fillChecksums(image);
    QCOMPARE(qFromLittleEndian<quint32>(image.constData() + 0x3FFFC), 0xFFFE1002u);
    QCOMPARE(qFromLittleEndian<quint32>(image.constData() + 0x5BFFC), 0u);
}

// What each way of a conversion or a save ends in: a status of its own, the
// system's reason where there is one, and HexToBin's code for a HEX file.
void TestImageBuilder::fileResults_data()
{
    QTest::addColumn<QString>("hex");      // "" converts nothing: the save alone
    QTest::addColumn<bool>("bootloader"); // which image is converted
    QTest::addColumn<bool>("stop");
    QTest::addColumn<image::FileStatus>("status");
    QTest::addColumn<int>("hexCode");
    QTest::addColumn<QString>("error");

    QTest::newRow("upgrade image") << fixture("firmware.hex") << false << false << image::FileStatus::Ok << 0 << "";
    QTest::newRow("bootloader image") << fixture("bootloader.hex") << true << false << image::FileStatus::Ok << 0 << "";
    QTest::newRow("missing file") << "missing.hex" << false << false << image::FileStatus::CannotRead << -9
                                  << noSuchFile();
    QTest::newRow("a folder") << "." << true << false << image::FileStatus::CannotRead << -9 << "is a folder";
    QTest::newRow("not HEX") << fixture("firmware.c") << false << false << image::FileStatus::BadHex << -2 << "";
    QTest::newRow("no application") << fixture("bootloader.hex") << false << false << image::FileStatus::NoData << 0 << "";
    QTest::newRow("no bootloader") << fixture("firmware.hex") << true << false << image::FileStatus::NoData << 0 << "";
    QTest::newRow("stopped") << fixture("firmware.hex") << false << true << image::FileStatus::Interrupted << -12 << "";
    QTest::newRow("save, no such folder") << "" << false << false << image::FileStatus::CannotWrite << 0
                                          << "missing/out.upg: No such file or directory";
}

void TestImageBuilder::fileResults()
{
    QFETCH(QString, hex);
    QFETCH(bool, bootloader);
    QFETCH(bool, stop);
    QFETCH(image::FileStatus, status);
    QFETCH(int, hexCode);
    QFETCH(QString, error);
    QByteArray image(UpgradeFile::kImageSize, '\0');
    const image::StopCheck stopCheck = [stop] { return stop; };
    const image::FileResult result = hex.isEmpty() ? ImageBuilder::saveUpgradeFile("missing/out.upg", image)
                              : bootloader  ? ImageBuilder::convertBootloaderImage(hex, image, stopCheck)
                                            : ImageBuilder::convertUpgradeImage(hex, image, stopCheck);
    QCOMPARE(result.status, status);
    QCOMPARE(result.ok(), status == image::FileStatus::Ok);
    QCOMPARE(result.hexCode, hexCode);
    QCOMPARE(result.error, error);
    // The code is what HexToBin gives for the same file.
    if (!hex.isEmpty() && !stop)
        QCOMPARE(HexToBin(hex, image.data(), 0, 0), hexCode);
}

// Year 26, week 15, numbers 1 to 3.
void TestImageBuilder::createBootBin()
{
    VR480_Bootloader window;
    window.setDateSource([] { return QDate(2026, 4, 8); });
    answerDialogs([&] { window.slotpushButtonCreateBootBin(false); },
                  bootloaderAnswers(fixture("bootloader.hex"), 1, 9998, 3));
    QCOMPARE(logOf(window), QStringLiteral("prod_number 1\niter 3\n"
                                           "261500001\nNew bootloader + serial:\nVr480_Bootloader_261500001.bin\n"
                                           "261500002\nNew bootloader + serial:\nVr480_Bootloader_261500002.bin\n"
                                           "261500003\nNew bootloader + serial:\nVr480_Bootloader_261500003.bin"));
    QCOMPARE(QDir().entryList(QDir::Files),
             QStringList({"Vr480_Bootloader_261500001.bin", "Vr480_Bootloader_261500002.bin",
                          "Vr480_Bootloader_261500003.bin"}));
    const QByteArray first = contents("Vr480_Bootloader_261500001.bin");
    QCOMPARE(first.size(), 16384);
    QCOMPARE(qFromLittleEndian<quint32>(first.constData()), 0x20010000u); // the program's vectors
    QCOMPARE(first.mid(0x3FD0, 2), QByteArray(2, '\0'));
    // The serial over the file's placeholder, whose tenth byte stays.
    QCOMPARE(first.mid(0x3FF0, 11), QByteArray("261500001*\0", 11));
    for (const char *name : {"Vr480_Bootloader_261500002.bin", "Vr480_Bootloader_261500003.bin"}) {
        QByteArray other = contents(name);
        QCOMPARE(other.mid(0x3FF0, 9), QByteArray(name + 17, 9));
        QCOMPARE(other.replace(0x3FF8, 1, "1"), first);
    }
}

void TestImageBuilder::productionNumberLimits_data()
{
    QTest::addColumn<int>("number");
    QTest::addColumn<int>("maxCount");
    QTest::newRow("9990") << 9990 << 9;
    QTest::newRow("9998") << 9998 << 1;
    QTest::newRow("9999") << 9999 << 1;
}

// The last number of a run is 9998, but a run may start at 9999.
void TestImageBuilder::productionNumberLimits()
{
    QFETCH(int, number);
    QFETCH(int, maxCount);
    VR480_Bootloader window;
    window.setDateSource([] { return QDate(2026, 4, 8); });
    answerDialogs([&] { window.slotpushButtonCreateBootBin(false); },
                  bootloaderAnswers(fixture("bootloader.hex"), number, maxCount, maxCount));
    const QStringList files = QDir().entryList(QDir::Files);
    QCOMPARE(files.size(), maxCount);
    QCOMPARE(files.last(), QStringLiteral("Vr480_Bootloader_2615%1.bin")
                               .arg(qMin(number + maxCount - 1, 9999), 5, 10, QLatin1Char('0')));
}

void TestImageBuilder::productionDate_data()
{
    QTest::addColumn<QDate>("today");
    QTest::addColumn<QString>("year");
    QTest::addColumn<QString>("week");
    QTest::newRow("week 15") << QDate(2026, 4, 8) << "26" << "15";
    QTest::newRow("week 53") << QDate(2026, 12, 31) << "26" << "53";
    // The year is the ISO week's, which differs from the calendar's around New Year.
    QTest::newRow("1 January in last year's week 53") << QDate(2027, 1, 1) << "26" << "53";
    QTest::newRow("1 January in last year's week 52") << QDate(2022, 1, 1) << "21" << "52";
    QTest::newRow("29 December in next year's week 1") << QDate(2025, 12, 29) << "26" << "01";
    QTest::newRow("year 2000") << QDate(2000, 6, 1) << "00" << "22";
}

// The dialogs offer today's ISO week and its year; cancelling the week
// ends the run.
void TestImageBuilder::productionDate()
{
    QFETCH(QDate, today);
    QFETCH(QString, year);
    QFETCH(QString, week);
    VR480_Bootloader window;
    window.setDateSource([today] { return today; });
    answerDialogs([&] { window.slotpushButtonCreateBootBin(false); },
                  {openHex(fixture("bootloader.hex")), itemDialog("Production year", "Year(YY)", kYears, year),
                   itemDialog("Production week", "Week(WW)", kWeeks, week, false)});
    QCOMPARE(QDir().entryList(QDir::Files), QStringList());
}

void TestImageBuilder::createBootBinEndings_data()
{
    QTest::addColumn<QString>("hex");
    QTest::addColumn<int>("cancelAt"); // dialog cancelled: 1 open, 2 year, 3 week, 4 number, 5 count; 0 none
    QTest::addColumn<QString>("log");
    QTest::addColumn<QString>("boxText");
    QTest::addColumn<QStringList>("files");

    const QString hex = fixture("bootloader.hex");
    for (int at = 1; at <= 5; ++at) {
        QTest::addRow("cancel at dialog %d", at)
            << hex << at << (at == 5 ? "prod_number 1" : "") << QString() << QStringList();
    }
    QTest::newRow("foreign brand") << fixture("bootloader_brand.hex") << 0 << "Err: Invalid brand!"
                                   << QString() << QStringList();
    QTest::newRow("conversion error") << fixture("firmware.ld") << 0 << "HexToBin error: -2)"
                                      << "HexToBin error: -2)" << QStringList();
    const QString noBootloader = "No bootloader data in " + fixture("firmware.hex");
    QTest::newRow("no bootloader data") << fixture("firmware.hex") << 0 << noBootloader << noBootloader
                                        << QStringList();
    // A folder in the way of the second file: the run stops there.
    QTest::newRow("second file not written")
        << hex << 0
        << "prod_number 1\niter 3\n261500001\nNew bootloader + serial:\nVr480_Bootloader_261500001.bin\n"
           "261500002\nCannot write the file Vr480_Bootloader_261500002.bin"
        << "Cannot write the file Vr480_Bootloader_261500002.bin"
        << QStringList{"Vr480_Bootloader_261500001.bin"};
}

void TestImageBuilder::createBootBinEndings()
{
    QFETCH(QString, hex);
    QFETCH(int, cancelAt);
    QFETCH(QString, log);
    QFETCH(QString, boxText);
    QFETCH(QStringList, files);

    VR480_Bootloader window;
    window.setDateSource([] { return QDate(2026, 4, 8); });
    QList<Answer> answers;
    if (cancelAt > 0) {
        answers = bootloaderAnswers(hex, 1, 9998, 3).mid(0, cancelAt);
        answers.last().reply = kCancel;
    } else if (files.isEmpty()) {
        answers << openHex(hex);
    } else {
        QVERIFY(QDir().mkdir(QStringLiteral("Vr480_Bootloader_261500002.bin")));
        answers = bootloaderAnswers(hex, 1, 9998, 3);
    }
    if (!boxText.isEmpty())
        answers << errorBox(boxText);
    answerDialogs([&] { window.slotpushButtonCreateBootBin(false); }, answers);
    QCOMPARE(logOf(window), log);
    QCOMPARE(QDir().entryList(QDir::Files), files);
}

// Choosing the HEX file itself as the upgrade file, and confirming the
// replacement, saves the upgrade file over it: the image is already in memory.
void TestImageBuilder::createUpgOverItsInput()
{
    const QString hex = workDir->filePath(QStringLiteral("fw.hex"));
    QVERIFY(QFile::copy(fixture("edges16.hex"), hex));
    VR480_Bootloader window;
    answerDialogs([&] { window.slotpushButtonCreateUpg(false); },
                  {openHex(hex), saveUpg(hex), {"warning: Save File / fw.hex already exists.\nDo you want to replace it? (more buttons)", "Yes"}});
    QCOMPARE(logOf(window), QString());
    QBuffer file;
    file.setData(contents(hex));
    QVERIFY(file.open(QIODevice::ReadOnly));
    QByteArray payload;
    QVERIFY(UpgradeFile::read(file, payload).ok());
    decodeData(payload.data(), int(payload.size()));
    QVERIFY(payload == edgesUpgradeImage());
}

QTEST_MAIN(TestImageBuilder)
#include "tst_imagebuilder.moc"
