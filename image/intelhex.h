#pragma once
// Intel HEX to a flat image of one window of the device's address space.

#include <QString>
#include <QtGlobal>

// Result codes of HexToBin.
enum HexToBinResult {
    HexOk = 0,              // an end-of-file record was reached, or the file ended
    HexShortLine = -1,      // a line of 10 characters or fewer, line end included
    HexNoColon = -2,        // a line that does not start with ':'
    HexBadCount = -3,       // byte count field not hexadecimal
    HexBadAddress = -4,     // address field not hexadecimal
    HexBadType = -5,        // record type field not hexadecimal
    HexBadData = -6,        // a data byte of a data record not hexadecimal
    HexUnsupported = -7,    // record type other than 00, 01, 04, 05, or a bad 04 value
    HexBadRecord = -8,      // checksum wrong, or characters not matching the byte count
    HexCannotRead = -9,     // the file cannot be opened or read
};

// Converts the Intel HEX file `fileName` into the window firstAddress to
// lastAddress (both included): each data byte at an address a inside it goes
// to destination[a - firstAddress]; every other byte of the destination keeps
// what the caller put there. Data outside the window is skipped without error,
// so one file can be converted window by window. Accepts data (00), end of
// file (01), extended linear address (04) and start linear address (05)
// records, lines of any valid record length ending in LF, CR LF or the end of
// the file. Returns a HexToBinResult; bytes of records before a faulty one stay
// in the destination.
int HexToBin(const QString &fileName, char *destination, quint32 firstAddress,
             quint32 lastAddress);

// What a HexToBin result other than HexOk means, in a few words.
QString hexToBinErrorText(int result);
