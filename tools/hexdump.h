#pragma once

#include <QByteArray>

// The text in which raw bytes are shown to people: a header line with the
// buffer's own address in memory, then rows of 16 bytes, each "0xOFFS:", the
// bytes in hexadecimal, and " < chars >" where bytes 0x20-0x7F show as
// themselves and all others as ".". A partial last row is padded so that the
// brackets stay in their columns. Starts with a line feed, ends without one;
// a length of 0 or less gives the header alone.
QByteArray HexDump(const char *data, qint32 length);
