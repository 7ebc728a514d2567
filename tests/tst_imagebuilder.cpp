// The image builders without the window: the upgrade image's checksum, and
// what each way of a conversion or a save ends in.

#include "bytes.h"
#include "imagebuilder.h"
#include "intelhex.h"
#include "system.h"
#include "upgradefile.h"

#include <QTemporaryDir>
#include <QtEndian>
#include <QtTest>

#include <memory>

Q_DECLARE_METATYPE(image::FileStatus)

class TestImageBuilder : public QObject {
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void applicationChecksum();
    void fileResults_data();
    void fileResults();

private:
    std::unique_ptr<QTemporaryDir> workDir;
    QString previousDir;
};

void TestImageBuilder::init()
{
    // The conversions' and the save's relative paths are the working directory's.
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

// The application filled with 0xFF but for the zero brand halfword.
void TestImageBuilder::applicationChecksum()
{
    QTemporaryDir dir;
    QFile hex(dir.filePath(QStringLiteral("full.hex")));
    QVERIFY(hex.open(QIODevice::WriteOnly));
    hex.write(":020000040800F2\n");
    using namespace MemoryMap;
    for (quint32 address = kApplicationAddress; address < kApplicationAddress + kApplicationSize; address += 16) {
        if (address == 0x08010000 || address == 0x08020000 || address == 0x08030000)
            hex.write(address == 0x08010000 ? ":020000040801F1\n"
                      : address == 0x08020000 ? ":020000040802F0\n"
                                              : ":020000040803EF\n");
        QByteArray data(16, '\xff');
        if (address == kApplicationBrandAddress)
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
    // The checksums in the last word of each region.
    const int applicationSum = UpgradeFile::kApplicationOffset + UpgradeFile::kApplicationSize - 4;
    const int externalSum = UpgradeFile::kExternalOffset + UpgradeFile::kExternalSize - 4;
    QCOMPARE(qFromLittleEndian<quint32>(image.constData() + applicationSum), 0xFFFE1002u);
    QCOMPARE(qFromLittleEndian<quint32>(image.constData() + externalSum), 0u);
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

QTEST_GUILESS_MAIN(TestImageBuilder)
#include "tst_imagebuilder.moc"
