// Intel HEX conversion: result codes, windows, files made by real tools, and a
// cross-check against SRecord's own conversion of random layouts.

#include "bytes.h"
#include "intelhex.h"
#include "memorymap.h"
#include "srecord.h"
#include "system.h"

#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QtTest>


#include <thread>

namespace {

// One record with its checksum: byte count, address, type, data.
QByteArray record(quint16 address, int type, const QByteArray &data, int count = -1)
{
    QByteArray bytes;
    bytes.append(char(count < 0 ? data.size() : count));
    bytes.append(char(address >> 8)).append(char(address)).append(char(type)).append(data);
    int sum = 0;
    for (char c : bytes)
        sum += static_cast<unsigned char>(c);
    bytes.append(char(-sum));
    return ':' + bytes.toHex().toUpper() + '\n';
}

QByteArray upper(quint16 value) { return record(0, 4, QByteArray::fromHex(QByteArray::number(value, 16).rightJustified(4, '0'))); }
const QByteArray kEnd = ":00000001FF\n";

QByteArray pattern(int count, int first = 0)
{
    QByteArray data(count, '\0');
    for (int i = 0; i < count; ++i)
        data[i] = char(first + i);
    return data;
}

// Converts `text` into the 32-byte window from 0x08000000, filled with 0xEE.
struct Converted {
    int result;
    QByteArray window;
};
Converted convert(const QByteArray &text, quint32 first = 0x08000000, int size = 32)
{
    QTemporaryDir dir;
    QFile file(dir.filePath(QStringLiteral("in.hex")));
    if (!file.open(QIODevice::WriteOnly) || file.write(text) != text.size())
        qFatal("cannot write the HEX file");
    file.close();
    QByteArray window(size, '\xee');
    const int result = HexToBin(file.fileName(), window.data(), first, first + quint32(size) - 1);
    return {result, window};
}

// The image of a window of a file, converted by HexToBin into zeros.
QByteArray hexToBin(const QString &path, quint32 first, quint32 last)
{
    QByteArray window(int(last - first + 1), '\0');
    const int result = HexToBin(path, window.data(), first, last);
    if (result != 0)
        qWarning("HexToBin(%s) = %d", qPrintable(path), result);
    return result == 0 ? window : QByteArray();
}

struct Window {
    const char *name;
    quint32 first;
    quint32 last;
};
constexpr Window windowOf(const char *name, quint32 first, quint32 size)
{
    return {name, first, first + size - 1};
}
// The windows the image builders convert.
constexpr Window kBootloader = windowOf("bootloader", MemoryMap::kBootloaderAddress, MemoryMap::kBootloaderSize);
constexpr Window kApplication = windowOf("application", MemoryMap::kApplicationAddress, MemoryMap::kApplicationSize);
constexpr Window kExternal = windowOf("external flash", MemoryMap::kExternalLinkAddress, MemoryMap::kExternalDataSize);
constexpr Window kWindows[] = {kBootloader, kApplication, kExternal};

} // namespace

class TestIntelHex : public QObject {
    Q_OBJECT

private slots:
    void results_data();
    void results();
    void unreadableFiles();
    void pipe();
    void edgeFixtures_data();
    void edgeFixtures();
    void objcopyFirmware();
    void sameAsSrecord();
};

void TestIntelHex::results_data()
{
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<int>("result");
    QTest::addColumn<QByteArray>("window"); // the 32 bytes from 0x08000000 afterwards

    const QByteArray untouched(32, '\xee');
    const QByteArray u0800 = upper(0x0800);
    auto with = [&](int at, const QByteArray &bytes, QByteArray window = QByteArray(32, '\xee')) {
        return window.replace(at, int(bytes.size()), bytes);
    };
    const QByteArray first4 = with(0, pattern(4));

    QTest::newRow("end record alone") << kEnd << 0 << untouched;
    QTest::newRow("no end record: a file cut short") << u0800 + record(0, 0, pattern(4)) << -10 << first4;
    QTest::newRow("nothing read after the end record")
        << u0800 + record(0, 0, pattern(4)) + kEnd + "garbage\n" + record(4, 0, pattern(4)) << 0
        << first4;
    QTest::newRow("empty file") << QByteArray() << -10 << untouched;
    QTest::newRow("CR LF and lower case")
        << QByteArray(u0800 + record(0, 0, pattern(4)) + kEnd).replace("\n", "\r\n").toLower()
        << 0 << first4;
    QTest::newRow("last line without line end") << u0800 + record(0, 0, pattern(4)) + ":00000001FF"
                                                << 0 << first4;
    QTest::newRow("start linear address ignored")
        << u0800 + record(0, 5, QByteArray::fromHex("08004101")) + record(0, 0, pattern(4)) + kEnd
        << 0 << first4;

    // Where bytes land.
    QTest::newRow("data before any upper address is below the window")
        << record(0, 0, pattern(16)) + kEnd << 0 << untouched;
    QTest::newRow("last byte stored, the next skipped")
        << u0800 + record(0x1C, 0, pattern(8, 1)) + kEnd << 0 << with(0x1C, pattern(4, 1));
    QTest::newRow("data below the window skipped")
        << upper(0x07FF) + record(0xFFFC, 0, pattern(8, 1)) + kEnd << 0 << with(0, pattern(4, 5));
    QTest::newRow("later records overwrite")
        << u0800 + record(0, 0, pattern(8)) + record(2, 0, QByteArray("\xaa\xbb", 2)) + kEnd << 0
        << with(0, QByteArray::fromHex("0001aabb04050607"));
    QTest::newRow("upper address changes")
        << upper(0x0801) + record(0, 0, pattern(4)) + u0800 + record(8, 0, pattern(2)) + kEnd << 0
        << with(8, pattern(2));
    QTest::newRow("records of 32 data bytes") << u0800 + record(0, 0, pattern(32)) + kEnd << 0
                                              << pattern(32);
    QTest::newRow("records of 255 data bytes")
        << upper(0x07FF) + record(0xFFF0, 0, pattern(255)) + kEnd << 0 << pattern(32, 16);

    // Faults, in the order they are checked; records before a fault stay.
    const QByteArray before = u0800 + record(0, 0, pattern(4));
    QTest::newRow("empty line") << before + "\n" + kEnd << -1 << first4;
    QTest::newRow("ten characters") << before + ":000001FF\n" << -1 << first4;
    QTest::newRow("no colon") << before + ";00000001FF\n" << -2 << first4;
    QTest::newRow("byte count") << before + ":G0000001FF\n" << -3 << first4;
    QTest::newRow("address") << before + ":0000x00100\n" << -4 << first4;
    QTest::newRow("record type") << before + ":000000 1FF\n" << -5 << first4;
    QByteArray badDigit = record(8, 0, pattern(8));
    badDigit[9 + 2 * 4] = 'Z';
    QTest::newRow("data digit of the fifth byte") << before + badDigit << -6 << first4;
    QTest::newRow("byte count two past the data")
        << before + record(8, 0, pattern(4), 6) << -6 << first4;
    QTest::newRow("extended segment address") << before + record(0, 2, QByteArray(2, '\0')) << -7
                                              << first4;
    QTest::newRow("start segment address") << before + record(0, 3, QByteArray(4, '\0')) << -7
                                           << first4;
    QTest::newRow("unknown type") << before + record(0, 6, QByteArray()) << -7 << first4;
    QTest::newRow("upper address not hexadecimal") << before + ":020000040G00F2\n" << -7 << first4;

    // Records that do not add up.
    QByteArray wrongSum = record(8, 0, pattern(4));
    wrongSum[wrongSum.size() - 2] = wrongSum.at(wrongSum.size() - 2) == '0' ? '1' : '0';
    QTest::newRow("data checksum") << before + wrongSum << -8 << first4;
    QTest::newRow("end record checksum") << before + ":00000001FE\n" << -8 << first4;
    QTest::newRow("upper address checksum") << QByteArray(":020000040800F1\n") << -8 << untouched;
    QTest::newRow("start address checksum") << before + ":0400000508004101AC\n" << -8 << first4;
    QTest::newRow("byte count one past the data, checksum taken as data")
        << before + record(8, 0, pattern(4), 5) << -8 << first4;
    QTest::newRow("byte count short of the data")
        << before + record(8, 0, pattern(4), 3) << -8 << first4;
    QByteArray trailing = record(8, 0, pattern(4));
    trailing.insert(trailing.size() - 1, ' ');
    QTest::newRow("character after the checksum") << before + trailing << -8 << first4;
    QTest::newRow("line longer than any record")
        << before + ":FF000000" + QByteArray(600, '0') + "\n" << -8 << first4;
    QTest::newRow("upper address of one byte, checksum taken as its low byte")
        << before + record(0, 4, QByteArray::fromHex("08")) << -8 << first4;
    QTest::newRow("upper address of no byte") << before + record(0, 4, QByteArray()) << -8 << first4;
    QTest::newRow("start address of two bytes") << before + record(0, 5, QByteArray::fromHex("0800")) << -8
                                                << first4;
    QTest::newRow("end record with data") << before + record(0, 1, QByteArray::fromHex("00")) << -8 << first4;
    QTest::newRow("CR without LF")
        << QByteArray(u0800 + record(0, 0, pattern(4)) + kEnd).replace('\n', '\r') << -8
        << untouched;
}

void TestIntelHex::results()
{
    QFETCH(QByteArray, text);
    QFETCH(int, result);
    QFETCH(QByteArray, window);
    const Converted converted = convert(text);
    QCOMPARE(converted.result, result);
    QCOMPARE(converted.window.toHex(' '), window.toHex(' '));
}

void TestIntelHex::unreadableFiles()
{
    QTemporaryDir dir;
    QByteArray window(16, '\xee');
    QCOMPARE(HexToBin(dir.filePath(QStringLiteral("missing.hex")), window.data(), 0, 15), -9);
    QCOMPARE(HexToBin(dir.path(), window.data(), 0, 15), -9);
    if (!kOnWindows) // which has no endless file
        QCOMPARE(HexToBin(QStringLiteral("/dev/zero"), window.data(), 0, 15), -11); // endless
    // Larger than any HEX file read: refused by its size, before it is read.
    QFile sparse(dir.filePath(QStringLiteral("sparse.hex")));
    QVERIFY(sparse.open(QIODevice::WriteOnly) && sparse.resize(image::kMaxHexFileSize + 1));
    QCOMPARE(HexToBin(sparse.fileName(), window.data(), 0, 15), -11);
    QCOMPARE(window, QByteArray(16, '\xee'));
    // A read that is told to stop.
    QByteArray text;
    if (!kOnWindows)
        QCOMPARE(image::readHexFile(QStringLiteral("/dev/zero"), text, [] { return true; }).hexCode, -12);
}

// A pipe cannot be mapped: it is read whole, then converted the same way.
void TestIntelHex::pipe()
{
    SKIP_ON_WINDOWS("FIFOs: POSIX");
    QTemporaryDir dir;
    const QString fifo = dir.filePath(QStringLiteral("pipe.hex"));
    QVERIFY(makeFifo(fifo));
    const QByteArray text = upper(0x0800) + record(0, 0, pattern(4)) + kEnd;
    std::thread writer([&] {
        QFile file(fifo);
        if (file.open(QIODevice::WriteOnly))
            file.write(text);
    });
    QByteArray window(8, '\xee');
    const int result = HexToBin(fifo, window.data(), 0x08000000, 0x08000007);
    writer.join();
    QCOMPARE(result, 0);
    QCOMPARE(window, pattern(4) + QByteArray(4, '\xee'));
}

// Files written by SRecord: records of 16, 32 and 255 bytes, CR LF, lower case,
// a start address, data around every window edge and a 64 KiB boundary, where
// the byte at address a is a & 0xFF (the brand halfword 0x0803FFD0 left out).
void TestIntelHex::edgeFixtures_data()
{
    QTest::addColumn<QString>("path");
    for (const char *name : {"edges16.hex", "edges32.hex", "edges255.hex", "edges_crlf.hex",
                             "edges_lower.hex"})
        QTest::newRow(name) << fixture(name);
}

void TestIntelHex::edgeFixtures()
{
    QFETCH(QString, path);
    const QList<QPair<quint32, quint32>> ranges = {
        {0x07FFFFF8, 0x08000008}, {0x08003FF8, 0x08004008}, {0x0800FFF0, 0x08010010},
        {0x0803FFC0, 0x0803FFD0}, {0x0803FFD2, 0x08040008}, {0x0805BFF8, 0x0805C008}};
    for (const Window &window : kWindows) {
        const QByteArray image = hexToBin(path, window.first, window.last);
        QVERIFY2(!image.isEmpty(), window.name);
        QByteArray expected(image.size(), '\0');
        for (const auto &[from, to] : ranges) {
            for (quint32 a = qMax(from, window.first); a < to && a <= window.last; ++a)
                expected[int(a - window.first)] = char(a);
        }
        QVERIFY2(image == expected, window.name);
    }
}

// A program built by GCC and written by GNU objcopy: vector table at the start
// of the application, its external-flash data from 0x08040000.
void TestIntelHex::objcopyFirmware()
{
    const QByteArray application = hexToBin(fixture("firmware.hex"), kApplication.first, kApplication.last);
    QCOMPARE(qFromLittleEndian<quint32>(application.constData()), 0x20010000u); // initial stack
    const quint32 reset = qFromLittleEndian<quint32>(application.constData() + 4);
    QVERIFY(reset & 1); // Thumb
    QVERIFY(reset > kApplication.first && reset < kApplication.first + 0x100);
    const QByteArray external = hexToBin(fixture("firmware.hex"), kExternal.first, kExternal.last);
    QCOMPARE(qFromLittleEndian<quint32>(external.constData() + 4 * 5), 0x01010102u); // table
    QCOMPARE(external.mid(0x400, 26), QByteArray("VR480 external flash data", 26));
    const QByteArray bootloader = hexToBin(fixture("firmware.hex"), kBootloader.first, kBootloader.last);
    QCOMPARE(bootloader, QByteArray(int(MemoryMap::kBootloaderSize), '\0'));
}

// For random images and record layouts, SRecord writes a HEX file and the flat
// binary of each window from the same data; HexToBin must give those bytes.
void TestIntelHex::sameAsSrecord()
{
    SKIP_WITHOUT_SRECORD();
    QTemporaryDir dir;
    QRandomGenerator random(0x480);
    const QString hex = dir.filePath(QStringLiteral("random.hex"));
    for (int round = 0; round < 12; ++round) {
        // A few non-overlapping segments of random bytes anywhere from just
        // below the bootloader to past the external flash, often at an edge.
        QStringList segments;
        quint32 address = 0x07FFFF00 + random.bounded(0x100);
        for (int i = 0; i < 6 && address < 0x08060000; ++i) {
            const QString data = dir.filePath(QStringLiteral("segment%1.bin").arg(i));
            QFile file(data);
            QVERIFY(file.open(QIODevice::WriteOnly));
            QByteArray bytes(1 + random.bounded(random.bounded(2) ? 0x20000 : 0x200), '\0');
            random.fillRange(reinterpret_cast<quint32 *>(bytes.data()), int(bytes.size()) / 4);
            file.write(bytes);
            file.close();
            segments << data << QStringLiteral("-binary") << QStringLiteral("-offset")
                     << QString::number(address);
            const quint32 edges[] = {0x08003FFE, 0x0803FFFE, 0x0805BFFE, 0x08040000};
            address += quint32(bytes.size()) + quint32(random.bounded(0x30000));
            if (random.bounded(3) == 0 && edges[i % 4] > address)
                address = edges[i % 4] - quint32(random.bounded(4));
        }
        const QString recordLength = QString::number(1 + random.bounded(255));
        QStringList write = segments;
        write << QStringLiteral("-o") << hex << QStringLiteral("-intel")
              << QStringLiteral("-obs=") + recordLength;
        if (random.bounded(2))
            write << QStringLiteral("-line-termination=crlf");
        runSrecCat(write);

        for (const Window &window : kWindows) {
            const QByteArray expected = srecordWindow(hex, window.first, window.last, 0);
            QCOMPARE(expected.size(), qsizetype(window.last + 1 - window.first));
            const QByteArray image = hexToBin(hex, window.first, window.last);
            QVERIFY2(image == expected,
                     qPrintable(QStringLiteral("round %1, %2, records of %3 bytes")
                                    .arg(round)
                                    .arg(QLatin1String(window.name), recordLength)));
        }
    }
}

QTEST_GUILESS_MAIN(TestIntelHex)
#include "tst_intelhex.moc"
