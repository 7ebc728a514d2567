#include "readback.h"

#include "memorymap.h"
#include "upgradefile.h"

#include <algorithm>

namespace Readback {

namespace {

// The first index from `from` below `to` where the two differ; `to` when none.
int firstDifference(const QByteArray &a, const QByteArray &b, int from, int to)
{
    const auto [ai, bi] = std::mismatch(a.constBegin() + from, a.constBegin() + to, b.constBegin() + from);
    Q_UNUSED(bi);
    return int(ai - a.constBegin());
}

QString hex(quint32 value, int digits)
{
    return QStringLiteral("0x%1").arg(value, digits, 16, QLatin1Char('0'));
}

} // namespace

Comparison compare(const QByteArray &expected, const QByteArray &read)
{
    using namespace UpgradeFile;
    Q_ASSERT(expected.size() == kImageSize && read.size() == kImageSize);
    Comparison result;
    constexpr int kPageSize = int(MemoryMap::kPageSize);
    for (int page = 0; page < kApplicationSize / kPageSize; ++page) {
        const int begin = kApplicationOffset + page * kPageSize;
        const int at = firstDifference(expected, read, begin, begin + kPageSize);
        if (at < begin + kPageSize)
            result.pages.append({page, MemoryMap::kFlashBase + quint32(begin), MemoryMap::kFlashBase + quint32(at)});
    }
    for (int chunk = 0; chunk < kExternalSize; chunk += kExternalChunk) {
        const int begin = kExternalOffset + chunk;
        const int at = firstDifference(expected, read, begin, begin + kExternalChunk);
        if (at == begin + kExternalChunk)
            continue;
        if (!result.ranges.isEmpty() && result.ranges.last().end == quint32(chunk))
            result.ranges.last().end = quint32(chunk + kExternalChunk);
        else
            result.ranges.append({quint32(chunk), quint32(chunk + kExternalChunk), quint32(at - kExternalOffset)});
    }
    return result;
}

QStringList Comparison::lines() const
{
    constexpr int kPages = int(MemoryMap::kApplicationSize / MemoryMap::kPageSize);
    QStringList out;
    for (const PageDifference &page : pages)
        out << QStringLiteral("page %1 of %2 (at %3) differs from byte %4")
                   .arg(page.page + 1)
                   .arg(kPages)
                   .arg(hex(page.address, 8), hex(page.firstByte, 8));
    for (const RangeDifference &range : ranges)
        out << QStringLiteral("external flash %1-%2 differs from byte %3")
                   .arg(hex(range.begin, 6), hex(range.end - 1, 6), hex(range.firstByte, 6));
    return out;
}

} // namespace Readback
