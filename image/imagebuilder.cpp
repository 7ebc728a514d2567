#include "imagebuilder.h"

#include "intelhex.h"
#include "outputfiles.h"
#include "upgradefile.h"

#include <QDate>
#include <QtEndian>

namespace ImageBuilder {

namespace {

// Converts the window of `size` bytes at image offset `offset`; `*stored`
// receives how many data bytes it received.
image::FileResult convertWindow(const QByteArray &hexText, QByteArray &image, int offset, int size, quint64 *stored)
{
    using MemoryMap::kFlashBase;
    return image::convertHexText(hexText, image.data() + offset, kFlashBase + quint32(offset),
                          kFlashBase + quint32(offset + size - 1), stored);
}

} // namespace

image::FileResult convertUpgradeImage(const QString &hexFile, QByteArray &image, const image::StopCheck &stop)
{
    using namespace UpgradeFile;
    image = QByteArray(kImageSize, '\0');
    QByteArray text;
    quint64 stored = 0;
    if (image::FileResult result = image::readHexFile(hexFile, text, stop); !result.ok())
        return result;
    if (image::FileResult result = convertWindow(text, image, kApplicationOffset, kApplicationSize, &stored); !result.ok())
        return result;
    if (stored == 0)
        return {image::FileStatus::NoData};
    return convertWindow(text, image, kExternalOffset, kExternalSize, nullptr);
}

image::FileResult convertBootloaderImage(const QString &hexFile, QByteArray &image, const image::StopCheck &stop)
{
    image = QByteArray(kBootloaderSize, '\0');
    QByteArray text;
    quint64 stored = 0;
    if (image::FileResult result = image::readHexFile(hexFile, text, stop); !result.ok())
        return result;
    if (image::FileResult result = convertWindow(text, image, 0, kBootloaderSize, &stored); !result.ok())
        return result;
    return stored == 0 ? image::FileResult{image::FileStatus::NoData} : image::FileResult{};
}

bool hasForeignBrand(const QByteArray &image, int offset)
{
    Q_ASSERT(offset >= 0 && offset + 2 <= image.size());
    return qFromLittleEndian<quint16>(image.constData() + offset) != 0;
}

QByteArray productionSerial(int year, int week, int number)
{
    return QStringLiteral("%1%2%3%4")
        .arg(year % 100, 2, 10, QLatin1Char('0'))
        .arg(week, 2, 10, QLatin1Char('0'))
        .arg(0)
        .arg(number, 4, 10, QLatin1Char('0'))
        .toLatin1();
}

void setSerial(QByteArray &bootloaderImage, const QByteArray &serial)
{
    Q_ASSERT(bootloaderImage.size() == kBootloaderSize && serial.size() == MemoryMap::kSerialLength);
    bootloaderImage.replace(kSerialOffset, int(serial.size()), serial);
}

QString bootloaderFileName(const QByteArray &serial)
{
    return QStringLiteral("Vr480_Bootloader_%1.bin").arg(QString::fromLatin1(serial));
}

int maxProductionCount(int number)
{
    return number >= kMaxProductionNumber ? 1 : kMaxProductionNumber - number;
}

int productionYear(const QDate &date)
{
    int year = 0;
    date.weekNumber(&year);
    return year % 100;
}

int productionWeek(const QDate &date)
{
    return date.weekNumber();
}

image::FileResult saveFile(const QString &fileName, const std::function<bool(QIODevice &)> &write)
{
    image::OutputFiles file;
    if (image::FileResult added = file.add(fileName, write); !added.ok())
        return added;
    return file.commit();
}

image::FileResult saveFile(const QString &fileName, const QByteArray &contents)
{
    return saveFile(fileName, image::OutputFiles::writerOf(contents));
}

image::FileResult saveUpgradeFile(const QString &fileName, const QByteArray &image, UpgradeFile::Checksums checksums)
{
    return saveFile(fileName, [&](QIODevice &file) { return UpgradeFile::write(file, image, checksums); });
}

} // namespace ImageBuilder
