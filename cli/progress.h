#pragma once

#include <QString>

#include <cstdio>

namespace cli {

// "[####....] " and the percent right-aligned: a bar `width` characters wide.
QByteArray progressBar(int percent, int width);

// Log lines and the progress of a device operation on one stream. On a
// terminal the progress is a bar redrawn in place below the log; elsewhere
// (a pipe, a file) it is a plain line at every tenth, so that logs stay short.
// A failed write (a reader gone, a full disk) is remembered and ends the
// output; the work that reports goes on.
class Progress {
public:
    Progress(std::FILE *stream, bool terminal);
    ~Progress();

    // A log line (it may hold several). A bar in progress is cleared, the
    // text written, and the bar drawn again below it.
    void line(const QString &text);
    // `label` at `percent` (0-100); a new label starts a new bar.
    void update(const QString &label, int percent);

private:
    void draw();
    void write(const QByteArray &bytes);

    std::FILE *stream;
    bool terminal;
    QString label;
    int percent = -1;
    bool barShown = false;
};

} // namespace cli
