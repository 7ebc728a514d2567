#include "randomimage.h"

#include "memorymap.h"
#include "upgradefile.h"

#include <QFile>
#include <QRandomGenerator>

namespace {

using namespace MemoryMap;

constexpr int kApplicationOffset = imageOffset(kApplicationAddress);
constexpr int kExternalOffset = imageOffset(kExternalLinkAddress);

void fillRandom(QByteArray &image, int offset, quint32 size, QRandomGenerator &random)
{
    random.fillRange(reinterpret_cast<quint32 *>(image.data() + offset), qsizetype(size / 4));
}

} // namespace

QByteArray randomUpgradeImage(quint32 seed)
{
    QByteArray image(UpgradeFile::kImageSize, '\0');
    QRandomGenerator random(seed);
    fillRandom(image, kApplicationOffset, kApplicationSize, random);
    fillRandom(image, kExternalOffset, kExternalDataSize, random);
    const int brand = imageOffset(kApplicationBrandAddress);
    image[brand] = image[brand + 1] = 0;
    UpgradeFile::fillChecksums(image);
    return image;
}

QString writeUpgradeFile(const QString &path, const QByteArray &image)
{
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly) || !UpgradeFile::write(file, image))
        qFatal("cannot write %s", qPrintable(path));
    return path;
}

QByteArray applicationOf(const QByteArray &image)
{
    return image.mid(kApplicationOffset, kApplicationSize);
}

QByteArray externalOf(const QByteArray &image)
{
    return image.mid(kExternalOffset, kExternalDataSize);
}
