// The hex dump text: header, full and partial rows, the character column.

#include "hexdump.h"

#include <QtTest>

namespace {

QByteArray header(const char *data)
{
    return "\n src address: 0x" + QByteArray::number(quintptr(data), 16).rightJustified(8, '0');
}

QByteArray bytes(int count)
{
    QByteArray out(count, '\0');
    for (int i = 0; i < count; ++i)
        out[i] = char(i);
    return out;
}

} // namespace

class TestHexDump : public QObject {
    Q_OBJECT

private slots:
    void headerAlone();
    void rows();
    void characterColumn();
    void longDump();
};

void TestHexDump::headerAlone()
{
    const char data[] = "abc";
    QCOMPARE(HexDump(data, 0), header(data));
    QCOMPARE(HexDump(data, -5), header(data));
    QVERIFY(header(data).size() >= 19);
}

void TestHexDump::rows()
{
    const QByteArray data = QByteArray("0123456789ABCDEF") + "xyz";
    QCOMPARE(HexDump(data.constData(), 16),
             header(data.constData())
                 + "\n0x0000: 30 31 32 33 34 35 36 37 38 39 41 42 43 44 45 46 < 0123456789ABCDEF >");

    // A partial row keeps the brackets in the columns of a full one.
    const QByteArray dump = HexDump(data.constData(), 17);
    const QList<QByteArray> lines = dump.split('\n');
    QCOMPARE(lines.size(), 4);
    QCOMPARE(lines.at(3), "0x0010: 78" + QByteArray(45, ' ') + " < x" + QByteArray(15, ' ') + " >");
    QCOMPARE(lines.at(3).size(), lines.at(2).size());
    QCOMPARE(lines.at(3).indexOf(" < "), lines.at(2).indexOf(" < "));

    const QByteArray three = HexDump(data.constData() + 16, 3);
    QVERIFY(three.endsWith("\n0x0000: 78 79 7a" + QByteArray(39, ' ') + " < xyz" + QByteArray(13, ' ') + " >"));
}

void TestHexDump::characterColumn()
{
    const QByteArray data("\x1f\x20\x7e\x7f\x80\xff\x00\x41\x0a\x0d\x09\x61\x7b\x5c\x3c\x3e", 16);
    QVERIFY(HexDump(data.constData(), 16)
                .endsWith("\n0x0000: 1f 20 7e 7f 80 ff 00 41 0a 0d 09 61 7b 5c 3c 3e < . ~\x7f...A...a{\\<> >"));
}

// 4096 bytes: 256 rows from 0x0000 to 0x0ff0; past 0x10000 the offset grows.
void TestHexDump::longDump()
{
    const QByteArray data = bytes(0x10011);
    const QList<QByteArray> lines = HexDump(data.constData(), 4096).split('\n');
    QCOMPARE(lines.size(), 2 + 256);
    QVERIFY(lines.at(2).startsWith("0x0000: 00 01 02"));
    QVERIFY(lines.last().startsWith("0x0ff0: f0 f1 f2"));
    for (const QByteArray &line : lines.mid(2))
        QCOMPARE(line.size(), 76);

    const QList<QByteArray> big = HexDump(data.constData(), data.size()).split('\n');
    QCOMPARE(big.size(), 2 + 4097 + 1);
    QVERIFY(big.at(big.size() - 2).startsWith("0x10000: 00 01"));
    QVERIFY(big.last().startsWith("0x10010: 10" + QByteArray(45, ' ') + " < ."));
}

QTEST_APPLESS_MAIN(TestHexDump)
#include "tst_hexdump.moc"
