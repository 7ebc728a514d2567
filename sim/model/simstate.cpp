#include "registry.h"

#include "memorymap.h"

#include <QDataStream>
#include <QFile>
#include <QMutexLocker>
#include <QSaveFile>
#include <QScopeGuard>
#include <QtEndian>

#include <algorithm>
#include <cstdio>
#include <optional>

#include <zlib.h>

namespace sim {

// --- Saved state -------------------------------------------------------------

namespace {

constexpr quint32 kStateMagic = 0x56523453; // "VR4S"
constexpr quint32 kStateFormat = 3;
constexpr QDataStream::Version kStateStreamVersion = QDataStream::Qt_6_0;
constexpr int kMaxBus = 999; // a bus number beyond this is a damaged file, not a bus to create
constexpr int kMaxDemoDevices = 64;

// What a state body may need at most, so that a damaged or hostile file
// cannot expand beyond what the fault rules and devices it says it holds
// need: the counts and the last addresses of all buses, each rule, each
// device with both memories and room for its serials and last block.
constexpr qint64 kFaultBytes = 8 * 4;
constexpr qint64 kMaxFaults = 1 << 16;
constexpr qint64 kModelBytes = MemoryMap::kFlashSize + MemoryMap::kExternalFlashSize + 0x20000;
constexpr qint64 kFixedBytes = 3 * 4 + 4 * (kMaxBus + 1);

QDataStream &operator<<(QDataStream &out, const DeviceConfig &c)
{
    return out << c.vendorId << c.productId << c.familyId << c.brandId << qint32(c.mode)
               << c.applicationSerial << c.bootloaderSerial << c.bootloaderVersion << c.restartDelayMs
               << c.comebackScans << c.comesBack << c.failOpen << c.failSetConfiguration << c.failClaim
               << c.denyAccess;
}

QDataStream &operator>>(QDataStream &in, DeviceConfig &c)
{
    qint32 mode = 0;
    in >> c.vendorId >> c.productId >> c.familyId >> c.brandId >> mode >> c.applicationSerial
        >> c.bootloaderSerial >> c.bootloaderVersion >> c.restartDelayMs >> c.comebackScans >> c.comesBack
        >> c.failOpen >> c.failSetConfiguration >> c.failClaim >> c.denyAccess;
    if (mode != qint32(Mode::Application) && mode != qint32(Mode::Bootloader))
        in.setStatus(QDataStream::ReadCorruptData);
    c.mode = Mode(mode);
    return in;
}

QDataStream &operator<<(QDataStream &out, const FaultRule &rule)
{
    return out << qint32(rule.fault) << rule.request << rule.transfer << rule.skip << rule.times
               << rule.shortLength << rule.requestType << rule.device;
}

QDataStream &operator>>(QDataStream &in, FaultRule &rule)
{
    qint32 fault = 0;
    in >> fault >> rule.request >> rule.transfer >> rule.skip >> rule.times >> rule.shortLength
        >> rule.requestType >> rule.device;
    if (fault < qint32(Fault::Timeout) || fault > qint32(Fault::NotSupported))
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
            << qint32(m->applicationStarts) << (m->unplugged && !m->plugAt) << qint32(m->hiddenScans)
            << qint32(m->address);
    }
    for (const int last : r.lastAddress)
        out << qint32(last);
    return body;
}

// The bound of a body of which `prefix` is the start: as far as the start
// tells (the rule count, then the device count), at least what must be read
// to learn the rest; 0 for counts out of place.
qint64 bodyBound(const QByteArray &prefix)
{
    QDataStream in(prefix);
    in.setVersion(kStateStreamVersion);
    qint32 latency = 0;
    quint32 faults = 0;
    in >> latency >> faults;
    if (in.status() != QDataStream::Ok)
        return kFixedBytes;
    if (faults > kMaxFaults)
        return 0;
    const qint64 devicesAt = 8 + faults * kFaultBytes;
    if (prefix.size() < devicesAt + 4)
        return devicesAt + kFixedBytes;
    in.skipRawData(int(faults * kFaultBytes));
    quint32 devices = 0;
    in >> devices;
    return devicesAt + kFixedBytes + qint64(devices) * kModelBytes;
}

// qUncompress() of a state body, stopping as soon as it grows beyond
// bodyBound(): empty then, and for data that is not whole qCompress() output.
QByteArray expandBody(const QByteArray &compressed)
{
    if (compressed.size() < 4)
        return {};
    z_stream zs{};
    if (inflateInit(&zs) != Z_OK)
        return {};
    const auto end = qScopeGuard([&] { inflateEnd(&zs); });
    zs.next_in = reinterpret_cast<Bytef *>(const_cast<char *>(compressed.constData()) + 4);
    zs.avail_in = uInt(compressed.size() - 4);
    QByteArray body;
    qint64 bound = bodyBound(body);
    int status = Z_OK;
    while (status == Z_OK) {
        const qsizetype at = body.size();
        const qint64 room = std::min<qint64>(1 << 20, bound + 1 - at);
        body.resize(at + room);
        zs.next_out = reinterpret_cast<Bytef *>(body.data() + at);
        zs.avail_out = uInt(room);
        status = inflate(&zs, Z_NO_FLUSH);
        body.resize(body.size() - zs.avail_out);
        bound = bodyBound(body);
        if (body.size() > bound)
            return {};
    }
    const quint32 declared = qFromBigEndian<quint32>(compressed.constData());
    return status == Z_STREAM_END && declared == quint32(body.size()) ? body : QByteArray();
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
            >> m.hiddenScans >> m.address;
        if (m.flash.size() != MemoryMap::kFlashSize || m.external.size() != MemoryMap::kExternalFlashSize
            || m.address < 0 || m.address > 127)
            return false;
    }
    for (int &last : r.lastAddress) {
        in >> last;
        if (last < 0 || last > 127)
            return false;
    }
    r.latencyUs = std::max(0, latency);
    return in.status() == QDataStream::Ok && in.atEnd();
}

} // namespace

quint32 unknownStateFormat(const QString &fileName)
{
    QFile file(fileName);
    if (!file.open(QIODevice::ReadOnly))
        return 0;
    QDataStream in(&file);
    quint32 magic = 0;
    quint32 format = 0;
    in >> magic >> format;
    return in.status() == QDataStream::Ok && magic == kStateMagic && format != kStateFormat ? format : 0;
}

bool saveState(const QString &fileName)
{
    if (unknownStateFormat(fileName) != 0)
        return false; // another program's; this one cannot write it back whole
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
                body = expandBody(compressed);
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
    : stateFile(qEnvironmentVariable("VR480_SIM_STATE"))
{
    int count = 1;
    int arrivalMs = 0;
    if (const QString text = qEnvironmentVariable("VR480_SIM_DEVICES"); !text.isEmpty()) {
        // "N", or "N:S": N devices plugged in one every S seconds.
        const QStringList parts = text.split(QLatin1Char(':'));
        bool ok = false;
        count = parts.first().toInt(&ok, 10);
        ok = ok && parts.size() <= 2;
        if (ok && parts.size() == 2) {
            bool secondsOk = false;
            const double seconds = parts.last().toDouble(&secondsOk);
            ok = secondsOk && seconds >= 0.1 && seconds <= 3600;
            arrivalMs = int(seconds * 1000 + 0.5);
        }
        if (!ok || count < 1 || count > kMaxDemoDevices) {
            std::fprintf(stderr,
                         "VR480_SIM_DEVICES=%s is invalid: give a number of devices from 1 to %d, or N:S for N "
                         "devices plugged in one every S seconds (0.1 to 3600)\n",
                         qPrintable(text), kMaxDemoDevices);
            stateFile.clear();
            reset();
            valid = false;
            return;
        }
    }
    // Windows' rules, set once the devices are there (those count as seen).
    std::optional<WindowsRules> windows;
    if (const QString text = qEnvironmentVariable("VR480_SIM_WINDOWS"); !text.isEmpty()) {
        bool ok = false;
        const int delay = text.toInt(&ok, 10);
        if (!ok || delay < 0 || delay > 600000) {
            std::fprintf(stderr, "VR480_SIM_WINDOWS=%s is invalid: give the binding delay of a new device in "
                                 "milliseconds (0 to 600000)\n",
                         qPrintable(text));
            stateFile.clear();
            reset();
            valid = false;
            return;
        }
        windows = WindowsRules{true, delay};
    }
    const auto applyRules = qScopeGuard([&] {
        if (windows)
            setWindowsRules(*windows);
    });
    if (!stateFile.isEmpty()) {
        fileLock = std::make_unique<QLockFile>(stateFile + QStringLiteral(".lock"));
        fileLock->setStaleLockTime(0); // stale only when its program is gone, however long it runs
        if (!fileLock->tryLock() && fileLock->error() == QLockFile::LockFailedError) {
            qint64 pid = 0;
            QString host, application;
            fileLock->getLockInfo(&pid, &host, &application);
            std::fprintf(stderr, "Waiting for %s (process %lld), which uses the simulated device in %s\n",
                         qPrintable(application), static_cast<long long>(pid), qPrintable(stateFile));
            fileLock->lock();
        }
        if (!fileLock->isLocked())
            std::fprintf(stderr, "Cannot lock %s.lock; another program may change the simulated device\n",
                         qPrintable(stateFile));
    }
    if (!stateFile.isEmpty() && QFile::exists(stateFile)) {
        if (loadState(stateFile))
            return;
        if (const quint32 format = unknownStateFormat(stateFile))
            std::fprintf(stderr,
                         "%s holds a simulated device of format %u, which this program does not know; "
                         "starting with the demo device, which is not saved there\n",
                         qPrintable(stateFile), format);
        else
            std::fprintf(stderr, "Cannot load the simulated device from %s; starting with the demo device\n",
                         qPrintable(stateFile));
    }
    setupDemo(count, arrivalMs);
}

DemoSession::~DemoSession()
{
    if (stateFile.isEmpty())
        return;
    if (const quint32 format = unknownStateFormat(stateFile))
        std::fprintf(stderr, "Not saving the simulated device to %s: it holds format %u, which this program "
                             "does not know\n",
                     qPrintable(stateFile), format);
    else if (!saveState(stateFile))
        std::fprintf(stderr, "Cannot save the simulated device to %s\n", qPrintable(stateFile));
}

bool DemoSession::isValid() const
{
    return valid;
}

} // namespace sim
