#pragma once
// Internal to the simulation: the device models and the registry that holds
// them behind one lock. The facade (simdevice.cpp), the saved state
// (simstate.cpp) and the libusb 0.1 stand-in over the model (sim/libusb/)
// work on it.

#include "simdevice.h"

#include <QMutex>

#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <vector>

namespace sim {

using Clock = std::chrono::steady_clock;

// The string descriptor that holds the serial.
constexpr int kSerialStringIndex = 3;

struct Model {
    int id = 0;
    int bus = 0;
    DeviceConfig config;
    Mode mode = Mode::Application;
    QByteArray flash;
    QByteArray external;
    QByteArray lastBlock;

    int session = 0; // changes whenever the device leaves the bus; handles of older sessions are dead
    int address = 0; // on its bus, kept while it stays there; 0 once it has left (it gets a new one)
    bool unplugged = false;
    std::optional<Clock::time_point> plugAt; // while unplugged: back on the bus at the first scan from then
    int hiddenScans = 0;
    bool restarting = false;
    int openHandles = 0; // handles opened in the current bus session and not closed
    Clock::time_point backAt;
    int missedScans = 0;
    int restarts = 0;
    int applicationStarts = 0;
    Clock::time_point busyUntil; // a device answers one control transfer at a time

    std::unique_ptr<Device> facade;

    bool onBus() const { return !unplugged && !restarting; }
    // Off the bus (restarting or unplugged): open handles die and the address goes.
    void leaveBus()
    {
        ++session;
        address = 0;
        openHandles = 0;
    }
    // The device instance as Windows names it: ids and the serial it gives now.
    QByteArray instance() const;
};

// The whole simulation, behind one lock.
struct Registry {
    QMutex mutex;
    uint64_t epoch = 1; // changes with reset(), which kills every older handle
    std::vector<std::unique_ptr<Model>> models; // index = device id = order of addition
    std::vector<int> lastAddress;               // index = bus number: the device address given last
    std::vector<FaultRule> faults;
    QList<Event> events;
    bool recording = true;
    int latencyUs = 0;
    int transfers = 0;
    int enumerations = 0;
    WindowsRules windows;
    std::map<QByteArray, Clock::time_point> boundAt; // device instances and when their driver is in place

    static Registry &instance();

    // The rest runs with the lock held.

    Model &model(int id) { return *models.at(size_t(id)); }
    int busCount() const { return int(lastAddress.size()); }
    void log(const Event &event);
    // Device `id` while the bus session `session` of epoch `handleEpoch` lasts, else null.
    Model *live(uint64_t handleEpoch, int id, int session);

    // The first fault rule that hits transfer number `transfer` to `device`, counted down.
    std::optional<FaultRule> hit(const Setup &s, int transfer, int device);
    // A transfer that reaches the device, after the fault rules have had their say.
    int transfer(Model &m, int number, const Setup &s, char *data);

    // No devices, buses, faults or events; every older handle dead.
    void clear();
    Model &add(int bus, const DeviceConfig &config);
    // One bus scan as the devices meet it: restarted devices come back when
    // due, hidden ones count down, and every device listed has an address on
    // its bus (kept while it stays there). Index = device id: listed or not.
    std::vector<bool> scan();
    // When a transfer that the device takes now, lasting `latency`, ends: after
    // the ones it is still answering.
    Clock::time_point busyFor(Model &m, std::chrono::microseconds latency);
    // 0 when the device on the bus may be opened now, else the errno of
    // Windows' rules that refuse it.
    int openRefusal(const Model &m) const;

private:
    int freeAddress(int bus);
    static void restart(Model &m);
    static int stringDescriptor(const Model &m, int value, char *data, int length);
    // What the device does with a request that reaches it. IN answers go to
    // `data`, at most setup.length bytes. Refusals are stalls.
    static int request(Model &m, const Setup &s, char *data);
    // An IN request of which at most `limit` bytes reach the host.
    static int answer(Model &m, const Setup &s, char *data, int limit);
};

inline Registry &registry()
{
    return Registry::instance();
}

} // namespace sim
