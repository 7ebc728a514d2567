#pragma once
// Ctrl+C, termination signals and a closed terminal, turned into stop
// requests: device work runs on a thread of its own and stops between two
// transfers, so the device is never left in the middle of one. A reader that
// goes away does not stop it at all.

#include <QList>

class QThread;

namespace cli {

// Turns the system's stop events into stop requests, one implementation per
// system. POSIX (stopsignals_posix.cpp): SIGINT, SIGTERM and SIGHUP (a closed
// terminal); SIGPIPE and SIGXFSZ are ignored, so that a write to a pipe
// without a reader or past the file size limit fails instead of killing the
// program. Windows (stopsignals_win.cpp): Ctrl+C, Ctrl+Break and the console
// closed, logged off or shut down.
void catchStopSignals();
// Records a stop request; safe in a signal handler.
void requestStop();
// True once a stop was requested.
bool stopRequested();
// Waits for a running thread, passing a stop request on as
// QThread::requestInterruption.
void waitFor(QThread &thread);
// The same for several threads: a stop request goes to every one.
void waitFor(const QList<QThread *> &threads);

} // namespace cli
