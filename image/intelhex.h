#pragma once
// Intel HEX to a flat image of one window of the device's address space.

#include "inputfile.h"

#include <QByteArray>
#include <QString>
#include <QtGlobal>

// Result codes of HexToBin.
enum HexToBinResult {
    HexOk = 0,              // an end-of-file record was reached
    HexShortLine = -1,      // a line of 10 characters or fewer, line end included
    HexNoColon = -2,        // a line that does not start with ':'
    HexBadCount = -3,       // byte count field not hexadecimal
    HexBadAddress = -4,     // address field not hexadecimal
    HexBadType = -5,        // record type field not hexadecimal
    HexBadData = -6,        // a data byte of a data record not hexadecimal
    HexUnsupported = -7,    // record type other than 00, 01, 04, 05, or a bad 04 value
    HexBadRecord = -8,      // checksum wrong, or characters not matching the byte count
    HexCannotRead = -9,     // the file cannot be opened or read
    HexNoEndRecord = -10,   // the file ends without an end-of-file record (an empty one too)
    HexTooLarge = -11,      // the file is larger than kMaxHexFileSize
    HexInterrupted = -12,   // reading the file was stopped
};

namespace image {

// The largest HEX file read: 64 MiB, about 60 times the text of the device's
// whole internal flash and external-flash data in 16-byte records.
constexpr qint64 kMaxHexFileSize = 64 << 20;

// Reads a HEX file whole into `text`: Ok, CannotRead, TooLarge or
// Interrupted (when `stop` says so while it reads), with the HexToBin code of
// each failure.
FileResult readHexFile(const QString &fileName, QByteArray &text, const StopCheck &stop = {});

// Converts HEX text as HexToBin converts a file: Ok, or BadHex with the
// HexToBin code. `*stored`, if given, receives how many data bytes landed
// inside the window.
FileResult convertHexText(const QByteArray &text, char *destination, quint32 firstAddress,
                          quint32 lastAddress, quint64 *stored = nullptr);

} // namespace image

// Converts the Intel HEX file `fileName` into the window firstAddress to
// lastAddress (both included): each data byte at an address a inside it goes
// to destination[a - firstAddress]; every other byte of the destination keeps
// what the caller put there. Data outside the window is skipped without error,
// so one file can be converted window by window. Accepts data (00), end of
// file (01), extended linear address (04) and start linear address (05)
// records, lines of any valid record length ending in LF, CR LF or the end of
// the file; the end-of-file record must come, and ends the conversion.
// Returns a HexToBinResult; bytes of records before a faulty one stay in the
// destination.
int HexToBin(const QString &fileName, char *destination, quint32 firstAddress,
             quint32 lastAddress);
