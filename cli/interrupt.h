#pragma once
// Ctrl+C and termination signals, turned into stop requests: device work
// runs on a thread of its own and stops between two transfers, so the device
// is never left in the middle of one.

#include <QList>

class QThread;

// Installs the handlers for SIGINT and SIGTERM, and ignores SIGXFSZ.
void catchStopSignals();
// True once a stop signal came.
bool stopRequested();
// Waits for a running thread, passing a stop signal on as
// QThread::requestInterruption.
void waitFor(QThread &thread);
// The same for several threads: a stop signal goes to every one.
void waitFor(const QList<QThread *> &threads);
