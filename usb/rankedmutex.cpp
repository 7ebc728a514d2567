#include "rankedmutex.h"

#include <QThread>

namespace {

// The ranks the calling thread holds, one bit each.
thread_local unsigned heldRanks = 0;

} // namespace

namespace usb {

void RankedMutex::lock()
{
    // Nothing of this rank or a later one may be held already.
    Q_ASSERT_X((heldRanks >> rank) == 0, "RankedMutex::lock", "lock order");
    mutex.lock();
    owner.store(QThread::currentThreadId(), std::memory_order_relaxed);
    heldRanks |= 1u << rank;
}

void RankedMutex::unlock() noexcept
{
    heldRanks &= ~(1u << rank);
    owner.store(nullptr, std::memory_order_relaxed);
    mutex.unlock();
}

bool RankedMutex::wait(QWaitCondition &condition, QDeadlineTimer deadline)
{
    Q_ASSERT(isHeldByCurrentThread());
    heldRanks &= ~(1u << rank);
    owner.store(nullptr, std::memory_order_relaxed);
    const bool woken = condition.wait(&mutex, deadline);
    owner.store(QThread::currentThreadId(), std::memory_order_relaxed);
    heldRanks |= 1u << rank;
    return woken;
}

bool RankedMutex::isHeldByCurrentThread() const
{
    return owner.load(std::memory_order_relaxed) == QThread::currentThreadId();
}

} // namespace usb
