#include "upgradefile.h"

#include "scramble.h"

#include <QBuffer>
#include <QDataStream>
#include <QIODevice>
#include <QtEndian>

namespace UpgradeFile {

namespace {

// Files stay byte-compatible with those of the Qt 4 program.
constexpr QDataStream::Version kStreamVersion = QDataStream::Qt_4_5;

// The sum of the words of the region but its last, which holds the checksum.
quint32 checksum(const QByteArray &image, int offset, int size)
{
    const char *words = image.constData() + offset;
    quint32 sum = 0;
    for (int i = 0; i < size - 4; i += 4)
        sum += qFromLittleEndian<quint32>(words + i);
    return sum;
}

quint32 storedChecksum(const QByteArray &image, int offset, int size)
{
    return qFromLittleEndian<quint32>(image.constData() + offset + size - 4);
}

} // namespace

void fillChecksums(QByteArray &image)
{
    Q_ASSERT(image.size() == kImageSize);
    qToLittleEndian(checksum(image, kApplicationOffset, kApplicationSize),
                    image.data() + kApplicationOffset + kApplicationSize - 4);
    qToLittleEndian(checksum(image, kExternalOffset, kExternalSize),
                    image.data() + kExternalOffset + kExternalSize - 4);
}

bool checksumsMatch(const QByteArray &image)
{
    Q_ASSERT(image.size() == kImageSize);
    return checksum(image, kApplicationOffset, kApplicationSize)
               == storedChecksum(image, kApplicationOffset, kApplicationSize)
        && checksum(image, kExternalOffset, kExternalSize) == storedChecksum(image, kExternalOffset, kExternalSize);
}

bool write(QIODevice &out, QByteArray image, Checksums checksums)
{
    if (image.size() != kImageSize)
        return false;
    if (checksums == Checksums::Fill)
        fillChecksums(image);
    encodeData(image.data(), image.size());
    QDataStream stream(&out);
    stream.setVersion(kStreamVersion);
    stream << kHeader << kVersion << image;
    return stream.status() == QDataStream::Ok;
}

image::FileResult read(QIODevice &in, QByteArray &payload)
{
    payload.clear();
    if (!in.isReadable())
        return {image::FileStatus::WrongHeader};
    QDataStream stream(&in);
    stream.setVersion(kStreamVersion);
    QString header;
    stream >> header;
    if (header != kHeader)
        return {image::FileStatus::WrongHeader};
    QString version;
    stream >> version;
    if (version != kVersion)
        return {image::FileStatus::WrongVersion};
    // The payload record by hand, so that a length field that is not the
    // image size is refused before anything of the payload is read.
    quint32 length = 0;
    stream >> length;
    if (stream.status() != QDataStream::Ok || length != quint32(kImageSize))
        return {image::FileStatus::WrongLength};
    payload.resize(kImageSize);
    if (stream.readRawData(payload.data(), kImageSize) != kImageSize) {
        payload.clear();
        return {image::FileStatus::WrongLength};
    }
    return {};
}

Checked check(const image::InputFile &file, bool checksumCheck)
{
    QBuffer buffer;
    buffer.setData(file.bytes);
    buffer.open(QIODevice::ReadOnly);
    QByteArray image;
    switch (read(buffer, image).status) {
    case image::FileStatus::Ok:
        if (file.result.status != image::FileStatus::TooLarge)
            break;
        return {Refusal::WrongLength, {}};
    case image::FileStatus::WrongHeader:
        return {Refusal::WrongHeader, {}};
    case image::FileStatus::WrongVersion:
        return {Refusal::WrongVersion, {}};
    default: // WrongLength
        return {Refusal::WrongLength, {}};
    }
    decodeData(image.data(), int(image.size()));
    if (checksumCheck && !checksumsMatch(image))
        return {Refusal::WrongChecksum, {}};
    return {Refusal::None, image};
}

} // namespace UpgradeFile
