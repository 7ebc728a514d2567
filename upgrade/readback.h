#pragma once
// What a device holds, read back by the worker (Upgrader::Job::Verify and
// Job::Read), against an upgrade file's image: which application pages and
// which external-flash ranges differ, and whether the device's own checksum
// words agree with what it holds.
//
// Images here are plain upgrade images (UpgradeFile::kImageSize bytes): the
// application and the external-flash data at their offsets, the bootloader
// area and the unused tail zero, as the image builder leaves them. The
// worker's read image is one, so it is also a backup as it stands.

#include <QByteArray>
#include <QList>
#include <QString>
#include <QtGlobal>

namespace Readback {

// The size in which the external flash is read: a differing range is a run of
// such chunks.
constexpr int kExternalChunk = 512;

// An application page that differs: its number (0 to 119), its internal-flash
// address, and the address of its first differing byte.
struct PageDifference {
    int page = 0;
    quint32 address = 0;
    quint32 firstByte = 0;
};

// External-flash addresses [begin, end) of consecutive differing chunks, and
// the address of their first differing byte.
struct RangeDifference {
    quint32 begin = 0;
    quint32 end = 0;
    quint32 firstByte = 0;
};

struct Comparison {
    QList<PageDifference> pages;
    QList<RangeDifference> ranges;
    bool matches() const { return pages.isEmpty() && ranges.isEmpty(); }
    // One line per page and per range, for a log.
    QStringList lines() const;
};

// The application and the external-flash data of `read` against those of
// `expected`; the rest of the images is not compared.
Comparison compare(const QByteArray &expected, const QByteArray &read);

} // namespace Readback
