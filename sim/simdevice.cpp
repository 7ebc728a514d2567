#include "sim/simdevice.h"
#include "sim/simbus.h"

#include "scramble_key.h"

#include <QDataStream>
#include <QFile>
#include <QMutex>
#include <QMutexLocker>
#include <QSaveFile>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <memory>
#include <optional>
#include <utility>
#include <vector>

namespace sim {

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kRequestTypeVendorIn = 0xC0;
constexpr int kRequestTypeStandardIn = 0x80;
constexpr int kGetDescriptor = 6;
constexpr int kStringDescriptor = 3;
constexpr int kSerialStringIndex = 3;
constexpr uint32_t kVersionAddress = kInfoBlock + 16;
constexpr int kVersionLength = 16;
constexpr int kMaxMemoryRead = 2048;
constexpr int kBlockSize = 512;
constexpr int kMaxExternalRead = 512;
constexpr int kMaxExternalWrite = 256;

uint32_t loadWord(const char *p)
{
    const auto *b = reinterpret_cast<const unsigned char *>(p);
    return uint32_t(b[0]) | uint32_t(b[1]) << 8 | uint32_t(b[2]) << 16 | uint32_t(b[3]) << 24;
}

void storeWord(char *p, uint32_t w)
{
    for (int i = 0; i < 4; ++i)
        p[i] = char((w >> (8 * i)) & 0xFF);
}

// The device's word scrambling: little-endian words, key phase from 0 at the
// start of each transfer, trailing bytes untouched.
void scramble(char *data, int length)
{
    for (int i = 0; i < length / 4; ++i) {
        const uint32_t k = vr480::kScrambleKey[i % 32];
        storeWord(data + 4 * i, (loadWord(data + 4 * i) ^ k) + k);
    }
}

void unscramble(char *data, int length)
{
    for (int i = 0; i < length / 4; ++i) {
        const uint32_t k = vr480::kScrambleKey[i % 32];
        storeWord(data + 4 * i, (loadWord(data + 4 * i) - k) ^ k);
    }
}

bool inside(uint32_t base, uint32_t size, uint32_t address, int length)
{
    return address >= base && uint64_t(address - base) + uint64_t(length) <= size;
}

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

void fillDescriptor(struct usb_device &record, const DeviceConfig &config)
{
    usb_device_descriptor &d = record.descriptor;
    d.bLength = 18;
    d.bDescriptorType = 1;
    d.bcdUSB = 0x0200;
    d.bMaxPacketSize0 = 64;
    d.idVendor = config.vendorId;
    d.idProduct = config.productId;
    d.bcdDevice = 0x0100;
    d.iManufacturer = 1;
    d.iProduct = 2;
    d.iSerialNumber = kSerialStringIndex;
    d.bNumConfigurations = 1;
}

QByteArray initialFlash(const DeviceConfig &config)
{
    QByteArray flash(kFlashSize, char(0xFF));
    // Stand-in for the bootloader's code: deterministic, never an erased byte.
    for (uint32_t i = 0; i < kInfoBlock - kFlashBase; ++i)
        flash[i] = char(i % 251);
    const auto brand = uint16_t(config.brandId);
    flash[kInfoBlock - kFlashBase] = char(brand & 0xFF);
    flash[kInfoBlock - kFlashBase + 1] = char(brand >> 8);
    QByteArray version = config.bootloaderVersion.left(kVersionLength);
    version.append(kVersionLength - version.size(), '\0');
    flash.replace(kVersionAddress - kFlashBase, kVersionLength, version);
    return flash;
}

} // namespace

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

    static Registry &instance()
    {
        static Registry registry;
        return registry;
    }

    static std::unique_ptr<Device> makeFacade(int id) { return std::unique_ptr<Device>(new Device(id)); }

    // The rest runs with the lock held.

    Model &model(int id) { return *models.at(size_t(id)); }

    void log(const Event &event)
    {
        if (recording)
            events.append(event);
    }

    int deviceOf(const usb_dev_handle *handle) const
    {
        return handle && handle->epoch == epoch ? handle->device : -1;
    }

    // The device behind a handle while the session it was opened in lasts.
    Model *live(const usb_dev_handle *handle)
    {
        const int id = deviceOf(handle);
        if (id < 0 || size_t(id) >= models.size())
            return nullptr;
        Model &m = *models[size_t(id)];
        return m.session == handle->session && m.onBus() ? &m : nullptr;
    }

    std::optional<FaultRule> hit(const bus::Setup &s, int transfer)
    {
        for (FaultRule &rule : faults) {
            if ((rule.request >= 0 && rule.request != s.request)
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

    static void restart(Model &m)
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
        ++m.session;
    }

    static int stringDescriptor(const Model &m, int value, char *data, int length)
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

    // What the device does with a request that reaches it. IN answers go to
    // `data`, at most setup.length bytes. Refusals are stalls.
    static int request(Model &m, const bus::Setup &s, char *data)
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
                || !inside(kApplicationBase, kFlashBase + kFlashSize - kApplicationBase, address, length))
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

    // A transfer that reaches the device, after the fault rules have had their say.
    int transfer(Model &m, int number, const bus::Setup &s, char *data)
    {
        const bool in = s.requestType & 0x80;
        const std::optional<FaultRule> fault = hit(s, number);
        if (!fault)
            return in ? answer(m, s, data, s.length) : request(m, s, data);

        switch (fault->fault) {
        case Fault::Timeout:
            return -ETIMEDOUT;
        case Fault::Stall:
            return -EPIPE;
        case Fault::Unplug:
            m.unplugged = true;
            ++m.session;
            return -ENODEV;
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

    // An IN request of which at most `limit` bytes reach the host.
    static int answer(Model &m, const bus::Setup &s, char *data, int limit)
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

    void clear()
    {
        ++epoch;
        usb_busses = nullptr;
        models.clear();
        buses.clear();
        linkedBuses = 0;
        faults.clear();
        events.clear();
        recording = true;
        latencyUs = 0;
        transfers = 0;
    }

    Model &add(int bus, const DeviceConfig &config)
    {
        bus = std::max(0, bus);
        while (buses.size() <= size_t(bus)) {
            auto record = std::make_unique<usb_bus>();
            std::snprintf(record->dirname, sizeof record->dirname, "%03d", int(buses.size()) + 1);
            record->location = uint32_t(buses.size()) + 1;
            buses.push_back(std::move(record));
        }

        auto m = std::make_unique<Model>();
        m->id = int(models.size());
        m->bus = bus;
        m->config = config;
        m->mode = config.mode;
        m->flash = initialFlash(config);
        m->external = QByteArray(kExternalFlashSize, char(0xFF));
        m->record = std::make_unique<struct usb_device>();
        std::snprintf(m->record->filename, sizeof m->record->filename, "%03d", m->id + 1);
        m->record->bus = buses[size_t(bus)].get();
        m->record->devnum = uint8_t(m->id + 1);
        fillDescriptor(*m->record, config);
        m->facade = makeFacade(m->id);
        models.push_back(std::move(m));
        return *models.back();
    }

    int scan()
    {
        const Clock::time_point now = Clock::now();
        int changes = 0;
        for (const auto &pointer : models) {
            Model &m = *pointer;
            if (m.restarting && m.config.comesBack && now >= m.backAt
                && m.missedScans >= m.config.comebackScans)
                m.restarting = false;
            if (m.restarting)
                ++m.missedScans;
            const bool hidden = m.hiddenScans > 0;
            if (hidden)
                --m.hiddenScans;
            const bool listed = m.onBus() && !hidden;
            if (listed != m.listed)
                ++changes;
            m.listed = listed;
            fillDescriptor(*m.record, m.config);
        }
        for (size_t b = 0; b < buses.size(); ++b) {
            struct usb_device *previous = nullptr;
            buses[b]->devices = nullptr;
            for (const auto &pointer : models) {
                struct usb_device *record = pointer->record.get();
                record->prev = record->next = nullptr;
                if (pointer->bus != int(b) || !pointer->listed)
                    continue;
                record->prev = previous;
                if (previous)
                    previous->next = record;
                else
                    buses[b]->devices = record;
                previous = record;
            }
        }
        return changes;
    }
};

namespace {
Registry &registry()
{
    return Registry::instance();
}
} // namespace

// --- Device -----------------------------------------------------------------

int Device::id() const
{
    return id_;
}

int Device::bus() const
{
    QMutexLocker lock(&registry().mutex);
    return registry().model(id_).bus;
}

DeviceConfig Device::config() const
{
    QMutexLocker lock(&registry().mutex);
    const Model &m = registry().model(id_);
    DeviceConfig config = m.config;
    config.mode = m.mode;
    return config;
}

void Device::setConfig(const DeviceConfig &config)
{
    QMutexLocker lock(&registry().mutex);
    registry().model(id_).config = config;
}

Mode Device::mode() const
{
    QMutexLocker lock(&registry().mutex);
    return registry().model(id_).mode;
}

bool Device::online() const
{
    QMutexLocker lock(&registry().mutex);
    const Model &m = registry().model(id_);
    return m.onBus() && m.hiddenScans == 0;
}

void Device::unplug()
{
    QMutexLocker lock(&registry().mutex);
    Model &m = registry().model(id_);
    m.unplugged = true;
    ++m.session;
}

void Device::plugIn()
{
    QMutexLocker lock(&registry().mutex);
    Model &m = registry().model(id_);
    m.unplugged = false;
    m.restarting = false;
}

void Device::hideForScans(int scans)
{
    QMutexLocker lock(&registry().mutex);
    registry().model(id_).hiddenScans = std::max(0, scans);
}

int Device::restarts() const
{
    QMutexLocker lock(&registry().mutex);
    return registry().model(id_).restarts;
}

int Device::applicationStarts() const
{
    QMutexLocker lock(&registry().mutex);
    return registry().model(id_).applicationStarts;
}

QByteArray Device::flash(uint32_t address, int length) const
{
    QMutexLocker lock(&registry().mutex);
    return readClipped(registry().model(id_).flash, kFlashBase, address, length);
}

void Device::setFlash(uint32_t address, const QByteArray &bytes)
{
    QMutexLocker lock(&registry().mutex);
    storeClipped(registry().model(id_).flash, kFlashBase, address, bytes);
}

QByteArray Device::externalFlash(uint32_t address, int length) const
{
    QMutexLocker lock(&registry().mutex);
    return readClipped(registry().model(id_).external, 0, address, length);
}

void Device::setExternalFlash(uint32_t address, const QByteArray &bytes)
{
    QMutexLocker lock(&registry().mutex);
    storeClipped(registry().model(id_).external, 0, address, bytes);
}

QByteArray Device::lastBlock() const
{
    QMutexLocker lock(&registry().mutex);
    return registry().model(id_).lastBlock;
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

int openHandles()
{
    QMutexLocker lock(&registry().mutex);
    return registry().handles;
}

void setupDemo()
{
    reset();
    DeviceConfig config;
    config.restartDelayMs = 1500;
    addDevice(0, config);
    setLatency(3000);
}

// --- Saved state -------------------------------------------------------------

namespace {

constexpr quint32 kStateMagic = 0x56523453; // "VR4S"
constexpr quint32 kStateFormat = 1;
constexpr QDataStream::Version kStateStreamVersion = QDataStream::Qt_6_0;
constexpr int kMaxBus = 999; // a bus number beyond this is a damaged file, not a bus to create

QDataStream &operator<<(QDataStream &out, const DeviceConfig &c)
{
    return out << c.vendorId << c.productId << c.familyId << c.brandId << qint32(c.mode)
               << c.applicationSerial << c.bootloaderSerial << c.bootloaderVersion << c.restartDelayMs
               << c.comebackScans << c.comesBack << c.failOpen << c.failSetConfiguration << c.failClaim;
}

QDataStream &operator>>(QDataStream &in, DeviceConfig &c)
{
    qint32 mode = 0;
    in >> c.vendorId >> c.productId >> c.familyId >> c.brandId >> mode >> c.applicationSerial
        >> c.bootloaderSerial >> c.bootloaderVersion >> c.restartDelayMs >> c.comebackScans >> c.comesBack
        >> c.failOpen >> c.failSetConfiguration >> c.failClaim;
    if (mode != qint32(Mode::Application) && mode != qint32(Mode::Bootloader))
        in.setStatus(QDataStream::ReadCorruptData);
    c.mode = Mode(mode);
    return in;
}

QDataStream &operator<<(QDataStream &out, const FaultRule &rule)
{
    return out << qint32(rule.fault) << rule.request << rule.transfer << rule.skip << rule.times
               << rule.shortLength << rule.requestType;
}

QDataStream &operator>>(QDataStream &in, FaultRule &rule)
{
    qint32 fault = 0;
    in >> fault >> rule.request >> rule.transfer >> rule.skip >> rule.times >> rule.shortLength
        >> rule.requestType;
    if (fault < qint32(Fault::Timeout) || fault > qint32(Fault::Unplug))
        in.setStatus(QDataStream::ReadCorruptData);
    rule.fault = Fault(fault);
    return in;
}

QByteArray stateBody(const Registry &r)
{
    QByteArray body;
    QDataStream out(&body, QIODevice::WriteOnly);
    out.setVersion(kStateStreamVersion);
    out << qint32(r.latencyUs) << quint32(r.faults.size());
    for (const FaultRule &rule : r.faults)
        out << rule;
    out << quint32(r.models.size());
    for (const auto &m : r.models) {
        DeviceConfig config = m->config;
        config.mode = m->mode; // already the new mode during a restart
        out << qint32(m->bus) << config << m->flash << m->external << m->lastBlock << qint32(m->restarts)
            << qint32(m->applicationStarts) << m->unplugged << qint32(m->hiddenScans);
    }
    return body;
}

// Fills the empty registry from stateBody()'s bytes; false at the first thing out of place.
bool restore(Registry &r, const QByteArray &body)
{
    QDataStream in(body);
    in.setVersion(kStateStreamVersion);
    qint32 latency = 0;
    quint32 count = 0;
    in >> latency >> count;
    for (quint32 i = 0; i < count && in.status() == QDataStream::Ok; ++i) {
        FaultRule rule;
        in >> rule;
        r.faults.push_back(rule);
    }
    in >> count;
    for (quint32 i = 0; i < count && in.status() == QDataStream::Ok; ++i) {
        qint32 bus = 0;
        DeviceConfig config;
        in >> bus >> config;
        if (in.status() != QDataStream::Ok || bus < 0 || bus > kMaxBus)
            return false;
        Model &m = r.add(bus, config);
        in >> m.flash >> m.external >> m.lastBlock >> m.restarts >> m.applicationStarts >> m.unplugged
            >> m.hiddenScans;
        if (m.flash.size() != kFlashSize || m.external.size() != kExternalFlashSize)
            return false;
    }
    r.latencyUs = std::max(0, latency);
    return in.status() == QDataStream::Ok && in.atEnd();
}

} // namespace

bool saveState(const QString &fileName)
{
    QByteArray body;
    {
        Registry &r = registry();
        QMutexLocker lock(&r.mutex);
        body = stateBody(r);
    }
    QSaveFile file(fileName);
    if (!file.open(QIODevice::WriteOnly))
        return false;
    QDataStream out(&file);
    out.setVersion(kStateStreamVersion);
    out << kStateMagic << kStateFormat << qCompress(body);
    return out.status() == QDataStream::Ok && file.commit();
}

bool loadState(const QString &fileName)
{
    QByteArray body;
    QFile file(fileName);
    if (file.open(QIODevice::ReadOnly)) {
        QDataStream in(&file);
        in.setVersion(kStateStreamVersion);
        quint32 magic = 0;
        quint32 format = 0;
        in >> magic >> format;
        if (magic == kStateMagic && format == kStateFormat) {
            QByteArray compressed;
            in >> compressed;
            if (in.status() == QDataStream::Ok && in.atEnd())
                body = qUncompress(compressed);
        }
    }

    Registry &r = registry();
    QMutexLocker lock(&r.mutex);
    r.clear();
    if (!body.isEmpty() && restore(r, body))
        return true;
    r.clear();
    return false;
}

DemoSession::DemoSession()
    : stateFile_(qEnvironmentVariable("VR480_SIM_STATE"))
{
    if (!stateFile_.isEmpty() && QFile::exists(stateFile_)) {
        if (loadState(stateFile_))
            return;
        std::fprintf(stderr, "Cannot load the simulated device from %s; starting with the demo device\n",
                     qPrintable(stateFile_));
    }
    setupDemo();
}

DemoSession::~DemoSession()
{
    if (!stateFile_.isEmpty() && !saveState(stateFile_))
        std::fprintf(stderr, "Cannot save the simulated device to %s\n", qPrintable(stateFile_));
}

// --- What the libusb functions ask of the model -----------------------------

namespace bus {

int findBusses()
{
    Registry &r = registry();
    QMutexLocker lock(&r.mutex);
    for (size_t b = 0; b < r.buses.size(); ++b) {
        r.buses[b]->prev = b > 0 ? r.buses[b - 1].get() : nullptr;
        r.buses[b]->next = b + 1 < r.buses.size() ? r.buses[b + 1].get() : nullptr;
    }
    usb_busses = r.buses.empty() ? nullptr : r.buses.front().get();
    const int added = int(r.buses.size()) - r.linkedBuses;
    r.linkedBuses = int(r.buses.size());
    return added;
}

usb_bus *busses()
{
    QMutexLocker lock(&registry().mutex);
    return usb_busses;
}

int findDevices()
{
    Registry &r = registry();
    QMutexLocker lock(&r.mutex);
    Event e;
    e.kind = Event::FindDevices;
    e.result = r.scan();
    r.log(e);
    return e.result;
}

usb_dev_handle *open(struct usb_device *record)
{
    Registry &r = registry();
    QMutexLocker lock(&r.mutex);
    Event e;
    e.kind = Event::Open;
    e.result = -1;
    usb_dev_handle *handle = nullptr;
    // Found by address only: a record from before reset() is never dereferenced.
    const auto it = std::find_if(r.models.begin(), r.models.end(),
                                 [record](const auto &m) { return m->record.get() == record; });
    if (it != r.models.end()) {
        Model &m = **it;
        e.device = m.id;
        if (m.onBus() && !m.config.failOpen) {
            handle = new usb_dev_handle;
            handle->epoch = r.epoch;
            handle->device = m.id;
            handle->session = m.session;
            ++r.handles;
            e.result = 0;
        }
    }
    r.log(e);
    return handle;
}

int close(usb_dev_handle *handle)
{
    Registry &r = registry();
    QMutexLocker lock(&r.mutex);
    Event e;
    e.kind = Event::Close;
    e.device = r.deviceOf(handle);
    e.result = handle ? 0 : -EINVAL;
    r.log(e);
    if (handle) {
        delete handle;
        --r.handles;
    }
    return e.result;
}

namespace {
// The common frame of the three handle calls: checks, the call's own rule, the event.
template<typename Rule>
int handleCall(Event::Kind kind, usb_dev_handle *handle, int value, Rule rule)
{
    Registry &r = registry();
    QMutexLocker lock(&r.mutex);
    Event e;
    e.kind = kind;
    e.device = r.deviceOf(handle);
    e.value = value;
    if (!handle)
        e.result = -EINVAL;
    else if (Model *m = r.live(handle))
        e.result = rule(*m, *handle);
    else
        e.result = -ENODEV;
    r.log(e);
    return e.result;
}
} // namespace

int setConfiguration(usb_dev_handle *handle, int configuration)
{
    return handleCall(Event::SetConfiguration, handle, configuration, [configuration](Model &m, usb_dev_handle &) {
        if (configuration != 1)
            return -EINVAL;
        return m.config.failSetConfiguration ? -EPIPE : 0;
    });
}

int claimInterface(usb_dev_handle *handle, int interface)
{
    return handleCall(Event::ClaimInterface, handle, interface, [interface](Model &m, usb_dev_handle &h) {
        if (interface != 0)
            return -EINVAL;
        if (m.config.failClaim)
            return -EBUSY;
        h.claimed = true;
        return 0;
    });
}

int releaseInterface(usb_dev_handle *handle, int interface)
{
    return handleCall(Event::ReleaseInterface, handle, interface, [interface](Model &, usb_dev_handle &h) {
        if (interface != 0 || !h.claimed)
            return -EINVAL;
        h.claimed = false;
        return 0;
    });
}

int control(usb_dev_handle *handle, const Setup &setup, char *data, int *latencyUs)
{
    Registry &r = registry();
    QMutexLocker lock(&r.mutex);
    *latencyUs = r.latencyUs;
    Event e;
    e.kind = Event::Control;
    e.device = r.deviceOf(handle);
    e.requestType = setup.requestType;
    e.request = setup.request;
    e.value = setup.value;
    e.index = setup.index;
    e.length = setup.length;
    e.transfer = r.transfers++;
    if (!handle || setup.length < 0 || setup.length > 0xFFFF || (setup.length > 0 && !data))
        e.result = -EINVAL;
    else if (Model *m = r.live(handle))
        e.result = r.transfer(*m, e.transfer, setup, data);
    else
        e.result = -ENODEV;
    if (e.result > 0)
        e.data = QByteArray(data, e.result);
    r.log(e);
    return e.result;
}

int bulk(usb_dev_handle *handle, int endpoint, int size)
{
    Registry &r = registry();
    QMutexLocker lock(&r.mutex);
    Event e;
    e.kind = Event::Bulk;
    e.device = r.deviceOf(handle);
    e.value = endpoint;
    e.length = size;
    if (!handle)
        e.result = -EINVAL;
    else
        e.result = r.live(handle) ? -EPIPE : -ENODEV; // the device has no bulk endpoints
    r.log(e);
    return e.result;
}

} // namespace bus

} // namespace sim
