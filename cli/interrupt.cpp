#include "interrupt.h"

#include <QThread>

#include <csignal>

namespace cli {

namespace {

volatile std::sig_atomic_t stopSignal = 0;

extern "C" void requestStop(int)
{
    if (stopSignal < 2)
        stopSignal = stopSignal + 1;
}

} // namespace

void catchStopSignals()
{
    std::signal(SIGINT, requestStop);
    std::signal(SIGTERM, requestStop);
#ifdef SIGHUP
    std::signal(SIGHUP, requestStop);
#endif
#ifdef SIGPIPE
    // A write to a pipe without a reader fails (EPIPE) instead of killing
    // the program: device work goes on to its end.
    std::signal(SIGPIPE, SIG_IGN);
#endif
#ifdef SIGXFSZ
    // A file past the size limit (ulimit -f) fails its write with "File too
    // large" instead of killing the process with its temporary left behind.
    std::signal(SIGXFSZ, SIG_IGN);
#endif
}

bool stopRequested()
{
    return stopSignal != 0;
}

int stopSignals()
{
    return stopSignal;
}

void waitFor(QThread &thread)
{
    waitFor(QList<QThread *>{&thread});
}

void waitFor(const QList<QThread *> &threads)
{
    for (QThread *thread : threads) {
        while (!thread->wait(50)) {
            if (stopRequested())
                for (QThread *other : threads)
                    other->requestInterruption();
        }
    }
}

} // namespace cli
