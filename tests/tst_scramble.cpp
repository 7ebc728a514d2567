// Word scrambling: known answers computed outside the program, the inverse,
// the untouched tail, the key phase and the debug lines.

#include "bytes.h"
#include "capture.h"
#include "scramble.h"

#include <QtEndian>
#include <QtTest>

namespace {

// 34 plain words, word i = i * 0x11223344 + 0x55, little-endian.
QByteArray plainWords()
{
    QByteArray bytes(34 * 4, '\0');
    for (int i = 0; i < 34; ++i)
        qToLittleEndian<quint32>(quint32(i) * 0x11223344u + 0x55u, bytes.data() + 4 * i);
    return bytes;
}

// The same words scrambled with the default key, computed independently.
const char *const kScrambledHex =
    "5910ae9b1db4a596dd68773b41dc76bc89d1d498a900ab550dc4d1963567f0878565562a390e4c2401ad67acb9b9"
    "843cc597dbf111a53c1f6dd1de0f610d3ed555b54b6de187b5a3e1e487ca950e3256597e4c670dbbce772d92fa78"
    "81245b8b49f1c6e3f99167d1bdc581c22589230fd923c21fd5f01f0951cceb4a9db95b1cd96868b79d616fba";

} // namespace

class TestScramble : public QObject {
    Q_OBJECT

private slots:
    void knownAnswer()
    {
        if (!VR480_DEFAULT_KEY)
            QSKIP("the known answers are those of the default key; this build has another one");
        QByteArray bytes = plainWords();
        encodeData(bytes.data(), int(bytes.size()));
        QCOMPARE(bytes.toHex(), QByteArray(kScrambledHex));
        decodeData(bytes.data(), int(bytes.size()));
        QCOMPARE(bytes, plainWords());
    }

    void roundTripAnyLength_data()
    {
        QTest::addColumn<int>("length");
        for (int length : {0, 1, 3, 4, 5, 10, 127, 128, 129, 2048, 393216})
            QTest::addRow("%d", length) << length;
    }
    void roundTripAnyLength()
    {
        QFETCH(int, length);
        const QByteArray plain = randomBytes(length, 1);
        QByteArray bytes = plain;
        QCOMPARE(encodeData(bytes.data(), length), 0);
        // The last length % 4 bytes are neither read nor written.
        QCOMPARE(bytes.right(length % 4), plain.right(length % 4));
        if (length >= 4)
            QVERIFY(bytes.left(length & ~3) != plain.left(length & ~3));
        QCOMPARE(decodeData(bytes.data(), length), 0);
        QCOMPARE(bytes, plain);
    }

    void keyPhaseRestartsOnEveryCall()
    {
        const QByteArray plain = randomBytes(512, 1);
        QByteArray whole = plain;
        encodeData(whole.data(), 512);

        // Pieces that start at multiples of 128 bytes give the same bytes...
        QByteArray pieces = plain;
        for (int offset = 0; offset < 512; offset += 128)
            encodeData(pieces.data() + offset, 128);
        QCOMPARE(pieces, whole);

        // ...pieces that do not, do not.
        QByteArray shifted = plain;
        encodeData(shifted.data(), 4);
        encodeData(shifted.data() + 4, 508);
        QCOMPARE(shifted.left(4), whole.left(4));
        QVERIFY(shifted.mid(4) != whole.mid(4));
    }

    void zeroKeyWordPassesDataUnchanged()
    {
        // Key word 5 of the default key is 0.
        if (!VR480_DEFAULT_KEY)
            QSKIP("word 5 is 0 in the default key; this build has another one");
        QByteArray bytes = randomBytes(128, 1);
        const QByteArray plain = bytes;
        encodeData(bytes.data(), int(bytes.size()));
        QCOMPARE(bytes.mid(20, 4), plain.mid(20, 4));
    }

    void encodeWritesStartAndEndAddresses()
    {
        char buffer[11] = {};
        DebugCapture capture;
        encodeData(buffer, 10);
        decodeData(buffer, 10);
        const QString start = QStringLiteral("0x%1").arg(quintptr(buffer), 8, 16, QLatin1Char('0'));
        const QString end = QStringLiteral("0x%1").arg(quintptr(buffer + 8), 8, 16, QLatin1Char('0'));
        QCOMPARE(capture.lines(),
                 QStringList({QStringLiteral("Encoding started @ ") + start,
                              QStringLiteral("Encoding end @ ") + end}));

        capture.clear();
        encodeData(buffer, 3);
        QCOMPARE(capture.lines(), QStringList({QStringLiteral("Encoding started @ ") + start,
                                               QStringLiteral("Encoding end @ ") + start}));
    }
};

QTEST_GUILESS_MAIN(TestScramble)
#include "tst_scramble.moc"
