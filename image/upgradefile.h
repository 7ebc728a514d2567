#pragma once
// The upgrade file (.upg): one firmware release for the device, written by the
// image builder and read by the upgrade worker.
//
// Three records of a Qt 4.5 data stream (big-endian): the header text, the
// version text, and the payload, a byte array holding the 393,216-byte
// firmware image scrambled with encodeData from its first byte. Image offset
// o is internal flash address 0x08000000 + o; the external-flash data sits
// from offset 0x40000 (linked at 0x08040000).

#include "fileresult.h"
#include "inputfile.h"
#include "memorymap.h"

#include <QByteArray>
#include <QString>

class QIODevice;

namespace UpgradeFile {

inline const QString kHeader = QStringLiteral("Vr480 Upgrade File Header");
inline const QString kVersion = QStringLiteral("03");

// The image's regions at their places in the memory map.
constexpr int kApplicationOffset = MemoryMap::imageOffset(MemoryMap::kApplicationAddress);
constexpr int kApplicationSize = int(MemoryMap::kApplicationSize);
constexpr int kBrandOffset = MemoryMap::imageOffset(MemoryMap::kApplicationBrandAddress);
constexpr int kExternalOffset = MemoryMap::imageOffset(MemoryMap::kExternalLinkAddress);
constexpr int kExternalSize = int(MemoryMap::kExternalDataSize);
constexpr int kImageSize = 0x60000; // the external-flash data, then zeros
static_assert(kExternalOffset + kExternalSize <= kImageSize);
// The whole file: the three records and nothing after them.
constexpr qint64 kFileSize = 393282;

// Stores in the last word of the application and of the external-flash data
// the 32-bit little-endian sum of all the other words of that region.
void fillChecksums(QByteArray &image);
// True when both checksum words of the plain image hold those sums: a file
// damaged after it was written fails this.
bool checksumsMatch(const QByteArray &image);

// Writes the three records: the checksums filled in (or kept as the image
// holds them, for a copy of what a device holds), the payload scrambled.
// False, with nothing written, for an image that is not kImageSize bytes, and
// false when the device did not take it all.
enum class Checksums { Fill, AsGiven };
bool write(QIODevice &out, QByteArray image, Checksums checksums = Checksums::Fill);

// Reads and checks the records in order: header text, version text, then a
// payload of exactly kImageSize bytes, which goes to `payload` still
// scrambled. Ok, WrongHeader, WrongVersion or WrongLength. A device that is
// not open, or a file shorter than its records, reads as a wrong header.
// Nothing past the payload is read.
image::FileResult read(QIODevice &in, QByteArray &payload);

// An upgrade file read whole (image::readInputFile, at most kFileSize bytes
// and one more) and checked before any device work, its checksums too with
// `checksumCheck`: its plain image, or why it is refused. A file that cannot
// be read is a wrong header; one that is larger, a wrong length once its
// header and version are right.
enum class Refusal { None, WrongHeader, WrongVersion, WrongLength, WrongChecksum };
struct Checked {
    Refusal refused = Refusal::None;
    QByteArray image;
};
Checked check(const image::InputFile &file, bool checksumCheck);

} // namespace UpgradeFile
