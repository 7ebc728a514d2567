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
// place: a bar and what the device does now. Elsewhere (a pipe, a file) plain
// lines prefixed with the serial: every log line, and the progress at the
// start of a bar and at each tenth. Any thread may report.
class DeviceProgress {
public:
    DeviceProgress(std::FILE *stream, bool terminal, const QList<QByteArray> &serials);

    // A log line (it may hold several) of device number `device`.
    void line(int device, const QString &text);
    // `label` at `percent` (0-100) for device number `device`.
    void update(int device, const QString &label, int percent);
    // The lines as they are now; when every device is done.
    void finish();

private:
    struct Row {
        QByteArray serial;
        QString label;
        int percent = -1;
        QString doing; // the last log line or bar label, on a terminal
    };
    void draw(bool now); // with the lock held
    void write(const QByteArray &bytes);

    QMutex lock;
    std::FILE *stream;
    bool terminal;
    QList<Row> rows;
    int serialWidth = 0;
    bool drawn = false;
    QElapsedTimer sinceDraw;
};

} // namespace cli
