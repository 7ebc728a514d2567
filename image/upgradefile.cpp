#include "image/upgradefile.h"

#include "image/scramble.h"

#include <QDataStream>
#include <QIODevice>
#include <QtEndian>

namespace UpgradeFile {

namespace {

// Files stay byte-compatible with those of the Qt 4 program.
constexpr QDataStream::Version kStreamVersion = QDataStream::Qt_4_5;

void fillChecksum(QByteArray &image, int offset, int size)
{
    const char *words = image.constData() + offset;
    const int last = size - 4;
    quint32 sum = 0;
    for (int i = 0; i < last; i += 4)
        sum += qFromLittleEndian<quint32>(words + i);
    qToLittleEndian(sum, image.data() + offset + last);
}

} // namespace

void fillChecksums(QByteArray &image)
{
    Q_ASSERT(image.size() == kImageSize);
    fillChecksum(image, kApplicationOffset, kApplicationSize);
    fillChecksum(image, kExternalOffset, kExternalSize);
}

bool write(QIODevice &out, QByteArray image)
{
    if (image.size() != kImageSize)
        return false;
    fillChecksums(image);
    encodeData(image.data(), image.size());
    QDataStream stream(&out);
    stream.setVersion(kStreamVersion);
    stream << kHeader << kVersion << image;
    return stream.status() == QDataStream::Ok;
}

Status read(QIODevice &in, QByteArray &payload)
{
    payload.clear();
    if (!in.isReadable())
        return Status::WrongHeader;
    QDataStream stream(&in);
    stream.setVersion(kStreamVersion);
    QString header;
    stream >> header;
    if (header != kHeader)
        return Status::WrongHeader;
    QString version;
    stream >> version;
    if (version != kVersion)
        return Status::WrongVersion;
    // The payload record by hand, so that a length field that is not the
    // image size is refused before anything of the payload is read.
    quint32 length = 0;
    stream >> length;
    if (stream.status() != QDataStream::Ok || length != quint32(kImageSize))
        return Status::WrongLength;
    payload.resize(kImageSize);
    if (stream.readRawData(payload.data(), kImageSize) != kImageSize) {
        payload.clear();
        return Status::WrongLength;
    }
    return Status::Ok;
}

} // namespace UpgradeFile
