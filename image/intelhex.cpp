#include "intelhex.h"

#include <QByteArray>

#include <array>
#include <cstring>
#include <utility>

namespace {

// Value of each character as a hexadecimal digit, -1 for any other character.
constexpr std::array<signed char, 256> kDigitValue = [] {
    std::array<signed char, 256> table{};
    for (auto &value : table)
        value = -1;
    for (int i = 0; i < 10; ++i)
        table['0' + i] = static_cast<signed char>(i);
    for (int i = 0; i < 6; ++i) {
        table['a' + i] = static_cast<signed char>(10 + i);
        table['A' + i] = static_cast<signed char>(10 + i);
    }
    return table;
}();

// One line of the file, line end included.
class Line {
public:
    Line(const char *text, qsizetype length) : text(text), length(length) {}

    qsizetype size() const { return length; }
    char at(qsizetype i) const { return text[i]; }

    // The byte given by the two digits at position i, -1 if either is not a
    // hexadecimal digit or lies past the line.
    int byteAt(qsizetype i) const
    {
        if (i + 1 >= length)
            return -1;
        const int high = kDigitValue[static_cast<unsigned char>(text[i])];
        const int low = kDigitValue[static_cast<unsigned char>(text[i + 1])];
        return high < 0 || low < 0 ? -1 : high << 4 | low;
    }

    // Characters before the line end (LF, CR LF, or none on a last line).
    qsizetype contentLength() const
    {
        qsizetype n = length;
        if (n > 0 && text[n - 1] == '\n') {
            --n;
            if (n > 0 && text[n - 1] == '\r')
                --n;
        }
        return n;
    }

    // True if the record holds exactly `count` data bytes and a checksum, all
    // in hexadecimal digits, and its bytes sum to 0 modulo 256.
    bool isWellFormed(int count) const
    {
        if (contentLength() != 11 + 2 * qsizetype(count))
            return false;
        unsigned sum = 0;
        for (qsizetype i = 1; i < 11 + 2 * qsizetype(count); i += 2) {
            const int byte = byteAt(i);
            if (byte < 0)
                return false;
            sum += unsigned(byte);
        }
        return (sum & 0xFF) == 0;
    }

private:
    const char *text;
    qsizetype length;
};

int convert(const char *text, qsizetype size, char *destination, quint32 firstAddress,
            quint32 lastAddress, quint64 &stored)
{
    quint32 upperAddress = 0;
    const char *const end = text + size;
    for (const char *p = text; p < end;) {
        const auto *lineFeed = static_cast<const char *>(std::memchr(p, '\n', size_t(end - p)));
        const char *next = lineFeed ? lineFeed + 1 : end;
        const Line line(p, next - p);
        p = next;

        if (line.size() <= 10)
            return HexShortLine;
        if (line.at(0) != ':')
            return HexNoColon;
        const int count = line.byteAt(1);
        if (count < 0)
            return HexBadCount;
        const int addressHigh = line.byteAt(3);
        const int addressLow = line.byteAt(5);
        if (addressHigh < 0 || addressLow < 0)
            return HexBadAddress;
        const int type = line.byteAt(7);
        if (type < 0)
            return HexBadType;

        switch (type) {
        case 0x00: {
            unsigned char data[255];
            for (int i = 0; i < count; ++i) {
                const int byte = line.byteAt(9 + 2 * i);
                if (byte < 0)
                    return HexBadData;
                data[i] = static_cast<unsigned char>(byte);
            }
            if (!line.isWellFormed(count))
                return HexBadRecord;
            // Addresses wrap in 32 bits, as on the device's bus.
            const quint32 address = upperAddress + quint32(addressHigh << 8 | addressLow);
            for (int i = 0; i < count; ++i) {
                const quint32 at = address + quint32(i);
                if (at >= firstAddress && at <= lastAddress) {
                    destination[at - firstAddress] = static_cast<char>(data[i]);
                    ++stored;
                }
            }
            break;
        }
        case 0x01:
            return count == 0 && line.isWellFormed(count) ? HexOk : HexBadRecord;
        case 0x04: {
            if (count != 2)
                return HexBadRecord;
            const int high = line.byteAt(9);
            const int low = line.byteAt(11);
            if (high < 0 || low < 0)
                return HexUnsupported;
            if (!line.isWellFormed(count))
                return HexBadRecord;
            upperAddress = quint32(high << 8 | low) << 16;
            break;
        }
        case 0x05:
            if (count != 4 || !line.isWellFormed(count))
                return HexBadRecord;
            break;
        default:
            return HexUnsupported;
        }
    }
    return HexNoEndRecord;
}

} // namespace

image::FileResult image::readHexFile(const QString &fileName, QByteArray &text, const image::StopCheck &stop)
{
    image::InputFile file = image::readInputFile(fileName, image::kMaxHexFileSize, stop);
    text = std::move(file.bytes);
    image::FileResult result = std::move(file.result);
    switch (result.status) {
    case image::FileStatus::Ok:
        break;
    case image::FileStatus::TooLarge:
        result.hexCode = HexTooLarge;
        break;
    case image::FileStatus::Interrupted:
        result.hexCode = HexInterrupted;
        break;
    default: // CannotRead
        result.hexCode = HexCannotRead;
        break;
    }
    return result;
}

image::FileResult image::convertHexText(const QByteArray &text, char *destination, quint32 firstAddress,
                          quint32 lastAddress, quint64 *stored)
{
    quint64 count = 0;
    const int code = convert(text.constData(), text.size(), destination, firstAddress, lastAddress, count);
    if (stored)
        *stored = count;
    return code == HexOk ? image::FileResult{} : image::FileResult{image::FileStatus::BadHex, {}, code};
}

int HexToBin(const QString &fileName, char *destination, quint32 firstAddress,
             quint32 lastAddress)
{
    QByteArray text;
    image::FileResult result = image::readHexFile(fileName, text);
    if (result.ok())
        result = image::convertHexText(text, destination, firstAddress, lastAddress);
    return result.hexCode;
}
