#pragma once
// Ctrl+C, termination signals and a closed terminal, turned into stop
// requests: device work runs on a thread of its own and stops between two
// transfers, so the device is never left in the middle of one. A reader that
// goes away does not stop it at all.

#include <QList>

class QThread;

namespace cli {

// Installs the handlers for SIGINT, SIGTERM and SIGHUP (a closed terminal),
// and ignores SIGPIPE and SIGXFSZ: a write to a pipe without a reader or past
// the file size limit fails instead of killing the program.
void catchStopSignals();
// True once a stop signal came.
bool stopRequested();
// How many stop signals came: 0, 1, or 2 for two and more.
int stopSignals();
// Waits for a running thread, passing a stop signal on as
// QThread::requestInterruption.
void waitFor(QThread &thread);
// The same for several threads: a stop signal goes to every one.
void waitFor(const QList<QThread *> &threads);

} // namespace cli
