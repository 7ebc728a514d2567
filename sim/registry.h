#pragma once
// Internal to the simulation: the device models and the registry that holds
// them behind one lock. The facade (simdevice.cpp), the saved state
// (simstate.cpp) and the libusb side (simbus.cpp) work on it.

#include "sim/simbus.h"
#include "sim/simdevice.h"

#include <QMutex>

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

namespace sim {

using Clock = std::chrono::steady_clock;

struct Model {
    int id = 0;
    int bus = 0;
    DeviceConfig config;
    Mode mode = Mode::Application;
    QByteArray flash;
    QByteArray external;
    QByteArray lastBlock;

    int session = 0; // changes whenever the device leaves the bus; handles of older sessions are dead
    bool unplugged = false;
    int hiddenScans = 0;
    bool restarting = false;
    Clock::time_point backAt;
    int missedScans = 0;
    int restarts = 0;
    int applicationStarts = 0;

    std::unique_ptr<struct usb_device> record;
    bool listed = false;
    std::unique_ptr<Device> facade;

    bool onBus() const { return !unplugged && !restarting; }
};

// The whole simulation, behind one lock.
struct Registry {
    QMutex mutex;
    uint64_t epoch = 1; // changes with reset(), which kills every older handle
    std::vector<std::unique_ptr<Model>> models; // index = device id = order of addition
    std::vector<std::unique_ptr<usb_bus>> buses; // index = bus number
    int linkedBuses = 0;
    std::vector<FaultRule> faults;
    QList<Event> events;
    bool recording = true;
    int latencyUs = 0;
    int transfers = 0;
    int handles = 0;

    static Registry &instance();

    // The rest runs with the lock held.

    Model &model(int id) { return *models.at(size_t(id)); }
    void log(const Event &event);
    int deviceOf(const usb_dev_handle *handle) const;
    // The device behind a handle while the session it was opened in lasts.
    Model *live(const usb_dev_handle *handle);

    // The first fault rule that hits transfer number `transfer`, counted down.
    std::optional<FaultRule> hit(const bus::Setup &s, int transfer);
    // A transfer that reaches the device, after the fault rules have had their say.
    int transfer(Model &m, int number, const bus::Setup &s, char *data);

    // No devices, buses, faults or events; every older handle dead.
    void clear();
    Model &add(int bus, const DeviceConfig &config);
    // One bus scan: relinks the bus records; returns the devices that came or went.
    int scan();

private:
    static void restart(Model &m);
    static int stringDescriptor(const Model &m, int value, char *data, int length);
    // What the device does with a request that reaches it. IN answers go to
    // `data`, at most setup.length bytes. Refusals are stalls.
    static int request(Model &m, const bus::Setup &s, char *data);
    // An IN request of which at most `limit` bytes reach the host.
    static int answer(Model &m, const bus::Setup &s, char *data, int limit);
};

inline Registry &registry()
{
    return Registry::instance();
}

} // namespace sim
