#include "inputfile.h"

#include "inputsource.h"

#include <utility>

namespace {

constexpr qint64 kChunk = 1 << 16;

image::InputFile failed(image::FileStatus status, const QString &error = {})
{
    image::InputFile result;
    result.result = {status, error};
    return result;
}

image::InputFile tooLarge(image::InputFile &&start, qint64 size, bool keepStart)
{
    start.result.status = image::FileStatus::TooLarge;
    start.size = size;
    if (!keepStart)
        start.bytes.clear();
    return std::move(start);
}

// The length of the valid UTF-8 sequence at `at`, 0 when there is none
// (overlong forms, surrogates and values past U+10FFFF are not valid).
int utf8Length(const QByteArray &bytes, qsizetype at)
{
    const auto byte = [&](qsizetype i) { return i < bytes.size() ? uchar(bytes.at(i)) : 0; };
    const uchar lead = byte(at);
    int length = 0;
    uchar low = 0x80, high = 0xBF; // the range of the byte after the lead
    if (lead < 0x80)
        return 1;
    if (lead >= 0xC2 && lead <= 0xDF)
        length = 2;
    else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        low = lead == 0xE0 ? 0xA0 : 0x80;
        high = lead == 0xED ? 0x9F : 0xBF;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        low = lead == 0xF0 ? 0x90 : 0x80;
        high = lead == 0xF4 ? 0x8F : 0xBF;
    } else {
        return 0;
    }
    if (byte(at + 1) < low || byte(at + 1) > high)
        return 0;
    for (int i = 2; i < length; ++i) {
        if (byte(at + i) < 0x80 || byte(at + i) > 0xBF)
            return 0;
    }
    return length;
}

} // namespace

QString image::decodeFileName(const QByteArray &bytes)
{
    QString name;
    for (qsizetype at = 0; at < bytes.size();) {
        const int length = utf8Length(bytes, at);
        if (length == 0) {
            name += QChar(0xDC00 + uchar(bytes.at(at++)));
        } else {
            name += QString::fromUtf8(bytes.constData() + at, length);
            at += length;
        }
    }
    return name;
}

QByteArray image::encodeFileName(const QString &fileName)
{
    QByteArray bytes;
    qsizetype start = 0;
    for (qsizetype i = 0; i < fileName.size(); ++i) {
        const char16_t unit = fileName.at(i).unicode();
        if (unit < 0xDC80 || unit > 0xDCFF || (i > 0 && fileName.at(i - 1).isHighSurrogate()))
            continue;
        bytes += QStringView(fileName).sliced(start, i - start).toUtf8();
        bytes += char(unit - 0xDC00);
        start = i + 1;
    }
    return bytes + QStringView(fileName).sliced(start).toUtf8();
}

image::InputFile image::readInputFile(const QString &fileName, qint64 limit, const image::StopCheck &stop, bool keepStart)
{
    image::InputSource file(fileName);
    if (!file.isOpen())
        return failed(image::FileStatus::CannotRead, file.error());
    if (file.isFolder())
        return failed(image::FileStatus::CannotRead, QStringLiteral("is a folder"));
    const qint64 size = file.size();
    if (size > limit && !keepStart)
        return tooLarge(image::InputFile(), size, false);

    image::InputFile result;
    char chunk[kChunk];
    while (true) {
        if (stop && stop())
            return failed(image::FileStatus::Interrupted);
        const qint64 n = file.read(chunk, qMin(kChunk, limit + 1 - result.bytes.size()), stop);
        if (n == image::InputSource::kStopped)
            return failed(image::FileStatus::Interrupted);
        if (n < 0)
            return failed(image::FileStatus::CannotRead, file.error());
        if (n == 0)
            break;
        result.bytes.append(chunk, qsizetype(n));
        if (result.bytes.size() > limit)
            return tooLarge(std::move(result), size, keepStart);
    }
    return result;
}
