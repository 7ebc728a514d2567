#include "interrupt.h"

#include <QThread>

#include <atomic>

namespace cli {

namespace {

// How many stop requests came, 0 to 2. Set from a signal handler, or from
// the thread Windows starts for a console event: lock-free, so either may
// touch it.
std::atomic<int> stopSignal{0};
static_assert(std::atomic<int>::is_always_lock_free);

} // namespace

void requestStop()
{
    if (const int count = stopSignal.load(); count < 2)
        stopSignal.store(count + 1);
}

bool stopRequested()
{
    return stopSignal.load() != 0;
}

int stopSignals()
{
    return stopSignal.load();
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
