#include "progress.h"

#include "command.h"

#include <QByteArray>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace cli {

namespace {

constexpr int kBarWidth = 40;
const QByteArray kClearLine = "\r\033[K";

} // namespace

QByteArray progressBar(int percent, int width)
{
    const int filled = percent * width / 100;
    return '[' + QByteArray(filled, '#') + QByteArray(width - filled, '.') + "] "
         + QByteArray::number(percent).rightJustified(3) + '%';
}

Progress::Progress(std::FILE *stream, bool terminal) : stream(stream), terminal(terminal) {}

Progress::~Progress()
{
    if (barShown)
        write("\n");
}

void Progress::write(const QByteArray &bytes)
{
    writeTo(stream, bytes);
}

void Progress::line(const QString &text)
{
    QByteArray bytes = text.toLocal8Bit() + '\n';
    if (barShown)
        bytes.prepend(kClearLine);
    barShown = false;
    write(bytes);
    if (terminal && percent >= 0 && percent < 100)
        draw();
}

void Progress::update(const QString &newLabel, int newPercent)
{
    newPercent = std::clamp(newPercent, 0, 100);
    const bool sameBar = newLabel == label;
    if (terminal) {
        if (sameBar && newPercent == percent)
            return;
        if (!sameBar && barShown)
            write("\n"); // the finished bar stays above the new one
        barShown = barShown && sameBar;
        label = newLabel;
        percent = newPercent;
        draw();
        return;
    }
    // One line at the start of a bar and at each tenth reached.
    if (sameBar && newPercent / 10 == percent / 10)
        return;
    label = newLabel;
    percent = newPercent;
    write(QStringLiteral("%1: %2%\n").arg(label).arg(percent).toLocal8Bit());
}

void Progress::draw()
{
    QByteArray text = kClearLine + label.toLocal8Bit() + ' ' + progressBar(percent, kBarWidth);
    barShown = true;
    if (percent == 100) {
        text += '\n'; // done: the bar stays as it is, the next output goes below
        barShown = false;
    }
    write(text);
}

} // namespace cli
