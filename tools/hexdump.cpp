#include "tools/hexdump.h"

namespace {

constexpr char kDigits[] = "0123456789abcdef";

// One row: "\n0x%04x:", " %02x" per byte, three spaces per missing byte,
// " < ", the characters, one space per missing byte, " >".
void appendRow(QByteArray &out, const char *data, qint32 offset, int count)
{
    out += "\n0x";
    out += QByteArray::number(offset, 16).rightJustified(4, '0');
    out += ':';
    for (int i = 0; i < count; ++i) {
        const auto byte = static_cast<unsigned char>(data[i]);
        const char hex[] = {' ', kDigits[byte >> 4], kDigits[byte & 0xF]};
        out.append(hex, 3);
    }
    out.append(3 * (16 - count), ' ');
    out += " < ";
    for (int i = 0; i < count; ++i)
        out += static_cast<signed char>(data[i]) < 32 ? '.' : data[i];
    out.append(16 - count, ' ');
    out += " >";
}

} // namespace

QByteArray HexDump(const char *data, qint32 length)
{
    QByteArray out = "\n src address: 0x"
        + QByteArray::number(quintptr(data), 16).rightJustified(8, '0');
    if (length <= 0)
        return out;
    constexpr int kRowLength = 77; // with its line feed, for offsets below 0x10000
    out.reserve(out.size() + (length / 16 + 1) * kRowLength);
    qint32 offset = 0;
    for (; length - offset >= 16; offset += 16)
        appendRow(out, data + offset, offset, 16);
    if (offset < length)
        appendRow(out, data + offset, offset, length - offset);
    return out;
}
