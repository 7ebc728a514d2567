#pragma once
// Images built from Intel HEX files: the upgrade image of a firmware release
// and the production bootloader image with its serial.

#include "inputfile.h"
#include "memorymap.h"
#include "upgradefile.h"

#include <QByteArray>
#include <QString>
#include <QtGlobal>

#include <functional>

class QDate;
class QIODevice;

namespace ImageBuilder {

// The converters read the HEX file once (readHexFile; `stop` can end the
// read) and give what readHexFile and convertHexText give, or NoData when the
// image's own window (the application, the bootloader) received no data byte:
// an empty or wrong file never becomes an image.

// Converts the application window (0x08004000-0x0803FFFF) and the external
// flash window (0x08040000-0x0805BFFF) of the HEX file into a new upgrade
// image of UpgradeFile::kImageSize bytes, zero everywhere else.
image::FileResult convertUpgradeImage(const QString &hexFile, QByteArray &image, const image::StopCheck &stop = {});

// Converts the bootloader window (0x08000000-0x08003FFF) into a new
// kBootloaderSize-byte image, zero where the file gives nothing.
constexpr int kBootloaderSize = int(MemoryMap::kBootloaderSize);
constexpr int kBootloaderBrandOffset = MemoryMap::imageOffset(MemoryMap::kBootloaderBrandAddress);
image::FileResult convertBootloaderImage(const QString &hexFile, QByteArray &image, const image::StopCheck &stop = {});

// True if the 16-bit brand value at `offset` is not 0; such images are for
// another brand of the device and are refused.
bool hasForeignBrand(const QByteArray &image, int offset);

// The production serial "YYWW0NNNN": year modulo 100, ISO week 1-53, number
// 1-9999, each with leading zeros.
constexpr int kMaxProductionNumber = 9999;
QByteArray productionSerial(int year, int week, int number);
// The serial's place in the bootloader image (nine ASCII digits, no terminator).
constexpr int kSerialOffset = MemoryMap::imageOffset(MemoryMap::kSerialAddress);
void setSerial(QByteArray &bootloaderImage, const QByteArray &serial);
// "Vr480_Bootloader_<serial>.bin", relative to the current directory.
QString bootloaderFileName(const QByteArray &serial);
// Images made in one run starting at `number`: the last number of a run is at
// most 9998, except that a run may start (and end) at 9999.
int maxProductionCount(int number);
// Default production year and week: the ISO 8601 week and the year it
// belongs to (modulo 100), so that 2025-12-29 is week 1 of 26.
int productionYear(const QDate &date);
int productionWeek(const QDate &date);

// Writes a file through a temporary one that replaces `fileName` only when
// `write` succeeded and everything reached the disk (OutputFiles): a failure
// (CannotWrite) never leaves a partial file under that name.
image::FileResult saveFile(const QString &fileName, const std::function<bool(QIODevice &)> &write);
image::FileResult saveFile(const QString &fileName, const QByteArray &contents);
// Saves an upgrade image (UpgradeFile::write) the same way.
image::FileResult saveUpgradeFile(const QString &fileName, const QByteArray &image,
                                  UpgradeFile::Checksums checksums = UpgradeFile::Checksums::Fill);

} // namespace ImageBuilder
