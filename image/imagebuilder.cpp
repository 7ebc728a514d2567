#include "image/imagebuilder.h"

#include "image/intelhex.h"
#include "image/outputfiles.h"
#include "image/upgradefile.h"

#include <QDate>
#include <QtEndian>

namespace ImageBuilder {

namespace {

// Converts the window of `size` bytes at image offset `offset`.
int convertWindow(const QString &hexFile, QByteArray &image, int offset, int size)
{
    using MemoryMap::kFlashBase;
    return HexToBin(hexFile, image.data() + offset, kFlashBase + quint32(offset),
                    kFlashBase + quint32(offset + size - 1));
}

} // namespace

int convertUpgradeImage(const QString &hexFile, QByteArray &image)
{
    using namespace UpgradeFile;
    image = QByteArray(kImageSize, '\0');
    if (const int result = convertWindow(hexFile, image, kApplicationOffset, kApplicationSize))
        return result;
    return convertWindow(hexFile, image, kExternalOffset, kExternalSize);
}

int convertBootloaderImage(const QString &hexFile, QByteArray &image)
{
    image = QByteArray(kBootloaderSize, '\0');
    return convertWindow(hexFile, image, 0, kBootloaderSize);
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
    return date.year() % 100;
}

int productionWeek(const QDate &date)
{
    return date.weekNumber();
}

bool saveFile(const QString &fileName, const std::function<bool(QIODevice &)> &write,
              QString *error)
{
    OutputFiles file;
    if (file.add(fileName, write) && file.commit())
        return true;
    if (error)
        *error = file.errorString();
    return false;
}

bool saveFile(const QString &fileName, const QByteArray &contents, QString *error)
{
    return saveFile(fileName, OutputFiles::bytes(contents), error);
}

bool saveUpgradeFile(const QString &fileName, const QByteArray &image, QString *error)
{
    return saveFile(
        fileName, [&](QIODevice &file) { return UpgradeFile::write(file, image); }, error);
}

} // namespace ImageBuilder
