#include "registry.h"

#include "memorymap.h"

#include <QMutexLocker>

#include <algorithm>

namespace sim {

namespace {

// Copies the part of [address, address + bytes.size()) that lies inside
// the memory starting at `base`.
void storeClipped(QByteArray &memory, uint32_t base, uint32_t address, const QByteArray &bytes)
{
    for (qsizetype i = 0; i < bytes.size(); ++i) {
        const uint64_t at = uint64_t(address) + uint64_t(i);
        if (at >= base && at - base < uint64_t(memory.size()))
            memory[qsizetype(at - base)] = bytes[i];
    }
}

QByteArray readClipped(const QByteArray &memory, uint32_t base, uint32_t address, int length)
{
    if (address < base || length <= 0)
        return {};
    return memory.mid(qsizetype(address - base), length);
}

} // namespace

// --- Device -----------------------------------------------------------------

int Device::id() const
{
    return modelId;
}

int Device::bus() const
{
    QMutexLocker lock(&registry().mutex);
    return registry().model(modelId).bus;
}

int Device::address() const
{
    QMutexLocker lock(&registry().mutex);
    return registry().model(modelId).address;
}

DeviceConfig Device::config() const
{
    QMutexLocker lock(&registry().mutex);
    const Model &m = registry().model(modelId);
    DeviceConfig config = m.config;
    config.mode = m.mode;
    return config;
}

void Device::setConfig(const DeviceConfig &config)
{
    QMutexLocker lock(&registry().mutex);
    registry().model(modelId).config = config;
}

Mode Device::mode() const
{
    QMutexLocker lock(&registry().mutex);
    return registry().model(modelId).mode;
}

bool Device::online() const
{
    QMutexLocker lock(&registry().mutex);
    const Model &m = registry().model(modelId);
    return m.onBus() && m.hiddenScans == 0;
}

void Device::unplug()
{
    QMutexLocker lock(&registry().mutex);
    Model &m = registry().model(modelId);
    m.unplugged = true;
    m.plugAt.reset();
    m.leaveBus();
}

void Device::plugInAfter(int ms)
{
    QMutexLocker lock(&registry().mutex);
    Model &m = registry().model(modelId);
    if (!m.unplugged)
        m.leaveBus();
    m.unplugged = true;
    m.plugAt = Clock::now() + std::chrono::milliseconds(std::max(0, ms));
}

void Device::plugIn()
{
    QMutexLocker lock(&registry().mutex);
    Model &m = registry().model(modelId);
    m.unplugged = false;
    m.plugAt.reset();
    m.restarting = false;
}

void Device::hideForScans(int scans)
{
    QMutexLocker lock(&registry().mutex);
    registry().model(modelId).hiddenScans = std::max(0, scans);
}

int Device::restarts() const
{
    QMutexLocker lock(&registry().mutex);
    return registry().model(modelId).restarts;
}

int Device::applicationStarts() const
{
    QMutexLocker lock(&registry().mutex);
    return registry().model(modelId).applicationStarts;
}

QByteArray Device::flash(uint32_t address, int length) const
{
    QMutexLocker lock(&registry().mutex);
    return readClipped(registry().model(modelId).flash, MemoryMap::kFlashBase, address, length);
}

void Device::setFlash(uint32_t address, const QByteArray &bytes)
{
    QMutexLocker lock(&registry().mutex);
    storeClipped(registry().model(modelId).flash, MemoryMap::kFlashBase, address, bytes);
}

QByteArray Device::externalFlash(uint32_t address, int length) const
{
    QMutexLocker lock(&registry().mutex);
    return readClipped(registry().model(modelId).external, 0, address, length);
}

void Device::setExternalFlash(uint32_t address, const QByteArray &bytes)
{
    QMutexLocker lock(&registry().mutex);
    storeClipped(registry().model(modelId).external, 0, address, bytes);
}

QByteArray Device::lastBlock() const
{
    QMutexLocker lock(&registry().mutex);
    return registry().model(modelId).lastBlock;
}

// --- Simulation controls ----------------------------------------------------

void reset()
{
    Registry &r = registry();
    QMutexLocker lock(&r.mutex);
    r.clear();
}

Device &addDevice(int bus, const DeviceConfig &config)
{
    Registry &r = registry();
    QMutexLocker lock(&r.mutex);
    return *r.add(bus, config).facade;
}

QList<Device *> devices()
{
    Registry &r = registry();
    QMutexLocker lock(&r.mutex);
    QList<Device *> list;
    for (const auto &m : r.models)
        list.append(m->facade.get());
    return list;
}

void addFault(const FaultRule &rule)
{
    QMutexLocker lock(&registry().mutex);
    registry().faults.push_back(rule);
}

void clearFaults()
{
    QMutexLocker lock(&registry().mutex);
    registry().faults.clear();
}

int controlTransferCount()
{
    QMutexLocker lock(&registry().mutex);
    return registry().transfers;
}

QList<Event> events()
{
    QMutexLocker lock(&registry().mutex);
    return registry().events;
}

QList<Event> controlTransfers()
{
    QMutexLocker lock(&registry().mutex);
    QList<Event> list;
    for (const Event &e : std::as_const(registry().events))
        if (e.kind == Event::Control)
            list.append(e);
    return list;
}

void clearEvents()
{
    QMutexLocker lock(&registry().mutex);
    registry().events.clear();
}

void setRecording(bool on)
{
    QMutexLocker lock(&registry().mutex);
    registry().recording = on;
}

void setLatency(int microseconds)
{
    QMutexLocker lock(&registry().mutex);
    registry().latencyUs = std::max(0, microseconds);
}

int enumerations()
{
    QMutexLocker lock(&registry().mutex);
    return registry().enumerations;
}

void setWindowsRules(const WindowsRules &rules)
{
    Registry &r = registry();
    QMutexLocker lock(&r.mutex);
    r.windows = rules;
    for (const auto &m : r.models)
        if (m->onBus())
            r.boundAt.emplace(m->instance(), Clock::now());
}

void setupDemo(int count, int arrivalMs)
{
    reset();
    for (int i = 1; i <= count; ++i) {
        DeviceConfig config;
        config.restartDelayMs = 1500;
        config.applicationSerial = QByteArrayLiteral("VR48") + QByteArray::number(i).rightJustified(5, '0');
        config.bootloaderSerial = config.applicationSerial + 'b';
        Device &device = addDevice(0, config);
        if (arrivalMs > 0)
            device.plugInAfter(i * arrivalMs);
    }
    setLatency(3000);
}

} // namespace sim
