#include "interrupt.h"

#include <QThread>

#include <atomic>

namespace cli {

namespace {

// Set from a signal handler, or from the thread Windows starts for a console
// event: lock-free, so either may touch it.
std::atomic<bool> stopSignal{false};
static_assert(std::atomic<bool>::is_always_lock_free);

} // namespace

void requestStop()
{
    stopSignal = true;
}

bool stopRequested()
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
