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
    for (const QByteArray &serial : serials) {
        const QByteArray shown = USBVR480::escapedText(serial).toLatin1();
        rows.append({shown, {}, -1, {}});
        serialWidth = std::max(serialWidth, int(shown.size()));
    }
    if (terminal)
        draw(true);
}

void DeviceProgress::line(int device, const QString &text)
{
    QMutexLocker locker(&lock);
    Row &row = rows[device];
    if (terminal) {
        row.doing = text.simplified();
        draw(false);
        return;
    }
    QByteArray bytes;
    for (const QString &part : text.split(QLatin1Char('\n')))
        bytes += row.serial + ": " + part.toLocal8Bit() + '\n';
    write(bytes);
}

void DeviceProgress::update(int device, const QString &label, int percent)
{
    percent = std::clamp(percent, 0, 100);
    QMutexLocker locker(&lock);
    Row &row = rows[device];
    const bool sameBar = label == row.label;
    if (terminal) {
        if (sameBar && percent == row.percent)
            return;
        row.label = row.doing = label;
        row.percent = percent;
        draw(false);
        return;
    }
    // One line at the start of a bar and at each tenth reached.
    if (sameBar && percent / 10 == row.percent / 10)
        return;
    row.label = label;
    row.percent = percent;
    write(row.serial + ": " + label.toLocal8Bit() + ": " + QByteArray::number(percent) + "%\n");
}

void DeviceProgress::finish()
{
    QMutexLocker locker(&lock);
    if (terminal)
        draw(true);
}

// Every line again, from the first: the cursor goes back up over them.
void DeviceProgress::draw(bool now)
{
    if (!now && sinceDraw.isValid() && sinceDraw.elapsed() < kRedrawMs)
        return;
    QByteArray bytes;
    if (drawn)
        bytes += "\033[" + QByteArray::number(rows.size()) + 'A';
    for (const Row &row : std::as_const(rows))
        bytes += "\r\033[K" + row.serial.leftJustified(serialWidth) + "  "
               + progressBar(std::max(row.percent, 0), kBarWidth) + "  " + row.doing.left(kDoingWidth).toLocal8Bit()
               + '\n';
    write(bytes);
    drawn = true;
    sinceDraw.start();
}

void DeviceProgress::write(const QByteArray &bytes)
{
    writeTo(stream, bytes);
}

} // namespace cli
