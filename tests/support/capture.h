#pragma once
// What the code under test said: its debug lines and its signals' values.

#include <QList>
#include <QStringList>

class QSignalSpy;

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
