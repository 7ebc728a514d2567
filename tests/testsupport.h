#pragma once
// Helpers shared by the test programs.

#include <QList>
#include <QStringList>

class QSignalSpy;

// Runs SRecord's srec_cat with `arguments`; a missing srec_cat or a failed run
// ends the test program.
void runSrecCat(const QStringList &arguments);
// SRecord's flat binary of the window first..last of an Intel HEX file, bytes
// the file does not give set to `fill`: a conversion independent of ours.
QByteArray srecordWindow(const QString &hexFile, quint32 first, quint32 last, int fill);

// `size` reproducible pseudo-random bytes.
QByteArray randomBytes(int size, quint32 seed);
// `plain` as the program scrambles it (encodeData), for comparing with what a
// device stores or receives.
QByteArray scrambledCopy(QByteArray plain);

// The first argument of each signal a spy caught, as an int.
QList<int> values(const QSignalSpy &spy);

// Collects the debug lines written while it exists (and still passes them on
// to the previous handler when VR480_TEST_VERBOSE is set).
class DebugCapture {
public:
    DebugCapture();
    ~DebugCapture();
    DebugCapture(const DebugCapture &) = delete;
    DebugCapture &operator=(const DebugCapture &) = delete;

    QStringList lines() const;
    int count(const QString &line) const; // lines equal to `line`
    void clear();
};

#include "sim/simdevice.h"

// The simulated devices' events in short form, for comparing sequences:
// "scan", "open" (or "open failed"), "config 1", "claim 0", "release 0", "close", "bulk", and
// control transfers as "c0:ff" (request type and request in hexadecimal).
QStringList trail(const QList<sim::Event> &events);
// The same, without the bus scans.
QStringList deviceTrail(const QList<sim::Event> &events);

#include <QList>
#include <QObject>
#include <QTimer>

#include <functional>

class QWidget;

// Answers the modal dialogs that open while it exists, in order: each step is
// given the next new active modal dialog and must close it (accept, reject or
// fill in and accept; one that returns early has its dialog rejected for it).
// remaining() tells how many dialogs never came; unexpected() gives the titles
// of those that came after the last step (each rejected).
class DialogScript : public QObject {
public:
    using Step = std::function<void(QWidget *dialog)>;
    explicit DialogScript(QList<Step> steps);

    int remaining() const { return int(steps.size()); }
    QStringList unexpected() const { return extra; }

private:
    void poll();

    QList<Step> steps;
    QStringList extra;
    QTimer timer;
};
