#include "hexdump.h"

#include <algorithm>

namespace {

constexpr char kDigits[] = "0123456789abcdef";
constexpr int kRowBytes = 16;

// One row: "\n0x%04x:", " %02x" per byte, three spaces per missing byte,
// " < ", the characters, one space per missing byte, " >". Built in a local
// buffer and appended at once: a megabyte dump has 65536 rows.
void appendRow(QByteArray &out, const char *data, qint32 offset, int count)
{
    char row[96]; // at most 81 characters: an offset of up to 8 digits
    char *p = row;
    *p++ = '\n';
    *p++ = '0';
    *p++ = 'x';
    int digits = 4;
    while (digits < 8 && (quint32(offset) >> (4 * digits)) != 0)
        ++digits;
    for (int shift = 4 * (digits - 1); shift >= 0; shift -= 4)
        *p++ = kDigits[(quint32(offset) >> shift) & 0xF];
    *p++ = ':';
    for (int i = 0; i < count; ++i) {
        const auto byte = static_cast<unsigned char>(data[i]);
        *p++ = ' ';
        *p++ = kDigits[byte >> 4];
        *p++ = kDigits[byte & 0xF];
    }
    p = std::fill_n(p, 3 * (kRowBytes - count), ' ');
    p = std::copy_n(" < ", 3, p);
    for (int i = 0; i < count; ++i)
        *p++ = static_cast<signed char>(data[i]) < 32 ? '.' : data[i];
    p = std::fill_n(p, kRowBytes - count, ' ');
    p = std::copy_n(" >", 2, p);
    out.append(row, p - row);
}

} // namespace

QByteArray HexDump(const char *data, qint32 length)
{
    QByteArray out = "\n src address: 0x"
        + QByteArray::number(quintptr(data), 16).rightJustified(8, '0');
    if (length <= 0)
        return out;
    constexpr int kRowLength = 77; // with its line feed, for offsets below 0x10000
    out.reserve(out.size() + (length / kRowBytes + 1) * kRowLength);
    qint32 offset = 0;
    for (; length - offset >= kRowBytes; offset += kRowBytes)
        appendRow(out, data + offset, offset, kRowBytes);
    if (offset < length)
        appendRow(out, data + offset, offset, length - offset);
    return out;
}
