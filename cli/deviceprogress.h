#pragma once

#include <QByteArray>
#include <QElapsedTimer>
#include <QList>
#include <QMutex>
#include <QString>

#include <cstdio>

namespace cli {

// The progress of several devices working at once, on one stream, each
// device named by its serial. On a terminal one line per device, redrawn in
// place: a bar and what the device does now; lasting lines (a device's end)
// go above them and a footer below. Elsewhere (a pipe, a file) plain lines
// prefixed with the serial: every log line, and the progress at the start of
// a bar and at each tenth; lasting lines as they are, no footer. Any thread
// may report.
class DeviceProgress {
public:
    // Rows 0, 1 and on for `serials`.
    DeviceProgress(std::FILE *stream, bool terminal, const QList<QByteArray> &serials = {});

    // A row for one more device, under the others: its number.
    int add(const QByteArray &serial);
    // A log line (it may hold several) of device number `device`.
    void line(int device, const QString &text);
    // `label` at `percent` (0-100) for device number `device`.
    void update(int device, const QString &label, int percent);
    // Device number `device` is done: its row goes, `text` stays.
    void remove(int device, const QString &text);
    // A lasting line of its own.
    void note(const QString &text);
    // The line under the rows on a terminal.
    void setFooter(const QString &text);
    // The lines as they are now; when every device is done.
    void finish();

private:
    struct Row {
        int number = 0;
        QByteArray serial;
        QString label;
        int percent = -1;
        QString doing; // the last log line or bar label, on a terminal
    };
    Row *row(int device); // with the lock held; null once removed
    void draw(bool now);  // with the lock held
    void write(const QByteArray &bytes);

    QMutex lock;
    std::FILE *stream;
    bool terminal;
    QList<Row> rows;
    int added = 0;
    int serialWidth = 0;
    QList<QByteArray> lasting; // lines to put above the rows at the next drawing
    QString footer;
    int drawnLines = 0;
    QElapsedTimer sinceDraw;
};

} // namespace cli
