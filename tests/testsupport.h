#pragma once
// Helpers shared by the test programs.

#include <QStringList>

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
