#include "deviceprogress.h"

#include "command.h"
#include "progress.h"
#include "usbvr480.h"

#include <algorithm>

namespace cli {

namespace {

constexpr int kBarWidth = 20;
constexpr int kDoingWidth = 40; // with the rest, a line fits 80 columns
constexpr qint64 kRedrawMs = 100;

} // namespace

DeviceProgress::DeviceProgress(std::FILE *stream, bool terminal, const QList<QByteArray> &serials)
    : stream(stream), terminal(terminal)
{
    for (const QByteArray &serial : serials)
        add(serial);
}

int DeviceProgress::add(const QByteArray &serial)
{
    QMutexLocker locker(&lock);
    const QByteArray shown = serialText(serial).toLatin1();
    rows.append({added, shown, {}, -1, {}});
    serialWidth = std::max(serialWidth, int(shown.size()));
    if (terminal)
        draw(true);
    return added++;
}

DeviceProgress::Row *DeviceProgress::row(int device)
{
    const auto found = std::find_if(rows.begin(), rows.end(), [device](const Row &r) { return r.number == device; });
    return found == rows.end() ? nullptr : &*found;
}

void DeviceProgress::line(int device, const QString &text)
{
    QMutexLocker locker(&lock);
    Row *r = row(device);
    if (!r)
        return;
    if (terminal) {
        r->doing = text.simplified();
        draw(false);
        return;
    }
    QByteArray bytes;
    for (const QString &part : text.split(QLatin1Char('\n')))
        bytes += r->serial + ": " + part.toLocal8Bit() + '\n';
    write(bytes);
}

void DeviceProgress::update(int device, const QString &label, int percent)
{
    percent = std::clamp(percent, 0, 100);
    QMutexLocker locker(&lock);
    Row *r = row(device);
    if (!r)
        return;
    const bool sameBar = label == r->label;
    if (terminal) {
        if (sameBar && percent == r->percent)
            return;
        r->label = r->doing = label;
        r->percent = percent;
        draw(false);
        return;
    }
    // One line at the start of a bar and at each tenth reached.
    if (sameBar && percent / 10 == r->percent / 10)
        return;
    r->label = label;
    r->percent = percent;
    write(r->serial + ": " + label.toLocal8Bit() + ": " + QByteArray::number(percent) + "%\n");
}

void DeviceProgress::remove(int device, const QString &text)
{
    QMutexLocker locker(&lock);
    rows.removeIf([device](const Row &r) { return r.number == device; });
    lasting << text.toLocal8Bit();
    draw(true);
}

void DeviceProgress::note(const QString &text)
{
    QMutexLocker locker(&lock);
    lasting << text.toLocal8Bit();
    draw(true);
}

void DeviceProgress::setFooter(const QString &text)
{
    QMutexLocker locker(&lock);
    if (!terminal || text == footer)
        return;
    footer = text;
    draw(true);
}

void DeviceProgress::finish()
{
    QMutexLocker locker(&lock);
    if (terminal)
        draw(true);
}

// Elsewhere than on a terminal, only the lasting lines. On a terminal every
// line again: the cursor goes back up over those drawn last, and what is left
// of them below the new ones is cleared.
void DeviceProgress::draw(bool now)
{
    if (!terminal) {
        for (const QByteArray &text : std::as_const(lasting))
            write(text + '\n');
        lasting.clear();
        return;
    }
    if (!now && sinceDraw.isValid() && sinceDraw.elapsed() < kRedrawMs)
        return;
    QList<QByteArray> lines = lasting;
    lasting.clear();
    for (const Row &r : std::as_const(rows))
        lines << r.serial.leftJustified(serialWidth) + "  " + progressBar(std::max(r.percent, 0), kBarWidth) + "  "
                     + r.doing.left(kDoingWidth).toLocal8Bit();
    if (!footer.isEmpty())
        lines << footer.toLocal8Bit();
    QByteArray bytes;
    if (drawnLines > 0)
        bytes += "\033[" + QByteArray::number(drawnLines) + 'A';
    for (const QByteArray &text : std::as_const(lines))
        bytes += "\r\033[K" + text + '\n';
    if (lines.size() < drawnLines)
        bytes += "\033[J";
    write(bytes);
    drawnLines = int(rows.size()) + (footer.isEmpty() ? 0 : 1);
    sinceDraw.start();
}

void DeviceProgress::write(const QByteArray &bytes)
{
    if (!bytes.isEmpty())
        writeTo(stream, bytes);
}

} // namespace cli
