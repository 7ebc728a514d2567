#include "registry.h"

#include "memorymap.h"
#include "simscramble.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace sim {

namespace {

using namespace MemoryMap;

constexpr int kRequestTypeVendorIn = 0xC0;
constexpr int kRequestTypeStandardIn = 0x80;
constexpr int kGetDescriptor = 6;
constexpr int kStringDescriptor = 3;
constexpr uint32_t kVersionAddress = kInfoBlockAddress + kVersionOffset;
constexpr int kMaxMemoryRead = 2048;
constexpr int kBlockSize = 512;
constexpr int kMaxExternalRead = 512;
constexpr int kMaxExternalWrite = 256;

bool inside(uint32_t base, uint32_t size, uint32_t address, int length)
{
    return address >= base && uint64_t(address - base) + uint64_t(length) <= size;
}

QByteArray initialFlash(const DeviceConfig &config)
{
    QByteArray flash(kFlashSize, char(0xFF));
    // Stand-in for the bootloader's code: deterministic, never an erased byte.
    for (uint32_t i = 0; i < kInfoBlockAddress - kFlashBase; ++i)
        flash[i] = char(i % 251);
    const auto brand = uint16_t(config.brandId);
    flash[kInfoBlockAddress - kFlashBase] = char(brand & 0xFF);
    flash[kInfoBlockAddress - kFlashBase + 1] = char(brand >> 8);
    QByteArray version = config.bootloaderVersion.left(int(kVersionSize));
    version.append(int(kVersionSize) - version.size(), '\0');
    flash.replace(kVersionAddress - kFlashBase, int(kVersionSize), version);
    return flash;
}

} // namespace

Registry &Registry::instance()
{
    static Registry registry;
    return registry;
}

void Registry::log(const Event &event)
{
    if (recording)
        events.append(event);
}

Model *Registry::live(uint64_t handleEpoch, int id, int session)
{
    if (handleEpoch != epoch || id < 0 || size_t(id) >= models.size())
        return nullptr;
    Model &m = *models[size_t(id)];
    return m.session == session && m.onBus() ? &m : nullptr;
}

std::optional<FaultRule> Registry::hit(const Setup &s, int transfer, int device)
{
    for (FaultRule &rule : faults) {
        if ((rule.device >= 0 && rule.device != device) || (rule.request >= 0 && rule.request != s.request)
            || (rule.requestType >= 0 && rule.requestType != s.requestType)
            || (rule.transfer >= 0 && rule.transfer != transfer) || rule.times == 0)
            continue;
        if (rule.skip > 0) {
            --rule.skip;
            continue;
        }
        if (rule.times > 0)
            --rule.times;
        return rule;
    }
    return std::nullopt;
}

void Registry::restart(Model &m)
{
    ++m.restarts;
    if (m.mode == Mode::Bootloader) {
        m.mode = Mode::Application;
        ++m.applicationStarts;
    } else {
        m.mode = Mode::Bootloader;
    }
    m.restarting = true;
    m.backAt = Clock::now() + std::chrono::milliseconds(m.config.restartDelayMs);
    m.missedScans = 0;
    m.leaveBus();
}

int Registry::stringDescriptor(const Model &m, int value, char *data, int length)
{
    if (value >> 8 != kStringDescriptor)
        return -EPIPE;
    QByteArray descriptor;
    if ((value & 0xFF) == 0) {
        descriptor = QByteArray("\x04\x03\x09\x04", 4); // languages: 0x0409
    } else if ((value & 0xFF) == kSerialStringIndex) {
        const QByteArray serial = (m.mode == Mode::Application ? m.config.applicationSerial
                                                               : m.config.bootloaderSerial)
                                      .left(126);
        descriptor.append(char(2 + 2 * serial.size()));
        descriptor.append(char(kStringDescriptor));
        for (char c : serial) {
            descriptor.append(c);
            descriptor.append('\0');
        }
    } else {
        return -EPIPE;
    }
    const int n = std::min(length, int(descriptor.size()));
    std::memcpy(data, descriptor.constData(), size_t(n));
    return n;
}

int Registry::request(Model &m, const Setup &s, char *data)
{
    if (s.requestType == kRequestTypeStandardIn && s.request == kGetDescriptor)
        return stringDescriptor(m, s.value, data, s.length);
    if ((s.requestType & 0x7F) != (kRequestTypeVendorIn & 0x7F))
        return -EPIPE;
    const bool in = s.requestType & 0x80;
    const bool bootloader = m.mode == Mode::Bootloader;
    const uint32_t address = uint32_t(s.index) << 16 | uint32_t(s.value);
    const int length = s.length;

    switch (s.request) {
    case 0xFF:
    case 0xFE: {
        if (!in)
            return -EPIPE;
        const auto id = uint16_t(s.request == 0xFF ? m.config.familyId : m.config.brandId);
        const char answer[2] = {char(id & 0xFF), char(id >> 8)};
        const int n = std::min(length, 2);
        std::memcpy(data, answer, size_t(n));
        return n;
    }
    case 1:
        if (!in || length > kMaxMemoryRead || !inside(kFlashBase, kFlashSize, address, length))
            return -EPIPE;
        std::memcpy(data, m.flash.constData() + (address - kFlashBase), size_t(length));
        scramble(data, length);
        return length;
    case 2:
        if (in || !bootloader || length != kBlockSize)
            return -EPIPE;
        m.lastBlock = QByteArray(data, length);
        return length;
    case 3: {
        if (in || !bootloader || length != int(kPageSize) || address % kPageSize != 0
            || !inside(kApplicationAddress, kApplicationSize, address, length))
            return -EPIPE;
        QByteArray page(data, length);
        unscramble(page.data(), length);
        m.flash.replace(address - kFlashBase, length, page);
        return length;
    }
    case 4:
        if (in || length != 0)
            return -EPIPE;
        restart(m);
        return 0;
    case 5:
        if (!in || !bootloader || length > kMaxExternalRead || !inside(0, kExternalFlashSize, address, length))
            return -EPIPE;
        std::memcpy(data, m.external.constData() + address, size_t(length));
        return length;
    case 6:
        if (in || !bootloader || length > kMaxExternalWrite || !inside(0, kExternalFlashSize, address, length))
            return -EPIPE;
        m.external.replace(address, length, QByteArray(data, length));
        return length;
    default:
        return -EPIPE;
    }
}

int Registry::transfer(Model &m, int number, const Setup &s, char *data)
{
    const bool in = s.requestType & 0x80;
    const std::optional<FaultRule> fault = hit(s, number, m.id);
    if (!fault)
        return in ? answer(m, s, data, s.length) : request(m, s, data);

    switch (fault->fault) {
    case Fault::Timeout:
        return -ETIMEDOUT;
    case Fault::Stall:
        return -EPIPE;
    case Fault::Unplug:
        m.unplugged = true;
        m.leaveBus();
        return -ENODEV;
    case Fault::NotSupported:
        return -ENOSYS;
    case Fault::Short: {
        const int shortLength = std::clamp(fault->shortLength, 0, s.length);
        return in ? answer(m, s, data, shortLength) : shortLength;
    }
    case Fault::Corrupt: {
        if (in) {
            const int n = answer(m, s, data, s.length);
            if (n > 0)
                data[n / 2] = char(~data[n / 2]);
            return n;
        }
        QByteArray received(data, s.length); // the host's buffer stays as it was sent
        if (!received.isEmpty())
            received[s.length / 2] = char(~received[s.length / 2]);
        return request(m, s, received.data());
    }
    }
    return -EPIPE;
}

int Registry::answer(Model &m, const Setup &s, char *data, int limit)
{
    QByteArray buffer(s.length, '\0');
    const int n = request(m, s, buffer.data());
    if (n < 0)
        return n;
    const int delivered = std::min(n, limit);
    if (delivered > 0)
        std::memcpy(data, buffer.constData(), size_t(delivered));
    return delivered;
}

void Registry::clear()
{
    ++epoch;
    models.clear();
    lastAddress.clear();
    faults.clear();
    events.clear();
    recording = true;
    latencyUs = 0;
    transfers = 0;
    enumerations = 0;
    windows = {};
    boundAt.clear();
}

Model &Registry::add(int bus, const DeviceConfig &config)
{
    bus = std::max(0, bus);
    if (lastAddress.size() <= size_t(bus))
        lastAddress.resize(size_t(bus) + 1, 0);

    auto m = std::make_unique<Model>();
    m->id = int(models.size());
    m->bus = bus;
    m->config = config;
    m->mode = config.mode;
    m->flash = initialFlash(config);
    m->external = QByteArray(kExternalFlashSize, char(0xFF));
    m->facade.reset(new Device(m->id));
    models.push_back(std::move(m));
    return *models.back();
}

// As the host gives addresses: the next one after the last given, from 1 to
// 127, skipping those in use on the bus (0 when all are).
int Registry::freeAddress(int bus)
{
    int &last = lastAddress[size_t(bus)];
    for (int tries = 0; tries < 127; ++tries) {
        last = last % 127 + 1;
        const bool used = std::any_of(models.begin(), models.end(), [&](const auto &m) {
            return m->bus == bus && m->address == last;
        });
        if (!used)
            return last;
    }
    return 0;
}

std::vector<bool> Registry::scan()
{
    const Clock::time_point now = Clock::now();
    std::vector<bool> listed(models.size(), false);
    for (const auto &pointer : models) {
        Model &m = *pointer;
        if (m.unplugged && m.plugAt && now >= *m.plugAt) {
            m.unplugged = false;
            m.plugAt.reset();
        }
        if (m.restarting && m.config.comesBack && now >= m.backAt
            && m.missedScans >= m.config.comebackScans)
            m.restarting = false;
        if (m.restarting)
            ++m.missedScans;
        const bool hidden = m.hiddenScans > 0;
        if (hidden)
            --m.hiddenScans;
        if (!m.onBus() || hidden) {
            m.address = 0;
            continue;
        }
        if (m.address == 0)
            m.address = freeAddress(m.bus);
        listed[size_t(m.id)] = true;
        if (windows.bindingDelayMs > 0) // a new instance gets its driver from now
            boundAt.try_emplace(m.instance(), now + std::chrono::milliseconds(windows.bindingDelayMs));
    }
    return listed;
}

QByteArray Model::instance() const
{
    const QByteArray serial = mode == Mode::Application ? config.applicationSerial : config.bootloaderSerial;
    return QByteArray::number(config.vendorId, 16) + ':' + QByteArray::number(config.productId, 16) + ':' + serial;
}

int Registry::openRefusal(const Model &m) const
{
    if (windows.exclusiveOpen && m.openHandles > 0)
        return EACCES;
    if (windows.bindingDelayMs > 0) {
        const auto bound = boundAt.find(m.instance());
        if (bound == boundAt.end() || Clock::now() < bound->second)
            return ENOSYS;
    }
    return 0;
}

Clock::time_point Registry::busyFor(Model &m, std::chrono::microseconds latency)
{
    m.busyUntil = std::max(m.busyUntil, Clock::now()) + latency;
    return m.busyUntil;
}

} // namespace sim
