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
int convertWindow(const QByteArray &hexText, QByteArray &image, int offset, int size, quint64 *stored)
{
    using MemoryMap::kFlashBase;
    return convertHexText(hexText, image.data() + offset, kFlashBase + quint32(offset),
                          kFlashBase + quint32(offset + size - 1), stored);
}

} // namespace

int convertUpgradeImage(const QString &hexFile, QByteArray &image, const StopCheck &stop)
{
    using namespace UpgradeFile;
    image = QByteArray(kImageSize, '\0');
    QByteArray text;
    quint64 stored = 0;
    if (const int result = readHexFile(hexFile, text, stop))
        return result;
    if (const int result = convertWindow(text, image, kApplicationOffset, kApplicationSize, &stored))
        return result;
    if (stored == 0)
        return kNoData;
    return convertWindow(text, image, kExternalOffset, kExternalSize, nullptr);
}

int convertBootloaderImage(const QString &hexFile, QByteArray &image, const StopCheck &stop)
{
    image = QByteArray(kBootloaderSize, '\0');
    QByteArray text;
    quint64 stored = 0;
    if (const int result = readHexFile(hexFile, text, stop))
        return result;
    if (const int result = convertWindow(text, image, 0, kBootloaderSize, &stored))
        return result;
    return stored == 0 ? kNoData : HexOk;
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
