#pragma once

#include <QDeadlineTimer>
#include <QMutex>
#include <QWaitCondition>
#include <qnamespace.h>

#include <atomic>

namespace usb {

// A mutex of the USB layer with its rank in the layer's lock order: a thread
// takes these locks only in increasing rank, the device lock first, and
// debug builds assert it on every lock(). Every lock of the layer is taken
// through here, so the order is checked in one place.
class RankedMutex {
public:
    enum Rank {
        DeviceRank = 1, // one per device object: its connects, disconnects and transfers
        BusRank,        // the process-wide bus and device lists
        HeldRank,       // the process-wide set of devices held open
    };
    explicit RankedMutex(Rank rank)
        : rank(rank)
    {
    }
    RankedMutex(const RankedMutex &) = delete;
    RankedMutex &operator=(const RankedMutex &) = delete;

    void lock();
    void unlock() noexcept;
    // True when the calling thread holds it: what functions that must run
    // with it held assert.
    bool isHeldByCurrentThread() const;
    // QWaitCondition::wait() with this mutex, which the calling thread holds:
    // false when `deadline` came first.
    bool wait(QWaitCondition &condition, QDeadlineTimer deadline);

private:
    QMutex mutex;
    const Rank rank;
    std::atomic<Qt::HANDLE> owner{nullptr};
};

} // namespace usb
