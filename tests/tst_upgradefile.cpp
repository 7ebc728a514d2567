// The upgrade file: its exact bytes, the checksums, and the reader on files
// that are not upgrade files.

#include "bytes.h"
#include "capture.h"
#include "scramble.h"
#include "upgradefile.h"

#include <QBuffer>
#include <QtEndian>
#include <QtTest>

namespace {

using namespace UpgradeFile;

// Random bytes over the whole image, the checksum words included.
QByteArray randomImage()
{
    return randomBytes(kImageSize, 7);
}

QByteArray fileBytes(const QByteArray &image)
{
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    if (!UpgradeFile::write(buffer, image))
        qFatal("write failed");
    return bytes;
}

image::FileStatus readBytes(const QByteArray &bytes, QByteArray &payload)
{
    QBuffer buffer;
    buffer.setData(bytes);
    buffer.open(QIODevice::ReadOnly);
    return UpgradeFile::read(buffer, payload).status;
}

// A string record as a Qt 4 data stream writes it: byte length, UTF-16 big-endian.
QByteArray stringRecord(const QString &text)
{
    QByteArray record(4, '\0');
    qToBigEndian<quint32>(quint32(text.size() * 2), record.data());
    for (QChar c : text)
        record += char(c.unicode() >> 8) + QByteArray(1, char(c.unicode() & 0xFF));
    return record;
}

QByteArray lengthField(quint32 length)
{
    QByteArray field(4, '\0');
    qToBigEndian(length, field.data());
    return field;
}

// The checksum words: the last of each region.
constexpr int kApplicationSum = kApplicationOffset + kApplicationSize - 4;
constexpr int kExternalSum = kExternalOffset + kExternalSize - 4;

quint32 wordSum(const QByteArray &image, int from, int to)
{
    quint32 sum = 0;
    for (int i = from; i < to; i += 4)
        sum += qFromLittleEndian<quint32>(image.constData() + i);
    return sum;
}

} // namespace

Q_DECLARE_METATYPE(image::FileStatus)

class TestUpgradeFile : public QObject {
    Q_OBJECT

private slots:
    void layout();
    void checksums();
    void roundTrip();
    void refused_data();
    void refused();
    void failedWrite();
};

// Three records, 393,282 bytes, the payload scrambled from its first byte.
void TestUpgradeFile::layout()
{
    DebugCapture quiet;
    QByteArray image = randomImage();
    const QByteArray bytes = fileBytes(image);
    QCOMPARE(bytes.size(), 393282);
    QCOMPARE(bytes.left(8), QByteArray("\x00\x00\x00\x32\x00\x56\x00\x72", 8));
    QCOMPARE(bytes.left(54), stringRecord("Vr480 Upgrade File Header"));
    QCOMPARE(bytes.mid(54, 8), QByteArray("\x00\x00\x00\x04\x00\x30\x00\x33", 8));
    QCOMPARE(bytes.mid(62, 4), QByteArray("\x00\x06\x00\x00", 4));
    fillChecksums(image);
    encodeData(image.data(), kImageSize);
    QCOMPARE(bytes.mid(66), image);
}

void TestUpgradeFile::checksums()
{
    // Each region's last word is the sum of its other words, modulo 2^32.
    QByteArray image = randomImage();
    fillChecksums(image);
    QCOMPARE(qFromLittleEndian<quint32>(image.constData() + kApplicationSum),
             wordSum(image, kApplicationOffset, kApplicationSum));
    QCOMPARE(qFromLittleEndian<quint32>(image.constData() + kExternalSum),
             wordSum(image, kExternalOffset, kExternalSum));
    // Everything outside the two words is left as it was.
    QByteArray untouched = randomImage();
    image.replace(kApplicationSum, 4, untouched.mid(kApplicationSum, 4));
    image.replace(kExternalSum, 4, untouched.mid(kExternalSum, 4));
    QCOMPARE(image, untouched);

    // An all-zero application sums to 0; the carry is dropped.
    QByteArray zero(kImageSize, '\0');
    zero.replace(kApplicationSum, 4, QByteArray("\xff\xff\xff\xff", 4));
    zero.replace(kExternalOffset, 8, QByteArray("\xff\xff\xff\xff\x02\x00\x00\x00", 8));
    fillChecksums(zero);
    QCOMPARE(qFromLittleEndian<quint32>(zero.constData() + kApplicationSum), 0u);
    QCOMPARE(qFromLittleEndian<quint32>(zero.constData() + kExternalSum), 1u);
}

// What the writer writes, the reader gives back: scrambled, and unscrambled
// it is the image with its checksums.
void TestUpgradeFile::roundTrip()
{
    DebugCapture quiet;
    QByteArray image = randomImage();
    const QByteArray bytes = fileBytes(image);
    QByteArray payload;
    QCOMPARE(readBytes(bytes, payload), image::FileStatus::Ok);
    QCOMPARE(payload, bytes.mid(66));
    decodeData(payload.data(), kImageSize);
    fillChecksums(image);
    QCOMPARE(payload, image);
    encodeData(payload.data(), kImageSize);
    QCOMPARE(payload, bytes.mid(66));
}

void TestUpgradeFile::refused_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<image::FileStatus>("status");

    const QByteArray header = stringRecord(kHeader);
    const QByteArray version = stringRecord(kVersion);
    const QByteArray good = header + version + lengthField(kImageSize) + QByteArray(kImageSize, 'x');

    QTest::newRow("empty") << QByteArray() << image::FileStatus::WrongHeader;
    QTest::newRow("not a data stream") << QByteArray("just some text, not a stream") << image::FileStatus::WrongHeader;
    QTest::newRow("header cut") << good.left(30) << image::FileStatus::WrongHeader;
    QTest::newRow("header length cut") << good.left(2) << image::FileStatus::WrongHeader;
    QTest::newRow("other device") << stringRecord("Vr481 Upgrade File Header") + good.mid(54)
                                  << image::FileStatus::WrongHeader;
    QTest::newRow("header in lower case") << stringRecord(kHeader.toLower()) + good.mid(54) << image::FileStatus::WrongHeader;
    QTest::newRow("header and more") << stringRecord(kHeader + " ") + good.mid(54) << image::FileStatus::WrongHeader;
    QTest::newRow("odd header length") << lengthField(49) + good.mid(4) << image::FileStatus::WrongHeader;
    QTest::newRow("null header") << lengthField(0xFFFFFFFF) + good.mid(54) << image::FileStatus::WrongHeader;
    QTest::newRow("header longer than the file") << lengthField(0x7FFFFFF0) + good.mid(4) << image::FileStatus::WrongHeader;
    QTest::newRow("version 02") << header + stringRecord("02") + good.mid(62) << image::FileStatus::WrongVersion;
    QTest::newRow("version 3") << header + stringRecord("3") + good.mid(62) << image::FileStatus::WrongVersion;
    QTest::newRow("version 03 and a space") << header + stringRecord("03 ") + good.mid(62) << image::FileStatus::WrongVersion;
    QTest::newRow("no version") << header << image::FileStatus::WrongVersion;
    QTest::newRow("null version") << header + lengthField(0xFFFFFFFF) + good.mid(62) << image::FileStatus::WrongVersion;
    QTest::newRow("no payload") << header + version << image::FileStatus::WrongLength;
    QTest::newRow("payload length cut") << good.left(64) << image::FileStatus::WrongLength;
    QTest::newRow("payload cut") << good.left(good.size() - 1) << image::FileStatus::WrongLength;
    QTest::newRow("payload length larger than the file")
        << header + version + lengthField(kImageSize + 4) + QByteArray(kImageSize, 'x') << image::FileStatus::WrongLength;
    QTest::newRow("short payload")
        << header + version + lengthField(kImageSize - 4) + QByteArray(kImageSize, 'x') << image::FileStatus::WrongLength;
    QTest::newRow("null payload") << header + version + lengthField(0xFFFFFFFF) << image::FileStatus::WrongLength;
    QTest::newRow("empty payload") << header + version + lengthField(0) << image::FileStatus::WrongLength;
}

// Each foreign or damaged file is refused with its reason, whatever its
// length fields claim, and the payload stays empty.
void TestUpgradeFile::refused()
{
    QFETCH(QByteArray, bytes);
    QFETCH(image::FileStatus, status);
    QByteArray payload = "left over";
    QCOMPARE(readBytes(bytes, payload), status);
    QVERIFY(payload.isEmpty());
}

// A device that is not open reads as a wrong header. The writer refuses an
// image of another size, and reports a device that does not take it all.
void TestUpgradeFile::failedWrite()
{
    DebugCapture quiet;
    QBuffer closed;
    QByteArray payload;
    QCOMPARE(UpgradeFile::read(closed, payload).status, image::FileStatus::WrongHeader);

    QBuffer buffer;
    buffer.open(QIODevice::WriteOnly);
    QVERIFY(!UpgradeFile::write(buffer, QByteArray(kImageSize - 4, '\0')));
    QVERIFY(buffer.data().isEmpty());

    QFile full(QStringLiteral("/dev/full"));
    if (!full.open(QIODevice::WriteOnly | QIODevice::Unbuffered))
        QSKIP("no /dev/full here");
    QVERIFY(!UpgradeFile::write(full, randomImage()));
}

QTEST_APPLESS_MAIN(TestUpgradeFile)
#include "tst_upgradefile.moc"
